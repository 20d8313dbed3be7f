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
int log_max_kilobytes = 0;
bool log_rotation_failed = false;

// The whole line (stamp, pid, message, line end) is put together here so
// that it reaches the file in one write; a longer line is assembled on the heap.
static char log_line_buffer[FORMAT_BUFFER_SIZE + LOG_FRAME_SIZE];

// The names beside the log: the full log moved aside, and the new log while
// it is being written.
static const char OLD_LOG_SUFFIX[] = ".old";
static const char NEW_LOG_SUFFIX[] = ".new";

static const char* const MONTH_NAMES[] = {"January", "February", "March",     "April",
                                          "May",     "June",     "July",      "August",
                                          "September", "October", "November", "December"};
static const int MONTH_COUNT = sizeof MONTH_NAMES / sizeof MONTH_NAMES[0];

// ---- text helpers ----

const char* text_or_null(const char* text) { return text != nullptr ? text : "(null)"; }

int text_equal_ignoring_case(const char* a, const char* b, int count) {
  for (int i = 0; i < count; i++) {
    if (ascii_to_lower(a[i]) != ascii_to_lower(b[i])) return 0;
    if (a[i] == '\0') return 1;  // both ended together
  }
  return 1;
}

bool is_local_part_character(char c) {
  return is_ascii_letter_or_digit(c) || (c != '\0' && std::strchr(".!#$%&'*+-/=?^_`{|}~", c) != nullptr);
}

bool is_domain_character(char c) { return is_ascii_letter_or_digit(c) || c == '.' || c == '_' || c == '-'; }

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

void log_set_max_size(int kilobytes) { log_max_kilobytes = kilobytes > 0 ? kilobytes : 0; }

// The stamp into a fixed buffer, so that the log's own lines need no memory
// from the heap.
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
  const char* month_name = (month >= 0 && month < MONTH_COUNT) ? MONTH_NAMES[month] : "";
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

// A line the log writes of its own accord, stamped now, on the heap (the
// caller frees it); null when there is no memory. Takes no lock and never
// reaches the fatal page, so it may be called while the log is locked.
static char* own_line(const char* format, ...) QUILLET_PRINTF(1, 2);
static char* own_line(const char* format, ...) {
  std::tm now;
  platform_local_time(&now);
  char stamp[LOG_FRAME_SIZE];
  stamp_text(stamp, sizeof stamp, &now);
  char frame[LOG_FRAME_SIZE];
  int frame_length = frame_text(frame, stamp, platform_process_id());
  va_list arguments;
  va_start(arguments, format);
  int message_length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (message_length < 0) return nullptr;
  std::size_t size = static_cast<std::size_t>(frame_length) + static_cast<std::size_t>(message_length) + 2;
  char* line = static_cast<char*>(std::malloc(size));
  if (line == nullptr) return nullptr;
  std::memcpy(line, frame, static_cast<std::size_t>(frame_length));
  va_start(arguments, format);
  (void)std::vsnprintf(line + frame_length, static_cast<std::size_t>(message_length) + 1, format, arguments);
  va_end(arguments);
  line[size - 2] = '\n';
  line[size - 1] = '\0';
  return line;
}

// "<log><suffix>" on the heap, or null when there is no memory.
static char* sibling_name(const char* log, const char* suffix) {
  std::size_t size = std::strlen(log) + std::strlen(suffix) + 1;
  char* name = static_cast<char*>(std::malloc(size));
  if (name != nullptr && std::snprintf(name, size, "%s%s", log, suffix) < 0) name[0] = '\0';
  return name;
}

// The log is missing: either there is none yet, or a run is between moving
// the full log aside and putting the new one in its place. That run holds
// the lock on the file that now bears the old name until it is done, so
// taking and releasing that lock waits for it.
static void wait_for_rotation(const char* log) {
  char* old_name = sibling_name(log, OLD_LOG_SUFFIX);
  if (old_name == nullptr) return;
  PlatformFile old = platform_append_open(old_name, APPEND_EXISTING);
  std::free(old_name);
  if (old == PLATFORM_NO_FILE) return;
  if (platform_file_lock(old)) platform_file_unlock(old);
  platform_append_close(old);
}

// Opens the log `log` to write a line under the size limit: locked, and
// still the file of that name, since another run may have moved it aside
// between the open and the lock. The log is created only where no rotation
// is under way (a run that created it then would put its line before the
// new log's note). *locked tells whether the lock was had: a file system
// without locks gets the line unlocked. PLATFORM_NO_FILE when it cannot be
// opened.
static PlatformFile open_locked_log(const char* log, bool* locked) {
  *locked = false;
  for (int attempt = 0; attempt < LOG_OPEN_ATTEMPTS; attempt++) {
    PlatformFile file = platform_append_open(log, APPEND_EXISTING);
    if (file == PLATFORM_NO_FILE) {
      if (errno != ENOENT) return PLATFORM_NO_FILE;
      wait_for_rotation(log);
      file = platform_append_open(log, APPEND_CREATE);
      if (file == PLATFORM_NO_FILE) return PLATFORM_NO_FILE;
    }
    if (!platform_file_lock(file)) return file;
    if (platform_file_is_at(file, log)) {
      *locked = true;
      return file;
    }
    platform_file_unlock(file);
    platform_append_close(file);
  }
  return platform_append_open(log, APPEND_CREATE);
}

