// mime.h - the encoders of message composition: header contents as RFC 2047
// encoded-words, bodies as quoted-printable (RFC 2045 6.7), the date of RFC
// 5322 3.3 and the Message-ID.
//
// Internal to src/message/: only message/, its unit tests and its fuzz
// target include it. Every function appends to a TextBuffer (which ends the
// run with the fatal page when it cannot grow) and reports nothing else.
#pragma once

#include <ctime>

#include "support/support.h"

// ---- limits ----

// Characters of one encoded-word, "=?" to "?=" (RFC 2047 2).
constexpr int MIME_ENCODED_WORD_LIMIT = 75;
// Characters of a header line that holds an encoded-word, line end not
// counted (RFC 2047 2 asks for 76; RFC 5322 2.1.1's 78 follows).
constexpr int MIME_HEADER_FOLD_WIDTH = 76;
// Characters of a quoted-printable line, a soft break's '=' included
// (RFC 2045 6.7 rule 5).
constexpr int MIME_QP_LINE_LIMIT = 76;
// Octets of a 7bit or 8bit body line, line end not counted (RFC 2045 2.7 and
// 2.8; RFC 5321 4.5.3.1.6), counting the '.' that the wire doubles.
constexpr int MIME_BODY_LINE_LIMIT = 998;
// Random bytes in a Message-ID: 96 bits beside the time and the process id.
constexpr int MESSAGE_ID_RANDOM_BYTES = 12;
// Characters of the domain in a Message-ID: a domain name's most
// (RFC 1035 2.3.4), so a visitor's long address cannot make the line long.
constexpr int MESSAGE_ID_DOMAIN_LIMIT = 253;

// ---- header contents (RFC 2047) ----

// Whether `charset` names UTF-8 ("UTF-8" or "UTF8", any case): only then are
// multibyte characters kept whole inside one encoded-word.
bool mime_charset_is_utf8(const char* charset);

// Whether the header line (`length` bytes: "Name: content", no line end;
// line breaks from a submitted value, each followed by a blank, may stand
// in it) needs mime_append_encoded_header: its content (after the first
// ':') holds a byte of 0x80 or above, a control character other than a
// blank or a line break, or "=?", which a reader would take for the start of
// an encoded-word.
bool mime_header_needs_encoding(const char* line, int length);

// Appends the header line with its content written as RFC 2047 encoded-words
// (the "Q" encoding, in `charset`) where needed, and folded with `line_end`.
//
// The field name up to the first ':' stays as it is. The content is split at
// blanks into words: a word that needs encoding (as above) is encoded, and
// so is one that holds '"', '(', ')' or a backslash, which must not stand
// unpaired beside encoded-words; so are the blanks between two such words,
// which then form one run, and all but the first of the blanks before a
// run; every other word, an
// address in angle brackets at the end of an encoded word among them
// ("Zoë<zoe@example.org>" gives an encoded-word, a space and
// "<zoe@example.org>"), is written as it stands with the blanks before it.
// A run is cut into encoded-words of at most MIME_ENCODED_WORD_LIMIT
// characters, each holding whole characters under UTF-8 (a byte that
// begins no valid UTF-8 sequence is a character of its own: nothing is
// dropped). The Q encoding keeps only letters, digits and ! * + - / as they
// are (RFC 2047 5 (3), so that a word is also valid inside a display name),
// writes a space as '_' and every other byte as "=XX".
//
// Line breaks in the content are dropped (the blank that follows each one
// stays), and the line is folded, `line_end` before a blank, wherever the
// next word would take the line past MIME_HEADER_FOLD_WIDTH characters; a
// line is longer only when it holds a single word that is. So every line end
// written is followed by a blank: nothing in the content can start a header
// of its own or end the header block. Decoded (RFC 2047 6), the content is
// the original with its line breaks removed.
void mime_append_encoded_header(TextBuffer* out, const char* line, int length, const char* charset,
                                const char* line_end);

// ---- bodies (RFC 2045) ----

enum MimeTransferEncoding { MIME_7BIT, MIME_8BIT, MIME_QUOTED_PRINTABLE };

// How a body must travel: MIME_7BIT when it holds only bytes below 0x80,
// MIME_8BIT when it holds bytes of 0x80 and above; either only when no line
// (ended by LF, CR or CR LF) is longer than MIME_BODY_LINE_LIMIT octets, a
// leading '.' counted twice. A longer line makes it MIME_QUOTED_PRINTABLE,
// whose soft line breaks keep the text whole where breaking the line on the
// wire would add a blank to it.
MimeTransferEncoding mime_body_encoding(const char* body, int length);

// "7bit", "8bit" or "quoted-printable".
const char* mime_encoding_name(MimeTransferEncoding encoding);

// Appends `length` bytes of `text` as quoted-printable (RFC 2045 6.7). Each
// line end of the text (LF, CR or CR LF) is a hard line break, written as
// `line_end`; lines longer than MIME_QP_LINE_LIMIT get soft breaks ("=" and
// `line_end`), never inside an "=XX". Printable ASCII stays as it is except
// '='; a blank stays except at the end of a line; every other byte is
// "=XX" with upper-case hex digits.
void mime_append_quoted_printable(TextBuffer* out, const char* text, int length, const char* line_end);

// ---- date and Message-ID (RFC 5322 3.3, 3.6.4) ----

// Appends the date-time "Tue, 08 Dec 2026 23:45:24 +0100" for the local time
// `local` (tm_wday included) that is `utc_offset_seconds` ahead of UTC; the
// zone is written in whole minutes, rounded toward zero.
void mime_append_date(TextBuffer* out, const std::tm* local, long utc_offset_seconds);

// Appends "<SECONDS.PID.HEX@DOMAIN>": the run's time in seconds since the
// epoch, the process id and `random_count` bytes as lower-case hex digits,
// at the domain of `sender` (the text after its last '@', its empty labels
// and any character that is no letter, digit, '-' or '_' dropped, so that
// it is a valid dot-atom; at most MESSAGE_ID_DOMAIN_LIMIT characters of it);
// "invalid" when that leaves nothing.
void mime_append_message_id(TextBuffer* out, long long seconds, int process_id, const unsigned char* random,
                            int random_count, const char* sender);
