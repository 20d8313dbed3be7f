// dialogue.cpp - the SMTP client dialogue (RFC 5321) for the one message of
// a run, one command at a time or pipelined (RFC 2920): the greeting and
// hello, the envelope, and the data.
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

static const char HELO_COMMAND[] = "HELO QUILLET";
static const char EHLO_COMMAND[] = "EHLO QUILLET";
static const char DATA_COMMAND[] = "DATA";
static const char QUIT_COMMAND[] = "QUIT";
static const char STARTTLS_COMMAND[] = "STARTTLS";
static const char HIDDEN[] = "<hidden>";
static const int STARTTLS_GO_AHEAD = 220;
static const int AUTH_CHALLENGE = 334;
static const int AUTH_SUCCEEDED = 235;
static const char END_OF_DATA[] = "\r\n.\r\n";
static const int END_OF_DATA_LENGTH = 5;
static const int DATA_GO_AHEAD = 354;
static const unsigned long PORT_MASK = 0xFFFF;  // a TCP port has 16 bits

// Quoted replies in LOG_ERROR lines: the reply's lines joined by spaces.
static const int REPLY_QUOTE_SIZE = REPLY_BUFFER_SIZE + 1;

// The service extensions the dialogue uses, by the keyword that announces
// each in an EHLO reply: one row per field of SmtpExtensions.
static const struct {
  const char* keyword;
  bool SmtpExtensions::*announced;
} EXTENSION_KEYWORDS[] = {
    {"PIPELINING", &SmtpExtensions::pipelining},
    {"8BITMIME", &SmtpExtensions::eight_bit_mime},
    {"STARTTLS", &SmtpExtensions::starttls},
};

// The values of the smtp_tls setting.
static const char TLS_STARTTLS[] = "starttls";
static const char TLS_IMPLICIT[] = "implicit";

static bool is_positive(const SmtpReply* reply) { return reply->code >= 200 && reply->code <= 299; }

bool smtp_reply_announces(const SmtpReply* reply, const char* keyword) {
  std::size_t keyword_length = std::strlen(keyword);
  const char* line = reply->lines;
  for (int i = 0; i < reply->line_count; i++) {
    std::size_t line_length = std::strlen(line);
    // The first line names the server; each further one is "250-KEYWORD
    // params" or "250 KEYWORD params" (RFC 5321 4.1.1.1).
    if (i > 0 && line_length >= 4 + keyword_length) {
      const char* name = line + 4;
      char after = name[keyword_length];
      if (text_equal_ignoring_case(name, keyword, static_cast<int>(keyword_length)) &&
          (after == '\0' || after == ' ' || after == '\r'))
        return true;
    }
    line += line_length + 1;
  }
  return false;
}

// Whether the `length` bytes at `word` are `name`, ASCII case ignored.
static bool same_word(const char* word, std::size_t length, const char* name) {
  return std::strlen(name) == length && text_equal_ignoring_case(word, name, static_cast<int>(length));
}

bool smtp_reply_offers_auth(const SmtpReply* reply, const char* mechanism) {
  const char* line = reply->lines;
  for (int i = 0; i < reply->line_count; i++) {
    std::size_t line_length = std::strlen(line);
    // "250-AUTH PLAIN LOGIN", or "250-AUTH=LOGIN" as some old servers put it.
    if (i > 0 && line_length > 8 && text_equal_ignoring_case(line + 4, "AUTH", 4) &&
        (line[8] == ' ' || line[8] == '=')) {
      const char* at = line + 9;
      const char* end = line + line_length;
      while (at < end) {
        std::size_t word = std::strcspn(at, " \r");  // stops at the line's NUL, `end`, at the latest
        if (same_word(at, word, mechanism)) return true;
        at += word;
        if (at < end) at++;
      }
    }
    line += line_length + 1;
  }
  return false;
}

void smtp_read_extensions(const SmtpReply* reply, SmtpExtensions* extensions) {
  for (const auto& extension : EXTENSION_KEYWORDS)
    extensions->*extension.announced = smtp_reply_announces(reply, extension.keyword);
  extensions->auth_plain = smtp_reply_offers_auth(reply, "PLAIN");
  extensions->auth_login = smtp_reply_offers_auth(reply, "LOGIN");
}

