// platform_posix.cpp - the platform layer over POSIX (Linux, the BSDs).
#ifndef _GNU_SOURCE
#define _GNU_SOURCE 1  // renameat2 and RENAME_NOREPLACE
#endif
#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int platform_process_id() { return static_cast<int>(getpid()); }

void platform_local_time(std::tm* now) {
  std::time_t seconds = std::time(nullptr);
  if (localtime_r(&seconds, now) == nullptr) *now = std::tm{};
}

void platform_sleep_ms(int milliseconds) {
  struct timespec pause;
  pause.tv_sec = milliseconds / MILLISECONDS_PER_SECOND;
  pause.tv_nsec = static_cast<long>(milliseconds % MILLISECONDS_PER_SECOND) * NANOSECONDS_PER_MILLISECOND;
  // Resume after a signal until the whole pause has passed.
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
}

void platform_prepare_process() {
  // open() takes the lowest free descriptor: with the ones below it open,
  // that is the closed standard stream itself.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) (void)close(opened);
  }
  (void)signal(SIGPIPE, SIG_IGN);
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

int platform_rename_replace(const char* from, const char* to) { return rename(from, to); }

int platform_remove_file(const char* path) { return unlink(path); }

static char* copy_of(const char* text, std::size_t length) {
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

char* platform_link_target(const char* path) {
  char* name = copy_of(path, std::strlen(path));
  for (int depth = 0; name != nullptr && depth < PLATFORM_LINK_DEPTH; depth++) {
    struct stat status;
    if (lstat(name, &status) != 0 || !S_ISLNK(status.st_mode)) break;
    // st_size is the target's length, except where a file system reports 0.
    std::size_t size = status.st_size > 0 ? static_cast<std::size_t>(status.st_size) + 1 : PATH_MAX;
    char* target = static_cast<char*>(std::malloc(size));
    if (target == nullptr) break;
    ssize_t length = readlink(name, target, size);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
      std::free(target);
      break;
    }
    target[length] = '\0';
    char* next = nullptr;
    const char* slash = std::strrchr(name, '/');
    if (target[0] == '/' || slash == nullptr) {
      next = copy_of(target, static_cast<std::size_t>(length));
    } else {
      std::size_t directory = static_cast<std::size_t>(slash - name) + 1;
      next = static_cast<char*>(std::malloc(directory + static_cast<std::size_t>(length) + 1));
      if (next != nullptr) {
        std::memcpy(next, name, directory);
        std::memcpy(next + directory, target, static_cast<std::size_t>(length) + 1);
      }
    }
    std::free(target);
    std::free(name);
    name = next;
  }
  return name;
}

std::FILE* platform_create_text_file(const char* path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, PLATFORM_LOG_FILE_MODE);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    int saved = errno;
    (void)close(fd);
    errno = saved;
  }
  return file;
}

PlatformFile platform_append_open(const char* path, AppendOpenMode mode) {
  int flags = O_WRONLY | O_APPEND | O_CLOEXEC;
  if (mode == APPEND_CREATE) flags |= O_CREAT;
  // O_EXCL also refuses a symbolic link planted under the new name.
  if (mode == APPEND_NEW) flags |= O_CREAT | O_EXCL;
  int fd = open(path, flags, PLATFORM_LOG_FILE_MODE);
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

std::size_t platform_text_size(const char*, std::size_t length) { return length; }

void platform_append_close(PlatformFile file) {
  if (file != PLATFORM_NO_FILE) (void)close(static_cast<int>(file));
}

// fcntl record locks: POSIX, and honoured over NFS. The process holds at most
// one descriptor of the log at a time, so the rule that closing any
// descriptor of a file drops the process's locks on it costs nothing.
static int set_lock(PlatformFile file, short type, int command) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;  // to the end of the file, however far it grows
  for (;;) {
    if (fcntl(static_cast<int>(file), command, &lock) == 0) return 1;
    if (errno != EINTR) return 0;
  }
}

