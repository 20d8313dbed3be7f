// mime.cpp - the encoders of message composition: RFC 2047 encoded-words
// with folding, quoted-printable, the RFC 5322 date and the Message-ID.
#include "message/mime.h"

#include <algorithm>
#include <cstring>

static const char HEX_DIGITS[] = "0123456789ABCDEF";
static const char ONE_SPACE[] = " ";

static bool is_line_break(unsigned char c) { return c == '\r' || c == '\n'; }
static bool is_space(unsigned char c) { return is_blank(c) || is_line_break(c); }
static bool is_control(unsigned char c) { return (c < 0x20 && !is_space(c)) || c == 0x7F; }

static void append_char(TextBuffer* out, char c) { text_buffer_append(out, &c, 1); }

static void append_text(TextBuffer* out, const char* text) {
  text_buffer_append(out, text, static_cast<int>(std::strlen(text)));
}

static void append_hex_escape(TextBuffer* out, unsigned char c) {
  const char escape[3] = {'=', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 0x0F]};
  text_buffer_append(out, escape, 3);
}

bool mime_charset_is_utf8(const char* charset) {
  if (charset == nullptr) return false;
  std::size_t length = std::strlen(charset);
  return (length == 5 && text_equal_ignoring_case(charset, "UTF-8", 5)) ||
         (length == 4 && text_equal_ignoring_case(charset, "UTF8", 4));
}

// A byte of 0x80 or above, a control character, or "=?" anywhere in the
// word: a reader must not see raw bytes, and would decode a word that looks
// like an encoded-word, or one that merely holds "=?" (some readers decode
// encoded-words inside longer words).
static bool needs_encoding(const char* start, const char* end) {
  for (const char* at = start; at < end; at++) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c >= 0x80 || is_control(c)) return true;
    if (c == '=' && at + 1 < end && at[1] == '?') return true;
  }
  return false;
}

// In a line that is being encoded, a word is encoded also when it holds a
// quote, a parenthesis or a backslash: the encoded-words beside it hold
// theirs as "=XX", so one left as it is would stand unpaired ('"Zoë, Jo"'
// would leave 'Jo"' with a quote that opens nothing) and spoil the rest of
// an address header (RFC 5322 3.2.4, 3.2.2).
static bool must_encode_word(const char* start, const char* end) {
  if (needs_encoding(start, end)) return true;
  for (const char* at = start; at < end; at++) {
    if (*at == '"' || *at == '(' || *at == ')' || *at == '\\') return true;
  }
  return false;
}

bool mime_header_needs_encoding(const char* line, int length) {
  const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<std::size_t>(length)));
  return colon != nullptr && needs_encoding(colon + 1, line + length);
}

// The number of bytes of the valid UTF-8 sequence (RFC 3629 4) that begins
// at `at`, or 1 when none does: a stray byte is a character of its own.
static int utf8_sequence_length(const unsigned char* at, const unsigned char* end) {
  unsigned char c = at[0];
  int length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 1;
  }
  if (end - at < length || at[1] < low || at[1] > high) return 1;
  for (int i = 2; i < length; i++) {
    if (at[i] < 0x80 || at[i] > 0xBF) return 1;
  }
  return length;
}

// RFC 2047 5 (3): in a phrase only these stand for themselves, so words that
// keep only them are valid in a display name as well as in a Subject.
static bool q_keeps(unsigned char c) {
  return is_ascii_letter_or_digit(static_cast<char>(c)) || c == '!' || c == '*' || c == '+' || c == '-' || c == '/';
}

static int q_width(unsigned char c) { return q_keeps(c) || c == ' ' ? 1 : 3; }

static void append_q(TextBuffer* out, unsigned char c) {
  if (q_keeps(c))
    append_char(out, static_cast<char>(c));
  else if (c == ' ')
    append_char(out, '_');
  else
    append_hex_escape(out, c);
}

// The content with its line breaks out of the way: a run of CR and LF is
// dropped when a blank follows it (the blank a folded line begins with) or
// when it ends the text, and becomes one space otherwise, so that the words
// on either side stay apart.
static void append_without_line_breaks(TextBuffer* out, const char* start, const char* end) {
  const char* at = start;
  while (at < end) {
    const char* line_end = at;
    while (line_end < end && !is_line_break(static_cast<unsigned char>(*line_end))) line_end++;
    text_buffer_append(out, at, static_cast<int>(line_end - at));
    const char* after = line_end;
    while (after < end && is_line_break(static_cast<unsigned char>(*after))) after++;
    if (after > line_end && after < end && !is_blank(static_cast<unsigned char>(*after))) append_char(out, ' ');
    at = after;
  }
}

