// ini.cpp - the ini file reader: keyword lines into the Configuration, the
// HeaderLineList and the BodyLineList.
//
// Every line goes through every keyword test, in a fixed order; the tests do
// not exclude one another, and a line that matches none is a comment.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "driver/driver.h"
#include "form/form.h"
#include "support/support.h"

// Every line is read into this one buffer; a line is valid until the next read.
static char ini_line_buffer[INI_LINE_BUFFER_SIZE];

// The keywords, each compared over its own length (strncmp). Most carry the
// space that separates them from their value. "remove_empty_variable" is one
// character short of the setting's name, so either spelling switches it on;
// "hello_method " is followed by a four-character value, "email_CR" by one
// character that is never looked at and then the line end's name.
static const char KEY_NO_PADDING[] = "no_padding";
static const char KEY_HEADERLINE_COLON[] = "add_headerline_colon";
static const char KEY_ORLUND_LINK[] = "add_orlund_link ";
static const char KEY_HELLO_METHOD[] = "hello_method ";
static const char KEY_REMOVE_EMPTY[] = "remove_empty_variable";
static const char KEY_SMTP[] = "smtp ";
static const char KEY_LOGGING[] = "logging ";
static const char KEY_EMAIL_CR[] = "email_CR";
static const char KEY_SENDALL[] = "sendall ";
static const char KEY_SUCCESS_PAGE[] = "success_html_page ";
static const char KEY_FAILURE_PAGE[] = "failure_html_page ";
static const char KEY_HEADERLINE[] = "headerline ";
static const char KEY_SUBMITTED_HEADERLINE[] = "use_submitted_variable_for_headerline ";
static const char KEY_BODYCONTENT[] = "bodycontent_line ";
static const char KEY_SUBMITTED_BODYCONTENT[] = "use_submitted_variable_for_bodycontent ";
static const char KEY_SMTP_TIMEOUT[] = "smtp_timeout ";
static const char KEY_ALLOWED_RECIPIENT[] = "allowed_recipient ";
static const char KEY_LOG_MAX_SIZE[] = "log_max_size ";

constexpr int EMAIL_CR_VALUE_OFFSET = 9;  // "email_CR", one unexamined character, then the value

static bool begins_with(const char* line, const char* keyword) {
  return std::strncmp(line, keyword, std::strlen(keyword)) == 0;
}

// What follows a keyword that begins_with has matched.
static const char* rest_after(const char* line, const char* keyword) { return line + std::strlen(keyword); }

// What a copy of an ini value that cannot get memory ends the run with.
static const char NO_MEMORY[] = "Unable to malloc memory";

// A later line with the same keyword replaces the earlier text.
static void set_text(char** field, const char* value) {
  char* copy = copy_text_or_fatal(value, NO_MEMORY);
  std::free(*field);
  *field = copy;
}

// The value of "smtp_timeout N" and "log_max_size N": a whole number written
// as decimal digits only (no sign, no blanks, nothing after them), from
// `lowest` to `highest`. Returns it, or 0 for anything else.
static int whole_number(const char* text, int lowest, int highest) {
  if (*text == '\0') return 0;
  int number = 0;
  for (const char* at = text; *at != '\0'; at++) {
    if (*at < '0' || *at > '9') return 0;
    number = number * 10 + (*at - '0');
    if (number > highest) return 0;
  }
  return number >= lowest ? number : 0;
}

// "allowed_recipient VALUE": exactly one address (local part, '@', domain)
// or an '@' followed by a domain, nothing before or after it.
static bool is_allowed_recipient_value(const char* value) {
  const char* at = value;
  while (is_local_part_character(*at)) at++;
  if (*at != '@') return false;
  const char* domain = at + 1;
  const char* end = domain;
  while (is_domain_character(*end)) end++;
  return end > domain && *end == '\0';
}

