// faq.cpp - the -FAQ page: FAQ_LINES walked twice, once for the index and
// once for the answers, each walk with its own markup rules.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reply/reply.h"
#include "support/support.h"

// ---- process-wide state ----

// Index: each question becomes a linked list item; printing stops after the
// "[a]" line, so the answers stay out of the index.
FaqRule FAQ_INDEX_RULES[FAQ_RULE_COUNT] = {
    {"[q]", "<li><A HREF=\"#Q%d\">Q %d </A>", 0, FAQ_PRINT_FROM_THIS_LINE, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
    {"[a]", "</li>\n", 0, FAQ_STOP_AFTER_THIS_LINE, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
    {"[pre]", "", 0, FAQ_LINE_UNCHANGED, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
    {"[/pre]", "", 0, FAQ_LINE_UNCHANGED, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
};

// Answers: questions are headings the index links to; answer text is
// escaped except inside "[pre]" blocks, which hold markup-safe examples.
FaqRule FAQ_ANSWER_RULES[FAQ_RULE_COUNT] = {
    {"[q]", "<BR><H3><a name=\"Q%d\">Q %d </a>", 0, FAQ_PRINT_FROM_NEXT_LINE, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
    {"[a]", "</H3><B>A %d - </B>", 0, FAQ_PRINT_FROM_NEXT_LINE, FAQ_ESCAPE_ON_AFTER_THIS_LINE},
    {"[pre]", "<pre>", 0, FAQ_PRINT_FROM_NEXT_LINE, FAQ_ESCAPE_OFF_FROM_THIS_LINE},
    {"[/pre]", "</pre>", 0, FAQ_PRINT_FROM_NEXT_LINE, FAQ_ESCAPE_ON_AFTER_THIS_LINE},
};

void reply_reset() {
  for (int i = 0; i < FAQ_RULE_COUNT; i++) {
    FAQ_INDEX_RULES[i].counter = 0;
    FAQ_ANSWER_RULES[i].counter = 0;
  }
  reply_page_scan = PageScan{};
  std::free(substitution_buffer);
  substitution_buffer = nullptr;
  reply_facts = ReplyFacts{};
}

void print_escaped(const char* text) {
  static const char FAQ_MARKUP_CHARACTERS[] = "&><\"";
  char escaped[FAQ_ESCAPED_LIMIT + 1];
  std::size_t length = 0;
  (void)html_escape(escaped, sizeof escaped, text, FAQ_MARKUP_CHARACTERS, &length);
  (void)std::fwrite(escaped, 1, length, stdout);
}

// The rule's replacement with the counter written for each "%d", into
// `replacement` of FAQ_REPLACEMENT_SIZE bytes.
static void fill_replacement(char* replacement, const char* pattern, int counter) {
  static const char COUNTER[] = "%d";
  static const int COUNTER_LENGTH = sizeof COUNTER - 1;
  int length = 0;
  for (const char* at = pattern; *at != '\0' && length < FAQ_REPLACEMENT_SIZE - 1;) {
    const char* conversion = std::strstr(at, COUNTER);
    int run = static_cast<int>(conversion != nullptr ? conversion - at : std::strlen(at));
    int room = FAQ_REPLACEMENT_SIZE - length;
    int written = conversion != nullptr ? std::snprintf(replacement + length, room, "%.*s%d", run, at, counter)
                                        : std::snprintf(replacement + length, room, "%.*s", run, at);
    if (written < 0) break;
    length += std::min(written, room - 1);
    at += run + (conversion != nullptr ? COUNTER_LENGTH : 0);
  }
  replacement[length] = '\0';
}

// Replaces the first occurrence of the rule's tag in `line` (which holds the
// tag) by the rule's replacement, with the freshly raised counter.
static void apply_rule(TextBuffer* line, FaqRule* rule, const char* found) {
  rule->counter++;
  char replacement[FAQ_REPLACEMENT_SIZE];
  fill_replacement(replacement, rule->replacement, rule->counter);
  int before = static_cast<int>(found - line->chars);
  // setf formats into its scratch buffer before it copies, so the line may
  // be both the source and the destination.
  text_buffer_setf(line, "%.*s%s%s", before, line->chars, replacement, found + std::strlen(rule->tag));
}

void render_faq_lines(const char* const* lines, int line_count, FaqRule* rules) {
  bool printing = true;
  bool escaping = false;
  TextBuffer* line = text_buffer_create("");

  for (int i = 0; i < line_count; i++) {
    text_buffer_setf(line, "%.*s", FAQ_LINE_LIMIT, lines[i]);

    // Effects noted for this line; a later rule's replace an earlier one's.
    bool matched = false;
    FaqLineEffect line_effect = FAQ_LINE_UNCHANGED;
    FaqEscapeEffect escape_effect = FAQ_ESCAPE_OFF_FROM_THIS_LINE;
    for (int r = 0; r < FAQ_RULE_COUNT; r++) {
      const char* found = std::strstr(line->chars, rules[r].tag);
      if (found == nullptr) continue;
      apply_rule(line, &rules[r], found);
      matched = true;
      line_effect = rules[r].line_effect;
      escape_effect = rules[r].escape_effect;
    }

    if (matched) {
      if (escape_effect == FAQ_ESCAPE_OFF_FROM_THIS_LINE) escaping = false;
      if (escape_effect == FAQ_ESCAPE_ON_FROM_THIS_LINE) escaping = true;
      if (line_effect == FAQ_PRINT_FROM_THIS_LINE) printing = true;
    }

    if (printing) {
      if (escaping) {
        print_escaped(line->chars);
        std::fputc('\n', stdout);
      } else {
        std::printf("%s\n", line->chars);
      }
    }

    if (matched) {
      if (line_effect == FAQ_PRINT_FROM_NEXT_LINE) printing = true;
      if (line_effect == FAQ_STOP_AFTER_THIS_LINE) printing = false;
      if (escape_effect == FAQ_ESCAPE_ON_AFTER_THIS_LINE) escaping = true;
      if (escape_effect == FAQ_ESCAPE_OFF_AFTER_THIS_LINE) escaping = false;
    }
  }

  text_buffer_free(line);
}

void render_faq_pass(FaqRule* rules) { render_faq_lines(FAQ_LINES, FAQ_LINE_COUNT, rules); }

void write_faq_page() {
  std::fputs("<HTML>\n<HEAD></HEAD>\n<BODY>\n<H2>QUILLET FAQ</H2><BR><UL>", stdout);
  render_faq_pass(FAQ_INDEX_RULES);
  std::fputs("</UL><BR>", stdout);
  render_faq_pass(FAQ_ANSWER_RULES);
  std::fputs("</BODY>\n</HTML>\n", stdout);
}
