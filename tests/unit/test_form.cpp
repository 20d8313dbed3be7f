// Unit tests of the form input: the decoding steps one by one, whole bodies
// through decode_form_body, the table and form_value, and read_form_data with
// CONTENT_LENGTH and standard input as a web server hands them over.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "fixtures.h"
#include "form/form_internal.h"
#include "support/support.h"

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

Entries table_entries() {
  Entries entries;
  for (int i = 0; i < form_variable_table.count; i++)
    entries.emplace_back(form_variable_table.entries[i].name, form_variable_table.entries[i].value);
  return entries;
}

// Decodes `body` from a writable copy, as read_form_data does.
Entries decode(const std::string& body) {
  std::vector<char> copy(body.begin(), body.end());
  copy.push_back('\0');
  decode_form_body(copy.data());
  return table_entries();
}

std::string in_place(void (*step)(char*), const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  step(copy.data());
  return std::string(copy.data());
}

using FormTest = QuilletTest;

// ---- the decoding steps ----

TEST_F(FormTest, HexPairValueTakesBytesAsSigned) {
  struct Row {
    char high, low;
    int expected;
  } rows[] = {
      {'2', 'F', 0x2F}, {'2', 'f', 0x2F}, {'7', 'e', 0x7E}, {'0', '0', 0x00}, {'F', 'F', 0xFF},
      {'f', 'f', 0xFF}, {'0', 'D', 0x0D}, {'a', '0', 0xA0},
      // Not hex digits: whatever the arithmetic gives.
      {'z', 'z', 'S'},            // 16 * 35 + 35 = 595, low byte 0x53
      {'G', '1', 0x01},           // 16 * 16 + 1
      {'z', 'u', 'N'},            // 16 * 35 + 30 = 590
      {'%', '%', 'E'},            // 16 * -11 - 11 = -187
      {'@', '@', 0x10},           // '@' is below 'A': 16 each
      {'[', '0', 0x40},           // '[' is above 'A': 91 & 0xDF = 91, - 55 = 36
      {' ', ' ', 0xF0},           // -16 each: -272
      // Bytes 0x80..0xFF are negative and take the digit rule.
      {'\x80', '0', 0x00},        // 16 * -176 = -2816 = -11 * 256
      {'\xFF', '\xFF', 0xBF},     // 16 * -49 - 49 = -833
      {'1', '\xE9', 0xC9},        // 16 - 71 = -55
      {'\xC3', '\xA9', 0xA9},     // 16 * -109 - 135 = -1879
  };
  for (const Row& row : rows) {
    EXPECT_EQ(hex_pair_value(row.high, row.low), row.expected)
        << "'" << row.high << row.low << "' (0x" << std::hex << (row.high & 0xFF) << ", 0x" << (row.low & 0xFF) << ")";
  }
}

TEST_F(FormTest, FirstPassDecodesEveryPercentWithTwoCharactersAfterIt) {
  struct Row {
    const char* text;
    std::string expected;
  } rows[] = {
      {"%41", "A"},
      {"a%2Fb%2fc", "a/b/c"},
      {"%2541", "%41"},
      {"%zz", "S"},
      {"foo%zubar", "fooNbar"},
      {"%%%%", "E%"},    // "%%%" decodes, the last '%' has nothing after it
      {"%0D", "\r"},
      {"%3D", "="},
      {"plain", "plain"},
      {"", ""},
      // Incomplete escapes at the end stay as they are.
      {"%", "%"},
      {"%4", "%4"},
      {"a%", "a%"},
      {"ab%9", "ab%9"},
      {"%41%", "A%"},
      // A decoded NUL ends the text there.
      {"a%00b", "a"},
  };
  for (const Row& row : rows) EXPECT_EQ(in_place(unescape_pair, row.text), row.expected) << row.text;
}

TEST_F(FormTest, FirstPassNeverReadsPastTheEndOfThePair) {
  // The pair sits at the very end of its allocation: any read past the
  // terminator is caught by AddressSanitizer. What each pass leaves shows
  // that an escape cut by the end stays as it stands.
  struct Row {
    const char* text;
    const char* after_first;
    const char* after_second;
  } rows[] = {
      {"%", "%", "%"},     {"x%", "x%", "x%"},  {"x%4", "x%4", "x%4"},
      {"%%", "%%", "%%"},  {"%4%", "5", "5"},   // '%' after "%4" completes it: 16 * 4 - 11
      {"%4a", "J", "J"},   {"a%4", "a%4", "a%4"},
  };
  for (const Row& row : rows) {
    std::size_t size = std::strlen(row.text) + 1;
    char* exact = static_cast<char*>(std::malloc(size));
    std::memcpy(exact, row.text, size);
    unescape_pair(exact);
    EXPECT_STREQ(exact, row.after_first) << row.text;
    unescape_value(exact);
    EXPECT_STREQ(exact, row.after_second) << row.text;
    std::free(exact);
  }
}

