// platform_data_win32.cpp - small data files opened, read and rewritten
// whole, on Windows (platform_wait.cpp reads them and waits for their lock).
#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/platform_win32.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <windows.h>

PlatformFile platform_data_open(const char* path) {
  // A folder cannot be opened without FILE_FLAG_BACKUP_SEMANTICS: it fails
  // with ERROR_ACCESS_DENIED.
  HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    errno = errno_from_win32(GetLastError());
    return PLATFORM_NO_FILE;
  }
  // Rewritten whole, the file must be a file of its own: not a device, and
  // not a link (a reparse point) that would lead the writes elsewhere.
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(file);
    errno = EINVAL;
    return PLATFORM_NO_FILE;
  }
  return reinterpret_cast<PlatformFile>(file);
}

long long platform_file_read_from_start(PlatformFile file, char* buffer, long long size) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    errno = errno_from_win32(GetLastError());
    return -1;
  }
  long long done = 0;
  while (done < size) {
    DWORD read = 0;
    if (!ReadFile(handle, buffer + done, static_cast<DWORD>(size - done), &read, nullptr)) {
      errno = errno_from_win32(GetLastError());
      return -1;
    }
    if (read == 0) break;
    done += read;
  }
  return done;
}

int platform_data_replace(PlatformFile file, const char* bytes, std::size_t length) {
  HANDLE handle = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER start;
  start.QuadPart = 0;
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
    errno = errno_from_win32(GetLastError());
    return 0;
  }
  std::size_t done = 0;
  while (done < length) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes + done, static_cast<DWORD>(length - done), &written, nullptr) || written == 0) {
      errno = errno_from_win32(GetLastError());
      return 0;
    }
    done += written;
  }
  // The end of the file where the new content ends.
  if (!SetEndOfFile(handle)) {
    errno = errno_from_win32(GetLastError());
    return 0;
  }
  return 1;
}
