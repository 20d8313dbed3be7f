// platform_wait.cpp - what the platform layer does the same on every
// system, over each system's primitives (platform_internal.h): deadlines,
// the bounded wait for a file lock, and reading a small data file whole.
#include "platform/platform_internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

long long platform_deadline_after(int timeout_ms) {
  return platform_monotonic_ms() + (timeout_ms > 0 ? timeout_ms : 0);
}

int platform_time_left_ms(long long deadline) {
  long long left = deadline - platform_monotonic_ms();
  if (left <= 0) return 0;
  return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

// The waits between two attempts at a lock that another process holds: short
// at first (a holder keeps it for well under a millisecond), then longer.
constexpr int LOCK_FIRST_PAUSE_MS = 1;
constexpr int LOCK_LONGEST_PAUSE_MS = 16;

int platform_file_lock_within(PlatformFile file, int timeout_ms) {
  if (file == PLATFORM_NO_FILE) {
    errno = EBADF;
    return -1;
  }
  long long deadline = platform_deadline_after(timeout_ms);
  int pause = LOCK_FIRST_PAUSE_MS;
  for (;;) {
    int taken = platform_file_try_lock(file);
    if (taken != 0) return taken;
    int left = platform_time_left_ms(deadline);
    if (left == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    platform_sleep_ms(pause < left ? pause : left);
    if (pause < LOCK_LONGEST_PAUSE_MS) pause *= 2;
  }
}

long long platform_data_read(PlatformFile file, char** bytes, long long limit) {
  *bytes = nullptr;
  long long size = platform_file_size(file);
  if (size < 0) return -1;
  if (size > limit) return limit + 1;
  char* buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
  if (buffer == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  // Read until the end of the file or of the buffer; the size was taken
  // under the caller's lock, so it holds.
  long long done = platform_file_read_from_start(file, buffer, size);
  if (done < 0) {
    int saved = errno;
    std::free(buffer);
    errno = saved;
    return -1;
  }
  buffer[done] = '\0';
  *bytes = buffer;
  return done;
}
