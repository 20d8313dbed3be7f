/* smtp_client.c - the least a program can do to deliver one message: the
 * floor that quillet's delivery rows are measured against.
 *
 *   smtp_client IPV4-ADDRESS PORT SENDER RECIPIENT MESSAGE_FILE
 *   smtp_tls_client IPV4-ADDRESS PORT SENDER RECIPIENT MESSAGE_FILE HOST CA_FILE USER PASSWORD
 *
 * MESSAGE_FILE holds the header block, the empty line and the body, lines
 * ending in CR LF. The dialogue is the one quillet speaks: wait for the
 * greeting, EHLO, then MAIL FROM, RCPT TO and DATA written as one group and
 * their three replies read (RFC 2920), the dot-stuffed message (RFC 5321
 * 4.5.2) ending in "\r\n.\r\n", its reply, QUIT and its reply. Without
 * PIPELINING in the EHLO reply the three commands go one at a time.
 * TCP_NODELAY is set, so no write waits for a delayed acknowledgement.
 * Exits 0 when the server accepted the message, 1 otherwise.
 *
 * Built with SMTP_CLIENT_TLS and linked to OpenSSL (smtp_tls_client), it
 * sends STARTTLS after the first EHLO (RFC 3207), makes the handshake with
 * the server's certificate checked against the roots of CA_FILE and the name
 * HOST (TLS 1.2 or later, SNI), says EHLO again and logs in with AUTH PLAIN
 * and an initial response (RFC 4616) before the same dialogue: the floor of
 * quillet's delivery over TLS.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef SMTP_CLIENT_TLS
#include <limits.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#endif

enum {
  REPLY_BUFFER_SIZE = 8192,
  COMMAND_BUFFER_SIZE = 2048,
  REPLY_CODE_DIGITS = 3,
};

static int connection = -1;
static char replies[REPLY_BUFFER_SIZE]; /* bytes received, not yet used */
static size_t replies_length;
#ifdef SMTP_CLIENT_TLS
static SSL* session; /* once STARTTLS succeeded, every byte goes through it */
#endif

/* A reply's last line: "NNN" alone or "NNN" followed by anything but '-'. */
static int is_final_line(const char* line, size_t length) {
  return length == REPLY_CODE_DIGITS || line[REPLY_CODE_DIGITS] != '-';
}

static int fail(const char* what) {
  fprintf(stderr, "smtp_client: %s\n", what);
  return 1;
}

static ssize_t send_some(const char* data, size_t length) {
#ifdef SMTP_CLIENT_TLS
  if (session != NULL) return SSL_write(session, data, length > INT_MAX ? INT_MAX : (int)length);
#endif
  return send(connection, data, length, MSG_NOSIGNAL);
}

static ssize_t receive_some(char* data, size_t capacity) {
#ifdef SMTP_CLIENT_TLS
  if (session != NULL) return SSL_read(session, data, capacity > INT_MAX ? INT_MAX : (int)capacity);
#endif
  return recv(connection, data, capacity, 0);
}

static int send_all(const char* data, size_t length) {
  while (length > 0) {
    ssize_t sent = send_some(data, length);
    if (sent <= 0) return 0;
    data += sent;
    length -= (size_t)sent;
  }
  return 1;
}

/* Reads one whole reply (continuation lines "NNN-", then "NNN " or "NNN")
 * and returns its code, or -1 when the connection failed or closed. Bytes
 * after the reply stay in `replies` for the next one. */
static int read_reply(void) {
  for (;;) {
    /* Invariant: every line before `line` in `replies` was a continuation. */
    char* line = replies;
    char* end;
    while ((end = memchr(line, '\n', replies_length - (size_t)(line - replies))) != NULL) {
      size_t line_length = (size_t)(end - line);
      if (line_length < REPLY_CODE_DIGITS) return -1;
      if (is_final_line(line, line_length)) {
        int code = atoi(line);
        size_t used = (size_t)(end + 1 - replies);
        memmove(replies, end + 1, replies_length - used);
        replies_length -= used;
        return code;
      }
      line = end + 1;
    }
    if (replies_length == sizeof replies) return -1;
    ssize_t got = receive_some(replies + replies_length, sizeof replies - replies_length);
    if (got <= 0) return -1;
    replies_length += (size_t)got;
  }
}

/* Sends EHLO and reads its reply; 1 when it was 2xx. Whether the reply
 * announced PIPELINING is looked up in its raw lines before they are used. */
static int ehlo_and_check_pipelining(int* pipelining) {
  if (!send_all("EHLO bench\r\n", strlen("EHLO bench\r\n"))) return 0;
  /* Read until the final line of the EHLO reply is in the buffer, then look. */
  for (;;) {
    char* final_line = NULL;
    char* line = replies;
    char* end;
    while ((end = memchr(line, '\n', replies_length - (size_t)(line - replies))) != NULL) {
      if ((size_t)(end - line) < REPLY_CODE_DIGITS) return 0;
      if (is_final_line(line, (size_t)(end - line))) {
        final_line = line;
        break;
      }
      line = end + 1;
    }
    if (final_line != NULL) break;
    if (replies_length == sizeof replies) return 0;
    ssize_t got = receive_some(replies + replies_length, sizeof replies - replies_length);
    if (got <= 0) return 0;
    replies_length += (size_t)got;
  }
  *pipelining = memmem(replies, replies_length, "PIPELINING", strlen("PIPELINING")) != NULL;
  return read_reply() / 100 == 2;
}

