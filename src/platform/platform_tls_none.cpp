// platform_tls_none.cpp - the TLS functions of a build made without
// OpenSSL's headers: every session fails with a reason that says so, and
// the rest of the program works as it does without the TLS lines.
#include "platform/platform.h"

#include <cstdio>

char tls_last_reason[PLATFORM_TLS_REASON_SIZE] = "";

PlatformTls* platform_tls_start(PlatformSocket, const char*, const char*, int) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  (void)std::snprintf(tls_last_reason, sizeof tls_last_reason, "%s",
                      "this quillet was built without OpenSSL's headers (libssl-dev), so it has no TLS");
  return nullptr;
}

int platform_tls_send(PlatformTls*, const char*, int, int) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  return -1;
}

int platform_tls_receive(PlatformTls*, char*, int, int) {
  socket_last_error = SOCKET_ERROR_TLS_FAILED;
  return -1;
}

void platform_tls_close(PlatformTls*) {}
