// smtp.h - mail transfer: the SMTP dialogue, the socket transport under it and
// the socket error messages.
//
// One message per run goes to one server over one TCP connection (RFC 5321).
// Every reply is read whole and checked; the dialogue stops at the first
// refusal that makes delivery impossible. Nothing here throws or ends the
// process: failures are results and LOG_ERROR lines; traffic is logged at
// LOG_DEBUG as "SEND", "SENT" and "RECV" lines. Socket failures are reported
// through TCPerror as "wsock: (<context>) <message>" lines.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// ---- limits ----

constexpr int SMTP_DEFAULT_PORT = 25;            // when the server text has no ":port"
constexpr int SMTP_COMMAND_BUFFER_SIZE = 10000;  // a MAIL FROM or RCPT TO line: at most 9998 characters
constexpr int SMTP_MAX_RECIPIENTS = 3;           // To, BCC, CC
constexpr int REPLY_BUFFER_SIZE = 1000;          // most bytes of one reply, all its lines together
constexpr int SEND_RETRY_PAUSE_MS = 100;         // pause between two partial sends
constexpr int SMTP_LINE_LIMIT = 998;             // octets of a line on the wire, CR LF not counted
constexpr int CONNECT_CONTEXT_SIZE = 200;        // "*** Error *** Can't connect to {%s}": 199 characters
constexpr int SMTP_MILLISECONDS_PER_SECOND = 1000;
// After the server accepted the message: how long QUIT and its reply may take,
// whatever was left of the delivery's deadline.
constexpr int SMTP_QUIT_WINDOW_MS = 1000;

// ---- records ----

// One whole reply of the server (RFC 5321 4.2): continuation lines "NNN-...",
// then a final line "NNN ..." or a bare "NNN". Any line whose fourth
// character is not '-' (a line shorter than four characters included) ends
// the reply.
struct SmtpReply {
  int code;        // the final line's three-digit code; 0 when it does not start with one
  int line_count;  // lines in `lines`
  int length;      // bytes of `lines` in use, the NULs included
  // The reply's lines one after another, each ended by a NUL in place of its
  // line feed; a carriage return before the line feed stays in the line.
  char lines[REPLY_BUFFER_SIZE + 1];
};

// ---- process-wide state (defined in transport.cpp) ----

// The SMTP connection, PLATFORM_NO_SOCKET while there is none. Set by
// smtp_send_mail from TCPconnect; read by sendr and the reply readers. The
// program never closes it: the process's end does.
extern PlatformSocket current_connection;
// Whether TCPstartup has run (it runs at most once per process).
extern bool winsock_started;
// Bytes that arrived after the end of the latest reply: the beginning of the
// next one (pipelined replies may come in one read). The next reply reader
// starts with them.
extern char reply_carry[REPLY_BUFFER_SIZE];
extern int reply_carry_length;
// How many smtp_hold_writes calls are not yet released.
extern int write_hold_depth;
// When (platform_monotonic_ms) the conversation with the server must be
// over: set by smtp_set_deadline, read before every wait of the transport.
// 0 while none is set; each wait then takes the whole smtp_timeout.
extern long long delivery_deadline_ms;

// Back to the state of process start (tests only): closes an open
// connection, forgets carried bytes, the deadline and the last socket error.
void smtp_reset();

// ---- the dialogue (dialogue.cpp) ----

// Delivers one message to `server` ("host" or "host:port"; shortened at its
// first ':' and lower-cased in place) from `sender` to `recipient_to` and the
// envelope's BCC and CC recipients, in that order. The whole conversation,
// from the name lookup and the connect to the reply that ends it, keeps to
// one deadline of configuration.smtp_timeout seconds; only QUIT after an
// accepted message gets SMTP_QUIT_WINDOW_MS of its own, so a run never
// lasts longer than smtp_timeout and that window. Returns 1 only when the
// server answered the end of the message data with a 2xx reply; the result
// then stays 1 whatever happens after it. Returns 0 otherwise: a null server
// (no `smtp` setting; nothing is tried), a server that cannot be reached
// ("SMTP email server (%s) did not respond.\n"), a refusal that ends the
// dialogue (the greeting, HELO after EHLO, MAIL FROM, every RCPT TO, DATA or
// the message), a time-out, or a connection that failed. Each refusal is one
// LOG_ERROR line "SMTP server refused <command>: <reply>"; a refused
// recipient among accepted ones is logged the same way and skipped.
int smtp_send_mail(char* server, const char* sender, const char* recipient_to, const char* header_block,
                   const char* body);

