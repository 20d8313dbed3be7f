// reply.h - the HTTP reply after the send attempt (the success or failure
// page, with "||name||" tokens replaced by submitted values) and the FAQ
// page of the -FAQ command.
//
// Everything here writes to standard output and reports its problems as
// LOG_ERROR lines; nothing returns a failure and nothing ends the process
// (only memory that cannot be had does, through emit_fatal_page).
#pragma once

#include "config/config.h"
#include "form/form.h"
#include "platform/platform.h"

// ---- limits ----

constexpr int REPLY_PAGE_LINE_SIZE = 10000;       // a page line is read 9998 characters at a time
constexpr int REPLY_ESCAPE_PIECE_SIZE = 4096;     // a substituted value is escaped this much at a time
constexpr int SUBSTITUTION_LIMIT = 63000;         // printf_substituted's formatted text
constexpr int SUBSTITUTION_BUFFER_SIZE = 64000;   // ... and the buffer it is formatted into
constexpr int FAQ_LINE_LIMIT = 1998;              // characters of a FAQ line taken per line
constexpr int FAQ_ESCAPED_LIMIT = 1998;           // characters print_escaped writes at most
constexpr int FAQ_REPLACEMENT_SIZE = 200;         // a rule's replacement with its counter shown
constexpr int FAQ_RULE_COUNT = 4;                 // rules in each rule table

enum ReplyVariant { REPLY_SUCCESS, REPLY_FAILURE };

// What became of the request, which decides the reply: the success variant
// for RUN_SENT and RUN_HONEYPOT, the failure variant for the others; and the
// status and reason of a JSON reply (see write_json_reply).
enum RunOutcome {
  RUN_SENT,               // the mail server took the message
  RUN_HONEYPOT,           // a honeypot field was filled: nothing sent, answered as sent
  RUN_ORIGIN_REFUSED,     // not from an allowed_origin
  RUN_MISSING_FIELDS,     // a required_field was missing or blank
  RUN_INVALID_MESSAGE,    // no sender, To recipient or Subject line
  RUN_RECIPIENT_REFUSED,  // a recipient from the form that allowed_recipient does not allow
  RUN_RATE_LIMITED,       // the client's rate_limit was reached
  RUN_NOT_DELIVERED,      // the mail server refused the message or did not answer
};

// The token that stands for the required fields found missing (their names,
// ", " between them), whatever the form holds.
extern const char MISSING_FIELDS_TOKEN[];

// What the reply needs to know beyond the Configuration and the form,
// filled by the run's checks.
struct ReplyFacts {
  RunOutcome outcome;
  const char* missing_fields[FIELD_NAME_LINES_MAX];  // in required_field order; not owned
  int missing_count;
  const char* cors_origin;  // the request's Origin when an allowed_origin line lists it, else null
  bool vary_origin;         // allowed_origin lines are given: the reply depends on the Origin
};

// The line put in front of the closing html tag of a reply page while
// add_orlund_link is on; it ends with its own line end.
extern const char REPLY_LINK_LINE[];

// ---- the FAQ's records ----

// How a rule's match changes the printing of lines.
enum FaqLineEffect {
  FAQ_LINE_UNCHANGED,         // printing stays as it is
  FAQ_PRINT_FROM_THIS_LINE,   // switched on before the line is written
  FAQ_PRINT_FROM_NEXT_LINE,   // switched on after the line
  FAQ_STOP_AFTER_THIS_LINE,   // switched off after the line
};

// How a rule's match changes the HTML escaping of lines.
enum FaqEscapeEffect {
  FAQ_ESCAPE_OFF_FROM_THIS_LINE,  // switched off before the line is written
  FAQ_ESCAPE_ON_FROM_THIS_LINE,   // switched on before the line is written
  FAQ_ESCAPE_ON_AFTER_THIS_LINE,  // switched on after the line
  FAQ_ESCAPE_OFF_AFTER_THIS_LINE, // switched off after the line
};

