// platform_win32.cpp - the platform layer over Windows (Win32 and the CRT).
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/platform_win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
// The Windows Sockets headers come before windows.h, which would otherwise
// pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

int platform_process_id() { return static_cast<int>(GetCurrentProcessId()); }

void platform_local_time(std::tm* now) {
  std::time_t seconds = std::time(nullptr);
  if (localtime_s(now, &seconds) != 0) *now = std::tm{};
}

void platform_sleep_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

// Nothing to do: Windows has no SIGPIPE (a write to a pipe whose reader has
// gone fails with an error), the log and the socket are Windows handles
// rather than C runtime descriptors, and the C runtime keeps descriptors 0
// to 2 for the standard streams even when the parent gave none.
void platform_prepare_process() {}

void platform_binary_stdin() { (void)_setmode(_fileno(stdin), _O_BINARY); }

int errno_from_win32(unsigned long code) {
  switch (code) {
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
      return ENOSPC;
    default:
      return EINVAL;
  }
}

int platform_rename_noreplace(const char* from, const char* to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
  if (MoveFileExA(from, to, 0)) return 0;
  errno = errno_from_win32(GetLastError());
  return -1;
}

int platform_rename_replace(const char* from, const char* to) {
  // Renaming or replacing a file that is open works when every handle on it
  // shares FILE_SHARE_DELETE, as platform_append_open's do.
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return 0;
  errno = errno_from_win32(GetLastError());
  return -1;
}

// Links are left alone: renaming one on Windows renames the link.
char* platform_link_target(const char* path) {
  std::size_t length = std::strlen(path);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) std::memcpy(copy, path, length + 1);
  return copy;
}

int platform_remove_file(const char* path) {
  if (DeleteFileA(path)) return 0;
  errno = errno_from_win32(GetLastError());
  return -1;
}

// A created file takes the ACL that its folder hands down.
std::FILE* platform_create_text_file(const char* path) { return std::fopen(path, "w"); }

PlatformFile platform_append_open(const char* path, AppendOpenMode mode) {
  DWORD disposition = OPEN_ALWAYS;
  if (mode == APPEND_EXISTING) disposition = OPEN_EXISTING;
  if (mode == APPEND_NEW) disposition = CREATE_NEW;
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every WriteFile an atomic
  // append at the current end of the file, also across processes. LockFileEx
  // wants GENERIC_READ (or GENERIC_WRITE, which would bring FILE_WRITE_DATA).
  // FILE_SHARE_DELETE lets another run rename the log while this one has it
  // open.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA | GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = errno_from_win32(GetLastError());
    return PLATFORM_NO_FILE;
  }
  return reinterpret_cast<PlatformFile>(file);
}

int platform_append_write(PlatformFile file, const char* bytes, std::size_t length) {
  if (file == PLATFORM_NO_FILE) return 0;
  // Text mode: every "\n" is written as "\r\n", all in one WriteFile.
  std::size_t total = platform_text_size(bytes, length);
  char* text = static_cast<char*>(std::malloc(total ? total : 1));
  if (text == nullptr) {
    errno = ENOMEM;
    return 0;
  }
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; i++) {
    if (bytes[i] == '\n') text[out++] = '\r';
    text[out++] = bytes[i];
  }
  DWORD written = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file), text, static_cast<DWORD>(total), &written, nullptr);
  if (!ok) errno = errno_from_win32(GetLastError());
  std::free(text);
  return ok && written == total ? 1 : 0;
}

std::size_t platform_text_size(const char* bytes, std::size_t length) {
  std::size_t size = length;
  for (std::size_t i = 0; i < length; i++)
    if (bytes[i] == '\n') size++;
  return size;
}

void platform_append_close(PlatformFile file) {
  if (file != PLATFORM_NO_FILE) CloseHandle(reinterpret_cast<HANDLE>(file));
}

// The whole possible range, from offset 0 (the OVERLAPPED's offset) on, so
// that the lock also covers what is appended while it is held; the range
// platform_file_unlock releases.
static bool lock_whole_file(PlatformFile file, DWORD flags) {
  OVERLAPPED range;
  std::memset(&range, 0, sizeof range);
  return LockFileEx(reinterpret_cast<HANDLE>(file), LOCKFILE_EXCLUSIVE_LOCK | flags, 0, MAXDWORD, MAXDWORD, &range) != 0;
}

int platform_file_lock(PlatformFile file) {
  if (file == PLATFORM_NO_FILE) {
    errno = EBADF;
    return 0;
  }
  if (lock_whole_file(file, 0)) return 1;
  errno = errno_from_win32(GetLastError());
  return 0;
}

int platform_file_try_lock(PlatformFile file) {
  if (lock_whole_file(file, LOCKFILE_FAIL_IMMEDIATELY)) return 1;
  if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) return 0;
  errno = errno_from_win32(GetLastError());
  return -1;
}

void platform_file_unlock(PlatformFile file) {
  if (file == PLATFORM_NO_FILE) return;
  OVERLAPPED range;
  std::memset(&range, 0, sizeof range);
  (void)UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, MAXDWORD, MAXDWORD, &range);
}

int platform_file_is_at(PlatformFile file, const char* path) {
  BY_HANDLE_FILE_INFORMATION open_file;
  BY_HANDLE_FILE_INFORMATION named_file;
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(file), &open_file)) return 0;
  HANDLE named = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (named == INVALID_HANDLE_VALUE) return 0;
  BOOL examined = GetFileInformationByHandle(named, &named_file);
  CloseHandle(named);
  if (!examined) return 0;
  return open_file.dwVolumeSerialNumber == named_file.dwVolumeSerialNumber &&
                 open_file.nFileIndexHigh == named_file.nFileIndexHigh &&
                 open_file.nFileIndexLow == named_file.nFileIndexLow
             ? 1
             : 0;
}

