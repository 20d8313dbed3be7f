// reply.h - the HTTP reply after the send attempt (the success or failure
// page, with "||name||" tokens replaced by submitted values) and the FAQ
// page of the -FAQ command.
#pragma once

#include "platform/platform.h"

// ---- limits ----

constexpr int REPLY_PAGE_LINE_SIZE = 10000;  // a page line is read 9998 characters at a time
constexpr int SUBSTITUTION_LIMIT = 63000;    // printf_substituted's formatted text

enum ReplyVariant { REPLY_SUCCESS, REPLY_FAILURE };

// ---- process-wide state: none besides the FAQ rule counters (faq.cpp) ----

// Back to the state of process start (tests only).
void reply_reset();

// ---- reply pages (reply_page.cpp) ----

// Writes the whole HTTP reply on standard output: "Pragma: no-cache",
// "Content-type: text/html", then the configured page with its tokens
// replaced and the link line before the closing tag, or a built-in page
// (and a LOG_ERROR line) when the page is not set or cannot be read.
void write_reply_page(ReplyVariant variant);

// Formats and writes the text through print_substituted; writes nothing when
// it is empty or longer than SUBSTITUTION_LIMIT characters.
void printf_substituted(const char* format, ...) QUILLET_PRINTF(1, 2);

// Writes `text` on standard output with each "||name||" replaced by the
// HTML-escaped form_value(name); an unmatched "||" gives
// "token not terminated {...}".
void print_substituted(const char* text);

// ---- the FAQ page (faq.cpp) ----

// Writes the FAQ page (index, then answers) on standard output.
void write_faq_page();

// Writes `text` HTML-escaped through `format` (which has one "%s").
void print_escaped(const char* format, const char* text);
