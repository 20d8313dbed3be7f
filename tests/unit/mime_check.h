// mime_check.h - what the encoders' output must be, checked from the outside
// by a decoder of its own: shared by test_mime.cpp and fuzz/fuzz_mime.cpp.
// Each check returns "" when the output holds, else what is wrong.
#pragma once

#include <string>
#include <vector>

namespace mime_check {

inline bool blank(char c) { return c == ' ' || c == '\t'; }
inline bool line_break(char c) { return c == '\r' || c == '\n'; }
inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what the encoders write
}

// Bytes of the valid UTF-8 sequence at `at` (RFC 3629), else 1.
inline std::size_t utf8_length(const std::string& s, std::size_t at) {
  unsigned char c = static_cast<unsigned char>(s[at]);
  std::size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 1;
  if (length == 1 || at + length > s.size()) return 1;
  unsigned char second = static_cast<unsigned char>(s[at + 1]);
  unsigned char low = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
  unsigned char high = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
  if (second < low || second > high) return 1;
  for (std::size_t i = 2; i < length; i++) {
    unsigned char next = static_cast<unsigned char>(s[at + i]);
    if (next < 0x80 || next > 0xBF) return 1;
  }
  return length;
}

inline bool needs_encoding(const std::string& word) {
  for (std::size_t i = 0; i < word.size(); i++) {
    unsigned char c = static_cast<unsigned char>(word[i]);
    if (c >= 0x80 || (c < 0x20 && !blank(word[i])) || c == 0x7F) return true;
    if (word.compare(i, 2, "=?") == 0) return true;
  }
  return false;
}

// The content a reader must decode from the encoded header of `content`:
// line breaks dropped before a blank or at the end, else one space; a word
// that needs encoding and ends in a clean "<...>" gets a space before it.
inline std::string expected_content(const std::string& content) {
  std::string text;
  for (std::size_t i = 0; i < content.size();) {
    if (!line_break(content[i])) {
      text += content[i++];
      continue;
    }
    while (i < content.size() && line_break(content[i])) i++;
    if (i < content.size() && !blank(content[i])) text += ' ';
  }
  std::string expected;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t end = i;
    while (end < text.size() && !blank(text[end])) end++;
    std::string word = text.substr(i, end - i);
    std::size_t open = word.rfind('<');
    if (!word.empty() && needs_encoding(word) && word.back() == '>' && open != std::string::npos && open > 0 &&
        word.size() - open >= 2 && !needs_encoding(word.substr(open)))
      word.insert(open, " ");
    expected += word;
    while (end < text.size() && blank(text[end])) expected += text[end++];
    i = end;
  }
  return expected;
}

// Decodes one encoded-word "=?charset?Q?text?=" into `bytes`; false when it
// is not one the encoder could have written.
inline bool decode_word(const std::string& word, const std::string& charset, std::string* bytes) {
  std::string prefix = "=?" + charset + "?Q?";
  if (word.size() < prefix.size() + 3 || word.compare(0, prefix.size(), prefix) != 0 ||
      word.compare(word.size() - 2, 2, "?=") != 0)
    return false;
  bytes->clear();
  for (std::size_t i = prefix.size(); i < word.size() - 2; i++) {
    char c = word[i];
    if (c == '_') {
      *bytes += ' ';
    } else if (c == '=') {
      if (i + 2 >= word.size() - 2 || hex_value(word[i + 1]) < 0 || hex_value(word[i + 2]) < 0) return false;
      *bytes += static_cast<char>(hex_value(word[i + 1]) * 16 + hex_value(word[i + 2]));
      i += 2;
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string("!*+-/").find(c) != std::string::npos) {
      *bytes += c;
    } else {
      return false;
    }
  }
  return !bytes->empty();
}

