// compose.cpp - composing the e-mail: the header block and the body from the
// ini file's lines and the submitted form, the check that the message has a
// sender, a recipient and a subject, and the hand-over to the SMTP dialogue.
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "form/form.h"
#include "message/message.h"
#include "message/mime.h"
#include "platform/platform.h"
#include "smtp/smtp.h"
#include "support/support.h"

// ---- process-wide state ----

TextBuffer* email_header_block = nullptr;
TextBuffer* email_body = nullptr;
TextBuffer* email_8bit_header_block = nullptr;
TextBuffer* email_8bit_body = nullptr;

static const char X_QUILLET_LINE_FORMAT[] = "X-QUILLET: sent by web form submition activated CGI program.%s";
static const char SENDALL_ENABLED[] = "true";


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

// With a charset, each line is first composed in a scratch buffer and then
// written with its content as RFC 2047 encoded-words where it needs them.
static void compose_header_block(TextBuffer* block, const char* line_end) {
  TextBuffer* line = configuration.charset != nullptr ? text_buffer_create("") : nullptr;
  for (int i = 0; i < header_line_list.count; i++) {
    const char* label = text_or_null(header_line_list.entries[i].label);
    const char* content = text_or_null(header_line_list.entries[i].content);
    bool reply_to_before = message_envelope.reply_to != nullptr;
    if (!classify_header_line(label, content)) continue;
    // A Reply-To taken from the form carries the address alone, so nothing
    // else the visitor typed reaches the header readers answer to. It is
    // plain ASCII; it is never made an encoded-word, which is not allowed
    // in an address (RFC 2047 5), even when it holds "=?".
    bool address_alone =
        !reply_to_before && message_envelope.reply_to != nullptr && message_envelope.reply_to_submitted;
    if (address_alone) content = message_envelope.reply_to;
    std::size_t label_length = std::strlen(label);
    const char* separator =
        configuration.add_headerline_colon && (label_length == 0 || label[label_length - 1] != ':') ? ":" : "";
    TextBuffer* target = line != nullptr ? line : block;
    if (line != nullptr) text_buffer_setf(line, "%s", "");
    text_buffer_appendf(target, "%s%s ", label, separator);
    append_header_content(target, content);
    if (line != nullptr) {
      if (!address_alone && mime_header_needs_encoding(line->chars, line->length))
        mime_append_encoded_header(block, line->chars, line->length, configuration.charset, line_end);
      else
        text_buffer_append(block, line->chars, line->length);
    }
    text_buffer_appendf(block, "%s", line_end);
  }
  text_buffer_free(line);
}

// "Date:" with the run's local time and "Message-ID:" at the sender's domain
// (RFC 5322 3.6.1, 3.6.4). A clock that cannot be read leaves the Date line
// out; a random source that fails leaves the Message-ID with the time, the
// process id and the monotonic clock's reading. Each is logged.
static void append_date_and_message_id(TextBuffer* block, const char* line_end, const char* sender) {
  std::time_t now = std::time(nullptr);
  std::tm local = {};
  long offset = 0;
  if (platform_local_time_at(now, &local, &offset)) {
    text_buffer_appendf(block, "Date: ");
    mime_append_date(block, &local, offset);
    text_buffer_appendf(block, "%s", line_end);
  } else {
    log_event(LOG_ERROR, "the local time could not be read: no Date line");
  }
  unsigned char random[MESSAGE_ID_RANDOM_BYTES];
  if (!platform_random_bytes(random, sizeof random)) {
    log_event(LOG_ERROR, "the system gave no random bytes for the Message-ID");
    unsigned long long clock = static_cast<unsigned long long>(platform_monotonic_ms());
    for (std::size_t i = 0; i < sizeof random; i++) random[i] = static_cast<unsigned char>(clock >> (8 * (i % 8)));
  }
  text_buffer_appendf(block, "Message-ID: ");
  mime_append_message_id(block, static_cast<long long>(now), platform_process_id(), random,
                         MESSAGE_ID_RANDOM_BYTES, sender);
  text_buffer_appendf(block, "%s", line_end);
}

// The last lines of a header block: the transfer encoding (with a charset)
// and the fixed X-QUILLET line.
static void finish_header_block(TextBuffer* block, MimeTransferEncoding encoding, const char* line_end) {
  if (configuration.charset != nullptr)
    text_buffer_appendf(block, "Content-Transfer-Encoding: %s%s", mime_encoding_name(encoding), line_end);
  text_buffer_appendf(block, X_QUILLET_LINE_FORMAT, line_end);
}

static TextBuffer* quoted_printable_of(const TextBuffer* body, const char* line_end) {
  TextBuffer* encoded = text_buffer_create("");
  mime_append_quoted_printable(encoded, body->chars, body->length, line_end);
  return encoded;
}

