// smtp_internal.h - the inside of mail transfer: the dialogue's steps, the
// socket transport under them, the reply reader, the wire form of the
// message, the socket error messages and the subsystem's process-wide state.
// Only smtp/, its tests and the fuzz targets include this header; everyone
// else calls smtp_send_mail (smtp.h).
//
// Layers, top to bottom: the dialogue (dialogue.cpp) speaks in commands and
// replies (sendr, recvr, TCPwrite); the transport (transport.cpp) turns them
// into bytes and moves every byte through transport_send and
// transport_receive, the only two functions that hand bytes to the platform
// layer's sockets, or to its TLS session once smtp_start_tls made one. The
// dialogue asks for TLS (STARTTLS, or implicit TLS before the greeting) and
// learns whether the connection is secure; the session itself, the
// certificate checks and the library are the transport's and the platform
// layer's business.
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "smtp/smtp.h"

// ---- limits ----

constexpr int SMTP_DEFAULT_PORT = 25;            // when the server text has no ":port"
constexpr unsigned char LOOPBACK_FIRST_BYTE = 127;  // 127.0.0.0/8
constexpr int SMTP_COMMAND_BUFFER_SIZE = 10000;  // a MAIL FROM or RCPT TO line: at most 9998 characters
constexpr int REPLY_BUFFER_SIZE = 1000;          // most bytes of one reply, all its lines together
constexpr int SEND_RETRY_PAUSE_MS = 100;         // pause between two partial sends
constexpr int SMTP_LINE_LIMIT = 998;             // octets of a line on the wire, CR LF not counted
constexpr int CONNECT_CONTEXT_SIZE = 200;        // "*** Error *** Can't connect to {%s}": 199 characters
constexpr int SMTP_MILLISECONDS_PER_SECOND = 1000;
// What one wait of the transport may take while no deadline is set (only
// tests use the transport outside smtp_send_mail, which always sets one).
constexpr int SMTP_WAIT_WITHOUT_DEADLINE_MS = 30000;

// The end of every line on the wire, whatever the composed texts use (RFC
// 5321 2.3.8).
constexpr char WIRE_LINE_END[] = "\r\n";
constexpr int WIRE_LINE_END_LENGTH = 2;

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

// The service extensions that the server's EHLO reply announced and the
// dialogue uses (RFC 5321 4.1.1.1); all false after HELO. Each field has its
// row, with the keyword the reply names it by, in the table of
// smtp_read_extensions (dialogue.cpp).
struct SmtpExtensions {
  bool pipelining;      // PIPELINING (RFC 2920): the envelope goes out as one group
  bool eight_bit_mime;  // 8BITMIME (RFC 6152): the message's 8bit form may be sent
  bool starttls;        // STARTTLS (RFC 3207)
  bool auth_plain;      // AUTH with PLAIN among its mechanisms (RFC 4954, RFC 4616)
  bool auth_login;      // AUTH with LOGIN among its mechanisms
};

