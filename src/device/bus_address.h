// SPDX-License-Identifier: MIT
#pragma once

#include <gio/gio.h>

// Bus addresses read as GDBus reads them, without any I/O: entries separated by ';', each
// "transport:key=value,...", in which the last of a repeated key counts and values are
// %-unescaped. unix: takes exactly one of path= and abstract=; tcp: and nonce-tcp: take a numeric
// host or localhost (both loopback addresses, any case; a name look-up could wait on the network
// past any limit), a port and at most family=ipv4|ipv6; nonce-tcp: a noncefile= too.

// The entries of `address` in the order they are tried, empty ones left out. Returns them
// (g_strfreev), or nullptr with `error` set when there is none.
char** split_bus_address(const char* address, GError** error);

// The socket addresses that one entry names, in the order they are tried, appended to
// `addresses` (GSocketAddress, owned by the array), and for nonce-tcp: the path of its nonce file
// in `nonce_file` (g_free). Returns true, or false with `error` set (G_IO_ERROR_INVALID_ARGUMENT,
// worded as GDBus words it) for an entry that this program does not connect to.
bool resolve_bus_address_entry(
    const char* entry, GPtrArray* addresses, char** nonce_file, GError** error);
