// fixtures.cpp - the shared unit test fixture.
#include "fixtures.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "config/config.h"
#include "driver/driver.h"
#include "form/form.h"
#include "message/message.h"
#include "reply/reply.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

void reset_all_subsystems() {
  support_reset();
  // As the driver does once it has named the files.
  log_set_path(log_file_path);
  config_reset();
  form_reset();
  message_reset();
  reply_reset();
  smtp_reset();
}

std::string wire_of(const std::string& text) {
  std::size_t size = smtp_wire_text(text.c_str(), nullptr, 0);
  std::string wire(size + 1, '\0');
  std::size_t again = smtp_wire_text(text.c_str(), &wire[0], wire.size());
  EXPECT_EQ(size, again);
  wire.resize(size);
  return wire;
}

void limit_address_space(long extra_bytes) {
  long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::exit(100);
  std::fclose(statm);
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * 4096 + static_cast<rlim_t>(extra_bytes);
  setrlimit(RLIMIT_AS, &limit);
}

std::string read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_whole_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

void QuilletTest::SetUp() {
  char pattern[] = "/tmp/quillet-unit-XXXXXX";
  char* made = mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  scratch_dir_ = made;
  reset_all_subsystems();
  std::snprintf(log_file_path, sizeof log_file_path, "%s/quillet.log", scratch_dir_.c_str());
  std::snprintf(ini_file_path, sizeof ini_file_path, "%s/quillet.ini", scratch_dir_.c_str());
  std::snprintf(rate_file_path, sizeof rate_file_path, "%s/quillet.rate", scratch_dir_.c_str());
}

void QuilletTest::TearDown() {
  reset_all_subsystems();
  std::error_code ignored;
  std::filesystem::remove_all(scratch_dir_, ignored);
}

std::string QuilletTest::scratch_path(const std::string& name) const { return scratch_dir_ + "/" + name; }

std::string QuilletTest::log_text() const { return read_whole_file(log_file_path); }

std::vector<std::string> QuilletTest::log_messages() const {
  std::vector<std::string> messages;
  std::istringstream lines(log_text());
  std::string line;
  while (std::getline(lines, line)) {
    // "<stamp> - pid(<n>) - <message>"
    std::size_t frame = line.find(") - ");
    if (line.find(" - pid(") != std::string::npos && frame != std::string::npos)
      messages.push_back(line.substr(frame + 4));
    else
      messages.push_back(line);
  }
  return messages;
}

void QuilletTest::write_ini(const std::string& text) const { write_whole_file(ini_file_path, text); }

// ---- the fake SMTP server ----

void FakeSmtpServer::start() {
  listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  port = ntohs(address.sin_port);
  thread = std::thread([this] { serve(); });
}

void FakeSmtpServer::finish() {
  stop = true;
  if (thread.joinable()) thread.join();
  if (listener >= 0) close(listener);
  listener = -1;
}

std::string FakeSmtpServer::bytes() {
  std::lock_guard<std::mutex> guard(lock);
  return received;
}

// Waits for input; false when the test is over.
bool FakeSmtpServer::wait_readable(int fd) {
  while (!stop) {
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, 50) > 0) return true;
  }
  return false;
}

// Sends a reply (or adds it to *held); false when the connection is to end.
bool FakeSmtpServer::answer(int fd, const std::string& text, std::string* held) {
  if (text == "CLOSE") return false;
  if (held != nullptr) {
    *held += text;
    return true;
  }
  if (!text.empty()) (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  return true;
}

// Before the answer to `step`: did the client write anything more? Bytes
// already read count, and so do bytes that arrive within answer_delay_ms
// (a close is no writing).
void FakeSmtpServer::note_written_ahead(int fd, const std::string& pending, const std::string& step) {
  bool ahead = !pending.empty();
  if (!ahead) {
    pollfd readable{fd, POLLIN, 0};
    char peeked;
    ahead = poll(&readable, 1, answer_delay_ms) > 0 && recv(fd, &peeked, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  }
  if (!ahead) return;
  std::lock_guard<std::mutex> guard(lock);
  written_ahead.push_back(step);
}

void FakeSmtpServer::serve() {
  if (!wait_readable(listener)) return;
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  note_written_ahead(fd, "", "greeting");
  bool open = answer(fd, replies["greeting"], nullptr);
  std::string pending;
  std::string held;
  bool in_data = false;
  std::size_t next_recipient = 0;
  while (open && wait_readable(fd)) {
    char chunk[4096];
    ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    {
      std::lock_guard<std::mutex> guard(lock);
      received.append(chunk, static_cast<std::size_t>(n));
    }
    pending.append(chunk, static_cast<std::size_t>(n));
    std::size_t end;
    while (open && (end = pending.find("\r\n")) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      if (in_data) {
        if (line == ".") {
          in_data = false;
          note_written_ahead(fd, pending, line);
          open = answer(fd, replies["message"], nullptr);
        } else {
          message += line + "\r\n";
        }
        continue;
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        commands.push_back(line);
      }
      note_written_ahead(fd, pending, line);
      std::string verb = line.substr(0, 4);
      std::string* hold = hold_until_data && (verb == "MAIL" || verb == "RCPT") ? &held : nullptr;
      if (verb == "RCPT") {
        std::string text =
            next_recipient < recipient_replies.size() ? recipient_replies[next_recipient] : "250 2.1.5 Ok\r\n";
        next_recipient++;
        open = answer(fd, text, hold);
      } else if (verb == "DATA" && hold_until_data) {
        held += replies["DATA"];
        (void)send(fd, held.data(), held.size(), MSG_NOSIGNAL);
        held.clear();
        in_data = replies["DATA"].compare(0, 3, "354") == 0;
      } else if (replies.count(verb) != 0) {
        open = answer(fd, replies[verb], hold);
        if (verb == "DATA") in_data = replies["DATA"].compare(0, 3, "354") == 0;
        if (verb == "QUIT" && replies["QUIT"] != "") open = false;
      } else {
        open = answer(fd, "500 5.5.2 Error: command not recognized\r\n", hold);
      }
    }
  }
  close(fd);
}
