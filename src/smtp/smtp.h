// smtp.h - mail transfer: the SMTP dialogue, the socket transport under it and
// the socket error messages.
#pragma once

// Back to the state of process start (tests only).
void smtp_reset();

// ---- operations ----

// Delivers one message to `server` ("host" or "host:port"; shortened at the
// ':' and lower-cased in place) from `sender` to `recipient_to` and the
// envelope's BCC and CC recipients. Returns 1 only when the server accepted
// the end of the message data with a 2xx reply, 0 otherwise; every refusal
// is logged at LOG_ERROR. A null server means no `smtp` setting.
int smtp_send_mail(char* server, const char* sender, const char* recipient_to, const char* header_block,
                   const char* body);