static bool is_tls_mode(const SmtpOptions* options, const char* mode) {
  return options->tls != nullptr && same_word(options->tls, std::strlen(options->tls), mode);
}

// Whether smtp_user and smtp_password come together and each fits the
// login's buffers; otherwise one LOG_ERROR line.
static bool credentials_usable(const SmtpOptions* options) {
  if ((options->user == nullptr) != (options->password == nullptr)) {
    log_event(LOG_ERROR, "smtp_user and smtp_password go together, one is missing; message not sent");
    return false;
  }
  if (options->user != nullptr &&
      (std::strlen(options->user) > SMTP_CREDENTIAL_MAX || std::strlen(options->password) > SMTP_CREDENTIAL_MAX)) {
    log_event(LOG_ERROR, "smtp_user or smtp_password longer than %d characters; message not sent",
              SMTP_CREDENTIAL_MAX);
    return false;
  }
  return true;
}

// The reply's lines, without their carriage returns, joined by spaces.
static void quote_reply(const SmtpReply* reply, char* quote, int size) {
  int out = 0;
  const char* line = reply->lines;
  for (int i = 0; i < reply->line_count; i++) {
    std::size_t line_length = std::strlen(line);
    if (i > 0 && out + 1 < size) quote[out++] = ' ';
    for (std::size_t k = 0; k < line_length && out + 1 < size; k++)
      if (line[k] != '\r') quote[out++] = line[k];
    line += line_length + 1;
  }
  quote[out] = '\0';
}

// Logs a refusal at `level`: "SMTP server refused <what>: <reply>".
static void log_refusal(int level, const char* what, const SmtpReply* reply) {
  char quote[REPLY_QUOTE_SIZE];
  quote_reply(reply, quote, sizeof quote);
  log_event(level, "SMTP server refused %s: %s", what, quote);
}

static void log_not_sent(const char* what) { log_event(LOG_ERROR, "could not send %s to the SMTP server", what); }

// Reads the reply to `what` into session->reply. Returns 1 when a whole
// reply came, 0 when the dialogue cannot go on (logged).
static int answered(SmtpSession* session, const char* what) {
  if (recvr(&session->reply)) return 1;
  log_event(LOG_ERROR, "SMTP server did not answer %s", what);
  return 0;
}

// Sends a command and reads its reply into session->reply. Returns 1 when a
// whole reply came, 0 when the dialogue cannot go on (both logged).
static int command_and_reply(SmtpSession* session, const char* command) {
  if (!sendr(command)) {
    log_not_sent(command);
    return 0;
  }
  return answered(session, command);
}

// The reply to `command`: sent first and then awaited (one command at a
// time), or only awaited (its group already went out).
static int exchange(SmtpSession* session, const char* command, bool send_first) {
  return send_first ? command_and_reply(session, command) : answered(session, command);
}

// Ends a dialogue: QUIT, and its reply within what is left of the deadline,
// whatever it is.
static void quit(SmtpSession* session) {
  if (sendr(QUIT_COMMAND)) (void)recvr(&session->reply);
}

// Formats a command line into session->command; a line that does not fit is
// cut to SMTP_COMMAND_BUFFER_SIZE - 2 characters, and a line break in the
// address ends the line there, so that one command never carries a second.
static const char* format_command(SmtpSession* session, const char* format, ...) QUILLET_PRINTF(2, 3);
static const char* format_command(SmtpSession* session, const char* format, ...) {
  char* command = session->command;
  va_list arguments;
  va_start(arguments, format);
  int written = std::vsnprintf(command, SMTP_COMMAND_BUFFER_SIZE - 1, format, arguments);
  va_end(arguments);
  if (written < 0) command[0] = '\0';
  command[std::strcspn(command, "\r\n")] = '\0';
  return command;
}

// RFC 6152 3: the 8bit form is declared on MAIL FROM.
static const char* mail_command(SmtpSession* session) {
  return format_command(session, "MAIL FROM:<%s>%s", text_or_null(session->message->sender),
                        session->eight_bit ? " BODY=8BITMIME" : "");
}