long long platform_file_size(PlatformFile file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size)) {
    errno = errno_from_win32(GetLastError());
    return -1;
  }
  return static_cast<long long>(size.QuadPart);
}

// ---- sockets ----

int socket_last_error = 0;

// The sockets library's own codes are Windows Sockets codes already.
int platform_socket_error_code(int system_error) { return system_error; }

static int fail_with_last_error() {
  socket_last_error = WSAGetLastError();
  return -1;
}

static int time_out() {
  socket_last_error = SOCKET_ERROR_TIMED_OUT;
  return -1;
}

long long platform_monotonic_ms() { return static_cast<long long>(GetTickCount64()); }

int platform_sockets_start(int* major_version, int* minor_version) {
  WSADATA data;
  int result = WSAStartup(MAKEWORD(1, 1), &data);
  if (result != 0) return result;
  *major_version = LOBYTE(data.wVersion);
  *minor_version = HIBYTE(data.wVersion);
  return 0;
}

void platform_inet_addr(const char* text, unsigned char address[4]) {
  unsigned long value = inet_addr(text);
  std::memcpy(address, &value, 4);
}

PlatformSocket platform_socket_open() {
  socket_last_error = 0;
  SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
  if (handle == INVALID_SOCKET) return fail_with_last_error();
  // Non-blocking underneath: every wait is a select with a time limit.
  u_long on = 1;
  if (ioctlsocket(handle, FIONBIO, &on) != 0) {
    int saved = WSAGetLastError();
    closesocket(handle);
    socket_last_error = saved;
    return -1;
  }
  return static_cast<PlatformSocket>(handle);
}

enum WaitKind { WAIT_READ, WAIT_WRITE, WAIT_CONNECT };

// Waits until the socket can be read or written, or its connect has ended
// (a finished connect shows as writable, a failed one in the exception set),
// or the deadline passes. Returns 1 when ready, 0 at the deadline, -1 on a
// failure of select.
static int wait_for(SOCKET handle, WaitKind kind, long long deadline) {
  int left = platform_time_left_ms(deadline);
  if (left == 0) return 0;
  fd_set watched;
  fd_set failed;
  FD_ZERO(&watched);
  FD_ZERO(&failed);
  FD_SET(handle, &watched);
  FD_SET(handle, &failed);
  struct timeval limit;
  limit.tv_sec = static_cast<long>(left / MILLISECONDS_PER_SECOND);
  limit.tv_usec = static_cast<long>((left % MILLISECONDS_PER_SECOND) * MICROSECONDS_PER_MILLISECOND);
  int ready = 0;
  if (kind == WAIT_READ)
    ready = select(0, &watched, nullptr, nullptr, &limit);
  else if (kind == WAIT_WRITE)
    ready = select(0, nullptr, &watched, nullptr, &limit);
  else
    ready = select(0, nullptr, &watched, &failed, &limit);
  if (ready == SOCKET_ERROR) return -1;
  return ready > 0 ? 1 : 0;
}

int platform_socket_connect(PlatformSocket socket, const unsigned char address[4], int port, int timeout_ms) {
  socket_last_error = 0;
  SOCKET handle = static_cast<SOCKET>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  struct sockaddr_in peer;
  std::memset(&peer, 0, sizeof peer);
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
  std::memcpy(&peer.sin_addr, address, 4);
  if (connect(handle, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return fail_with_last_error();
    int ready = wait_for(handle, WAIT_CONNECT, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_last_error();
    int outcome = 0;
    int size = sizeof outcome;
    if (getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&outcome), &size) != 0)
      return fail_with_last_error();
    if (outcome != 0) {
      socket_last_error = outcome;
      return -1;
    }
  }
  // A command and its line end are written separately: without this each
  // would wait for the peer's delayed acknowledgement.
  BOOL on = TRUE;
  (void)setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return 0;
}

int platform_socket_send(PlatformSocket socket, const char* bytes, int length, int timeout_ms) {
  socket_last_error = 0;
  SOCKET handle = static_cast<SOCKET>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  for (;;) {
    int sent = send(handle, bytes, length, 0);
    if (sent != SOCKET_ERROR) return sent;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return fail_with_last_error();
    int ready = wait_for(handle, WAIT_WRITE, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_last_error();
  }
}

int platform_socket_receive(PlatformSocket socket, char* bytes, int capacity, int timeout_ms) {
  socket_last_error = 0;
  SOCKET handle = static_cast<SOCKET>(socket);
  long long deadline = platform_deadline_after(timeout_ms);
  for (;;) {
    int received = recv(handle, bytes, capacity, 0);
    if (received != SOCKET_ERROR) return received;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return fail_with_last_error();
    int ready = wait_for(handle, WAIT_READ, deadline);
    if (ready == 0) return time_out();
    if (ready < 0) return fail_with_last_error();
  }
}

// Windows Sockets has no option that holds back a send: each one leaves at
// once (TCP_NODELAY is set).
void platform_socket_gather(PlatformSocket, bool) {}

void platform_socket_close(PlatformSocket socket) {
  if (socket != PLATFORM_NO_SOCKET) closesocket(static_cast<SOCKET>(socket));
}
