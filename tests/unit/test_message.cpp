// Unit tests of message composition: the header block with its separator
// rule and folding, the body with its padding, indentation, label limit and
// listing of all variables, the line ends, the validation line, and the
// hand-over to the SMTP dialogue.
#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "fixtures.h"
#include "form/form.h"
#include "message/message.h"
#include "smtp/smtp.h"
#include "support/support.h"

namespace {

const char X_QUILLET[] = "X-QUILLET: sent by web form submition activated CGI program.";

void add_entry(LineList* list, const std::string& label, const std::string& content) {
  ASSERT_LT(list->count, MAX_LINE_ENTRIES);
  list->entries[list->count].label = strdup(label.c_str());
  list->entries[list->count].content = strdup(content.c_str());
  list->count++;
}
void header(const std::string& label, const std::string& content = "") { add_entry(&header_line_list, label, content); }
void body(const std::string& label, const std::string& content = "") { add_entry(&body_line_list, label, content); }
void submitted(const std::string& name, const std::string& value) {
  FormVariable& variable = form_variable_table.entries[form_variable_table.count++];
  variable.name = strdup(name.c_str());
  variable.value = strdup(value.c_str());
}
// The header lines every sendable message needs.
void sendable_headers() {
  header("From:", "Jo <jo@b.c>");
  header("To: owner@site.example");
}

std::string header_block() { return email_header_block != nullptr ? email_header_block->chars : "<none>"; }
std::string body_text() { return email_body != nullptr ? email_body->chars : "<none>"; }

class MessageTest : public QuilletTest {
 protected:
  // The text the log received for the message that starts with `start`
  // (its own line ends included, the log's final line feed not).
  std::string logged_from(const std::string& start) const {
    std::string log = log_text();
    std::size_t at = log.find(start);
    if (at == std::string::npos) return "<not logged>";
    std::size_t end = log.find("\n", at);
    // A message may hold line feeds: it runs to the next stamped line.
    std::size_t next = log.find(" - pid(", at);
    while (next != std::string::npos) {
      std::size_t line_start = log.rfind('\n', next);
      if (line_start != std::string::npos && line_start > at) {
        end = line_start;
        break;
      }
      next = log.find(" - pid(", next + 1);
    }
    if (next == std::string::npos) end = log.size() - 1;
    return log.substr(at, end - at);
  }
};

// ---- header block ----

TEST_F(MessageTest, HeaderLinesAndTheSeparatorRule) {
  struct Row {
    bool add_colon;
    const char* label;
    const char* content;
    const char* line;  // null: not written
  } rows[] = {
      {false, "Subject: Hello", "", "Subject: Hello \n"},
      {false, "Subject:", "Hi", "Subject: Hi\n"},
      {true, "Subject", "Hi", "Subject: Hi\n"},
      {true, "Subject:", "Hi", "Subject: Hi\n"},
      {true, "Subject Hello", "", "Subject Hello: \n"},
      {true, "Subject: Hello", "", "Subject: Hello: \n"},
      {false, "Subject", "Hi", nullptr},  // without the colon rule no Subject line
      {false, "Status:", "ok", nullptr},
      {true, "Status", "ok", nullptr},
      // Reply-To from the form: its first address alone.
      {false, "Reply-To:", "Jo <x@y.z>, w@v.u\nBcc: v@x.y", "Reply-To: x@y.z\n"},
      {true, "Reply-To", "x@y.z", "Reply-To: x@y.z\n"},
      {false, "Reply-To: Jo <x@y.z>", "", "Reply-To: Jo <x@y.z> \n"},
      {false, "Reply-To:", "nobody", nullptr},
      {false, "subject:", "lower", "subject: lower\n"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    configuration.add_headerline_colon = row.add_colon;
    header(row.label, row.content);
    EXPECT_EQ(generate_email(), 0);
    std::string expected = std::string(row.line != nullptr ? row.line : "") + X_QUILLET + "\n";
    EXPECT_EQ(header_block(), expected) << row.label;
  }
}

TEST_F(MessageTest, OnlyRecognisedLinesInTheirOrderThenTheFixedLine) {
  header("Status:", "new");
  header("From:", "Jo <jo@b.c>");
  header("To: owner@site.example");
  header("To: second@site.example");
  header("BCC: hidden@site.example");
  header("From: nobody");
  header("Subject: Form Submission Data");
  header("Subject:", "again");
  EXPECT_EQ(generate_email(), 0);  // no smtp setting
  EXPECT_EQ(header_block(), std::string("From: Jo <jo@b.c>\nTo: owner@site.example \nBCC: hidden@site.example \n"
                                        "Subject: Form Submission Data \nSubject: again\n") +
                                X_QUILLET + "\n");
  // The debug line shows the block before the fixed line.
  EXPECT_EQ(logged_from("generated headers {"),
            "generated headers {From: Jo <jo@b.c>\nTo: owner@site.example \nBCC: hidden@site.example \n"
            "Subject: Form Submission Data \nSubject: again\n}");
}

TEST_F(MessageTest, HeaderContentIsFoldedSoNoValueMakesAHeaderOfItsOwn) {
  struct Row {
    const char* content;
    const char* line;
  } rows[] = {
      {"x\nBcc: victim@else.example", "Subject: x\n Bcc: victim@else.example\n"},
      {"x\r\nBcc: y", "Subject: x\r\n Bcc: y\n"},
      {"x\rBcc: y", "Subject: x\r Bcc: y\n"},
      {"x\n", "Subject: x\n"},                  // a folded line left empty would end the header block
      {"x\n\nBody: text", "Subject: x\n Body: text\n"},
      {"x\n \t \nmore", "Subject: x\n more\n"},  // nor may one be blanks only
      {"x  \ny\t", "Subject: x\n y\n"},          // trailing blanks go
      {"\nx", "Subject: \n x\n"},
      {"\n\n\n", "Subject: \n"},
      {"  lead", "Subject:   lead\n"},
      {"a\n  b", "Subject: a\n   b\n"},
      {"tail ", "Subject: tail\n"},
      {"a\t\tb", "Subject: a\t\tb\n"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    header("Subject:", row.content);
    EXPECT_EQ(generate_email(), 0);
    EXPECT_EQ(header_block(), std::string(row.line) + X_QUILLET + "\n") << row.content;
  }
}

TEST_F(MessageTest, LongRunsOfBlanksInAHeaderAreCut) {
  std::string run100(HEADER_BLANK_RUN_LIMIT, ' ');
  struct Row {
    std::string content;
    std::string line;
  } rows[] = {
      {"a" + run100 + "b", "Subject: a" + run100 + "b\n"},
      {"a" + run100 + " \tb", "Subject: a" + run100 + "b\n"},
      {std::string(5000, '\t') + "x", "Subject: " + std::string(HEADER_BLANK_RUN_LIMIT, '\t') + "x\n"},
      {"x\n" + std::string(3000, ' ') + "y", "Subject: x\n " + run100 + "y\n"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    header("Subject:", row.content);
    EXPECT_EQ(generate_email(), 0);
    EXPECT_EQ(header_block(), row.line + X_QUILLET + "\n") << row.content.size();
  }
}

TEST_F(MessageTest, NoLineOfTheHeaderBlockIsBlankOnTheWire) {
  // Whatever a visitor types, the header block on the wire has no empty or
  // blank line before its end: a long value with blank tails included,
  // which the wire breaks at 998 octets.
  std::vector<std::string> values = {
      std::string(995, 'v') + "      ", std::string(2000, ' ') + "x\n" + std::string(1500, ' '),
      "a\n\r\n\r\n \n\t\nb", std::string(998, 'w') + "\n" + std::string(3000, '\t'), "\r\r\r",
  };
  for (const std::string& value : values) {
    reset_all_subsystems();
    header("Subject:", value);
    EXPECT_EQ(generate_email(), 0);
    std::string block = header_block();
    std::string wire = wire_of(block);
    std::size_t start = 0;
    int lines = 0;
    while (start < wire.size()) {
      std::size_t end = wire.find("\r\n", start);
      ASSERT_NE(end, std::string::npos);
      std::string line = wire.substr(start, end - start);
      EXPECT_NE(line.find_first_not_of(" \t"), std::string::npos) << "blank line " << lines;
      EXPECT_LE(line.size(), 998u);
      if (lines > 0 && line.rfind("X-QUILLET:", 0) != 0) {
        EXPECT_EQ(line[0], ' ') << "line " << lines;
      }
      start = end + 2;
      lines++;
    }
  }
}

// ---- body ----

// ---- the MIME lines, Date and Message-ID ----

// The header block's lines after the ini file's own, with the Date and the
// Message-ID's varying parts replaced by "DATE" and "ID".
std::vector<std::string> added_lines(const std::string& block, std::size_t skip) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = block.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(block.substr(start, end - start));
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(skip, lines.size())));
  static const std::regex date("^Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                               "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) 2[0-9]{3} "
                               "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}$");
  static const std::regex id("^(Message-ID: <)[0-9]+\\.[0-9]+\\.[0-9a-f]{24}(@.*>)$");
  for (std::string& line : lines) {
    if (std::regex_match(line, date)) line = "Date: DATE";
    line = std::regex_replace(line, id, "$1ID$2");
  }
  return lines;
}