static const char* recipient_command(SmtpSession* session, int index) {
  return format_command(session, "RCPT TO:<%s>", text_or_null(session->message->recipients[index]));
}

// ---- the greeting and hello ----

// EHLO, or HELO with options->use_helo or after a refused EHLO, filling
// session->extensions from scratch. STARTTLS and a login need the EHLO
// reply: while either is still to come (`extensions_needed`), EHLO is sent
// whatever hello_method says, and its refusal ends the dialogue.
static int greet(SmtpSession* session, bool extensions_needed) {
  SmtpReply* reply = &session->reply;
  session->extensions = SmtpExtensions{};
  if (!session->options->use_helo || extensions_needed) {
    if (!command_and_reply(session, EHLO_COMMAND)) return 0;
    if (is_positive(reply)) {
      smtp_read_extensions(reply, &session->extensions);
      // hello_method HELO keeps to one command at a time.
      if (session->options->use_helo) session->extensions.pipelining = false;
      return 1;
    }
    if (extensions_needed) {
      log_refusal(LOG_ERROR, EHLO_COMMAND, reply);
      quit(session);
      return 0;
    }
    // A server without the extensions: RFC 5321 4.1.1.1 falls back to HELO.
    log_refusal(LOG_DEBUG, EHLO_COMMAND, reply);
  }
  if (!command_and_reply(session, HELO_COMMAND)) return 0;
  if (is_positive(reply)) return 1;
  log_refusal(LOG_ERROR, HELO_COMMAND, reply);
  quit(session);
  return 0;
}

int smtp_hello(SmtpSession* session) {
  SmtpReply* reply = &session->reply;
  if (!recvr_greeting(reply)) {
    log_event(LOG_ERROR, "SMTP server did not send its greeting");
    return 0;
  }
  if (!is_positive(reply)) {
    log_refusal(LOG_ERROR, "the connection", reply);
    quit(session);
    return 0;
  }
  const SmtpOptions* options = session->options;
  return greet(session, is_tls_mode(options, TLS_STARTTLS) || options->user != nullptr);
}

// ---- STARTTLS ----

int smtp_secure(SmtpSession* session) {
  if (!is_tls_mode(session->options, TLS_STARTTLS)) return 1;
  SmtpReply* reply = &session->reply;
  // Never on in clear text: a server in the middle may have taken STARTTLS
  // out of the reply (RFC 3207 6).
  if (!session->extensions.starttls) {
    log_event(LOG_ERROR, "SMTP server does not offer STARTTLS; message not sent");
    quit(session);
    return 0;
  }
  if (!command_and_reply(session, STARTTLS_COMMAND)) return 0;
  if (reply->code != STARTTLS_GO_AHEAD) {
    log_refusal(LOG_ERROR, STARTTLS_COMMAND, reply);
    quit(session);
    return 0;
  }
  // After a failed handshake nothing more is written, in clear text or not.
  if (!smtp_start_tls(session->host, session->options->tls_ca_file)) return 0;
  // What the server said before the handshake may have been an attacker's:
  // only the new EHLO reply counts (RFC 3207 4.2).
  return greet(session, session->options->user != nullptr);
}

// ---- the login ----

static const char BASE64_DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Writes the base64 form (RFC 4648 4) of `length` bytes after `prefix` into
// `out` (room for `capacity` bytes). Returns 1, or 0 when it does not fit.
static int base64_line(const char* prefix, const unsigned char* bytes, std::size_t length, char* out,
                       std::size_t capacity) {
  std::size_t prefix_length = std::strlen(prefix);
  if (prefix_length + (length + 2) / 3 * 4 + 1 > capacity) return 0;
  std::memcpy(out, prefix, prefix_length);
  char* at = out + prefix_length;
  for (std::size_t i = 0; i < length; i += 3) {
    unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
    if (i + 1 < length) group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
    if (i + 2 < length) group |= bytes[i + 2];
    *at++ = BASE64_DIGITS[(group >> 18) & 63];
    *at++ = BASE64_DIGITS[(group >> 12) & 63];
    *at++ = i + 1 < length ? BASE64_DIGITS[(group >> 6) & 63] : '=';
    *at++ = i + 2 < length ? BASE64_DIGITS[group & 63] : '=';
  }
  *at = '\0';
  return 1;
}

