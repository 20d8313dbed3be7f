// ini.cpp - the ini file reader: keyword lines into the Configuration, the
// HeaderLineList and the BodyLineList.
//
// Every line goes through every row of the keyword table (INI_KEYWORDS), in
// its order.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "driver/driver.h"
#include "form/form.h"
#include "support/support.h"

// Every line is read into this one buffer; a line is valid until the next read.
static char ini_line_buffer[INI_LINE_BUFFER_SIZE];

constexpr int EMAIL_CR_VALUE_OFFSET = 9;  // "email_CR", one unexamined character, then the value

static bool begins_with(const char* line, const char* keyword) {
  return std::strncmp(line, keyword, std::strlen(keyword)) == 0;
}

// What a copy of an ini value that cannot get memory ends the run with.
static const char NO_MEMORY[] = "Unable to malloc memory";

// A later line with the same keyword replaces the earlier text.
static void set_text(char** field, const char* value) {
  char* copy = copy_text_or_fatal(value, NO_MEMORY);
  std::free(*field);
  *field = copy;
}

// The value of a number line: a whole number written as decimal digits only
// (no sign, no blanks, nothing after them), from `lowest` (at least 1) to
// `highest`. Returns it, or 0 for anything else.
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

// "charset NAME": 1 to CHARSET_NAME_LIMIT ASCII letters, digits and '-', as
// a MIME charset name may be written in a Content-Type parameter and an
// encoded-word without quoting (RFC 2045 5.1, RFC 2047 2).
static bool is_charset_name(const char* value) {
  int length = 0;
  for (const char* at = value; *at != '\0'; at++, length++) {
    if (!is_ascii_letter_or_digit(*at) && *at != '-') return false;
  }
  return length >= 1 && length <= CHARSET_NAME_LIMIT;
}

static void text_list_append(TextList* list, const char* value) {
  if (list->count == list->room) {
    int room = list->room == 0 ? TEXT_LIST_FIRST_ROOM : list->room * 2;
    list->entries = static_cast<char**>(
        reallocate_or_fatal(list->entries, static_cast<std::size_t>(room) * sizeof(char*), NO_MEMORY));
    list->room = room;
  }
  list->entries[list->count++] = copy_text_or_fatal(value, NO_MEMORY);
}

