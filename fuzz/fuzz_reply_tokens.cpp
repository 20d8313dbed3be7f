// fuzz_reply_tokens.cpp - the "||name||" substitution of the reply pages on
// arbitrary page text, against a few submitted variables whose values are
// themselves hostile (markup, quotes, "||", an empty name).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/form.h"
#include "reply/reply.h"

// The submitted variables every input sees.
static const char* const FUZZ_VARIABLES[][2] = {
    {"Name", "Jo <b>Bloggs</b>"},
    {"", "empty name"},
    {"quote", "\"'&<>"},
    {"bars", "||Name|| and ||"},
    {"Name:", "<script>alert('x')</script>"},
    {"a", "1"},
    {"a", "second a"},
};

static void fill_form_table() {
  int count = 0;
  for (const auto& variable : FUZZ_VARIABLES) {
    form_variable_table.entries[count].name = strdup(variable[0]);
    form_variable_table.entries[count].value = strdup(variable[1]);
    count++;
  }
  form_variable_table.count = count;
}

// libFuzzer's own output goes to standard error; the pages the target writes
// are of no interest and would bury it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The page text is a C string: it ends at the first NUL, as a page line does.
  std::string text(reinterpret_cast<const char*>(data), size);
  fill_form_table();
  print_substituted(text.c_str());
  printf_substituted("%s", text.c_str());
  form_reset();
  return 0;
}