// Sends one line of credentials, shown in the log as `shown`, and reads its
// reply (a challenge's lines hidden when `hidden_reply`). Forgets the line.
static int send_secret(SmtpSession* session, const char* shown, bool hidden_reply) {
  int sent = sendr_hidden(session->command, shown);
  std::memset(session->command, 0, sizeof session->command);
  if (!sent) {
    log_not_sent(shown);
    return 0;
  }
  if (hidden_reply ? recvr_hidden(&session->reply) : recvr(&session->reply)) return 1;
  log_event(LOG_ERROR, "SMTP server did not answer %s", shown);
  return 0;
}

// AUTH PLAIN with the initial response "\0user\0password" (RFC 4616, RFC
// 4954 4). The reply is left in session->reply.
static int auth_plain(SmtpSession* session) {
  const SmtpOptions* options = session->options;
  unsigned char plain[2 * SMTP_CREDENTIAL_MAX + 2];
  std::size_t user_length = std::strlen(options->user);
  std::size_t password_length = std::strlen(options->password);
  plain[0] = 0;
  std::memcpy(plain + 1, options->user, user_length);
  plain[1 + user_length] = 0;
  std::memcpy(plain + 2 + user_length, options->password, password_length);
  int made = base64_line("AUTH PLAIN ", plain, 2 + user_length + password_length, session->command,
                         sizeof session->command);
  std::memset(plain, 0, sizeof plain);
  if (!made) {
    log_not_sent("AUTH PLAIN");
    return 0;
  }
  return send_secret(session, "AUTH PLAIN <hidden>", false);
}

// AUTH LOGIN: the user name and the password, each after a 334 challenge.
// The reply that ends the exchange is left in session->reply.
static int auth_login(SmtpSession* session) {
  const SmtpOptions* options = session->options;
  if (!sendr("AUTH LOGIN")) {
    log_not_sent("AUTH LOGIN");
    return 0;
  }
  if (!recvr_hidden(&session->reply)) {
    log_event(LOG_ERROR, "SMTP server did not answer AUTH LOGIN");
    return 0;
  }
  const char* secrets[2] = {options->user, options->password};
  for (const char* secret : secrets) {
    if (session->reply.code != AUTH_CHALLENGE) return 1;
    if (!base64_line("", reinterpret_cast<const unsigned char*>(secret), std::strlen(secret), session->command,
                     sizeof session->command)) {
      log_not_sent("AUTH LOGIN");
      return 0;
    }
    if (!send_secret(session, HIDDEN, secret == options->user)) return 0;
  }
  return 1;
}

int smtp_login(SmtpSession* session) {
  const SmtpOptions* options = session->options;
  if (options->user == nullptr) return 1;
  // smtp_send_mail refuses such settings before it connects; the login's
  // buffers do not rely on that.
  if (!credentials_usable(options)) {
    quit(session);
    return 0;
  }
  if (current_tls == nullptr && !connected_to_loopback) {
    log_event(LOG_ERROR, "SMTP AUTH not attempted: the connection to %s is not encrypted; set smtp_tls",
              text_or_null(session->host));
    quit(session);
    return 0;
  }
  bool plain = session->extensions.auth_plain;
  if (!plain && !session->extensions.auth_login) {
    log_event(LOG_ERROR, "SMTP server offers neither AUTH PLAIN nor AUTH LOGIN; message not sent");
    quit(session);
    return 0;
  }
  if (!(plain ? auth_plain(session) : auth_login(session))) return 0;
  if (session->reply.code == AUTH_SUCCEEDED) return 1;
  log_refusal(LOG_ERROR, plain ? "AUTH PLAIN" : "AUTH LOGIN", &session->reply);
  quit(session);
  return 0;
}

// ---- the envelope ----

