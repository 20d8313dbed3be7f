// fuzz_reply_tokens.cpp - the "||name||" substitution of the reply pages on
// arbitrary page text, line after line as a page is written, against a few
// submitted variables whose values are themselves hostile (markup, quotes,
// "||", an empty name).
//
// Beyond memory errors it checks the promise that matters: nothing is ever
// substituted inside a script element. Every value begins with the byte 0x01,
// which the page text never holds, so a 0x01 in the output is a substituted
// value; the check finds script elements in the output the simplest way
// (from "<script" to the next "</script", any case) and wants no 0x01 there.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "form/form.h"
#include "reply/reply.h"

static const char VALUE_MARK = '\x01';

// The submitted variables every input sees.
static const char* const FUZZ_VARIABLES[][2] = {
    {"Name", "\x01Jo <b>Bloggs</b>"},
    {"", "\x01" "empty name"},
    {"quote", "\x01\"'&<>"},
    {"bars", "\x01||Name|| and ||"},
    {"Name:", "\x01</script><script>alert('x')</script>"},
    {" \"/\" ", "\x01;document.title=document.domain;//"},
    {"a", "\x01" "1"},
    {"a", "\x01second a"},
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

// strcasestr (GNU) compares outside the instrumented code: the check must
// not cost more than what it checks.
static void check_no_value_inside_a_script(const char* page) {
  const char* at = page;
  while ((at = strcasestr(at, "<script")) != nullptr) {
    const char* end = strcasestr(at + 1, "</script");
    if (end == nullptr) end = at + std::strlen(at);
    if (std::memchr(at, VALUE_MARK, static_cast<std::size_t>(end - at)) != nullptr) {
      std::fprintf(stderr, "a value was substituted inside a script element:\n%s\n", page);
      std::abort();
    }
    at = end;
  }
}

// Runs `write` with standard output going to one buffer for all inputs (a
// page longer than that is checked as far as it fits), then checks the page.
template <typename Write>
static void check_written(Write write) {
  static char page[1 << 23];
  // glibc's stdout is an ordinary variable that may be pointed elsewhere.
  std::FILE* saved = stdout;
  stdout = fmemopen(page, sizeof page - 1, "w");
  if (stdout == nullptr) std::abort();
  reply_reset();
  write();
  long length = std::ftell(stdout);
  std::fclose(stdout);
  stdout = saved;
  page[length < 0 ? 0 : length] = '\0';
  check_no_value_inside_a_script(page);
}

// libFuzzer's own output goes to standard error; nothing else the target
// might write to standard output should bury it.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A page line holds no NUL (it would end the line's text) and here no
  // 0x01, the values' mark.
  std::string text(reinterpret_cast<const char*>(data), size);
  for (char& c : text) {
    if (c == '\0' || c == VALUE_MARK) c = '\x02';
  }
  fill_form_table();
  // As write_reply_page hands a page over: one line after another, each with
  // its line feed, the scan carried from line to line.
  check_written([&] {
    char* line = &text[0];
    while (*line != '\0') {
      char* end = std::strchr(line, '\n');
      end = end == nullptr ? line + std::strlen(line) : end + 1;
      char kept = *end;
      *end = '\0';
      print_substituted(line);
      *end = kept;
      line = end;
    }
  });
  // The whole input as one formatted text: line feeds inside a text.
  check_written([&] { printf_substituted("%s", text.c_str()); });
  form_reset();
  return 0;
}