TEST_F(MessageTest, TheNewLinesAndWhereTheyGo) {
  struct Row {
    bool date_and_id;
    const char* charset;
    std::string body;
    std::vector<std::string> lines;  // after the three lines of the ini file
    const char* eight_bit_encoding;  // the 8bit form's, or null when there is none
    std::string sent_body;
  } rows[] = {
      {true, nullptr, "plain", {"Date: DATE", "Message-ID: <ID@example.com>", X_QUILLET}, nullptr, " Message: plain\n"},
      {false, "UTF-8", "plain",
       {"MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8", "Content-Transfer-Encoding: 7bit", X_QUILLET},
       nullptr, " Message: plain\n"},
      {true, "ISO-8859-1", "caf\xE9",
       {"Date: DATE", "Message-ID: <ID@example.com>", "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=ISO-8859-1", "Content-Transfer-Encoding: quoted-printable", X_QUILLET},
       "8bit", " Message: caf=E9\n"},
      // A line longer than 998 octets: quoted-printable only.
      {false, "UTF-8", std::string(1000, 'x'),
       {"MIME-Version: 1.0", "Content-Type: text/plain; charset=UTF-8",
        "Content-Transfer-Encoding: quoted-printable", X_QUILLET},
       nullptr, " Message: " + std::string(65, 'x') + "=\n" + std::string(75, 'x') + "=\n"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    header("From: Contact form <form@example.com>");
    header("To: owner@site.example");
    header("Subject: hi");
    body("Message:", row.body);
    configuration.add_date_and_message_id = row.date_and_id;
    configuration.charset = row.charset != nullptr ? strdup(row.charset) : nullptr;
    EXPECT_EQ(generate_email(), 0);  // no smtp setting
    EXPECT_EQ(added_lines(header_block(), 3), row.lines) << row.body;
    EXPECT_EQ(body_text().substr(0, row.sent_body.size()), row.sent_body);
    if (row.eight_bit_encoding == nullptr) {
      EXPECT_EQ(email_8bit_header_block, nullptr) << row.body;
      continue;
    }
    // The 8bit form: the same header block but for its transfer encoding,
    // and the body as composed.
    ASSERT_NE(email_8bit_header_block, nullptr);
    std::vector<std::string> lines = row.lines;
    lines[lines.size() - 2] = std::string("Content-Transfer-Encoding: ") + row.eight_bit_encoding;
    EXPECT_EQ(added_lines(email_8bit_header_block->chars, 3), lines);
    EXPECT_EQ(std::string(email_8bit_body->chars), " Message: " + row.body + "\n");
  }
}

// A Reply-To from the form is its address alone, never an encoded-word,
// even with "=?" in it.
TEST_F(MessageTest, HeaderContentsAreEncodedWithACharsetOnly) {
  const std::string subject = "Gr\xC3\xBC\xC3\x9F" "e\nBcc: victim@else.example";
  header("Reply-To:", "Zo\xC3\xAB <zoe=?x?=@example.org>");
  header("Subject:", subject);
  header("Subject: caf\xC3\xA9");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(header_block(), std::string("Reply-To: zoe=?x?=@example.org\nSubject: Gr\xC3\xBC\xC3\x9F" "e\n Bcc: "
                                        "victim@else.example\nSubject: caf\xC3\xA9 \n") +
                                X_QUILLET + "\n");
  reset_all_subsystems();
  configuration.charset = strdup("UTF-8");
  header("Reply-To:", "Zo\xC3\xAB <zoe=?x?=@example.org>");
  header("Subject:", subject);
  header("Subject: caf\xC3\xA9");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(added_lines(header_block(), 0),
            (std::vector<std::string>{"Reply-To: zoe=?x?=@example.org",
                                      "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= Bcc: victim@else.example",
                                      "Subject: =?UTF-8?Q?caf=C3=A9?= ", "MIME-Version: 1.0",
                                      "Content-Type: text/plain; charset=UTF-8", "Content-Transfer-Encoding: 7bit",
                                      X_QUILLET}));
}

TEST_F(MessageTest, MessageIdWithoutASenderAndOnePerMessage) {
  configuration.add_date_and_message_id = true;
  header("To: owner@site.example");
  header("Subject: hi");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(added_lines(header_block(), 2),
            (std::vector<std::string>{"Date: DATE", "Message-ID: <ID@invalid>", X_QUILLET}));
  // Not sent: the log line shows the whole block, the new lines in it.
  std::string logged = logged_from("email not sent due to");
  EXPECT_NE(logged.find("From={(null)}"), std::string::npos) << logged;
  EXPECT_NE(logged.find("\nMessage-ID: <"), std::string::npos) << logged;
  std::string first = header_block();
  reset_all_subsystems();
  configuration.add_date_and_message_id = true;
  header("To: owner@site.example");
  EXPECT_EQ(generate_email(), 0);
  auto id_of = [](const std::string& block) { return block.substr(block.find("Message-ID:")); };
  EXPECT_NE(id_of(header_block()), id_of(first));
}

TEST_F(MessageTest, BodyLinesPaddingAndIndentation) {
  struct Row {
    bool no_padding;
    const char* label;
    const char* content;
    const char* text;
  } rows[] = {
      {false, "Msg:", "a\nb", " Msg: a\n      b\n"},
      {true, "Msg:", "a\nb", "Msg: a\n      b\n"},
      {false, "Msg:", "a\n", " Msg: a\n      \n"},
      {false, "Thank you", "", " Thank you \n"},
      {true, "Thank you", "", "Thank you \n"},
      {false, "Msg:", "a\n\nc", " Msg: a\n      \n      c\n"},
      {false, "", "x\ny", "  x\n  y\n"},
      {false, "Msg:", "a\r\nb", " Msg: a\r\n      b\n"},  // only line feeds split a content
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    configuration.no_padding = row.no_padding;
    body(row.label, row.content);
    EXPECT_EQ(generate_email(), 0);
    EXPECT_EQ(body_text(), row.text) << row.label << "|" << row.content;
  }
}

TEST_F(MessageTest, BodyLabelLimit) {
  std::string label498(BODY_LABEL_LIMIT, 'L');
  std::string label499(BODY_LABEL_LIMIT + 1, 'M');
  body(label498, "kept");
  body(label499, "dropped");
  body("After:", "x");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(body_text(), " " + label498 + " kept\n After: x\n");
  // Left out without a word: the validation line shows the body without it.
  EXPECT_NE(log_text().find("BODY = \r\n " + label498 + " kept\n After: x\n\r\n = BODY."), std::string::npos);
  EXPECT_EQ(log_text().find("dropped"), std::string::npos);
}

TEST_F(MessageTest, ListingOfAllVariables) {
  struct Row {
    const char* sendall;
    bool remove_empty;
    const char* text;
  } rows[] = {
      {"true", false, " Name: Jo\n\n\nAll variables from the submitted form:\n(a)==(1)\n(b)==()\n(c)==(x\ny)\n"},
      {"true", true, " Name: Jo\n\n\nAll variables from the submitted form:\n(a)==(1)\n(c)==(x\ny)\n"},
      {"True", false, " Name: Jo\n"},
      {"yes", false, " Name: Jo\n"},
      {"true ", false, " Name: Jo\n"},
      {nullptr, false, " Name: Jo\n"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    configuration.sendall = row.sendall != nullptr ? strdup(row.sendall) : nullptr;
    configuration.remove_empty_variables = row.remove_empty;
    submitted("a", "1");
    submitted("b", "");
    submitted("c", "x\ny");
    body("Name:", "Jo");
    EXPECT_EQ(generate_email(), 0);
    EXPECT_EQ(body_text(), row.text) << (row.sendall ? row.sendall : "(none)") << row.remove_empty;
  }
}

TEST_F(MessageTest, EmptyVariablesStayInTheBodyLines) {
  configuration.remove_empty_variables = true;
  body("Name:", "");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(body_text(), " Name: \n");
}

TEST_F(MessageTest, CarriageReturnLineEnds) {
  configuration.email_line_end = "\r\n";
  configuration.sendall = strdup("true");
  header("Subject:", "a\nb");
  body("Msg:", "c\nd");
  submitted("v", "e\nf");
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(header_block(), std::string("Subject: a\n b\r\n") + X_QUILLET + "\r\n");
  EXPECT_EQ(body_text(), " Msg: c\r\n      d\r\n\r\n\r\nAll variables from the submitted form:\r\n(v)==(e\nf)\r\n");
}

// ---- validation ----

TEST_F(MessageTest, ValidationLineShowsTheWholeMessage) {
  EXPECT_EQ(generate_email(), 0);
  EXPECT_EQ(logged_from("email not sent"),
            std::string("email not sent due to From, or To, or Subject headers not being present or valid. "
                        "From={(null)} To={(null)} Subject_found=FALSE\r\n HEADERS = \r\n") +
                X_QUILLET + "\n\r\n = HEADERS\r\nBODY = \r\n\r\n = BODY.");
}

TEST_F(MessageTest, ValidationNeedsSenderRecipientAndSubject) {
  struct Row {
    bool from;
    bool to;
    bool subject;
    const char* shown;
  } rows[] = {
      {true, true, false, "From={jo@b.c} To={owner@site.example} Subject_found=FALSE"},
      {true, false, true, "From={jo@b.c} To={(null)} Subject_found=TRUE"},
      {false, true, true, "From={(null)} To={owner@site.example} Subject_found=TRUE"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    configuration.smtp = strdup("127.0.0.1:1");  // never tried
    if (row.from) header("From:", "jo@b.c");
    if (row.to) header("To:", "owner@site.example");
    if (row.subject) header("Subject: s");
    body("Msg:", "hello");
    EXPECT_EQ(generate_email(), 0);
    std::string logged = logged_from("email not sent due to");
    EXPECT_NE(logged.find(row.shown), std::string::npos) << logged;
    EXPECT_NE(logged.find("\r\nBODY = \r\n Msg: hello\n\r\n = BODY."), std::string::npos) << logged;
    EXPECT_EQ(log_text().find("about to send"), std::string::npos);
    EXPECT_EQ(log_text().find("wsock"), std::string::npos);
  }
}

TEST_F(MessageTest, MissingServerSettingIsReportedAsNotSent) {
  sendable_headers();
  header("Subject: s");
  EXPECT_EQ(generate_email(), 0);
  std::vector<std::string> messages = log_messages();
  std::vector<std::string> tail(messages.end() - 4, messages.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"about to send email to smtp server ((null)) from: (jo@b.c) to: "
                                            "(owner@site.example)",
                                            "SMTP email server ((null)) did not respond.", "", "Email not sent."}));
}

TEST_F(MessageTest, SentMessageReachesTheServerInItsWireForm) {
  FakeSmtpServer server;
  server.start();
  std::string smtp = server.server_text();
  configuration.smtp = strdup(smtp.c_str());
  configuration.use_helo = true;
  sendable_headers();
  header("Subject:", "Hi\n.");
  body("Msg:", ".\nline");
  EXPECT_EQ(generate_email(), 1);
  smtp_reset();
  server.finish();
  EXPECT_EQ(server.bytes(), std::string("HELO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\n"
                                         "DATA\r\nFrom: Jo <jo@b.c>\r\nTo: owner@site.example \r\nSubject: Hi\r\n .\r\n") +
                                 X_QUILLET + "\r\n\r\n Msg: .\r\n      line\r\n\r\n.\r\nQUIT\r\n");
  std::vector<std::string> messages = log_messages();
  EXPECT_EQ(messages.back(), "email sent! (1)");
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "about to send email to smtp server (" + smtp + ") from: (jo@b.c) to: (owner@site.example)"),
            messages.end());
  // The dialogue cut the server text at its colon.
  EXPECT_STREQ(configuration.smtp, "127.0.0.1");
}

