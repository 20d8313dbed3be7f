// text_buffer.cpp - the growable formatted text, memory that must be had, the
// HTML escaper and the fatal error page.
#include <climits>
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
static const char* format_piece(int* length, const char* format, va_list arguments) QUILLET_PRINTF(2, 0);
static const char* format_piece(int* length, const char* format, va_list arguments) {
  return format_long_text(format_scratch, &format_overflow_buffer, &format_overflow_size, length,
                          format, arguments);
}

void* allocate_or_fatal(std::size_t bytes, const char* failure) {
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block == nullptr) emit_fatal_page(failure);
  return block;
}

void* reallocate_or_fatal(void* block, std::size_t bytes, const char* failure) {
  void* resized = std::realloc(block, bytes != 0 ? bytes : 1);
  if (resized == nullptr) emit_fatal_page(failure);
  return resized;
}

char* copy_bytes_or_fatal(const char* bytes, std::size_t length, const char* failure) {
  char* copy = static_cast<char*>(allocate_or_fatal(length + 1, failure));
  std::memcpy(copy, bytes, length);
  copy[length] = '\0';
  return copy;
}

char* copy_text_or_fatal(const char* text, const char* failure) {
  return copy_bytes_or_fatal(text, std::strlen(text), failure);
}

TextBuffer* text_buffer_create(const char* start) {
  static const char NO_MEMORY[] = "Unable to malloc memory.";
  TextBuffer* buffer = static_cast<TextBuffer*>(allocate_or_fatal(sizeof(TextBuffer), NO_MEMORY));
  int length = static_cast<int>(std::strlen(start));
  buffer->chars =
      static_cast<char*>(allocate_or_fatal(static_cast<size_t>(length) + TEXT_BUFFER_HEADROOM, NO_MEMORY));
  std::memcpy(buffer->chars, start, static_cast<size_t>(length) + 1);
  buffer->length = length;
  buffer->capacity = length + TEXT_BUFFER_HEADROOM;
  return buffer;
}

// The capacity of storage that has to grow to hold `length` characters. A
// fixed step alone made a text built from many long pieces cost time in
// proportion to the square of its length (every piece moved the whole text);
// a step in proportion to the length moves each byte a few times at most.
static int grown_capacity(int length) {
  long long step = length / TEXT_BUFFER_GROWTH_SHARE;
  if (step < TEXT_BUFFER_GROWTH) step = TEXT_BUFFER_GROWTH;
  long long capacity = static_cast<long long>(length) + step;
  return capacity < INT_MAX ? static_cast<int>(capacity) : INT_MAX;
}

// Makes the text its first `kept` characters followed by the `added_length`
// bytes at `added`. The storage stays while the new text fits with room to
// spare (length + 1 < capacity, so the last byte is never used); otherwise
// the text moves to new storage with room to grow.
// `added` is copied before the old storage goes, so it may lie in it.
static void text_buffer_put(TextBuffer* buffer, int kept, const char* added, int added_length) {
  int new_length = kept + added_length;
  if (new_length + 1 < buffer->capacity) {
    std::memmove(buffer->chars + kept, added, static_cast<size_t>(added_length));
  } else {
    int capacity = grown_capacity(new_length);
    char* grown =
        static_cast<char*>(allocate_or_fatal(static_cast<size_t>(capacity), "Unable to malloc memory"));
    std::memcpy(grown, buffer->chars, static_cast<size_t>(kept));
    std::memcpy(grown + kept, added, static_cast<size_t>(added_length));
    std::free(buffer->chars);
    buffer->chars = grown;
    buffer->capacity = capacity;
  }
  buffer->chars[new_length] = '\0';
  buffer->length = new_length;
}

void text_buffer_append(TextBuffer* buffer, const char* bytes, int length) {
  text_buffer_put(buffer, buffer->length, bytes, length);
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
  text_buffer_put(buffer, 0, piece, n);
}

// The entity that stands for a markup character, or null for any other.
static const char* html_entity(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
  }
}

std::size_t html_escape(char* destination, std::size_t size, const char* text, const char* characters,
                        std::size_t* length) {
  std::size_t room = size - 1;  // the NUL's byte is kept back
  std::size_t written = 0;
  const char* at = text;
  for (;;) {
    // Plain text goes over in runs; only the characters to escape stop one.
    std::size_t run = std::strcspn(at, characters);
    if (run > room - written) run = room - written;
    std::memcpy(destination + written, at, run);
    written += run;
    at += run;
    if (*at == '\0' || written == room) break;
    const char* entity = html_entity(*at);
    std::size_t entity_length = entity != nullptr ? std::strlen(entity) : 1;
    if (entity_length > room - written) break;
    std::memcpy(destination + written, entity != nullptr ? entity : at, entity_length);
    written += entity_length;
    at++;
  }
  destination[written] = '\0';
  *length = written;
  return static_cast<std::size_t>(at - text);
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
