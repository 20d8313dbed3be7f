// form.h - the request body of a form POST and the FormVariableTable.
//
// read_form_data reads CONTENT_LENGTH bytes of URL-encoded body from standard
// input once per run and decodes them into the table; form_value looks a
// value up by name. All strings are 8-bit bytes without any character set.
#pragma once

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

// ---- process-wide state (defined in form.cpp) ----

extern FormVariableTable form_variable_table;

// Empties the table (tests only; the old copies are released).
void form_reset();

// ---- operations ----

// Reads the body named by CONTENT_LENGTH from standard input (binary mode,
// at most 99999 bytes) and fills the table. A body whose received length
// differs from the declared one is logged at LOG_ERROR and used as received.
void read_form_data();

// Splits `body` (a NUL-terminated text, changed in place) into pairs and
// appends them, decoded, to the table: the decoding half of read_form_data.
void decode_form_body(char* body);

// The value of the first entry named exactly `key`, or "" when there is
// none. The result lives until the process ends. Never fails.
const char* form_value(const char* key);

// The decoding steps, in place on writable strings (exposed for tests).
char* take_word(char* text, char delimiter);  // cuts the first word off `text`; caller owns it
void plus_to_space(char* text);
void unescape_pair(char* text);   // first pass: every '%' with two characters after it
int hex_pair_value(char high, char low);
void unescape_value(char* text);  // second pass: valid escapes only; drops CR
