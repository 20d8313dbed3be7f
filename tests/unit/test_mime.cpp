// Unit tests of the message encoders: RFC 2047 header contents with their
// folding, quoted-printable bodies, the choice of transfer encoding, the
// date and the Message-ID, and the platform's clock and random source that
// they take.
#include <cstdlib>
#include <ctime>
#include <string>

#include "fixtures.h"
#include "message/mime.h"
#include "mime_check.h"
#include "support/support.h"

namespace {

using MimeTest = QuilletTest;

std::string encoded_header(const std::string& line, const char* charset = "UTF-8", const char* line_end = "\n") {
  TextBuffer* out = text_buffer_create("");
  mime_append_encoded_header(out, line.data(), static_cast<int>(line.size()), charset, line_end);
  std::string text(out->chars, static_cast<std::size_t>(out->length));
  text_buffer_free(out);
  return text;
}

std::string quoted_printable(const std::string& text, const char* line_end = "\n") {
  TextBuffer* out = text_buffer_create("");
  mime_append_quoted_printable(out, text.data(), static_cast<int>(text.size()), line_end);
  std::string encoded(out->chars, static_cast<std::size_t>(out->length));
  text_buffer_free(out);
  return encoded;
}

std::string repeat(const std::string& piece, int count) {
  std::string text;
  for (int i = 0; i < count; i++) text += piece;
  return text;
}

const std::string E_ACUTE = "\xC3\xA9";  // é
const std::string EURO = "\xE2\x82\xAC";  // €

TEST_F(MimeTest, HeaderContentsBecomeEncodedWords) {
  struct Row {
    const char* charset;
    std::string line;
    std::string expected;
  } rows[] = {
      {"UTF-8", "Subject: Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln",
       "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= aus =?UTF-8?Q?K=C3=B6ln?="},
      // Display names are encoded, addresses stay readable.
      {"UTF-8", "From: Zo\xC3\xAB M\xC3\xBCller <zoe@example.org>",
       "From: =?UTF-8?Q?Zo=C3=AB_M=C3=BCller?= <zoe@example.org>"},
      {"UTF-8", "From: Zo\xC3\xAB<zoe@example.org>", "From: =?UTF-8?Q?Zo=C3=AB?= <zoe@example.org>"},
      // Quotes, parentheses and backslashes go inside too, never unpaired;
      // in a line that needs no encoding they stay as they are.
      {"UTF-8", "From: \"Zo\xC3\xAB, Jo\" (CEO) a\\b <zoe@example.org>",
       "From: =?UTF-8?Q?=22Zo=C3=AB=2C_Jo=22_=28CEO=29_a=5Cb?= <zoe@example.org>"},
      {"ISO-8859-1", "Subject: caf\xE9 cr\xE8me", "Subject: =?ISO-8859-1?Q?caf=E9_cr=E8me?="},
      // "=?" that is no encoded-word is encoded, so no reader decodes it;
      // "?=" alone, '=' and '?' elsewhere need nothing.
      {"UTF-8", "Subject: =?UTF-8?Q?abc?= 1=2? ?= \xC3\xBC",
       "Subject: =?UTF-8?Q?=3D=3FUTF-8=3FQ=3Fabc=3F=3D?= 1=2? ?= =?UTF-8?Q?=C3=BC?="},
      {"UTF-8", "Subject: a=?b", "Subject: =?UTF-8?Q?a=3D=3Fb?="},
      // Characters outside RFC 2047's phrase set, controls, a tab between
      // two encoded words.
      {"UTF-8", "Subject: (\"x\"_y)\xC3\xBC\x01 ok", "Subject: =?UTF-8?Q?=28=22x=22=5Fy=29=C3=BC=01?= ok"},
      {"UTF-8", "Subject: \xC3\xBC\t\xC3\xB6", "Subject: =?UTF-8?Q?=C3=BC=09=C3=B6?="},
      // A value cut inside a UTF-8 sequence, and bytes that are no UTF-8:
      // each byte is kept.
      {"UTF-8", "Subject: a\xE2\x82", "Subject: =?UTF-8?Q?a=E2=82?="},
      {"UTF-8", "Subject: \xFF\xC0\xAF\xED\xA0\x80", "Subject: =?UTF-8?Q?=FF=C0=AF=ED=A0=80?="},
      // A visitor's line feed (composition puts a blank after it): dropped,
      // so "Bcc:" stays inside the Subject.
      {"UTF-8", "Subject: Gr\xC3\xBC\xC3\x9F" "e\n Bcc: victim@example.org",
       "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= Bcc: victim@example.org"},
      {"UTF-8", "Subject: \xC3\xBC\r\n \xC3\xB6", "Subject: =?UTF-8?Q?=C3=BC_=C3=B6?="},
      // The field name stays, blanks at the end stay.
      {"UTF-8", "Subject:\xC3\xBC ", "Subject:=?UTF-8?Q?=C3=BC?= "},
      // A long plain word goes to a line of its own, whole.
      {"UTF-8", "Subject: \xC3\xBC " + std::string(90, 'x'), "Subject: =?UTF-8?Q?=C3=BC?=\n " + std::string(90, 'x')},
      // The first encoded-word fills the first line to 76 exactly; one
      // character more moves to a second word on a folded line.
      {"UTF-8", "Subject: " + E_ACUTE + std::string(49, 'x'),
       "Subject: =?UTF-8?Q?=C3=A9" + std::string(49, 'x') + "?="},
      {"UTF-8", "Subject: " + E_ACUTE + std::string(50, 'x'),
       "Subject: =?UTF-8?Q?=C3=A9" + std::string(49, 'x') + "?=\n =?UTF-8?Q?x?="},
      // On a folded line an encoded-word reaches 75 characters exactly.
      {"UTF-8", "Subject: " + repeat(E_ACUTE, 9) + std::string(64, 'x'),
       "Subject: =?UTF-8?Q?" + repeat("=C3=A9", 9) + "x?=\n =?UTF-8?Q?" + std::string(63, 'x') + "?="},
      // A character that does not fit whole goes to the next word.
      {"UTF-8", "Subject: " + std::string(50, 'x') + EURO + EURO,
       "Subject: =?UTF-8?Q?" + std::string(50, 'x') + "?=\n =?UTF-8?Q?=E2=82=AC=E2=82=AC?="},
  };
  for (const Row& row : rows) {
    std::string output = encoded_header(row.line, row.charset);
    EXPECT_EQ(output, row.expected) << row.line;
    EXPECT_EQ(mime_check::check_encoded_header(row.line, output, row.charset, "\n", MIME_HEADER_FOLD_WIDTH,
                                               MIME_ENCODED_WORD_LIMIT),
              "")
        << row.line;
  }
  // With CR LF line ends, folds use them.
  EXPECT_EQ(encoded_header("Subject: " + E_ACUTE + std::string(50, 'x'), "UTF-8", "\r\n"),
            "Subject: =?UTF-8?Q?=C3=A9" + std::string(49, 'x') + "?=\r\n =?UTF-8?Q?x?=");
}

TEST_F(MimeTest, WhichHeaderLinesNeedEncoding) {
  struct Row {
    std::string line;
    bool expected;
  } rows[] = {
      {"Subject: plain words, 1+1=2? ?=", false},
      {"Subject:", false},
      {"Subject: Zo\xC3\xAB", true},
      {"Subject: x=?y", true},
      {"Subject: bell\x07", true},
      {"Subject: a\n b\tc", false},
      {"From: \"Jo, Al\" (CEO) <a@b.c>", false},
      {"Sub\xC3\xBCject: name only", false},  // the field name is the ini file's
  };
  for (const Row& row : rows)
    EXPECT_EQ(mime_header_needs_encoding(row.line.data(), static_cast<int>(row.line.size())), row.expected)
        << row.line;
}

// Values of 0, 1 and 5,000 multibyte characters, whole and cut, in both
// charsets, checked by decoding the result.
TEST_F(MimeTest, LongAndCutValuesDecodeToWhatWasGiven) {
  std::string cyrillic = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 ";  // "Привет "
  struct Row {
    const char* charset;
    std::string content;
  } rows[] = {
      {"UTF-8", ""},
      {"UTF-8", EURO},
      {"UTF-8", repeat(EURO, 5000)},
      {"UTF-8", repeat("\xF0\x9F\x98\x80", 5000)},  // four-byte characters
      {"UTF-8", repeat(cyrillic, 700)},
      {"UTF-8", repeat(EURO, 30) + "\xE2\x82"},
      {"UTF-8", repeat("a\xC3", 100)},
      {"UTF-8", repeat("x" + EURO + " <a@b.c> ", 200)},
      {"ISO-8859-1", repeat("\xE9", 5000)},
      {"ISO-8859-1", repeat("na\xEFve caf\xE9 ", 300)},
  };
  for (const Row& row : rows) {
    std::string line = "Subject: " + row.content;
    std::string output = encoded_header(line, row.charset, "\r\n");
    EXPECT_EQ(mime_check::check_encoded_header(line, output, row.charset, "\r\n", MIME_HEADER_FOLD_WIDTH,
                                               MIME_ENCODED_WORD_LIMIT),
              "")
        << row.content.substr(0, 40);
  }
}

TEST_F(MimeTest, QuotedPrintable) {
  struct Row {
    std::string text;
    std::string expected;
  } rows[] = {
      {"", ""},
      {"plain text\n", "plain text\n"},
      {"a=b", "a=3Db"},
      {"Zo\xC3\xAB", "Zo=C3=AB"},
      // A blank at the end of a line, before a line end or at the end.
      {"end \nnext\t", "end=20\nnext=09"},
      {"two  \r\n", "two =20\n"},
      // Every line end a hard break.
      {"a\r\nb\rc\n\nd", "a\nb\nc\n\nd"},
      // 76 characters fit; 77 get a soft break after 75 and the '='.
      {std::string(76, 'x') + "\n", std::string(76, 'x') + "\n"},
      {std::string(77, 'x') + "\n", std::string(75, 'x') + "=\n" + "xx\n"},
      // An "=XX" is never cut.
      {std::string(74, 'x') + E_ACUTE, std::string(74, 'x') + "=\n=C3=A9"},
      {std::string(73, 'x') + "=", std::string(73, 'x') + "=3D"},
      // A blank before a soft break stays as it is.
      {std::string(75, 'x') + " yz", std::string(75, 'x') + "=\n yz"},
      {"\x01\x7F.", "=01=7F."},
  };
  for (const Row& row : rows) {
    std::string output = quoted_printable(row.text);
    EXPECT_EQ(output, row.expected) << row.text;
    EXPECT_EQ(mime_check::check_quoted_printable(row.text, output, "\n", MIME_QP_LINE_LIMIT), "") << row.text;
  }
  std::string long_text = repeat("Grüße, = ? " + repeat(E_ACUTE, 40) + " \t\r\n", 50) + std::string(3000, 'y');
  EXPECT_EQ(mime_check::check_quoted_printable(long_text, quoted_printable(long_text, "\r\n"), "\r\n",
                                               MIME_QP_LINE_LIMIT),
            "");
}

TEST_F(MimeTest, TransferEncodingOfABody) {
  struct Row {
    std::string body;
    MimeTransferEncoding expected;
  } rows[] = {
      {"", MIME_7BIT},
      {"abc\r\n", MIME_7BIT},
      {"caf" + E_ACUTE + "\n", MIME_8BIT},
      {std::string(998, 'x') + "\n", MIME_7BIT},
      {std::string(999, 'x'), MIME_QUOTED_PRINTABLE},
      {"." + std::string(996, 'x'), MIME_7BIT},
      {"." + std::string(997, 'x'), MIME_QUOTED_PRINTABLE},  // the wire doubles the '.'
      {std::string(998, 'x') + "\r\n" + std::string(998, 'y') + "\r" + E_ACUTE, MIME_8BIT},
      {E_ACUTE + std::string(997, 'x'), MIME_QUOTED_PRINTABLE},
  };
  for (const Row& row : rows)
    EXPECT_EQ(mime_body_encoding(row.body.data(), static_cast<int>(row.body.size())), row.expected)
        << row.body.substr(0, 20) << "... " << row.body.size();
  EXPECT_STREQ(mime_encoding_name(MIME_7BIT), "7bit");
  EXPECT_STREQ(mime_encoding_name(MIME_8BIT), "8bit");
  EXPECT_STREQ(mime_encoding_name(MIME_QUOTED_PRINTABLE), "quoted-printable");
}

TEST_F(MimeTest, DateOfRfc5322) {
  std::tm when = {};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 8;
  when.tm_wday = 2;
  when.tm_hour = 23;
  when.tm_min = 45;
  when.tm_sec = 24;
  struct Row {
    long offset;
    const char* expected;
  } rows[] = {
      {3600, "Tue, 08 Dec 2026 23:45:24 +0100"},
      {0, "Tue, 08 Dec 2026 23:45:24 +0000"},
      {-19800, "Tue, 08 Dec 2026 23:45:24 -0530"},
      {45900, "Tue, 08 Dec 2026 23:45:24 +1245"},
      {-59, "Tue, 08 Dec 2026 23:45:24 +0000"},  // whole minutes only
      {-3630, "Tue, 08 Dec 2026 23:45:24 -0100"},
  };
  for (const Row& row : rows) {
    TextBuffer* out = text_buffer_create("");
    mime_append_date(out, &when, row.offset);
    EXPECT_STREQ(out->chars, row.expected);
    text_buffer_free(out);
  }
}

TEST_F(MimeTest, MessageIdAtTheSendersDomain) {
  const unsigned char random[] = {0x00, 0x9f, 0xff, 0x10};
  struct Row {
    const char* sender;
    const char* expected;
  } rows[] = {
      {"form@example.com", "<1765233924.4242.009fff10@example.com>"},
      {"jo@b.c.", "<1765233924.4242.009fff10@b.c>"},
      {"a@..sub..example.org.", "<1765233924.4242.009fff10@sub.example.org>"},
      {"x@y@mail_1-2.test", "<1765233924.4242.009fff10@mail_1-2.test>"},
      {"a@.", "<1765233924.4242.009fff10@invalid>"},
      {nullptr, "<1765233924.4242.009fff10@invalid>"},
  };
  for (const Row& row : rows) {
    TextBuffer* out = text_buffer_create("");
    mime_append_message_id(out, 1765233924LL, 4242, random, 4, row.sender);
    EXPECT_STREQ(out->chars, row.expected) << text_or_null(row.sender);
    text_buffer_free(out);
  }
  // A domain longer than a domain name may be is cut, never after a dot.
  TextBuffer* out = text_buffer_create("");
  mime_append_message_id(out, 1765233924LL, 4242, random, 4, ("a@" + std::string(250, 'x') + ".yy.zz").c_str());
  EXPECT_EQ(std::string(out->chars), "<1765233924.4242.009fff10@" + std::string(250, 'x') + ".yy>");
  text_buffer_free(out);
}

// The zone as the system reports it, for zones written as POSIX TZ rules
// (no zone files needed), summer time included.
TEST_F(MimeTest, PlatformLocalTimeAndItsOffset) {
  const char* saved = std::getenv("TZ");
  std::string saved_zone = saved != nullptr ? saved : "";
  struct Row {
    const char* zone;
    std::time_t when;
    long offset;
    int hour;
  } rows[] = {
      {"UTC0", 1765233924, 0, 22},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1765233924, 3600, 23},  // 8 December 2025
      {"CET-1CEST,M3.5.0,M10.5.0/3", 1783555200, 7200, 2},   // 9 July 2026, 00:00 UTC
      {"IST-5:30", 1765233924, 19800, 4},
      {"NST3:30", 1765233924, -12600, 19},
  };
  for (const Row& row : rows) {
    setenv("TZ", row.zone, 1);
    tzset();
    std::tm local = {};
    long offset = -1;
    ASSERT_EQ(platform_local_time_at(row.when, &local, &offset), 1) << row.zone;
    EXPECT_EQ(offset, row.offset) << row.zone;
    EXPECT_EQ(local.tm_hour, row.hour) << row.zone;
  }
  if (saved != nullptr)
    setenv("TZ", saved_zone.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST_F(MimeTest, PlatformRandomBytesDiffer) {
  unsigned char first[MESSAGE_ID_RANDOM_BYTES] = {};
  unsigned char second[MESSAGE_ID_RANDOM_BYTES] = {};
  ASSERT_EQ(platform_random_bytes(first, sizeof first), 1);
  ASSERT_EQ(platform_random_bytes(second, sizeof second), 1);
  EXPECT_NE(std::string(reinterpret_cast<char*>(first), sizeof first),
            std::string(reinterpret_cast<char*>(second), sizeof second));
  EXPECT_NE(std::string(reinterpret_cast<char*>(first), sizeof first), std::string(sizeof first, '\0'));
}

}  // namespace
