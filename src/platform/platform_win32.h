// platform_win32.h - what the Windows implementation files of the platform
// layer share; only they include it.
#ifndef QUILLET_PLATFORM_WIN32_H
#define QUILLET_PLATFORM_WIN32_H

// The errno value that stands for a Win32 error code (GetLastError), so that
// callers report file failures in the words of strerror on every platform;
// EINVAL for a code without a counterpart.
int errno_from_win32(unsigned long code);

#endif
