// dialogue.cpp - the SMTP client dialogue (RFC 5321) for the one message of
// a run, one command at a time or pipelined (RFC 2920).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "message/message.h"
#include "smtp/smtp.h"
#include "support/support.h"

static const char HELO_COMMAND[] = "HELO QUILLET";
static const char EHLO_COMMAND[] = "EHLO QUILLET";
static const char DATA_COMMAND[] = "DATA";
static const char QUIT_COMMAND[] = "QUIT";
static const char END_OF_DATA[] = "\r\n.\r\n";
static const int END_OF_DATA_LENGTH = 5;
static const char WIRE_LINE_END[] = "\r\n";
static const int WIRE_LINE_END_LENGTH = 2;
static const int DATA_GO_AHEAD = 354;
static const unsigned long PORT_MASK = 0xFFFF;  // a TCP port has 16 bits

// Quoted replies in LOG_ERROR lines: the reply's lines joined by spaces.
static const int REPLY_QUOTE_SIZE = REPLY_BUFFER_SIZE + 1;

// Command lines of the envelope, formatted once per run.
static char mail_command[SMTP_COMMAND_BUFFER_SIZE];
static char recipient_commands[SMTP_MAX_RECIPIENTS][SMTP_COMMAND_BUFFER_SIZE];

// Replies, kept static: each holds REPLY_BUFFER_SIZE bytes.
static SmtpReply reply;
static SmtpReply recipient_replies[SMTP_MAX_RECIPIENTS];
static SmtpReply mail_reply;
static SmtpReply data_reply;

static bool is_positive(const SmtpReply* answer) { return answer->code >= 200 && answer->code <= 299; }

static char ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool smtp_reply_announces(const SmtpReply* answer, const char* keyword) {
  std::size_t keyword_length = std::strlen(keyword);
  const char* line = answer->lines;
  for (int i = 0; i < answer->line_count; i++) {
    std::size_t line_length = std::strlen(line);
    // The first line names the server; each further one is "250-KEYWORD
    // params" or "250 KEYWORD params" (RFC 5321 4.1.1.1).
    if (i > 0 && line_length >= 4 + keyword_length) {
      const char* name = line + 4;
      bool same = true;
      for (std::size_t k = 0; k < keyword_length && same; k++) same = ascii_upper(name[k]) == ascii_upper(keyword[k]);
      char after = name[keyword_length];
      if (same && (after == '\0' || after == ' ' || after == '\r')) return true;
    }
    line += line_length + 1;
  }
  return false;
}

// The reply's lines, without their carriage returns, joined by spaces.
static void quote_reply(const SmtpReply* answer, char* quote, int size) {
  int out = 0;
  const char* line = answer->lines;
  for (int i = 0; i < answer->line_count; i++) {
    std::size_t line_length = std::strlen(line);
    if (i > 0 && out + 1 < size) quote[out++] = ' ';
    for (std::size_t k = 0; k < line_length && out + 1 < size; k++)
      if (line[k] != '\r') quote[out++] = line[k];
    line += line_length + 1;
  }
  quote[out] = '\0';
}

// Logs a refusal at `level`: "SMTP server refused <what>: <reply>".
static void log_refusal(int level, const char* what, const SmtpReply* answer) {
  char quote[REPLY_QUOTE_SIZE];
  quote_reply(answer, quote, sizeof quote);
  log_event(level, "SMTP server refused %s: %s", what, quote);
}

static int connection_number() { return static_cast<int>(current_connection); }

// Sends a command and reads its reply into *answer. Returns 1 when a whole
// reply came, 0 when the dialogue cannot go on (both logged).
static int command_and_reply(const char* command, SmtpReply* answer) {
  if (!sendr(command)) {
    log_event(LOG_ERROR, "could not send %s to the SMTP server", command);
    return 0;
  }
  if (!recvr(answer)) {
    log_event(LOG_ERROR, "SMTP server did not answer %s", command);
    return 0;
  }
  return 1;
}