#ifdef SMTP_CLIENT_TLS
/* STARTTLS, the handshake, EHLO again and AUTH PLAIN; 1 when all succeeded. */
static int start_tls_and_log_in(const char* host, const char* ca_file, const char* user, const char* password,
                                int* pipelining) {
  if (!send_all("STARTTLS\r\n", strlen("STARTTLS\r\n")) || read_reply() != 220 || replies_length != 0) return 0;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == NULL || SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
      SSL_CTX_load_verify_file(context, ca_file) != 1)
    return 0;
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
  SSL* tls = SSL_new(context);
  if (tls == NULL || SSL_set_fd(tls, connection) != 1 || SSL_set1_host(tls, host) != 1 ||
      SSL_set_tlsext_host_name(tls, host) != 1 || SSL_connect(tls) != 1)
    return 0;
  session = tls;
  if (!ehlo_and_check_pipelining(pipelining)) return 0;
  /* "\0user\0password" in base64 */
  char plain[COMMAND_BUFFER_SIZE];
  size_t user_length = strlen(user);
  size_t password_length = strlen(password);
  if (user_length + password_length + 2 > sizeof plain) return 0;
  plain[0] = '\0';
  memcpy(plain + 1, user, user_length);
  plain[1 + user_length] = '\0';
  memcpy(plain + 2 + user_length, password, password_length);
  unsigned char encoded[2 * COMMAND_BUFFER_SIZE];
  int encoded_length = EVP_EncodeBlock(encoded, (const unsigned char*)plain, (int)(user_length + password_length + 2));
  char command[3 * COMMAND_BUFFER_SIZE];
  int written = snprintf(command, sizeof command, "AUTH PLAIN %.*s\r\n", encoded_length, (const char*)encoded);
  if (written < 0 || (size_t)written >= sizeof command) return 0;
  return send_all(command, (size_t)written) && read_reply() == 235;
}
#endif

/* The message dot-stuffed and ended with "\r\n.\r\n", in one new buffer. */
static char* prepare_message(const char* path, size_t* wire_length) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  struct stat info;
  if (fstat(fileno(file), &info) != 0) {
    fclose(file);
    return NULL;
  }
  size_t length = (size_t)info.st_size;
  char* text = malloc(length + 1);
  if (text == NULL || fread(text, 1, length, file) != length) {
    free(text);
    fclose(file);
    return NULL;
  }
  fclose(file);
  /* At worst every line is a "." line and gains one; plus CR LF . CR LF. */
  char* wire = malloc(2 * length + 8);
  if (wire == NULL) {
    free(text);
    return NULL;
  }
  size_t out = 0;
  int at_line_start = 1;
  for (size_t in = 0; in < length; in++) {
    if (at_line_start && text[in] == '.') wire[out++] = '.';
    wire[out++] = text[in];
    at_line_start = text[in] == '\n';
  }
  if (!at_line_start) {
    wire[out++] = '\r';
    wire[out++] = '\n';
  }
  memcpy(wire + out, ".\r\n", 3);
  out += 3;
  free(text);
  *wire_length = out;
  return wire;
}

/* The dialogue, from connecting to QUIT; 0 when the message was accepted. */
static int deliver(char** arguments, const char* message, size_t message_length) {
  const char* address = arguments[1];
  const char* port = arguments[2];
  const char* sender = arguments[3];
  const char* recipient = arguments[4];
  struct sockaddr_in server;
  memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons((unsigned short)atoi(port));
  if (inet_pton(AF_INET, address, &server.sin_addr) != 1) return fail("not an IPv4 address");
  connection = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  if (connection < 0 || setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      connect(connection, (struct sockaddr*)&server, sizeof server) != 0)
    return fail("cannot connect");

  if (read_reply() / 100 != 2) return fail("greeting refused");
  int pipelining = 0;
  if (!ehlo_and_check_pipelining(&pipelining)) return fail("EHLO refused");
#ifdef SMTP_CLIENT_TLS
  if (!start_tls_and_log_in(arguments[6], arguments[7], arguments[8], arguments[9], &pipelining))
    return fail("STARTTLS, the handshake or AUTH failed");
#endif

  char envelope[COMMAND_BUFFER_SIZE];
  int written = snprintf(envelope, sizeof envelope, "MAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n",
                         sender, recipient);
  if (written < 0 || (size_t)written >= sizeof envelope) return fail("addresses too long");
  if (pipelining) {
    if (!send_all(envelope, (size_t)written)) return fail("cannot send");
    if (read_reply() / 100 != 2) return fail("MAIL FROM refused");
    if (read_reply() / 100 != 2) return fail("RCPT TO refused");
    if (read_reply() != 354) return fail("DATA refused");
  } else {
    /* The same three lines, each sent once the previous one was answered. */
    const char* command = envelope;
    static const int expected_class[] = {2, 2, 3};
    for (int step = 0; step < 3; step++) {
      const char* end = strchr(command, '\n') + 1;
      if (!send_all(command, (size_t)(end - command))) return fail("cannot send");
      if (read_reply() / 100 != expected_class[step]) return fail("command refused");
      command = end;
    }
  }
  if (!send_all(message, message_length)) return fail("cannot send the message");
  if (read_reply() / 100 != 2) return fail("message refused");
  if (send_all("QUIT\r\n", strlen("QUIT\r\n"))) (void)read_reply();
  return 0;
}

int main(int argc, char** argv) {
#ifdef SMTP_CLIENT_TLS
  if (argc != 10)
    return fail("usage: smtp_tls_client IPV4-ADDRESS PORT SENDER RECIPIENT MESSAGE_FILE HOST CA_FILE USER PASSWORD");
#else
  if (argc != 6) return fail("usage: smtp_client IPV4-ADDRESS PORT SENDER RECIPIENT MESSAGE_FILE");
#endif
  size_t message_length = 0;
  char* message = prepare_message(argv[5], &message_length);
  if (message == NULL) return fail("cannot read the message file");
  int result = deliver(argv, message, message_length);
  if (connection >= 0) close(connection);
  free(message);
  return result;
}