static void append_allowed_recipient(const char* value) {
  AllowedRecipientList* list = &allowed_recipient_list;
  if (list->count == list->room) {
    int room = list->room == 0 ? ALLOWED_RECIPIENT_FIRST_ROOM : list->room * 2;
    list->entries = static_cast<char**>(
        reallocate_or_fatal(list->entries, static_cast<std::size_t>(room) * sizeof(char*), NO_MEMORY));
    list->room = room;
  }
  list->entries[list->count++] = copy_text_or_fatal(value, NO_MEMORY);
}

// `kind` names the list in the error line: "header" or "body".
static int append_entry(LineList* list, const char* label, const char* content, const char* ini_line,
                        const char* kind) {
  if (label == nullptr || content == nullptr) return 0;
  if (list->count >= MAX_LINE_ENTRIES) {
    log_event(LOG_ERROR, "too many %s lines in ini file, line dropped {%s}", kind, text_or_null(ini_line));
    return 0;
  }
  char* label_copy = copy_text_or_fatal(label, NO_MEMORY);
  char* content_copy = copy_text_or_fatal(content, NO_MEMORY);
  list->entries[list->count].label = label_copy;
  list->entries[list->count].content = content_copy;
  list->count++;
  return 1;
}

int add_header_line(const char* label, const char* content, const char* ini_line) {
  log_event(LOG_DEBUG, "add_header_line(%s,%s)", text_or_null(label), text_or_null(content));
  return append_entry(&header_line_list, label, content, ini_line, "header");
}

int add_body_variable(const char* label, const char* content, const char* ini_line) {
  log_event(LOG_DEBUG, "add_body_variable(%s,%s}", text_or_null(label), text_or_null(content));
  return append_entry(&body_line_list, label, content, ini_line, "body");
}