int platform_file_lock(PlatformFile file) {
  if (file == PLATFORM_NO_FILE) {
    errno = EBADF;
    return 0;
  }
  return set_lock(file, F_WRLCK, F_SETLKW);
}

void platform_file_unlock(PlatformFile file) {
  if (file != PLATFORM_NO_FILE) (void)set_lock(file, F_UNLCK, F_SETLK);
}

int platform_file_try_lock(PlatformFile file) {
  if (set_lock(file, F_WRLCK, F_SETLK)) return 1;
  // EACCES and EAGAIN both mean "held by another process" (POSIX allows either).
  return errno == EACCES || errno == EAGAIN ? 0 : -1;
}

int platform_file_is_at(PlatformFile file, const char* path) {
  struct stat open_file;
  struct stat named_file;
  if (fstat(static_cast<int>(file), &open_file) != 0 || stat(path, &named_file) != 0) return 0;
  return open_file.st_dev == named_file.st_dev && open_file.st_ino == named_file.st_ino ? 1 : 0;
}

long long platform_file_size(PlatformFile file) {
  struct stat status;
  if (fstat(static_cast<int>(file), &status) != 0) return -1;
  return static_cast<long long>(status.st_size);
}

// ---- sockets ----

int socket_last_error = 0;

// Writing to a connection the peer has closed must fail with EPIPE rather
// than raise SIGPIPE: Linux and the BSDs take a flag on each send, macOS a
// socket option (set in platform_socket_open).
#if defined(MSG_NOSIGNAL)
static const int SEND_FLAGS = MSG_NOSIGNAL;
#else
static const int SEND_FLAGS = 0;
#endif

// errno values and the Windows Sockets codes that mean the same, so that the
// log reads alike on every platform. The first row with the errno wins
// (EAGAIN and EWOULDBLOCK may be one number, as may ENOTSUP and EOPNOTSUPP).
struct ErrnoCode {
  int system_error;
  int code;
};
static const ErrnoCode ERRNO_CODES[] = {
    {EINTR, 10004},         {EBADF, 10009},           {EACCES, 10013},         {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},          {EWOULDBLOCK, 10035},    {EAGAIN, 10035},
    {EINPROGRESS, 10036},   {EALREADY, 10037},        {ENOTSOCK, 10038},       {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},    {EPROTONOSUPPORT, 10043},
#if defined(ESOCKTNOSUPPORT)
    {ESOCKTNOSUPPORT, 10044},
#endif
    {EOPNOTSUPP, 10045},    {ENOTSUP, 10045},
#if defined(EPFNOSUPPORT)
    {EPFNOSUPPORT, 10046},
#endif
    {EAFNOSUPPORT, 10047},  {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},  {ENETDOWN, 10050},
    {ENETUNREACH, 10051},   {ENETRESET, 10052},       {ECONNABORTED, 10053},   {ECONNRESET, 10054},
    {ENOBUFS, 10055},       {EISCONN, 10056},         {ENOTCONN, 10057},       {EPIPE, 10058},
#if defined(ESHUTDOWN)
    {ESHUTDOWN, 10058},
#endif
#if defined(ETOOMANYREFS)
    {ETOOMANYREFS, 10059},
#endif
    {ETIMEDOUT, 10060},     {ECONNREFUSED, 10061},    {ELOOP, 10062},          {ENAMETOOLONG, 10063},
#if defined(EHOSTDOWN)
    {EHOSTDOWN, 10064},
#endif
    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
#if defined(EUSERS)
    {EUSERS, 10068},
#endif
    {EDQUOT, 10069},        {ESTALE, 10070},
#if defined(EREMOTE)
    {EREMOTE, 10071},
#endif
};

int platform_socket_error_code(int system_error) {
  for (const ErrnoCode& row : ERRNO_CODES)
    if (row.system_error == system_error) return row.code;
  return system_error;
}

static int fail_with_errno() {
  socket_last_error = platform_socket_error_code(errno);
  return -1;
}

long long platform_monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * MILLISECONDS_PER_SECOND +
         now.tv_nsec / NANOSECONDS_PER_MILLISECOND;
}

