// SPDX-License-Identifier: MIT
#pragma once

#include <gio/gio.h>

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS, or its standard place), authenticates and
// registers on it, all before `end_time` on the monotonic clock, whatever the bus does and
// whatever the process inherited (signal mask, limits): no signal and no thread is used. The
// socket is connected without blocking (a unix socket whose listen queue is full is tried again
// every 10 ms), and the program speaks the bus's authentication (SASL EXTERNAL, or ANONYMOUS where
// the bus offers only that; a line ends at its first CRLF, and nothing may follow OK) and its
// registration (Hello, with the serial G_MAXUINT32) itself, each wait bounded by `end_time`,
// before it hands the stream to GDBus.
// The address's entries (read as bus_address.h says) are tried in order until one connects; the
// nonce file of a nonce-tcp: entry must be a regular file of exactly 16 bytes.
// Returns the connection, or nullptr with `error` set to why there is none (the last entry's
// cause; G_IO_ERROR_TIMED_OUT once `end_time` has come).
GDBusConnection* connect_system_bus(gint64 end_time, GError** error);

// What connect_system_bus() may connect to, for the program to confine itself to it first: the
// socket addresses of the entries of DBUS_SYSTEM_BUS_ADDRESS (GSocketAddress, read as connecting
// reads them), and the nonce files its nonce-tcp: entries name, added to `nonce_files` (strings).
// An entry that connecting would refuse adds nothing, nor does the standard place, a unix socket.
// Starts no thread.
GPtrArray* list_system_bus_addresses(GPtrArray* nonce_files);