// Where the header is being written: the column the next character takes
// and whether a word already stands on the current line.
struct HeaderWriter {
  TextBuffer* out;
  const char* line_end;
  int column;
  bool line_has_word;
};

// Folds before blanks (RFC 5322 2.2.3): the line end goes in front of them,
// so the new line begins with a blank.
static void fold(HeaderWriter* writer) {
  append_text(writer->out, writer->line_end);
  writer->column = 0;
  writer->line_has_word = false;
}

// A word written as it stands, after its blanks; the line is folded first
// when the word would not fit and another word on this line can take the
// line end (folding right after the field name would only leave it alone).
static void write_plain_word(HeaderWriter* writer, const char* blanks, const char* blanks_end, const char* word,
                             const char* word_end) {
  int blank_width = static_cast<int>(blanks_end - blanks);
  int word_width = static_cast<int>(word_end - word);
  if (writer->line_has_word && blank_width > 0 && writer->column + blank_width + word_width > MIME_HEADER_FOLD_WIDTH)
    fold(writer);
  text_buffer_append(writer->out, blanks, blank_width);
  text_buffer_append(writer->out, word, word_width);
  writer->column += blank_width + word_width;
  writer->line_has_word = true;
}

// One character of a run: its bytes and its width in the Q encoding.
static int character_length(const unsigned char* at, const unsigned char* end, bool utf8) {
  return utf8 ? utf8_sequence_length(at, end) : 1;
}

static int q_width_of(const unsigned char* at, int length) {
  int width = 0;
  for (int i = 0; i < length; i++) width += q_width(at[i]);
  return width;
}

// The words and blanks of [start, end) as encoded-words, after the blanks
// [blanks, blanks_end). Each encoded-word takes as many whole characters as
// fit in MIME_ENCODED_WORD_LIMIT and in what is left of the line; the next
// one follows after a space, on a new line when it would not fit.
static void write_encoded_run(HeaderWriter* writer, const char* blanks, const char* blanks_end, const char* start,
                              const char* end, const char* charset, bool utf8) {
  const int overhead = static_cast<int>(std::strlen(charset)) + 7;  // "=?" charset "?Q?" ... "?="
  const unsigned char* at = reinterpret_cast<const unsigned char*>(start);
  const unsigned char* stop = reinterpret_cast<const unsigned char*>(end);
  while (at < stop) {
    int blank_width = static_cast<int>(blanks_end - blanks);
    int first_width = q_width_of(at, character_length(at, stop, utf8));
    if (blank_width > 0 && writer->column + blank_width + overhead + first_width > MIME_HEADER_FOLD_WIDTH)
      fold(writer);
    text_buffer_append(writer->out, blanks, blank_width);
    writer->column += blank_width;
    int room = std::min(MIME_ENCODED_WORD_LIMIT, MIME_HEADER_FOLD_WIDTH - writer->column) - overhead;
    text_buffer_appendf(writer->out, "=?%s?Q?", charset);
    // At least one character, even where the line has no room for it.
    int used = 0;
    do {
      int length = character_length(at, stop, utf8);
      for (int i = 0; i < length; i++) append_q(writer->out, at[i]);
      used += q_width_of(at, length);
      at += length;
    } while (at < stop && used + q_width_of(at, character_length(at, stop, utf8)) <= room);
    append_text(writer->out, "?=");
    writer->column += overhead + used;
    writer->line_has_word = true;
    blanks = ONE_SPACE;
    blanks_end = ONE_SPACE + 1;
  }
}

static const char* skip_blanks(const char* at, const char* end) {
  while (at < end && is_blank(static_cast<unsigned char>(*at))) at++;
  return at;
}

static const char* word_end_of(const char* at, const char* end) {
  while (at < end && !is_blank(static_cast<unsigned char>(*at))) at++;
  return at;
}

