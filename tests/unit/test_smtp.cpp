// Unit tests of mail transfer: the socket error messages, the errno
// translation, the wire form of the message text, the reply reader over a
// socket pair, TCPwrite and sendr, the delivery deadline, and the whole
// dialogue against the fake SMTP server of fixtures.h on 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "fixtures.h"
#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

namespace {

using SmtpTest = QuilletTest;

// ---- helpers ----

// Messages of the log that contain `part`.
std::vector<std::string> messages_with(const std::vector<std::string>& messages, const std::string& part) {
  std::vector<std::string> found;
  for (const std::string& message : messages)
    if (message.find(part) != std::string::npos) found.push_back(message);
  return found;
}

bool has_message(const std::vector<std::string>& messages, const std::string& exact) {
  for (const std::string& message : messages)
    if (message == exact) return true;
  return false;
}

// A connected pair of stream sockets: [0] becomes current_connection (closed
// by smtp_reset), [1] plays the server.
struct SocketPair {
  int ends[2];
  SocketPair() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    current_connection = ends[0];
  }
  ~SocketPair() {
    if (ends[1] >= 0) close(ends[1]);
  }
  void send_text(const std::string& text) const {
    ASSERT_EQ(write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void close_server() {
    close(ends[1]);
    ends[1] = -1;
  }
  // Everything the client wrote so far (without waiting for more).
  std::string drain() const {
    std::string got;
    char chunk[4096];
    for (;;) {
      ssize_t n = recv(ends[1], chunk, sizeof chunk, MSG_DONTWAIT);
      if (n <= 0) break;
      got.append(chunk, static_cast<std::size_t>(n));
    }
    return got;
  }
};

// ---- socket error messages ----

TEST_F(SmtpTest, EveryErrorCodeHasItsMessage) {
  struct Row {
    int code;
    const char* message;
  } rows[] = {
      {10004, "The (blocking) call was canceled via WSACancelBlockingCall."},
      {10013, "The requested address is a broadcast address, but the appropriate flag was not set."},
      {10014, "The buf argument is not in a valid part of the user address space."},
      {10022, "The socket has not been bound with bind."},
      {10035, "The socket is marked as non-blocking and the requested operation would block."},
      {10036, "A blocking Windows Sockets operation is in progress."},
      {10038, "The descriptor is not a socket."},
      {10039, "DestAddrReq"},
      {10040,
       "The socket is of type SOCK_DGRAM, and the datagram is larger than the maximum supported by the Windows "
       "Sockets implementation."},
      {10045, "MSG_OOB was specified, but the socket is not of type SOCK_STREAM."},
      {10048, "Address in use"},
      {10049, "Address not avail"},
      {10050, "The Windows Sockets implementation has detected that the network subsystem has failed."},
      {10051, "Network Unreachable"},
      {10052, "The connection must be reset because the Windows Sockets implementation dropped it."},
      {10053, "The virtual circuit was aborted due to timeout or other failure."},
      {10054, "The virtual circuit was reset by the remote side."},
      {10055, "The Windows Sockets implementation reports a buffer deadlock."},
      {10057, "The socket is not connected."},
      {10058,
       "The socket has been shutdown; it is not possible to sendln on a socket after shutdown has been invoked "
       "with how set to 1 or 2."},
      {10059, "Too many refs."},
      {10060, "Timedout"},
      {10061, "Connection Refused"},
      {10063, "Name too long"},
      {10064, "Host down"},
      {10065, "Host Unreachable"},
      {10066, "Not Empty"},
      {10093, "A successful WSAStartup must occur before using this API."},
  };
  ASSERT_EQ(sizeof rows / sizeof rows[0], 28u);
  for (const Row& row : rows) {
    std::remove(log_file_path);
    socket_last_error = row.code;
    TCPerror("Socket Error, could not write.");
    // The message ends in its own line feed, so an empty line follows it.
    std::vector<std::string> messages = log_messages();
    ASSERT_EQ(messages.size(), 2u) << row.code;
    EXPECT_EQ(messages[0], std::string("wsock: (Socket Error, could not write.) ") + row.message) << row.code;
    EXPECT_EQ(messages[1], "") << row.code;
  }
}

TEST_F(SmtpTest, CodesWithoutARowGetTheDefaultLine) {
  struct Row {
    int code;
    const char* expected;
  } rows[] = {
      {10047, "wsock: (mail.example) Socket Unkown error code 10047 "},  // WSAEAFNOSUPPORT
      {10056, "wsock: (mail.example) Socket Unkown error code 10056 "},  // WSAEISCONN
      {10062, "wsock: (mail.example) Socket Unkown error code 10062 "},  // between two rows
      {1, "wsock: (mail.example) Socket Unkown error code 1 "},
      {-7, "wsock: (mail.example) Socket Unkown error code -7 "},
  };
  for (const Row& row : rows) {
    std::remove(log_file_path);
    socket_last_error = row.code;
    TCPerror("mail.example");
    EXPECT_EQ(log_messages(), (std::vector<std::string>{row.expected, ""})) << row.code;
  }
}

TEST_F(SmtpTest, CodeZeroWritesNothing) {
  socket_last_error = 0;
  TCPerror("TCPdoread failed");
  TCPerror("");
  EXPECT_EQ(log_text(), "");
}

TEST_F(SmtpTest, ErrnoBecomesTheWindowsSocketsCode) {
  struct Row {
    int system_error;
    int code;
  } rows[] = {
      {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},    {ECONNRESET, 10054},   {ECONNABORTED, 10053},
      {EPIPE, 10058},        {ENETUNREACH, 10051},  {EHOSTUNREACH, 10065}, {ENOTCONN, 10057},
      {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049}, {EINTR, 10004},       {EACCES, 10013},
      {EINVAL, 10022},       {ENOTSOCK, 10038},     {ENOBUFS, 10055},      {ENAMETOOLONG, 10063},
      {EHOSTDOWN, 10064},    {EAGAIN, 10035},       {EINPROGRESS, 10036},  {EMSGSIZE, 10040},
      {EFAULT, 10014},       {EDESTADDRREQ, 10039}, {ENETDOWN, 10050},     {ENETRESET, 10052},
      {EAFNOSUPPORT, 10047}, {EISCONN, 10056},
      // no counterpart: the errno itself, which then gets the default line
      {ENOENT, ENOENT},      {ENOMEM, ENOMEM},      {0, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(platform_socket_error_code(row.system_error), row.code) << row.system_error;
}

// ---- the wire form ----

TEST_F(SmtpTest, WireFormLineEndsAndTransparency) {
  struct Row {
    const char* text;
    const char* wire;
  } rows[] = {
      {"", ""},
      {"a\n", "a\r\n"},
      {"a\r\n", "a\r\n"},
      {"a\r", "a\r\n"},
      {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd"},
      {"\n\n", "\r\n\r\n"},
      {"\r\r\n", "\r\n\r\n"},  // a lone CR, then CR LF
      {"\n\r", "\r\n\r\n"},    // LF then CR: two line ends
      {".\n", "..\r\n"},
      {"a\n.\nb\n", "a\r\n..\r\nb\r\n"},
      {"a\r.\r", "a\r\n..\r\n"},
      {"..x\n", "...x\r\n"},
      {" .x\n", " .x\r\n"},  // only a dot at the very start of a line counts
      {"x.\n", "x.\r\n"},
      {".", ".."},
      {"no line end", "no line end"},
  };
  for (const Row& row : rows) EXPECT_EQ(wire_of(row.text), row.wire) << "text: " << row.text;
}

TEST_F(SmtpTest, WireFormBreaksLongLines) {
  std::string a998(998, 'a');
  std::string a997(997, 'a');
  std::string a996(996, 'a');
  struct Row {
    std::string text;
    std::string wire;
  } rows[] = {
      {a998 + "\n", a998 + "\r\n"},
      {a998 + "b\n", a998 + "\r\n b\r\n"},
      {a998 + a997 + "\n", a998 + "\r\n " + a997 + "\r\n"},
      {a998 + a997 + "bc", a998 + "\r\n " + a997 + "\r\n bc"},
      // the doubled dot counts toward the 998 octets
      {"." + a996 + "\n", ".." + a996 + "\r\n"},
      {"." + a997 + "\n", ".." + a996 + "\r\n a\r\n"},
      {"." + a998 + "\n", ".." + a996 + "\r\n aa\r\n"},
      // a continuation line begins with a space and never needs a dot
      {a998 + ".x\n", a998 + "\r\n .x\r\n"},
      {a998 + "\r\n" + a998, a998 + "\r\n" + a998},
      {std::string(998, '.'), "." + std::string(997, '.') + "\r\n ."},
  };
  for (const Row& row : rows) EXPECT_EQ(wire_of(row.text), row.wire) << "length " << row.text.size();
}

TEST_F(SmtpTest, WireFormReportsItsSizeAndStaysInTheBuffer) {
  const char* text = "ab\n.c\n";
  char small[5];
  std::memset(small, 'x', sizeof small);
  EXPECT_EQ(smtp_wire_text(text, small, sizeof small), 9u);  // "ab\r\n..c\r\n"
  EXPECT_STREQ(small, "ab\r\n");
  EXPECT_EQ(smtp_wire_text(text, nullptr, 0), 9u);
}

// ---- the reply reader ----

TEST_F(SmtpTest, ReaderTakesAOneLineReply) {
  SocketPair pair;
  pair.send_text("220 12345\r\n");  // nine characters, then CR LF
  SmtpReply reply;
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 220);
  EXPECT_EQ(reply.line_count, 1);
  EXPECT_STREQ(reply.lines, "220 12345\r");
  std::string expected = "RECV(" + std::to_string(pair.ends[0]) + "):[10] {220 12345\r}";
  EXPECT_TRUE(has_message(log_messages(), expected));
}

TEST_F(SmtpTest, ReaderTakesContinuationLinesInOneRead) {
  SocketPair pair;
  pair.send_text("250-one\r\n250-two\r\n250 three\r\n");
  SmtpReply reply;
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 250);
  EXPECT_EQ(reply.line_count, 3);
  std::vector<std::string> lines = messages_with(log_messages(), "RECV(");
  std::string prefix = "RECV(" + std::to_string(pair.ends[0]) + "):";
  EXPECT_EQ(lines, (std::vector<std::string>{prefix + "[8] {250-one\r}", prefix + "[17] {250-two\r}",
                                             prefix + "[28] {250 three\r}"}));
  EXPECT_EQ(reply_carry_length, 0);
}

TEST_F(SmtpTest, ReaderJoinsAReplySplitOverReads) {
  SocketPair pair;
  pair.send_text("250-one\r\n250-t");
  std::thread later([&pair] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pair.send_text("wo\r\n250 three\r\n");
  });
  SmtpReply reply;
  int result = recvr(&reply);
  later.join();
  ASSERT_EQ(result, 1);
  EXPECT_EQ(reply.code, 250);
  EXPECT_EQ(reply.line_count, 3);
  std::string prefix = "RECV(" + std::to_string(pair.ends[0]) + "):";
  EXPECT_EQ(messages_with(log_messages(), "RECV("),
            (std::vector<std::string>{prefix + "[8] {250-one\r}", prefix + "[17] {250-two\r}",
                                      prefix + "[28] {250 three\r}"}));
}

TEST_F(SmtpTest, ReaderKeepsTheNextReplyForTheNextCall) {
  smtp_set_deadline(SMTP_MILLISECONDS_PER_SECOND);
  SocketPair pair;
  pair.send_text("250 mail ok\r\n550 5.1.1 no\r\n354 go");
  SmtpReply reply;
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 250);
  EXPECT_EQ(std::string(reply_carry, static_cast<std::size_t>(reply_carry_length)), "550 5.1.1 no\r\n354 go");
  // Nothing more is on the wire: the second reply comes from the kept bytes.
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 550);
  EXPECT_STREQ(reply.lines, "550 5.1.1 no\r");
  pair.send_text(" ahead\r\n");
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 354);
  EXPECT_STREQ(reply.lines, "354 go ahead\r");
  // Each reply's offsets count from its own first byte.
  std::string prefix = "RECV(" + std::to_string(pair.ends[0]) + "):";
  EXPECT_EQ(messages_with(log_messages(), "RECV("),
            (std::vector<std::string>{prefix + "[12] {250 mail ok\r}", prefix + "[13] {550 5.1.1 no\r}",
                                      prefix + "[13] {354 go ahead\r}"}));
}

