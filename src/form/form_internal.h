// form_internal.h - the form decoder's steps, for form/ itself, its unit
// tests, the fuzz targets and the decoding benchmark. Other subsystems use
// form.h only.
#pragma once

#include "form/form.h"

// Splits `body` (a NUL-terminated text, left unchanged) at '&' into pairs and
// appends them, decoded, to the table until it holds MAX_FORM_VARIABLES
// entries; the rest is ignored. Each pair: '+' to space, the first pass over
// the pair, the split at its first '=' (none: the whole pair is the name),
// the second pass over the value. Costs time in proportion to the body.
// Allocation failure ends the run with the fatal page "out of memory.".
void decode_form_body(char* body);

// The decoding steps, in place on writable strings.

// Returns a new string (the caller owns it) holding `text` up to its first
// `delimiter`, and leaves in `text` what followed that delimiter; without
// one, the whole text is returned and `text` becomes empty. Allocation
// failure ends the run with the fatal page "out of memory.".
char* take_word(char* text, char delimiter);
void plus_to_space(char* text);
// First pass: every '%' followed by two characters becomes the byte
// hex_pair_value gives for them, checked or not; a '%' with fewer than two
// characters after it stays as it is.
void unescape_pair(char* text);
// The low 8 bits of 16 * digit(high) + digit(low), where digit(c) is
// (c & 0xDF) - 55 for c >= 'A' and c - '0' otherwise, c taken as a signed
// byte: hex digits of either case give their value, anything else what the
// arithmetic gives ("zz" gives 'S'). Result 0..255.
int hex_pair_value(char high, char low);
// Second pass: the two characters after each '%' are upper-cased in place if
// they are letters; when both are then hex digits the three characters
// become one byte, otherwise the '%' stays. Every carriage return, literal or
// decoded, is dropped.
void unescape_value(char* text);