// One markup rule: where `tag` occurs in a line, its first occurrence is
// replaced by `replacement` with the raised `counter` written for each "%d"
// in it (the one conversion a replacement may hold; a '%' before anything
// else is text), cut to FAQ_REPLACEMENT_SIZE - 1 characters, and the two
// effects are noted for that line.
struct FaqRule {
  const char* tag;
  const char* replacement;
  int counter;  // matches so far; raised before each use, so the first shows 1
  FaqLineEffect line_effect;
  FaqEscapeEffect escape_effect;
};

// The questions and answers: entries of "[q]", question lines, "[a]" and
// answer lines with "[pre]" ... "[/pre]" blocks and empty lines between
// paragraphs, then empty lines. No line end inside a line. Defined in
// faq_text.cpp.
extern const char* const FAQ_LINES[];
extern const int FAQ_LINE_COUNT;

// Where the page being written stands, carried from one line (or piece of a
// line) to the next: outside a script element, tokens are replaced; inside
// one, the text is copied as it stands. `matched` counts the characters of
// the tag looked for ("<script" outside, "</script" inside) that the text
// so far ends in, so a tag cut between two pieces is still found.
struct PageScan {
  bool in_script;
  bool in_script_comment;  // inside the script, after "<!--" and before "-->"
  int matched;
  int comment_matched;     // characters of "<!--" the text ends in
  int dashes;              // '-' in a row just seen inside such a comment
};

// ---- process-wide state (reply_page_scan and substitution_buffer in
// reply_page.cpp, reply_facts in reply_kinds.cpp, the rest in faq.cpp) ----

// The scan of the page being written: write_reply_page starts it afresh
// (outside any script); print_substituted carries it on.
extern PageScan reply_page_scan;
// printf_substituted's text: SUBSTITUTION_BUFFER_SIZE bytes on the heap,
// made on first need and kept for the process (null before).
extern char* substitution_buffer;
// The run's outcome and what goes with it; RUN_SENT and nothing else at
// process start.
extern ReplyFacts reply_facts;

// The two rule tables with their counters: the index section's and the
// answer section's. The counters start at 0 and count for the whole process.
extern FaqRule FAQ_INDEX_RULES[FAQ_RULE_COUNT];
extern FaqRule FAQ_ANSWER_RULES[FAQ_RULE_COUNT];

// Back to the state of process start: both tables' counters at 0, the
// page scan outside any script, no substitution buffer, and reply_facts
// empty (tests only).
void reply_reset();

// ---- reply pages (reply_page.cpp) ----

// Writes the whole HTTP reply on standard output: "Pragma: no-cache",
// "Content-type: text/html", then the configured page with its tokens
// replaced outside script elements (print_substituted, one line or piece
// after another, from a fresh reply_page_scan) and REPLY_LINK_LINE before
// the closing tag, or a built-in page (and a LOG_ERROR line) when the page
// is not set or cannot be opened or read. A page that fails to read part-way
// ends where the failure happened, with a LOG_ERROR line. Reads the
// Configuration and the FormVariableTable and changes neither.
void write_reply_page(ReplyVariant variant);

// Formats and writes the text through print_substituted; writes nothing when
// it is empty or longer than SUBSTITUTION_LIMIT characters. The text is made
// in substitution_buffer; no memory for it ends the run with the fatal page
// "Unable to malloc memory".
void printf_substituted(const char* format, ...) QUILLET_PRINTF(1, 2);

