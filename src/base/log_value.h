// SPDX-License-Identifier: MIT
#pragma once

// Returns `value` as it may go into a log line (g_free): every control character written as a
// backslash and three octal digits per byte ("\012"), so that a value from outside (a request, a
// camera service's answer) can neither end the line and forge another one nor steer a terminal.
// Control characters are the bytes below 0x20 and 0x7f, and U+0080 to U+009F in UTF-8 ("\302\233"
// for U+009B). Every other byte, the rest of UTF-8 included, stays as it is.
char* escape_log_value(const char* value);

// Sends whatever GLib itself prints to syslog instead of standard output or standard error,
// which a web server may hand to the client: its warnings and criticals (ranked as its own journal
// writer ranks them), g_print() and g_printerr(), each escaped as escape_log_value() escapes a
// value. GLib's debug and informational messages are dropped.
void send_glib_messages_to_syslog();
