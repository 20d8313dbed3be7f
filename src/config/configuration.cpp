// configuration.cpp - the Configuration record, the two line lists and the
// allowed_recipient list with its test.
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "support/support.h"

static const Configuration CONFIGURATION_DEFAULTS = {
    nullptr, nullptr, nullptr, nullptr, nullptr,  // smtp .. failure_html_page: absent
    nullptr, nullptr, nullptr, nullptr,           // smtp_tls .. smtp_password: absent
    false,                                        // remove_empty_variables
    false,                                        // no_padding
    false,                                        // add_headerline_colon
    false,                                        // use_helo
    true,                                         // add_orlund_link
    "\n",                                         // email_line_end
    SMTP_TIMEOUT_DEFAULT,                         // smtp_timeout
    false,                                        // add_date_and_message_id
    nullptr,                                      // charset: absent
    nullptr, nullptr,                             // success_redirect, failure_redirect: none
    0, 0,                                         // rate_limit_count, rate_limit_seconds: no limit
};

// ---- process-wide state ----

Configuration configuration = CONFIGURATION_DEFAULTS;
LineList header_line_list;
LineList body_line_list;
TextList allowed_recipient_list;
AllowedOriginList allowed_origin_list;
TextList honeypot_field_list;
TextList required_field_list;

static void clear_list(LineList* list) {
  for (int i = 0; i < list->count; i++) {
    std::free(list->entries[i].label);
    std::free(list->entries[i].content);
    list->entries[i].label = nullptr;
    list->entries[i].content = nullptr;
  }
  list->count = 0;
}

void config_reset() {
  release_ini_values();
  configuration = CONFIGURATION_DEFAULTS;
  clear_list(&header_line_list);
  clear_list(&body_line_list);
  std::free(allowed_origin_list.entries);
  allowed_origin_list = AllowedOriginList{};
  log_apply_logging_setting(nullptr);
  log_set_max_size(0);
}

// A local part that routes onwards: "user%host@domain" (the percent hack)
// and "host!user@domain" (a UUCP bang path).
static bool routes_elsewhere(const char* local_part, std::size_t length) {
  for (std::size_t i = 0; i < length; i++)
    if (local_part[i] == '%' || local_part[i] == '!') return true;
  return false;
}

bool recipient_allowed(const char* address) {
  if (allowed_recipient_list.count == 0) return true;
  if (address == nullptr) return false;
  std::size_t length = std::strlen(address);
  for (int i = 0; i < allowed_recipient_list.count; i++) {
    const char* entry = allowed_recipient_list.entries[i];
    std::size_t entry_length = std::strlen(entry);
    if (entry[0] == '@') {
      // Neither a domain nor its entry holds a second '@', so a matching
      // tail begins at the address's own '@'.
      if (length <= entry_length) continue;
      std::size_t local_length = length - entry_length;
      if (text_equal_ignoring_case(address + local_length, entry, static_cast<int>(entry_length)) &&
          !routes_elsewhere(address, local_length))
        return true;
    } else if (length == entry_length && text_equal_ignoring_case(address, entry, static_cast<int>(length))) {
      return true;
    }
  }
  return false;
}