// Ends a dialogue that the server refused: QUIT, and its reply within what
// is left of the deadline, whatever it is.
static void quit() {
  if (sendr(QUIT_COMMAND)) (void)recvr(&reply);
}

// Formats a command line into its buffer; a line that does not fit is cut to
// SMTP_COMMAND_BUFFER_SIZE - 2 characters, and a line break in the address
// ends the line there, so that one command never carries a second.
static void format_command(char* command, const char* format, const char* address) {
  int written = std::snprintf(command, SMTP_COMMAND_BUFFER_SIZE - 1, format, text_or_null(address));
  if (written < 0) command[0] = '\0';
  command[std::strcspn(command, "\r\n")] = '\0';
}

// Sends the header block, the empty line, the body and the end of the data,
// each in its wire form. Returns 1 when everything went out.
static int send_message_parts(const char* header_block, const char* body) {
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
    log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", connection_number(), parts[part]);
    // The empty line between the header block and the body.
    if (part == 0 && TCPwrite(current_connection, WIRE_LINE_END, WIRE_LINE_END_LENGTH) != WIRE_LINE_END_LENGTH)
      return 0;
  }
  return TCPwrite(current_connection, END_OF_DATA, END_OF_DATA_LENGTH) == END_OF_DATA_LENGTH;
}

// The message, gathered into as few segments as the connection allows.
static int send_message(const char* header_block, const char* body) {
  smtp_hold_writes();
  int sent = send_message_parts(header_block, body);
  smtp_release_writes();
  return sent;
}

// The greeting command: HELO, or EHLO with HELO after a refusal. Sets
// *pipelining when the EHLO reply announces it. Returns 1 when the server
// accepted a greeting command; 0 when the dialogue is over (after QUIT for
// a refusal).
static int greet(bool* pipelining) {
  *pipelining = false;
  if (!configuration.use_helo) {
    if (!command_and_reply(EHLO_COMMAND, &reply)) return 0;
    if (is_positive(&reply)) {
      *pipelining = smtp_reply_announces(&reply, "PIPELINING");
      return 1;
    }
    // A server without the extensions: RFC 5321 4.1.1.1 falls back to HELO.
    log_refusal(LOG_DEBUG, EHLO_COMMAND, &reply);
  }
  if (!command_and_reply(HELO_COMMAND, &reply)) return 0;
  if (is_positive(&reply)) return 1;
  log_refusal(LOG_ERROR, HELO_COMMAND, &reply);
  quit();
  return 0;
}

