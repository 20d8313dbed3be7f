// fixtures.cpp - the shared unit test fixture.
#include "fixtures.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "config/config.h"
#include "driver/driver.h"
#include "form/form.h"
#include "message/message.h"
#include "reply/reply.h"
#include "smtp/smtp.h"
#include "support/support.h"

void reset_all_subsystems() {
  support_reset();
  // As the driver does once it has named the files.
  log_set_path(log_file_path);
  config_reset();
  form_reset();
  message_reset();
  reply_reset();
  smtp_reset();
}

void limit_address_space(long extra_bytes) {
  long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::exit(100);
  std::fclose(statm);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * 4096 + static_cast<rlim_t>(extra_bytes);
  setrlimit(RLIMIT_AS, &limit);
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_whole_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

void QuilletTest::SetUp() {
  char pattern[] = "/tmp/quillet-unit-XXXXXX";
  char* made = mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  scratch_dir_ = made;
  reset_all_subsystems();
  std::snprintf(log_file_path, sizeof log_file_path, "%s/quillet.log", scratch_dir_.c_str());
  std::snprintf(ini_file_path, sizeof ini_file_path, "%s/quillet.ini", scratch_dir_.c_str());
}

void QuilletTest::TearDown() {
  reset_all_subsystems();
  std::error_code ignored;
  std::filesystem::remove_all(scratch_dir_, ignored);
}

std::string QuilletTest::scratch_path(const std::string& name) const { return scratch_dir_ + "/" + name; }

std::string QuilletTest::log_text() const { return read_whole_file(log_file_path); }

std::vector<std::string> QuilletTest::log_messages() const {
  std::vector<std::string> messages;
  std::istringstream lines(log_text());
  std::string line;
  while (std::getline(lines, line)) {
    // "<stamp> - pid(<n>) - <message>"
    std::size_t frame = line.find(") - ");
    if (line.find(" - pid(") != std::string::npos && frame != std::string::npos)
      messages.push_back(line.substr(frame + 4));
    else
      messages.push_back(line);
  }
  return messages;
}

void QuilletTest::write_ini(const std::string& text) const { write_whole_file(ini_file_path, text); }