static void text_list_release(TextList* list) {
  for (int i = 0; i < list->count; i++) std::free(list->entries[i]);
  std::free(list->entries);
  *list = TextList{};
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

// ---- the keyword table ----

// One keyword of the ini file and what its line does. `take` is given the
// line and its value (the rest after the keyword) and returns how many times
// the line counts as used: 0 when it changed nothing. The common kinds of
// line (a flag, a text, a number in a range, one more value for a list) are
// taken by the take_* functions below from the row's own fields; a line of
// another kind has a take function of its own.
struct IniKeyword {
  // Compared with the line's start over its own length (strncmp), case and
  // all; most keywords end in the blank before the value.
  const char* keyword;
  int (*take)(const IniKeyword& row, const char* line, const char* value);
  bool* flag;                           // take_flag: set, whatever follows the keyword
  char** text;                          // take_text: replaced by a copy of the value
  void (*text_taken)(const char* text);  // take_text: then told the new text (null: nobody)
  TextList* list;                       // take_list_value: the value appended
  bool (*valid)(const char* value);     // take_text, take_list_value: the values taken (null: all)
  const char* refusal;                  // why another value is ignored, for a LOG_ERROR line (null: no line)
  int* number;                          // take_number: set to the value (null: kept nowhere)
  int lowest;                           // take_number: the values taken, 1 or more
  int highest;
  void (*number_taken)(int number);     // take_number: then told the new number (null: nobody)
  bool secret;                          // the value is never logged: "<keyword> <hidden>" instead of the line
};

// A value that `valid` refuses: "<keyword> line ignored, <refusal> {<line>}".
static int refuse(const IniKeyword& row, const char* line) {
  if (row.refusal != nullptr)
    log_event(LOG_ERROR, "%.*s line ignored, %s {%s}", static_cast<int>(std::strcspn(row.keyword, " ")),
              row.keyword, row.refusal, line);
  return 0;
}

static int take_flag(const IniKeyword& row, const char*, const char*) {
  *row.flag = true;
  return 1;
}

static int take_text(const IniKeyword& row, const char* line, const char* value) {
  if (row.valid != nullptr && !row.valid(value)) return refuse(row, line);
  set_text(row.text, value);
  if (row.text_taken != nullptr) row.text_taken(*row.text);
  return 1;
}

static int take_list_value(const IniKeyword& row, const char* line, const char* value) {
  if (row.valid != nullptr && !row.valid(value)) return refuse(row, line);
  text_list_append(row.list, value);
  return 1;
}

// Any other value is ignored without a word.
static int take_number(const IniKeyword& row, const char*, const char* value) {
  int number = whole_number(value, row.lowest, row.highest);
  if (number == 0) return 0;
  if (row.number != nullptr) *row.number = number;
  if (row.number_taken != nullptr) row.number_taken(number);
  return 1;
}

// Only switches the link off, and only for exactly "false".
static int take_link_switch(const IniKeyword&, const char*, const char* value) {
  if (std::strcmp(value, "false") != 0) return 0;
  configuration.add_orlund_link = false;
  return 1;
}

static int take_hello_method(const IniKeyword&, const char*, const char* value) {
  configuration.use_helo = begins_with(value, "HELO");
  return 1;
}

// The value starts after the ninth character; a line that ends at the
// keyword has no ninth character to step over. Both tests are made.
static int take_email_line_end(const IniKeyword&, const char* line, const char*) {
  if (line[EMAIL_CR_VALUE_OFFSET - 1] == '\0') return 0;
  const char* value = line + EMAIL_CR_VALUE_OFFSET;
  int used = 0;
  if (begins_with(value, "LFCR")) {
    configuration.email_line_end = "\r\n";
    used++;
  }
  if (begins_with(value, "CR")) {
    configuration.email_line_end = "\n";
    used++;
  }
  return used;
}

static int take_header_line(const IniKeyword&, const char* line, const char* value) {
  return add_header_line(value, "", line);
}

static int take_submitted_header_line(const IniKeyword&, const char* line, const char* value) {
  return add_header_line(value, form_value(value), line);
}

static int take_body_line(const IniKeyword&, const char* line, const char* value) {
  return add_body_variable(value, "", line);
}

static int take_submitted_body_line(const IniKeyword&, const char* line, const char* value) {
  return add_body_variable(value, form_value(value), line);
}

// "honeypot_field NAME" and "required_field NAME": a name that is not
// empty, each once; a line beyond FIELD_NAME_LINES_MAX is dropped with a
// LOG_ERROR line.
static int take_field_name(const IniKeyword& row, const char* line, const char* value) {
  TextList* list = row.list;
  if (*value == '\0') return 0;
  for (int i = 0; i < list->count; i++)
    if (std::strcmp(list->entries[i], value) == 0) return 1;
  if (list->count == FIELD_NAME_LINES_MAX) {
    log_event(LOG_ERROR, "too many %.*s lines in ini file, line dropped {%s}",
              static_cast<int>(std::strcspn(row.keyword, " ")), row.keyword, line);
    return 0;
  }
  text_list_append(list, value);
  return 1;
}

static int take_allowed_origin(const IniKeyword& row, const char* line, const char* value) {
  WebOrigin origin;
  if (!parse_origin(value, true, &origin)) return refuse(row, line);
  AllowedOriginList* list = &allowed_origin_list;
  if (list->count == list->room) {
    int room = list->room == 0 ? TEXT_LIST_FIRST_ROOM : list->room * 2;
    list->entries = static_cast<WebOrigin*>(
        reallocate_or_fatal(list->entries, static_cast<std::size_t>(room) * sizeof(WebOrigin), NO_MEMORY));
    list->room = room;
  }
  list->entries[list->count++] = origin;
  return 1;
}

// "rate_limit N SECONDS": two whole numbers in range, one space between.
static int refuse_rate_limit(const char* line) {
  log_event(LOG_ERROR, "rate_limit line ignored, not N SECONDS with N from 1 to %d and SECONDS from 1 to %d {%s}",
            RATE_LIMIT_COUNT_MAX, RATE_LIMIT_SECONDS_MAX, line);
  return 0;
}

static int take_rate_limit(const IniKeyword&, const char* line, const char* value) {
  constexpr int COUNT_DIGITS_MAX = 6;  // RATE_LIMIT_COUNT_MAX's
  const char* space = std::strchr(value, ' ');
  if (space == nullptr || space - value > COUNT_DIGITS_MAX) return refuse_rate_limit(line);
  char first[COUNT_DIGITS_MAX + 1];
  std::memcpy(first, value, static_cast<std::size_t>(space - value));
  first[space - value] = '\0';
  int count = whole_number(first, 1, RATE_LIMIT_COUNT_MAX);
  int seconds = whole_number(space + 1, 1, RATE_LIMIT_SECONDS_MAX);
  if (count == 0 || seconds == 0) return refuse_rate_limit(line);
  configuration.rate_limit_count = count;
  configuration.rate_limit_seconds = seconds;
  return 1;
}

// The rows of each kind.
static constexpr IniKeyword flag_keyword(const char* keyword, bool* flag) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take_flag;
  row.flag = flag;
  return row;
}

