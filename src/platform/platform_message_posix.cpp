// platform_message_posix.cpp - what composing a message asks of a POSIX
// system: the local time with its offset from UTC, and random bytes.
#include "platform/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

int platform_local_time_at(std::time_t when, std::tm* local, long* utc_offset_seconds) {
  if (localtime_r(&when, local) == nullptr) {
    *local = std::tm{};
    *utc_offset_seconds = 0;
    return 0;
  }
  *utc_offset_seconds = local->tm_gmtoff;
  return 1;
}

// Reads `count` bytes whole from /dev/urandom, for kernels without getrandom.
static int read_urandom(unsigned char* bytes, std::size_t count) {
  int file = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (file < 0) return 0;
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = read(file, bytes + filled, count - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(file);
  return filled == count ? 1 : 0;
}

int platform_random_bytes(unsigned char* bytes, std::size_t count) {
  std::size_t filled = 0;
  while (filled < count) {
    ssize_t got = getrandom(bytes + filled, count - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ENOSYS) return read_urandom(bytes, count);
    if (got <= 0) return 0;
    filled += static_cast<std::size_t>(got);
  }
  return 1;
}
