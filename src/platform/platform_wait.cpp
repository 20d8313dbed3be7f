// platform_wait.cpp - bounded waits, the same on every system: deadlines,
// and the wait for a file lock over each system's attempt that does not wait
// (platform_file_try_lock).
#include "platform/platform_internal.h"

#include <cerrno>
#include <climits>

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
