// fuzz_ini.cpp - the ini loader on any file: the line reader with its
// pieces, every keyword test, the line lists and their limit. The input is
// written to an ini file in a private scratch folder and loaded as a run
// loads it, after a small form has been decoded so that submitted-variable
// lines find values; then every header entry is classified as composing the
// message would. The log goes to /dev/null.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "driver/driver.h"
#include "form/form_internal.h"
#include "message/message.h"
#include "support/support.h"

static char scratch_folder[] = "/tmp/quillet-fuzz-ini-XXXXXX";
static bool scratch_ready = false;

static void remove_scratch() {
  std::remove(ini_file_path);
  rmdir(scratch_folder);
}

static bool prepare_scratch() {
  if (scratch_ready) return true;
  if (mkdtemp(scratch_folder) == nullptr) return false;
  std::snprintf(ini_file_path, sizeof ini_file_path, "%s/quillet.ini", scratch_folder);
  std::atexit(remove_scratch);
  scratch_ready = true;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!prepare_scratch()) return 0;
  log_set_path("/dev/null");

  std::FILE* ini = std::fopen(ini_file_path, "wb");
  if (ini == nullptr) return 0;
  bool written = std::fwrite(data, 1, size, ini) == size;
  if (std::fclose(ini) != 0 || !written) return 0;

  char form[] = "Name:=Joe&From:=jo%40example.org&=unnamed&To=a@b.c";
  decode_form_body(form);
  load_ini_file();

  if (header_line_list.count > MAX_LINE_ENTRIES || body_line_list.count > MAX_LINE_ENTRIES) std::abort();
  if (configuration.smtp_timeout < SMTP_TIMEOUT_MIN || configuration.smtp_timeout > SMTP_TIMEOUT_MAX) std::abort();
  for (int i = 0; i < header_line_list.count; i++)
    (void)classify_header_line(header_line_list.entries[i].label, header_line_list.entries[i].content);

  message_reset();
  config_reset();
  form_reset();
  return 0;
}
