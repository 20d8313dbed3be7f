// Unit tests of address extraction and the MessageEnvelope: the four-state
// scanner, header matching with its two searches, and the classification of
// header entries with and without add_headerline_colon.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "fixtures.h"
#include "message/message.h"
#include "support/support.h"

namespace {

using Lines = std::vector<std::string>;

std::string no_address_line(const std::string& text) { return "no email address in this line (" + text + ")"; }

// The envelope in one line: sender|to|cc|bcc|subject, "-" for an absent
// field, "*" after an address that came from a submitted value; then
// "|reply-to <address>" when a Reply-To address was taken.
std::string envelope() {
  auto field = [](const char* address, bool submitted) {
    return address == nullptr ? std::string("-") : std::string(address) + (submitted ? "*" : "");
  };
  const MessageEnvelope& e = message_envelope;
  return field(e.sender, e.sender_submitted) + "|" + field(e.recipient_to, e.to_submitted) + "|" +
         field(e.recipient_cc, e.cc_submitted) + "|" + field(e.recipient_bcc, e.bcc_submitted) + "|" +
         (e.subject_seen ? "subject" : "-") +
         (e.reply_to != nullptr ? "|reply-to " + field(e.reply_to, e.reply_to_submitted) : "");
}

using AddressTest = QuilletTest;

// ---- extract_address ----

TEST_F(AddressTest, ExtractTakesTheFirstAddress) {
  struct Row {
    const char* text;
    const char* expected;  // null: no address
  } rows[] = {
      {"To: Jo Smith <jo@b.c>", "jo@b.c"},
      {"\"Jo\" <jo.smith_1-x@mail.example-1.org>", "jo.smith_1-x@mail.example-1.org"},
      {"a@b", "a@b"},
      {"jo@b.c.", "jo@b.c."},              // a trailing '.' belongs to the domain
      {"a@b@c", "a@b"},                    // a second '@' ends the domain
      {"x@y@z@w", "x@y"},
      {"x@y, z@w", "x@y"},                 // only the first address
      {"@@a@b", "a@b"},
      {"a @b.c d@e", "d@e"},
      {"mailto:jo@b.c", "jo@b.c"},
      {"a.@.b", "a.@.b"},
      {"a@-", "a@-"},
      {"jo@b\xC3\xA9.c", "jo@b"},          // bytes above 0x7F are no address characters
      {"From: <a@b.c>", "a@b.c"},
      {"a@b.c>", "a@b.c"},
      // The local part whole: every atom character of RFC 5322.
      {"a+b@c.d", "a+b@c.d"},
      {"To: Site Owner <owner+webform@example.com>", "owner+webform@example.com"},
      {"o'brien@example.com", "o'brien@example.com"},
      {"<!#$%&'*+-/=?^_`{|}~.09AZaz@b.c>", "!#$%&'*+-/=?^_`{|}~.09AZaz@b.c"},
      {"x@+y@z", "+y@z"},                  // a failed domain may begin a local part
      // The domain keeps its narrow set: other atom characters end it.
      {"a@b+c.d", "a@b"},
      {"a@b'c", "a@b"},
      // Nothing that could end or extend a command line: blanks, controls,
      // brackets, quotes, colons and commas cut the local part.
      {"v\r\nRCPT TO:<w@x>@b", "w@x"},
      {"a\tb@c", "b@c"},
      {"a\x7f" "b@c", "b@c"},
      {"a b@c", "b@c"},
      {"a:b@c", "b@c"},
      {"a>b@c", "b@c"},
      {"a\"b@c", "b@c"},
      {"a,b@c", "b@c"},
      {"a@b.c\r\nRCPT TO:<v@w>", "a@b.c"},
      // No address.
      {"", nullptr},
      {"plain text", nullptr},
      {"a@", nullptr},
      {"@b.c", nullptr},
      {"a@@b.c", nullptr},
      {"@", nullptr},
      {"a@ b.c", nullptr},
      {"a @b", nullptr},
      {"\xC3\xA9@b.c", nullptr},
      {"jo\xC3\xA9@b.c", nullptr},
      {"a%40b.c", nullptr},
      {"<a>@b.c", nullptr},
      {"a@+", nullptr},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    char* address = extract_address(row.text);
    if (row.expected == nullptr) {
      EXPECT_EQ(address, nullptr) << row.text;
      EXPECT_EQ(log_messages(), Lines{no_address_line(row.text)}) << row.text;
    } else {
      ASSERT_NE(address, nullptr) << row.text;
      EXPECT_STREQ(address, row.expected) << row.text;
      EXPECT_EQ(log_messages(), Lines{}) << row.text;
    }
    std::free(address);
  }
}

TEST_F(AddressTest, ExtractOfAnAbsentText) {
  EXPECT_EQ(extract_address(nullptr), nullptr);
  EXPECT_EQ(log_messages(), Lines{no_address_line("(null)")});
}

TEST_F(AddressTest, ExtractReachesTheVeryEndOfTheText) {
  // The address runs up to the terminator at the end of its allocation.
  const char* text = "To: someone@example.org";
  std::size_t size = std::strlen(text) + 1;
  char* exact = static_cast<char*>(std::malloc(size));
  std::memcpy(exact, text, size);
  char* address = extract_address(exact);
  EXPECT_STREQ(address, "someone@example.org");
  std::free(address);
  std::free(exact);
}

// ---- match_address_header ----

TEST_F(AddressTest, MatchSearchesTheLabelThenTheContent) {
  struct Row {
    const char* label;
    const char* content;
    const char* name;
    int length;
    bool expected;
    const char* address;
    bool submitted;  // the address came from the content
    Lines log;
  } rows[] = {
      {"To: jo@b.c", "", "To:", 3, true, "jo@b.c", false, {}},
      {"to: jo@b.c", "", "To:", 3, true, "jo@b.c", false, {}},
      {"TO:x@y", "", "To:", 3, true, "x@y", false, {}},
      {"From:", "Jo <jo@b.c>", "From:", 5, true, "jo@b.c", true, {no_address_line("From:")}},
      {"From: a@b.c", "c@d.e", "From:", 5, true, "a@b.c", false, {}},   // the label wins
      {"From: nobody", "", "From:", 5, false, nullptr, false,
       {no_address_line("From: nobody"), no_address_line("")}},
      {"From: nobody", "nobody", "From:", 5, false, nullptr, false,
       {no_address_line("From: nobody"), no_address_line("nobody")}},
      {"Reply-To: a@b.c", "", "To:", 3, false, nullptr, false, {}},
      {"To", "a@b.c", "To:", 3, false, nullptr, false, {}},        // a shorter label differs
      {"To", "a@b.c", "To", 2, true, "a@b.c", true, {no_address_line("To")}},
      {"", "a@b.c", "To:", 3, false, nullptr, false, {}},
      {"T", "a@b.c", "To", 2, false, nullptr, false, {}},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    char* field = nullptr;
    bool submitted = !row.submitted;  // must be set whenever an address is found
    bool result = match_address_header(row.label, row.content, row.name, row.length, &field, &submitted);
    EXPECT_EQ(result, row.expected) << row.label;
    if (row.address == nullptr) {
      EXPECT_EQ(field, nullptr) << row.label;
    } else {
      EXPECT_STREQ(field, row.address) << row.label;
      EXPECT_EQ(submitted, row.submitted) << row.label;
    }
    EXPECT_EQ(log_messages(), row.log) << row.label;
    std::free(field);
  }
}

TEST_F(AddressTest, MatchLeavesAFilledFieldAlone) {
  char* field = strdup("first@a.b");
  bool submitted = false;
  EXPECT_FALSE(match_address_header("To:", "second@c.d", "To:", 3, &field, &submitted));
  EXPECT_STREQ(field, "first@a.b");
  EXPECT_FALSE(submitted);
  std::free(field);
}

// ---- classify_header_line ----

struct Entry {
  const char* label;
  const char* content;
};

TEST_F(AddressTest, ClassifyRecognisesEachKindOnce) {
  struct Row {
    bool colon;  // add_headerline_colon
    std::vector<Entry> entries;
    std::vector<bool> recognised;
    std::string envelope;  // sender|to|cc|bcc|subject
  } rows[] = {
      {false, {{"To: Jo Smith <jo@b.c>", ""}}, {true}, "-|jo@b.c|-|-|-"},
      {false, {{"From:", "Jo <jo@b.c>"}}, {true}, "jo@b.c*|-|-|-|-"},
      {false, {{"From: nobody", ""}}, {false}, "-|-|-|-|-"},
      {false, {{"From: nobody", ""}, {"From: jo@b.c", ""}}, {false, true}, "jo@b.c|-|-|-|-"},
      {false, {{"To: a@b.c", ""}, {"To: d@e.f", ""}}, {true, false}, "-|a@b.c|-|-|-"},
      {false, {{"cc: a@b.c", ""}}, {true}, "-|-|a@b.c|-|-"},
      {false, {{"Cc: nobody", ""}, {"CC: x@y", ""}}, {false, true}, "-|-|x@y|-|-"},
      {false, {{"BCC: a@b.c", ""}}, {true}, "-|-|-|a@b.c|-"},
      {false, {{"bcc:", "a@b.c"}, {"Bcc: c@d.e", ""}}, {true, false}, "-|-|-|a@b.c*|-"},
      {false, {{"To", "a@b.c"}}, {false}, "-|-|-|-|-"},
      {true, {{"To", "a@b.c"}}, {true}, "-|a@b.c*|-|-|-"},
      {false, {{"Subject:", ""}, {"Subject: x", ""}}, {true, true}, "-|-|-|-|subject"},
      {false, {{"subject: hello", ""}}, {true}, "-|-|-|-|subject"},
      {false, {{"Subject", ""}}, {false}, "-|-|-|-|-"},
      {true, {{"Subject", ""}}, {true}, "-|-|-|-|subject"},
      {true, {{"Subjects galore", ""}}, {true}, "-|-|-|-|subject"},
      {false, {{"Subject: a@b.c", ""}}, {true}, "-|-|-|-|subject"},   // no address taken
      {false, {{"Topic", "a@b.c"}}, {false}, "-|-|-|-|-"},
      {true, {{"Topic", "a@b.c"}}, {true}, "-|a@b.c*|-|-|-"},
      {true, {{"Fromage a@b.c", ""}}, {true}, "a@b.c|-|-|-|-"},
      {true, {{"CCX", "a@b.c"}}, {true}, "-|-|a@b.c*|-|-"},
      // A static line's own address wins over a value; a value fills what the ini left open.
      {false, {{"CC: copy@site.example", "victim@target.example"}}, {true}, "-|-|copy@site.example|-|-"},
      {false,
       {{"To:", "owner+webform@example.com"}, {"CC: nobody", ""}, {"CC:", "x@y"}, {"BCC: b@c.d", ""}},
       {true, false, true, true},
       "-|owner+webform@example.com*|x@y*|b@c.d|-"},
      // Reply-To like From: the first line that yields an address, its first
      // address; never a To line.
      {false, {{"Reply-To: a@b.c", ""}}, {true}, "-|-|-|-|-|reply-to a@b.c"},
      {false,
       {{"reply-to: nobody", ""}, {"Reply-To:", "Jo <jo@b.c>, x@y.z"}, {"Reply-To: c@d.e", ""}},
       {false, true, false},
       "-|-|-|-|-|reply-to jo@b.c*"},
      {false, {{"Reply-To", "a@b.c"}}, {false}, "-|-|-|-|-"},
      {true, {{"Reply-To", "a@b.c"}}, {true}, "-|-|-|-|-|reply-to a@b.c*"},
      {false, {{"X-Mailer: quillet", ""}}, {false}, "-|-|-|-|-"},
      {false, {{"", "a@b.c"}}, {false}, "-|-|-|-|-"},
      // One kind at most: the first test that succeeds.
      {false, {{"From: To: a@b.c", ""}}, {true}, "a@b.c|-|-|-|-"},
      {false, {{"From: a@b.c", ""}, {"From: To: c@d.e", ""}}, {true, false}, "a@b.c|-|-|-|-"},
      // The whole road of a request.
      {false,
       {{"To: \"Me\" <webmaster@example.com>", ""},
        {"From:", "visitor@example.net"},
        {"Subject: Form Submission Data", ""},
        {"Status:", "gold"},
        {"CC: copy@example.com", ""},
        {"BCC: hidden@example.com", ""}},
       {true, true, true, false, true, true},
       "visitor@example.net*|webmaster@example.com|copy@example.com|hidden@example.com|subject"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    configuration.add_headerline_colon = row.colon;
    std::vector<bool> recognised;
    for (const Entry& entry : row.entries) recognised.push_back(classify_header_line(entry.label, entry.content));
    EXPECT_EQ(recognised, row.recognised) << row.entries[0].label << (row.colon ? " (colon)" : "");
    EXPECT_EQ(envelope(), row.envelope) << row.entries[0].label << (row.colon ? " (colon)" : "");
  }
}

TEST_F(AddressTest, ClassifyLogsEachFailedSearch) {
  struct Row {
    bool colon;
    Entry entry;
    Lines log;
  } rows[] = {
      {false, {"From: nobody", ""}, {no_address_line("From: nobody"), no_address_line("")}},
      // With bare names allowed, "From" is tried as well and searches again.
      {true,
       {"From: nobody", ""},
       {no_address_line("From: nobody"), no_address_line(""), no_address_line("From: nobody"), no_address_line("")}},
      {false, {"Subject: x", ""}, {}},
      {false, {"X-Other: y", ""}, {}},
      {false, {"To:", "Jo"}, {no_address_line("To:"), no_address_line("Jo")}},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    configuration.add_headerline_colon = row.colon;
    (void)classify_header_line(row.entry.label, row.entry.content);
    EXPECT_EQ(log_messages(), row.log) << row.entry.label;
  }
}

TEST_F(AddressTest, ResetEmptiesTheEnvelope) {
  EXPECT_TRUE(classify_header_line("From: a@b.c", ""));
  EXPECT_TRUE(classify_header_line("To: a@b.c", ""));
  EXPECT_TRUE(classify_header_line("Subject: s", ""));
  message_reset();
  EXPECT_EQ(envelope(), "-|-|-|-|-");
  EXPECT_TRUE(classify_header_line("To: d@e.f", "")) << "a new envelope takes a To line again";
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(AddressTest, NoMemoryForAnAddressEndsWithTheFatalPage) {
  std::string huge = std::string(64 * 1024 * 1024, 'a') + "@b.c";
  auto extract_with_little_memory = [&huge] {
    limit_address_space(16L * 1024 * 1024);
    (void)extract_address(huge.c_str());
    std::exit(101);
  };
  EXPECT_EXIT(extract_with_little_memory(), ::testing::ExitedWithCode(EXIT_FATAL_PAGE), "");
  ASSERT_FALSE(log_messages().empty());
  EXPECT_EQ(log_messages()[0], "Unable to malloc memory");
}
#endif

}  // namespace
