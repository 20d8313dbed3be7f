// release.cpp - the -version_insert_filename command: gives a release file a
// name that carries the version and optional chip and system tags.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "platform/platform.h"
#include "support/support.h"

// The program's base name: the part of its path after the last slash or
// backslash, cut before its first ".".
static void program_base_name(const char* program_path, char* base) {
  const char* start = program_path;
  for (const char* p = program_path; *p != '\0'; p++)
    if (*p == '/' || *p == '\\') start = p + 1;
  size_t length = std::strcspn(start, ".");
  if (length > RELEASE_TEXT_SIZE - 1) length = RELEASE_TEXT_SIZE - 1;
  std::memcpy(base, start, length);
  base[length] = '\0';
}

int release_new_name(const char* program_path, const char* target, const char* os_tag,
                     const char* chip_tag, char* base, char* version, char* new_name) {
  int v = 0;
  for (const char* p = PROGRAM_VERSION; *p != '\0' && v < RELEASE_TEXT_SIZE - 1; p++)
    if (*p != '.') version[v++] = *p;
  version[v] = '\0';
  program_base_name(text_or_null(program_path), base);

  const char* dash = (*os_tag != '\0' && *chip_tag != '\0') ? "-" : "";
  const char* underscore = (*os_tag != '\0' || *chip_tag != '\0') ? "_" : "";
  size_t base_length = std::strlen(base);
  const char* rest = std::strlen(target) > base_length ? target + base_length : "";
  std::snprintf(new_name, RELEASE_TEXT_SIZE, "%s%s%s%s%s%s%s", base, version, underscore, chip_tag,
                dash, os_tag, rest);
  return base_length > 0 && std::strncmp(target, base, base_length) == 0;
}

void release_rename_command(int argc, char** argv) {
  const char* os_tag = "";
  if (argc >= 4 && std::strcmp(argv[3], "-os") == 0) os_tag = argc >= 5 ? argv[4] : "";
  const char* chip_tag = "";
  if (argc >= 6 && std::strcmp(argv[5], "-chip") == 0) chip_tag = argc >= 7 ? argv[6] : "";
  if (std::strcmp(os_tag, "-chip") == 0) os_tag = "";

  static char target[RELEASE_TEXT_SIZE];
  static char version[RELEASE_TEXT_SIZE];
  static char base[RELEASE_TEXT_SIZE];
  static char new_name[RELEASE_TEXT_SIZE];
  const char* file = argc >= 3 ? argv[2] : nullptr;
  std::snprintf(target, sizeof target, "%s", text_or_null(file));

  int acceptable = release_new_name(argv[0], target, os_tag, chip_tag, base, version, new_name);
  // Without argv[2] there is nothing to rename, whatever the names say.
  if (!acceptable || file == nullptr) {
    std::printf("I dont want to rename that file (%s)(%s)(%s)(%s)\n", target, version, base, new_name);
    std::exit(EXIT_COMMAND_FAILED);
  }
  if (platform_rename_noreplace(file, new_name) != 0) {
    int error = errno;
    std::printf("rename failed. %s  -> %s  %d:%s\n", file, new_name, error, std::strerror(error));
    std::exit(EXIT_COMMAND_FAILED);
  }
  std::printf("renamed  %s  ->  %s\n", file, new_name);
  std::exit(0);
}
