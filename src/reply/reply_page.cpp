// reply_page.cpp - the success and failure pages: the configured file copied
// line by line with its "||name||" tokens replaced outside script elements,
// or a built-in page.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "form/form.h"
#include "reply/reply.h"
#include "support/support.h"

const char REPLY_LINK_LINE[] =
    "<p><small>This form was handled by "
    "<a href=\"https://quillet.example.org/\">quillet</a>.</small></p>\n";

// ---- process-wide state ----

PageScan reply_page_scan;
char* substitution_buffer = nullptr;

// What a page that cannot get its working memory ends the run with.
static const char NO_MEMORY[] = "Unable to malloc memory";

static const char TOKEN_BAR = '|';  // a token is "||", a name, "||"

// The tags that open and close a script element and the opening of an HTML
// comment, compared ignoring ASCII case. Each has its '<' at the start only,
// so a character that breaks a partial match can at most begin a new one.
static const char SCRIPT_OPEN_TAG[] = "<script";
static const char SCRIPT_CLOSE_TAG[] = "</script";
static const char COMMENT_OPEN[] = "<!--";
static const int SCRIPT_OPEN_TAG_LENGTH = sizeof SCRIPT_OPEN_TAG - 1;
static const int SCRIPT_CLOSE_TAG_LENGTH = sizeof SCRIPT_CLOSE_TAG - 1;
static const int COMMENT_OPEN_LENGTH = sizeof COMMENT_OPEN - 1;

// What differs between the two variants: the ini setting that names the
// page, and the opening of a built-in page.
struct ReplyVariantTexts {
  const char* setting_name;
  const char* opening;
};

static const ReplyVariantTexts SUCCESS_TEXTS = {"success_html_page", "<HTML><BODY>\nemail sent.\n"};
static const ReplyVariantTexts FAILURE_TEXTS = {"failure_html_page", "<HTML><BODY>\nemail NOT sent.\n"};

static const char BUILT_IN_PAGE_END[] = "</BODY></HTML>\n";
static const char WEB_ADDRESS_HINT[] =
    "The setting is not a web address setting, it is a local file name setting.\n";
static const char WEB_ADDRESS_PREFIX[] = "http";  // compared with case

static void write_text(const char* text, std::size_t length) {
  if (length > 0) (void)std::fwrite(text, 1, length, stdout);
}

// A submitted value as page text: the visitor's input must never become
// markup of the site's own page.
void write_html_escaped(const char* value) {
  static const char MARKUP_CHARACTERS[] = "&<>\"'";
  static_assert(REPLY_ESCAPE_PIECE_SIZE > HTML_ENTITY_LIMIT, "every piece takes at least one byte");
  char piece[REPLY_ESCAPE_PIECE_SIZE];
  const char* at = value;
  while (*at != '\0') {
    std::size_t length = 0;
    at += html_escape(piece, sizeof piece, at, MARKUP_CHARACTERS, &length);
    write_text(piece, length);
  }
}

// The value of a token: the required fields found missing for
// MISSING_FIELDS_TOKEN (a field of that name cannot stand in for them),
// else the submitted value; escaped either way.
static void write_token_value(const char* name, std::size_t length) {
  if (length == std::strlen(MISSING_FIELDS_TOKEN) && std::memcmp(name, MISSING_FIELDS_TOKEN, length) == 0) {
    for (int i = 0; i < reply_facts.missing_count; i++) {
      if (i > 0) write_text(", ", 2);
      write_html_escaped(reply_facts.missing_fields[i]);
    }
    return;
  }
  write_html_escaped(form_value_n(name, length));
}

// The characters of a token's name. Script and prose put other characters
// after "||" (a space, a quote, a parenthesis): such bars are an operator or
// text, never a token.
static bool is_name_character(char c) {
  if (static_cast<unsigned char>(c) >= 0x80) return true;
  return is_ascii_letter_or_digit(c) || c == '_' || c == '-' || c == '.' || c == ':' || c == '[' || c == ']';
}

// What ends a tag's name for an HTML tokenizer: white space, '/' or '>'.
// "</scripts>" closes nothing, so neither may it here.
static bool ends_tag_name(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == '/' || c == '>';
}

