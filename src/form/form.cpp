// form.cpp - the request body of a form POST and the FormVariableTable.
//
// The body is split into name=value pairs and decoded in two passes: the
// whole pair once (every '%' with two characters after it, checked or not),
// then the value alone a second time (valid escapes only, carriage returns
// dropped). Names are therefore decoded once and values twice.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "form/form_internal.h"
#include "support/support.h"

// ---- process-wide state ----

FormVariableTable form_variable_table;
RequestVariables request_variables;

void form_reset() {
  request_variables = RequestVariables{};
  for (int i = 0; i < form_variable_table.count; i++) {
    std::free(form_variable_table.entries[i].name);
    std::free(form_variable_table.entries[i].value);
    form_variable_table.entries[i].name = nullptr;
    form_variable_table.entries[i].value = nullptr;
  }
  form_variable_table.count = 0;
}

static const char HEX_DIGITS[] = "0123456789ABCDEF";

// What a decoding step that cannot get memory ends the run with.
static const char NO_MEMORY[] = "out of memory.";

// ---- the decoding steps ----

char* take_word(char* text, char delimiter) {
  // A NUL delimiter would "stop" at the terminator and step past it.
  const char* stop = delimiter != '\0' ? std::strchr(text, delimiter) : nullptr;
  std::size_t length = stop != nullptr ? static_cast<std::size_t>(stop - text) : std::strlen(text);
  char* word = copy_bytes_or_fatal(text, length, NO_MEMORY);
  if (stop != nullptr) {
    const char* rest = stop + 1;
    std::memmove(text, rest, std::strlen(rest) + 1);
  } else {
    text[0] = '\0';
  }
  return word;
}

void plus_to_space(char* text) {
  // A counted loop, which the compiler can turn into vector instructions.
  std::size_t length = std::strlen(text);
  for (std::size_t i = 0; i < length; i++) text[i] = text[i] == '+' ? ' ' : text[i];
}

// The length of the run before the first `c` (or before the end).
static std::size_t run_before(const char* text, char c) {
  const char* found = std::strchr(text, c);
  return found != nullptr ? static_cast<std::size_t>(found - text) : std::strlen(text);
}

// The digit value of one escape character: letters from 'A' up (either case)
// count from 10, everything else from '0'. The character is taken as a signed
// byte, so 0x80..0xFF fall on the '0' side and give negative values.
static int escape_digit_value(char c) {
  int value = static_cast<signed char>(c);
  if (value >= 'A') return (value & 0xDF) - 55;
  return value - 48;
}

int hex_pair_value(char high, char low) {
  int sum = 16 * escape_digit_value(high) + escape_digit_value(low);
  return static_cast<int>(static_cast<unsigned int>(sum) & 0xFFu);
}

void unescape_pair(char* text) {
  // Two positions over the same storage: `write` never passes `read`, since
  // each step writes one byte for the one or three it reads. The text
  // between escapes is moved in runs.
  char* write = text;
  const char* read = text;
  while (*read != '\0') {
    std::size_t run = run_before(read, '%');
    if (write != read) std::memmove(write, read, run);
    write += run;
    read += run;
    if (*read == '\0') break;
    // A '%' needs two characters after it inside the pair; an incomplete
    // escape at the end stays as it stands.
    if (read[1] != '\0' && read[2] != '\0') {
      *write++ = static_cast<char>(hex_pair_value(read[1], read[2]));
      read += 3;
    } else {
      *write++ = *read++;
    }
  }
  *write = '\0';
}

// The index of `c` in HEX_DIGITS, or -1; the terminator is no digit.
static int hex_digit_index(char c) {
  if (c == '\0') return -1;
  const char* found = std::strchr(HEX_DIGITS, c);
  return found != nullptr ? static_cast<int>(found - HEX_DIGITS) : -1;
}

