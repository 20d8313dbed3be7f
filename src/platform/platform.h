// platform.h - the thin layer over what the operating system provides.
//
// Everything that differs between Windows and POSIX lives behind these
// functions: platform_posix.cpp with platform_resolve_posix.cpp,
// platform_tls_openssl.cpp and platform_data_posix.cpp, and
// platform_win32.cpp with platform_resolve_win32.cpp,
// platform_tls_schannel.cpp and platform_data_win32.cpp, each implement the
// whole list, and the build picks one set; platform_tls_names.cpp is the
// same everywhere. No other file tests _WIN32.
//
// Process-wide state owned here: the last socket error (see "sockets") and
// the last TLS failure (see "TLS").
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// The units every wait is given in and the system's time records use.
constexpr int MILLISECONDS_PER_SECOND = 1000;
constexpr long MICROSECONDS_PER_MILLISECOND = 1000L;
constexpr long NANOSECONDS_PER_MILLISECOND = 1000000L;

// The operating system's id of this process.
int platform_process_id();

// The current local time, broken down; every field 0 when the system cannot
// break the clock's time down (a time beyond the range of its calendar).
void platform_local_time(std::tm* now);

// Pauses the process for the given number of milliseconds.
void platform_sleep_ms(int milliseconds);

// The local time of `when`, broken down, and how many seconds that local
// time is ahead of UTC (negative west of Greenwich, summer time included).
// Returns 1, or 0 when the system cannot convert it (the offset is then 0).
[[nodiscard]] int platform_local_time_at(std::time_t when, std::tm* local, long* utc_offset_seconds);

// Fills `bytes` with `count` bytes from the system's random source for
// cryptography (getrandom, or /dev/urandom where the kernel lacks it;
// BCryptGenRandom on Windows). Returns 1, or 0 when the source failed.
[[nodiscard]] int platform_random_bytes(unsigned char* bytes, std::size_t count);

// Readies the process for a run under a web server, before anything else
// happens. A standard stream (descriptor 0, 1 or 2) that the parent left
// closed is opened on the null device, so that no file or socket opened
// later takes its number and receives what was meant for standard output.
// Writing to a pipe whose reader has gone (a web server that closed the
// program's standard output) fails with EPIPE instead of ending the process
// with a signal. Failures are ignored: the run goes on as well as it can.
void platform_prepare_process();

// ---- files ----

// Switches standard input to binary mode so that no line ends are translated
// in a request body. Does nothing where the platform makes no distinction.
void platform_binary_stdin();

// Renames a file, never replacing one that already exists. Returns 0 on
// success; -1 with errno set on failure (EEXIST when `to` exists, ENOENT when
// `from` does not).
[[nodiscard]] int platform_rename_noreplace(const char* from, const char* to);

// Renames a file, replacing `to` when it exists, also while other processes
// have either file open (through platform_append_open). Returns 0, or -1
// with errno set.
[[nodiscard]] int platform_rename_replace(const char* from, const char* to);

// The name of the file that `path` leads to: while the name is a symbolic
// link, its target (a relative target is taken from the link's directory),
// followed at most PLATFORM_LINK_DEPTH links deep, whether or not the last
// target exists. A name that is no link, and every name on Windows, is
// returned as it is. The result is on the heap (the caller frees it); null
// when there is no memory.
[[nodiscard]] char* platform_link_target(const char* path);
constexpr int PLATFORM_LINK_DEPTH = 8;

// Removes a file. Returns 0, or -1 with errno set (ENOENT when there is none).
int platform_remove_file(const char* path);

// Opens the file for writing in text mode as fopen(path, "w") does (emptied,
// or created), except that a file it creates gets PLATFORM_LOG_FILE_MODE.
// Returns null with errno set on failure.
[[nodiscard]] std::FILE* platform_create_text_file(const char* path);

// An append-only file such as the log, written one whole line at a time.
// The handle is -1 when the file could not be opened.
using PlatformFile = std::intptr_t;
constexpr PlatformFile PLATFORM_NO_FILE = -1;

