// config_internal.h - the ini reader's parts, for config/ itself, its unit
// tests and the fuzz targets. Other subsystems use config.h only.
#pragma once

#include <cstdio>

#include "config/config.h"

// ---- limits ----

constexpr int INI_LINE_SIZE = 63998;        // one read: at most 63997 characters + NUL
constexpr int TEXT_LIST_FIRST_ROOM = 8;     // entries; a TextList doubles its room when full
constexpr int CONSOLE_ANSWER_SIZE = 10000;  // the help's answer to its offer, read from the console

// ---- the ini reader (ini.cpp) ----

// Handles one ini line (already cut at its line end) as load_ini_file does:
// every keyword test in order, each one that takes effect counting the line
// as used, then the LOG_DEBUG line "line used from ini file {%s}" for a used
// line. A setting applies from its own line on (the `logging` line governs
// its own "line used" entry). "smtp_timeout N" sets smtp_timeout only for N
// written as plain decimal digits from SMTP_TIMEOUT_MIN to SMTP_TIMEOUT_MAX;
// any other value is ignored and the line is not counted; so is
// "log_max_size N" (kilobytes, LOG_MAX_SIZE_MIN to LOG_MAX_SIZE_MAX), which
// gives the log its size limit (log_set_max_size).
// "charset NAME" sets charset when NAME is 1 to CHARSET_NAME_LIMIT ASCII
// letters, digits and '-'; any other value changes nothing, is not counted
// and gives the LOG_ERROR line "charset line ignored, not a charset name
// {%s}" showing the line. "add_date_and_message_id" is a flag line.
// "allowed_recipient VALUE" appends VALUE to allowed_recipient_list when it
// is exactly one address (a local part, '@', a domain: the characters of
// is_local_part_character and is_domain_character, support.h) or an '@'
// followed by a domain; any other value (empty, "@", "nobody", one with a
// blank) changes nothing, is not counted and gives the LOG_ERROR line
// "allowed_recipient line ignored, not one address or @domain {%s}" showing
// the line. "honeypot_field NAME" and "required_field NAME" append NAME
// to their list once (an empty NAME is not counted; a line beyond
// FIELD_NAME_LINES_MAX gives "too many honeypot_field lines in ini file,
// line dropped {%s}"). "allowed_origin ORIGIN" appends what parse_origin
// reads; "rate_limit N SECONDS" sets rate_limit_count and
// rate_limit_seconds; "success_redirect URL" and "failure_redirect URL" keep
// a URL that redirect_url_acceptable takes. Any other value of these four is
// ignored with a LOG_ERROR line "<keyword> line ignored, ... {%s}".
// The `logging` line is passed on to the log
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

// Releases the text of every text keyword and the values of every list
// keyword, each back to absent or empty (for config_reset).
void release_ini_values();
