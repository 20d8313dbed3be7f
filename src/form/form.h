// form.h - the request body of a form POST and the FormVariableTable.
//
// read_form_data reads CONTENT_LENGTH bytes of URL-encoded body from standard
// input once per run and decodes them into the table; form_value looks a
// value up by name. All strings are 8-bit bytes without any character set.
#pragma once

#include <cstddef>

// ---- limits ----

constexpr int MAX_FORM_VARIABLES = 1000;  // pairs kept; the rest is ignored
constexpr int FORM_BUFFER_SIZE = 100000;  // at most 99999 body bytes + NUL

// ---- records ----

struct FormVariable {
  char* name;   // decoded once
  char* value;  // decoded twice, carriage returns removed
};

struct FormVariableTable {
  FormVariable entries[MAX_FORM_VARIABLES];  // in body order
  int count;
};

// The request's variables besides its body that the checks of a run read,
// as the web server set them (RFC 3875 4.1.8 and 4.1.18); null when absent.
// They point into the environment and live as long as the process.
struct RequestVariables {
  const char* remote_address;  // REMOTE_ADDR: the client
  const char* origin;          // HTTP_ORIGIN: the page's origin, from a browser
  const char* referer;         // HTTP_REFERER: the page's address
  const char* accept;          // HTTP_ACCEPT: the media types the client takes
};

// ---- process-wide state (defined in form.cpp) ----

extern FormVariableTable form_variable_table;
extern RequestVariables request_variables;

// Empties the table (tests only; every name and value is released) and
// forgets the request's variables.
void form_reset();

// ---- operations ----

// Reads the body named by CONTENT_LENGTH from standard input (binary mode,
// at most FORM_BUFFER_SIZE - 1 bytes) and fills the table. CONTENT_LENGTH is
// read by atoi's rules (unset, empty or non-numeric is 0; a value beyond the
// range of an int is held at its limit); nothing is read when it is 0 or
// negative. A received length that differs from the declared one gives the
// LOG_ERROR line "FORM DATA SIZE != CONTENT_LENGTH, got(%d), CL(%d)" and the
// bytes received are used. A NUL byte ends the data. Then fills
// request_variables from the environment.
void read_form_data();

// Whether the value of the first field named `name` holds anything other
// than spaces, tabs and line breaks (a field not submitted holds nothing).
bool form_field_filled(const char* name);

// The value of the first entry named exactly `key` (byte for byte), or ""
// when there is none. The result lives until the table is reset or the
// process ends. Never fails.
const char* form_value(const char* key);
// The same for a name given as the first `length` bytes at `name`, which
// need not be followed by a NUL (a name cut out of a longer text).
const char* form_value_n(const char* name, std::size_t length);
