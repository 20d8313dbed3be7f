// message.h - composing the e-mail: the header block and body from the ini
// lines and the form, the sender and recipients (the MessageEnvelope), and
// the decision whether the message may be sent.
#pragma once

#include "support/support.h"

// ---- records ----

// The SMTP envelope and what validation needs. Each address is a bare heap
// copy (no name, quotes or brackets), set at most once; absent is null.
// Beside each address, whether it came from an entry's content, that is a
// visitor's submitted value, rather than from a label the ini file wrote.
struct MessageEnvelope {
  char* sender;         // first From line that yields an address
  char* recipient_to;   // first To line that yields an address (required)
  char* recipient_cc;   // first CC line that yields an address
  char* recipient_bcc;  // first BCC line that yields an address
  bool subject_seen;    // any Subject line (required)
  char* reply_to;       // first Reply-To line that yields an address (no recipient)
  bool sender_submitted;
  bool to_submitted;
  bool cc_submitted;
  bool bcc_submitted;
  bool reply_to_submitted;
};

// ---- process-wide state (defined in address.cpp) ----

extern MessageEnvelope message_envelope;

// Back to the state of process start (tests only): the empty envelope, and
// no composed header block or body (the addresses and texts are released).
void message_reset();

// ---- addresses (address.cpp) ----

// The first e-mail address in `text`: the first run of local-part
// characters, an '@' and a run of domain characters (is_local_part_character
// and is_domain_character, support.h), each run taken whole: the local part
// is the whole run that ends at the '@' ("a+b@c.d" gives "a+b@c.d"), the
// domain ends at the first character that is not a domain character ("a@b@c"
// gives "a@b"; in "a@@b.c" there is none). So an address never holds a
// blank, a control character, '<', '>' or ':'. Returns it as a new string
// the caller owns, or null (with the LOG_DEBUG line "no email address in this
// line (%s)" showing the text) when there is none. An allocation failure ends
// the run with the fatal page "Unable to malloc memory".
char* extract_address(const char* text);

// When the first `length` characters of `label` equal `name` ignoring ASCII
// case (a shorter label differs), fills *field with the address found in the
// label, else with the one found in the content (each failed search logs its
// LOG_DEBUG line), and sets *submitted to whether it came from the content.
// Returns true when *field now holds an address. A field that already holds
// one is left alone and gives false.
bool match_address_header(const char* label, const char* content, const char* name, int length,
                          char** field, bool* submitted);

// Recognises a From, To, CC, BCC, Reply-To or Subject entry, trying the
// names with their colon and, when configuration.add_headerline_colon is
// set, without. A From/To/CC/BCC/Reply-To entry is recognised only while
// its envelope field is absent and only when it yields an address, which
// then fills the field; every Subject entry is recognised and sets
// subject_seen. Returns true when the entry belongs in the header block. An
// address from the content sets the field's *_submitted flag. The Reply-To
// address is never a recipient.
bool classify_header_line(const char* label, const char* content);

// ---- composition (compose.cpp) ----

// A body line whose label is longer than this is left out, without a word.
constexpr int BODY_LABEL_LIMIT = 498;
// Blanks in a row that a header content keeps; a longer run is cut to this.
constexpr int HEADER_BLANK_RUN_LIMIT = 100;

// process-wide state (defined in compose.cpp): the header block and the body
// of the message composed by the latest generate_email, null before, as any
// server takes them; and, when the body must travel as 8bit, the header
// block and body to send instead to a server that announces 8BITMIME (RFC
// 6152), null otherwise. Each line ends with configuration.email_line_end.
// They stay until the process ends (a later generate_email, in tests,
// releases the earlier ones).
extern TextBuffer* email_header_block;
extern TextBuffer* email_body;
extern TextBuffer* email_8bit_header_block;
extern TextBuffer* email_8bit_body;

// Composes the message from the HeaderLineList, the BodyLineList, the
// Configuration and the FormVariableTable, validates it and hands it to
// smtp_send_mail with the envelope's sender and its recipients in envelope
// order (To, BCC, CC; equal addresses are not merged) and the delivery
// settings of the Configuration (smtp, use_helo, smtp_timeout). Returns 1
// when the server accepted the message, 0 otherwise.
//
// Header block: for every HeaderLineList entry that classify_header_line
// recognises (which fills message_envelope), "<label><sep> <content>" and the
// line end, <sep> being ":" when add_headerline_colon is set and the label
// does not end in ':'. A line break inside the content is kept, followed by
// one space (RFC 5322 folding), so that a submitted value can neither start
// a header line of its own nor end the header block; trailing blanks of the
// content's lines are dropped, so is a line of the content that would be
// blank, and runs of blanks are cut to HEADER_BLANK_RUN_LIMIT (so that no
// wire line of the block is blank, even after breaking at 998 octets). The
// LOG_DEBUG line "generated headers {%s}" shows the block so far; then
// "X-QUILLET: sent by web form submition activated CGI program." ends it.
//
// Body: for every BodyLineList entry whose label has at most BODY_LABEL_LIMIT
// characters, the padding (one space, none with no_padding), the label, a
// space, the content's first line, and each further line of the content
// indented by the label's length plus two spaces. With sendall "true", two
// empty lines, "All variables from the submitted form:" and "(name)==(value)"
// for every submitted variable (empty values left out with
// remove_empty_variables).
//
// Without a sender, a To recipient or a Subject line nothing is sent: the
// LOG_ERROR line "email not sent due to From, or To, or Subject headers not
// being present or valid. ..." shows the whole message and the result is 0.
// Then, when allowed_recipient lines were given, every To, BCC and CC
// address taken from a submitted value must pass recipient_allowed
// (config.h); for the first that does not, nothing is sent, the one LOG_ERROR
// line "email not sent: the %s recipient {%s} came from the form and no
// allowed_recipient line allows it" names its kind and address, and the
// result is 0. Otherwise "about to send email to smtp server (%s) from: (%s)
// to: (%s)", smtp_send_mail, and "email sent! (1)" (LOG_DEBUG) or "Email not
// sent." (LOG_ERROR). The same as compose_email and, when it gives
// EMAIL_READY, send_composed_email.
int generate_email();

// What compose_email found.
enum EmailCheck {
  EMAIL_READY,              // valid and every recipient allowed: may be sent
  EMAIL_INVALID,            // no sender, To recipient or Subject line
  EMAIL_RECIPIENT_REFUSED,  // a recipient from the form that no allowed_recipient line allows
};

// The first half of generate_email: composes the message into
// email_header_block and email_body, fills message_envelope and checks them,
// with the same log lines.
EmailCheck compose_email();

// The second half: hands the message compose_email made ready to
// smtp_send_mail. Returns 1 when the server accepted it, 0 otherwise.
int send_composed_email();