TEST_F(MessageTest, RecipientsGoToTheServerInEnvelopeOrder) {
  // To, BCC, CC, whatever order the ini lines have; an address named twice
  // is sent twice.
  struct Row {
    std::vector<std::string> lines;
    std::vector<std::string> rcpts;
  } rows[] = {
      {{"CC: c@site.example", "To: owner@site.example", "BCC: b@site.example"},
       {"RCPT TO:<owner@site.example>", "RCPT TO:<b@site.example>", "RCPT TO:<c@site.example>"}},
      {{"CC: c@site.example", "To: owner@site.example"}, {"RCPT TO:<owner@site.example>", "RCPT TO:<c@site.example>"}},
      {{"To: owner@site.example", "BCC: owner@site.example"},
       {"RCPT TO:<owner@site.example>", "RCPT TO:<owner@site.example>"}},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    FakeSmtpServer server;
    server.start();
    configuration.smtp = strdup(server.server_text().c_str());
    header("From:", "jo@b.c");
    header("Subject: s");
    for (const std::string& line : row.lines) header(line);
    EXPECT_EQ(generate_email(), 1) << row.lines[0];
    smtp_reset();
    server.finish();
    std::vector<std::string> rcpts;
    for (const std::string& command : server.commands)
      if (command.rfind("RCPT", 0) == 0) rcpts.push_back(command);
    EXPECT_EQ(rcpts, row.rcpts) << row.lines[0];
  }
}

}  // namespace
