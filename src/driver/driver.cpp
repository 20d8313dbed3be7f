// driver.cpp - file names, console commands and the run sequence.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "driver/driver.h"
#include "form/form.h"
#include "message/message.h"
#include "quillet_version.h"
#include "reply/reply.h"
#include "support/support.h"

// ---- process-wide state ----

const char PROGRAM_VERSION[] = QUILLET_VERSION;

int program_argc = 0;
char** program_argv = nullptr;
char ini_file_path[FILE_NAME_BUFFER_SIZE];
char log_file_path[FILE_NAME_BUFFER_SIZE];
char rate_file_path[FILE_NAME_BUFFER_SIZE];
bool cgi_request = false;

const char VERSION_BANNER_FORMAT[] =
    "quillet %s - turns an HTML form POST into one e-mail.\n"
    "A web server runs it as a CGI program. \"-FAQ\" prints its questions and answers,\n"
    "\"-blanklog\" empties its log, and any other argument prints help on its ini file.\n";

// Formats "<path><extension>" into `name` and cuts it after the first ".exe"
// and then after the first ".cgi", either of which becomes the extension.
static void derive_one_name(char* name, const char* program_path, const char* extension) {
  std::snprintf(name, FILE_NAME_LIMIT + 1, "%s%s", text_or_null(program_path), extension);
  static const char* const EXECUTABLE_SUFFIXES[] = {".exe", ".cgi"};
  for (const char* suffix : EXECUTABLE_SUFFIXES) {
    char* found = std::strstr(name, suffix);
    if (found != nullptr) std::memcpy(found, extension, std::strlen(extension) + 1);
  }
}

void derive_file_names(const char* program_path) {
  derive_one_name(ini_file_path, program_path, ".ini");
  derive_one_name(log_file_path, program_path, ".log");
  derive_one_name(rate_file_path, program_path, ".rate");
  log_set_path(log_file_path);
}

void blank_log_command() {
  std::FILE* log = platform_create_text_file(log_file_path);
  if (log == nullptr) {
    int error = errno;
    std::printf("cant open %s for output %d %s\n", log_file_path, error, std::strerror(error));
    std::exit(EXIT_COMMAND_FAILED);
  }
  if (std::fprintf(log, "This is the log file for quillet\n") < 0) {
    int error = errno;
    std::printf("cant write to %s for output %d %s\n", log_file_path, error, std::strerror(error));
    std::exit(EXIT_COMMAND_FAILED);
  }
  if (std::fclose(log) != 0) {
    int error = errno;
    std::printf("cant close %s for output %d %s\n", log_file_path, error, std::strerror(error));
    std::exit(EXIT_COMMAND_FAILED);
  }
  std::exit(0);
}

// One CGI request, stage by stage; each stage logs its progress line first.
static int run_sequence() {
  // The log's size limit holds from the run's first line on.
  load_log_settings();
  log_event(LOG_DEBUG, "starting version %s", PROGRAM_VERSION);
  help_and_first_run();
  log_event(LOG_DEBUG, "getting form info.");
  read_form_data();
  // The form comes first: the ini file's submitted-variable lines look
  // their values up while it is read.
  log_event(LOG_DEBUG, "loading config file.");
  load_ini_file();
  log_event(LOG_DEBUG, "generating email.");
  check_and_send();
  if (reply_variant_of(reply_facts.outcome) == REPLY_SUCCESS)
    log_event(LOG_DEBUG, "sending success reply message.");
  else
    log_event(LOG_DEBUG, "sending failure reply message.");
  write_reply();
  // A web server that gave up on the request (its visitor went away, its
  // CGI timer ran out) has closed the pipe: the reply is lost, which the log
  // says, and the run still ends normally.
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    int error = errno;
    log_event(LOG_ERROR, "the reply could not be written to the web server for the reason (%d)(%s).", error,
              std::strerror(error));
  }
  log_event(LOG_DEBUG, "ended.");
  return 0;
}

int quillet_main(int argc, char** argv) {
  platform_prepare_process();
  program_argc = argc;
  program_argv = argv;
  derive_file_names(argc > 0 ? argv[0] : nullptr);
  cgi_request = std::getenv("GATEWAY_INTERFACE") != nullptr;
  if (cgi_request) return run_sequence();

  if (argc == 2 && (std::strcmp(argv[1], "-version") == 0 || std::strcmp(argv[1], "-?") == 0)) {
    std::printf(VERSION_BANNER_FORMAT, PROGRAM_VERSION);
    std::exit(0);
  }
  if (argc == 2 && std::strcmp(argv[1], "-FAQ") == 0) {
    write_faq_page();
    std::exit(0);
  }
  if (argc == 2 && std::strcmp(argv[1], "-blanklog") == 0) blank_log_command();
  if (argc >= 2 && std::strcmp(argv[1], "-version_insert_filename") == 0)
    release_rename_command(argc, argv);
  return run_sequence();
}