TEST_F(SmtpTest, ReaderFinalLineForms) {
  struct Row {
    const char* bytes;
    int code;
    int lines;
  } rows[] = {
      {"250\r\n", 250, 1},
      {"250\n", 250, 1},              // bare LF
      {"221 bye\n", 221, 1},
      {"250-a\n250\n", 250, 2},       // bare final code
      {"25\r\n", 0, 1},               // shorter than four: final, but no code
      {"\r\n", 0, 1},
      {"2500 x\r\n", 0, 1},           // fourth character neither space nor hyphen
      {"hello\r\n", 0, 1},
      {"abc-x\r\n250 ok\r\n", 250, 2},  // a continuation is told by its hyphen alone
  };
  for (const Row& row : rows) {
    smtp_reset();
    SocketPair pair;
    std::string bytes = row.bytes;
    pair.send_text(bytes);
    SmtpReply reply;
    ASSERT_EQ(recvr(&reply), 1) << row.bytes;
    EXPECT_EQ(reply.code, row.code) << row.bytes;
    EXPECT_EQ(reply.line_count, row.lines) << row.bytes;
  }
}

TEST_F(SmtpTest, ReaderCopesWithANulByteInALine) {
  SocketPair pair;
  pair.send_text(std::string("250 a\0b\r\n", 9));
  SmtpReply reply;
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 250);
  EXPECT_EQ(reply.length, 9);
}

