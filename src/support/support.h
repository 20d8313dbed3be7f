// support.h - runtime support: the log file, the growable TextBuffer, the
// fatal error page, and the small text helpers every subsystem shares.
//
// Failures here never reach the caller as values: a log line that cannot be
// written is dropped, a TextBuffer that cannot grow ends the run through
// emit_fatal_page, and a formatted text that cannot get memory ends the
// process with EXIT_NO_MEMORY.
#pragma once

#include <cstdarg>
#include <ctime>

#include "platform/platform.h"

// ---- limits ----

// Fixed formatting buffers hold this many bytes; a formatted text of up to
// FORMAT_LIMIT characters is complete in them.
constexpr int FORMAT_BUFFER_SIZE = 64000;
constexpr int FORMAT_LIMIT = 63000;
// First size of an overflow buffer, which doubles until a long text fits.
constexpr int OVERFLOW_START_SIZE = 64000;
// A new TextBuffer has this much room beyond its start text; growth adds
// TEXT_BUFFER_GROWTH beyond what is needed at that moment, or a
// TEXT_BUFFER_GROWTH_SHARE-th of it when that is more, so that a long text
// built from many pieces is moved a bounded number of times in all.
constexpr int TEXT_BUFFER_HEADROOM = 64000;
constexpr int TEXT_BUFFER_GROWTH = 20000;
constexpr int TEXT_BUFFER_GROWTH_SHARE = 4;

// ---- exit statuses of the whole program ----

constexpr int EXIT_FATAL_PAGE = 1;      // emit_fatal_page wrote its page
constexpr int EXIT_FATAL_NO_LOG = 2;    // emit_fatal_page could not open the log
constexpr int EXIT_COMMAND_FAILED = 3;  // -blanklog or the release rename failed
constexpr int EXIT_NO_MEMORY = 9;       // no memory for an over-long formatted text

// ---- text helpers ----

// The text itself, or "(null)" for an absent one: the one place that decides
// how a missing string is printed.
const char* text_or_null(const char* text);

// ASCII case, whatever the locale: a letter A-Z or a-z in the other case;
// every other byte, 0x80 to 0xFF included, as it is.
inline char ascii_to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char ascii_to_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
// An ASCII letter or digit.
inline bool is_ascii_letter_or_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}
// A space or a horizontal tab.
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }
// The value of a hexadecimal digit (0-9, a-f, A-F), or -1 for any other byte.
inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Compares at most `count` characters, ignoring the case of ASCII letters
// only. Returns 1 when they are equal (a shorter text differs), else 0.
int text_equal_ignoring_case(const char* a, const char* b, int count);

// The characters of an e-mail address as this program takes it. A local
// part is made of ASCII letters, digits, '.' and the other characters RFC
// 5322 3.2.3 allows in an atom: ! # $ % & ' * + - / = ? ^ _ ` { | } ~. A
// domain is made of ASCII letters, digits, '.', '_' and '-'. Neither set
// holds a blank, a control character, '<', '>', ':', '@', a quote or a byte
// above 0x7F, so nothing taken from these sets can end or extend an SMTP
// command line.
bool is_local_part_character(char c);
bool is_domain_character(char c);

// Writes into `destination` (`size` bytes, at least 1) as much of `text` as
// fits, followed by a NUL, with each character of `characters` (any of
// & < > " ') written as its HTML entity: &amp; &lt; &gt; &quot; &#39;. Every
// other byte is copied as it is. The output stops before the first character
// or entity that would not fit: an entity is never cut. Returns how many
// bytes of `text` were taken (all of them when the whole escaped text fit)
// and stores the length written in *length. With room for HTML_ENTITY_LIMIT
// characters or more, a text that is not empty always gives up a byte, so
// escaping a long text piece by piece makes progress.
std::size_t html_escape(char* destination, std::size_t size, const char* text, const char* characters,
                        std::size_t* length);
constexpr int HTML_ENTITY_LIMIT = 6;  // characters of the longest entity, "&quot;"

// Formats into a fixed buffer of FORMAT_BUFFER_SIZE bytes; a text longer than
// FORMAT_LIMIT characters goes to *overflow, a heap buffer of *overflow_size
// bytes (OVERFLOW_START_SIZE at first) that is made on first need and
// doubled until the text fits in its size minus 2 characters. Buffer and size
// persist for the caller's next use. Returns the complete text and stores its
// length in *length. Ends the process with EXIT_NO_MEMORY when an
// allocation fails.
const char* format_long_text(char* fixed, char** overflow, int* overflow_size, int* length,
                             const char* format, va_list arguments) QUILLET_PRINTF(5, 0);

// ---- the log file ----

constexpr int LOG_ERROR = 1;  // always written
constexpr int LOG_DEBUG = 2;  // written while `logging` is absent or begins with "debug"
// Room for a line's frame, "<stamp> - pid(<id>) - ", and for the stamp.
constexpr int LOG_FRAME_SIZE = 160;

// The ini file's `log_max_size` is in kilobytes of LOG_KILOBYTE bytes (as
// ls -k and du count them), from LOG_MAX_SIZE_MIN to LOG_MAX_SIZE_MAX.
constexpr int LOG_KILOBYTE = 1024;
constexpr int LOG_MAX_SIZE_MIN = 1;
constexpr int LOG_MAX_SIZE_MAX = 1000000;
// How often a run that finds the log moved aside under it opens it again;
// after that it writes its line without the lock rather than drop it.
constexpr int LOG_OPEN_ATTEMPTS = 100;