// The permission bits of a file that platform_append_open or
// platform_create_text_file creates, on POSIX: its owner reads and writes,
// its group reads, nobody else has access (the log holds what visitors
// wrote). The umask may take more away. Windows gives the folder's ACL.
constexpr int PLATFORM_LOG_FILE_MODE = 0640;

// What platform_append_open does with a missing or an existing file.
enum AppendOpenMode {
  APPEND_CREATE,    // opens the file, creating it when missing
  APPEND_EXISTING,  // opens only a file that exists (ENOENT otherwise)
  APPEND_NEW,       // creates a new file only (EEXIST when one exists)
};

// Opens the file for appending. Every write goes to the end of the file as
// one system call, so that lines written by several processes at once never
// interleave. The file may be renamed or replaced while it is open. Returns
// PLATFORM_NO_FILE on failure, with errno set.
[[nodiscard]] PlatformFile platform_append_open(const char* path, AppendOpenMode mode);

// Writes `length` bytes at the end of the file in one write, in text mode
// (each "\n" becomes the platform's line end). Returns 1 when everything was
// written, 0 otherwise (with errno set when the system reported a failure).
[[nodiscard]] int platform_append_write(PlatformFile file, const char* bytes, std::size_t length);

// The number of bytes platform_append_write puts into the file for `bytes`.
std::size_t platform_text_size(const char* bytes, std::size_t length);

// Closes the file (releasing its lock); PLATFORM_NO_FILE is ignored.
void platform_append_close(PlatformFile file);

// Takes an exclusive lock on the whole file, waiting while another process
// holds one. Only processes that lock see it on POSIX; on Windows other
// processes cannot write the file while it is locked. Returns 1, or 0 with
// errno set when the file cannot be locked.
[[nodiscard]] int platform_file_lock(PlatformFile file);

// Releases the lock of platform_file_lock.
void platform_file_unlock(PlatformFile file);

// 1 when `path` names the very file that `file` has open (same device and
// file number); 0 when it names another file, none, or cannot be examined.
int platform_file_is_at(PlatformFile file, const char* path);

// The size of the open file in bytes, or -1 with errno set.
long long platform_file_size(PlatformFile file);

// A small data file read and rewritten whole under a lock, such as the rate
// limit's counts (platform_data_posix.cpp / platform_data_win32.cpp). Its
// handle is released with platform_append_close, its lock with
// platform_file_unlock.

// Opens the file for reading and writing in binary mode, creating it with
// PLATFORM_LOG_FILE_MODE when missing. Returns PLATFORM_NO_FILE with errno
// set on failure (a directory cannot be opened: EISDIR, EACCES on Windows).
// A symbolic link is not followed (ELOOP; EINVAL on Windows) and what is not
// a regular file is refused (EINVAL): the whole content is rewritten, and
// must not land in a file the link leads to.
[[nodiscard]] PlatformFile platform_data_open(const char* path);

// Takes an exclusive lock on the whole file as platform_file_lock does, but
// waits at most `timeout_ms` for another process to release its lock.
// Returns 1 when locked; 0 when the time ran out (errno ETIMEDOUT); -1 when
// the file cannot be locked at all (errno set).
[[nodiscard]] int platform_file_lock_within(PlatformFile file, int timeout_ms);

// Reads the whole file from its start into a new NUL-terminated heap buffer
// (*bytes, which the caller frees). Returns its size; -1 with errno set on a
// failed read or when there is no memory (*bytes null then); `limit` + 1
// without reading when the file holds more than `limit` bytes (*bytes null).
long long platform_data_read(PlatformFile file, char** bytes, long long limit);

// Makes `length` bytes the file's whole content. Returns 1, or 0 with errno
// set (the content may then be anything).
[[nodiscard]] int platform_data_replace(PlatformFile file, const char* bytes, std::size_t length);

// ---- sockets ----
//
// One outgoing IPv4 TCP connection, blocking from the caller's view but
// bounded in time: every wait takes a limit in milliseconds. A failure is
// reported by the result and recorded as the "last socket error", a Windows
// Sockets error code (10060 for a time-out), so that the socket error
// messages read the same on every platform. Writing to a connection that the
// peer closed is a failed send, never a signal that ends the process.

