// platform_resolve_posix.cpp - host name resolution on POSIX, bounded in time
// where the C library offers an asynchronous lookup (glibc's getaddrinfo_a).
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1  // getaddrinfo_a, gai_suspend, gai_cancel
#endif
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

// The first IPv4 address of a lookup's answer: 1 and `address` filled, or 0.
static int first_ipv4(const struct addrinfo* found, unsigned char address[4]) {
  for (const struct addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(struct sockaddr_in)) continue;
    struct sockaddr_in ipv4;
    std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
    std::memcpy(address, &ipv4.sin_addr, 4);
    return 1;
  }
  return 0;
}

static void ipv4_hints(struct addrinfo* hints) {
  std::memset(hints, 0, sizeof *hints);
  hints->ai_family = AF_INET;
  hints->ai_socktype = SOCK_STREAM;
}

// A lookup that takes as long as the name service takes.
static int unbounded_lookup(const char* host, unsigned char address[4]) {
  struct addrinfo hints;
  ipv4_hints(&hints);
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return 0;
  int resolved = first_ipv4(found, address);
  freeaddrinfo(found);
  return resolved;
}

#if defined(__GLIBC__)

// One asynchronous lookup. The lookup thread of the C library reads the name
// and the hints and writes the request until it is done, so all three live
// on the heap, in one block.
struct Lookup {
  struct gaicb request;
  struct addrinfo hints;
  Lookup* next_abandoned;
  char name[1];  // the host name; the block is allocated to hold all of it
};

// Lookups given up while the C library's thread was still working on them:
// the thread writes into them until it returns, so they are never freed.
// Kept reachable from here so that a leak checker does not report them.
static Lookup* abandoned_lookups = nullptr;

static void free_lookup(Lookup* lookup) {
  if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
  std::free(lookup);
}

// The result of a finished lookup: 1 with `address` filled, or 0.
static int finish_lookup(Lookup* lookup, unsigned char address[4]) {
  int resolved = gai_error(&lookup->request) == 0 ? first_ipv4(lookup->request.ar_result, address) : 0;
  free_lookup(lookup);
  return resolved;
}

int platform_resolve_ipv4(const char* host, unsigned char address[4], int timeout_ms) {
  socket_last_error = 0;
  std::size_t length = std::strlen(host);
  Lookup* lookup = static_cast<Lookup*>(std::calloc(1, sizeof(Lookup) + length));
  if (lookup == nullptr) return 0;
  std::memcpy(lookup->name, host, length + 1);
  ipv4_hints(&lookup->hints);
  lookup->request.ar_name = lookup->name;
  lookup->request.ar_request = &lookup->hints;
  struct gaicb* list[1] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) {
    // No thread could be started for it: look the name up here.
    std::free(lookup);
    return unbounded_lookup(host, address);
  }

  long long deadline = platform_deadline_after(timeout_ms);
  const struct gaicb* waited[1] = {&lookup->request};
  for (;;) {
    if (gai_error(&lookup->request) != EAI_INPROGRESS) return finish_lookup(lookup, address);
    long long left = deadline - platform_monotonic_ms();
    if (left <= 0) break;
    struct timespec limit;
    limit.tv_sec = static_cast<time_t>(left / MILLISECONDS_PER_SECOND);
    limit.tv_nsec = static_cast<long>(left % MILLISECONDS_PER_SECOND) * NANOSECONDS_PER_MILLISECOND;
    // Returns when the lookup is done, at the limit (EAI_AGAIN) or on a
    // signal (EAI_INTR); the loop tells them apart.
    (void)gai_suspend(waited, 1, &limit);
  }

  // Cancelled before it started, or finished just now (too late all the
  // same): the C library is done with the block. Otherwise its thread is
  // still at work on it (EAI_NOTCANCELED).
  int cancel = gai_cancel(&lookup->request);
  if (cancel == EAI_CANCELED || cancel == EAI_ALLDONE) {
    free_lookup(lookup);
  } else {
    lookup->next_abandoned = abandoned_lookups;
    abandoned_lookups = lookup;
  }
  socket_last_error = SOCKET_ERROR_TIMED_OUT;
  return -1;
}

#else

// Without an asynchronous lookup the time limit cannot be kept.
int platform_resolve_ipv4(const char* host, unsigned char address[4], int) {
  socket_last_error = 0;
  return unbounded_lookup(host, address);
}

#endif