TEST_F(SmtpTest, ReaderRefusesAnOverlongReply) {
  struct Row {
    std::string bytes;
  } rows[] = {
      {std::string()},  // filled below: 1000 bytes of continuation lines
      {std::string(1200, 'x')},
      {"250-" + std::string(995, 'y') + "\r\n250 end\r\n"},
  };
  std::string continuation;
  while (continuation.size() < REPLY_BUFFER_SIZE) continuation += "250-abcdefgh\r\n";
  rows[0].bytes = continuation;
  for (const Row& row : rows) {
    smtp_reset();
    std::remove(log_file_path);
    SocketPair pair;
    pair.send_text(row.bytes);
    SmtpReply reply;
    EXPECT_EQ(recvr(&reply), 0);
    EXPECT_TRUE(has_message(log_messages(), "SMTP server reply longer than 1000 bytes"));
  }
}

TEST_F(SmtpTest, ReaderTakesAReplyOfExactlyTheBufferSize) {
  std::string bytes = "250-" + std::string(REPLY_BUFFER_SIZE - 4 - 2 - 7, 'z') + "\r\n" + "250 ok\n";
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(REPLY_BUFFER_SIZE));
  SocketPair pair;
  pair.send_text(bytes);
  SmtpReply reply;
  ASSERT_EQ(recvr(&reply), 1);
  EXPECT_EQ(reply.code, 250);
}

