// SPDX-License-Identifier: MIT
#pragma once

#include <gio/gio.h>

// Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS, or its standard place), authenticates and
// registers on it, all before `end_time` on the monotonic clock, whatever the bus does: the
// socket is connected here without blocking, waiting for it only until then, and GDBus then
// authenticates and registers on it under a timer that shuts the socket down at `end_time`.
// Addresses: unix:path=, unix:abstract=, and tcp: or nonce-tcp: with a numeric host or localhost
// (a name look-up could wait on the network past any limit), the nonce file a regular file.
// Returns the connection, or nullptr when there is none.
GDBusConnection* connect_system_bus(gint64 end_time);
