// compose.cpp - composing the e-mail: the header block and the body from the
// ini file's lines and the submitted form, the check that the message has a
// sender, a recipient and a subject, and the hand-over to the SMTP dialogue.
#include <cstring>

#include "config/config.h"
#include "form/form.h"
#include "message/message.h"
#include "smtp/smtp.h"
#include "support/support.h"

// ---- process-wide state ----

TextBuffer* email_header_block = nullptr;
TextBuffer* email_body = nullptr;

static const char X_QUILLET_LINE_FORMAT[] = "X-QUILLET: sent by web form submition activated CGI program.%s";
static const char SENDALL_ENABLED[] = "true";

static bool is_blank(char c) { return c == ' ' || c == '\t'; }

static void append_slice(TextBuffer* buffer, const char* start, const char* end) {
  if (end > start) text_buffer_append(buffer, start, static_cast<int>(end - start));
}

// Appends one line of a header content with every run of blanks cut to
// HEADER_BLANK_RUN_LIMIT: the wire breaks a line longer than 998 octets into
// continuation lines of 997, and a longer run could fill one with blanks only.
static void append_header_text(TextBuffer* block, const char* start, const char* end) {
  const char* at = start;
  while (at < end) {
    const char* blanks = at;
    while (blanks < end && !is_blank(*blanks)) blanks++;
    append_slice(block, at, blanks);
    const char* after = blanks;
    while (after < end && is_blank(*after)) after++;
    const char* kept = after - blanks > HEADER_BLANK_RUN_LIMIT ? blanks + HEADER_BLANK_RUN_LIMIT : after;
    append_slice(block, blanks, kept);
    at = after;
  }
}

// Writes a header content with its line breaks folded (RFC 5322 2.2.3): each
// break is kept and followed by one space, so the next line continues this
// header instead of starting one. A folded line made only of blanks may not
// be written (RFC 5322 3.2.2), and some servers take one for the end of the
// header block, so a content line that would be blank is left out with its
// break; trailing blanks are dropped from every line for the same reason,
// since a long line is later broken at 998 octets and its blank tail would
// become such a line.
static void append_header_content(TextBuffer* block, const char* content) {
  const char* line = content;
  const char* line_break = nullptr;  // the break before `line`; null for the first line
  for (;;) {
    const char* end = line + std::strcspn(line, "\r\n");
    const char* kept_end = end;
    while (kept_end > line && is_blank(kept_end[-1])) kept_end--;
    if (line_break == nullptr) {
      append_header_text(block, line, kept_end);
    } else if (kept_end > line) {
      append_slice(block, line_break, line);
      text_buffer_appendf(block, " ");
      append_header_text(block, line, kept_end);
    }
    if (*end == '\0') return;
    line_break = end;
    line = (end[0] == '\r' && end[1] == '\n') ? end + 2 : end + 1;
  }
}

static void compose_header_block(TextBuffer* block, const char* line_end) {
  for (int i = 0; i < header_line_list.count; i++) {
    const char* label = text_or_null(header_line_list.entries[i].label);
    const char* content = text_or_null(header_line_list.entries[i].content);
    if (!classify_header_line(label, content)) continue;
    std::size_t label_length = std::strlen(label);
    const char* separator =
        configuration.add_headerline_colon && (label_length == 0 || label[label_length - 1] != ':') ? ":" : "";
    text_buffer_appendf(block, "%s%s ", label, separator);
    append_header_content(block, content);
    text_buffer_appendf(block, "%s", line_end);
  }
}

static void append_spaces(TextBuffer* buffer, int count) {
  static const char SPACES[] = "                                                                ";
  static const int SPACES_LENGTH = sizeof SPACES - 1;
  for (; count > SPACES_LENGTH; count -= SPACES_LENGTH) text_buffer_append(buffer, SPACES, SPACES_LENGTH);
  text_buffer_append(buffer, SPACES, count);
}

static void compose_body(TextBuffer* body, const char* line_end) {
  const char* padding = configuration.no_padding ? "" : " ";
  for (int i = 0; i < body_line_list.count; i++) {
    const char* label = text_or_null(body_line_list.entries[i].label);
    const char* content = text_or_null(body_line_list.entries[i].content);
    int label_length = static_cast<int>(std::strlen(label));
    if (label_length > BODY_LABEL_LIMIT) continue;
    // The first line of the content follows the label; each further line is
    // indented to stand under it, label length + 2 spaces in, padded or not.
    const char* piece = content;
    const char* end = std::strchr(piece, '\n');
    text_buffer_appendf(body, "%s%s ", padding, label);
    for (;;) {
      int piece_length = end != nullptr ? static_cast<int>(end - piece) : static_cast<int>(std::strlen(piece));
      text_buffer_append(body, piece, piece_length);
      text_buffer_append(body, line_end, static_cast<int>(std::strlen(line_end)));
      if (end == nullptr) break;
      piece = end + 1;
      end = std::strchr(piece, '\n');
      append_spaces(body, label_length + 2);
    }
  }

  if (configuration.sendall == nullptr || std::strcmp(configuration.sendall, SENDALL_ENABLED) != 0) return;
  text_buffer_appendf(body, "%s%sAll variables from the submitted form:%s", line_end, line_end, line_end);
  for (int i = 0; i < form_variable_table.count; i++) {
    const FormVariable& variable = form_variable_table.entries[i];
    if (configuration.remove_empty_variables && (variable.value == nullptr || variable.value[0] == '\0')) continue;
    text_buffer_appendf(body, "(%s)==(%s)%s", text_or_null(variable.name), text_or_null(variable.value), line_end);
  }
}

