// fuzz_address.cpp - address extraction and header classification on any
// bytes. The input is a header label, optionally followed by a line feed and
// the entry's content; its first byte's low bit switches add_headerline_colon.
// Besides the sanitizers it checks that every address found is a run of
// local-part characters, one '@' and a run of domain characters, taken whole
// from the text (no local-part character just before it, no domain
// character just after it), so that it can hold nothing that ends or extends
// an SMTP command line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "message/message.h"
#include "support/support.h"

static void check_address(const char* text, const char* address) {
  if (address == nullptr) return;
  const char* at = std::strchr(address, '@');
  if (at == nullptr || at == address || at[1] == '\0' || std::strchr(at + 1, '@') != nullptr) std::abort();
  for (const char* c = address; c < at; c++)
    if (!is_local_part_character(*c)) std::abort();
  for (const char* c = at + 1; *c != '\0'; c++)
    if (!is_domain_character(*c)) std::abort();
  if (std::strpbrk(address, " \t\r\n<>:\"()[],;\\") != nullptr) std::abort();
  // The first occurrence is the one taken: any earlier one would have been
  // an address of its own, found first.
  const char* found = std::strstr(text, address);
  if (found == nullptr) std::abort();
  if (found > text && is_local_part_character(found[-1])) std::abort();
  if (is_domain_character(found[std::strlen(address)])) std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  log_set_path("/dev/null");
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
