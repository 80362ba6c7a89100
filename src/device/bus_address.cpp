// SPDX-License-Identifier: MIT
#include "device/bus_address.h"

#include <string.h>

namespace {

// The "key=value" pairs of one address entry "transport:key=value,...", as GDBus reads them: the
// values %-unescaped, the last of a repeated key counting. Returns the table (keys and values
// owned) and sets `transport`, or nullptr with `error` set.
GHashTable* parse_entry(const char* entry, char** transport, GError** error) {
  const char* colon = strchr(entry, ':');
  if (!colon || colon == entry) {
    g_set_error(
        error,
        G_IO_ERROR,
        G_IO_ERROR_INVALID_ARGUMENT,
        "Address element “%s” does not contain a transport and a colon (:)",
        entry);
    return nullptr;
  }
  g_autoptr(GHashTable) pairs = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
  g_auto(GStrv) pieces = g_strsplit(colon + 1, ",", -1);
  for (char** piece = pieces; *piece; piece++) {
    const char* equals = strchr(*piece, '=');
    char* value =
        equals ? g_uri_unescape_string(equals + 1, nullptr /* illegal characters */) : nullptr;
    if (!value || equals == *piece) {
      g_free(value);
      g_set_error(
          error,
          G_IO_ERROR,
          G_IO_ERROR_INVALID_ARGUMENT,
          "Key/Value pair “%s” in address element “%s” is malformed",
          *piece,
          entry);
      return nullptr;
    }
    g_hash_table_insert(pairs, g_strndup(*piece, equals - *piece), value);
  }
  *transport = g_strndup(entry, colon - entry);
  return static_cast<GHashTable*>(g_steal_pointer(&pairs));
}

// Sets `error` to an address that this program does not connect to. Returns false.
bool fail_address(GError** error, const char* entry, const char* what) {
  g_set_error(
      error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "Error in address “%s” — %s", entry, what);
  return false;
}

// The socket addresses that one parsed address entry names, in the order they are tried, and for
// nonce-tcp: its nonce file in `nonce_file`. Names are not looked up: a host is a number, or
// localhost, which is both loopback addresses. Returns false with `error` set for an entry this
// program does not connect to.
bool resolve_entry(
    const char* entry,
    const char* transport,
    GHashTable* pairs,
    GPtrArray* addresses,
    char** nonce_file,
    GError** error) {
  const auto value = [pairs](const char* key) {
    return static_cast<const char*>(g_hash_table_lookup(pairs, key));
  };
  if (strcmp(transport, "unix") == 0) {
    const char* path = value("path");
    const char* abstract = value("abstract");
    if (!path == !abstract) {
      return fail_address(
          error, entry, "the unix transport requires exactly one of the keys path or abstract");
    }
    g_ptr_array_add(
        addresses,
        path ? g_unix_socket_address_new(path)
             : g_unix_socket_address_new_with_type(
                   abstract, -1 /* NUL-terminated */, G_UNIX_SOCKET_ADDRESS_ABSTRACT));
    return true;
  }

  const bool with_nonce = strcmp(transport, "nonce-tcp") == 0;
  if (!with_nonce && strcmp(transport, "tcp") != 0) {
    return fail_address(error, entry, "the transport is unknown or unsupported");
  }
  const char* host = value("host");
  const char* port = value("port");
  const char* family = value("family");
  char* end = nullptr;
  const guint64 number = port ? g_ascii_strtoull(port, &end, 10) : 0;
  if (!port || end == port || *end || number > G_MAXUINT16) {
    return fail_address(error, entry, "the port attribute is missing or malformed");
  }
  if (family && strcmp(family, "ipv4") != 0 && strcmp(family, "ipv6") != 0) {
    return fail_address(error, entry, "the family attribute is malformed");
  }
  if (with_nonce && !value("noncefile")) {
    return fail_address(error, entry, "the noncefile attribute is missing or malformed");
  }
  g_autoptr(GInetAddress) inet = host ? g_inet_address_new_from_string(host) : nullptr;
  if (inet) {
    g_ptr_array_add(addresses, g_inet_socket_address_new(inet, static_cast<guint16>(number)));
  } else if (host && g_ascii_strcasecmp(host, "localhost") == 0) {
    constexpr GSocketFamily kLoopbacks[] = {G_SOCKET_FAMILY_IPV4, G_SOCKET_FAMILY_IPV6};
    for (const GSocketFamily loopback : kLoopbacks) {
      g_autoptr(GInetAddress) address = g_inet_address_new_loopback(loopback);
      g_ptr_array_add(addresses, g_inet_socket_address_new(address, static_cast<guint16>(number)));
    }
  } else {
    return fail_address(error, entry, "the host attribute is missing or not a numeric address");
  }
  *nonce_file = g_strdup(value("noncefile"));
  return true;
}

}  // namespace

char** split_bus_address(const char* address, GError** error) {
  g_auto(GStrv) entries = g_strsplit(address, ";", -1);
  // The empty ones go, the others move up in order.
  char** kept = entries;
  for (char** entry = entries; *entry; entry++) {
    if (**entry == '\0') {
      g_free(*entry);
    } else {
      *kept++ = *entry;
    }
  }
  *kept = nullptr;
  if (!entries[0]) {
    g_set_error_literal(
        error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "The given address is empty");
    return nullptr;
  }
  return static_cast<char**>(g_steal_pointer(&entries));
}

bool resolve_bus_address_entry(
    const char* entry, GPtrArray* addresses, char** nonce_file, GError** error) {
  g_autofree char* transport = nullptr;
  g_autoptr(GHashTable) pairs = parse_entry(entry, &transport, error);
  return pairs && resolve_entry(entry, transport, pairs, addresses, nonce_file, error);
}
