#pragma once

// Returns `value` as it may go into a log line (g_free): every control byte (below 0x20, and
// 0x7f) written as a backslash and three octal digits ("\012"), so that a value taken from a
// request can neither end the line and forge another one nor steer a terminal. Every other byte,
// UTF-8 included, stays as it is.
char* escape_log_value(const char* value);
