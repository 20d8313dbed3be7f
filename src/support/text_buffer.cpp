// text_buffer.cpp - the growable formatted text and the fatal error page.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/support.h"

// ---- process-wide state ----

char format_scratch[FORMAT_BUFFER_SIZE];
char* format_overflow_buffer = nullptr;
int format_overflow_size = OVERFLOW_START_SIZE;

void support_reset() {
  std::free(log_overflow_buffer);
  log_overflow_buffer = nullptr;
  log_overflow_size = OVERFLOW_START_SIZE;
  std::free(format_overflow_buffer);
  format_overflow_buffer = nullptr;
  format_overflow_size = OVERFLOW_START_SIZE;
  log_busy = false;
  log_path = nullptr;
  log_debug_lines = true;
  log_max_kilobytes = 0;
  log_rotation_failed = false;
}

// The formatting step shared by appendf and setf. The piece lives in
// format_scratch or format_overflow_buffer until the next formatting call,
// so the caller copies it before formatting again.
static const char* format_piece(int* length, const char* format, va_list arguments) {
  return format_long_text(format_scratch, &format_overflow_buffer, &format_overflow_size, length,
                          format, arguments);
}

TextBuffer* text_buffer_create(const char* start) {
  TextBuffer* buffer = static_cast<TextBuffer*>(std::malloc(sizeof(TextBuffer)));
  if (buffer == nullptr) emit_fatal_page("Unable to malloc memory.");
  int length = static_cast<int>(std::strlen(start));
  buffer->chars = static_cast<char*>(std::malloc(static_cast<size_t>(length) + TEXT_BUFFER_HEADROOM));
  if (buffer->chars == nullptr) emit_fatal_page("Unable to malloc memory.");
  std::memcpy(buffer->chars, start, static_cast<size_t>(length) + 1);
  buffer->length = length;
  buffer->capacity = length + TEXT_BUFFER_HEADROOM;
  return buffer;
}

void text_buffer_append(TextBuffer* buffer, const char* bytes, int length) {
  // Invariant kept without growth: length + 1 < capacity, so the last byte
  // of the storage is never used.
  if (buffer->length + length + 1 < buffer->capacity) {
    std::memcpy(buffer->chars + buffer->length, bytes, static_cast<size_t>(length));
    buffer->length += length;
    buffer->chars[buffer->length] = '\0';
    return;
  }
  int new_length = buffer->length + length;
  char* grown = static_cast<char*>(std::malloc(static_cast<size_t>(new_length) + TEXT_BUFFER_GROWTH));
  if (grown == nullptr) emit_fatal_page("Unable to malloc memory");
  std::memcpy(grown, buffer->chars, static_cast<size_t>(buffer->length));
  std::memcpy(grown + buffer->length, bytes, static_cast<size_t>(length));
  grown[new_length] = '\0';
  std::free(buffer->chars);
  buffer->chars = grown;
  buffer->length = new_length;
  buffer->capacity = new_length + TEXT_BUFFER_GROWTH;
}

void text_buffer_appendf(TextBuffer* buffer, const char* format, ...) {
  int n = 0;
  va_list arguments;
  va_start(arguments, format);
  const char* piece = format_piece(&n, format, arguments);
  va_end(arguments);
  text_buffer_append(buffer, piece, n);
}

void text_buffer_setf(TextBuffer* buffer, const char* format, ...) {
  int n = 0;
  va_list arguments;
  va_start(arguments, format);
  const char* piece = format_piece(&n, format, arguments);
  va_end(arguments);
  if (n + 1 < buffer->capacity) {
    std::memcpy(buffer->chars, piece, static_cast<size_t>(n) + 1);
    buffer->length = n;
    return;
  }
  char* grown = static_cast<char*>(std::malloc(static_cast<size_t>(n) + TEXT_BUFFER_GROWTH));
  if (grown == nullptr) emit_fatal_page("Unable to malloc memory");
  std::memcpy(grown, piece, static_cast<size_t>(n) + 1);
  std::free(buffer->chars);
  buffer->chars = grown;
  buffer->length = n;
  buffer->capacity = n + TEXT_BUFFER_GROWTH;
}

void text_buffer_free(TextBuffer* buffer) {
  if (buffer == nullptr) return;
  std::free(buffer->chars);
  std::free(buffer);
}

void emit_fatal_page(const char* message) {
  if (!log_bare_line(message)) std::exit(EXIT_FATAL_NO_LOG);
  std::fputs("Pragma: no-cache\n", stdout);
  std::fputs("Content-type: text/html\n\n", stdout);
  std::printf("<HTML><BODY>\nerror: %s.\n</BODY></HTML>\n", message);
  log_event(LOG_DEBUG, "ended");
  std::exit(EXIT_FATAL_PAGE);
}