// Moves the full log aside to "<log>.old" (replacing an older one) and puts
// in its place a new log holding the note and `line`. The new log is written
// under a name of its own first and renamed into place, so that no run ever
// finds it without its note, and the log's name is missing only between the
// two renames (open_locked_log waits then). Called with the log locked: only
// the holder of that lock rotates it. Returns 1; or 0, with the LOG_ERROR
// line that says why in *failure (on the heap; null without memory).
static int rotate_log(const char* log, const char* line, std::size_t length, char** failure) {
  static const char NOT_ROTATED[] = "the log was not rotated: ";
  *failure = nullptr;
  char* old_name = sibling_name(log, OLD_LOG_SUFFIX);
  char* new_name = sibling_name(log, NEW_LOG_SUFFIX);
  if (old_name == nullptr || new_name == nullptr) {
    *failure = own_line("%sno memory.", NOT_ROTATED);
    std::free(old_name);
    std::free(new_name);
    return 0;
  }
  int rotated = 0;
  // A new log left behind by a run that ended halfway is not ours to keep.
  (void)platform_remove_file(new_name);
  PlatformFile fresh = platform_append_open(new_name, APPEND_NEW);
  if (fresh == PLATFORM_NO_FILE) {
    int error = errno;
    *failure = own_line("%s%s could not be created (%d)(%s).", NOT_ROTATED, new_name, error, std::strerror(error));
  } else {
    char* note = own_line("log file reached %d KB; the earlier lines are in %s", log_max_kilobytes, old_name);
    if (note == nullptr) errno = ENOMEM;
    bool written = note != nullptr && platform_append_write(fresh, note, std::strlen(note)) &&
                   platform_append_write(fresh, line, length);
    int error = errno;
    std::free(note);
    platform_append_close(fresh);
    if (!written) {
      *failure = own_line("%s%s could not be written (%d)(%s).", NOT_ROTATED, new_name, error, std::strerror(error));
    } else if (platform_rename_replace(log, old_name) != 0) {
      error = errno;
      *failure = own_line("%s%s could not be renamed to %s (%d)(%s).", NOT_ROTATED, log, old_name, error,
                          std::strerror(error));
    } else if (platform_rename_replace(new_name, log) != 0) {
      error = errno;
      // The full log goes back under its name; it gets the line.
      (void)platform_rename_replace(old_name, log);
      *failure = own_line("%s%s could not be renamed to %s (%d)(%s).", NOT_ROTATED, new_name, log, error,
                          std::strerror(error));
    } else {
      rotated = 1;
    }
    if (!rotated) (void)platform_remove_file(new_name);
  }
  std::free(old_name);
  std::free(new_name);
  return rotated;
}

// Appends one whole line (ending in its line feed) to the log. Returns 0
// when the log could not be opened, 1 otherwise.
static int append_line(const char* line, std::size_t length) {
  if (log_path == nullptr) return 0;
  if (log_max_kilobytes == 0) {
    PlatformFile file = platform_append_open(log_path, APPEND_CREATE);
    if (file == PLATFORM_NO_FILE) return 0;
    (void)platform_append_write(file, line, length);
    platform_append_close(file);
    return 1;
  }

  // A log that is a symbolic link is moved aside where the file it leads to
  // lies, which may be a directory of its own that the run may write.
  char* target = platform_link_target(log_path);
  const char* log = target != nullptr ? target : log_path;
  bool locked = false;
  PlatformFile file = open_locked_log(log, &locked);
  if (file == PLATFORM_NO_FILE) {
    std::free(target);
    return 0;
  }
  // Only the lock holder may rotate; an empty log is never moved aside, so a
  // line longer than the limit goes into it whole.
  long long size = locked && !log_rotation_failed ? platform_file_size(file) : -1;
  long long limit = static_cast<long long>(log_max_kilobytes) * LOG_KILOBYTE;
  bool full = size > 0 && size + static_cast<long long>(platform_text_size(line, length)) > limit;
  char* failure = nullptr;
  if (!full || !rotate_log(log, line, length, &failure)) {
    (void)platform_append_write(file, line, length);
    if (full) {
      log_rotation_failed = true;
      if (failure != nullptr) (void)platform_append_write(file, failure, std::strlen(failure));
    }
  }
  std::free(failure);
  if (locked) platform_file_unlock(file);
  platform_append_close(file);
  std::free(target);
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
