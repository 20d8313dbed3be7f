// platform_tls_openssl.cpp - the TLS client layer over OpenSSL 3.
//
// libssl.so.3 is not linked: it is loaded with dlopen the first time a
// session starts. Linked, the dynamic loader maps and relocates libssl and
// libcrypto at every start of the program, which multiplied the
// instructions of a run that stops at validation by ten (about 0.35 million
// to 3.5 million) and took its time from 1.4 to 2.4 times that of an empty C
// program; every form post would pay that, although only deliveries over
// TLS need the library. The functions are taken by name from the library
// and typed from OpenSSL's own headers, so the compiler checks every call.
//
// OpenSSL never touches the socket: it reads and writes a memory BIO pair,
// and this file moves the encrypted bytes between the pair and the socket
// with platform_socket_send and platform_socket_receive, so that every wait
// has its time limit and every socket failure its Windows Sockets code, as
// on the plain connection.
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

char tls_last_reason[PLATFORM_TLS_REASON_SIZE] = "";

static const char LIBRARY_NAME[] = "libssl.so.3";
static const unsigned long LOWEST_VERSION = 0x30000000UL;  // OpenSSL 3.0.0

// ---- the library ----

// Every OpenSSL function this file calls, by the name it has in the library.
#define QUILLET_OPENSSL_FUNCTIONS(F)                                                                        \
  F(OpenSSL_version_num)                                                                                    \
  F(TLS_client_method)                                                                                      \
  F(SSL_CTX_new) F(SSL_CTX_free) F(SSL_CTX_ctrl) F(SSL_CTX_set_verify) F(SSL_CTX_set_default_verify_paths)  \
  F(SSL_CTX_load_verify_file)                                                                               \
  F(SSL_new) F(SSL_free) F(SSL_ctrl) F(SSL_set_bio) F(SSL_set_connect_state) F(SSL_set1_host)               \
  F(SSL_set_hostflags) F(SSL_get0_param) F(SSL_do_handshake) F(SSL_read) F(SSL_write) F(SSL_get_error)      \
  F(SSL_get_verify_result) F(SSL_shutdown)                                                                  \
  F(X509_VERIFY_PARAM_set1_ip_asc) F(X509_verify_cert_error_string)                                         \
  F(BIO_new_bio_pair) F(BIO_free) F(BIO_read) F(BIO_write) F(BIO_ctrl_pending)                              \
  F(BIO_ctrl_get_write_guarantee)                                                                           \
  F(ERR_get_error) F(ERR_peek_error) F(ERR_clear_error) F(ERR_reason_error_string) F(ERR_error_string_n)

struct OpenSslFunctions {
#define QUILLET_OPENSSL_POINTER(name) decltype(&::name) name;
  QUILLET_OPENSSL_FUNCTIONS(QUILLET_OPENSSL_POINTER)
#undef QUILLET_OPENSSL_POINTER
};

// The loaded library: loaded at most once, kept for the life of the process.
static OpenSslFunctions openssl;
static bool openssl_loaded = false;

