// fuzz_address.cpp - address extraction and header classification on any
// bytes. The input is a header label, optionally followed by a line feed and
// the entry's content; its first byte's low bit switches add_headerline_colon.
// Besides the sanitizers it checks that every address found is a run of
// address characters, one '@' and another run, taken from the text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "message/message.h"
#include "support/support.h"

static bool is_address_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

static void check_address(const char* text, const char* address) {
  if (address == nullptr) return;
  const char* at = std::strchr(address, '@');
  if (at == nullptr || at == address || at[1] == '\0' || std::strchr(at + 1, '@') != nullptr) std::abort();
  for (const char* c = address; *c != '\0'; c++) {
    if (c != at && !is_address_character(*c)) std::abort();
  }
  if (std::strstr(text, address) == nullptr) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::snprintf(log_file_path, sizeof log_file_path, "%s", "/dev/null");
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string label = input;
  std::string content;
  std::size_t line_feed = input.find('\n');
  if (line_feed != std::string::npos) {
    label = input.substr(0, line_feed);
    content = input.substr(line_feed + 1);
  }

  char* address = extract_address(input.c_str());
  check_address(input.c_str(), address);
  std::free(address);

  configuration.add_headerline_colon = size > 0 && (data[0] & 1) != 0;
  // Twice: the second pass meets the fields the first one filled.
  for (int round = 0; round < 2; round++) (void)classify_header_line(label.c_str(), content.c_str());
  char* fields[] = {message_envelope.sender, message_envelope.recipient_to, message_envelope.recipient_cc,
                    message_envelope.recipient_bcc};
  for (char* field : fields) {
    if (field == nullptr) continue;
    // Taken from the label when it holds it, otherwise from the content.
    bool in_label = std::strstr(label.c_str(), field) != nullptr;
    check_address(in_label ? label.c_str() : content.c_str(), field);
  }

  message_reset();
  config_reset();
  return 0;
}
