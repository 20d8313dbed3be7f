// fuzz_wire.cpp - the wire form of the message on any header and body text,
// and the header block that composition makes of any submitted value.
//
// The input up to its first 0xFF byte is the header text, the rest the body.
// The message data (header, empty line, body, end of data) must have only
// CR LF line ends, no line over 998 octets, and no line "." but the last.
// The input is also the submitted value of a Subject line: the composed
// header block on the wire must then be that one header, its further lines
// all continuation lines that are not blank, then the fixed last line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "form/form.h"
#include "message/message.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

static std::string wire_of(const std::string& text) {
  std::size_t size = smtp_wire_text(text.c_str(), nullptr, 0);
  std::string wire(size + 1, '\0');
  if (smtp_wire_text(text.c_str(), &wire[0], wire.size()) != size) std::abort();
  if (wire[size] != '\0') std::abort();
  wire.resize(size);
  return wire;
}

// Splits CR LF ended data into lines, failing on any other line end.
static void check_lines(const std::string& data, bool header_block) {
  std::size_t start = 0;
  int line_number = 0;
  while (start < data.size()) {
    std::size_t end = data.find("\r\n", start);
    if (end == std::string::npos) std::abort();  // data must end with CR LF
    std::string line = data.substr(start, end - start);
    if (line.find('\r') != std::string::npos || line.find('\n') != std::string::npos) std::abort();
    if (line.size() > static_cast<std::size_t>(SMTP_LINE_LIMIT)) std::abort();
    bool last = end + 2 == data.size();
    if (!header_block && line == "." && !last) std::abort();
    if (header_block) {
      bool fixed_line = line.rfind("X-QUILLET: ", 0) == 0 && last;
      if (line_number == 0 && line.rfind("Subject: ", 0) != 0) std::abort();
      if (line_number > 0 && !fixed_line) {
        if (line.empty() || line[0] != ' ') std::abort();  // a continuation line
        if (line.find_first_not_of(" \t") == std::string::npos) std::abort();
      }
    }
    start = end + 2;
    line_number++;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  log_set_path("/dev/null");
  std::string input(reinterpret_cast<const char*>(data), size);
  input = input.substr(0, input.find('\0'));
  std::size_t split = input.find('\xff');
  std::string header = input.substr(0, split);
  std::string body = split == std::string::npos ? std::string() : input.substr(split + 1);

  std::string message = wire_of(header) + "\r\n" + wire_of(body) + "\r\n.\r\n";
  check_lines(message, false);

  config_reset();
  message_reset();
  header_line_list.entries[0].label = strdup("Subject:");
  header_line_list.entries[0].content = strdup(input.c_str());
  if (header_line_list.entries[0].label == nullptr || header_line_list.entries[0].content == nullptr) std::abort();
  header_line_list.count = 1;
  log_apply_logging_setting(nullptr);
  if (generate_email() != 0) std::abort();  // no sender, no recipient: never sent
  check_lines(wire_of(email_header_block->chars), true);
  config_reset();
  message_reset();
  return 0;
}
