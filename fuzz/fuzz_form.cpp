// fuzz_form.cpp - the form body decoder on any bytes: both decoding passes,
// the splits at '&' and '=', and the table limit. Besides the sanitizers it
// checks what must hold for every body: no value keeps a carriage return,
// the table never passes its limit, and form_value finds the first entry of
// each name.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "form/form_internal.h"
#include "support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // read_form_data never hands on more than the buffer holds.
  if (size > static_cast<std::size_t>(FORM_BUFFER_SIZE - 1)) size = FORM_BUFFER_SIZE - 1;
  log_set_path("/dev/null");

  std::vector<char> body(data, data + size);
  body.push_back('\0');
  decode_form_body(body.data());

  const FormVariableTable& table = form_variable_table;
  if (table.count < 0 || table.count > MAX_FORM_VARIABLES) std::abort();
  for (int i = 0; i < table.count; i++) {
    const FormVariable& entry = table.entries[i];
    if (entry.name == nullptr || entry.value == nullptr) std::abort();
    if (std::strchr(entry.value, '\r') != nullptr) std::abort();
    // Decoding only ever shortens: name and value fit in the body they came from.
    if (std::strlen(entry.name) + std::strlen(entry.value) > size) std::abort();
    const char* found = form_value(entry.name);
    for (int j = 0; j < table.count; j++) {
      if (std::strcmp(table.entries[j].name, entry.name) == 0) {
        if (found != table.entries[j].value) std::abort();
        break;
      }
    }
  }
  form_reset();
  return 0;
}
