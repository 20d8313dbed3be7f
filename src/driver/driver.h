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

// Fills ini_file_path and log_file_path from the program's path: "%s.ini"
// and "%s.log", cut after the first ".exe", then after the first ".cgi",
// which are replaced by the new extension. The log writes to log_file_path
// from then on (log_set_path).
void derive_file_names(const char* program_path);

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