// The socket handle; PLATFORM_NO_SOCKET is no connection.
using PlatformSocket = std::intptr_t;
constexpr PlatformSocket PLATFORM_NO_SOCKET = -1;

// Windows Sockets error code of a time-out (WSAETIMEDOUT).
constexpr int SOCKET_ERROR_TIMED_OUT = 10060;

// process-wide state (defined in platform_posix.cpp / platform_win32.cpp):
// the Windows Sockets code of the latest socket operation's failure, 0 when
// it succeeded. Every socket operation below clears it when it starts and
// sets it when it fails; logging and file operations leave it alone.
extern int socket_last_error;

// Starts the sockets library, asking for version 1.1. Returns 0 on success
// and stores the version in use; otherwise returns the library's error code.
// Where no library needs starting it returns 0 with version 1.1.
[[nodiscard]] int platform_sockets_start(int* major_version, int* minor_version);

// The Windows Sockets code that corresponds to a system error number (errno
// on POSIX; on Windows the number already is one). A number without a
// counterpart is returned unchanged.
int platform_socket_error_code(int system_error);

// The 4-byte IPv4 address (network order) that inet_addr gives for a
// dotted-decimal text; a text that is not one gives 255.255.255.255
// (INADDR_NONE), as inet_addr does.
void platform_inet_addr(const char* text, unsigned char address[4]);

// Resolves a host name to its first IPv4 address within `timeout_ms` (0 or
// less: only what is known at once). Returns 1 and fills `address`; 0 when
// the name has no IPv4 address (the last error stays 0); -1 with the last
// error SOCKET_ERROR_TIMED_OUT when the time ran out. A lookup cut off at
// the limit goes on in the background until the name service answers, and
// its result is dropped. The limit holds on Windows (a worker thread) and
// with glibc (getaddrinfo_a); elsewhere the lookup takes as long as the name
// service takes.
[[nodiscard]] int platform_resolve_ipv4(const char* host, unsigned char address[4], int timeout_ms);

// A new IPv4 stream socket, or PLATFORM_NO_SOCKET (last error set).
[[nodiscard]] PlatformSocket platform_socket_open();

// Connects to address:port (only the low 16 bits of the port count), within
// `timeout_ms`. Sets TCP_NODELAY on the connection. Returns 0, or -1 with the
// last error set (SOCKET_ERROR_TIMED_OUT when the time ran out). The socket
// stays open either way.
[[nodiscard]] int platform_socket_connect(PlatformSocket socket, const unsigned char address[4], int port,
                                          int timeout_ms);

// Sends up to `length` (at least 1) bytes, waiting at most `timeout_ms` for
// room. Returns the number of bytes taken (at least 1, perhaps fewer than
// `length`), or -1 with the last error set.
[[nodiscard]] int platform_socket_send(PlatformSocket socket, const char* bytes, int length, int timeout_ms);

// Receives up to `capacity` (at least 1) bytes, waiting at most `timeout_ms`
// for them.
// Returns the number received, 0 when the peer closed the connection, or -1
// with the last error set (SOCKET_ERROR_TIMED_OUT when nothing came in time).
[[nodiscard]] int platform_socket_receive(PlatformSocket socket, char* bytes, int capacity, int timeout_ms);

// Gathers (hold true) or releases (hold false) the connection's outgoing
// bytes: while held, small sends are collected into full segments; the
// release sends what was collected at once. A command written as its text
// and its line end then leaves in one segment, so that a server never sees
// half a command and answers in two pieces (which, with the delayed
// acknowledgement of the reply, costs about 40 ms). Does nothing where the
// system offers no such option.
void platform_socket_gather(PlatformSocket socket, bool hold);

// Closes the socket; PLATFORM_NO_SOCKET is ignored.
void platform_socket_close(PlatformSocket socket);

// Milliseconds from an arbitrary start that never goes backwards.
long long platform_monotonic_ms();