// `output` is mime_append_encoded_header's for `line` ("Name:" and content).
inline std::string check_encoded_header(const std::string& line, const std::string& output,
                                        const std::string& charset, const std::string& line_end, int fold_width,
                                        int word_limit) {
  std::size_t colon = line.find(':');
  std::string name = line.substr(0, colon + 1);
  if (output.compare(0, name.size(), name) != 0) return "the field name changed";
  // Lines: only printable ASCII and blanks, each line end followed by a blank.
  std::vector<std::string> lines;
  for (std::size_t at = name.size();;) {
    std::size_t end = output.find(line_end, at);
    std::string piece = output.substr(at, end == std::string::npos ? std::string::npos : end - at);
    for (char c : piece)
      if (!blank(c) && (c < 0x21 || c > 0x7E)) return "a byte that is no printable ASCII: " + piece;
    lines.push_back(piece);
    if (end == std::string::npos) break;
    at = end + line_end.size();
    if (at >= output.size() || !blank(output[at])) return "a line end not followed by a blank";
  }
  for (std::size_t n = 0; n < lines.size(); n++) {
    std::string shown = n == 0 ? name + lines[n] : lines[n];
    std::size_t used = shown.find_last_not_of(" \t");
    if (n > 0 && used == std::string::npos) return "a line of blanks only";
    // Blanks that end the header do not count; a longer line must hold a
    // single plain word that no fold could help.
    std::size_t width = n + 1 == lines.size() ? used + 1 : shown.size();
    int words = 0;
    for (std::size_t i = 0; i < lines[n].size(); i++)
      if (!blank(lines[n][i]) && (i == 0 || blank(lines[n][i - 1]))) words++;
    if (width > static_cast<std::size_t>(fold_width) && (words > 1 || shown.find("=?") != std::string::npos))
      return "a line of " + std::to_string(width) + " characters: " + shown;
  }
  // Decoding (RFC 2047 6.2): blanks between two encoded-words go.
  std::string unfolded;
  for (const std::string& piece : lines) unfolded += piece;
  std::string decoded;
  std::vector<std::size_t> joins;  // where one encoded-word's bytes follow another's
  bool after_word = false;
  std::string pending_blanks;
  for (std::size_t i = 0; i < unfolded.size();) {
    if (blank(unfolded[i])) {
      pending_blanks += unfolded[i++];
      continue;
    }
    std::size_t end = i;
    while (end < unfolded.size() && !blank(unfolded[end])) end++;
    std::string word = unfolded.substr(i, end - i);
    std::string bytes;
    bool encoded = word.compare(0, 2, "=?") == 0;
    if (encoded && !decode_word(word, charset, &bytes)) return "a malformed encoded-word: " + word;
    if (encoded && word.size() > static_cast<std::size_t>(word_limit)) return "an encoded-word too long: " + word;
    if (encoded && after_word) {
      joins.push_back(decoded.size());
    } else {
      decoded += pending_blanks;
    }
    if (!encoded && word.find("=?") != std::string::npos) return "\"=?\" left in a plain word: " + word;
    decoded += encoded ? bytes : word;
    pending_blanks.clear();
    after_word = encoded;
    i = end;
  }
  decoded += pending_blanks;
  std::string expected = expected_content(line.substr(colon + 1));
  if (decoded != expected) return "decodes to {" + decoded + "}, not {" + expected + "}";
  // Under UTF-8 no encoded-word ends inside a character.
  if (charset == "UTF-8") {
    for (std::size_t at = 0; at < decoded.size();) {
      std::size_t length = utf8_length(decoded, at);
      for (std::size_t join : joins)
        if (join > at && join < at + length) return "a character split between encoded-words";
      at += length;
    }
  }
  return "";
}

// `output` is mime_append_quoted_printable's for `text`.
inline std::string check_quoted_printable(const std::string& text, const std::string& output,
                                          const std::string& line_end, int line_limit) {
  std::string decoded;
  for (std::size_t at = 0;;) {
    std::size_t end = output.find(line_end, at);
    bool last = end == std::string::npos;
    std::string piece = output.substr(at, last ? std::string::npos : end - at);
    if (piece.size() > static_cast<std::size_t>(line_limit)) return "a line of " + std::to_string(piece.size());
    if (!piece.empty() && blank(piece.back())) return "a blank at the end of a line";
    bool soft = !piece.empty() && piece.back() == '=';  // an escaped '=' is "=3D"
    std::size_t stop = soft ? piece.size() - 1 : piece.size();
    for (std::size_t i = 0; i < stop; i++) {
      char c = piece[i];
      if (c == '=') {
        if (i + 2 >= stop || hex_value(piece[i + 1]) < 0 || hex_value(piece[i + 2]) < 0)
          return "a bad escape in: " + piece;
        decoded += static_cast<char>(hex_value(piece[i + 1]) * 16 + hex_value(piece[i + 2]));
        i += 2;
      } else if (blank(c) || (c >= '!' && c <= '~')) {
        decoded += c;
      } else {
        return "a byte that is no printable ASCII";
      }
    }
    if (last) break;
    if (!soft) decoded += '\n';
    at = end + line_end.size();
  }
  std::string expected;
  for (std::size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    expected += text[i] == '\r' ? '\n' : text[i];
  }
  if (decoded != expected) return "decodes to {" + decoded + "}, not {" + expected + "}";
  return "";
}

}  // namespace mime_check
