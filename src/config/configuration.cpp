// configuration.cpp - the Configuration record and the two line lists.
#include <cstdlib>

#include "config/config.h"

static const Configuration CONFIGURATION_DEFAULTS = {
    nullptr, nullptr, nullptr, nullptr, nullptr,  // smtp .. failure_html_page: absent
    false,                                        // remove_empty_variables
    false,                                        // no_padding
    false,                                        // add_headerline_colon
    false,                                        // use_helo
    true,                                         // add_orlund_link
    "\n",                                         // email_line_end
    SMTP_TIMEOUT_DEFAULT,                         // smtp_timeout
};

// ---- process-wide state ----

Configuration configuration = CONFIGURATION_DEFAULTS;
LineList header_line_list;
LineList body_line_list;

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
  std::free(configuration.smtp);
  std::free(configuration.logging);
  std::free(configuration.sendall);
  std::free(configuration.success_html_page);
  std::free(configuration.failure_html_page);
  configuration = CONFIGURATION_DEFAULTS;
  clear_list(&header_line_list);
  clear_list(&body_line_list);
}
