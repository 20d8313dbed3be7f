// platform_resolve.cpp - host name resolution, the same on both platforms:
// getaddrinfo is POSIX and part of Windows Sockets 2 alike.
#include "platform/platform.h"

#include <cstring>
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

int platform_resolve_ipv4(const char* host, unsigned char address[4]) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  int resolved = 0;
  for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(struct sockaddr_in)) continue;
    struct sockaddr_in ipv4;
    std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
    std::memcpy(address, &ipv4.sin_addr, 4);
    resolved = 1;
    break;
  }
  freeaddrinfo(found);
  return resolved;
}
