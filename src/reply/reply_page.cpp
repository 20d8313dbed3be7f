// reply_page.cpp - the success and failure pages: the configured file copied
// line by line with its "||name||" tokens replaced, or a built-in page.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "form/form.h"
#include "reply/reply.h"
#include "support/support.h"

const char REPLY_LINK_LINE[] =
    "<p><small>This form was handled by "
    "<a href=\"https://quillet.example.org/\">quillet</a>.</small></p>\n";

static const char TOKEN_MARK[] = "||";
static const int TOKEN_MARK_LENGTH = 2;

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
static void write_html_escaped(const char* value) {
  static const char MARKUP_CHARACTERS[] = "&<>\"'";
  const char* at = value;
  for (;;) {
    // Plain text goes out in runs; only the five markup characters stop it.
    std::size_t run = std::strcspn(at, MARKUP_CHARACTERS);
    write_text(at, run);
    at += run;
    const char* entity = nullptr;
    switch (*at) {
      case '&': entity = "&amp;"; break;
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '"': entity = "&quot;"; break;
      case '\'': entity = "&#39;"; break;
      default: return;  // the end of the value
    }
    std::fputs(entity, stdout);
    at++;
  }
}

// The first "||" at or after `from`, or null. Each search stops at its
// match, so a text is scanned once however many tokens it holds.
static const char* find_token_mark(const char* from) {
  for (const char* at = std::strchr(from, TOKEN_MARK[0]); at != nullptr; at = std::strchr(at + 1, TOKEN_MARK[0])) {
    if (at[1] == TOKEN_MARK[1]) return at;
  }
  return nullptr;
}

void print_substituted(const char* text) {
  char name_buffer[TOKEN_NAME_BUFFER_SIZE];
  const char* rest = text;
  while (*rest != '\0') {
    const char* open = find_token_mark(rest);
    if (open == nullptr) {
      std::fputs(rest, stdout);
      return;
    }
    const char* name = open + TOKEN_MARK_LENGTH;
    const char* close = find_token_mark(name);
    if (close == nullptr) {
      std::printf("token not terminated {%s}", rest);
      return;
    }
    write_text(rest, static_cast<std::size_t>(open - rest));

    // The name ends where the closing mark begins; form_value wants it as a
    // string of its own. A name too long for the buffer is longer than any
    // request body, so no submitted variable carries it.
    std::size_t name_length = static_cast<std::size_t>(close - name);
    if (name_length < sizeof name_buffer) {
      std::memcpy(name_buffer, name, name_length);
      name_buffer[name_length] = '\0';
      write_html_escaped(form_value(name_buffer));
    }

    rest = close + TOKEN_MARK_LENGTH;
  }
}

void printf_substituted(const char* format, ...) {
  char text[SUBSTITUTION_BUFFER_SIZE];
  va_list arguments;
  va_start(arguments, format);
  int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length <= 0 || length > SUBSTITUTION_LIMIT) return;
  print_substituted(text);
}

// The built-in page for a page file that cannot be opened or read: the
// reason with its error number, a hint when the setting looks like a web
// address, and the same reason in the log.
static void write_unreadable_page(const ReplyVariantTexts& texts, const char* setting, int error) {
  char message[REPLY_MESSAGE_SIZE];
  int length = std::snprintf(message, sizeof message,
                             "\"%s\" message file (%s) is not readable for the reason (%d)(%s).",
                             texts.setting_name, setting, error, std::strerror(error));
  if (length < 0) message[0] = '\0';  // cannot happen with these conversions; never print garbage
  std::fputs(texts.opening, stdout);
  std::fputs(message, stdout);
  if (std::strncmp(setting, WEB_ADDRESS_PREFIX, std::strlen(WEB_ADDRESS_PREFIX)) == 0)
    std::fputs(WEB_ADDRESS_HINT, stdout);
  std::fputs(BUILT_IN_PAGE_END, stdout);
  log_event(LOG_ERROR, "%s", message);
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

  std::fputs("Pragma: no-cache\n", stdout);
  std::fputs("Content-type: text/html\n\n", stdout);

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

  char line[REPLY_PAGE_LINE_SIZE];
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
}