static constexpr IniKeyword text_keyword(const char* keyword, char** text,
                                         void (*text_taken)(const char*) = nullptr,
                                         bool (*valid)(const char*) = nullptr, const char* refusal = nullptr) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take_text;
  row.text = text;
  row.text_taken = text_taken;
  row.valid = valid;
  row.refusal = refusal;
  return row;
}

static constexpr IniKeyword list_keyword(const char* keyword, TextList* list, bool (*valid)(const char*),
                                         const char* refusal) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take_list_value;
  row.list = list;
  row.valid = valid;
  row.refusal = refusal;
  return row;
}

static constexpr IniKeyword number_keyword(const char* keyword, int* number, int lowest, int highest,
                                           void (*number_taken)(int) = nullptr) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take_number;
  row.number = number;
  row.lowest = lowest;
  row.highest = highest;
  row.number_taken = number_taken;
  return row;
}

// A text whose value the log never shows.
static constexpr IniKeyword secret_keyword(const char* keyword, char** text) {
  IniKeyword row = text_keyword(keyword, text);
  row.secret = true;
  return row;
}

static constexpr IniKeyword own_keyword(const char* keyword,
                                        int (*take)(const IniKeyword&, const char*, const char*),
                                        const char* refusal = nullptr) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take;
  row.refusal = refusal;
  return row;
}

// A list of field names: its values taken by take_field_name, released with
// the other lists.
static constexpr IniKeyword field_name_keyword(const char* keyword, TextList* list) {
  IniKeyword row{};
  row.keyword = keyword;
  row.take = take_field_name;
  row.list = list;
  return row;
}

static const char REDIRECT_REFUSAL[] = "not an http:// or https:// address without blanks or control characters";

// Read early as well, by load_log_settings.
static constexpr IniKeyword LOG_MAX_SIZE_KEYWORD =
    number_keyword("log_max_size ", nullptr, LOG_MAX_SIZE_MIN, LOG_MAX_SIZE_MAX, log_set_max_size);

