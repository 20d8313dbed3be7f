// platform.h - the thin layer over what the operating system provides.
//
// Everything that differs between Windows and POSIX lives behind these
// functions: platform_posix.cpp and platform_win32.cpp each implement the
// whole list, and the build picks one. No other file tests _WIN32.
//
// Process-wide state owned here: none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// printf-style checking for every function that takes a format. MinGW's
// C++ runtime formats with its own (C99) printf, hence gnu_printf there.
#if defined(__MINGW32__)
#define QUILLET_PRINTF(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define QUILLET_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define QUILLET_PRINTF(format_index, first_arg)
#endif

// ---- process and time ----

// The operating system's id of this process.
int platform_process_id();

// The current local time, broken down.
void platform_local_time(std::tm* now);

// Pauses the process for the given number of milliseconds.
void platform_sleep_ms(int milliseconds);

// ---- files ----

// Switches standard input to binary mode so that no line ends are translated
// in a request body. Does nothing where the platform makes no distinction.
void platform_binary_stdin();

// Renames a file, never replacing one that already exists. Returns 0 on
// success; -1 with errno set on failure (EEXIST when `to` exists, ENOENT when
// `from` does not).
[[nodiscard]] int platform_rename_noreplace(const char* from, const char* to);

// An append-only file such as the log, written one whole line at a time.
// The handle is -1 when the file could not be opened.
using PlatformFile = std::intptr_t;
constexpr PlatformFile PLATFORM_NO_FILE = -1;

// Opens (creating it if needed) the file for appending. Every write goes to
// the end of the file as one system call, so that lines written by several
// processes at once never interleave. Returns PLATFORM_NO_FILE on failure,
// with errno set.
[[nodiscard]] PlatformFile platform_append_open(const char* path);

// Writes `length` bytes at the end of the file in one write, in text mode
// (each "\n" becomes the platform's line end). Returns 1 when everything was
// written, 0 otherwise.
int platform_append_write(PlatformFile file, const char* bytes, std::size_t length);

// Closes the file; PLATFORM_NO_FILE is ignored.
void platform_append_close(PlatformFile file);
