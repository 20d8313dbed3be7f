// fuzz_mime.cpp - the encoders of visitors' bytes: a header content as RFC
// 2047 encoded-words and a body as quoted-printable.
//
// The first byte picks the charset (bit 0: UTF-8 or ISO-8859-1) and the line
// end (bit 1: LF or CR LF); the rest is the content of a Subject line and
// the body. Each output must hold only printable ASCII, blanks and its line
// ends, keep its line lengths, and decode back to the input
// (tests/unit/mime_check.h); encoded-words must not split a UTF-8
// character.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/unit/mime_check.h"
#include "message/mime.h"
#include "support/support.h"

static std::string taken(TextBuffer* out) {
  std::string text(out->chars, static_cast<std::size_t>(out->length));
  text_buffer_free(out);
  return text;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const char* charset = (data[0] & 1) != 0 ? "UTF-8" : "ISO-8859-1";
  const char* line_end = (data[0] & 2) != 0 ? "\r\n" : "\n";
  std::string content(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::string line = "Subject: " + content;
  TextBuffer* header = text_buffer_create("");
  mime_append_encoded_header(header, line.data(), static_cast<int>(line.size()), charset, line_end);
  std::string fault = mime_check::check_encoded_header(line, taken(header), charset, line_end,
                                                       MIME_HEADER_FOLD_WIDTH, MIME_ENCODED_WORD_LIMIT);
  if (!fault.empty()) std::abort();

  TextBuffer* body = text_buffer_create("");
  mime_append_quoted_printable(body, content.data(), static_cast<int>(content.size()), line_end);
  fault = mime_check::check_quoted_printable(content, taken(body), line_end, MIME_QP_LINE_LIMIT);
  if (!fault.empty()) std::abort();
  return 0;
}
