// help.cpp - the console help on the ini file and the demonstration ini file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "driver/driver.h"
#include "support/support.h"

// The help text, piece by piece.
static const char* const HELP_TEXT_PIECES[] = {
    "\nQUILLET - https://quillet.example.org/\n",
    "This program sends emails based upon the ini files and information submitted\n"
    " through standard HTTP post format (this is a cgi executable).\n\n",
    "Ini variable names are:\n",
    "\"smtp\"   - use once to specify smtp server.\n",
    "\"logging\"  - use once to specify logging (debug/errors)\n",
    "\"sendall\"  - use once to send all variables in the body (true/false).\n",
    "\"success_html_page\" - file to output if successful send of email.\n",
    "\"failure_html_page\" - file to output if failure to send email.\n",
    "\"headerline\" - static header entry e.g. \"headerline Subject: email\"\n",
    "\"use_submitted_variable_for_headerline\" - dynamic header entry e.g.\n"
    "   If submitted variable \"Subject:\" is set to \"email\", then\n"
    "   \"use_submitted_variable_for_headerline Subject:\" outputs \"Subject: email\" \n",
    "\"bodycontent_line\" - static body line e.g. \"bodycontent_line Users details:\"\n",
    "\"use_submitted_variable_for_bodycontent\" - dynamic body line entry e.g.\n"
    "   If submitted variable \"Name:\" is set to \"Joe Bloggs\", then\n"
    "   \"use_submitted_variable_for_bodycontent Name:\" outputs \"Name: Joe Bloggs\" \n",
    "Variables are outputed in the order that they are in, in the ini file.\n\n",
    "Headers that must be defined are: 'To:', 'From:' and 'Subject:'.\n",
    "The email address in the 'From:' header will be the bounce email address.\n",
    "The email address in the 'To:' header will be the recipient.\n\n",
};
static const int HELP_TEXT_PIECE_COUNT = sizeof HELP_TEXT_PIECES / sizeof HELP_TEXT_PIECES[0];

// A working configuration for a mail server on the same machine. The address
// is a placeholder in a domain reserved for examples.
static const char* const DEMO_INI_PIECES[] = {
    "smtp 127.0.0.1\n",
    "logging errors\n",
    "sendall false\n",
    "hello_method HELO\n",
    "success_html_page /html/success.html\n",
    "failure_html_page /html/failure.html\n\n",
    "headerline To: \"Me\" <webmaster@example.com>\n",
    "headerline From: \"Me\" <webmaster@example.com>\n",
    "headerline Subject: Form Submission Data\n",
    "use_submitted_variable_for_headerline Status:\n",
    "bodycontent_line Here are the details that they submitted:\n",
    "use_submitted_variable_for_bodycontent Name:\n",
    "use_submitted_variable_for_bodycontent Email:\n",
    "use_submitted_variable_for_bodycontent Interests:\n",
};
static const int DEMO_INI_PIECE_COUNT = sizeof DEMO_INI_PIECES / sizeof DEMO_INI_PIECES[0];

// Reads one console line; stores its first part up to a line end (or "" when
// there is none) in `destination`, which holds CONSOLE_ANSWER_SIZE bytes.
static void read_console_answer(char* destination) {
  static char answer[CONSOLE_ANSWER_SIZE];
  answer[0] = '\0';
  if (std::fgets(answer, CONSOLE_ANSWER_SIZE, stdin) == nullptr) answer[0] = '\0';
  const char* token = std::strtok(answer, "\r\n");
  std::snprintf(destination, CONSOLE_ANSWER_SIZE, "%s", token != nullptr ? token : "");
}

// The error number of a failed write, never 0.
static int write_error() { return errno != 0 ? errno : EIO; }

// The demonstration file could not be written (`error` says why).
static void report_demo_failure(int error) {
  log_event(LOG_DEBUG, "could not write demo ini file.");
  std::printf("Oh, I cant do that, (%d)(%s).", error, std::strerror(error));
}

static void offer_demo_ini_file() {
  std::fputs("Would you like me to generate a demo ini file for you?[y/n]", stdout);
  std::fflush(stdout);  // the prompt has no line end, and the answer follows it
  static char answer[CONSOLE_ANSWER_SIZE];
  read_console_answer(answer);
  if (answer[0] != 'y' && answer[0] != 'Y') return;

  std::printf("ini file is (%s).\n\n", ini_file_path);
  std::FILE* demo = std::fopen(ini_file_path, "w");
  if (demo == nullptr) {
    report_demo_failure(errno);
    return;
  }
  log_event(LOG_DEBUG, "writing demo ini file.");
  int error = 0;
  for (int i = 0; i < DEMO_INI_PIECE_COUNT && error == 0; i++)
    if (std::fputs(DEMO_INI_PIECES[i], demo) == EOF) error = write_error();
  // Most failures (a full disk, a size limit) show only when the buffered
  // pieces are written out at the close.
  if (std::fclose(demo) != 0 && error == 0) error = write_error();
  if (error == 0) return;
  // Half a configuration would be read by every later run: the file goes,
  // and the next console run offers it again.
  (void)std::remove(ini_file_path);
  report_demo_failure(error);
}

void help_and_first_run() {
  log_event(LOG_DEBUG, "argv[0] == %s", text_or_null(program_argc > 0 ? program_argv[0] : nullptr));
  log_event(LOG_DEBUG, "Log file == %s", log_file_path);
  log_event(LOG_DEBUG, "Ini file == %s", ini_file_path);
  if (program_argc <= 1) return;
  if (cgi_request) {
    log_event(LOG_DEBUG, "command line ignored in a CGI run (%d arguments).", program_argc - 1);
    return;
  }

  log_event(LOG_DEBUG, "printing help info.");
  for (int i = 0; i < HELP_TEXT_PIECE_COUNT; i++) std::fputs(HELP_TEXT_PIECES[i], stdout);

  std::FILE* existing = std::fopen(ini_file_path, "r");
  if (existing != nullptr) {
    std::fclose(existing);
  } else {
    int error = errno;
    log_event(LOG_DEBUG, "detected no ini file.");
    // Only a file that is really absent gets the offer; one that exists but
    // cannot be read is left alone.
    if (error == ENOENT) offer_demo_ini_file();
  }
  log_event(LOG_DEBUG, "ending.");
  std::exit(0);
}