// Where an address in angle brackets that ends the word [word, word_end)
// begins, when it needs no encoding and something stands before it; null
// otherwise.
static const char* trailing_angle_address(const char* word, const char* word_end) {
  if (word_end - word < 3 || word_end[-1] != '>') return nullptr;
  const char* open = word_end - 1;
  while (open > word && *open != '<') open--;
  if (open == word || needs_encoding(open, word_end)) return nullptr;
  return open;
}

// One word of the content with the blanks before it, and whether it needs
// encoding. A word that does and that ends in an address in angle brackets
// ("Zoë<zoe@example.org>") comes as two: the address follows as a word of
// its own after one space, so that it stays readable and outside the
// encoded-word.
struct Token {
  const char* blanks;
  const char* blanks_end;
  const char* word;
  const char* word_end;
  bool encode;
};

struct Tokenizer {
  const char* at;   // where the next token's blanks begin
  const char* end;
  const char* address;  // an address split off the last word, not yet given
};

static bool next_token(Tokenizer* tokenizer, Token* token) {
  if (tokenizer->address != nullptr) {
    *token = {ONE_SPACE, ONE_SPACE + 1, tokenizer->address, tokenizer->at, false};
    tokenizer->address = nullptr;
    return true;
  }
  const char* word = skip_blanks(tokenizer->at, tokenizer->end);
  if (word == tokenizer->end) return false;
  const char* word_end = word_end_of(word, tokenizer->end);
  *token = {tokenizer->at, word, word, word_end, must_encode_word(word, word_end)};
  tokenizer->at = word_end;
  if (token->encode) {
    tokenizer->address = trailing_angle_address(word, word_end);
    if (tokenizer->address != nullptr) token->word_end = tokenizer->address;
  }
  return true;
}

static void write_content(HeaderWriter* writer, const char* content, const char* end, const char* charset) {
  bool utf8 = mime_charset_is_utf8(charset);
  Tokenizer tokenizer = {content, end, nullptr};
  Token token;
  while (next_token(&tokenizer, &token)) {
    if (!token.encode) {
      write_plain_word(writer, token.blanks, token.blanks_end, token.word, token.word_end);
      continue;
    }
    // The run: this word and every word after it that needs encoding, with
    // the blanks between them (a reader drops blanks between two
    // encoded-words, RFC 2047 6.2, so they must go inside).
    const char* run_end = token.word_end;
    Tokenizer ahead = tokenizer;
    Token next;
    while (next_token(&ahead, &next) && next.encode) {
      run_end = next.word_end;
      tokenizer = ahead;
    }
    // One blank stays outside to set the run apart; more go inside, where
    // they cannot make a line too long to fold.
    const char* run_start = token.blanks < token.blanks_end ? token.blanks + 1 : token.blanks;
    write_encoded_run(writer, token.blanks, run_start, run_start, run_end, charset, utf8);
  }
  // Blanks at the end stay as they were.
  text_buffer_append(writer->out, tokenizer.at, static_cast<int>(end - tokenizer.at));
}

void mime_append_encoded_header(TextBuffer* out, const char* line, int length, const char* charset,
                                const char* line_end) {
  const char* colon = static_cast<const char*>(std::memchr(line, ':', static_cast<std::size_t>(length)));
  if (colon == nullptr) {  // no field name: nothing to tell the content by
    text_buffer_append(out, line, length);
    return;
  }
  int name_length = static_cast<int>(colon + 1 - line);
  text_buffer_append(out, line, name_length);
  TextBuffer* content = text_buffer_create("");
  append_without_line_breaks(content, colon + 1, line + length);
  HeaderWriter writer = {out, line_end, name_length, false};
  write_content(&writer, content->chars, content->chars + content->length, charset);
  text_buffer_free(content);
}

MimeTransferEncoding mime_body_encoding(const char* body, int length) {
  bool eight_bit = false;
  int line_length = 0;
  for (int i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(body[i]);
    if (is_line_break(c)) {
      line_length = 0;
      continue;
    }
    // The wire doubles a leading '.' (RFC 5321 4.5.2).
    if (line_length == 0 && c == '.') line_length++;
    if (++line_length > MIME_BODY_LINE_LIMIT) return MIME_QUOTED_PRINTABLE;
    if (c >= 0x80) eight_bit = true;
  }
  return eight_bit ? MIME_8BIT : MIME_7BIT;
}