// The dialogue of smtp_send_mail on the connection already in
// current_connection, from reading the greeting to QUIT; same result and log
// lines. The server's greeting is read before anything is written. With
// configuration.use_helo the greeting command is "HELO QUILLET" and every
// command waits for its reply. Otherwise "EHLO QUILLET"; when its reply is
// not 2xx, "HELO QUILLET" follows and commands go one at a time; when it
// announces PIPELINING (RFC 2920), MAIL FROM, every RCPT TO and DATA go out
// as one group and their replies are read afterwards. The header block, an
// empty line, the body and the end of the data go out only after DATA was
// answered with 354. After a refusal QUIT is sent and its reply read within
// what is left of the deadline; once the message was accepted the deadline
// becomes SMTP_QUIT_WINDOW_MS from then. After a time-out or a broken
// connection nothing more is written.
int smtp_dialogue(const char* sender, const char* recipient_to, const char* header_block, const char* body);

// True when a line after the first of `reply` (an EHLO reply) names the
// service extension `keyword`, compared ignoring ASCII case.
bool smtp_reply_announces(const SmtpReply* reply, const char* keyword);

// ---- the socket transport (transport.cpp) ----
//
// Every wait (name lookup, connect, each send, the pause between partial
// sends, each reply) takes only what is left until delivery_deadline_ms, or
// configuration.smtp_timeout seconds when no deadline is set. Nothing new is
// started once the deadline has passed; a reply reader still takes what has
// already arrived. A time-out is reported through TCPerror with the code
// 10060.

// configuration.smtp_timeout in milliseconds (the default for a value
// outside the ini file's range).
int smtp_timeout_ms();

// Sets delivery_deadline_ms to `milliseconds` from now.
void smtp_set_deadline(int milliseconds);

// Starts the sockets library (version 1.1). A failure is only logged:
// "No winsock found of correct version\n", or "*** Error *** No winsock found
// of correct version, trying to continue\n" for another version.
void TCPstartup();

// Lower-cases `server` in place and connects to it: a text that begins with a
// digit is a dotted-decimal address (inet_addr, used as it comes), any other
// is resolved by name. Returns the connected socket, or PLATFORM_NO_SOCKET:
// silently when the name does not resolve; after TCPerror with "*** Error ***
// Can't connect to {<server>}" when no socket can be made, or with the server
// text when the name lookup times out or the connect fails or times out.
[[nodiscard]] PlatformSocket TCPconnect(char* server, int port);

// Sends `length` bytes whole on `socket`, pausing SEND_RETRY_PAUSE_MS (at
// most what is left) between partial sends, with one LOG_DEBUG line
// "SENT(%d): (%d/%d bytes) {%s}" per send (`bytes` must be NUL-terminated). Returns `length`; 0 for a length of
// 0; -1 for PLATFORM_NO_SOCKET (nothing logged) or after a failed send,
// reported through TCPerror with "Socket Error, could not write.".
int TCPwrite(PlatformSocket socket, const char* bytes, int length);

// Between smtp_hold_writes and its smtp_release_writes (pairs may nest) the
// writes on current_connection are gathered; the outermost release sends
// them together, so that a command and its line end, or a pipelined group,
// reach the server as one segment (RFC 2920 3.1 asks clients to send a group
// in as few segments as they can).
void smtp_hold_writes();
void smtp_release_writes();

// Logs "SEND(%d): {%s\n}\n" and writes `text` and CR LF on current_connection
// in two writes (RFC 5321 2.3.8, whatever email_line_end says). A short
// write is also reported through TCPerror with "TCPwrite failed in sendr(1)"
// (the text) or "TCPwrite failed in sendr(2)" (the line end). Returns 1 when
// both went out whole, 0 otherwise.
int sendr(const char* text);

// Reads one whole reply from current_connection into *reply, starting with
// the carried bytes and keeping bytes after the reply for the next call. Logs
// every line as "RECV(%d):[%d] {%s}\n" (the connection, the offset of the
// line's line feed from the start of the reply, the line). Returns 1, or 0
// after TCPerror with "TCPdoread failed" when the connection closed, failed
// or timed out, or when REPLY_BUFFER_SIZE bytes hold no final line (also
// logged at LOG_ERROR).
[[nodiscard]] int recvr(SmtpReply* reply);

// recvr for the greeting, whose lines are logged as "RECV(%d): {%s}\n".
[[nodiscard]] int recvr_greeting(SmtpReply* reply);

// Puts `text` (a header block or a body) into its form on the wire: every
// line end (LF, CR or CR LF) becomes CR LF (RFC 5321 2.3.8); a line that
// begins with '.' gets one more in front (RFC 5321 4.5.2); then a line longer
// than SMTP_LINE_LIMIT octets is broken into its first 998 octets and
// continuation lines of one space and at most 997 further octets (RFC 5321
// 4.5.3.1.6). Writes at most `capacity` bytes into `wire`, NUL-terminated
// when `capacity` is not 0, and returns the length of the whole result (as
// snprintf does): call with capacity 0 to learn the size.
std::size_t smtp_wire_text(const char* text, char* wire, std::size_t capacity);

// ---- socket error messages (tcp_error.cpp) ----

// Writes one LOG_ERROR line "wsock: (<context>) <message>" for the code in
// socket_last_error: the Windows Sockets message of its row, or
// "Socket Unkown error code %d \n" for a code without one. Writes nothing
// when the code is 0.
void TCPerror(const char* context);
