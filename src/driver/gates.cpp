// gates.cpp - the checks a request passes before its message goes out (a
// honeypot field, the page's origin, required fields, the message itself,
// the client's rate limit), and the delivery.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/config.h"
#include "driver/driver.h"
#include "form/form.h"
#include "message/message.h"
#include "reply/reply.h"
#include "support/support.h"

// How much of a request header a log line shows.
constexpr int HEADER_EXCERPT_SIZE = 201;

// A request header as a log line shows it: at most HEADER_EXCERPT_SIZE - 1
// characters, a control character as '?', so that no visitor can write a
// line of the log's or cut one short.
static void header_excerpt(const char* value, char* excerpt) {
  int length = 0;
  for (const char* at = value; *at != '\0' && length < HEADER_EXCERPT_SIZE - 1; at++) {
    unsigned char c = static_cast<unsigned char>(*at);
    excerpt[length++] = c < 0x20 || c == 0x7F ? '?' : *at;
  }
  excerpt[length] = '\0';
}

static bool honeypot_filled() {
  for (int i = 0; i < honeypot_field_list.count; i++) {
    const char* name = honeypot_field_list.entries[i];
    // Anything at all: people never see the field, so never fill it.
    if (form_value(name)[0] == '\0') continue;
    log_event(LOG_ERROR, "email not sent: the honeypot field {%s} was filled in; answered as if sent", name);
    return true;
  }
  return false;
}

// The request's Origin when an allowed_origin line lists it.
static const char* allowed_request_origin() {
  WebOrigin origin;
  const char* text = request_variables.origin;
  return text != nullptr && parse_origin(text, false, &origin) && origin_allowed(origin) ? text : nullptr;
}

// With allowed_origin lines, the page that posted must be at one of them:
// its Origin says so (`allowed_origin`: the request's Origin when it is
// listed), or, from a browser that sent none, its Referer.
static bool origin_accepted(const char* allowed_origin) {
  if (allowed_origin_list.count == 0) return true;
  char excerpt[HEADER_EXCERPT_SIZE];
  if (request_variables.origin != nullptr) {
    if (allowed_origin != nullptr) return true;
    header_excerpt(request_variables.origin, excerpt);
    log_event(LOG_ERROR, "email not sent: the request's Origin {%s} is not one of the allowed_origin lines",
              excerpt);
    return false;
  }
  if (request_variables.referer != nullptr) {
    WebOrigin origin;
    if (parse_url_origin(request_variables.referer, &origin) && origin_allowed(origin)) return true;
    header_excerpt(request_variables.referer, excerpt);
    log_event(LOG_ERROR, "email not sent: the request's Referer {%s} is not at one of the allowed_origin lines",
              excerpt);
    return false;
  }
  log_event(LOG_ERROR, "email not sent: the request has neither Origin nor Referer, and allowed_origin lines "
                       "are given");
  return false;
}

static bool required_fields_present() {
  ReplyFacts& facts = reply_facts;
  facts.missing_count = 0;
  for (int i = 0; i < required_field_list.count; i++)
    if (!form_field_filled(required_field_list.entries[i]))
      facts.missing_fields[facts.missing_count++] = required_field_list.entries[i];
  if (facts.missing_count == 0) return true;
  TextBuffer* names = text_buffer_create("");
  for (int i = 0; i < facts.missing_count; i++)
    text_buffer_appendf(names, "%s%s", i > 0 ? ", " : "", facts.missing_fields[i]);
  log_event(LOG_ERROR, "email not sent: required fields missing or blank {%s}", names->chars);
  text_buffer_free(names);
  return false;
}

static bool within_rate_limit() {
  if (configuration.rate_limit_count == 0) return true;
  char key[RATE_KEY_SIZE];
  rate_client_key(request_variables.remote_address, key);
  RateOutcome outcome = rate_limit_take(rate_file_path, key, configuration.rate_limit_count,
                                        configuration.rate_limit_seconds, static_cast<long long>(std::time(nullptr)));
  if (outcome != RATE_REFUSED) return true;
  log_event(LOG_ERROR, "email not sent: the client {%s} reached the rate limit of %d messages in %d seconds", key,
            configuration.rate_limit_count, configuration.rate_limit_seconds);
  return false;
}

static RunOutcome checked_delivery(const char* allowed_origin) {
  if (honeypot_filled()) return RUN_HONEYPOT;
  if (!origin_accepted(allowed_origin)) return RUN_ORIGIN_REFUSED;
  if (!required_fields_present()) return RUN_MISSING_FIELDS;
  EmailCheck check = compose_email();
  if (check == EMAIL_INVALID) return RUN_INVALID_MESSAGE;
  if (check == EMAIL_RECIPIENT_REFUSED) return RUN_RECIPIENT_REFUSED;
  // Counted last: what a check above stops never uses up a visitor's share.
  if (!within_rate_limit()) return RUN_RATE_LIMITED;
  return send_composed_email() != 0 ? RUN_SENT : RUN_NOT_DELIVERED;
}

void check_and_send() {
  reply_facts.vary_origin = allowed_origin_list.count > 0;
  reply_facts.cors_origin = allowed_origin_list.count > 0 ? allowed_request_origin() : nullptr;
  reply_facts.outcome = checked_delivery(reply_facts.cors_origin);
}