// Appends one line "<stamp> - pid(<id>) - <message>\n" to the log file
// (log_path), where the message is the format filled with its arguments. The
// line goes out in one write on a descriptor opened for appending, so lines
// of concurrent runs never interleave. A log that cannot be opened drops the
// line silently. Any level other than LOG_ERROR and LOG_DEBUG writes nothing.
//
// With a size limit (log_set_max_size), the line is written under an
// exclusive lock on the log, and a line that would take a log that is not
// empty past the limit first moves the log aside to "<log>.old" (replacing
// an older one): the new log begins with the stamped line "log file reached
// <N> KB; the earlier lines are in <log>.old" and this line. A log that is
// a symbolic link is moved aside where the file it leads to lies. Only one of
// several runs that reach the limit together moves the log. A line longer
// than the limit is still written whole. When the log cannot be moved, the
// line goes to the full log followed by one LOG_ERROR line that says why,
// and the run does not try again.
void log_event(int level, const char* format, ...) QUILLET_PRINTF(2, 3);

// Appends `message` and a line end as one bare line (no stamp, no process
// id), as log_event writes a line. Returns 0 when the log could not be
// opened, else 1.
[[nodiscard]] int log_bare_line(const char* message);

// The time stamp in words, "7th December 2026,  5:03:09 pm", written into
// `stamp` (replacing its text).
struct TextBuffer;
void log_format_stamp(TextBuffer* stamp, const std::tm* when);

// ---- the TextBuffer ----

// A growable NUL-terminated text. `chars` always holds a string of `length`
// characters in `capacity` bytes; callers read `chars` directly.
struct TextBuffer {
  char* chars;
  int length;
  int capacity;
};

// A new TextBuffer holding a copy of `start` with TEXT_BUFFER_HEADROOM bytes
// of room beyond it. Never returns null: an allocation failure ends the run
// with the fatal page "Unable to malloc memory.".
TextBuffer* text_buffer_create(const char* start);

// Appends the formatted piece; grows the storage when needed (a failure
// ends the run with the fatal page "Unable to malloc memory").
void text_buffer_appendf(TextBuffer* buffer, const char* format, ...) QUILLET_PRINTF(2, 3);

// Appends `length` bytes of `bytes` as they are, without formatting: the
// same as appendf with "%.*s", for long texts that need no format.
void text_buffer_append(TextBuffer* buffer, const char* bytes, int length);

// Replaces the text by the formatted piece; the format "" empties the buffer
// and keeps its capacity.
void text_buffer_setf(TextBuffer* buffer, const char* format, ...) QUILLET_PRINTF(2, 3);

// Releases the storage and the record; null is ignored.
void text_buffer_free(TextBuffer* buffer);

// ---- memory the run cannot go on without ----
//
// Each of these returns heap memory the caller frees, never null: when the
// memory cannot be had, the run ends with the fatal page showing `failure`
// (emit_fatal_page), the caller's own words.

// A block of `bytes` bytes (one byte when `bytes` is 0).
[[nodiscard]] void* allocate_or_fatal(std::size_t bytes, const char* failure);
// The block at `block` (null: none yet) resized to `bytes` bytes, as
// realloc resizes it; the old block is gone once this returns.
[[nodiscard]] void* reallocate_or_fatal(void* block, std::size_t bytes, const char* failure);
// A copy of the `length` bytes at `bytes`, followed by a NUL.
[[nodiscard]] char* copy_bytes_or_fatal(const char* bytes, std::size_t length, const char* failure);
// A copy of the text.
[[nodiscard]] char* copy_text_or_fatal(const char* text, const char* failure);

// ---- the fatal error page ----

// Records `message` as a bare line in the log (log_bare_line), writes a
// minimal HTML error page on standard output and ends the process with
// EXIT_FATAL_PAGE; with a log file that cannot be opened it writes nothing
// and ends with EXIT_FATAL_NO_LOG.
[[noreturn]] void emit_fatal_page(const char* message);

// ---- process-wide state (defined in log.cpp and text_buffer.cpp) ----

// Set while log_event writes a line, so that nothing log_event calls can
// log again.
extern bool log_busy;
// The log's formatting buffer and its overflow buffer with its size.
extern char log_format_buffer[FORMAT_BUFFER_SIZE];
extern char* log_overflow_buffer;
extern int log_overflow_size;
// The TextBuffer formatting step's scratch buffer and overflow buffer.
extern char format_scratch[FORMAT_BUFFER_SIZE];
extern char* format_overflow_buffer;
extern int format_overflow_size;

// The log's settings, given by the subsystems that know them: the driver
// names the file, the ini reader passes on `logging` and `log_max_size`.
// At process start: no file, LOG_DEBUG lines written, no size limit.
extern const char* log_path;
extern bool log_debug_lines;
extern int log_max_kilobytes;  // 0: no limit
// Set when moving the full log aside failed once: the run then writes on
// into the full log without trying again.
extern bool log_rotation_failed;

// The log file's name. The text is not copied: it must stay as long as the
// log is used (the driver passes its own buffer). Null drops every line.
void log_set_path(const char* path);
// The ini file's `logging` setting: LOG_DEBUG lines are written from now on
// while it is absent (null) or its first five characters are "debug",
// compared without regard to ASCII case.
void log_apply_logging_setting(const char* logging);
// The size limit in kilobytes (LOG_MAX_SIZE_MIN to LOG_MAX_SIZE_MAX); 0 is
// no limit.
void log_set_max_size(int kilobytes);

// Back to the state of process start (tests only): releases both overflow
// buffers, clears log_busy and gives the log its default settings.
void support_reset();