// With a charset the body travels as 7bit when it can; a body with 8-bit
// bytes is composed twice, as 8bit for a server that announces 8BITMIME and
// as quoted-printable for any other (the dialogue picks one after EHLO); a
// line too long for either goes quoted-printable only.
static void choose_body_encoding(const char* line_end) {
  MimeTransferEncoding encoding =
      configuration.charset != nullptr ? mime_body_encoding(email_body->chars, email_body->length) : MIME_7BIT;
  if (encoding != MIME_7BIT) {
    TextBuffer* encoded = quoted_printable_of(email_body, line_end);
    if (encoding == MIME_8BIT) {
      email_8bit_header_block = text_buffer_create(email_header_block->chars);
      finish_header_block(email_8bit_header_block, MIME_8BIT, line_end);
      email_8bit_body = email_body;
    } else {
      text_buffer_free(email_body);
    }
    email_body = encoded;
    encoding = MIME_QUOTED_PRINTABLE;
  }
  finish_header_block(email_header_block, encoding, line_end);
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
  if (email_8bit_header_block != nullptr) {
    message.header_block_8bit = email_8bit_header_block->chars;
    message.body_8bit = email_8bit_body->chars;
  }
  SmtpOptions options{};
  options.use_helo = configuration.use_helo;
  options.timeout_seconds = configuration.smtp_timeout;
  options.tls = configuration.smtp_tls;
  options.tls_ca_file = configuration.smtp_tls_ca_file;
  options.user = configuration.smtp_user;
  options.password = configuration.smtp_password;
  return smtp_send_mail(configuration.smtp, &message, &options);
}

EmailCheck compose_email() {
  const char* line_end = configuration.email_line_end != nullptr ? configuration.email_line_end : "\n";
  // Only tests compose twice in one process; the earlier texts go then.
  text_buffer_free(email_header_block);
  text_buffer_free(email_body);
  text_buffer_free(email_8bit_header_block);
  text_buffer_free(email_8bit_body);
  email_8bit_header_block = nullptr;
  email_8bit_body = nullptr;

  email_header_block = text_buffer_create("");
  compose_header_block(email_header_block, line_end);
  if (configuration.add_date_and_message_id)
    append_date_and_message_id(email_header_block, line_end, message_envelope.sender);
  if (configuration.charset != nullptr)
    text_buffer_appendf(email_header_block, "MIME-Version: 1.0%sContent-Type: text/plain; charset=%s%s", line_end,
                        configuration.charset, line_end);
  log_event(LOG_DEBUG, "generated headers {%s}", email_header_block->chars);

  email_body = text_buffer_create("");
  compose_body(email_body, line_end);
  choose_body_encoding(line_end);

  const MessageEnvelope& envelope = message_envelope;
  if (envelope.sender != nullptr && envelope.recipient_to != nullptr && envelope.subject_seen) {
    EnvelopeRecipient recipients[SMTP_MAX_RECIPIENTS];
    list_recipients(envelope, recipients);
    return submitted_recipients_allowed(recipients) ? EMAIL_READY : EMAIL_RECIPIENT_REFUSED;
  }
  // The message as the visitor wrote it: the 8bit form where there is one.
  const TextBuffer* shown_header_block = email_8bit_header_block != nullptr ? email_8bit_header_block : email_header_block;
  const TextBuffer* shown_body = email_8bit_body != nullptr ? email_8bit_body : email_body;
  log_event(LOG_ERROR,
            "email not sent due to From, or To, or Subject headers not being present or valid. From={%s} To={%s} "
            "Subject_found=%s\r\n HEADERS = \r\n%s\r\n = HEADERS\r\nBODY = \r\n%s\r\n = BODY.",
            text_or_null(envelope.sender), text_or_null(envelope.recipient_to),
            envelope.subject_seen ? "TRUE" : "FALSE", shown_header_block->chars, shown_body->chars);
  return EMAIL_INVALID;
}

int send_composed_email() {
  const MessageEnvelope& envelope = message_envelope;
  log_event(LOG_DEBUG, "about to send email to smtp server (%s) from: (%s) to: (%s)",
            text_or_null(configuration.smtp), text_or_null(envelope.sender), text_or_null(envelope.recipient_to));
  EnvelopeRecipient recipients[SMTP_MAX_RECIPIENTS];
  list_recipients(envelope, recipients);
  if (deliver(envelope.sender, recipients) != 0) {
    log_event(LOG_DEBUG, "email sent! (1)");
    return 1;
  }
  log_event(LOG_ERROR, "Email not sent.");
  return 0;
}

int generate_email() { return compose_email() == EMAIL_READY ? send_composed_email() : 0; }
