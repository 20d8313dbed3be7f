// address.cpp - taking e-mail addresses out of header lines, and the
// MessageEnvelope they fill.
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "message/message.h"
#include "support/support.h"

// ---- process-wide state ----

MessageEnvelope message_envelope;

void message_reset() {
  std::free(message_envelope.sender);
  std::free(message_envelope.recipient_to);
  std::free(message_envelope.recipient_cc);
  std::free(message_envelope.recipient_bcc);
  message_envelope = MessageEnvelope{};
}

// Letters, digits, '.', '_' and '-' only: a deliberately narrow set, so that
// display names, quotes, brackets and commas around an address fall away.
static bool is_address_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

enum ScanState { SEEKING, LOCAL_PART, AFTER_AT, DOMAIN };

char* extract_address(const char* text) {
  if (text != nullptr) {
    ScanState state = SEEKING;
    std::size_t start = 0;
    // The terminating NUL is scanned too: it ends a domain like any other
    // character that is not an address character.
    for (std::size_t i = 0;; i++) {
      char c = text[i];
      bool address_character = is_address_character(c);
      switch (state) {
        case SEEKING:
          if (address_character) {
            start = i;
            state = LOCAL_PART;
          }
          break;
        case LOCAL_PART:
          if (c == '@')
            state = AFTER_AT;
          else if (!address_character)
            state = SEEKING;
          break;
        case AFTER_AT:
          state = address_character ? DOMAIN : SEEKING;
          break;
        case DOMAIN:
          if (!address_character) {
            std::size_t length = i - start;
            char* address = static_cast<char*>(std::malloc(length + 1));
            if (address == nullptr) emit_fatal_page("Unable to malloc memory");
            std::memcpy(address, text + start, length);
            address[length] = '\0';
            return address;
          }
          break;
      }
      if (c == '\0') break;
    }
  }
  log_event(LOG_DEBUG, "no email address in this line (%s)", text_or_null(text));
  return nullptr;
}

bool match_address_header(const char* label, const char* content, const char* name, int length,
                          char** field) {
  if (label == nullptr || *field != nullptr) return false;
  if (!text_equal_ignoring_case(label, name, length)) return false;
  // The label first, header name and all: a static line carries its own
  // address; a submitted-variable line has it in its content.
  *field = extract_address(label);
  if (*field == nullptr) *field = extract_address(content);
  return *field != nullptr;
}

// The address headers in the order they are tried, with the field each one
// fills: the name with its colon, then (with add_headerline_colon) without.
struct AddressHeader {
  const char* name;
  const char* bare_name;
  char** field;
};

bool classify_header_line(const char* label, const char* content) {
  if (label == nullptr) return false;
  const AddressHeader headers[] = {
      {"From:", "From", &message_envelope.sender},
      {"To:", "To", &message_envelope.recipient_to},
      {"CC:", "CC", &message_envelope.recipient_cc},
      {"BCC:", "BCC", &message_envelope.recipient_bcc},
  };
  bool bare_names = configuration.add_headerline_colon;
  for (const AddressHeader& header : headers) {
    // The first line of each kind that yields an address wins.
    if (*header.field != nullptr) continue;
    int length = static_cast<int>(std::strlen(header.name));
    if (match_address_header(label, content, header.name, length, header.field)) return true;
    if (bare_names && match_address_header(label, content, header.bare_name, length - 1, header.field))
      return true;
  }
  // Every Subject line belongs in the header block, whatever follows the name.
  static const char SUBJECT[] = "Subject:";
  int subject_length = static_cast<int>(std::strlen(SUBJECT));
  if (text_equal_ignoring_case(label, SUBJECT, subject_length) ||
      (bare_names && text_equal_ignoring_case(label, SUBJECT, subject_length - 1))) {
    message_envelope.subject_seen = true;
    return true;
  }
  return false;
}
