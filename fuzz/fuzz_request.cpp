// fuzz_request.cpp - the request headers a visitor controls: the Origin and
// Referer read as origins, the Accept header, and the client address made a
// rate key.
//
// Beyond memory errors it checks that nothing unsafe comes out: an origin
// that was read holds only lower-case scheme and host characters (it is
// echoed in a header line), a rate key only the characters the rate file
// takes, and an origin read from a text reads the same from that text as a
// Referer with a path after it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/config.h"
#include "driver/driver.h"
#include "reply/reply.h"

static bool all_of(const char* text, const char* allowed) {
  return text[std::strspn(text, allowed)] == '\0';
}

static const char HOST_CHARACTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789-._[]:";
static const char SCHEME_CHARACTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789+-.";
static const char KEY_CHARACTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789.:/";

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();

  WebOrigin origin;
  if (parse_origin(text.c_str(), false, &origin)) {
    if (!all_of(origin.scheme, SCHEME_CHARACTERS) || !all_of(origin.host, HOST_CHARACTERS)) std::abort();
    if (origin.port < -1 || origin.port > 65535) std::abort();
    WebOrigin from_url;
    if (!parse_url_origin((text + "/path?q#f").c_str(), &from_url) || !origins_equal(origin, from_url)) std::abort();
  }
  (void)parse_origin(text.c_str(), true, &origin);
  (void)parse_url_origin(text.c_str(), &origin);
  (void)redirect_url_acceptable(text.c_str());
  (void)accept_wants_json(text.c_str());

  char key[RATE_KEY_SIZE];
  rate_client_key(text.c_str(), key);
  if (key[0] == '\0' || !all_of(key, KEY_CHARACTERS)) std::abort();
  return 0;
}
