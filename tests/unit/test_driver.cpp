// Unit tests of the driver: file names from the program's path, the names
// the release rename builds, the rate limit's keys, table and file, and the
// order of a run's checks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "driver/driver.h"
#include "fixtures.h"
#include "form/form_internal.h"
#include "platform/platform.h"
#include "reply/reply.h"
#include "support/support.h"

namespace {

using DriverTest = QuilletTest;

TEST_F(DriverTest, FileNamesFromTheProgramPath) {
  struct Row {
    const char* program;
    const char* ini;
    const char* log;
    const char* rate;
  } rows[] = {
      {"C:\\web\\cgi-bin\\quillet.exe", "C:\\web\\cgi-bin\\quillet.ini", "C:\\web\\cgi-bin\\quillet.log",
       "C:\\web\\cgi-bin\\quillet.rate"},
      {"/cgi-bin/quillet.cgi", "/cgi-bin/quillet.ini", "/cgi-bin/quillet.log", "/cgi-bin/quillet.rate"},
      {"quillet", "quillet.ini", "quillet.log", "quillet.rate"},
      {"QUILLET.EXE", "QUILLET.EXE.ini", "QUILLET.EXE.log", "QUILLET.EXE.rate"},
      {"C:\\a.exe.d\\x.exe", "C:\\a.ini", "C:\\a.log", "C:\\a.rate"},
      {"/srv/www.cgi/bin/form.exe", "/srv/www.ini", "/srv/www.log", "/srv/www.rate"},
      {"/usr/lib/cgi-bin/quillet", "/usr/lib/cgi-bin/quillet.ini", "/usr/lib/cgi-bin/quillet.log",
       "/usr/lib/cgi-bin/quillet.rate"},
      {"", ".ini", ".log", ".rate"},
  };
  for (const Row& row : rows) {
    derive_file_names(row.program);
    EXPECT_STREQ(ini_file_path, row.ini) << row.program;
    EXPECT_STREQ(log_file_path, row.log) << row.program;
    EXPECT_STREQ(rate_file_path, row.rate) << row.program;
  }
}

TEST_F(DriverTest, OverlongProgramPathIsCutToTheBuffer) {
  std::string program(70000, 'p');
  derive_file_names(program.c_str());
  EXPECT_EQ(std::string(ini_file_path), std::string(FILE_NAME_LIMIT, 'p'));
}

TEST_F(DriverTest, ReleaseNames) {
  struct Row {
    const char* program;
    const char* target;
    const char* os;
    const char* chip;
    const char* new_name;
    int accepted;
  } rows[] = {
      {"C:\\build\\quillet.exe", "quillet.zip", "", "", "quillet10w.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "nt", "", "quillet10w_nt.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "nt", "x86", "quillet10w_x86-nt.zip", 1},
      {"C:\\build\\quillet.exe", "quillet.zip", "", "x86", "quillet10w_x86.zip", 1},
      {"C:\\build\\quillet.exe", "quillet_setup.exe", "nt", "", "quillet10w_nt_setup.exe", 1},
      {"C:\\build\\quillet.exe", "other.zip", "", "", "quillet10wip", 0},
      {"C:\\build\\quillet.exe", "dist\\quillet.zip", "", "", "quillet10willet.zip", 0},
      {"./quillet", "quillet", "", "", "quillet10w", 1},
      {"quillet", "quillet.tar.gz", "", "", "quillet10w.tar.gz", 1},
      {"C:\\build\\quillet.old.exe", "quillet.zip", "", "", "quillet10w.zip", 1},
      {"/opt/.hidden", "anything", "", "", "10wanything", 0},
  };
  for (const Row& row : rows) {
    char base[RELEASE_TEXT_SIZE];
    char version[RELEASE_TEXT_SIZE];
    char new_name[RELEASE_TEXT_SIZE];
    int accepted = release_new_name(row.program, row.target, row.os, row.chip, base, version, new_name);
    EXPECT_STREQ(new_name, row.new_name) << row.program << " " << row.target;
    EXPECT_EQ(accepted, row.accepted) << row.program << " " << row.target;
    EXPECT_STREQ(version, "10w");
  }
}

// ---- the rate limit ----

TEST_F(DriverTest, ClientKeys) {
  struct Row {
    const char* address;
    const char* key;
  } rows[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"10.0.0.255", "10.0.0.255"},
      {"256.1.1.1", "unknown"},
      {"1.2.3", "unknown"},
      {"1.2.3.4.5", "unknown"},
      {"1.2.3.4 ", "unknown"},
      {"1.2.3.4\nx", "unknown"},
      {"", "unknown"},
      {nullptr, "unknown"},
      {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
      {"2001:DB8:1:2::1", "2001:db8:1:2::/64"},
      {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
      {"2001:db8::1", "2001:db8:0:0::/64"},
      {"2001:0db8:0000:0003::", "2001:db8:0:3::/64"},
      {"::1", "0:0:0:0::/64"},
      {"::", "0:0:0:0::/64"},
      {"fe80::1%eth0", "fe80:0:0:0::/64"},
      {"[2001:db8::1]", "2001:db8:0:0::/64"},
      {"2001:db8::192.0.2.1", "2001:db8:0:0::/64"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4::/64"},
      // An IPv4 client on a dual-stack socket is counted by its own address.
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"::FFFF:c000:0201", "192.0.2.1"},
      {"0:0:0:0:0:ffff:192.0.2.7", "192.0.2.7"},
      {"2001:db8::1::2", "unknown"},
      {"2001:db8:1:2:3:4:5:6:7", "unknown"},
      {"1:2:3:4:5:6:7:1.2.3.4", "unknown"},
      {"12345::", "unknown"},
      {":1::", "unknown"},
      {"1:2:3:4:5:6:7:", "unknown"},
      {"1::2:", "unknown"},
      {"::ffff:1.2.3.4.5", "unknown"},
      {"g::1", "unknown"},
  };
  for (const Row& row : rows) {
    char key[RATE_KEY_SIZE];
    rate_client_key(row.address, key);
    EXPECT_STREQ(key, row.key) << (row.address ? row.address : "(null)");
  }
}

const std::string RATE_HEADER = std::string(RATE_FILE_HEADER) + "\n";

TEST_F(DriverTest, RateTable) {
  struct Row {
    std::string before;
    const char* key;
    int limit;
    int seconds;
    long long now;
    RateOutcome outcome;
    std::string after;  // the new text when counted
    bool damaged;
  } rows[] = {
      {"", "a", 2, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", false},
      {RATE_HEADER, "a", 2, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", false},
      {RATE_HEADER + "a 1000:1\n", "a", 2, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:2\n", false},
      {RATE_HEADER + "a 1000:2\n", "a", 2, 60, 1059, RATE_REFUSED, "", false},
      // A message counts in every window that holds its second, no longer.
      {RATE_HEADER + "a 1000:2\n", "a", 2, 60, 1060, RATE_COUNTED, RATE_HEADER + "a 1060:1\n", false},
      {RATE_HEADER + "a 1000:1 1030:1\n", "a", 2, 60, 1059, RATE_REFUSED, "", false},
      {RATE_HEADER + "a 1000:1 1030:1\n", "a", 2, 60, 1060, RATE_COUNTED, RATE_HEADER + "a 1030:1 1060:1\n", false},
      // Other addresses: counted apart, dropped once their window is over.
      {RATE_HEADER + "a 1000:2\n", "b", 2, 60, 1001, RATE_COUNTED, RATE_HEADER + "a 1000:2\nb 1001:1\n", false},
      {RATE_HEADER + "b 900:1\nc 1010:3\n", "a", 1, 60, 1020, RATE_COUNTED, RATE_HEADER + "c 1010:3\na 1020:1\n",
       false},
      // A time ahead of the clock (set back since) counts as now.
      {RATE_HEADER + "a 5000:1\n", "a", 1, 60, 1000, RATE_REFUSED, "", false},
      {RATE_HEADER + "a 5000:1\n", "a", 2, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:2\n", false},
      // Not a rate file: started afresh.
      {"garbage\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:1", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:1\nb 10", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {"quillet rate file 2\na 1000:1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {"quillet rate file 1", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:1\na 1000:1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:0\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a b 1000:1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "A 1000:1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:1 \n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 99999999999999999999:1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:-1\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
      {RATE_HEADER + "a 1000:1\r\n", "a", 1, 60, 1000, RATE_COUNTED, RATE_HEADER + "a 1000:1\n", true},
  };
  for (const Row& row : rows) {
    TextBuffer* updated = text_buffer_create("");
    bool damaged = false;
    RateOutcome outcome = rate_table_take(row.before.c_str(), row.key, row.limit, row.seconds, row.now, updated,
                                          &damaged);
    EXPECT_EQ(outcome, row.outcome) << row.before << " at " << row.now;
    EXPECT_EQ(damaged, row.damaged) << row.before;
    if (outcome == RATE_COUNTED) {
      EXPECT_EQ(updated->chars, row.after) << row.before;
    }
    text_buffer_free(updated);
  }
}

// Keeps rewriting the table as the file would be, one attempt after another.
struct RateSimulation {
  std::string text;
  RateOutcome take(const char* key, int limit, int seconds, long long now) {
    TextBuffer* updated = text_buffer_create("");
    bool damaged = false;
    RateOutcome outcome = rate_table_take(text.c_str(), key, limit, seconds, now, updated, &damaged);
    EXPECT_FALSE(damaged) << text.substr(0, 200);
    if (outcome == RATE_COUNTED) text = updated->chars;
    text_buffer_free(updated);
    return outcome;
  }
};

// More messages allowed than the file keeps times for: the oldest times are
// merged, and still no window ever holds more than the limit.
TEST_F(DriverTest, NoWindowEverHoldsMoreThanTheLimit) {
  for (int limit : {1, 3, RATE_SLOTS, RATE_SLOTS + 1, 40}) {
    const int seconds = 100;
    RateSimulation file;
    std::vector<long long> sent;
    long long now = 1000;
    unsigned seed = 12345u + static_cast<unsigned>(limit);
    for (int attempt = 0; attempt < 3000; attempt++) {
      seed = seed * 1103515245u + 12345u;
      now += (seed >> 16) % 4;  // bursts within a second, and gaps
      if (file.take("a", limit, seconds, now) == RATE_COUNTED) sent.push_back(now);
    }
    for (std::size_t i = 0; i < sent.size(); i++) {
      std::size_t in_window = 0;
      for (std::size_t j = 0; j <= i; j++)
        if (sent[j] > sent[i] - seconds) in_window++;
      ASSERT_LE(in_window, static_cast<std::size_t>(limit)) << "limit " << limit << " at " << sent[i];
    }
    // And the limit is reached: a full window right at the start.
    EXPECT_GE(sent.size(), static_cast<std::size_t>(limit));
  }
}

TEST_F(DriverTest, SlotsBeyondTheirNumberMergeTheOldestTwo) {
  std::string before = RATE_HEADER + "a";
  for (int s = 1; s <= RATE_SLOTS; s++) before += " " + std::to_string(s) + ":1";
  TextBuffer* updated = text_buffer_create("");
  bool damaged = false;
  ASSERT_EQ(rate_table_take((before + "\n").c_str(), "a", 1000, 1000, 100, updated, &damaged), RATE_COUNTED);
  std::string expected = RATE_HEADER + "a 2:2";
  for (int s = 3; s <= RATE_SLOTS; s++) expected += " " + std::to_string(s) + ":1";
  EXPECT_EQ(updated->chars, expected + " 100:1\n");
  text_buffer_free(updated);
}

TEST_F(DriverTest, AFullRateFileDropsTheAddressWhoseLatestMessageIsOldest) {
  std::string text = RATE_HEADER;
  for (int i = 0; i < RATE_FILE_MAX_ADDRESSES; i++) {
    // Address 1234's latest message is the oldest, though its first is not.
    std::string times = i == 1234 ? "5000:1 5001:1" : i == 0 ? "5003:1" : "5002:1 " + std::to_string(5003 + i) + ":1";
    text += "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".1 " + times + "\n";
  }
  TextBuffer* updated = text_buffer_create("");
  bool damaged = false;
  ASSERT_EQ(rate_table_take(text.c_str(), "newcomer", 1, 60000, 20000, updated, &damaged), RATE_COUNTED);
  std::string after = updated->chars;
  EXPECT_FALSE(damaged);
  EXPECT_EQ(after.find("10.4.210.1 "), std::string::npos);
  EXPECT_NE(after.find("10.0.0.1 5003:1\n"), std::string::npos);
  EXPECT_NE(after.find("\nnewcomer 20000:1\n"), std::string::npos);
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), RATE_FILE_MAX_ADDRESSES + 1);
  // One address more than a rate file holds: not one.
  ASSERT_EQ(rate_table_take((after + "one.more 20000:1\n").c_str(), "a", 1, 60000, 20000, updated, &damaged),
            RATE_COUNTED);
  EXPECT_TRUE(damaged);
  text_buffer_free(updated);
}

TEST_F(DriverTest, RateFileOnDisk) {
  const std::string garbage = "\x01\x02 not a rate file";
  struct Row {
    const char* what;
    std::function<void()> prepare;
    RateOutcome outcome;
    const char* log;  // the start of the one log line, or null for none
  } rows[] = {
      {"missing", [] {}, RATE_COUNTED, nullptr},
      {"empty", [&] { write_whole_file(rate_file_path, ""); }, RATE_COUNTED, nullptr},
      {"garbage", [&] { write_whole_file(rate_file_path, garbage); }, RATE_COUNTED, "the rate file ("},
      {"with a NUL", [&] { write_whole_file(rate_file_path, RATE_HEADER + std::string("\0a 1:1\n", 7)); },
       RATE_COUNTED, "the rate file ("},
      {"too large",
       [&] {
         write_whole_file(rate_file_path, RATE_HEADER);
         std::filesystem::resize_file(rate_file_path, RATE_FILE_MAX_BYTES + 1);
       },
       RATE_COUNTED, "the rate file ("},
      {"a directory", [&] { mkdir(rate_file_path, 0700); }, RATE_NOT_APPLIED,
       "rate limit not applied: the rate file ("},
  };
  for (const Row& row : rows) {
    std::filesystem::remove_all(rate_file_path);
    std::remove(log_file_path);
    row.prepare();
    EXPECT_EQ(rate_limit_take(rate_file_path, "192.0.2.1", 5, 60, 1000), row.outcome) << row.what;
    std::vector<std::string> log = log_messages();
    if (row.log == nullptr) {
      EXPECT_TRUE(log.empty()) << row.what << ": " << log[0];
    } else {
      ASSERT_EQ(log.size(), 1u) << row.what;
      EXPECT_EQ(log[0].rfind(row.log + std::string(rate_file_path) + ")", 0), 0u) << log[0];
    }
    if (row.outcome == RATE_COUNTED) {
      EXPECT_EQ(read_whole_file(rate_file_path), RATE_HEADER + "192.0.2.1 1000:1\n") << row.what;
    }
  }
}

// Another process holds the rate file's lock and does not let go: after the
// lock's time limit the message goes unchecked, and the log says why.
TEST_F(DriverTest, ARateFileLockedElsewhereLetsTheMessageThrough) {
  write_whole_file(rate_file_path, RATE_HEADER + "192.0.2.1 1000:9\n");
  int locked[2];
  int release[2];
  ASSERT_EQ(pipe(locked), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    PlatformFile file = platform_data_open(rate_file_path);
    char byte = platform_file_lock(file) ? 'L' : 'F';
    if (write(locked[1], &byte, 1) != 1) _exit(1);
    (void)read(release[0], &byte, 1);  // until the parent writes or ends
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(locked[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'L');
  RateOutcome while_held = rate_limit_take(rate_file_path, "192.0.2.1", 1, 60, 1000);
  ASSERT_EQ(write(release[1], "x", 1), 1);
  int status = 0;
  waitpid(holder, &status, 0);
  for (int fd : {locked[0], locked[1], release[0], release[1]}) close(fd);

  EXPECT_EQ(while_held, RATE_NOT_APPLIED);
  EXPECT_EQ(log_messages(), std::vector<std::string>{"rate limit not applied: the rate file (" +
                                                     std::string(rate_file_path) + ") was not free within 1000 ms."});
  EXPECT_EQ(rate_limit_take(rate_file_path, "192.0.2.1", 1, 60, 1000), RATE_REFUSED) << "free again";
}

// ---- the order of a run's checks ----

class RunChecksTest : public QuilletTest {
 protected:
  // The form, the request's headers and the ini file, as a run reads them.
  void prepare(const char* body, const char* origin, const char* referer, const char* extra_ini = "") {
    std::vector<char> copy(body, body + std::strlen(body) + 1);
    decode_form_body(copy.data());
    request_variables.remote_address = "192.0.2.1";
    request_variables.origin = origin;
    request_variables.referer = referer;
    write_ini(std::string("logging errors\nsmtp 127.0.0.1:1\nsmtp_timeout 5\n"
                          "headerline To: owner@example.com\nuse_submitted_variable_for_headerline From:\n"
                          "use_submitted_variable_for_headerline CC:\nheaderline Subject: Contact\n"
                          "honeypot_field website\nrequired_field Name\nrequired_field Message\n"
                          "allowed_origin https://www.example.com\nallowed_recipient @example.com\n"
                          "rate_limit 1 60\n") +
              extra_ini);
    load_ini_file();
  }
};

TEST_F(RunChecksTest, TheFirstCheckThatFailsDecidesAndNothingElseIsCounted) {
  const char* ok_origin = "https://www.example.com";
  struct Row {
    const char* body;
    const char* origin;
    const char* referer;
    RunOutcome outcome;
    const char* log;  // the start of the one LOG_ERROR line
  } rows[] = {
      {"website=x&From:=a@b.c", "https://evil.test", nullptr, RUN_HONEYPOT,
       "email not sent: the honeypot field {website}"},
      {"website=%20&Name=Jo&Message=Hi&From:=a@b.c", ok_origin, nullptr, RUN_HONEYPOT,
       "email not sent: the honeypot"},
      {"Name=Jo&Message=Hi&From:=a@b.c", "https://evil.test", nullptr, RUN_ORIGIN_REFUSED,
       "email not sent: the request's Origin {https://evil.test}"},
      {"Name=Jo&Message=Hi&From:=a@b.c", "null", ok_origin, RUN_ORIGIN_REFUSED,
       "email not sent: the request's Origin"},
      {"Name=Jo&Message=Hi&From:=a@b.c", nullptr, "https://www.example.com@evil.test/", RUN_ORIGIN_REFUSED,
       "email not sent: the request's Referer"},
      {"Name=Jo&Message=Hi&From:=a@b.c", nullptr, nullptr, RUN_ORIGIN_REFUSED,
       "email not sent: the request has neither Origin nor Referer"},
      {"Name=Jo&Message=%0D%0A%09+&From:=a@b.c", nullptr, "https://WWW.EXAMPLE.COM:443/contact",
       RUN_MISSING_FIELDS, "email not sent: required fields missing or blank {Message}"},
      {"website=&From:=a@b.c", ok_origin, nullptr, RUN_MISSING_FIELDS,
       "email not sent: required fields missing or blank {Name, Message}"},
      {"Name=Jo&Message=Hi&From:=nobody", ok_origin, nullptr, RUN_INVALID_MESSAGE, "email not sent due to From"},
      {"Name=Jo&Message=Hi&From:=a@b.c&CC:=victim@target.example", ok_origin, nullptr, RUN_RECIPIENT_REFUSED,
       "email not sent: the CC recipient {victim@target.example}"},
  };
  for (const Row& row : rows) {
    reset_all_subsystems();
    std::remove(log_file_path);
    prepare(row.body, row.origin, row.referer);
    check_and_send();
    EXPECT_EQ(reply_facts.outcome, row.outcome) << row.body;
    // One line (the invalid message's spans several lines of the file).
    std::string log = log_text();
    EXPECT_EQ(log.find(" - pid("), log.rfind(" - pid(")) << log;
    EXPECT_EQ(log_messages()[0].rfind(row.log, 0), 0u) << log;
    EXPECT_FALSE(std::filesystem::exists(rate_file_path)) << row.body << ": counted";
  }
}

TEST_F(RunChecksTest, AMessageThatWouldBeSentIsCountedAndTheNextOneRefused) {
  prepare("Name=Jo&Message=Hi&From:=a@b.c", "https://www.example.com", nullptr);
  check_and_send();
  // Nothing listens on port 1: the attempt counts all the same.
  EXPECT_EQ(reply_facts.outcome, RUN_NOT_DELIVERED);
  EXPECT_STREQ(reply_facts.cors_origin, "https://www.example.com");
  EXPECT_TRUE(reply_facts.vary_origin);
  EXPECT_EQ(read_whole_file(rate_file_path).rfind(RATE_HEADER + "192.0.2.1 ", 0), 0u);
  check_and_send();
  EXPECT_EQ(reply_facts.outcome, RUN_RATE_LIMITED);
  EXPECT_EQ(log_messages().back(),
            "email not sent: the client {192.0.2.1} reached the rate limit of 1 messages in 60 seconds");
}

TEST_F(RunChecksTest, TheMissingFieldsAreKeptForTheReplyInTheirLinesOrder) {
  prepare("Message=&Name=", nullptr, "https://www.example.com/");
  check_and_send();
  ASSERT_EQ(reply_facts.missing_count, 2);
  EXPECT_STREQ(reply_facts.missing_fields[0], "Name");
  EXPECT_STREQ(reply_facts.missing_fields[1], "Message");
  EXPECT_EQ(reply_facts.cors_origin, nullptr) << "a Referer is no Origin to answer";
}

}  // namespace
