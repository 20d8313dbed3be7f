// Unit tests of the driver: file names from the program's path, and the
// names the release rename builds.
#include <string>

#include "driver/driver.h"
#include "fixtures.h"

namespace {

using DriverTest = QuilletTest;

TEST_F(DriverTest, FileNamesFromTheProgramPath) {
  struct Row {
    const char* program;
    const char* ini;
    const char* log;
  } rows[] = {
      {"C:\\web\\cgi-bin\\quillet.exe", "C:\\web\\cgi-bin\\quillet.ini", "C:\\web\\cgi-bin\\quillet.log"},
      {"/cgi-bin/quillet.cgi", "/cgi-bin/quillet.ini", "/cgi-bin/quillet.log"},
      {"quillet", "quillet.ini", "quillet.log"},
      {"QUILLET.EXE", "QUILLET.EXE.ini", "QUILLET.EXE.log"},
      {"C:\\a.exe.d\\x.exe", "C:\\a.ini", "C:\\a.log"},
      {"/srv/www.cgi/bin/form.exe", "/srv/www.ini", "/srv/www.log"},
      {"/usr/lib/cgi-bin/quillet", "/usr/lib/cgi-bin/quillet.ini", "/usr/lib/cgi-bin/quillet.log"},
      {"", ".ini", ".log"},
  };
  for (const Row& row : rows) {
    derive_file_names(row.program);
    EXPECT_STREQ(ini_file_path, row.ini) << row.program;
    EXPECT_STREQ(log_file_path, row.log) << row.program;
  }
}

TEST_F(DriverTest, OverlongProgramPathIsCutToTheBuffer) {
  std::string program(70000, 'p');
  derive_file_names(program.c_str());
  EXPECT_EQ(std::string(ini_file_path), std::string(FILE_NAME_LIMIT, 'p'));
}

TEST_F(DriverTest, ReleaseNames) {
  struct Row {
    const char* program;
    const char* target;
    const char* os;
    const char* chip;
    const char* new_name;
    int accepted;
  } rows[] = {
      {"C:\\build\\quillet.exe", "quillet.zip", "", "", "quillet10w.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "nt", "", "quillet10w_nt.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "nt", "x86", "quillet10w_x86-nt.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "", "x86", "quillet10w_x86.zip", 1},
      {"C:\\build\\quillet.exe", "quillet_setup.exe", "nt", "", "quillet10w_nt_setup.exe", 1},
      {"C:\\build\\quillet.exe", "other.zip", "", "", "quillet10wip", 0},
      {"C:\\build\\quillet.exe", "dist\\quillet.zip", "", "", "quillet10willet.zip", 0},
      {"./quillet", "quillet", "", "", "quillet10w", 1},
      {"quillet", "quillet.tar.gz", "", "", "quillet10w.tar.gz", 1},
      {"C:\\build\\quillet.old.exe", "quillet.zip", "", "", "quillet10w.zip", 1},
      {"/opt/.hidden", "anything", "", "", "10wanything", 0},
  };
  for (const Row& row : rows) {
    char base[RELEASE_TEXT_SIZE];
    char version[RELEASE_TEXT_SIZE];
    char new_name[RELEASE_TEXT_SIZE];
    int accepted = release_new_name(row.program, row.target, row.os, row.chip, base, version, new_name);
    EXPECT_STREQ(new_name, row.new_name) << row.program << " " << row.target;
    EXPECT_EQ(accepted, row.accepted) << row.program << " " << row.target;
    EXPECT_STREQ(version, "10w");
  }
}

}  // namespace
