// SPDX-License-Identifier: MIT
#pragma once

// Returns `value` as it may go into a log line (g_free): every control character written as a
// backslash and three octal digits per byte ("\012"), so that a value from outside (a request, a
// camera service's answer) can neither end the line and forge another one nor steer a terminal.
// Control characters are the bytes below 0x20 and 0x7f, and U+0080 to U+009F in UTF-8 ("\302\233"
// for U+009B). Every other byte, the rest of UTF-8 included, stays as it is.
char* escape_log_value(const char* value);
