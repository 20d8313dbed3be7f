// fuzz_rate_file.cpp - the rate file's reader and writer on arbitrary file
// text, for a few client keys and limits.
//
// Beyond memory errors it checks what the limit rests on: a text that was
// counted on is written back as a rate file that reads again without damage,
// and a client refused once stays refused on the text that refused it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/driver.h"
#include "support/support.h"

static const char* const KEYS[] = {"192.0.2.1", "2001:db8:0:0::/64", "unknown", "a"};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte picks the key and the limit, the second the window; the
  // rest is the file's text (up to its first NUL, as the program reads it).
  const char* key = KEYS[data[0] % (sizeof KEYS / sizeof KEYS[0])];
  int limit = 1 + (data[0] >> 2) % 20;
  int seconds = 1 + data[1] * 7;
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.c_str();
  const long long now = 1000000;

  TextBuffer* updated = text_buffer_create("");
  bool damaged = false;
  RateOutcome outcome = rate_table_take(text.c_str(), key, limit, seconds, now, updated, &damaged);
  if (outcome == RATE_COUNTED) {
    std::string written = updated->chars;
    TextBuffer* again = text_buffer_create("");
    bool damaged_again = false;
    (void)rate_table_take(written.c_str(), key, limit, seconds, now, again, &damaged_again);
    if (damaged_again) std::abort();  // the program's own text must read back
    text_buffer_free(again);
  } else if (outcome == RATE_REFUSED) {
    TextBuffer* again = text_buffer_create("");
    if (rate_table_take(text.c_str(), key, limit, seconds, now + 0, again, &damaged) != RATE_REFUSED) std::abort();
    text_buffer_free(again);
  }
  text_buffer_free(updated);
  return 0;
}
