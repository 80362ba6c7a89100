// SPDX-License-Identifier: MIT
#include "device/bus_address.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

// What the program would try for `address`: each entry's socket addresses ("/PATH", "@ABSTRACT",
// "HOST:PORT") and nonce file, entries separated by "; "; or why not, the
// entry's name left out of the words "Error in address “ENTRY” — ".
std::string read_address(const char* address) {
  g_autoptr(GError) error = nullptr;
  g_auto(GStrv) entries = split_bus_address(address, &error);
  std::string text;
  for (char** entry = entries; entry && *entry && !error; entry++) {
    g_autoptr(GPtrArray) addresses = g_ptr_array_new_with_free_func(g_object_unref);
    g_autofree char* nonce = nullptr;
    if (resolve_bus_address_entry(*entry, addresses, &nonce, &error)) {
      for (guint i = 0; i < addresses->len; i++) {
        auto* socket_address = static_cast<GSocketAddress*>(addresses->pdata[i]);
        const bool abstract =
            G_IS_UNIX_SOCKET_ADDRESS(socket_address) &&
            g_unix_socket_address_get_address_type(G_UNIX_SOCKET_ADDRESS(socket_address)) ==
                G_UNIX_SOCKET_ADDRESS_ABSTRACT;
        g_autofree char* name =
            g_socket_connectable_to_string(G_SOCKET_CONNECTABLE(socket_address));
        text += std::string(i > 0 ? ", " : text.empty() ? "" : "; ") + (abstract ? "@" : "") + name;
      }
      text += nonce ? std::string(" nonce ") + nonce : "";
    } else if (g_str_has_prefix(error->message, "Error in address")) {
      return strstr(error->message, "\u2014 ") + strlen("\u2014 ");
    }
  }
  return error ? error->message : text;
}

TEST(BusAddress, ReadsAddressesAsGDBusDoes) {
  const std::pair<const char*, const char*> cases[] = {
      {"unix:path=/run/bus", "/run/bus"},
      {"unix:abstract=quadview-test", "@quadview-test"},
      // Entries in order, the empty ones left out.
      {";unix:path=/a;;tcp:host=::1,port=1;", "/a; [::1]:1"},
      {";;", "The given address is empty"},
      {"", "The given address is empty"},
      // The last of a repeated key counts; values are %-unescaped.
      {"unix:path=/a,path=/b", "/b"},
      {"tcp:host=%3a%3a1,port=4000,family=ipv6", "[::1]:4000"},
      // localhost is both loopback addresses, in any case; no other name is looked up.
      {"tcp:host=LocalHost,port=4000", "127.0.0.1:4000, [::1]:4000"},
      {"tcp:host=camera.example,port=4000",
       "the host attribute is missing or not a numeric address"},
      {"tcp:host=127.0.0.1,port=65536", "the port attribute is missing or malformed"},
      {"tcp:host=127.0.0.1,port=1,family=ipv5", "the family attribute is malformed"},
      {"nonce-tcp:host=127.0.0.1,port=1,noncefile=/run/n", "127.0.0.1:1 nonce /run/n"},
      {"nonce-tcp:host=127.0.0.1,port=1", "the noncefile attribute is missing or malformed"},
      {"unix:path=/a,abstract=b",
       "the unix transport requires exactly one of the keys path or abstract"},
      {"launchd:env=BUS", "the transport is unknown or unsupported"},
      {"unix:path",
       "Key/Value pair \u201cpath\u201d in address element \u201cunix:path\u201d is malformed"},
      {"no address at all",
       "Address element \u201cno address at all\u201d does not contain a transport and a colon "
       "(:)"},
  };
  for (const auto& [address, expected] : cases) {
    SCOPED_TRACE(address);
    EXPECT_EQ(read_address(address), expected);
  }
}

}  // namespace