const char* mime_encoding_name(MimeTransferEncoding encoding) {
  switch (encoding) {
    case MIME_7BIT:
      return "7bit";
    case MIME_8BIT:
      return "8bit";
    case MIME_QUOTED_PRINTABLE:
      break;
  }
  return "quoted-printable";
}

void mime_append_quoted_printable(TextBuffer* out, const char* text, int length, const char* line_end) {
  const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* end = at + length;
  int column = 0;
  while (at < end) {
    unsigned char c = *at;
    if (is_line_break(c)) {
      append_text(out, line_end);
      column = 0;
      at += (c == '\r' && at + 1 < end && at[1] == '\n') ? 2 : 1;
      continue;
    }
    // Rule 3: a blank at the end of a line would be lost to transports that
    // strip trailing blanks, so there it is written as "=20" or "=09".
    bool ends_line = at + 1 == end || is_line_break(at[1]);
    bool literal = (c >= '!' && c <= '~' && c != '=') || (is_blank(c) && !ends_line);
    int width = literal ? 1 : 3;
    // A soft break needs room for its '='; the piece that ends the line
    // needs none.
    int limit = ends_line ? MIME_QP_LINE_LIMIT : MIME_QP_LINE_LIMIT - 1;
    if (column + width > limit) {
      append_char(out, '=');
      append_text(out, line_end);
      column = 0;
    }
    if (literal)
      append_char(out, static_cast<char>(c));
    else
      append_hex_escape(out, c);
    column += width;
    at++;
  }
}

static const char* const DAY_NAMES[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
static const char* const MONTH_NAMES[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr int DAYS_PER_WEEK = 7;
constexpr int MONTHS_PER_YEAR = 12;
constexpr long SECONDS_PER_MINUTE = 60;
constexpr long MINUTES_PER_HOUR = 60;
constexpr long ZONE_MINUTES_LIMIT = 99 * MINUTES_PER_HOUR + 59;  // "+9959": four digits
constexpr int TM_YEAR_BASE = 1900;

void mime_append_date(TextBuffer* out, const std::tm* local, long utc_offset_seconds) {
  long minutes = utc_offset_seconds / SECONDS_PER_MINUTE;
  char sign = minutes < 0 ? '-' : '+';
  minutes = std::min(minutes < 0 ? -minutes : minutes, ZONE_MINUTES_LIMIT);
  int day = local->tm_wday >= 0 && local->tm_wday < DAYS_PER_WEEK ? local->tm_wday : 0;
  int month = local->tm_mon >= 0 && local->tm_mon < MONTHS_PER_YEAR ? local->tm_mon : 0;
  text_buffer_appendf(out, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", DAY_NAMES[day], local->tm_mday,
                      MONTH_NAMES[month], local->tm_year + TM_YEAR_BASE, local->tm_hour, local->tm_min,
                      local->tm_sec, sign, minutes / MINUTES_PER_HOUR, minutes % MINUTES_PER_HOUR);
}

void mime_append_message_id(TextBuffer* out, long long seconds, int process_id, const unsigned char* random,
                            int random_count, const char* sender) {
  text_buffer_appendf(out, "<%lld.%d.", seconds, process_id);
  for (int i = 0; i < random_count; i++) text_buffer_appendf(out, "%02x", random[i]);
  append_char(out, '@');
  // RFC 5322 3.6.4: the right side is a dot-atom; labels are joined by
  // single dots, none at either end.
  const char* at_sign = sender != nullptr ? std::strrchr(sender, '@') : nullptr;
  bool wrote = false;
  bool dot_pending = false;
  int written = 0;
  for (const char* at = at_sign != nullptr ? at_sign + 1 : "";
       *at != '\0' && written + (dot_pending ? 2 : 1) <= MESSAGE_ID_DOMAIN_LIMIT; at++) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c == '.') {
      dot_pending = wrote;
      continue;
    }
    if (!is_domain_character(static_cast<char>(c))) continue;
    if (dot_pending) {
      append_char(out, '.');
      written++;
    }
    dot_pending = false;
    append_char(out, static_cast<char>(c));
    written++;
    wrote = true;
  }
  if (!wrote) append_text(out, "invalid");
  append_char(out, '>');
}