// Every line goes through every row, in this order: the rows do not exclude
// one another, and a line that matches none is a comment. A new keyword is
// one more row (with its field and default in the Configuration, where it
// keeps its value there; release_ini_values frees texts and lists through
// the table). Notes on some:
// "remove_empty_variable" is one character short of the setting's name, so
// either spelling switches it on; "hello_method " is followed by a
// four-character value, "email_CR" by one character that is never looked at
// and then the line end's name; the `logging` line takes effect at once, so
// that its own "line used" entry already obeys it.
static constexpr IniKeyword INI_KEYWORDS[] = {
    flag_keyword("no_padding", &configuration.no_padding),
    flag_keyword("add_headerline_colon", &configuration.add_headerline_colon),
    own_keyword("add_orlund_link ", take_link_switch),
    own_keyword("hello_method ", take_hello_method),
    flag_keyword("remove_empty_variable", &configuration.remove_empty_variables),
    text_keyword("smtp ", &configuration.smtp),
    text_keyword("logging ", &configuration.logging, log_apply_logging_setting),
    own_keyword("email_CR", take_email_line_end),
    text_keyword("sendall ", &configuration.sendall),
    text_keyword("success_html_page ", &configuration.success_html_page),
    text_keyword("failure_html_page ", &configuration.failure_html_page),
    own_keyword("headerline ", take_header_line),
    own_keyword("use_submitted_variable_for_headerline ", take_submitted_header_line),
    own_keyword("bodycontent_line ", take_body_line),
    own_keyword("use_submitted_variable_for_bodycontent ", take_submitted_body_line),
    number_keyword("smtp_timeout ", &configuration.smtp_timeout, SMTP_TIMEOUT_MIN, SMTP_TIMEOUT_MAX),
    list_keyword("allowed_recipient ", &allowed_recipient_list, is_allowed_recipient_value,
                 "not one address or @domain"),
    LOG_MAX_SIZE_KEYWORD,
    flag_keyword("add_date_and_message_id", &configuration.add_date_and_message_id),
    text_keyword("charset ", &configuration.charset, nullptr, is_charset_name, "not a charset name"),
    text_keyword("smtp_tls ", &configuration.smtp_tls),
    text_keyword("smtp_tls_ca_file ", &configuration.smtp_tls_ca_file),
    text_keyword("smtp_user ", &configuration.smtp_user),
    secret_keyword("smtp_password ", &configuration.smtp_password),
    field_name_keyword("honeypot_field ", &honeypot_field_list),
    field_name_keyword("required_field ", &required_field_list),
    own_keyword("allowed_origin ", take_allowed_origin, "not an origin such as https://www.example.com"),
    own_keyword("rate_limit ", take_rate_limit),
    text_keyword("success_redirect ", &configuration.success_redirect, nullptr, redirect_url_acceptable,
                 REDIRECT_REFUSAL),
    text_keyword("failure_redirect ", &configuration.failure_redirect, nullptr, redirect_url_acceptable,
                 REDIRECT_REFUSAL),
};

void handle_ini_line(const char* line) {
  int used = 0;
  const IniKeyword* secret = nullptr;
  for (const IniKeyword& row : INI_KEYWORDS) {
    if (!begins_with(line, row.keyword)) continue;
    used += row.take(row, line, line + std::strlen(row.keyword));
    if (row.secret) secret = &row;
  }
  if (used == 0) return;
  if (secret != nullptr)
    log_event(LOG_DEBUG, "line used from ini file {%s<hidden>}", secret->keyword);
  else
    log_event(LOG_DEBUG, "line used from ini file {%s}", line);
}

void release_ini_values() {
  for (const IniKeyword& row : INI_KEYWORDS) {
    if (row.text != nullptr) {
      std::free(*row.text);
      *row.text = nullptr;
    }
    if (row.list != nullptr) text_list_release(row.list);
  }
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
  const IniKeyword& row = LOG_MAX_SIZE_KEYWORD;
  char* line = nullptr;
  while ((line = read_ini_line(file)) != nullptr) {
    cut_line_end(line);
    if (begins_with(line, row.keyword)) (void)row.take(row, line, line + std::strlen(row.keyword));
  }
  std::fclose(file);
}
