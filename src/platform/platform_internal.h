// platform_internal.h - what the platform files shared by every system take
// from each system's own files; only platform files include it.
#ifndef QUILLET_PLATFORM_INTERNAL_H
#define QUILLET_PLATFORM_INTERNAL_H

#include "platform/platform.h"

// The moment `timeout_ms` from now (now itself for 0 or less), in
// platform_monotonic_ms's milliseconds.
long long platform_deadline_after(int timeout_ms);

// Milliseconds from now until `deadline`: 0 once it has passed, at most
// INT_MAX.
int platform_time_left_ms(long long deadline);

// Reads up to `size` bytes from the file's start into `buffer`, until the
// end of the file. Returns how many were read, or -1 with errno set.
long long platform_file_read_from_start(PlatformFile file, char* buffer, long long size);

// Tries once, without waiting, to take the exclusive lock on the whole file
// that platform_file_lock takes. Returns 1 when locked, 0 when another
// process holds it, -1 when the file cannot be locked (errno set).
int platform_file_try_lock(PlatformFile file);

#endif
