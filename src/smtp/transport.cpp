// transport.cpp - the socket transport under the SMTP dialogue: starting the
// sockets library, the one connection and the two functions that move its
// bytes, whole writes, command lines, whole replies, and the wire form of
// the message text.
#include <climits>
#include <cstdio>
#include <cstring>

#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

// ---- process-wide state ----

PlatformSocket current_connection = PLATFORM_NO_SOCKET;
bool winsock_started = false;
char reply_carry[REPLY_BUFFER_SIZE];
int reply_carry_length = 0;
int write_hold_depth = 0;
char held_writes[HELD_WRITES_SIZE];
int held_writes_length = 0;
long long delivery_deadline_ms = 0;
PlatformTls* current_tls = nullptr;
bool connected_to_loopback = false;

void smtp_reset() {
  platform_tls_close(current_tls);
  current_tls = nullptr;
  connected_to_loopback = false;
  platform_socket_close(current_connection);
  current_connection = PLATFORM_NO_SOCKET;
  winsock_started = false;
  reply_carry_length = 0;
  write_hold_depth = 0;
  held_writes_length = 0;
  delivery_deadline_ms = 0;
  socket_last_error = 0;
}

void smtp_set_deadline(int milliseconds) { delivery_deadline_ms = platform_monotonic_ms() + milliseconds; }

