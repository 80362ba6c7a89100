// SPDX-License-Identifier: MIT
#include "base/log_value.h"

#include <glib.h>
#include <string.h>
#include <syslog.h>

namespace {

// GLib's message from `domain` at `level`, into syslog.
void log_glib_message(const char* domain, GLogLevelFlags level, const char* message, gpointer) {
  struct rank {
    GLogLevelFlags level;
    const char* name;
    int priority;
  };

  constexpr rank kRanks[] = {
      {G_LOG_LEVEL_ERROR, "ERROR", LOG_ERR},
      {G_LOG_LEVEL_CRITICAL, "CRITICAL", LOG_WARNING},
      {G_LOG_LEVEL_WARNING, "WARNING", LOG_WARNING},
      {G_LOG_LEVEL_MESSAGE, "Message", LOG_NOTICE},
  };
  for (const rank& r : kRanks) {
    if (level & r.level) {
      g_autofree char* text = escape_log_value(message ? message : "");
      syslog(r.priority, "%s-%s: %s", domain ? domain : "GLib", r.name, text);
      return;
    }
  }
}

// What GLib writes with g_print(), such as GDBus's debugging output, into syslog.
void log_glib_output(const char* text) {
  g_autofree char* escaped = escape_log_value(text);
  syslog(LOG_INFO, "%s", escaped);
}

// What GLib writes with g_printerr(), into syslog.
void log_glib_error_output(const char* text) {
  g_autofree char* escaped = escape_log_value(text);
  syslog(LOG_WARNING, "%s", escaped);
}

}  // namespace

char* escape_log_value(const char* value) {
  GString* escaped = g_string_sized_new(strlen(value));
  for (const char* p = value; *p; p++) {
    const auto byte = static_cast<unsigned char>(*p);
    // U+0080 to U+009F in UTF-8: 0xc2 and a byte from 0x80 to 0x9f.
    const bool c1 = byte == 0xc2 && (static_cast<unsigned char>(p[1]) & 0xe0) == 0x80;
    if (byte < 0x20 || byte == 0x7f) {
      g_string_append_printf(escaped, "\\%03o", byte);
    } else if (c1) {
      g_string_append_printf(escaped, "\\%03o\\%03o", byte, static_cast<unsigned char>(*++p));
    } else {
      g_string_append_c(escaped, *p);
    }
  }
  return g_string_free(escaped, FALSE);
}

void send_glib_messages_to_syslog() {
  g_log_set_default_handler(log_glib_message, nullptr);
  g_set_print_handler(log_glib_output);
  g_set_printerr_handler(log_glib_error_output);
}