// Reads and judges the reply to each recipient's RCPT TO, in order, sending
// each command first when `send_each` (one command at a time). A refusal is
// logged and the next recipient follows. Returns how many were accepted, or
// -1 when the dialogue cannot go on (logged).
static int recipients_accepted(SmtpSession* session, bool send_each) {
  int accepted = 0;
  for (int i = 0; i < session->message->recipient_count; i++) {
    const char* command = recipient_command(session, i);
    if (!exchange(session, command, send_each)) return -1;
    if (is_positive(&session->reply))
      accepted++;
    else
      log_refusal(LOG_ERROR, command, &session->reply);
  }
  return accepted;
}

// RFC 2920 3.1: MAIL FROM, every RCPT TO and DATA go out as one group.
static int send_envelope_group(SmtpSession* session) {
  smtp_hold_writes();
  bool sent = sendr(mail_command(session)) != 0;
  for (int i = 0; sent && i < session->message->recipient_count; i++) sent = sendr(recipient_command(session, i)) != 0;
  if (sent) sent = sendr(DATA_COMMAND) != 0;
  if (!smtp_release_writes()) sent = false;
  if (!sent) log_not_sent("the envelope");
  return sent ? 1 : 0;
}

int smtp_envelope(SmtpSession* session) {
  SmtpReply* reply = &session->reply;
  // 8-bit data only to a server that said it takes it, and said so (RFC 6152).
  session->eight_bit = session->extensions.eight_bit_mime && session->message->header_block_8bit != nullptr;
  bool one_at_a_time = !session->extensions.pipelining;
  if (!one_at_a_time && !send_envelope_group(session)) return 0;

  const char* command = mail_command(session);
  if (!exchange(session, command, one_at_a_time)) return 0;
  bool sender_accepted = is_positive(reply);
  if (!sender_accepted) {
    log_refusal(LOG_ERROR, command, reply);
    if (one_at_a_time) {
      quit(session);
      return 0;
    }
  }
  int accepted = recipients_accepted(session, one_at_a_time);
  if (accepted < 0) return 0;
  if (one_at_a_time && accepted == 0) {
    quit(session);
    return 0;
  }
  if (!exchange(session, DATA_COMMAND, one_at_a_time)) return 0;
  if (reply->code != DATA_GO_AHEAD) {
    log_refusal(LOG_ERROR, DATA_COMMAND, reply);
    quit(session);
    return 0;
  }
  if (!sender_accepted || accepted == 0) {
    // Pipelined, DATA was taken although the envelope was not (RFC 2920
    // 3.1): end the data at once, sending none of the message.
    log_event(LOG_ERROR, "SMTP server took DATA without sender or recipient; message not sent");
    if (!sendr(".")) return 0;
    if (!recvr(reply)) return 0;
    quit(session);
    return 0;
  }
  return 1;
}

// ---- the data ----

// Sends the header block, the empty line, the body and the end of the data,
// each in its wire form. Returns 1 when everything went out.
static int send_message_parts(const SmtpSession* session) {
  const SmtpMessage* message = session->message;
  const char* header_block = session->eight_bit ? message->header_block_8bit : message->header_block;
  const char* body = session->eight_bit ? message->body_8bit : message->body;
  const char* parts[2] = {header_block != nullptr ? header_block : "", body != nullptr ? body : ""};
  for (int part = 0; part < 2; part++) {
    std::size_t needed = smtp_wire_text(parts[part], nullptr, 0);
    if (needed > static_cast<std::size_t>(INT_MAX) - 1) {
      log_event(LOG_ERROR, "message too long to send");
      return 0;
    }
    char* wire = static_cast<char*>(std::malloc(needed + 1));
    if (wire == nullptr) emit_fatal_page("Unable to malloc memory");
    (void)smtp_wire_text(parts[part], wire, needed + 1);
    int length = static_cast<int>(needed);
    int sent = TCPwrite(current_connection, wire, length);
    std::free(wire);
    if (sent != length) return 0;
    log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", connection_number(current_connection), parts[part]);
    // The empty line between the header block and the body.
    if (part == 0 && TCPwrite(current_connection, WIRE_LINE_END, WIRE_LINE_END_LENGTH) != WIRE_LINE_END_LENGTH)
      return 0;
  }
  return TCPwrite(current_connection, END_OF_DATA, END_OF_DATA_LENGTH) == END_OF_DATA_LENGTH;
}