// One recipient of the envelope, with what the allowed_recipient check
// needs to know of it.
struct EnvelopeRecipient {
  const char* kind;
  const char* address;  // null when the envelope has none of this kind
  bool submitted;
};

// Fills the SMTP_MAX_RECIPIENTS entries of `recipients` in envelope order:
// the main recipient, then BCC, then CC.
static void list_recipients(const MessageEnvelope& envelope, EnvelopeRecipient* recipients) {
  recipients[0] = {"To", envelope.recipient_to, envelope.to_submitted};
  recipients[1] = {"BCC", envelope.recipient_bcc, envelope.bcc_submitted};
  recipients[2] = {"CC", envelope.recipient_cc, envelope.cc_submitted};
}

// Every recipient that a visitor's value named must pass the
// allowed_recipient lines; the first that does not is named in the log, in
// envelope order. Recipients from the ini file's own lines always pass.
static bool submitted_recipients_allowed(const EnvelopeRecipient* recipients) {
  for (int i = 0; i < SMTP_MAX_RECIPIENTS; i++) {
    const EnvelopeRecipient& recipient = recipients[i];
    if (recipient.address == nullptr || !recipient.submitted || recipient_allowed(recipient.address)) continue;
    log_event(LOG_ERROR,
              "email not sent: the %s recipient {%s} came from the form and no allowed_recipient line allows it",
              recipient.kind, recipient.address);
    return false;
  }
  return true;
}

// Hands the composed message to the SMTP dialogue: the sender, every
// recipient the envelope has, in envelope order, and the delivery settings.
// Returns the dialogue's result.
static int deliver(const char* sender, const EnvelopeRecipient* recipients) {
  SmtpMessage message{};
  message.sender = sender;
  for (int i = 0; i < SMTP_MAX_RECIPIENTS; i++)
    if (recipients[i].address != nullptr) message.recipients[message.recipient_count++] = recipients[i].address;
  message.header_block = email_header_block->chars;
  message.body = email_body->chars;
  SmtpOptions options{};
  options.use_helo = configuration.use_helo;
  options.timeout_seconds = configuration.smtp_timeout;
  return smtp_send_mail(configuration.smtp, &message, &options);
}

int generate_email() {
  const char* line_end = configuration.email_line_end != nullptr ? configuration.email_line_end : "\n";
  // Only tests compose twice in one process; the earlier texts go then.
  text_buffer_free(email_header_block);
  text_buffer_free(email_body);

  email_header_block = text_buffer_create("");
  compose_header_block(email_header_block, line_end);
  log_event(LOG_DEBUG, "generated headers {%s}", email_header_block->chars);
  text_buffer_appendf(email_header_block, X_QUILLET_LINE_FORMAT, line_end);

  email_body = text_buffer_create("");
  compose_body(email_body, line_end);

  const MessageEnvelope& envelope = message_envelope;
  if (envelope.sender != nullptr && envelope.recipient_to != nullptr && envelope.subject_seen) {
    EnvelopeRecipient recipients[SMTP_MAX_RECIPIENTS];
    list_recipients(envelope, recipients);
    if (!submitted_recipients_allowed(recipients)) return 0;
    log_event(LOG_DEBUG, "about to send email to smtp server (%s) from: (%s) to: (%s)",
              text_or_null(configuration.smtp), envelope.sender, envelope.recipient_to);
    if (deliver(envelope.sender, recipients) != 0) {
      log_event(LOG_DEBUG, "email sent! (1)");
      return 1;
    }
    log_event(LOG_ERROR, "Email not sent.");
    return 0;
  }
  log_event(LOG_ERROR,
            "email not sent due to From, or To, or Subject headers not being present or valid. From={%s} To={%s} "
            "Subject_found=%s\r\n HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
            text_or_null(envelope.sender), text_or_null(envelope.recipient_to),
            envelope.subject_seen ? "TRUE" : "FALSE", email_header_block->chars, email_body->chars);
  return 0;
}