// Writes `text` on standard output as the next part of the page that
// reply_page_scan describes, and carries the scan on.
//
// Outside a script element, each token "||name||" is replaced by
// form_value_n(name) with & < > " ' written as &amp; &lt; &gt; &quot; &#39;
// ("||" inside a value is no token). A name is empty or made of ASCII
// letters, digits, '_', '-', '.', ':', '[', ']' and bytes 0x80 to 0xFF. Tokens
// are taken from left to right, the leftmost first: "||||" is the empty
// name's token, and "|||x||" is "|" and the token of "x". Two bars that
// start no token ("|| ", "||a b", "||(") are written as they stand. Two bars
// followed by name characters up to the end of a line (a line feed or the end
// of `text`) make the line's text since the last token, its line feed
// included, come out as "token not terminated {<text>}".
//
// A script element runs from "<script" (any case, whatever follows) to the
// next "</script" (any case) that is followed by white space, '/' or '>';
// within it, an HTML comment opened by "<!--" holds it open until "-->", as
// browsers may. Its text, the tags included, is written as it stands: no
// token is replaced there and no "token not terminated" is written.
void print_substituted(const char* text);

// Writes `value` with & < > " ' written as &amp; &lt; &gt; &quot; &#39;.
void write_html_escaped(const char* value);

// ---- the kinds of reply (reply_kinds.cpp) ----

// Writes the whole reply to the run's outcome (reply_facts.outcome): the
// JSON reply when the request's Accept header asks for JSON
// (accept_wants_json), else the redirect when success_redirect (or
// failure_redirect, by the variant) is set, else write_reply_page.
void write_reply();

// Whether an Accept header names application/json and not text/html: its
// media ranges, each up to its ';' with blanks around it dropped, compared
// ignoring ASCII case; a range whose "q" parameter is 0 names nothing. So
// "*/*", "text/html, application/json" and an absent header give false.
bool accept_wants_json(const char* accept);

// The JSON reply: "Status: <code> <reason phrase>", "Pragma: no-cache", the
// CORS lines (write_reply_headers), "Content-type: application/json", the
// empty line and one line holding one object: {"sent":true} with 200 for
// RUN_SENT and RUN_HONEYPOT; otherwise {"sent":false,"reason":"<reason>"}
// with 403 "origin" (RUN_ORIGIN_REFUSED), 422 "missing" and a "missing"
// array of the field names (RUN_MISSING_FIELDS), 422 "invalid"
// (RUN_INVALID_MESSAGE), 403 "recipient" (RUN_RECIPIENT_REFUSED), 429
// "rate_limit" (RUN_RATE_LIMITED) or 502 "mail_server"
// (RUN_NOT_DELIVERED). Names are JSON strings: '"' and '\' escaped, control
// characters and < > & as \u00XX.
void write_json_reply(RunOutcome outcome);

// The redirect (RFC 3875 6.2.3 with a document, 6.3.3): "Status: 303 See
// Other", "Location: <url>", "Pragma: no-cache", the CORS lines,
// "Content-type: text/html", the empty line and a short page whose link
// leads to the address (HTML-escaped).
void write_redirect_reply(const char* url);

// The header lines every reply ends its header with, each with its line
// end: "Pragma: no-cache", the CORS lines ("Access-Control-Allow-Origin:
// <origin>" when reply_facts.cors_origin is set, "Vary: Origin" when
// reply_facts.vary_origin is), "Content-type: <content_type>" and the empty
// line.
void write_reply_headers(const char* content_type);

// REPLY_SUCCESS for RUN_SENT and RUN_HONEYPOT, REPLY_FAILURE for the others.
ReplyVariant reply_variant_of(RunOutcome outcome);

// ---- the FAQ page (faq.cpp) ----

// Writes the FAQ page (index, then answers) on standard output. Not a CGI
// reply: no HTTP header lines. Meant to run once per process, since the
// rule counters number the questions.
void write_faq_page();

// Walks FAQ_LINES once with the FAQ_RULE_COUNT rules of `rules` and writes
// the section they describe.
void render_faq_pass(FaqRule* rules);

// The same walk over any `line_count` lines (render_faq_pass uses FAQ_LINES).
void render_faq_lines(const char* const* lines, int line_count, FaqRule* rules);

// Writes `text` on standard output with & > < " written as &amp; &gt; &lt;
// &quot;, and nothing after it. The escaped text is cut after
// FAQ_ESCAPED_LIMIT characters, never inside an escape.
void print_escaped(const char* text);
