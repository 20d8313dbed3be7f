// platform_message_win32.cpp - what composing a message asks of Windows: the
// local time with its offset from UTC, and random bytes.
#include "platform/platform.h"

#include <time.h>
#include <windows.h>
// After windows.h, which defines the types it uses.
#include <bcrypt.h>

int platform_local_time_at(std::time_t when, std::tm* local, long* utc_offset_seconds) {
  *utc_offset_seconds = 0;
  if (localtime_s(local, &when) != 0) {
    *local = std::tm{};
    return 0;
  }
  // The local clock reading taken as if it were UTC, less the real time:
  // the zone's offset, summer time included.
  std::tm as_utc = *local;
  std::time_t shifted = _mkgmtime(&as_utc);
  if (shifted == static_cast<std::time_t>(-1)) return 0;
  *utc_offset_seconds = static_cast<long>(shifted - when);
  return 1;
}

int platform_random_bytes(unsigned char* bytes, std::size_t count) {
  NTSTATUS status =
      BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  return BCRYPT_SUCCESS(status) ? 1 : 0;
}
