// Unit tests of the platform layer's own rules: the host name rules of the
// certificate checks (RFC 6125), which the Schannel layer applies itself
// and which run here on every platform. The TLS sessions themselves are
// tested against real servers (tests/blackbox/test_tls.py).
#include <cstring>
#include <string>

#include "fixtures.h"
#include "platform/platform.h"

namespace {

struct NameCase {
  std::string pattern;  // as the certificate holds it (may hold a NUL)
  const char* host;
  int matches;
};

TEST(PlatformTlsNames, MatchAsRfc6125Says) {
  const NameCase cases[] = {
      {"mail.example.com", "mail.example.com", 1},
      {"MAIL.Example.COM", "mail.example.com", 1},  // ASCII case is ignored
      {"mail.example.com.", "mail.example.com", 1},  // a trailing dot names the same host
      {"mail.example.com", "mail.example.com.", 1},
      {"mail.example.com", "mail.example.org", 0},
      {"mail.example.com", "example.com", 0},
      {"example.com", "mail.example.com", 0},
      {"mail.example.com", "mail.example.co", 0},
      {"", "mail.example.com", 0},
      {"localhost", "localhost", 1},
      // The wildcard: the whole left-most label, one label of the host.
      {"*.example.com", "mail.example.com", 1},
      {"*.Example.com", "MAIL.example.com", 1},
      {"*.example.com", "example.com", 0},
      {"*.example.com", "a.mail.example.com", 0},
      {"*.example.com", ".example.com", 0},
      {"*.com", "example.com", 0},  // too few labels after it
      {"*", "localhost", 0},
      {"*.", "localhost", 0},
      {"m*.example.com", "mail.example.com", 0},  // never part of a label
      {"*mail.example.com", "mail.example.com", 0},
      {"mail.*.com", "mail.example.com", 0},
      {"*.*.example.com", "a.b.example.com", 0},
      {"xn--*.example.com", "xn--bcher-kva.example.com", 0},
      // A name the certificate's issuer should never have signed.
      {std::string("mail.example.com\0.evil.test", 27), "mail.example.com", 0},
      {"mail example.com", "mail example.com", 0},
      {"mail.exa\xC3\xA9mple.com", "mail.exa\xC3\xA9mple.com", 0},
      // Names never stand for addresses, not even a name that looks like one.
      {"127.0.0.1", "127.0.0.1", 0},
      {"*.0.0.1", "127.0.0.1", 0},
      {"010.0.0.1", "010.0.0.1", 0},
      {"127.1", "127.1", 0},
      {"host", "*", 0},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(c.matches, platform_tls_name_matches(c.pattern.data(), c.pattern.size(), c.host))
        << "pattern {" << c.pattern << "} host {" << c.host << "}";
  }
}

TEST(PlatformTlsNames, Ipv4LiteralsAreFourDecimalNumbers) {
  struct Case {
    const char* text;
    int is_address;
    unsigned char address[4];
  };
  const Case cases[] = {
      {"127.0.0.1", 1, {127, 0, 0, 1}},
      {"255.255.255.255", 1, {255, 255, 255, 255}},
      {"0.0.0.0", 1, {0, 0, 0, 0}},
      // inet_addr reads a leading 0 as octal: such a text is not taken as an
      // address, or the address checked would not be the one connected to.
      {"010.1.1.1", 0, {}},
      {"1.2.3.00", 0, {}},
      {"10.0.0.0", 1, {10, 0, 0, 0}},
      {"256.0.0.1", 0, {}},
      {"1.2.3", 0, {}},
      {"1.2.3.4.5", 0, {}},
      {"1.2.3.4.", 0, {}},
      {"1..3.4", 0, {}},
      {"1.2.3.0004", 0, {}},
      {"1.2.3.4 ", 0, {}},
      {"-1.2.3.4", 0, {}},
      {"localhost", 0, {}},
      {"1.2.3.example", 0, {}},
      {"", 0, {}},
  };
  for (const Case& c : cases) {
    unsigned char address[4] = {9, 9, 9, 9};
    EXPECT_EQ(c.is_address, platform_tls_ipv4_literal(c.text, address)) << c.text;
    if (c.is_address) {
      EXPECT_EQ(0, std::memcmp(address, c.address, 4)) << c.text;
    }
  }
}

}  // namespace
