// config.h - the ini file beside the executable: the Configuration record,
// the HeaderLineList and BodyLineList, the ini reader, the help text and the
// demonstration ini file.
#pragma once

#include <cstdio>

// ---- limits ----

constexpr int INI_LINE_BUFFER_SIZE = 64000;  // the one buffer every ini line is read into
constexpr int INI_LINE_SIZE = 63998;         // one read: at most 63997 characters + NUL
constexpr int MAX_LINE_ENTRIES = 1000;       // room in each of the two line lists
constexpr int CONSOLE_ANSWER_SIZE = 10000;   // read_console_answer's buffers
constexpr int SMTP_TIMEOUT_DEFAULT = 30;     // seconds for the whole delivery: lookup, connect, sends, replies
constexpr int SMTP_TIMEOUT_MIN = 1;
constexpr int SMTP_TIMEOUT_MAX = 3600;
constexpr int ALLOWED_RECIPIENT_FIRST_ROOM = 8;  // entries; the list doubles its room when full

// ---- records ----

// The settings of the ini file. Text fields are absent (null) until their
// line is read; each holds its own heap copy.
struct Configuration {
  char* smtp;               // server host or dotted IPv4 address, optionally ":port"
  char* logging;            // LOG_DEBUG lines only while absent or beginning with "debug"
  char* sendall;            // "true" lists every submitted variable in the body
  char* success_html_page;  // reply page after a delivered message
  char* failure_html_page;  // reply page otherwise
  bool remove_empty_variables;
  bool no_padding;
  bool add_headerline_colon;
  bool use_helo;         // true: "HELO QUILLET", one command at a time
  bool add_orlund_link;  // the link line at the foot of reply pages
  const char* email_line_end;  // "\n" or "\r\n": shapes the composed message
  int smtp_timeout;            // seconds; the ini line "smtp_timeout N"
};

// One header or body line of the ini file: for a static line the label is
// the whole text and the content is ""; for a submitted-variable line the
// label names the form variable and the content is its submitted value.
struct LineEntry {
  char* label;
  char* content;
};

struct LineList {
  LineEntry entries[MAX_LINE_ENTRIES];
  int count;
};

// The values of the valid allowed_recipient lines, in ini file order, each
// its own heap copy: an address ("owner@example.com") or an '@' and a domain
// ("@example.com"). `entries` holds `room` pointers, null while empty.
struct AllowedRecipientList {
  char** entries;
  int count;
  int room;
};

// ---- process-wide state (defined in configuration.cpp) ----

extern Configuration configuration;
extern LineList header_line_list;  // the HeaderLineList, in ini file order
extern LineList body_line_list;    // the BodyLineList, in ini file order
extern AllowedRecipientList allowed_recipient_list;

// Back to the defaults of process start, every list empty, and the log's
// settings that the ini file gives back to theirs (tests only; the old
// copies are released).
void config_reset();

// ---- the allowed_recipient list (configuration.cpp) ----

// Whether a recipient taken from a submitted value may be used. True when
// allowed_recipient_list is empty (no valid allowed_recipient line: every
// recipient may be used, as without the setting); otherwise true only when
// `address` equals a listed address, or ends in a listed "@domain" after a
// local part that holds neither '%' nor '!' (the old routing forms
// "user%elsewhere@domain" and "elsewhere!user@domain", which mail servers
// such as Postfix still follow to the other host). Letters are compared
// ignoring ASCII case. So "a@sub.example.com" and "a@example.com.evil.test"
// do not end in "@example.com".
bool recipient_allowed(const char* address);

// ---- the ini reader (ini.cpp) ----

// Reads ini_file_path once and fills the Configuration and both lists,
// looking submitted values up with form_value. A file that cannot be opened
// ends the run with the fatal page "The ini file could not be opened.".
void load_ini_file();

// Reads ini_file_path for its "log_max_size N" lines only and gives the log
// the limit of the last valid one, so that the limit holds from a run's
// first line on (load_ini_file, which reads the file again, comes after the
// form). Logs nothing; a file that cannot be opened leaves the log as it is.
void load_log_settings();

// Handles one ini line (already cut at its line end) as load_ini_file does:
// every keyword test in order, each one that takes effect counting the line
// as used, then the LOG_DEBUG line "line used from ini file {%s}" for a used
// line. A setting applies from its own line on (the `logging` line governs
// its own "line used" entry). "smtp_timeout N" sets smtp_timeout only for N
// written as plain decimal digits from SMTP_TIMEOUT_MIN to SMTP_TIMEOUT_MAX;
// any other value is ignored and the line is not counted; so is
// "log_max_size N" (kilobytes, LOG_MAX_SIZE_MIN to LOG_MAX_SIZE_MAX), which
// gives the log its size limit (log_set_max_size).
// "allowed_recipient VALUE" appends VALUE to allowed_recipient_list when it
// is exactly one address (a local part, '@', a domain: the characters of
// is_local_part_character and is_domain_character, support.h) or an '@'
// followed by a domain; any other value (empty, "@", "nobody", one with a
// blank) changes nothing, is not counted and gives the LOG_ERROR line
// "allowed_recipient line ignored, not one address or @domain {%s}" showing
// the line. The `logging` line is passed on to the log
// (log_apply_logging_setting). A text copy that cannot be allocated ends the
// run with the fatal page "Unable to malloc memory".
void handle_ini_line(const char* line);

// Append an entry holding copies of `label` and `content` after the LOG_DEBUG
// line "add_header_line(%s,%s)" (or "add_body_variable(%s,%s}") and return 1.
// A list that already holds MAX_LINE_ENTRIES entries stays as it is: the
// entry is dropped with the LOG_ERROR line "too many header lines in ini
// file, line dropped {%s}" (or "too many body lines ...") showing `ini_line`,
// and 0 is returned; so is 0 for a missing label or content. A dropped line
// does not count as used.
int add_header_line(const char* label, const char* content, const char* ini_line);
int add_body_variable(const char* label, const char* content, const char* ini_line);

// The next line of `file` in the shared line buffer of INI_LINE_BUFFER_SIZE
// bytes (valid until the next read), or null at the end of the file or after
// a failed read. One read takes at most INI_LINE_SIZE - 1 characters, so a
// longer line arrives in pieces.
char* read_ini_line(std::FILE* file);

// Ends the line at its first carriage return, then at its first line feed.
void cut_line_end(char* line);

// ---- help and the demonstration ini file (help.cpp) ----

// Logs the program, log and ini file names. Returns only when the program
// was started without arguments or by a web server (cgi_request: its
// arguments are then ignored, with a LOG_DEBUG line); otherwise prints the
// help text, offers the demonstration ini file when there is none, and ends
// the process with 0.
void help_and_first_run();

// Reads one console line; stores its first part up to a line end (or "" when
// there is none) in `destination`, which holds CONSOLE_ANSWER_SIZE bytes.
void read_console_answer(char* destination);

// The help text and the demonstration file, piece by piece.
extern const char* const HELP_TEXT_PIECES[];
extern const int HELP_TEXT_PIECE_COUNT;
extern const char* const DEMO_INI_PIECES[];
extern const int DEMO_INI_PIECE_COUNT;
