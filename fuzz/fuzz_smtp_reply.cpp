// fuzz_smtp_reply.cpp - the SMTP reply reader and the dialogue on any bytes
// the server might send. The first byte chooses: bit 0 reads replies until
// the reader gives up, otherwise the whole dialogue runs; bit 1 selects HELO;
// bits 2 and 3 add a BCC and a CC recipient; bit 4 logs in (AUTH PLAIN or
// LOGIN, as the EHLO reply offers) as if the server were on loopback. The rest is what the server
// says, all of it waiting in a socket pair whose server end is closed for
// writing, so every read ends at the data's end without waiting.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "smtp/smtp.h"
#include "smtp/smtp_internal.h"
#include "support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  log_set_path("/dev/null");
  if (size == 0) return 0;
  std::uint8_t mode = data[0];
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) std::abort();
  // As much of the server's part as the pair holds without blocking.
  std::size_t offset = 1;
  while (offset < size) {
    ssize_t n = send(ends[1], data + offset, size - offset, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    offset += static_cast<std::size_t>(n);
  }
  shutdown(ends[1], SHUT_WR);

  smtp_reset();
  current_connection = ends[0];
  smtp_set_deadline(SMTP_MILLISECONDS_PER_SECOND);
  SmtpOptions options{};
  options.use_helo = (mode & 2) != 0;
  if ((mode & 16) != 0) {
    options.user = "user";
    options.password = "secret";
    connected_to_loopback = true;
  }
  SmtpMessage message{};
  message.sender = "jo@b.c";
  message.recipients[message.recipient_count++] = "owner@site.example";
  if ((mode & 4) != 0) message.recipients[message.recipient_count++] = "bcc@b.c";
  if ((mode & 8) != 0) message.recipients[message.recipient_count++] = "cc@b.c";
  message.header_block = "Subject: hi\n.\n";
  message.body = " Msg: a\n";

  if ((mode & 1) != 0) {
    static SmtpReply reply;
    int replies = 0;
    while (recvr(&reply) == 1) {
      // A reply is whole lines ending in a final one, inside the buffer.
      if (reply.line_count < 1 || reply.length < 1 || reply.length > REPLY_BUFFER_SIZE) std::abort();
      if (reply.code < 0 || reply.code > 999) std::abort();
      if (++replies > REPLY_BUFFER_SIZE * 100) std::abort();  // every reply consumes bytes
    }
  } else {
    int result = smtp_dialogue(&message, &options, "fuzz.test");
    if (result != 0 && result != 1) std::abort();
  }

  smtp_reset();  // closes the client's end
  close(ends[1]);
  return 0;
}