TEST_F(FormTest, SecondPassDecodesValidEscapesAndDropsCarriageReturns) {
  struct Row {
    const char* text;
    std::string expected;
  } rows[] = {
      {"%41", "A"},
      {"%7e", "~"},
      {"%2f", "/"},
      {"%c3%a9", "\xC3\xA9"},
      {"50%off", "50%OFf"},   // not hex: '%' stays, both letters upper-cased
      {"%zz", "%ZZ"},
      {"%g0", "%G0"},
      {"%0g", "%0G"},
      {"%", "%"},
      {"%a", "%A"},
      {"%0", "%0"},
      {"%%41", "%A"},         // the first '%' stays; the walk goes on at the second
      {"%%ab", "%\xAB"},
      {"100%", "100%"},
      {"a\rb", "ab"},
      {"\r\r\r", ""},
      {"%0d", ""},
      {"%0D%0A", "\n"},
      {"one%0D%0Atwo", "one\ntwo"},
      {"%0D\r%0d", ""},
      {"", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(in_place(unescape_value, row.text), row.expected) << row.text;
}

TEST_F(FormTest, PlusToSpace) {
  EXPECT_EQ(in_place(plus_to_space, "Joe+Bloggs++x+"), "Joe Bloggs  x ");
  EXPECT_EQ(in_place(plus_to_space, "%2B"), "%2B");
  EXPECT_EQ(in_place(plus_to_space, ""), "");
}

TEST_F(FormTest, TakeWordCutsTheFirstWordOff) {
  struct Row {
    const char* text;
    char delimiter;
    const char* word;
    const char* rest;
  } rows[] = {
      {"a=b=c", '=', "a", "b=c"}, {"flag", '=', "flag", ""}, {"=x", '=', "", "x"},
      {"x=", '=', "x", ""},       {"", '=', "", ""},         {"a=1&b=2", '&', "a=1", "b=2"},
      {"&", '&', "", ""},         {"&&", '&', "", "&"},      {"abc", '\0', "abc", ""},
  };
  for (const Row& row : rows) {
    std::vector<char> text(row.text, row.text + std::strlen(row.text) + 1);
    char* word = take_word(text.data(), row.delimiter);
    EXPECT_STREQ(word, row.word) << row.text;
    EXPECT_STREQ(text.data(), row.rest) << row.text;
    std::free(word);
  }
}

// ---- whole bodies ----

TEST_F(FormTest, BodiesDecodeIntoEntries) {
  struct Row {
    const char* body;
    Entries expected;
  } rows[] = {
      {"name=Joe+Bloggs&town=Z%FCrich", {{"name", "Joe Bloggs"}, {"town", "Z\xFCrich"}}},
      {"a=1&&b=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
      {"a=1&", {{"a", "1"}}},
      {"&", {{"", ""}}},
      {"&&", {{"", ""}, {"", ""}}},
      {"flag", {{"flag", ""}}},
      {"=", {{"", ""}}},
      {"=v", {{"", "v"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"a%3Db=c", {{"a", "b=c"}}},
      {"x=%2541", {{"x", "A"}}},
      {"%2541=x", {{"%41", "x"}}},
      {"x=one%0D%0Atwo", {{"x", "one\ntwo"}}},
      {"x=%0D", {{"x", ""}}},
      {"x=a\rb", {{"x", "ab"}}},
      {"x\r=1", {{"x\r", "1"}}},          // names keep their carriage returns
      {"%0D=1", {{"\r", "1"}}},
      {"x=50%25off", {{"x", "50%OFf"}}},
      {"x=%zz", {{"x", "S"}}},
      {"x=%7e", {{"x", "~"}}},
      {"x=%2B", {{"x", "+"}}},
      {"x=a%26b&y=2", {{"x", "a&b"}, {"y", "2"}}},
      {"a=1&a=2", {{"a", "1"}, {"a", "2"}}},
      {"x=%", {{"x", "%"}}},
      {"x=%4", {{"x", "%4"}}},
      {"x%=1", {{"x\xD1", ""}}},         // "%=1" is an escape to the first pass
      {"x%3=1", {{"x", "1"}}},            // and "%3=" happens to give '=' (16 * 3 + 13)
      {"x=%%", {{"x", "%%"}}},           // incomplete in both passes
      {"x=%%%", {{"x", "E"}}},           // the first pass's unchecked arithmetic
      {"%", {{"%", ""}}},
      {"x=%00y&z=1", {{"x", ""}, {"z", "1"}}},
      {"%00=1", {{"", ""}}},              // a decoded NUL in the pair cuts it
      {"x=%25%32%35", {{"x", "%"}}},      // "%25" after the first pass, '%' after the second
  };
  for (const Row& row : rows) {
    form_reset();
    EXPECT_EQ(decode(row.body), row.expected) << row.body;
  }
}

TEST_F(FormTest, AThousandPairsAreKeptAndTheRestIsIgnored) {
  std::string body;
  for (int i = 1; i <= MAX_FORM_VARIABLES + 1; i++) body += "f" + std::to_string(i) + "=" + std::to_string(i) + "&";
  Entries entries = decode(body);
  ASSERT_EQ(entries.size(), static_cast<size_t>(MAX_FORM_VARIABLES));
  EXPECT_EQ(entries.front(), (std::pair<std::string, std::string>{"f1", "1"}));
  EXPECT_EQ(entries.back(), (std::pair<std::string, std::string>{"f1000", "1000"}));
  EXPECT_STREQ(form_value("f1001"), "");
}

TEST_F(FormTest, OneHugePairIsKeptWhole) {
  std::string value(FORM_BUFFER_SIZE - 3, 'v');
  Entries entries = decode("x=" + value);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].second, value);
}

// ---- form_value ----

TEST_F(FormTest, FormValueFindsTheFirstExactName) {
  EXPECT_STREQ(form_value("a"), "") << "an empty table finds nothing";
  EXPECT_STREQ(form_value(""), "");
  decode("name=lower&a=1&a=2&=first-unnamed&=second-unnamed&Name:=Joe");
  struct Row {
    const char* key;
    const char* expected;
  } rows[] = {
      {"a", "1"},         {"name", "lower"}, {"Name", ""},   {"NAME", ""},  {"Name:", "Joe"},
      {"", "first-unnamed"}, {"a ", ""},     {"nam", ""},    {"names", ""}, {nullptr, ""},
  };
  for (const Row& row : rows) EXPECT_STREQ(form_value(row.key), row.expected) << text_or_null(row.key);

  // By length: a name cut out of a longer text that goes on past it.
  struct LengthRow {
    const char* text;
    std::size_t length;
    const char* expected;
  } length_rows[] = {
      {"Name:||", 5, "Joe"}, {"name=", 4, "lower"}, {"a b", 1, "1"},
      {"Name:", 4, ""},      {"abc", 0, "first-unnamed"}, {"Name:=", 6, ""},
  };
  for (const LengthRow& row : length_rows)
    EXPECT_STREQ(form_value_n(row.text, row.length), row.expected) << row.text << " " << row.length;
  EXPECT_STREQ(form_value_n("a\0b", 3), "") << "a NUL inside the name matches no entry";
}

TEST_F(FormTest, ResetEmptiesTheTable) {
  decode("a=1&b=2");
  ASSERT_EQ(form_variable_table.count, 2);
  form_reset();
  EXPECT_EQ(form_variable_table.count, 0);
  EXPECT_STREQ(form_value("a"), "");
  EXPECT_EQ(decode("c=3"), (Entries{{"c", "3"}})) << "the table fills again from the start";
}

// ---- read_form_data: CONTENT_LENGTH and standard input ----

class ReadFormTest : public QuilletTest {
 protected:
  // Puts `bytes` on standard input and CONTENT_LENGTH as given (null: unset),
  // then reads the form.
  void read_with(const char* content_length, const std::string& bytes) {
    std::string input = scratch_path("stdin");
    write_whole_file(input, bytes);
    ASSERT_NE(std::freopen(input.c_str(), "rb", stdin), nullptr);
    if (content_length != nullptr)
      setenv("CONTENT_LENGTH", content_length, 1);
    else
      unsetenv("CONTENT_LENGTH");
    read_form_data();
    unsetenv("CONTENT_LENGTH");
  }
  // What is left unread on standard input.
  std::string rest_of_stdin() {
    std::string rest;
    int c;
    while ((c = std::fgetc(stdin)) != EOF) rest += static_cast<char>(c);
    return rest;
  }
};

TEST_F(ReadFormTest, ContentLengthDecidesWhatIsRead) {
  struct Row {
    const char* content_length;  // null: unset
    std::string body;
    Entries expected;
    std::vector<std::string> log;
  } rows[] = {
      {nullptr, "a=1", {}, {}},
      {"", "a=1", {}, {}},
      {"abc", "a=1", {}, {}},
      {"0", "a=1", {}, {}},
      {"3", "a=1", {{"a", "1"}}, {}},
      {"  3", "a=1", {{"a", "1"}}, {}},        // leading blanks
      {"+3", "a=1", {{"a", "1"}}, {}},
      {"3xyz", "a=1", {{"a", "1"}}, {}},       // digits up to the first non-digit
      {"3 7", "a=1", {{"a", "1"}}, {}},
      {"2", "a=1&b=2", {{"a", ""}}, {}},        // only the declared bytes
      {"10", "a=1&bb", {{"a", "1"}, {"bb", ""}},
       {"FORM DATA SIZE != CONTENT_LENGTH, got(6), CL(10)"}},
      {"-5", "a=1", {}, {"FORM DATA SIZE != CONTENT_LENGTH, got(0), CL(-5)"}},
      {"- 5", "a=1", {}, {}},
      {"0x10", "a=1", {}, {}},
      {"99999999999999999999", "a=1", {{"a", "1"}},
       {"FORM DATA SIZE != CONTENT_LENGTH, got(3), CL(2147483647)"}},
      {"-99999999999999999999", "a=1", {}, {"FORM DATA SIZE != CONTENT_LENGTH, got(0), CL(-2147483648)"}},
      {"8", std::string("a=1\0b=2", 7) + "&", {{"a", "1"}}, {}},   // a NUL ends the data
      {"7", std::string("a=\0", 3) + "&b=2", {{"a", ""}}, {}},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    read_with(row.content_length, row.body);
    EXPECT_EQ(table_entries(), row.expected) << text_or_null(row.content_length);
    EXPECT_EQ(log_messages(), row.log) << text_or_null(row.content_length);
  }
}

TEST_F(ReadFormTest, ALongerBodyIsCutAtTheBufferSize) {
  // 150000 bytes: one pair of 99999 bytes, then more that is never read.
  std::string body = "x=" + std::string(FORM_BUFFER_SIZE - 3, 'a') + std::string(50001, 'b');
  ASSERT_EQ(body.size(), 150000u);
  read_with("150000", body);
  ASSERT_EQ(form_variable_table.count, 1);
  EXPECT_EQ(std::strlen(form_variable_table.entries[0].value), static_cast<size_t>(FORM_BUFFER_SIZE - 3));
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{"FORM DATA SIZE != CONTENT_LENGTH, got(99999), CL(150000)"}));
  EXPECT_EQ(rest_of_stdin(), std::string(50001, 'b'));
}

TEST_F(ReadFormTest, ABodyLongerThanDeclaredIsLeftUnread) {
  read_with("3", "a=1&b=2");
  EXPECT_EQ(table_entries(), (Entries{{"a", "1"}}));
  EXPECT_EQ(log_messages(), std::vector<std::string>{});
  EXPECT_EQ(rest_of_stdin(), "&b=2");
}

TEST_F(ReadFormTest, BytesAreTakenAsTheyCome) {
  // Line ends and high bytes pass through untouched in the raw body.
  read_with("11", "x=a\r\nb&y=\xFF\x80");
  EXPECT_EQ(table_entries(), (Entries{{"x", "a\nb"}, {"y", "\xFF\x80"}}));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(FormTest, NoMemoryForAPairEndsWithTheFatalPage) {
  std::string huge = "x=" + std::string(64 * 1024 * 1024, 'v');
  auto decode_with_little_memory = [&huge] {
    limit_address_space(16L * 1024 * 1024);
    decode_form_body(&huge[0]);
    std::exit(101);
  };
  EXPECT_EXIT(decode_with_little_memory(), ::testing::ExitedWithCode(EXIT_FATAL_PAGE),
              "");
  ASSERT_FALSE(log_messages().empty());
  EXPECT_EQ(log_messages()[0], "out of memory.");
}
#endif

}  // namespace