// ---- TLS ----
//
// A TLS client session over a connected socket of the functions above, for
// mail submission (RFC 3207 STARTTLS, RFC 8314 implicit TLS). TLS 1.2 or
// later; the server's certificate must chain to a trusted root (the
// system's, or only those of a PEM file) and match the host name (RFC 6125:
// a DNS name of the certificate, its common name only when it has none; a
// dotted IPv4 host against its IP address entries). The host name goes out
// as SNI (RFC 6066), an address does not. There is no way to turn a check
// off. On Linux this is OpenSSL 3, whose libssl.so.3 is loaded the first
// time a session starts, so that a run without TLS never pays for loading
// it; on Windows it is Schannel (SSPI), with the chain and the name checked
// by this layer.
//
// Waits are bounded as the socket functions' are, and failures are reported
// the same way: the result, socket_last_error (SOCKET_ERROR_TIMED_OUT for a
// time-out, the socket's own code when the connection failed, and
// SOCKET_ERROR_TLS_FAILED when TLS itself failed), and tls_last_reason.

// One session; platform_tls_start makes it, platform_tls_close ends it.
struct PlatformTls;

constexpr int PLATFORM_TLS_REASON_SIZE = 256;
// The code recorded when TLS itself failed: a refused certificate, a failed
// handshake, a record that does not decrypt (WSAECONNABORTED).
constexpr int SOCKET_ERROR_TLS_FAILED = 10053;
// The size of a session's buffers of encrypted bytes: the largest TLS
// record, its 5-byte header and 2^14 + 2048 bytes (RFC 5246 6.2.3).
constexpr int PLATFORM_TLS_BUFFER_SIZE = 5 + 16384 + 2048;

// process-wide state (defined in platform_tls_openssl.cpp /
// platform_tls_schannel.cpp): why the latest TLS operation failed, in the
// TLS library's words where it has them ("certificate verify failed:
// certificate has expired"); "" after a failure of the socket underneath
// (see socket_last_error) and after a success. The loaded TLS library and
// its function table, once loaded, stay for the life of the process.
extern char tls_last_reason[PLATFORM_TLS_REASON_SIZE];

// Starts TLS as a client on the connected `socket`, which must hold no
// unread bytes of the plain conversation: the handshake, the certificate
// checks against `host` (lower case) and, when `ca_file` is not null, only
// the certificates of that PEM file as trusted roots. Everything takes at
// most `timeout_ms`. Returns the session, or null with the reason recorded
// (the socket stays open; nothing more may be sent on it in clear text).
[[nodiscard]] PlatformTls* platform_tls_start(PlatformSocket socket, const char* host, const char* ca_file,
                                              int timeout_ms);

// Encrypts and sends all `length` (at least 1) bytes within `timeout_ms`.
// Returns `length`, or -1 with the failure recorded.
[[nodiscard]] int platform_tls_send(PlatformTls* tls, const char* bytes, int length, int timeout_ms);

// Receives up to `capacity` (at least 1) decrypted bytes, waiting at most
// `timeout_ms` for them. Returns the number received, 0 when the server
// ended the session or closed the connection, or -1 with the failure
// recorded (SOCKET_ERROR_TIMED_OUT when nothing came in time).
[[nodiscard]] int platform_tls_receive(PlatformTls* tls, char* bytes, int capacity, int timeout_ms);

// Sends the close_notify alert if the socket takes it without waiting, and
// frees the session; the socket stays open. A null session is ignored.
void platform_tls_close(PlatformTls* tls);

// 1 when `pattern` (`length` bytes: a DNS name from a certificate, which may
// hold a NUL or other bytes a name never has) names `host` by the rules of
// RFC 6125 6.4: ASCII letters compared ignoring case; a '*' only as the
// whole left-most label of a pattern of at least three labels, standing for
// exactly one non-empty label of the host ("*.example.com" names
// "mail.example.com", not "example.com" nor "a.b.example.com"); a trailing
// dot on either side ignored. Never matches a host whose last label is a
// number (an address: no top-level domain is numeric).
// 0 otherwise. Used where this layer checks the name itself (Schannel).
int platform_tls_name_matches(const char* pattern, std::size_t length, const char* host);

// 1 when `host` is a dotted-decimal IPv4 address (four decimal numbers of
// 0 to 255 without leading zeros, nothing else), storing its 4 bytes in
// network order; 0 otherwise.
int platform_tls_ipv4_literal(const char* host, unsigned char address[4]);
