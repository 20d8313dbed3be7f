// platform_win32.cpp - the platform layer over Windows (Win32 and the CRT).
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

int platform_process_id() { return static_cast<int>(GetCurrentProcessId()); }

void platform_local_time(std::tm* now) {
  std::time_t seconds = std::time(nullptr);
  localtime_s(now, &seconds);
}

void platform_sleep_ms(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void platform_binary_stdin() { (void)_setmode(_fileno(stdin), _O_BINARY); }

static int errno_from_win32(DWORD code) {
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

PlatformFile platform_append_open(const char* path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA makes every WriteFile an atomic
  // append at the current end of the file, also across processes.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = errno_from_win32(GetLastError());
    return PLATFORM_NO_FILE;
  }
  return reinterpret_cast<PlatformFile>(file);
}

int platform_append_write(PlatformFile file, const char* bytes, std::size_t length) {
  if (file == PLATFORM_NO_FILE) return 0;
  // Text mode: every "\n" is written as "\r\n", all in one WriteFile.
  std::size_t line_feeds = 0;
  for (std::size_t i = 0; i < length; i++)
    if (bytes[i] == '\n') line_feeds++;
  std::size_t total = length + line_feeds;
  char* text = static_cast<char*>(std::malloc(total ? total : 1));
  if (text == nullptr) return 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < length; i++) {
    if (bytes[i] == '\n') text[out++] = '\r';
    text[out++] = bytes[i];
  }
  DWORD written = 0;
  BOOL ok = WriteFile(reinterpret_cast<HANDLE>(file), text, static_cast<DWORD>(total), &written, nullptr);
  std::free(text);
  return ok && written == total ? 1 : 0;
}

void platform_append_close(PlatformFile file) {
  if (file != PLATFORM_NO_FILE) CloseHandle(reinterpret_cast<HANDLE>(file));
}
