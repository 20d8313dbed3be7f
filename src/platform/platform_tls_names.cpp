// platform_tls_names.cpp - the host name rules of certificate checks
// (RFC 6125), for the TLS layers that check names themselves. Plain C++, the
// same on every platform, so that the rules are tested everywhere.
#include "platform/platform.h"

#include <cstring>

static char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// A byte that may appear in a DNS name of a certificate (a letter, a digit,
// '-', '.', '*'; '_' too, which some names carry). Anything else (a NUL, a
// space, a byte above 0x7F) makes the whole name unusable.
static bool is_name_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '*' || c == '_';
}

static bool same_text(const char* a, const char* b, std::size_t length) {
  for (std::size_t i = 0; i < length; i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

int platform_tls_ipv4_literal(const char* host, unsigned char address[4]) {
  const char* at = host;
  for (int part = 0; part < 4; part++) {
    if (part > 0 && *at++ != '.') return 0;
    int value = 0;
    int digits = 0;
    // No leading zero: inet_addr would read "010" as octal 8, and the
    // address checked must be the one connected to.
    if (at[0] == '0' && at[1] >= '0' && at[1] <= '9') return 0;
    while (*at >= '0' && *at <= '9') {
      value = value * 10 + (*at - '0');
      if (++digits > 3 || value > 255) return 0;
      at++;
    }
    if (digits == 0) return 0;
    address[part] = static_cast<unsigned char>(value);
  }
  return *at == '\0' ? 1 : 0;
}

// True when the last label of the name is all digits: no host name (a top
// level domain is never numeric), but an address, perhaps in a form that
// inet_addr reads ("127.1", "0x7f.0.0.1" aside).
static bool ends_in_number(const char* name, std::size_t length) {
  std::size_t start = length;
  while (start > 0 && name[start - 1] != '.') start--;
  if (start == length) return false;
  for (std::size_t i = start; i < length; i++)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

int platform_tls_name_matches(const char* pattern, std::size_t length, const char* host) {
  std::size_t host_length = std::strlen(host);
  // A fully qualified name may end in a dot; it names the same host.
  if (length > 0 && pattern[length - 1] == '.') length--;
  if (host_length > 0 && host[host_length - 1] == '.') host_length--;
  if (length == 0 || host_length == 0 || ends_in_number(host, host_length)) return 0;
  for (std::size_t i = 0; i < length; i++)
    if (!is_name_byte(pattern[i])) return 0;
  for (std::size_t i = 0; i < host_length; i++)
    if (!is_name_byte(host[i]) || host[i] == '*') return 0;

  const char* star = static_cast<const char*>(std::memchr(pattern, '*', length));
  if (star == nullptr) return length == host_length && same_text(pattern, host, length) ? 1 : 0;

  // The wildcard: the whole first label, the only '*', and at least two
  // labels after it, so that "*.com" and "*" name nothing.
  if (star != pattern || length < 2 || pattern[1] != '.') return 0;
  const char* rest = pattern + 1;  // ".example.com"
  std::size_t rest_length = length - 1;
  if (std::memchr(rest, '*', rest_length) != nullptr) return 0;
  if (std::memchr(rest + 1, '.', rest_length - 1) == nullptr) return 0;
  // The host's first label is what the '*' stands for: not empty, one
  // label only, and the rest must be the same.
  const char* dot = static_cast<const char*>(std::memchr(host, '.', host_length));
  if (dot == nullptr || dot == host) return 0;
  std::size_t host_rest_length = host_length - static_cast<std::size_t>(dot - host);
  return host_rest_length == rest_length && same_text(dot, rest, rest_length) ? 1 : 0;
}