// Milliseconds left for the next wait, never below 0.
static int time_left_ms() {
  if (delivery_deadline_ms == 0) return SMTP_WAIT_WITHOUT_DEADLINE_MS;
  long long left = delivery_deadline_ms - platform_monotonic_ms();
  if (left <= 0) return 0;
  return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

// True, with the time-out recorded as the last socket error, when the
// deadline has passed: nothing new is to be started.
static bool out_of_time() {
  if (time_left_ms() > 0) return false;
  socket_last_error = SOCKET_ERROR_TIMED_OUT;
  return true;
}

int connection_number(PlatformSocket socket) { return static_cast<int>(socket); }

// ---- starting and connecting ----

void TCPstartup() {
  int major = 0;
  int minor = 0;
  if (platform_sockets_start(&major, &minor) != 0) {
    log_event(LOG_ERROR, "No winsock found of correct version\n");
    return;
  }
  if (major != 1 || minor != 1)
    log_event(LOG_ERROR, "*** Error *** No winsock found of correct version, trying to continue\n");
}

PlatformSocket TCPconnect(char* server, int port) {
  for (char* c = server; *c != '\0'; c++)
    if (*c >= 'A' && *c <= 'Z') *c = static_cast<char>(*c - 'A' + 'a');

  unsigned char address[4] = {0, 0, 0, 0};
  if (server[0] >= '0' && server[0] <= '9') {
    // Taken as dotted decimal even when it is not one: inet_addr's "none"
    // (255.255.255.255) is tried and fails at connect, which is reported.
    platform_inet_addr(server, address);
  } else {
    int resolved = out_of_time() ? -1 : platform_resolve_ipv4(server, address, time_left_ms());
    if (resolved == 0) return PLATFORM_NO_SOCKET;  // the caller reports the server as not responding
    if (resolved < 0) {
      // Reported as a connect that timed out.
      TCPerror(server);
      return PLATFORM_NO_SOCKET;
    }
  }

  PlatformSocket socket = platform_socket_open();
  if (socket == PLATFORM_NO_SOCKET) {
    char context[CONNECT_CONTEXT_SIZE];
    int written = std::snprintf(context, sizeof context, "*** Error *** Can't connect to {%s}", server);
    if (written < 0) context[0] = '\0';
    TCPerror(context);
    return PLATFORM_NO_SOCKET;
  }
  if (out_of_time() || platform_socket_connect(socket, address, port, time_left_ms()) != 0) {
    TCPerror(server);
    int code = socket_last_error;
    platform_socket_close(socket);
    socket_last_error = code;
    return PLATFORM_NO_SOCKET;
  }
  connected_to_loopback = address[0] == LOOPBACK_FIRST_BYTE;
  return socket;
}

// ---- the connection's bytes ----

// Hands the held bytes to the TLS session, as one record. Returns 1, or 0
// with the failure recorded.
static int send_held_writes(int timeout_ms) {
  int length = held_writes_length;
  held_writes_length = 0;
  return length == 0 || platform_tls_send(current_tls, held_writes, length, timeout_ms) == length;
}

// Plain TCP: the bytes go to the socket as they are; once TLS has started on
// the connection, through its session, gathered while writes are held.
int transport_send(PlatformSocket socket, const char* bytes, int length, int timeout_ms) {
  if (current_tls == nullptr || socket != current_connection)
    return platform_socket_send(socket, bytes, length, timeout_ms);
  if (write_hold_depth == 0) return platform_tls_send(current_tls, bytes, length, timeout_ms);
  int taken = 0;
  while (taken < length) {
    if (held_writes_length == HELD_WRITES_SIZE && !send_held_writes(timeout_ms)) return -1;
    int part = length - taken;
    if (part > HELD_WRITES_SIZE - held_writes_length) part = HELD_WRITES_SIZE - held_writes_length;
    std::memcpy(held_writes + held_writes_length, bytes + taken, static_cast<std::size_t>(part));
    held_writes_length += part;
    taken += part;
  }
  return taken;
}

int transport_receive(PlatformSocket socket, char* bytes, int capacity, int timeout_ms) {
  if (current_tls != nullptr && socket == current_connection)
    return platform_tls_receive(current_tls, bytes, capacity, timeout_ms);
  return platform_socket_receive(socket, bytes, capacity, timeout_ms);
}

int smtp_start_tls(const char* host, const char* ca_file) {
  if (reply_carry_length > 0) {
    // Whatever came after the reply to STARTTLS was sent in clear text, and
    // would otherwise be read as the secure session's first reply.
    log_event(LOG_DEBUG, "dropped %d bytes that came in clear text after the STARTTLS reply", reply_carry_length);
    reply_carry_length = 0;
  }
  bool late = out_of_time();
  PlatformTls* tls = late ? nullptr : platform_tls_start(current_connection, host, ca_file, time_left_ms());
  if (tls == nullptr) {
    // Not started at all when the deadline had passed: tls_last_reason is
    // then an earlier session's.
    const char* reason = late ? "timed out" : tls_last_reason;
    if (reason[0] == '\0')
      reason = socket_last_error == SOCKET_ERROR_TIMED_OUT ? "timed out" : "the connection failed";
    log_event(LOG_ERROR, "TLS with the SMTP server %s failed: %s", text_or_null(host), reason);
    return 0;
  }
  current_tls = tls;
  log_event(LOG_DEBUG, "TLS started with the SMTP server %s", text_or_null(host));
  return 1;
}

// ---- writing ----

// TCPwrite, whose log lines show `shown` in place of the bytes (null: the
// bytes not yet sent).
static int write_whole(PlatformSocket socket, const char* bytes, int length, const char* shown) {
  if (length == 0) return 0;
  if (socket == PLATFORM_NO_SOCKET) return -1;
  int sent = 0;
  // Each send takes what the connection has room for; the rest follows
  // after a pause, until every byte is gone or a send fails.
  while (sent < length) {
    int taken = out_of_time() ? -1 : transport_send(socket, bytes + sent, length - sent, time_left_ms());
    if (taken <= 0) {
      TCPerror("Socket Error, could not write.");
      return -1;
    }
    log_event(LOG_DEBUG, "SENT(%d): (%d/%d bytes) {%s}", connection_number(socket), taken, length,
              shown != nullptr ? shown : bytes + sent);
    sent += taken;
    if (sent < length) {
      int left = time_left_ms();
      platform_sleep_ms(left < SEND_RETRY_PAUSE_MS ? left : SEND_RETRY_PAUSE_MS);
    }
  }
  return sent;
}

int TCPwrite(PlatformSocket socket, const char* bytes, int length) {
  return write_whole(socket, bytes, length, nullptr);
}

void smtp_hold_writes() {
  if (write_hold_depth++ == 0) platform_socket_gather(current_connection, true);
}

int smtp_release_writes() {
  if (write_hold_depth == 0 || --write_hold_depth > 0) return 1;
  int sent = 1;
  if (held_writes_length > 0 && (out_of_time() || !send_held_writes(time_left_ms()))) {
    held_writes_length = 0;
    TCPerror("Socket Error, could not write.");
    sent = 0;
  }
  platform_socket_gather(current_connection, false);
  return sent;
}

int sendr(const char* text) { return sendr_hidden(text, nullptr); }

int sendr_hidden(const char* text, const char* shown) {
  log_event(LOG_DEBUG, "SEND(%d): {%s\n}\n", connection_number(current_connection),
            text_or_null(shown != nullptr ? shown : text));
  smtp_hold_writes();
  int whole = 1;
  int length = text != nullptr ? static_cast<int>(std::strlen(text)) : 0;
  if (length > 0 && write_whole(current_connection, text, length, shown) != length) {
    TCPerror("TCPwrite failed in sendr(1)");
    whole = 0;
  }
  if (TCPwrite(current_connection, WIRE_LINE_END, WIRE_LINE_END_LENGTH) != WIRE_LINE_END_LENGTH) {
    TCPerror("TCPwrite failed in sendr(2)");
    whole = 0;
  }
  if (!smtp_release_writes()) whole = 0;
  return whole;
}

// ---- reading ----

// A line ends its reply unless its fourth character is '-' (RFC 5321 4.2.1).
static bool is_final_line(const char* line, int length) { return length < 4 || line[3] != '-'; }

// The three-digit code that begins a reply line, or 0 when the line does not
// begin with three digits followed by its end, a space, a hyphen or a CR.
static int reply_code(const char* line, int length) {
  if (length < 3) return 0;
  for (int i = 0; i < 3; i++)
    if (line[i] < '0' || line[i] > '9') return 0;
  if (length > 3 && line[3] != ' ' && line[3] != '-' && line[3] != '\r') return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

// How read_reply logs the lines of a reply.
enum ReplyLogging { REPLY_LOGGED, GREETING_LOGGED, REPLY_HIDDEN };

static int read_reply(SmtpReply* reply, ReplyLogging logging) {
  char* buffer = reply->lines;
  reply->code = 0;
  reply->line_count = 0;
  reply->length = 0;
  int received = reply_carry_length;
  std::memcpy(buffer, reply_carry, static_cast<size_t>(received));
  reply_carry_length = 0;
  buffer[received] = '\0';
  int connection = connection_number(current_connection);
  // Without a delivery deadline, the reply has smtp_timeout of its own.
  long long deadline = delivery_deadline_ms != 0 ? delivery_deadline_ms : platform_monotonic_ms() + SMTP_WAIT_WITHOUT_DEADLINE_MS;

  // Invariant: the bytes before `scan` are whole lines of this reply, already
  // logged and ended by a NUL; the bytes from `scan` to `received` are not.
  int scan = 0;
  for (;;) {
    while (scan < received) {
      char* line_feed = static_cast<char*>(std::memchr(buffer + scan, '\n', static_cast<size_t>(received - scan)));
      if (line_feed == nullptr) break;
      int end = static_cast<int>(line_feed - buffer);
      const char* line = buffer + scan;
      int line_length = end - scan;
      *line_feed = '\0';
      if (logging == GREETING_LOGGED)
        log_event(LOG_DEBUG, "RECV(%d): {%s}\n", connection, line);
      else if (logging == REPLY_HIDDEN)
        log_event(LOG_DEBUG, "RECV(%d):[%d] {%.4s<hidden>}\n", connection, end, line);
      else
        log_event(LOG_DEBUG, "RECV(%d):[%d] {%s}\n", connection, end, line);
      reply->line_count++;
      scan = end + 1;
      if (is_final_line(line, line_length)) {
        reply->code = reply_code(line, line_length);
        reply->length = scan;
        // What follows belongs to the next reply (pipelined replies).
        reply_carry_length = received - scan;
        std::memcpy(reply_carry, buffer + scan, static_cast<size_t>(reply_carry_length));
        buffer[scan] = '\0';
        return 1;
      }
    }
    if (received >= REPLY_BUFFER_SIZE) {
      log_event(LOG_ERROR, "SMTP server reply longer than %d bytes", REPLY_BUFFER_SIZE);
      TCPerror("TCPdoread failed");
      return 0;
    }
    // At the deadline, bytes that have already arrived are still taken
    // (a wait of 0 looks without waiting).
    long long left = deadline - platform_monotonic_ms();
    int limit = left <= 0 ? 0 : left < INT_MAX ? static_cast<int>(left) : INT_MAX;
    int got = transport_receive(current_connection, buffer + received, REPLY_BUFFER_SIZE - received, limit);
    if (got <= 0) {
      TCPerror("TCPdoread failed");
      return 0;
    }
    received += got;
    buffer[received] = '\0';
  }
}

int recvr(SmtpReply* reply) { return read_reply(reply, REPLY_LOGGED); }

int recvr_greeting(SmtpReply* reply) { return read_reply(reply, GREETING_LOGGED); }

int recvr_hidden(SmtpReply* reply) { return read_reply(reply, REPLY_HIDDEN); }

// ---- the wire form of the message ----

// Appends `length` bytes to the wire text, counting them even where there is
// no room (the terminator's byte is always kept free).
static void put_bytes(char* wire, std::size_t capacity, std::size_t* out, const char* bytes,
                      std::size_t length) {
  if (wire != nullptr && *out + 1 < capacity) {
    std::size_t room = capacity - 1 - *out;
    std::memcpy(wire + *out, bytes, length < room ? length : room);
  }
  *out += length;
}

std::size_t smtp_wire_text(const char* text, char* wire, std::size_t capacity) {
  static const std::size_t LIMIT = SMTP_LINE_LIMIT;
  std::size_t out = 0;
  const char* at = text != nullptr ? text : "";
  while (*at != '\0') {
    // One line of the text, copied in runs: `column` counts the octets
    // already on its current wire line, a doubled leading dot included.
    const char* end = at + std::strcspn(at, "\r\n");
    std::size_t column = 0;
    if (*at == '.') {
      put_bytes(wire, capacity, &out, ".", 1);
      column = 1;
    }
    while (at < end) {
      if (column == LIMIT) {
        put_bytes(wire, capacity, &out, WIRE_LINE_END, WIRE_LINE_END_LENGTH);
        put_bytes(wire, capacity, &out, " ", 1);
        column = 1;
      }
      std::size_t left = static_cast<std::size_t>(end - at);
      std::size_t run = left < LIMIT - column ? left : LIMIT - column;
      put_bytes(wire, capacity, &out, at, run);
      at += run;
      column += run;
    }
    if (*at == '\0') break;
    if (*at == '\r' && at[1] == '\n') at++;
    at++;
    put_bytes(wire, capacity, &out, WIRE_LINE_END, WIRE_LINE_END_LENGTH);
  }
  if (capacity > 0 && wire != nullptr) wire[out < capacity ? out : capacity - 1] = '\0';
  return out;
}
