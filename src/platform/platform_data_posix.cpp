// platform_data_posix.cpp - small data files opened, read and rewritten
// whole, on POSIX (platform_wait.cpp reads them and waits for their lock).
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

PlatformFile platform_data_open(const char* path) {
  // The file is rewritten whole, so a link must not lead the writes to
  // another file: a symbolic link fails with ELOOP (O_NOFOLLOW), and what is
  // not a regular file (a FIFO, a device) with EINVAL. A directory fails
  // with EISDIR.
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, PLATFORM_LOG_FILE_MODE);
  if (fd < 0) return PLATFORM_NO_FILE;
  struct stat status;
  bool examined = fstat(fd, &status) == 0;
  if (!examined || !S_ISREG(status.st_mode)) {
    int error = examined ? EINVAL : errno;
    close(fd);
    errno = error;
    return PLATFORM_NO_FILE;
  }
  return static_cast<PlatformFile>(fd);
}

long long platform_file_read_from_start(PlatformFile file, char* buffer, long long size) {
  int fd = static_cast<int>(file);
  long long done = 0;
  while (done < size) {
    ssize_t n = pread(fd, buffer + done, static_cast<std::size_t>(size - done), static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
}

int platform_data_replace(PlatformFile file, const char* bytes, std::size_t length) {
  int fd = static_cast<int>(file);
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = pwrite(fd, bytes + done, length - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<std::size_t>(n);
  }
  // Written first and cut after: a run that stops between the two leaves
  // the old text's tail behind the new one, which the reader finds damaged.
  return ftruncate(fd, static_cast<off_t>(length)) == 0 ? 1 : 0;
}
