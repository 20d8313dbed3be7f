// log.cpp - the log file beside the executable, and the shared text helpers.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "driver/driver.h"
#include "support/support.h"

// ---- process-wide state ----

bool log_busy = false;
char log_format_buffer[FORMAT_BUFFER_SIZE];
char* log_overflow_buffer = nullptr;
int log_overflow_size = OVERFLOW_START_SIZE;

// The whole line (stamp, pid, message, line end) is put together here so
// that it reaches the file in one write; a longer line is assembled on the heap.
static char log_line_buffer[FORMAT_BUFFER_SIZE + 256];

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

void log_format_stamp(TextBuffer* stamp, const std::tm* when) {
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
  text_buffer_setf(stamp, "%d%s %s %04d, % 2d:%02d:%02d %s", day, suffix, month_name,
                   when->tm_year + 1900, hour, when->tm_min, when->tm_sec, half);
}

static bool debug_lines_wanted() {
  const char* logging = configuration.logging;
  return logging == nullptr || text_equal_ignoring_case(logging, "debug", 5);
}

void log_event(int level, const char* format, ...) {
  if (log_busy) return;
  log_busy = true;
  if ((level == LOG_DEBUG && !debug_lines_wanted()) || (level != LOG_ERROR && level != LOG_DEBUG)) {
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

  char frame[160];
  int frame_length = std::snprintf(frame, sizeof frame, "%s - pid(%d) - ", stamp->chars, pid);
  text_buffer_free(stamp);
  if (frame_length < 0) frame_length = 0;
  if (frame_length >= static_cast<int>(sizeof frame)) frame_length = static_cast<int>(sizeof frame) - 1;

  size_t line_length = static_cast<size_t>(frame_length) + message_bytes + 1;
  char* line = log_line_buffer;
  if (line_length > sizeof log_line_buffer) {
    line = static_cast<char*>(std::malloc(line_length));
    if (line == nullptr) std::exit(EXIT_NO_MEMORY);
  }
  std::memcpy(line, frame, static_cast<size_t>(frame_length));
  std::memcpy(line + frame_length, message, message_bytes);
  line[line_length - 1] = '\n';

  PlatformFile file = platform_append_open(log_file_path, APPEND_CREATE);
  if (file != PLATFORM_NO_FILE) {
    (void)platform_append_write(file, line, line_length);
    platform_append_close(file);
  }
  if (line != log_line_buffer) std::free(line);
  log_busy = false;
}