// After one more character: how many characters of `tag` the text now ends
// in, given `matched` before it (less than the tag's length).
static int tag_step(const char* tag, int matched, char c) {
  if (ascii_to_lower(c) == tag[matched]) return matched + 1;
  return c == '<' ? 1 : 0;
}

// One character of a script element's text. Returns true when `c` is the
// first character after the element: the scan is then outside and `c` must
// be looked at again there.
static bool script_step(PageScan& scan, char c) {
  if (scan.in_script_comment) {
    // Inside "<!--", browsers keep the script open past a "</script>" that
    // follows a "<script" (document.write("<script>...</script>") in old
    // pages). Here nothing in the comment closes the element, which may
    // keep it open longer than a browser does, never shorter. "-->" ends
    // the comment, the dashes of "<!--" counted ("<!-->").
    if (c == '-') {
      scan.dashes++;
      return false;
    }
    if (c == '>' && scan.dashes >= 2) scan.in_script_comment = false;
    scan.dashes = 0;
    return false;
  }
  if (scan.matched == SCRIPT_CLOSE_TAG_LENGTH) {
    if (ends_tag_name(c)) {
      scan = PageScan{};
      return true;
    }
    scan.matched = 0;
  }
  scan.matched = tag_step(SCRIPT_CLOSE_TAG, scan.matched, c);
  scan.comment_matched = tag_step(COMMENT_OPEN, scan.comment_matched, c);
  if (scan.comment_matched == COMMENT_OPEN_LENGTH) {
    scan.in_script_comment = true;
    scan.dashes = 2;
    scan.matched = 0;
    scan.comment_matched = 0;
  }
  return false;
}

// Where the run of characters from `at` on that can change neither the scan
// nor the output ends: outside a script, at a bar, a '<' or a line feed;
// inside, at a '<' or a line feed, or within a comment at a '-', a '>' or a
// line feed. A tag partly matched stops it at once. So most of a page goes
// by in long strcspn runs.
static const char* quiet_run_end(PageScan& scan, const char* at) {
  if (scan.in_script_comment) {
    std::size_t run = std::strcspn(at, "->\n");
    if (run > 0) scan.dashes = 0;
    return at + run;
  }
  if (scan.matched > 0 || scan.comment_matched > 0) return at;
  return at + std::strcspn(at, scan.in_script ? "<\n" : "|<\n");
}

void print_substituted(const char* text) {
  PageScan& scan = reply_page_scan;
  // Everything before `unwritten` has been written; from there on it waits,
  // since a "token not terminated" text takes the line back to there.
  const char* unwritten = text;
  const char* at = text;
  for (;;) {
    at = quiet_run_end(scan, at);
    if (*at == '\0') break;
    if (scan.in_script) {
      if (script_step(scan, *at)) continue;
    } else if (at[0] == TOKEN_BAR && at[1] == TOKEN_BAR) {
      const char* name = at + 2;
      const char* name_end = name;
      while (is_name_character(*name_end)) name_end++;
      if (name_end[0] == TOKEN_BAR && name_end[1] == TOKEN_BAR) {
        write_text(unwritten, static_cast<std::size_t>(at - unwritten));
        write_token_value(name, static_cast<std::size_t>(name_end - name));
        at = unwritten = name_end + 2;
        continue;
      }
      if (*name_end == '\n' || *name_end == '\0') {
        const char* line_end = *name_end == '\n' ? name_end + 1 : name_end;
        std::fputs("token not terminated {", stdout);
        write_text(unwritten, static_cast<std::size_t>(line_end - unwritten));
        std::fputc('}', stdout);
        at = unwritten = line_end;
        continue;
      }
      // Not a token: the first bar is text, and the second may still begin
      // one ("|||x||").
      scan.matched = 0;
    } else {
      scan.matched = tag_step(SCRIPT_OPEN_TAG, scan.matched, *at);
      if (scan.matched == SCRIPT_OPEN_TAG_LENGTH) {
        // Whatever follows: "<scripts>" starts no script in a browser, but
        // taking it for one only leaves tokens unreplaced.
        scan.in_script = true;
        scan.matched = 0;
      }
    }
    at++;
    if (at[-1] == '\n') {
      write_text(unwritten, static_cast<std::size_t>(at - unwritten));
      unwritten = at;
    }
  }
  write_text(unwritten, static_cast<std::size_t>(at - unwritten));
}

