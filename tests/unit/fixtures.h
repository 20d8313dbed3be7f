// fixtures.h - what every unit test program shares: a scratch directory that
// holds the log and ini files, and a clean slate in every subsystem.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Each test starts with every subsystem reset, log_file_path and
// ini_file_path pointing into a fresh scratch directory, and ends with the
// directory removed.
class QuilletTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path inside the scratch directory.
  std::string scratch_path(const std::string& name) const;
  // The whole log file ("" when it does not exist).
  std::string log_text() const;
  // The log's messages: each line with its stamp and pid frame removed.
  std::vector<std::string> log_messages() const;
  // Writes `text` to the ini file.
  void write_ini(const std::string& text) const;

  std::string scratch_dir_;
};

// Reads a whole file as bytes ("" when it cannot be read).
std::string read_whole_file(const std::string& path);
// Writes a whole file as bytes.
void write_whole_file(const std::string& path, const std::string& bytes);
// Lets the process (a death test's child) map only `extra_bytes` more than
// it has mapped now, so that a large allocation fails.
void limit_address_space(long extra_bytes);
// Resets every subsystem's process-wide state; the log writes to
// log_file_path, as after the driver has named the files.
void reset_all_subsystems();
