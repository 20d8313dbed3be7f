// platform_posix.cpp - the platform layer over POSIX (Linux, the BSDs).
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1  // renameat2 and RENAME_NOREPLACE
#endif
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

int platform_process_id() { return static_cast<int>(getpid()); }

void platform_local_time(std::tm* now) {
  std::time_t seconds = std::time(nullptr);
  localtime_r(&seconds, now);
}

void platform_sleep_ms(int milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / 1000;
  pause.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  // Resume after a signal until the whole pause has passed.
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

void platform_binary_stdin() {}

int platform_rename_noreplace(const char* from, const char* to) {
#if defined(RENAME_NOREPLACE)
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  // Only a file system or kernel without the flag falls back to link/unlink.
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return -1;
#endif
  // link() refuses an existing target with EEXIST, which makes the pair a
  // rename that never replaces.
  if (link(from, to) != 0) return -1;
  if (unlink(from) != 0) {
    int saved = errno;
    (void)unlink(to);
    errno = saved;
    return -1;
  }
  return 0;
}

PlatformFile platform_append_open(const char* path) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return fd < 0 ? PLATFORM_NO_FILE : static_cast<PlatformFile>(fd);
}

int platform_append_write(PlatformFile file, const char* bytes, std::size_t length) {
  if (file == PLATFORM_NO_FILE) return 0;
  int fd = static_cast<int>(file);
  // One write() on an O_APPEND descriptor is appended as a whole; a short
  // write (a full disk) is continued, but then the line may be split.
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = write(fd, bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<std::size_t>(n);
  }
  return 1;
}

void platform_append_close(PlatformFile file) {
  if (file != PLATFORM_NO_FILE) (void)close(static_cast<int>(file));
}