void printf_substituted(const char* format, ...) {
  if (substitution_buffer == nullptr)
    substitution_buffer = static_cast<char*>(allocate_or_fatal(SUBSTITUTION_BUFFER_SIZE, NO_MEMORY));
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(substitution_buffer, SUBSTITUTION_BUFFER_SIZE, format, arguments);
  va_end(arguments);
  if (length <= 0 || length > SUBSTITUTION_LIMIT) return;
  print_substituted(substitution_buffer);
}

// The built-in page for a page file that cannot be opened or read: the
// reason with its error number, a hint when the setting looks like a web
// address, and the same reason in the log.
static void write_unreadable_page(const ReplyVariantTexts& texts, const char* setting, int error) {
  TextBuffer* message = text_buffer_create("");
  text_buffer_setf(message, "\"%s\" message file (%s) is not readable for the reason (%d)(%s).",
                   texts.setting_name, setting, error, std::strerror(error));
  std::fputs(texts.opening, stdout);
  std::fputs(message->chars, stdout);
  if (std::strncmp(setting, WEB_ADDRESS_PREFIX, std::strlen(WEB_ADDRESS_PREFIX)) == 0)
    std::fputs(WEB_ADDRESS_HINT, stdout);
  std::fputs(BUILT_IN_PAGE_END, stdout);
  log_event(LOG_ERROR, "%s", message->chars);
  text_buffer_free(message);
}

// One line (or one piece of a long line) of the page file: the link line
// goes in front of its first closing html tag, lower case searched first.
static void write_page_line(const char* line) {
  const char* closing_tag = nullptr;
  if (configuration.add_orlund_link) {
    closing_tag = std::strstr(line, "</html>");
    if (closing_tag == nullptr) closing_tag = std::strstr(line, "</HTML>");
  }
  if (closing_tag == nullptr) {
    printf_substituted("%s", line);
    return;
  }
  // Cut at the tag's '<', which is written again after the link line.
  printf_substituted("%.*s%s<%s", static_cast<int>(closing_tag - line), line, REPLY_LINK_LINE,
                     closing_tag + 1);
}

void write_reply_page(ReplyVariant variant) {
  const ReplyVariantTexts& texts = variant == REPLY_SUCCESS ? SUCCESS_TEXTS : FAILURE_TEXTS;
  const char* setting =
      variant == REPLY_SUCCESS ? configuration.success_html_page : configuration.failure_html_page;

  reply_page_scan = PageScan{};
  write_reply_headers("text/html");

  if (setting == nullptr) {
    std::printf("%s\"%s\" message file is not set in quillet ini file.%s", texts.opening,
                texts.setting_name, BUILT_IN_PAGE_END);
    log_event(LOG_ERROR, "\"%s\" message file is not set in quillet ini file.", texts.setting_name);
    return;
  }

  std::FILE* page = std::fopen(setting, "r");
  if (page == nullptr) {
    write_unreadable_page(texts, setting, errno);
    return;
  }

  char* line = static_cast<char*>(allocate_or_fatal(REPLY_PAGE_LINE_SIZE, NO_MEMORY));
  bool copied_any = false;
  // fgets is given one byte less than the buffer: a piece holds at most
  // REPLY_PAGE_LINE_SIZE - 2 characters, and a longer line comes in pieces.
  while (std::fgets(line, REPLY_PAGE_LINE_SIZE - 1, page) != nullptr) {
    write_page_line(line);
    copied_any = true;
  }
  int error = errno;
  if (std::ferror(page)) {
    // A setting that names a directory opens on POSIX and fails only here
    // (EISDIR): nothing of it has been sent, so it gets the same page as a
    // file that cannot be opened. A failure part-way leaves the page as far
    // as it went, and the log says why.
    if (!copied_any) {
      write_unreadable_page(texts, setting, error);
    } else {
      log_event(LOG_ERROR, "\"%s\" message file (%s) could not be read to its end for the reason (%d)(%s).",
                texts.setting_name, setting, error, std::strerror(error));
    }
  }
  std::fclose(page);
  std::free(line);
}
