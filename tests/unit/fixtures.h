// fixtures.h - what every unit test program shares: a scratch directory that
// holds the log and ini files, a clean slate in every subsystem, and a fake
// SMTP server.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Each test starts with every subsystem reset, log_file_path, ini_file_path
// and rate_file_path pointing into a fresh scratch directory, and ends with the
// directory removed.
class QuilletTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path inside the scratch directory.
  std::string scratch_path(const std::string& name) const;
  // The whole log file ("" when it does not exist).
  std::string log_text() const;
  // The log's messages: each line with its stamp and pid frame removed.
  std::vector<std::string> log_messages() const;
  // Writes `text` to the ini file.
  void write_ini(const std::string& text) const;

  std::string scratch_dir_;
};

// Reads a whole file as bytes ("" when it cannot be read).
std::string read_whole_file(const std::string& path);
// Writes a whole file as bytes.
void write_whole_file(const std::string& path, const std::string& bytes);
// Lets the process (a death test's child) map only `extra_bytes` more than
// it has mapped now, so that a large allocation fails.
void limit_address_space(long extra_bytes);
// Resets every subsystem's process-wide state; the log writes to
// log_file_path, as after the driver has named the files.
void reset_all_subsystems();
// The wire form of a header block or body (smtp_wire_text), whole.
std::string wire_of(const std::string& text);

// A one-connection SMTP server on 127.0.0.1 (a port the system picks) that
// answers each command from a table and records every byte it receives.
// Set the table, start(), run the client, finish(). A reply "" means silence
// (the server keeps reading), "CLOSE" closes the connection.
struct FakeSmtpServer {
  std::map<std::string, std::string> replies{
      {"greeting", "220 script ESMTP\r\n"},
      {"EHLO", "250-script\r\n250 8BITMIME\r\n"},
      {"HELO", "250 script\r\n"},
      {"MAIL", "250 2.1.0 Ok\r\n"},
      {"DATA", "354 End data with <CR><LF>.<CR><LF>\r\n"},
      {"message", "250 2.0.0 Ok: queued\r\n"},
      {"QUIT", "221 2.0.0 Bye\r\n"},
  };
  std::vector<std::string> recipient_replies;  // one per RCPT; "250 2.1.5 Ok" when none left
  bool hold_until_data = false;                // answer MAIL/RCPT/DATA only when DATA has come
  // How long the server waits before each answer (the greeting included)
  // for input that a client wrote ahead of it; input that arrived by then
  // puts the step into written_ahead. 0 looks only at what is there.
  int answer_delay_ms = 0;

  int listener = -1;
  int port = 0;
  std::thread thread;
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string received;
  std::vector<std::string> commands;
  std::string message;
  // The steps ("greeting" or a command line) after which the client wrote
  // before it had the server's answer, as a server that enforces RFC 5321
  // synchronization (Postfix's reject_unauth_pipelining) sees it.
  std::vector<std::string> written_ahead;

  void start();
  // Stops the server and waits for its thread; safe to call again.
  void finish();
  ~FakeSmtpServer() { finish(); }

  // "127.0.0.1:<port>", as the ini file's smtp line names it.
  std::string server_text() const { return "127.0.0.1:" + std::to_string(port); }
  std::string bytes();

 private:
  bool wait_readable(int fd);
  bool answer(int fd, const std::string& text, std::string* held);
  void note_written_ahead(int fd, const std::string& pending, const std::string& step);
  void serve();
};
