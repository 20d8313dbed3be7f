// log.cpp - the log file beside the executable, and the shared text helpers.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/support.h"

// ---- process-wide state ----

bool log_busy = false;
char log_format_buffer[FORMAT_BUFFER_SIZE];
char* log_overflow_buffer = nullptr;
int log_overflow_size = OVERFLOW_START_SIZE;
const char* log_path = nullptr;
bool log_debug_lines = true;

// The whole line (stamp, pid, message, line end) is put together here so
// that it reaches the file in one write; a longer line is assembled on the heap.
static char log_line_buffer[FORMAT_BUFFER_SIZE + LOG_FRAME_SIZE];

static const char* const MONTH_NAMES[12] = {"January", "February", "March",     "April",
                                            "May",     "June",     "July",      "August",
                                            "September", "October", "November", "December"};

// ---- text helpers ----

const char* text_or_null(const char* text) { return text != nullptr ? text : "(null)"; }

static char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

int text_equal_ignoring_case(const char* a, const char* b, int count) {
  for (int i = 0; i < count; i++) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return 0;
    if (a[i] == '\0') return 1;  // both ended together
  }
  return 1;
}

static bool is_letter_or_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool is_local_part_character(char c) {
  return is_letter_or_digit(c) || (c != '\0' && std::strchr(".!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

bool is_domain_character(char c) { return is_letter_or_digit(c) || c == '.' || c == '_' || c == '-'; }

const char* format_long_text(char* fixed, char** overflow, int* overflow_size, int* length,
                             const char* format, va_list arguments) {
  va_list attempt;
  va_copy(attempt, arguments);
  int n = std::vsnprintf(fixed, FORMAT_LIMIT + 1, format, attempt);
  va_end(attempt);
  if (n < 0) {  // an encoding error: nothing usable was formatted
    fixed[0] = '\0';
    n = 0;
  }
  if (n <= FORMAT_LIMIT) {
    *length = n;
    return fixed;
  }
  for (;;) {
    if (*overflow == nullptr) {
      *overflow = static_cast<char*>(std::malloc(static_cast<size_t>(*overflow_size)));
      if (*overflow == nullptr) std::exit(EXIT_NO_MEMORY);
    }
    va_copy(attempt, arguments);
    n = std::vsnprintf(*overflow, static_cast<size_t>(*overflow_size - 1), format, attempt);
    va_end(attempt);
    if (n >= 0 && n <= *overflow_size - 2) {
      *length = n;
      return *overflow;
    }
    std::free(*overflow);
    *overflow = nullptr;
    if (*overflow_size > INT_MAX / 2) std::exit(EXIT_NO_MEMORY);
    *overflow_size *= 2;
  }
}

// ---- the log ----

void log_set_path(const char* path) { log_path = path; }

void log_apply_logging_setting(const char* logging) {
  log_debug_lines = logging == nullptr || text_equal_ignoring_case(logging, "debug", 5);
}

// The stamp into a fixed buffer.
static void stamp_text(char* text, std::size_t size, const std::tm* when) {
  int day = when->tm_mday;
  const char* suffix = "th";
  if (day < 10 || day > 19) {
    switch (day % 10) {
      case 1: suffix = "st"; break;
      case 2: suffix = "nd"; break;
      case 3: suffix = "rd"; break;
      default: break;
    }
  }
  // Twelve-hour clock without a 12 for midnight: hour 0 stays 0 am.
  int hour = when->tm_hour;
  const char* half = hour < 12 ? "am" : "pm";
  if (hour > 12) hour -= 12;
  int month = when->tm_mon;
  const char* month_name = (month >= 0 && month < 12) ? MONTH_NAMES[month] : "";
  // "% 2d" puts a blank before every hour: two blanks follow the comma.
  if (std::snprintf(text, size, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix, month_name, when->tm_year + 1900,
                    hour, when->tm_min, when->tm_sec, half) < 0)
    text[0] = '\0';
}

void log_format_stamp(TextBuffer* stamp, const std::tm* when) {
  char text[LOG_FRAME_SIZE];
  stamp_text(text, sizeof text, when);
  text_buffer_setf(stamp, "%s", text);
}

// "<stamp> - pid(<id>) - " into `frame` of LOG_FRAME_SIZE bytes; returns its length.
static int frame_text(char* frame, const char* stamp, int pid) {
  int length = std::snprintf(frame, LOG_FRAME_SIZE, "%s - pid(%d) - ", stamp, pid);
  if (length < 0) {
    frame[0] = '\0';
    return 0;
  }
  return length < LOG_FRAME_SIZE ? length : LOG_FRAME_SIZE - 1;
}

// Appends one whole line (ending in its line feed) to the log. Returns 0
// when the log could not be opened, 1 otherwise.
static int append_line(const char* line, std::size_t length) {
  if (log_path == nullptr) return 0;
  PlatformFile file = platform_append_open(log_path, APPEND_CREATE);
  if (file == PLATFORM_NO_FILE) return 0;
  (void)platform_append_write(file, line, length);
  platform_append_close(file);
  return 1;
}

void log_event(int level, const char* format, ...) {
  if (log_busy) return;
  log_busy = true;
  if ((level == LOG_DEBUG && !log_debug_lines) || (level != LOG_ERROR && level != LOG_DEBUG)) {
    log_busy = false;
    return;
  }

  std::tm now;
  platform_local_time(&now);
  TextBuffer* stamp = text_buffer_create("");
  log_format_stamp(stamp, &now);
  int pid = platform_process_id();

  int message_length = 0;
  va_list arguments;
  va_start(arguments, format);
  const char* message = format_long_text(log_format_buffer, &log_overflow_buffer, &log_overflow_size,
                                         &message_length, format, arguments);
  va_end(arguments);
  // The line is written as "%s" would write it: up to the first NUL.
  size_t message_bytes = std::strlen(message);

  char frame[LOG_FRAME_SIZE];
  int frame_length = frame_text(frame, stamp->chars, pid);
  text_buffer_free(stamp);

  size_t line_length = static_cast<size_t>(frame_length) + message_bytes + 1;
  char* line = log_line_buffer;
  if (line_length > sizeof log_line_buffer) {
    line = static_cast<char*>(std::malloc(line_length));
    if (line == nullptr) std::exit(EXIT_NO_MEMORY);
  }
  std::memcpy(line, frame, static_cast<size_t>(frame_length));
  std::memcpy(line + frame_length, message, message_bytes);
  line[line_length - 1] = '\n';

  (void)append_line(line, line_length);
  if (line != log_line_buffer) std::free(line);
  log_busy = false;
}

int log_bare_line(const char* message) {
  // One write; memory may be what ran out, so without a heap copy the line
  // goes out in two.
  std::size_t length = std::strlen(message);
  char* line = static_cast<char*>(std::malloc(length + 1));
  if (line == nullptr) return append_line(message, length) && append_line("\n", 1);
  std::memcpy(line, message, length);
  line[length] = '\n';
  int opened = append_line(line, length + 1);
  std::free(line);
  return opened;
}
