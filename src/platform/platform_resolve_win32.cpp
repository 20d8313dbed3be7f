// platform_resolve_win32.cpp - host name resolution on Windows, bounded in
// time by running getaddrinfo on a thread of its own.
//
// GetAddrInfoExA takes no time limit (only the wide-character GetAddrInfoExW
// with an overlapped request honours one, from Windows 8 on), so the lookup
// runs on a worker thread that the caller waits for with a time limit. A
// lookup still running at the limit is left to finish on its own; the
// process's end stops it.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
// The Windows Sockets headers come before windows.h, which would otherwise
// pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// What the caller and the worker share. Each holds one reference; the one
// that lets go last frees the block, so a worker left behind at the time
// limit never writes into freed memory.
struct Lookup {
  LONG references;
  int resolved;               // written by the worker before it lets go
  unsigned char address[4];   // likewise
  char name[1];               // the host name; the block is allocated to hold all of it
};

static void release(Lookup* lookup) {
  if (InterlockedDecrement(&lookup->references) == 0) std::free(lookup);
}

static DWORD WINAPI look_up(void* parameter) {
  Lookup* lookup = static_cast<Lookup*>(parameter);
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(lookup->name, nullptr, &hints, &found) == 0) {
    for (struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(struct sockaddr_in)) continue;
      struct sockaddr_in ipv4;
      std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
      std::memcpy(lookup->address, &ipv4.sin_addr, 4);
      lookup->resolved = 1;
      break;
    }
  }
  if (found != nullptr) freeaddrinfo(found);
  release(lookup);
  return 0;
}

int platform_resolve_ipv4(const char* host, unsigned char address[4], int timeout_ms) {
  socket_last_error = 0;
  std::size_t length = std::strlen(host);
  Lookup* lookup = static_cast<Lookup*>(std::calloc(1, sizeof(Lookup) + length));
  if (lookup == nullptr) return 0;
  std::memcpy(lookup->name, host, length + 1);
  lookup->references = 2;
  HANDLE worker = CreateThread(nullptr, 0, look_up, lookup, 0, nullptr);
  if (worker == nullptr) {
    // No thread: look the name up here, without a time limit.
    (void)look_up(lookup);
  } else {
    DWORD waited = WaitForSingleObject(worker, static_cast<DWORD>(timeout_ms > 0 ? timeout_ms : 0));
    CloseHandle(worker);
    if (waited != WAIT_OBJECT_0) {
      release(lookup);
      socket_last_error = SOCKET_ERROR_TIMED_OUT;
      return -1;
    }
  }
  int resolved = lookup->resolved;
  if (resolved) std::memcpy(address, lookup->address, 4);
  release(lookup);
  return resolved;
}
