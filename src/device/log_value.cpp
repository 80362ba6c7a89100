// SPDX-License-Identifier: MIT
#include "device/log_value.h"

#include <glib.h>
#include <string.h>

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