int platform_sockets_start(int* major_version, int* minor_version) {
  *major_version = 1;
  *minor_version = 1;
  return 0;
}

void platform_inet_addr(const char* text, unsigned char address[4]) {
  in_addr_t value = inet_addr(text);
  std::memcpy(address, &value, 4);
}

PlatformSocket platform_socket_open() {
  socket_last_error = 0;
#if defined(SOCK_CLOEXEC)
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = socket(AF_INET, SOCK_STREAM, 0);
#endif
  if (fd < 0) return fail_with_errno();
  // Non-blocking underneath: every wait is a poll with a time limit.
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    int saved = errno;
    (void)close(fd);
    errno = saved;
    return fail_with_errno();
  }
#if defined(SO_NOSIGPIPE)
  int on = 1;
  (void)setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return static_cast<PlatformSocket>(fd);
}

// Waits until `events` are possible on the socket or the deadline passes.
// Returns 1 when ready, 0 at the deadline, -1 on a failure of poll itself
// (errno set). A signal does not shorten the wait.
static int wait_for(int fd, short events, long long deadline) {
  for (;;) {
    int left = platform_time_left_ms(deadline);
    if (left == 0) return 0;
    struct pollfd watched;
    watched.fd = fd;
    watched.events = events;
    watched.revents = 0;
    int ready = poll(&watched, 1, left);
    if (ready > 0) return 1;
    if (ready < 0 && errno != EINTR) return -1;
  }
}

static int time_out() {
  socket_last_error = SOCKET_ERROR_TIMED_OUT;
  return -1;
}

int platform_socket_connect(PlatformSocket socket, const unsigned char address[4], int port, int timeout_ms) {
  socket_last_error = 0;
  int fd = static_cast<int>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  struct sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  std::memcpy(&peer.sin_addr, address, 4);
  if (connect(fd, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer) != 0) {
    // A non-blocking connect goes on in the background; one interrupted by
    // a signal does too.
    if (errno != EINPROGRESS && errno != EINTR) return fail_with_errno();
    int ready = wait_for(fd, POLLOUT, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_errno();
    int outcome = 0;
    socklen_t size = sizeof outcome;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &outcome, &size) != 0) return fail_with_errno();
    if (outcome != 0) {
      errno = outcome;
      return fail_with_errno();
    }
  }
  // A command and its line end are written separately: without this each
  // would wait for the peer's delayed acknowledgement.
  int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return 0;
}

int platform_socket_send(PlatformSocket socket, const char* bytes, int length, int timeout_ms) {
  socket_last_error = 0;
  int fd = static_cast<int>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  for (;;) {
    ssize_t sent = send(fd, bytes, static_cast<size_t>(length), SEND_FLAGS | MSG_DONTWAIT);
    if (sent > 0) return static_cast<int>(sent);
    if (sent == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail_with_errno();
    int ready = wait_for(fd, POLLOUT, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_errno();
  }
}

int platform_socket_receive(PlatformSocket socket, char* bytes, int capacity, int timeout_ms) {
  socket_last_error = 0;
  int fd = static_cast<int>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  for (;;) {
    ssize_t received = recv(fd, bytes, static_cast<size_t>(capacity), MSG_DONTWAIT);
    if (received >= 0) return static_cast<int>(received);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail_with_errno();
    int ready = wait_for(fd, POLLIN, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_errno();
  }
}

void platform_socket_gather(PlatformSocket socket, bool hold) {
  if (socket == PLATFORM_NO_SOCKET) return;
  int on = hold ? 1 : 0;
#if defined(TCP_CORK)
  (void)setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_CORK, &on, sizeof on);
#elif defined(TCP_NOPUSH)
  (void)setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NOPUSH, &on, sizeof on);
#else
  (void)on;
#endif
}

void platform_socket_close(PlatformSocket socket) {
  if (socket != PLATFORM_NO_SOCKET) (void)close(static_cast<int>(socket));
}