void handle_ini_line(const char* line) {
  int used = 0;

  if (begins_with(line, KEY_NO_PADDING)) {
    configuration.no_padding = true;
    used++;
  }
  if (begins_with(line, KEY_HEADERLINE_COLON)) {
    configuration.add_headerline_colon = true;
    used++;
  }
  // Only switches the link off, and only for exactly "false".
  if (begins_with(line, KEY_ORLUND_LINK) && std::strcmp(rest_after(line, KEY_ORLUND_LINK), "false") == 0) {
    configuration.add_orlund_link = false;
    used++;
  }
  if (begins_with(line, KEY_HELLO_METHOD)) {
    configuration.use_helo = begins_with(rest_after(line, KEY_HELLO_METHOD), "HELO");
    used++;
  }
  if (begins_with(line, KEY_REMOVE_EMPTY)) {
    configuration.remove_empty_variables = true;
    used++;
  }
  if (begins_with(line, KEY_SMTP)) {
    set_text(&configuration.smtp, rest_after(line, KEY_SMTP));
    used++;
  }
  // Takes effect at once: this line's own "line used" entry already obeys it.
  if (begins_with(line, KEY_LOGGING)) {
    set_text(&configuration.logging, rest_after(line, KEY_LOGGING));
    log_apply_logging_setting(configuration.logging);
    used++;
  }
  // The value starts after the ninth character; a line that ends at the
  // keyword has no ninth character to step over.
  if (begins_with(line, KEY_EMAIL_CR) && line[EMAIL_CR_VALUE_OFFSET - 1] != '\0') {
    const char* value = line + EMAIL_CR_VALUE_OFFSET;
    if (begins_with(value, "LFCR")) {
      configuration.email_line_end = "\r\n";
      used++;
    }
    if (begins_with(value, "CR")) {
      configuration.email_line_end = "\n";
      used++;
    }
  }
  if (begins_with(line, KEY_SENDALL)) {
    set_text(&configuration.sendall, rest_after(line, KEY_SENDALL));
    used++;
  }
  if (begins_with(line, KEY_SUCCESS_PAGE)) {
    set_text(&configuration.success_html_page, rest_after(line, KEY_SUCCESS_PAGE));
    used++;
  }
  if (begins_with(line, KEY_FAILURE_PAGE)) {
    set_text(&configuration.failure_html_page, rest_after(line, KEY_FAILURE_PAGE));
    used++;
  }
  if (begins_with(line, KEY_HEADERLINE)) {
    used += add_header_line(rest_after(line, KEY_HEADERLINE), "", line);
  }
  if (begins_with(line, KEY_SUBMITTED_HEADERLINE)) {
    const char* name = rest_after(line, KEY_SUBMITTED_HEADERLINE);
    used += add_header_line(name, form_value(name), line);
  }
  if (begins_with(line, KEY_BODYCONTENT)) {
    used += add_body_variable(rest_after(line, KEY_BODYCONTENT), "", line);
  }
  if (begins_with(line, KEY_SUBMITTED_BODYCONTENT)) {
    const char* name = rest_after(line, KEY_SUBMITTED_BODYCONTENT);
    used += add_body_variable(name, form_value(name), line);
  }
  if (begins_with(line, KEY_SMTP_TIMEOUT)) {
    int seconds = whole_number(rest_after(line, KEY_SMTP_TIMEOUT), SMTP_TIMEOUT_MIN, SMTP_TIMEOUT_MAX);
    if (seconds != 0) {
      configuration.smtp_timeout = seconds;
      used++;
    }
  }
  if (begins_with(line, KEY_ALLOWED_RECIPIENT)) {
    const char* value = rest_after(line, KEY_ALLOWED_RECIPIENT);
    if (is_allowed_recipient_value(value)) {
      append_allowed_recipient(value);
      used++;
    } else {
      log_event(LOG_ERROR, "allowed_recipient line ignored, not one address or @domain {%s}", line);
    }
  }
  if (begins_with(line, KEY_LOG_MAX_SIZE)) {
    int kilobytes = whole_number(rest_after(line, KEY_LOG_MAX_SIZE), LOG_MAX_SIZE_MIN, LOG_MAX_SIZE_MAX);
    if (kilobytes != 0) {
      log_set_max_size(kilobytes);
      used++;
    }
  }

  if (used != 0) log_event(LOG_DEBUG, "line used from ini file {%s}", line);
}

char* read_ini_line(std::FILE* file) {
  if (std::feof(file)) return nullptr;
  ini_line_buffer[0] = '\0';
  // A line longer than INI_LINE_SIZE - 1 characters comes in pieces, each
  // handled as a line of its own.
  if (std::fgets(ini_line_buffer, INI_LINE_SIZE, file) == nullptr) return nullptr;
  return ini_line_buffer;
}

void cut_line_end(char* line) {
  char* carriage_return = std::strchr(line, '\r');
  if (carriage_return != nullptr) *carriage_return = '\0';
  char* line_feed = std::strchr(line, '\n');
  if (line_feed != nullptr) *line_feed = '\0';
}

void load_ini_file() {
  std::FILE* file = std::fopen(ini_file_path, "r");
  if (file == nullptr) emit_fatal_page("The ini file could not be opened.");
  char* line = nullptr;
  while ((line = read_ini_line(file)) != nullptr) {
    cut_line_end(line);
    handle_ini_line(line);
  }
  std::fclose(file);
}

void load_log_settings() {
  std::FILE* file = std::fopen(ini_file_path, "r");
  if (file == nullptr) return;
  char* line = nullptr;
  while ((line = read_ini_line(file)) != nullptr) {
    cut_line_end(line);
    if (!begins_with(line, KEY_LOG_MAX_SIZE)) continue;
    int kilobytes = whole_number(rest_after(line, KEY_LOG_MAX_SIZE), LOG_MAX_SIZE_MIN, LOG_MAX_SIZE_MAX);
    if (kilobytes != 0) log_set_max_size(kilobytes);
  }
  std::fclose(file);
}
