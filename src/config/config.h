// config.h - the ini file beside the executable: the Configuration record,
// the HeaderLineList and BodyLineList, the ini reader, the help text and the
// demonstration ini file.
#pragma once

// ---- limits ----

constexpr int INI_LINE_BUFFER_SIZE = 64000;  // the one buffer every ini line is read into
constexpr int MAX_LINE_ENTRIES = 1000;       // room in each of the two line lists
constexpr int SMTP_TIMEOUT_DEFAULT = 30;     // seconds for the whole delivery: lookup, connect, sends, replies
constexpr int SMTP_TIMEOUT_MIN = 1;
constexpr int SMTP_TIMEOUT_MAX = 3600;
constexpr int CHARSET_NAME_LIMIT = 40;       // characters of the name in "charset NAME"
constexpr int ORIGIN_SCHEME_SIZE = 33;  // a scheme of up to 32 characters
constexpr int ORIGIN_HOST_SIZE = 256;   // a host of up to 255 characters (RFC 1035 2.3.4)
constexpr int ORIGIN_PORT_MAX = 65535;
constexpr int ORIGIN_NO_PORT = -1;      // a scheme without a default port, and none given
constexpr int FIELD_NAME_LINES_MAX = 100;     // honeypot_field lines, and required_field lines
constexpr int RATE_LIMIT_COUNT_MAX = 100000;  // rate_limit N: 1 to this many messages
constexpr int RATE_LIMIT_SECONDS_MAX = 31536000;  // ... in a window of 1 second to a year

// ---- records ----

// The settings of the ini file. Text fields are absent (null) until their
// line is read; each holds its own heap copy.
struct Configuration {
  char* smtp;               // server host or dotted IPv4 address, optionally ":port"
  char* logging;            // LOG_DEBUG lines only while absent or beginning with "debug"
  char* sendall;            // "true" lists every submitted variable in the body
  char* success_html_page;  // reply page after a delivered message
  char* failure_html_page;  // reply page otherwise
  char* smtp_tls;           // "starttls" or "implicit"; absent: plain SMTP
  char* smtp_tls_ca_file;   // PEM file of the trusted roots; absent: the system's
  char* smtp_user;          // the login (SMTP AUTH), with smtp_password
  char* smtp_password;      // never logged
  bool remove_empty_variables;
  bool no_padding;
  bool add_headerline_colon;
  bool use_helo;         // true: "HELO QUILLET", one command at a time
  bool add_orlund_link;  // the link line at the foot of reply pages
  const char* email_line_end;  // "\n" or "\r\n": shapes the composed message
  int smtp_timeout;            // seconds; the ini line "smtp_timeout N"
  bool add_date_and_message_id;  // the header block gains Date and Message-ID
  // "charset NAME": the MIME header lines, header contents as RFC 2047
  // encoded-words and a 7bit, 8bit or quoted-printable body. Absent: none.
  char* charset;
  char* success_redirect;      // an http(s) address the success reply sends the browser to
  char* failure_redirect;      // ... and the failure reply
  int rate_limit_count;        // "rate_limit N SECONDS": N, 0 while there is no limit
  int rate_limit_seconds;      // ... and SECONDS
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

// The values of one list keyword's lines (allowed_recipient), in ini file
// order, each its own heap copy. `entries` holds `room` pointers, null while
// the list is empty.
struct TextList {
  char** entries;
  int count;
  int room;
};

// An origin as RFC 6454 compares them: scheme, host and port. Scheme and
// host are kept lower-cased (ASCII), the port as given or, when none is
// given, the scheme's default (80 for http, 443 for https).
struct WebOrigin {
  char scheme[ORIGIN_SCHEME_SIZE];
  char host[ORIGIN_HOST_SIZE];
  int port;
};

// The origins of the valid allowed_origin lines, in ini file order.
// `entries` holds `room` records, null while empty.
struct AllowedOriginList {
  WebOrigin* entries;
  int count;
  int room;
};

// ---- process-wide state (defined in configuration.cpp) ----

extern Configuration configuration;
extern LineList header_line_list;  // the HeaderLineList, in ini file order
extern LineList body_line_list;    // the BodyLineList, in ini file order
// The valid allowed_recipient lines' values: each an address
// ("owner@example.com") or an '@' and a domain ("@example.com").
extern TextList allowed_recipient_list;
extern AllowedOriginList allowed_origin_list;  // the valid allowed_origin lines' origins
// The valid honeypot_field lines' names, and the required_field lines',
// each name once, at most FIELD_NAME_LINES_MAX.
extern TextList honeypot_field_list;
extern TextList required_field_list;

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

// ---- help and the demonstration ini file (help.cpp) ----

// Logs the program, log and ini file names. Returns only when the program
// was started without arguments or by a web server (cgi_request: its
// arguments are then ignored, with a LOG_DEBUG line); otherwise prints the
// help text, offers the demonstration ini file when there is none, and ends
// the process with 0. A demonstration file that cannot be created, or not
// written whole, gives the LOG_DEBUG line "could not write demo ini file."
// and "Oh, I cant do that, (%d)(%s)." on standard output with the error
// number and its text; a file that was created but not written whole is
// removed.
void help_and_first_run();


// ---- origins and redirect addresses (origin.cpp) ----

// Reads an origin as a browser sends it in an Origin header: a scheme,
// "://", a host and optionally ':' and a port, nothing else; with
// `trailing_slash` true (an ini file's value), one '/' may follow. A scheme
// is a letter, then letters, digits, '+', '-', '.'; a host is letters,
// digits, '-', '.', '_', or an IPv6 address in brackets; a port is decimal
// digits up to 65535 (none, or "host:", gives the default). Anything else
// ("null", a path, user information, a blank, '%', a backslash) gives
// false.
bool parse_origin(const char* text, bool trailing_slash, WebOrigin* origin);

// The origin of an absolute URL such as an HTTP Referer: its scheme, host
// and port, up to the first '/', '?' or '#' after the host (or the end). A
// URL whose authority holds user information ("https://a@b/") gives false:
// browsers never send one, and it would name a host other than it seems
// to. So does whatever parse_origin refuses in the parts it reads.
bool parse_url_origin(const char* url, WebOrigin* origin);

// Scheme, host and port all equal.
bool origins_equal(const WebOrigin& a, const WebOrigin& b);

// Whether `origin` equals one of allowed_origin_list's.
bool origin_allowed(const WebOrigin& origin);

// Whether `url` may be a success_redirect or failure_redirect: "http://" or
// "https://" (either in any case of letters), then a host part that does
// not begin with '/' or '\', and no blank, control character (below 0x20,
// or 0x7F) or byte above 0x7F anywhere.
bool redirect_url_acceptable(const char* url);