int smtp_dialogue(const char* sender, const char* recipient_to, const char* header_block, const char* body) {
  if (!recvr_greeting(&reply)) {
    log_event(LOG_ERROR, "SMTP server did not send its greeting");
    return 0;
  }
  if (!is_positive(&reply)) {
    log_refusal(LOG_ERROR, "the connection", &reply);
    quit();
    return 0;
  }
  bool pipelining = false;
  if (!greet(&pipelining)) return 0;

  // The envelope: the main recipient, then BCC, then CC; equal addresses
  // are not merged.
  const char* recipients[SMTP_MAX_RECIPIENTS];
  int recipient_count = 0;
  recipients[recipient_count++] = recipient_to;
  if (message_envelope.recipient_bcc != nullptr) recipients[recipient_count++] = message_envelope.recipient_bcc;
  if (message_envelope.recipient_cc != nullptr) recipients[recipient_count++] = message_envelope.recipient_cc;
  format_command(mail_command, "MAIL FROM:<%s>", sender);
  for (int i = 0; i < recipient_count; i++) format_command(recipient_commands[i], "RCPT TO:<%s>", recipients[i]);

  bool sender_accepted = false;
  int accepted = 0;
  if (pipelining) {
    // RFC 2920 3.1: the group goes out whole, then every reply is read and
    // checked in order.
    smtp_hold_writes();
    bool sent = sendr(mail_command) != 0;
    for (int i = 0; sent && i < recipient_count; i++) sent = sendr(recipient_commands[i]) != 0;
    if (sent) sent = sendr(DATA_COMMAND) != 0;
    smtp_release_writes();
    if (!sent) {
      log_event(LOG_ERROR, "could not send %s to the SMTP server", "the envelope");
      return 0;
    }
    if (!recvr(&mail_reply)) {
      log_event(LOG_ERROR, "SMTP server did not answer %s", mail_command);
      return 0;
    }
    sender_accepted = is_positive(&mail_reply);
    if (!sender_accepted) log_refusal(LOG_ERROR, mail_command, &mail_reply);
    for (int i = 0; i < recipient_count; i++) {
      if (!recvr(&recipient_replies[i])) {
        log_event(LOG_ERROR, "SMTP server did not answer %s", recipient_commands[i]);
        return 0;
      }
      if (is_positive(&recipient_replies[i]))
        accepted++;
      else
        log_refusal(LOG_ERROR, recipient_commands[i], &recipient_replies[i]);
    }
    if (!recvr(&data_reply)) {
      log_event(LOG_ERROR, "SMTP server did not answer %s", DATA_COMMAND);
      return 0;
    }
    if (data_reply.code != DATA_GO_AHEAD) {
      log_refusal(LOG_ERROR, DATA_COMMAND, &data_reply);
      quit();
      return 0;
    }
    if (!sender_accepted || accepted == 0) {
      // DATA was taken although the envelope was not (RFC 2920 3.1): end
      // the data at once, sending none of the message.
      log_event(LOG_ERROR, "SMTP server took DATA without sender or recipient; message not sent");
      if (!sendr(".")) return 0;
      if (!recvr(&reply)) return 0;
      quit();
      return 0;
    }
  } else {
    if (!command_and_reply(mail_command, &mail_reply)) return 0;
    if (!is_positive(&mail_reply)) {
      log_refusal(LOG_ERROR, mail_command, &mail_reply);
      quit();
      return 0;
    }
    for (int i = 0; i < recipient_count; i++) {
      if (!command_and_reply(recipient_commands[i], &recipient_replies[i])) return 0;
      if (is_positive(&recipient_replies[i]))
        accepted++;
      else
        log_refusal(LOG_ERROR, recipient_commands[i], &recipient_replies[i]);
    }
    if (accepted == 0) {
      quit();
      return 0;
    }
    if (!command_and_reply(DATA_COMMAND, &data_reply)) return 0;
    if (data_reply.code != DATA_GO_AHEAD) {
      log_refusal(LOG_ERROR, DATA_COMMAND, &data_reply);
      quit();
      return 0;
    }
  }

  if (!send_message(header_block, body)) {
    log_event(LOG_ERROR, "could not send %s to the SMTP server", "the message");
    return 0;
  }
  if (!recvr(&reply)) {
    log_event(LOG_ERROR, "SMTP server did not answer %s", "the end of the message");
    return 0;
  }
  if (!is_positive(&reply)) {
    log_refusal(LOG_ERROR, "the message", &reply);
    quit();
    return 0;
  }
  // The server has the message: nothing after this point makes it a
  // failure, which would invite a duplicate (RFC 5321 6.1). QUIT is only a
  // courtesy now, so it gets a short window of its own instead of what is
  // left of the deadline (which may be nothing).
  smtp_set_deadline(SMTP_QUIT_WINDOW_MS);
  quit();
  return 1;
}

int smtp_send_mail(char* server, const char* sender, const char* recipient_to, const char* header_block,
                   const char* body) {
  if (server == nullptr) {
    // No `smtp` line in the ini file: there is nothing to connect to.
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", text_or_null(server));
    return 0;
  }
  int port = SMTP_DEFAULT_PORT;
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
  smtp_set_deadline(smtp_timeout_ms());
  current_connection = TCPconnect(server, port);
  reply_carry_length = 0;
  if (current_connection == PLATFORM_NO_SOCKET) {
    log_event(LOG_ERROR, "SMTP email server (%s) did not respond.\n", server);
    return 0;
  }
  return smtp_dialogue(sender, recipient_to, header_block, body);
}
