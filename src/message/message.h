// message.h - composing the e-mail: the header block and body from the ini
// lines and the form, the sender and recipients (the MessageEnvelope), and
// the decision whether the message may be sent.
#pragma once

#include "support/support.h"

// ---- records ----

// The SMTP envelope and what validation needs. Each address is a bare heap
// copy (no name, quotes or brackets), set at most once; absent is null.
struct MessageEnvelope {
  char* sender;         // first From line that yields an address
  char* recipient_to;   // first To line that yields an address (required)
  char* recipient_cc;   // first CC line that yields an address
  char* recipient_bcc;  // first BCC line that yields an address
  bool subject_seen;    // any Subject line (required)
};

// ---- process-wide state (defined in address.cpp) ----

extern MessageEnvelope message_envelope;

// Back to the empty envelope of process start (tests only).
void message_reset();

// ---- addresses (address.cpp) ----

// The first e-mail address in `text` as a new string the caller owns, or null
// (with a LOG_DEBUG "no email address in this line (%s)") when there is none.
char* extract_address(const char* text);

// When the first `length` characters of `label` equal `name` ignoring case,
// fills *field from the label, else from the content; true when *field now
// holds an address.
bool match_address_header(const char* label, const char* content, const char* name, int length,
                          char** field);

// Recognises a From, To, CC, BCC or Subject entry and fills the envelope;
// true when the entry belongs in the header block.
bool classify_header_line(const char* label, const char* content);

// ---- composition (compose.cpp) ----

// Builds the header block and body, validates them, and hands the message to
// smtp_send_mail. Returns 1 when the server accepted the message, 0 otherwise.
int generate_email();
