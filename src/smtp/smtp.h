// smtp.h - mail transfer: delivers the one composed message of a run to the
// mail server over SMTP (RFC 5321).
//
// One message per run goes to one server over one TCP connection. Every
// reply is read whole and checked; the dialogue stops at the first refusal
// that makes delivery impossible. Nothing here throws or ends the process:
// failures are results and LOG_ERROR lines; traffic is logged at LOG_DEBUG
// as "SEND", "SENT" and "RECV" lines, socket failures as "wsock: (<context>)
// <message>" lines.
//
// This is what other subsystems call. The dialogue's steps, the transport,
// the reply reader, the wire form, the socket error messages and the
// subsystem's process-wide state are in smtp_internal.h, which only smtp/,
// its tests and the fuzz targets include.
#pragma once

// ---- limits ----

constexpr int SMTP_MAX_RECIPIENTS = 3;  // To, BCC, CC
// After the server accepted the message: how long QUIT and its reply may take,
// whatever was left of the delivery's deadline.
constexpr int SMTP_QUIT_WINDOW_MS = 1000;
constexpr int SMTP_IMPLICIT_TLS_PORT = 465;   // submissions (RFC 8314 7.3)
constexpr int SMTP_CREDENTIAL_MAX = 1000;     // octets of the user name, and of the password

// ---- records ----

// The message to deliver. The caller owns every text; each must stay valid
// for the call. Line ends in the header block and the body may be LF, CR or
// CR LF: the wire gets CR LF (RFC 5321 2.3.8).
struct SmtpMessage {
  const char* sender;                           // MAIL FROM:<sender>; null is sent as "(null)"
  const char* recipients[SMTP_MAX_RECIPIENTS];  // RCPT TO:<...> in this order; equal ones are not merged
  int recipient_count;                          // 1 to SMTP_MAX_RECIPIENTS
  const char* header_block;                     // null is sent as empty
  const char* body;                             // null is sent as empty
  // The message's 8bit form, for a server whose EHLO reply announces
  // 8BITMIME (RFC 6152): sent instead of header_block and body, with
  // " BODY=8BITMIME" after MAIL FROM. Null: every server gets the form above.
  const char* header_block_8bit;
  const char* body_8bit;
};

// How to deliver it. Each field's zero is a valid choice, so a caller sets
// only what it needs. The texts are the ini file's values as they stand; the
// caller owns them.
struct SmtpOptions {
  bool use_helo;  // "HELO QUILLET" and one command at a time, instead of EHLO first
  // The limit of the whole delivery, from the name lookup to the reply that
  // ends it, in seconds (the ini file's smtp_timeout); below 1 counts as 1.
  int timeout_seconds;
  // Transport security: null for none (plain SMTP as always), "starttls"
  // (RFC 3207, after the first EHLO) or "implicit" (RFC 8314, from the first
  // byte; the port then defaults to SMTP_IMPLICIT_TLS_PORT). Any other text
  // is a failure before anything is tried.
  const char* tls;
  const char* tls_ca_file;  // PEM file of the only trusted roots; null: the system's
  // The login (RFC 4954): both or neither. AUTH PLAIN (RFC 4616), or AUTH
  // LOGIN when the server offers only that, before MAIL FROM; only over TLS
  // or to a server on loopback (127.0.0.0/8).
  const char* user;
  const char* password;
};

// ---- delivery ----

// Delivers `message` to `server` ("host" or "host:port"; shortened at its
// first ':' and lower-cased in place). The whole conversation, from the name
// lookup and the connect to the reply that ends it, keeps to one deadline of
// options->timeout_seconds; only QUIT after an accepted message gets
// SMTP_QUIT_WINDOW_MS of its own, so a run never lasts longer than the
// timeout and that window. Returns 1 only when the server answered the end
// of the message data with a 2xx reply; the result then stays 1 whatever
// happens after it. Returns 0 otherwise: a null server (no `smtp` setting;
// nothing is tried, the LOG_ERROR line "SMTP email server ((null)) did not
// respond.\n"), a server that cannot be reached ("SMTP email server (%s) did
// not respond.\n"), a refusal that ends the dialogue (the greeting, HELO
// after EHLO, MAIL FROM, every RCPT TO, DATA or the message), a time-out, a
// connection that failed, and with options->tls or a login a setting that
// cannot be used, a failed upgrade to TLS or a failed login (each one
// LOG_ERROR line naming the cause; see smtp_internal.h). Each refusal is one LOG_ERROR line "SMTP server
// refused <command>: <reply>"; a refused recipient among accepted ones is
// logged the same way and skipped.
[[nodiscard]] int smtp_send_mail(char* server, const SmtpMessage* message, const SmtpOptions* options);

// Back to the state of process start (tests only): closes an open
// connection, forgets carried bytes, the deadline and the last socket error.
void smtp_reset();
