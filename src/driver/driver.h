// driver.h - the program's entry point: the names of the ini and log files,
// the console commands and the fixed run sequence of one CGI request.
#pragma once

// ---- limits ----

constexpr int FILE_NAME_BUFFER_SIZE = 64000;  // ini_file_path, log_file_path
constexpr int FILE_NAME_LIMIT = 63990;        // characters formatted into them
constexpr int RELEASE_TEXT_SIZE = 10000;      // the release rename's working texts

// The version text: in the banner, the first log line and release names.
extern const char PROGRAM_VERSION[];

// ---- process-wide state (defined in driver.cpp) ----

// The argument count and vector exactly as main received them.
extern int program_argc;
extern char** program_argv;
// The ini and log file beside the executable, derived from argv[0].
extern char ini_file_path[FILE_NAME_BUFFER_SIZE];
extern char log_file_path[FILE_NAME_BUFFER_SIZE];
// The rate limit's counts, beside the log.
extern char rate_file_path[FILE_NAME_BUFFER_SIZE];
// Set when the environment holds GATEWAY_INTERFACE: a web server started the
// program, which then carries out the CGI run whatever its arguments say.
// Web servers turn a query string without "=" into arguments (RFC 3875 4.4),
// so in a CGI run they are a visitor's words, never a console command.
extern bool cgi_request;

// ---- operations ----

// Everything main does: readies the process (platform_prepare_process),
// saves the arguments, derives the file names, carries out a console command
// (which ends the process; never in a CGI run) or runs the sequence of one
// CGI request and returns 0. A reply that cannot be written (the web server closed standard
// output) is a LOG_ERROR line, and the run still returns 0.
int quillet_main(int argc, char** argv);

// Fills ini_file_path, log_file_path and rate_file_path from the program's
// path: "%s.ini", "%s.log" and "%s.rate", cut after the first ".exe", then
// after the first ".cgi", which are replaced by the new extension. The log
// writes to log_file_path from then on (log_set_path).
void derive_file_names(const char* program_path);

// The checks of one request, in this order, and the delivery when it passes
// them all; stores the outcome in reply_facts (reply.h) for write_reply,
// with the request's Origin when an allowed_origin line lists it. Each
// check that stops the message logs one LOG_ERROR line.
//  1. A honeypot_field that holds anything: RUN_HONEYPOT.
//  2. With allowed_origin lines, the Origin (or, without one, the Referer)
//     must name a listed origin: RUN_ORIGIN_REFUSED.
//  3. Every required_field must hold more than blanks: RUN_MISSING_FIELDS,
//     with the missing names in reply_facts.
//  4. The message is composed and checked (compose_email):
//     RUN_INVALID_MESSAGE or RUN_RECIPIENT_REFUSED.
//  5. With a rate_limit, the message is counted for the client's address
//     (rate_limit_take): RUN_RATE_LIMITED when the limit is reached. Only a
//     message that passed every other check is counted.
//  6. send_composed_email: RUN_SENT or RUN_NOT_DELIVERED.
void check_and_send();

// The text that "-version" and "-?" print.
extern const char VERSION_BANNER_FORMAT[];

// -blanklog: empties the log and writes its first line; a log it creates gets
// PLATFORM_LOG_FILE_MODE. Ends the process: 0 on success,
// EXIT_COMMAND_FAILED with a message on standard output.
[[noreturn]] void blank_log_command();

// -version_insert_filename: renames argv[2] so that the version (and the
// optional chip and system tags) follow the program's base name. Ends the
// process: 0 after a rename, EXIT_COMMAND_FAILED after a refusal or a failed
// rename. Writes only to standard output.
[[noreturn]] void release_rename_command(int argc, char** argv);

// The name release_rename_command would give `target` (no file touched);
// returns 1 when it would rename, 0 when it would refuse. Each output buffer
// holds RELEASE_TEXT_SIZE bytes.
int release_new_name(const char* program_path, const char* target, const char* os_tag,
                     const char* chip_tag, char* base, char* version, char* new_name);

// ---- the rate limit (rate_limit.cpp) ----
//
// The rate file beside the log holds, for each client address that sent a
// message within the longest window in use, the times of those messages:
//
//     quillet rate file 1
//     <key> <time>:<count> [<time>:<count> ...]
//
// one line per address, the key as rate_client_key gives it, then up to
// RATE_SLOTS slots, oldest first, each a time (seconds since 1970) and the
// number of messages counted at that time. It is read and rewritten whole
// under an exclusive lock.

struct TextBuffer;

constexpr int RATE_KEY_SIZE = 48;               // the longest key and its NUL
constexpr int RATE_FILE_MAX_ADDRESSES = 10000;  // the stalest go first beyond this
constexpr int RATE_SLOTS = 16;                  // times kept per address
constexpr int RATE_LOCK_TIMEOUT_MS = 1000;      // then the message goes without the check
constexpr long long RATE_FILE_MAX_BYTES = 8LL * 1024 * 1024;  // a longer file is damaged
extern const char RATE_FILE_HEADER[];           // the first line, without its line feed

// What became of one message under the rate limit.
enum RateOutcome {
  RATE_COUNTED,      // within the limit, and counted
  RATE_REFUSED,      // the limit is reached: not to be sent
  RATE_NOT_APPLIED,  // the rate file could not be used: sent unchecked
};

// The key under which a client address is counted, written into `key` of
// RATE_KEY_SIZE bytes: an IPv4 address in dotted decimal ("192.0.2.1"); an
// IPv6 address by its /64, "2001:db8:0:7::/64" (its first four groups in
// lower-case hex); an IPv4 address mapped into IPv6 ("::ffff:192.0.2.1") as
// that IPv4 address; anything else, an absent address included,
// "unknown".
void rate_client_key(const char* remote_address, char* key);

// The decision for one message from `key` at `now` under "at most `limit`
// messages in any `seconds`", on the rate file's text `text` (NUL-ended;
// empty for a new file). Slots that ended `seconds` or more before `now` are
// dropped (a time after `now`, as after the clock was set back, counts as
// `now`). When the key's slots hold `limit` messages or more: RATE_REFUSED,
// and `updated` is left alone. Otherwise the message is counted at `now`
// (a key that already has RATE_SLOTS slots first merges its two oldest into
// one, at the later time: never fewer counted, so the limit still holds
// whatever `limit` is), and beyond RATE_FILE_MAX_ADDRESSES addresses the one
// whose latest message is oldest is dropped; `updated` receives the file's
// new text and the result is RATE_COUNTED. *damaged is set when `text` is
// not a rate file (a wrong first line, a line that does not read as above,
// a key twice, too many addresses, a text cut short); it is then taken as
// empty. Ends the run with the fatal page "Unable to malloc memory" when
// there is no memory.
RateOutcome rate_table_take(const char* text, const char* key, int limit, int seconds, long long now,
                            TextBuffer* updated, bool* damaged);

// Counts one message from `key` in the rate file `path` (rate_table_take),
// under an exclusive lock taken within RATE_LOCK_TIMEOUT_MS, creating the
// file when missing. A file that cannot be opened, read, locked in time or
// written gives RATE_NOT_APPLIED and one LOG_ERROR line that says why:
// "rate limit not applied: ..."; a damaged one is started afresh, with the
// LOG_ERROR line "the rate file (%s) was damaged and is started afresh.".
RateOutcome rate_limit_take(const char* path, const char* key, int limit, int seconds, long long now);