void unescape_value(char* text) {
  char* write = text;
  char* read = text;
  while (*read != '\0') {
    // Runs without '%' or a carriage return are moved as they are.
    std::size_t run = std::strcspn(read, "%\r");
    if (write != read) std::memmove(write, read, run);
    write += run;
    read += run;
    if (*read == '\0') break;
    char handled = *read;
    int step = 1;
    if (handled == '%') {
      // The letters after a '%' are upper-cased in place whether or not they
      // turn out to be hex digits; the second is only looked at when the
      // first is not the terminator.
      int high = -1;
      int low = -1;
      read[1] = ascii_to_upper(read[1]);
      high = hex_digit_index(read[1]);
      if (read[1] != '\0') {
        read[2] = ascii_to_upper(read[2]);
        low = hex_digit_index(read[2]);
      }
      if (high >= 0 && low >= 0) {
        handled = static_cast<char>(16 * high + low);
        step = 3;
      }
    }
    read += step;
    if (handled != '\r') *write++ = handled;
  }
  *write = '\0';
}

// ---- the table ----

void decode_form_body(char* body) {
  FormVariableTable* table = &form_variable_table;
  // `cursor` is where the remaining data starts: each pair is copied out
  // from there and the cursor moves past it and its '&', so the body is read
  // once, however many pairs it holds.
  const char* cursor = body;
  while (*cursor != '\0' && table->count < MAX_FORM_VARIABLES) {
    const char* stop = std::strchr(cursor, '&');
    std::size_t length = stop != nullptr ? static_cast<std::size_t>(stop - cursor) : std::strlen(cursor);
    char* pair = copy_bytes_or_fatal(cursor, length, NO_MEMORY);
    cursor = stop != nullptr ? stop + 1 : cursor + length;

    plus_to_space(pair);
    unescape_pair(pair);
    // The '=' split comes after the first pass: an encoded '=' in the name
    // part ends the name too. What take_word leaves in `pair` is the value.
    char* name = take_word(pair, '=');
    unescape_value(pair);

    table->entries[table->count].name = name;
    table->entries[table->count].value = pair;
    table->count++;
  }
}

// CONTENT_LENGTH by the C library's decimal rules (leading white space, a
// sign, digits up to the first non-digit; none gives 0), held to the range
// of an int instead of overflowing.
static int declared_content_length() {
  const char* text = std::getenv("CONTENT_LENGTH");
  if (text == nullptr) return 0;
  long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void read_form_data() {
  int declared = declared_content_length();
  platform_binary_stdin();

  char* body = static_cast<char*>(allocate_or_fatal(FORM_BUFFER_SIZE, NO_MEMORY));
  int received = 0;
  if (declared > 0) {
    std::size_t wanted = declared < FORM_BUFFER_SIZE - 1 ? static_cast<std::size_t>(declared)
                                                         : static_cast<std::size_t>(FORM_BUFFER_SIZE - 1);
    received = static_cast<int>(std::fread(body, 1, wanted, stdin));
  }
  body[received] = '\0';

  if (received != declared)
    log_event(LOG_ERROR, "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)", received, declared);

  decode_form_body(body);
  std::free(body);

  request_variables.remote_address = std::getenv("REMOTE_ADDR");
  request_variables.origin = std::getenv("HTTP_ORIGIN");
  request_variables.referer = std::getenv("HTTP_REFERER");
  request_variables.accept = std::getenv("HTTP_ACCEPT");
}

bool form_field_filled(const char* name) {
  const char* value = form_value(name);
  return value[std::strspn(value, " \t\r\n")] != '\0';
}

const char* form_value(const char* key) {
  if (key == nullptr) return "";
  return form_value_n(key, std::strlen(key));
}

const char* form_value_n(const char* name, std::size_t length) {
  for (int i = 0; i < form_variable_table.count; i++) {
    const char* entry = form_variable_table.entries[i].name;
    if (std::strlen(entry) == length && std::memcmp(entry, name, length) == 0)
      return form_variable_table.entries[i].value;
  }
  return "";
}
