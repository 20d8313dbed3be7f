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
  std::free(message_envelope.reply_to);
  message_envelope = MessageEnvelope{};
  text_buffer_free(email_header_block);
  email_header_block = nullptr;
  text_buffer_free(email_body);
  email_body = nullptr;
  text_buffer_free(email_8bit_header_block);
  email_8bit_header_block = nullptr;
  text_buffer_free(email_8bit_body);
  email_8bit_body = nullptr;
}

enum ScanState { SEEKING, LOCAL_PART, AFTER_AT, DOMAIN };

// Display names, quotes, brackets, commas and blanks around an address fall
// away because none of them is a local-part or domain character.
char* extract_address(const char* text) {
  if (text != nullptr) {
    ScanState state = SEEKING;
    std::size_t start = 0;
    // The terminating NUL is scanned too: it ends a domain like any other
    // character that is not a domain character.
    for (std::size_t i = 0;; i++) {
      char c = text[i];
      switch (state) {
        case SEEKING:
          if (is_local_part_character(c)) {
            start = i;
            state = LOCAL_PART;
          }
          break;
        case LOCAL_PART:
          if (c == '@')
            state = AFTER_AT;
          else if (!is_local_part_character(c))
            state = SEEKING;
          break;
        case AFTER_AT:
          // A character that cannot begin a domain may still begin a local
          // part ("x@+y@z" holds "+y@z"): the local part is always taken
          // whole, from the first character of its run.
          if (is_domain_character(c)) {
            state = DOMAIN;
          } else if (is_local_part_character(c)) {
            start = i;
            state = LOCAL_PART;
          } else {
            state = SEEKING;
          }
          break;
        case DOMAIN:
          if (!is_domain_character(c)) return copy_bytes_or_fatal(text + start, i - start, "Unable to malloc memory");
          break;
      }
      if (c == '\0') break;
    }
  }
  log_event(LOG_DEBUG, "no email address in this line (%s)", text_or_null(text));
  return nullptr;
}

bool match_address_header(const char* label, const char* content, const char* name, int length,
                          char** field, bool* submitted) {
  if (label == nullptr || *field != nullptr) return false;
  if (!text_equal_ignoring_case(label, name, length)) return false;
  // The label first, header name and all: a static line carries its own
  // address; a submitted-variable line has it in its content.
  *field = extract_address(label);
  *submitted = false;
  if (*field == nullptr) {
    *field = extract_address(content);
    *submitted = *field != nullptr;
  }
  return *field != nullptr;
}

// The address headers in the order they are tried, with the field each one
// fills: the name with its colon, then (with add_headerline_colon) without.
struct AddressHeader {
  const char* name;
  const char* bare_name;
  char** field;
  bool* submitted;
};

bool classify_header_line(const char* label, const char* content) {
  if (label == nullptr) return false;
  const AddressHeader headers[] = {
      {"From:", "From", &message_envelope.sender, &message_envelope.sender_submitted},
      {"To:", "To", &message_envelope.recipient_to, &message_envelope.to_submitted},
      {"CC:", "CC", &message_envelope.recipient_cc, &message_envelope.cc_submitted},
      {"BCC:", "BCC", &message_envelope.recipient_bcc, &message_envelope.bcc_submitted},
      {"Reply-To:", "Reply-To", &message_envelope.reply_to, &message_envelope.reply_to_submitted},
  };
  bool bare_names = configuration.add_headerline_colon;
  for (const AddressHeader& header : headers) {
    // The first line of each kind that yields an address wins.
    if (*header.field != nullptr) continue;
    int length = static_cast<int>(std::strlen(header.name));
    if (match_address_header(label, content, header.name, length, header.field, header.submitted)) return true;
    if (bare_names &&
        match_address_header(label, content, header.bare_name, length - 1, header.field, header.submitted))
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