TEST_F(SmtpTest, ReaderReportsAClosedConnection) {
  SocketPair pair;
  pair.send_text("250-first\r\n");
  pair.close_server();
  SmtpReply reply;
  EXPECT_EQ(recvr(&reply), 0);
  std::vector<std::string> messages = log_messages();
  EXPECT_EQ(messages_with(messages, "RECV(").size(), 1u);
  // A clean close is no socket error: TCPerror has nothing to say.
  EXPECT_TRUE(messages_with(messages, "wsock:").empty());
}

TEST_F(SmtpTest, ReaderTimesOut) {
  smtp_set_deadline(SMTP_MILLISECONDS_PER_SECOND);
  SocketPair pair;
  pair.send_text("220-still coming\r\n");
  SmtpReply reply;
  EXPECT_EQ(recvr_greeting(&reply), 0);
  std::vector<std::string> messages = log_messages();
  std::string connection = std::to_string(pair.ends[0]);
  EXPECT_TRUE(has_message(messages, "RECV(" + connection + "): {220-still coming\r}"));
  EXPECT_TRUE(has_message(messages, "wsock: (TCPdoread failed) Timedout"));
}

// ---- writing ----

TEST_F(SmtpTest, TCPwriteEdgeCases) {
  EXPECT_EQ(TCPwrite(PLATFORM_NO_SOCKET, "abc", 3), -1);
  EXPECT_EQ(TCPwrite(PLATFORM_NO_SOCKET, "", 0), 0);
  SocketPair pair;
  EXPECT_EQ(TCPwrite(pair.ends[0], "", 0), 0);
  EXPECT_EQ(log_text(), "");
  EXPECT_EQ(TCPwrite(pair.ends[0], "0123456789", 10), 10);
  EXPECT_EQ(pair.drain(), "0123456789");
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{"SENT(" + std::to_string(pair.ends[0]) + "): (10/10 bytes) {0123456789}"}));
}

TEST_F(SmtpTest, TCPwriteToAClosedPeerFailsWithoutASignal) {
  SocketPair pair;
  pair.close_server();
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  EXPECT_EQ(TCPwrite(pair.ends[0], "QUIT", 4), -1);
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{"wsock: (Socket Error, could not write.) The socket has been shutdown; it is "
                                      "not possible to sendln on a socket after shutdown has been invoked with "
                                      "how set to 1 or 2.",
                                      ""}));
}

