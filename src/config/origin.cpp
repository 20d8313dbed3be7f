// origin.cpp - reading and comparing web origins (RFC 6454) for the
// allowed_origin lines, and the test of a redirect address.
#include <cstring>

#include "config/config.h"
#include "support/support.h"

static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static bool is_digit(char c) { return c >= '0' && c <= '9'; }

static bool is_scheme_character(char c) { return is_ascii_letter_or_digit(c) || c == '+' || c == '-' || c == '.'; }

static bool is_host_character(char c) { return is_ascii_letter_or_digit(c) || c == '-' || c == '.' || c == '_'; }

static bool is_ipv6_literal_character(char c) { return hex_digit_value(c) >= 0 || c == ':' || c == '.'; }

static int default_port(const char* scheme) {
  if (std::strcmp(scheme, "http") == 0) return 80;
  if (std::strcmp(scheme, "https") == 0) return 443;
  return ORIGIN_NO_PORT;
}

// Copies `length` characters lower-cased into `field` of `size` bytes; false
// when they do not fit.
static bool copy_lowered(char* field, int size, const char* text, std::size_t length) {
  if (length >= static_cast<std::size_t>(size)) return false;
  for (std::size_t i = 0; i < length; i++) field[i] = ascii_to_lower(text[i]);
  field[length] = '\0';
  return true;
}

// Reads "scheme://host[:port]" from `text` into `origin`; returns where the
// reading stopped (the first character that belongs to none of the three),
// or null when the text does not begin with an origin.
static const char* read_origin(const char* text, WebOrigin* origin) {
  const char* at = text;
  if (!is_letter(*at)) return nullptr;
  while (is_scheme_character(*at)) at++;
  if (!copy_lowered(origin->scheme, ORIGIN_SCHEME_SIZE, text, static_cast<std::size_t>(at - text))) return nullptr;
  if (std::strncmp(at, "://", 3) != 0) return nullptr;
  at += 3;

  const char* host = at;
  if (*at == '[') {
    at++;
    while (is_ipv6_literal_character(*at)) at++;
    if (*at != ']' || at == host + 1) return nullptr;
    at++;
  } else {
    while (is_host_character(*at)) at++;
  }
  if (at == host || !copy_lowered(origin->host, ORIGIN_HOST_SIZE, host, static_cast<std::size_t>(at - host)))
    return nullptr;

  origin->port = default_port(origin->scheme);
  if (*at == ':') {
    at++;
    // "host:" is the default port, as URL parsers take it.
    if (is_digit(*at)) {
      long port = 0;
      while (is_digit(*at)) {
        port = port * 10 + (*at - '0');
        if (port > ORIGIN_PORT_MAX) return nullptr;
        at++;
      }
      origin->port = static_cast<int>(port);
    }
  }
  return at;
}

bool parse_origin(const char* text, bool trailing_slash, WebOrigin* origin) {
  if (text == nullptr) return false;
  const char* end = read_origin(text, origin);
  if (end == nullptr) return false;
  if (trailing_slash && *end == '/') end++;
  return *end == '\0';
}

bool parse_url_origin(const char* url, WebOrigin* origin) {
  if (url == nullptr) return false;
  // User information ends at the authority's last '@': any '@' before the
  // path is refused, whatever the parse below would make of it.
  const char* authority = std::strstr(url, "://");
  if (authority == nullptr) return false;
  authority += 3;
  std::size_t authority_length = std::strcspn(authority, "/?#");
  if (std::memchr(authority, '@', authority_length) != nullptr) return false;
  const char* end = read_origin(url, origin);
  return end != nullptr && (*end == '\0' || *end == '/' || *end == '?' || *end == '#');
}

bool origins_equal(const WebOrigin& a, const WebOrigin& b) {
  return a.port == b.port && std::strcmp(a.scheme, b.scheme) == 0 && std::strcmp(a.host, b.host) == 0;
}

bool origin_allowed(const WebOrigin& origin) {
  for (int i = 0; i < allowed_origin_list.count; i++)
    if (origins_equal(origin, allowed_origin_list.entries[i])) return true;
  return false;
}

bool redirect_url_acceptable(const char* url) {
  if (url == nullptr) return false;
  std::size_t scheme_length = 0;
  if (text_equal_ignoring_case(url, "http://", 7))
    scheme_length = 7;
  else if (text_equal_ignoring_case(url, "https://", 8))
    scheme_length = 8;
  else
    return false;
  const char* host = url + scheme_length;
  if (*host == '\0' || *host == '/' || *host == '\\') return false;
  for (const char* at = url; *at != '\0'; at++) {
    unsigned char c = static_cast<unsigned char>(*at);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}
