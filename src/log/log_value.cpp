#include "cgi/log_value.h"

#include <glib.h>
#include <string.h>

char* escape_log_value(const char* value) {
  GString* escaped = g_string_sized_new(strlen(value));
  for (const char* p = value; *p; p++) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x20 || byte == 0x7f) {
      g_string_append_printf(escaped, "\\%03o", byte);
    } else {
      g_string_append_c(escaped, *p);
    }
  }
  return g_string_free(escaped, FALSE);
}