TEST_F(SmtpTest, TCPwriteFinishesPartialSends) {
  SocketPair pair;
  int small = 4096;
  ASSERT_EQ(setsockopt(pair.ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(setsockopt(pair.ends[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  std::string text;
  for (int i = 0; text.size() < 60000; i++) text += std::to_string(i) + ",";
  std::string got;
  std::thread reader([&] {
    char chunk[1024];
    while (got.size() < text.size()) {
      ssize_t n = read(pair.ends[1], chunk, sizeof chunk);
      if (n <= 0) break;
      got.append(chunk, static_cast<std::size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int length = static_cast<int>(text.size());
  EXPECT_EQ(TCPwrite(pair.ends[0], text.c_str(), length), length);
  reader.join();
  EXPECT_EQ(got, text);
  // One SENT line per send; their counts add up to the whole.
  std::vector<std::string> sent = messages_with(log_messages(), "SENT(");
  ASSERT_GE(sent.size(), 2u);
  long total = 0;
  std::string of_whole = "/" + std::to_string(length) + " bytes) {";
  for (const std::string& line : sent) {
    std::size_t open = line.find("): (");
    std::size_t slash = line.find(of_whole);
    ASSERT_NE(open, std::string::npos);
    ASSERT_NE(slash, std::string::npos) << line.substr(0, 60);
    total += std::stol(line.substr(open + 4, slash - open - 4));
  }
  EXPECT_EQ(total, length);
}

TEST_F(SmtpTest, SendrEndsEveryCommandWithCRLF) {
  SocketPair pair;
  EXPECT_EQ(sendr("QUIT"), 1);
  EXPECT_EQ(sendr(""), 1);
  EXPECT_EQ(pair.drain(), "QUIT\r\n\r\n");
  std::string c = std::to_string(pair.ends[0]);
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"SEND(" + c + "): {QUIT", "}", "",
                                                       "SENT(" + c + "): (4/4 bytes) {QUIT}",
                                                       "SENT(" + c + "): (2/2 bytes) {\r", "}", "SEND(" + c + "): {",
                                                       "}", "", "SENT(" + c + "): (2/2 bytes) {\r", "}"}));
}

TEST_F(SmtpTest, SendrReportsBothFailedWrites) {
  SocketPair pair;
  pair.close_server();
  EXPECT_EQ(sendr("QUIT"), 0);
  std::vector<std::string> messages = log_messages();
  EXPECT_EQ(messages_with(messages, "wsock: (Socket Error, could not write.)").size(), 2u);
  EXPECT_EQ(messages_with(messages, "wsock: (TCPwrite failed in sendr(1)) The socket has been shutdown").size(), 1u);
  EXPECT_EQ(messages_with(messages, "wsock: (TCPwrite failed in sendr(2)) The socket has been shutdown").size(), 1u);
}

// ---- the delivery deadline ----

TEST_F(SmtpTest, PastTheDeadlineNothingStartsButWhatArrivedCounts) {
  SmtpReply reply;
  struct Row {
    const char* arrived;  // what the server had sent by the deadline
    bool command;         // the client's next step: send QUIT, else read a reply
    int result;
    std::vector<std::string> errors;
  } rows[] = {
      {"250 ok\r\n", false, 1, {}},
      {"250-first\r\n", false, 0, {"wsock: (TCPdoread failed) Timedout"}},
      {"", false, 0, {"wsock: (TCPdoread failed) Timedout"}},
      {"", true, 0,
       {"wsock: (Socket Error, could not write.) Timedout", "wsock: (TCPwrite failed in sendr(1)) Timedout",
        "wsock: (Socket Error, could not write.) Timedout", "wsock: (TCPwrite failed in sendr(2)) Timedout"}},
  };
  for (const Row& row : rows) {
    smtp_reset();
    std::remove(log_file_path);
    SocketPair pair;
    pair.send_text(row.arrived);
    smtp_set_deadline(0);
    EXPECT_EQ(row.command ? sendr("QUIT") : recvr(&reply), row.result) << row.arrived;
    EXPECT_EQ(messages_with(log_messages(), "wsock:"), row.errors) << row.arrived;
    EXPECT_EQ(pair.drain(), "") << row.arrived;
  }

  // Nor does a connect start.
  FakeSmtpServer server;
  server.start();
  char address[] = "127.0.0.1";
  std::remove(log_file_path);
  smtp_set_deadline(0);
  EXPECT_EQ(TCPconnect(address, server.port), PLATFORM_NO_SOCKET);
  EXPECT_EQ(messages_with(log_messages(), "wsock:"), (std::vector<std::string>{"wsock: (127.0.0.1) Timedout"}));
  pollfd waiting{server.listener, POLLIN, 0};
  EXPECT_EQ(poll(&waiting, 1, 0), 0);  // no connection came in
  server.finish();
}

// ---- the login ----

TEST_F(SmtpTest, AuthMechanismsAreReadFromTheEhloReply) {
  struct Row {
    const char* ehlo;
    bool plain;
    bool login;
  } rows[] = {
      {"250-x\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n", true, true},
      {"250-x\r\n250 auth cram-md5 login\r\n", false, true},
      {"250-x\r\n250-AUTH=LOGIN\r\n250 AUTH CRAM-MD5\r\n", false, true},  // the old form, and the new one
      {"250-x\r\n250-AUTH PLAINLOGIN\r\n250 X-PLAIN\r\n", false, false},
      {"250-x\r\n250-AUTHPLAIN\r\n250 AUTH\r\n", false, false},
      {"250 AUTH PLAIN\r\n", false, false},  // the first line names the server
  };
  for (const Row& row : rows) {
    SocketPair pair;
    pair.send_text(row.ehlo);
    SmtpReply reply;
    ASSERT_EQ(recvr(&reply), 1);
    EXPECT_EQ(smtp_reply_offers_auth(&reply, "PLAIN"), row.plain) << row.ehlo;
    EXPECT_EQ(smtp_reply_offers_auth(&reply, "LOGIN"), row.login) << row.ehlo;
  }
}

TEST_F(SmtpTest, NoLoginInClearTextToAServerOffLoopback) {
  // A socket pair leads nowhere on 127.0.0.0/8: as a remote server on a
  // clear connection, it never sees the credentials.
  SocketPair pair;
  pair.send_text("220 x\r\n250-x\r\n250 AUTH PLAIN LOGIN\r\n221 bye\r\n");
  SmtpOptions options{};
  options.user = "formmailer";
  options.password = "s3cret";
  SmtpMessage message{};
  message.sender = "jo@b.c";
  message.recipients[message.recipient_count++] = "owner@site.example";
  smtp_set_deadline(2000);
  EXPECT_EQ(smtp_dialogue(&message, &options, "mail.example.com"), 0);
  EXPECT_EQ(pair.drain(), "EHLO QUILLET\r\nQUIT\r\n");
  EXPECT_TRUE(has_message(log_messages(),
                          "SMTP AUTH not attempted: the connection to mail.example.com is not encrypted; set smtp_tls"));
}

class DialogueTest : public QuilletTest {
 protected:
  void SetUp() override {
    QuilletTest::SetUp();
    options.timeout_seconds = 2;
  }
  // smtp_send_mail from jo@b.c to the recipients, with the options.
  int send_to(char* server, const char* header = "Subject: hi\n", const char* body = " Name: Jo\n") {
    SmtpMessage message{};
    message.sender = "jo@b.c";
    for (const char* recipient : recipients) message.recipients[message.recipient_count++] = recipient;
    message.header_block = header;
    message.body = body;
    message.header_block_8bit = header_8bit;
    message.body_8bit = body_8bit;
    return smtp_send_mail(server, &message, &options);
  }
  // Runs smtp_send_mail against the server and returns its result.
  int deliver(FakeSmtpServer* server, const char* header = "Subject: hi\n", const char* body = " Name: Jo\n") {
    server->start();
    std::string text = server->server_text();
    std::vector<char> writable(text.begin(), text.end());
    writable.push_back('\0');
    int result = send_to(writable.data(), header, body);
    smtp_reset();  // closes the client's end, which ends the server's loop
    server->finish();
    return result;
  }

  SmtpOptions options{};
  std::vector<const char*> recipients{"owner@site.example"};
  const char* header_8bit = nullptr;  // the message's 8bit form, none by default
  const char* body_8bit = nullptr;
};

const char MESSAGE_WIRE[] = "Subject: hi\r\n\r\n Name: Jo\r\n\r\n.\r\n";

TEST_F(DialogueTest, OneCommandAtATimeWaitsForEachReply) {
  // Before each answer the server waits a little for anything the client
  // wrote ahead of it: a client that sent its next command early, as a
  // pipelining one does, is caught here (so is one that spoke before the
  // greeting).
  struct Row {
    bool use_helo;
    const char* ehlo_reply;
    const char* hello;
  } rows[] = {
      {true, "250-script\r\n250 PIPELINING\r\n", "HELO QUILLET\r\n"},
      {false, "250-script\r\n250 8BITMIME\r\n", "EHLO QUILLET\r\n"},
      {false, "502 5.5.2 Error: command not recognized\r\n", "EHLO QUILLET\r\nHELO QUILLET\r\n"},
  };
  for (const Row& row : rows) {
    options.use_helo = row.use_helo;
    FakeSmtpServer server;
    server.replies["EHLO"] = row.ehlo_reply;
    server.answer_delay_ms = 30;
    EXPECT_EQ(deliver(&server), 1) << row.hello;
    EXPECT_EQ(server.bytes(), std::string(row.hello) + "MAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\n"
                                                       "DATA\r\n" +
                                  MESSAGE_WIRE + "QUIT\r\n");
    EXPECT_EQ(server.written_ahead, std::vector<std::string>{}) << row.hello;
  }
}

TEST_F(DialogueTest, PipelinedGroupGetsItsRepliesTogether) {
  // The server answers nothing before DATA: only a client that sends the
  // whole group without waiting gets through, and it then finds all replies
  // in one read.
  FakeSmtpServer server;
  server.replies["EHLO"] = "250-script\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
  server.hold_until_data = true;
  recipients = {"owner@site.example", "bcc@b.c", "cc@b.c"};
  EXPECT_EQ(deliver(&server), 1);
  EXPECT_EQ(server.bytes(), std::string("EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\n"
                                        "RCPT TO:<bcc@b.c>\r\nRCPT TO:<cc@b.c>\r\nDATA\r\n") +
                                MESSAGE_WIRE + "QUIT\r\n");
}

// The 8bit form goes only to a server whose EHLO reply announced 8BITMIME,
// with BODY=8BITMIME (RFC 6152), pipelined or not; every other server gets
// the 7-bit form.
TEST_F(DialogueTest, TheEightBitFormOnlyWhereEightBitMimeWasAnnounced) {
  struct Row {
    bool helo;
    const char* ehlo_reply;
    bool offered;  // an 8bit form given
    const char* mail_command;
    const char* message;
  } rows[] = {
      {false, "250-script\r\n250-8bitmime\r\n250 SIZE 1000\r\n", true, "MAIL FROM:<jo@b.c> BODY=8BITMIME",
       "CTE: 8bit\r\n\r\n Name: Zo\xC3\xAB\r\n\r\n"},
      {false, "250-script\r\n250-PIPELINING\r\n250 8BITMIME\r\n", true, "MAIL FROM:<jo@b.c> BODY=8BITMIME",
       "CTE: 8bit\r\n\r\n Name: Zo\xC3\xAB\r\n\r\n"},
      {false, "250-script\r\n250 PIPELINING\r\n", true, "MAIL FROM:<jo@b.c>", "CTE: qp\r\n\r\n Name: Zo=C3=AB\r\n\r\n"},
      {false, "250-script 8BITMIME\r\n250 X-8BITMIME\r\n", true, "MAIL FROM:<jo@b.c>",
       "CTE: qp\r\n\r\n Name: Zo=C3=AB\r\n\r\n"},
      {true, "250-script\r\n250 8BITMIME\r\n", true, "MAIL FROM:<jo@b.c>", "CTE: qp\r\n\r\n Name: Zo=C3=AB\r\n\r\n"},
      {false, "502 5.5.2 Error: command not recognized\r\n", true, "MAIL FROM:<jo@b.c>",
       "CTE: qp\r\n\r\n Name: Zo=C3=AB\r\n\r\n"},
      {false, "250-script\r\n250 8BITMIME\r\n", false, "MAIL FROM:<jo@b.c>",
       "CTE: qp\r\n\r\n Name: Zo=C3=AB\r\n\r\n"},
  };
  for (const Row& row : rows) {
    options.use_helo = row.helo;
    header_8bit = row.offered ? "CTE: 8bit\n" : nullptr;
    body_8bit = row.offered ? " Name: Zo\xC3\xAB\n" : nullptr;
    FakeSmtpServer server;
    server.replies["EHLO"] = row.ehlo_reply;
    EXPECT_EQ(deliver(&server, "CTE: qp\n", " Name: Zo=C3=AB\n"), 1) << row.ehlo_reply;
    auto mail = std::find_if(server.commands.begin(), server.commands.end(),
                             [](const std::string& command) { return command.rfind("MAIL", 0) == 0; });
    ASSERT_NE(mail, server.commands.end()) << row.ehlo_reply;
    EXPECT_EQ(*mail, row.mail_command) << row.ehlo_reply;
    EXPECT_EQ(server.message, row.message) << row.ehlo_reply;
  }
}

TEST_F(DialogueTest, EhloRefusedFallsBackToHelo) {
  FakeSmtpServer server;
  server.replies["EHLO"] = "502 5.5.2 Error: command not recognized\r\n";
  EXPECT_EQ(deliver(&server), 1);
  EXPECT_EQ(server.bytes().substr(0, 28), "EHLO QUILLET\r\nHELO QUILLET\r\n");
  EXPECT_TRUE(has_message(log_messages(), "SMTP server refused EHLO QUILLET: 502 5.5.2 Error: command not recognized"));
}

TEST_F(DialogueTest, EhloRefusalIsNoError) {
  log_apply_logging_setting("errors");
  FakeSmtpServer server;
  server.replies["EHLO"] = "502 5.5.2 Error: command not recognized\r\n";
  EXPECT_EQ(deliver(&server), 1);
  EXPECT_EQ(log_text(), "");
}

TEST_F(DialogueTest, RefusedRecipientAmongAcceptedOnesIsSkipped) {
  FakeSmtpServer server;
  server.recipient_replies = {"250 2.1.5 Ok\r\n", "550 5.1.1 <cc@b.c>: User unknown\r\n"};
  recipients = {"owner@site.example", "cc@b.c"};
  EXPECT_EQ(deliver(&server), 1);
  EXPECT_NE(server.bytes().find(MESSAGE_WIRE), std::string::npos);
  EXPECT_TRUE(has_message(log_messages(), "SMTP server refused RCPT TO:<cc@b.c>: 550 5.1.1 <cc@b.c>: User unknown"));
}

TEST_F(DialogueTest, EveryRecipientRefusedMeansNoData) {
  FakeSmtpServer server;
  server.recipient_replies = {"550 5.1.1 User unknown\r\n", "554 5.7.1 Relay access denied\r\n"};
  recipients = {"owner@site.example", "a@b.c"};
  EXPECT_EQ(deliver(&server), 0);
  EXPECT_EQ(server.bytes(), "EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\n"
                            "RCPT TO:<a@b.c>\r\nQUIT\r\n");
  std::vector<std::string> refusals = messages_with(log_messages(), "SMTP server refused");
  EXPECT_EQ(refusals, (std::vector<std::string>{"SMTP server refused RCPT TO:<owner@site.example>: 550 5.1.1 User "
                                                "unknown",
                                                "SMTP server refused RCPT TO:<a@b.c>: 554 5.7.1 Relay access denied"}));
}

TEST_F(DialogueTest, PipelinedWithEveryRecipientRefusedSendsNoMessage) {
  FakeSmtpServer server;
  server.replies["EHLO"] = "250-script\r\n250 PIPELINING\r\n";
  server.recipient_replies = {"550 5.1.1 User unknown\r\n"};
  // A server that takes DATA anyway (RFC 2920 3.1 allows it): the client
  // ends the data at once.
  EXPECT_EQ(deliver(&server), 0);
  EXPECT_EQ(server.bytes(), "EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\nDATA\r\n"
                            ".\r\nQUIT\r\n");
  EXPECT_EQ(server.message, "");
}

TEST_F(DialogueTest, HeloRefusedAfterEhloRefused) {
  FakeSmtpServer server;
  server.replies["EHLO"] = "500 no\r\n";
  server.replies["HELO"] = "501 not you\r\n";
  EXPECT_EQ(deliver(&server), 0);
  EXPECT_EQ(server.bytes(), "EHLO QUILLET\r\nHELO QUILLET\r\nQUIT\r\n");
  EXPECT_TRUE(has_message(log_messages(), "SMTP server refused HELO QUILLET: 501 not you"));
}

TEST_F(DialogueTest, RefusalEndsWithQuitSilenceOrCloseWithout) {
  options.timeout_seconds = 1;
  const std::string envelope = "EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nRCPT TO:<owner@site.example>\r\nDATA\r\n";
  struct Row {
    const char* step;
    const char* reply;
    std::string wire;
    const char* logged;
  } rows[] = {
      // refusals
      {"greeting", "554 5.3.2 no service\r\n", "QUIT\r\n", "SMTP server refused the connection: 554 5.3.2 no service"},
      {"MAIL", "553-5.7.1 first line\r\n553 5.7.1 sender rejected\r\n",
       "EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\nQUIT\r\n",
       "SMTP server refused MAIL FROM:<jo@b.c>: 553-5.7.1 first line 553 5.7.1 sender rejected"},
      {"DATA", "554 5.5.1 Error: no valid recipients\r\n", envelope + "QUIT\r\n",
       "SMTP server refused DATA: 554 5.5.1 Error: no valid recipients"},
      {"message", "554 5.7.1 spam\r\n", envelope + MESSAGE_WIRE + "QUIT\r\n",
       "SMTP server refused the message: 554 5.7.1 spam"},
      // silence ("") or a closed connection: nothing more is written
      {"greeting", "", "", "SMTP server did not send its greeting"},
      {"greeting", "CLOSE", "", "SMTP server did not send its greeting"},
      {"EHLO", "", "EHLO QUILLET\r\n", "SMTP server did not answer EHLO QUILLET"},
      {"MAIL", "CLOSE", "EHLO QUILLET\r\nMAIL FROM:<jo@b.c>\r\n", "SMTP server did not answer MAIL FROM:<jo@b.c>"},
      {"DATA", "", envelope, "SMTP server did not answer DATA"},
      {"message", "", envelope + MESSAGE_WIRE, "SMTP server did not answer the end of the message"},
  };
  for (const Row& row : rows) {
    std::remove(log_file_path);
    FakeSmtpServer server;
    server.replies[row.step] = row.reply;
    EXPECT_EQ(deliver(&server), 0) << row.step << " " << row.reply;
    EXPECT_EQ(server.bytes(), row.wire) << row.step << " " << row.reply;
    std::vector<std::string> messages = log_messages();
    EXPECT_TRUE(has_message(messages, row.logged)) << row.step;
    if (std::string(row.reply).empty()) {
      EXPECT_TRUE(has_message(messages, "wsock: (TCPdoread failed) Timedout")) << row.step;
    }
  }
}

TEST_F(DialogueTest, AcceptedMessageStaysSentWhateverQuitGets) {
  options.timeout_seconds = 1;
  const char* quit_replies[] = {"", "CLOSE", "500 what\r\n"};
  for (const char* quit_reply : quit_replies) {
    FakeSmtpServer server;
    server.replies["QUIT"] = quit_reply;
    EXPECT_EQ(deliver(&server), 1) << quit_reply;
  }
}

TEST_F(DialogueTest, MissingServerSettingTriesNothing) {
  EXPECT_EQ(send_to(nullptr), 0);
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"SMTP email server ((null)) did not respond.", ""}));
  EXPECT_FALSE(winsock_started);
}

TEST_F(DialogueTest, RefusedConnectionIsReportedAndTheServerTextShortened) {
  // A port that was just free: nothing listens there.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t size = sizeof address;
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
  close(probe);
  std::string text = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  std::vector<char> writable(text.begin(), text.end());
  writable.push_back('\0');
  EXPECT_EQ(send_to(writable.data()), 0);
  EXPECT_STREQ(writable.data(), "127.0.0.1");
  EXPECT_EQ(log_messages(), (std::vector<std::string>{"wsock: (127.0.0.1) Connection Refused", "",
                                                      "SMTP email server (127.0.0.1) did not respond.", ""}));
  EXPECT_TRUE(winsock_started);
}

TEST_F(DialogueTest, ServerTextIsLowerCasedAndResolvedByName) {
  FakeSmtpServer server;
  server.start();
  std::string text = "LocalHost:" + std::to_string(server.port);
  std::vector<char> writable(text.begin(), text.end());
  writable.push_back('\0');
  EXPECT_EQ(send_to(writable.data(), "Subject: hi\n", ""), 1);
  EXPECT_STREQ(writable.data(), "localhost");
  smtp_reset();
  server.finish();
}

TEST_F(DialogueTest, ConnectionSendsCommandsWithoutDelay) {
  FakeSmtpServer server;
  server.start();
  char address[] = "127.0.0.1";
  PlatformSocket connection = TCPconnect(address, server.port);
  ASSERT_NE(connection, PLATFORM_NO_SOCKET);
  current_connection = connection;  // closed by smtp_reset
  int no_delay = 0;
  socklen_t size = sizeof no_delay;
  ASSERT_EQ(getsockopt(static_cast<int>(connection), IPPROTO_TCP, TCP_NODELAY, &no_delay, &size), 0);
  EXPECT_NE(no_delay, 0);
  smtp_reset();
  server.finish();
}

TEST_F(DialogueTest, AnnouncedExtensionsAreFoundOnTheirOwnLines) {
  struct Row {
    const char* reply;
    bool pipelining;
  } rows[] = {
      {"250-mx\r\n250-PIPELINING\r\n250 8BITMIME\r\n", true},
      {"250-mx\r\n250 pipelining\r\n", true},
      {"250-mx\r\n250-PIPELINING x\r\n250 DSN\r\n", true},
      {"250-mx\r\n250 PIPELINING\n", true},
      {"250 PIPELINING\r\n", false},  // the first line is the server's name
      {"250-mx\r\n250 PIPELININGX\r\n", false},
      {"250-mx\r\n250 XPIPELINING\r\n", false},
      {"250-mx\r\n250 PIPELIN\r\n", false},
  };
  for (const Row& row : rows) {
    smtp_reset();
    SocketPair pair;
    pair.send_text(row.reply);
    SmtpReply reply;
    ASSERT_EQ(recvr(&reply), 1);
    EXPECT_EQ(smtp_reply_announces(&reply, "PIPELINING"), row.pipelining) << row.reply;
  }
}

}  // namespace
