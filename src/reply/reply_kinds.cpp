// reply_kinds.cpp - which reply a run gives: the JSON answer for a script
// that posted with fetch(), the redirect to the site's own page, or the
// reply page.
#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "form/form.h"
#include "reply/reply.h"
#include "support/support.h"

const char MISSING_FIELDS_TOKEN[] = "quillet_missing_fields";

// ---- process-wide state ----

ReplyFacts reply_facts;

// The status line and the "reason" of each outcome's JSON reply; null for
// the outcomes answered as sent.
struct JsonAnswer {
  RunOutcome outcome;
  const char* status;
  const char* reason;
};

// 422 is RFC 9110's "Unprocessable Content": the request was understood but
// what it holds cannot be sent. 502: the gateway (this program) got no
// acceptance from the server behind it.
static const JsonAnswer JSON_ANSWERS[] = {
    {RUN_SENT, "200 OK", nullptr},
    {RUN_HONEYPOT, "200 OK", nullptr},
    {RUN_ORIGIN_REFUSED, "403 Forbidden", "origin"},
    {RUN_MISSING_FIELDS, "422 Unprocessable Content", "missing"},
    {RUN_INVALID_MESSAGE, "422 Unprocessable Content", "invalid"},
    {RUN_RECIPIENT_REFUSED, "403 Forbidden", "recipient"},
    {RUN_RATE_LIMITED, "429 Too Many Requests", "rate_limit"},
    {RUN_NOT_DELIVERED, "502 Bad Gateway", "mail_server"},
};

static const char JSON_MEDIA_TYPE[] = "application/json";
static const char HTML_MEDIA_TYPE[] = "text/html";

// Whether the parameters of one media range, from `at` to `end` (after the
// type), hold a "q" of 0 ("q=0", "q=0.0", "q=0.000"): the client does not
// take that type at all (RFC 9110 12.4.2).
static bool refused_by_quality(const char* at, const char* end) {
  while (at < end) {
    const char* parameter_end = static_cast<const char*>(std::memchr(at, ';', static_cast<std::size_t>(end - at)));
    if (parameter_end == nullptr) parameter_end = end;
    const char* name = at;
    while (name < parameter_end && is_blank(*name)) name++;
    if (parameter_end - name >= 2 && (name[0] == 'q' || name[0] == 'Q') && name[1] == '=') {
      const char* value = name + 2;
      const char* value_end = parameter_end;
      while (value_end > value && is_blank(value_end[-1])) value_end--;
      if (value < value_end && *value == '0') {
        const char* digit = value + 1;
        if (digit < value_end && *digit == '.') digit++;
        while (digit < value_end && *digit == '0') digit++;
        if (digit == value_end) return true;
      }
    }
    at = parameter_end + 1;
  }
  return false;
}

static bool is_media_type(const char* type, std::size_t length, const char* name) {
  return length == std::strlen(name) && text_equal_ignoring_case(type, name, static_cast<int>(length));
}

bool accept_wants_json(const char* accept) {
  if (accept == nullptr) return false;
  bool json = false;
  bool html = false;
  const char* at = accept;
  while (*at != '\0') {
    const char* range_end = at + std::strcspn(at, ",");
    const char* type = at;
    while (type < range_end && is_blank(*type)) type++;
    const char* type_end = type;
    while (type_end < range_end && *type_end != ';') type_end++;
    const char* parameters = type_end;
    while (type_end > type && is_blank(type_end[-1])) type_end--;
    std::size_t length = static_cast<std::size_t>(type_end - type);
    if (!refused_by_quality(parameters, range_end)) {
      json = json || is_media_type(type, length, JSON_MEDIA_TYPE);
      html = html || is_media_type(type, length, HTML_MEDIA_TYPE);
    }
    at = *range_end == ',' ? range_end + 1 : range_end;
  }
  return json && !html;
}

void write_reply_headers(const char* content_type) {
  std::fputs("Pragma: no-cache\n", stdout);
  // The Origin was read as scheme, host and port only: it holds no blank,
  // no line end, nothing that could end this header.
  if (reply_facts.cors_origin != nullptr) std::printf("Access-Control-Allow-Origin: %s\n", reply_facts.cors_origin);
  if (reply_facts.vary_origin) std::fputs("Vary: Origin\n", stdout);
  std::printf("Content-type: %s\n\n", content_type);
}

ReplyVariant reply_variant_of(RunOutcome outcome) {
  return outcome == RUN_SENT || outcome == RUN_HONEYPOT ? REPLY_SUCCESS : REPLY_FAILURE;
}

// A JSON string (RFC 8259 7). Bytes from 0x80 up pass as they are: field
// names are the ini file's, normally UTF-8. < > & are escaped too, so that
// the answer is inert should anything take it for HTML.
static void write_json_string(const char* text) {
  std::fputc('"', stdout);
  for (const unsigned char* at = reinterpret_cast<const unsigned char*>(text); *at != '\0'; at++) {
    if (*at == '"' || *at == '\\')
      std::printf("\\%c", *at);
    else if (*at < 0x20 || *at == 0x7F || *at == '<' || *at == '>' || *at == '&')
      std::printf("\\u%04x", *at);
    else
      std::fputc(*at, stdout);
  }
  std::fputc('"', stdout);
}

void write_json_reply(RunOutcome outcome) {
  const JsonAnswer* answer = &JSON_ANSWERS[0];
  for (const JsonAnswer& row : JSON_ANSWERS)
    if (row.outcome == outcome) answer = &row;
  std::printf("Status: %s\n", answer->status);
  write_reply_headers(JSON_MEDIA_TYPE);
  if (answer->reason == nullptr) {
    std::fputs("{\"sent\":true}\n", stdout);
    return;
  }
  std::printf("{\"sent\":false,\"reason\":\"%s\"", answer->reason);
  if (outcome == RUN_MISSING_FIELDS) {
    std::fputs(",\"missing\":[", stdout);
    for (int i = 0; i < reply_facts.missing_count; i++) {
      if (i > 0) std::fputc(',', stdout);
      write_json_string(reply_facts.missing_fields[i]);
    }
    std::fputc(']', stdout);
  }
  std::fputs("}\n", stdout);
}

void write_redirect_reply(const char* url) {
  // The address is the ini file's own, checked when it was read: no blank
  // or control character can end the Location line early.
  std::fputs("Status: 303 See Other\n", stdout);
  std::printf("Location: %s\n", url);
  write_reply_headers(HTML_MEDIA_TYPE);
  std::fputs("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>See Other</title></head>\n"
             "<body><p>Please continue to <a href=\"",
             stdout);
  write_html_escaped(url);
  std::fputs("\">", stdout);
  write_html_escaped(url);
  std::fputs("</a>.</p></body></html>\n", stdout);
}

void write_reply() {
  RunOutcome outcome = reply_facts.outcome;
  if (accept_wants_json(request_variables.accept)) {
    write_json_reply(outcome);
    return;
  }
  bool success = reply_variant_of(outcome) == REPLY_SUCCESS;
  const char* redirect = success ? configuration.success_redirect : configuration.failure_redirect;
  if (redirect != nullptr) {
    write_redirect_reply(redirect);
    return;
  }
  write_reply_page(success ? REPLY_SUCCESS : REPLY_FAILURE);
}