static void set_reason(const char* text) { (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s", text); }

// Loads libssl.so.3 and finds every function. Returns 1, or 0 with the
// reason recorded.
static int load_openssl() {
  if (openssl_loaded) return 1;
  void* library = dlopen(LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot load %s: %s", LIBRARY_NAME,
                        why != nullptr ? why : "unknown error");
    return 0;
  }
  OpenSslFunctions found;
  // dlsym on libssl's handle also finds libcrypto's functions: libcrypto is
  // among the libraries it needs.
#define QUILLET_OPENSSL_FIND(name)                                                                     \
  {                                                                                                    \
    void* address = dlsym(library, #name);                                                             \
    if (address == nullptr) {                                                                          \
      (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s has no function %s", LIBRARY_NAME, \
                          #name);                                                                      \
      return 0;                                                                                        \
    }                                                                                                  \
    found.name = reinterpret_cast<decltype(found.name)>(address);                                      \
  }
  QUILLET_OPENSSL_FUNCTIONS(QUILLET_OPENSSL_FIND)
#undef QUILLET_OPENSSL_FIND
  if (found.OpenSSL_version_num() < LOWEST_VERSION) {
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s is older than OpenSSL 3.0 (0x%lx)",
                        LIBRARY_NAME, found.OpenSSL_version_num());
    return 0;
  }
  // The handle is never closed: the functions stay in use until the end.
  openssl = found;
  openssl_loaded = true;
  return 1;
}

// ---- a session ----

struct PlatformTls {
  PlatformSocket socket;
  SSL_CTX* context;
  SSL* ssl;
  BIO* network;  // our end of the pair: the encrypted bytes in and out
  char chunk[PLATFORM_TLS_BUFFER_SIZE];  // encrypted bytes on their way
};

// Records why TLS failed: the library's earliest queued error, else `fallback`.
static void record_tls_failure(const char* fallback) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  unsigned long error = openssl.ERR_get_error();
  if (error == 0) {
    set_reason(fallback);
    return;
  }
  const char* reason = openssl.ERR_reason_error_string(error);
  if (reason != nullptr) {
    set_reason(reason);
  } else {
    openssl.ERR_error_string_n(error, tls_last_reason, sizeof tls_last_reason);
  }
  openssl.ERR_clear_error();
}

// Sends every encrypted byte waiting in the pair. Returns 1, or 0 with the
// socket's failure recorded.
static int flush_output(PlatformTls* tls, long long deadline) {
  char* chunk = tls->chunk;
  for (;;) {
    std::size_t pending = openssl.BIO_ctrl_pending(tls->network);
    if (pending == 0) return 1;
    int want = pending < sizeof tls->chunk ? static_cast<int>(pending) : static_cast<int>(sizeof tls->chunk);
    int got = openssl.BIO_read(tls->network, chunk, want);
    if (got <= 0) return 1;
    for (int sent = 0; sent < got;) {
      int taken = platform_socket_send(tls->socket, chunk + sent, got - sent, platform_time_left_ms(deadline));
      if (taken <= 0) return 0;
      sent += taken;
    }
  }
}

// Moves what the server sent next into the pair, waiting for it. Returns
// the number of bytes, 0 when the server closed the connection, -1 with the
// socket's failure recorded.
static int fill_input(PlatformTls* tls, long long deadline) {
  std::size_t room = openssl.BIO_ctrl_get_write_guarantee(tls->network);
  int want = room < sizeof tls->chunk ? static_cast<int>(room) : static_cast<int>(sizeof tls->chunk);
  int got = want > 0 ? platform_socket_receive(tls->socket, tls->chunk, want, platform_time_left_ms(deadline)) : -1;
  if (got == 0) return 0;
  if (got > 0 && openssl.BIO_write(tls->network, tls->chunk, got) == got) return got;
  if (want <= 0 || got > 0) {
    // The pair refused the bytes, or OpenSSL asked for more while its input
    // was full (it never does: it drains its input before asking).
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    set_reason("cannot buffer the received bytes");
  }
  return -1;
}

// Runs one OpenSSL call until it completes, moving bytes as it asks.
// `call` returns what SSL_do_handshake, SSL_read or SSL_write return.
// Returns that result when positive; 0 when the server ended the session or
// closed the connection; -1 with the failure recorded.
template <typename Call>
static int drive(PlatformTls* tls, long long deadline, const char* closed_reason, Call call) {
  for (;;) {
    openssl.ERR_clear_error();
    int result = call();
    int error = result > 0 ? SSL_ERROR_NONE : openssl.SSL_get_error(tls->ssl, result);
    // Whatever OpenSSL wrote goes out first, an alert it sends about a
    // failure included.
    if (!flush_output(tls, deadline)) return -1;
    if (error == SSL_ERROR_NONE) return result;
    if (error == SSL_ERROR_WANT_WRITE) continue;  // the pair had no room: now it has
    if (error == SSL_ERROR_ZERO_RETURN) return 0;  // close_notify
    if (error != SSL_ERROR_WANT_READ) {
      record_tls_failure(closed_reason);
      return -1;
    }
    int got = fill_input(tls, deadline);
    if (got < 0) return -1;
    if (got == 0) {
      if (closed_reason == nullptr) return 0;
      socket_last_error = SOCKET_ERROR_TLS_FAILED;
      set_reason(closed_reason);
      return -1;
    }
  }
}

static void free_session(PlatformTls* tls) {
  if (tls->ssl != nullptr) openssl.SSL_free(tls->ssl);  // frees its end of the pair
  if (tls->network != nullptr) openssl.BIO_free(tls->network);
  if (tls->context != nullptr) openssl.SSL_CTX_free(tls->context);
  std::free(tls);
}

// Sets up the context: TLS 1.2 or later, the peer's certificate verified
// against the system's roots or only those of `ca_file`. Returns 1, or 0
// with the reason recorded.
static int configure_context(PlatformTls* tls, const char* ca_file) {
  tls->context = openssl.SSL_CTX_new(openssl.TLS_client_method());
  if (tls->context == nullptr) {
    record_tls_failure("cannot make a TLS context");
    return 0;
  }
  if (openssl.SSL_CTX_ctrl(tls->context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) != 1) {
    record_tls_failure("cannot require TLS 1.2");
    return 0;
  }
  // Whole writes of any length; a retried write may come from another buffer.
  (void)openssl.SSL_CTX_ctrl(tls->context, SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
  openssl.SSL_CTX_set_verify(tls->context, SSL_VERIFY_PEER, nullptr);
  if (ca_file == nullptr) {
    if (openssl.SSL_CTX_set_default_verify_paths(tls->context) != 1) {
      record_tls_failure("cannot use the system's certificate store");
      return 0;
    }
    return 1;
  }
  // Told apart here, as the library only says "system lib".
  std::FILE* file = std::fopen(ca_file, "rb");
  if (file == nullptr) {
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot read the CA file %s: %s", ca_file,
                        std::strerror(errno));
    return 0;
  }
  (void)std::fclose(file);
  if (openssl.SSL_CTX_load_verify_file(tls->context, ca_file) != 1) {
    unsigned long error = openssl.ERR_peek_error();
    const char* reason = error != 0 ? openssl.ERR_reason_error_string(error) : nullptr;
    openssl.ERR_clear_error();
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "cannot use the CA file %s: %s", ca_file,
                        reason != nullptr ? reason : "no certificate in it");
    return 0;
  }
  return 1;
}

// The session on the socket: the pair, SNI and the name the certificate
// must carry. Returns 1, or 0 with the reason recorded.
static int configure_session(PlatformTls* tls, const char* host) {
  tls->ssl = openssl.SSL_new(tls->context);
  BIO* inside = nullptr;
  if (tls->ssl == nullptr || openssl.BIO_new_bio_pair(&inside, PLATFORM_TLS_BUFFER_SIZE, &tls->network,
                                                      PLATFORM_TLS_BUFFER_SIZE) != 1) {
    record_tls_failure("cannot make a TLS session");
    return 0;
  }
  openssl.SSL_set_bio(tls->ssl, inside, inside);
  openssl.SSL_set_connect_state(tls->ssl);
  unsigned char address[4];
  if (platform_tls_ipv4_literal(host, address)) {
    // No SNI for an address (RFC 6066 3); the certificate needs an IP entry.
    if (openssl.X509_VERIFY_PARAM_set1_ip_asc(openssl.SSL_get0_param(tls->ssl), host) != 1) {
      record_tls_failure("cannot check the server's address");
      return 0;
    }
    return 1;
  }
  openssl.SSL_set_hostflags(tls->ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (openssl.SSL_set1_host(tls->ssl, host) != 1 ||
      openssl.SSL_ctrl(tls->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                       const_cast<char*>(host)) != 1) {
    record_tls_failure("cannot check the server's name");
    return 0;
  }
  return 1;
}

PlatformTls* platform_tls_start(PlatformSocket socket, const char* host, const char* ca_file, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  if (!load_openssl()) {
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    return nullptr;
  }
  PlatformTls* tls = static_cast<PlatformTls*>(std::calloc(1, sizeof(PlatformTls)));
  if (tls == nullptr) {
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    set_reason("out of memory");
    return nullptr;
  }
  tls->socket = socket;
  if (!configure_context(tls, ca_file) || !configure_session(tls, host)) {
    free_session(tls);
    return nullptr;
  }
  SSL* ssl = tls->ssl;
  int done = drive(tls, deadline, "the server closed the connection during the handshake",
                   [ssl]() { return openssl.SSL_do_handshake(ssl); });
  if (done <= 0) {
    // A refused certificate is told in the verifier's words, which say
    // which check failed ("certificate has expired", "hostname mismatch").
    long verified = openssl.SSL_get_verify_result(ssl);
    if (socket_last_error == SOCKET_ERROR_TLS_FAILED && verified != X509_V_OK)
      (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "certificate verify failed: %s",
                          openssl.X509_verify_cert_error_string(verified));
    if (done == 0) {
      socket_last_error = SOCKET_ERROR_TLS_FAILED;
      set_reason("the server ended the session during the handshake");
    }
    free_session(tls);
    return nullptr;
  }
  return tls;
}

int platform_tls_send(PlatformTls* tls, const char* bytes, int length, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  SSL* ssl = tls->ssl;
  int sent = drive(tls, deadline, "the server closed the connection",
                   [ssl, bytes, length]() { return openssl.SSL_write(ssl, bytes, length); });
  if (sent == 0) {
    socket_last_error = SOCKET_ERROR_TLS_FAILED;
    set_reason("the server ended the session");
    return -1;
  }
  return sent < 0 ? -1 : sent;
}

int platform_tls_receive(PlatformTls* tls, char* bytes, int capacity, int timeout_ms) {
  socket_last_error = 0;
  tls_last_reason[0] = '\0';
  long long deadline = platform_deadline_after(timeout_ms);
  SSL* ssl = tls->ssl;
  return drive(tls, deadline, nullptr, [ssl, bytes, capacity]() { return openssl.SSL_read(ssl, bytes, capacity); });
}

void platform_tls_close(PlatformTls* tls) {
  if (tls == nullptr) return;
  // close_notify (RFC 8446 6.1), if the socket takes it now; the server's
  // answer is not awaited.
  openssl.ERR_clear_error();
  (void)openssl.SSL_shutdown(tls->ssl);
  int saved = socket_last_error;
  (void)flush_output(tls, platform_monotonic_ms());
  socket_last_error = saved;
  openssl.ERR_clear_error();
  free_session(tls);
}