int smtp_data(SmtpSession* session) {
  smtp_hold_writes();
  int sent = send_message_parts(session);
  if (!smtp_release_writes()) sent = 0;
  if (!sent) {
    log_not_sent("the message");
    return 0;
  }
  if (!answered(session, "the end of the message")) return 0;
  if (!is_positive(&session->reply)) {
    log_refusal(LOG_ERROR, "the message", &session->reply);
    quit(session);
    return 0;
  }
  // The server has the message: nothing after this point makes it a
  // failure, which would invite a duplicate (RFC 5321 6.1). QUIT is only a
  // courtesy now, so it gets a short window of its own instead of what is
  // left of the deadline (which may be nothing).
  smtp_set_deadline(SMTP_QUIT_WINDOW_MS);
  quit(session);
  return 1;
}

// ---- the whole delivery ----

int smtp_dialogue(const SmtpMessage* message, const SmtpOptions* options, const char* host) {
  SmtpSession session{};
  session.message = message;
  session.options = options;
  session.host = host;
  return smtp_hello(&session) && smtp_secure(&session) && smtp_login(&session) && smtp_envelope(&session) &&
                 smtp_data(&session)
             ? 1
             : 0;
}

// Whether the settings of TLS and the login can be used; logs why not.
static bool usable_settings(const SmtpOptions* options) {
  if (options->tls != nullptr && !is_tls_mode(options, TLS_STARTTLS) && !is_tls_mode(options, TLS_IMPLICIT)) {
    log_event(LOG_ERROR, "smtp_tls {%s} is neither starttls nor implicit; message not sent", options->tls);
    return false;
  }
  return credentials_usable(options);
}

// The deadline of the whole delivery, in milliseconds.
static int delivery_timeout_ms(const SmtpOptions* options) {
  int seconds = options->timeout_seconds;
  if (seconds < 1) seconds = 1;
  if (seconds > INT_MAX / SMTP_MILLISECONDS_PER_SECOND) seconds = INT_MAX / SMTP_MILLISECONDS_PER_SECOND;
  return seconds * SMTP_MILLISECONDS_PER_SECOND;
}

int smtp_send_mail(char* server, const SmtpMessage* message, const SmtpOptions* options) {
  if (server == nullptr) {
    // No `smtp` line in the ini file: there is nothing to connect to.
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", text_or_null(server));
    return 0;
  }
  if (!usable_settings(options)) return 0;
  bool implicit_tls = is_tls_mode(options, TLS_IMPLICIT);
  int port = implicit_tls ? SMTP_IMPLICIT_TLS_PORT : SMTP_DEFAULT_PORT;
  if (!winsock_started) {
    TCPstartup();
    winsock_started = true;
  }
  char* colon = std::strchr(server, ':');
  if (colon != nullptr) {
    *colon = '\0';
    // As atoi reads it (blanks and a sign allowed, no digits giving 0), but
    // without atoi's undefined overflow; only the low 16 bits count.
    long number = std::strtol(colon + 1, nullptr, 10);
    port = static_cast<int>(static_cast<unsigned long>(number) & PORT_MASK);
  }
  // One deadline for all of it: the name lookup, the connect and every step
  // of the dialogue. Per-step limits would add up to many times smtp_timeout
  // for a server that answers each step just in time, and the web server
  // gives up on the program long before that.
  smtp_set_deadline(delivery_timeout_ms(options));
  current_connection = TCPconnect(server, port);
  reply_carry_length = 0;
  if (current_connection == PLATFORM_NO_SOCKET) {
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", server);
    return 0;
  }
  // Implicit TLS: the handshake comes before the greeting (RFC 8314 3.3).
  if (implicit_tls && !smtp_start_tls(server, options->tls_ca_file)) return 0;
  return smtp_dialogue(message, options, server);
}