// What the steps of one dialogue share. The caller of the steps owns it;
// smtp_dialogue keeps it on its stack.
struct SmtpSession {
  const SmtpMessage* message;
  const SmtpOptions* options;
  const char* host;  // the server's name or address as connected to, lower case (certificate checks)
  SmtpExtensions extensions;
  // Set by smtp_envelope: the message goes in its 8bit form (the server
  // announced 8BITMIME and the message has one); smtp_data sends that form.
  bool eight_bit;
  SmtpReply reply;                         // the latest reply
  char command[SMTP_COMMAND_BUFFER_SIZE];  // the latest MAIL FROM or RCPT TO line
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
// Over TLS, the bytes written while writes are held, not yet handed to the
// session: at most one TLS record's worth (RFC 8446 5.1).
constexpr int HELD_WRITES_SIZE = 16384;
extern char held_writes[HELD_WRITES_SIZE];
extern int held_writes_length;
// When (platform_monotonic_ms) the conversation with the server must be
// over: set by smtp_set_deadline, read before every wait of the transport.
// 0 while none is set; each wait then takes SMTP_WAIT_WITHOUT_DEADLINE_MS.
extern long long delivery_deadline_ms;
// The TLS session on current_connection once smtp_start_tls made one, else
// null; every byte then goes through it.
extern PlatformTls* current_tls;
// Whether current_connection leads to 127.0.0.0/8 (set by TCPconnect): the
// only place a login may go in clear text.
extern bool connected_to_loopback;

// ---- the dialogue (dialogue.cpp) ----

// The dialogue of smtp_send_mail on the connection already in
// current_connection, from reading the greeting to QUIT: smtp_hello, then
// smtp_secure, smtp_login, smtp_envelope and smtp_data, each going on only
// when the one before returned 1. Same result and log lines as smtp_send_mail. After a refusal
// QUIT is sent and its reply read within what is left of the deadline; after
// a time-out or a broken connection nothing more is written.
// `host` is the server's name or address (lower case), for the certificate
// checks of TLS.
[[nodiscard]] int smtp_dialogue(const SmtpMessage* message, const SmtpOptions* options, const char* host);

// Reads the server's greeting before anything is written, then greets:
// "HELO QUILLET" with options->use_helo; otherwise "EHLO QUILLET", fills
// session->extensions from a 2xx reply, and after any other reply falls back
// to "HELO QUILLET" (RFC 5321 4.1.1.1; the refusal of EHLO is logged at
// LOG_DEBUG only). With `smtp_tls starttls` or a login to come, EHLO goes out
// whatever use_helo says, and its refusal ends the dialogue. Returns 1 when the server accepted a greeting command; 0
// when the dialogue is over (after QUIT for a refused greeting or HELO).
[[nodiscard]] int smtp_hello(SmtpSession* session);

// With options->tls "starttls" (called after smtp_hello): STARTTLS, the
// handshake, and EHLO again, whose reply alone gives session->extensions (RFC
// 3207 4.2). Bytes the server sent after its 220 are dropped unread (RFC 3207
// 5). Without it, returns 1 at once. The causes of failure, each one
// LOG_ERROR line: "SMTP server does not offer STARTTLS; message not sent"
// (QUIT follows), "SMTP server refused STARTTLS: <reply>" (QUIT follows),
// the handshake's line of smtp_start_tls (nothing more is written), and
// a refused EHLO after it ("SMTP server refused EHLO QUILLET: <reply>").
[[nodiscard]] int smtp_secure(SmtpSession* session);

// With options->user set (called after smtp_secure): AUTH PLAIN with its
// initial response, or AUTH LOGIN when the EHLO reply offers only that,
// before MAIL FROM; without it, returns 1 at once. The SEND and SENT lines of
// the credentials show "<hidden>" in their place, and the RECV lines of the
// LOGIN exchange's challenges "<hidden>" after the code. The causes of
// failure, each one LOG_ERROR line followed by QUIT: "SMTP AUTH not
// attempted: the connection to <host> is not encrypted; set smtp_tls" (a
// clear connection to a server not on loopback), "SMTP server offers neither
// AUTH PLAIN nor AUTH LOGIN; message not sent", "SMTP server refused AUTH
// PLAIN: <reply>" (or LOGIN).
[[nodiscard]] int smtp_login(SmtpSession* session);

// The envelope: MAIL FROM, a RCPT TO for each recipient, DATA. MAIL FROM
// carries " BODY=8BITMIME" when the message has an 8bit form and the EHLO
// reply announced 8BITMIME (session->eight_bit). When the EHLO
// reply announced PIPELINING (RFC 2920) they go out as one group and their
// replies are read afterwards; otherwise each waits for its reply, a refused
// sender or the refusal of every recipient ends the dialogue with QUIT, and
// DATA is then not sent. Returns 1 when DATA was answered with 354 and the
// sender and at least one recipient were accepted. Pipelined, a DATA that
// was taken without them is ended at once with "." (none of the message is
// sent) and QUIT follows.
[[nodiscard]] int smtp_envelope(SmtpSession* session);

// The message data: the header block, an empty line, the body and the end
// of the data (the 8bit form with session->eight_bit), in their wire form, as few segments as the connection allows.
// Returns 1 when the server answered the end of the data with 2xx; QUIT then
// gets SMTP_QUIT_WINDOW_MS of its own and the result stays 1 whatever it
// gets. A refusal is followed by QUIT within what is left of the deadline.
[[nodiscard]] int smtp_data(SmtpSession* session);

// True when a line after the first of `reply` (an EHLO reply) names the
// service extension `keyword`, compared ignoring ASCII case.
bool smtp_reply_announces(const SmtpReply* reply, const char* keyword);

// True when a line after the first of `reply` (an EHLO reply) is the AUTH
// keyword ("AUTH" and a blank, or the old "AUTH=") followed by a list of
// mechanisms, separated by blanks, that holds `mechanism` (ASCII case
// ignored).
bool smtp_reply_offers_auth(const SmtpReply* reply, const char* mechanism);

// Sets each field of *extensions from the EHLO reply `reply`.
void smtp_read_extensions(const SmtpReply* reply, SmtpExtensions* extensions);

// ---- the socket transport (transport.cpp) ----
//
// Every wait (name lookup, connect, each send, the pause between partial
// sends, each reply) takes only what is left until delivery_deadline_ms.
// Nothing new is started once the deadline has passed; a reply reader still
// takes what has already arrived. A time-out is reported through TCPerror
// with the code 10060.

// The connection's handle as the log lines show it.
int connection_number(PlatformSocket socket);

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

// The two ends of every byte on the connection: one send of up to `length`
// bytes, and one receive of up to `capacity` bytes, each waiting at most
// `timeout_ms`, with the results of platform_socket_send and
// platform_socket_receive. Nothing else hands bytes to the socket, so a
// layer under the transport (TLS) goes into these two (and into the release
// of held writes, which hands the gathered bytes to the TLS session) and
// nothing above them knows of it.
[[nodiscard]] int transport_send(PlatformSocket socket, const char* bytes, int length, int timeout_ms);
[[nodiscard]] int transport_receive(PlatformSocket socket, char* bytes, int capacity, int timeout_ms);

// Sends `length` bytes whole on `socket`, pausing SEND_RETRY_PAUSE_MS (at
// most what is left) between partial sends, with one LOG_DEBUG line
// "SENT(%d): (%d/%d bytes) {%s}" per send (`bytes` must be NUL-terminated).
// Returns `length`; 0 for a length of 0; -1 for PLATFORM_NO_SOCKET (nothing
// logged) or after a failed send, reported through TCPerror with "Socket
// Error, could not write.".
[[nodiscard]] int TCPwrite(PlatformSocket socket, const char* bytes, int length);

// Between smtp_hold_writes and its smtp_release_writes (pairs may nest) the
// writes on current_connection are gathered; the outermost release sends
// them together, so that a command and its line end, or a pipelined group,
// reach the server as one segment (RFC 2920 3.1 asks clients to send a group
// in as few segments as they can). Over TLS they also go out as one record
// (up to HELD_WRITES_SIZE bytes; more go out a full record at a time): a
// server that reads a record at a time would otherwise answer the group's
// first command alone, and then hold its next answer until this side's
// delayed acknowledgement of the first (about 40 ms). The release returns 1,
// or 0 when the gathered bytes could not be sent (reported as TCPwrite
// reports a failed send).
void smtp_hold_writes();
[[nodiscard]] int smtp_release_writes();

// Starts TLS on current_connection for `host`, trusting only the roots in
// `ca_file` when it is not null, within what is left of the deadline: after
// a STARTTLS reply, bytes that came with or after it are first dropped
// unread, with a LOG_DEBUG line (RFC 3207 5: a server's reply must not carry
// a command injected in clear text into the secure session). Returns 1 with
// current_tls set, or 0 after the LOG_ERROR line "TLS with the SMTP server
// <host> failed: <reason>" (the library's reason, such as an unknown CA, an
// expired certificate or a name mismatch, or the socket's error: a time-out
// is "timed out").
[[nodiscard]] int smtp_start_tls(const char* host, const char* ca_file);

// Logs "SEND(%d): {%s\n}\n" and writes `text` and WIRE_LINE_END on
// current_connection in two writes. A short write is also reported through
// TCPerror with "TCPwrite failed in sendr(1)" (the text) or "TCPwrite failed
// in sendr(2)" (the line end). Returns 1 when both went out whole, 0
// otherwise.
[[nodiscard]] int sendr(const char* text);

// sendr for a line that carries a secret: every log line shows `shown`
// instead of `text`.
[[nodiscard]] int sendr_hidden(const char* text, const char* shown);

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

// recvr for a challenge of an AUTH exchange: each line is logged as its
// first four characters followed by "<hidden>".
[[nodiscard]] int recvr_hidden(SmtpReply* reply);

// ---- the wire form of the message (transport.cpp) ----

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
