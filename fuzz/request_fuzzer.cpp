// SPDX-License-Identifier: MIT
// Request decoding and dispatch. The input is one flag byte followed by SCRIPT_NAME, a newline
// and QUERY_STRING. Flag bit 0 leaves SCRIPT_NAME unset, bit 1 leaves QUERY_STRING unset.
//
// The decoded table is checked against a reference decoder written independently here, and
// the dispatch decision against a prefix check on the table's `cgi`.

#include <errno.h>
#include <glib.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <string_view>

#include "cgi/request.h"

namespace {

constexpr uint8_t kScriptUnset = 1;
constexpr uint8_t kQueryUnset = 2;

using parameter_map = std::map<std::string, std::string>;

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

void print_parameters(const char* title, const parameter_map& params) {
  fprintf(stderr, "%s:\n", title);
  for (const auto& [key, value] : params) {
    fprintf(stderr, "  '%s' = '%s'\n", key.c_str(), value.c_str());
  }
}

// Percent-decoding itself is GLib's; the reference only has to agree on what happens after it.
bool unescape(const std::string& text, std::string* out) {
  g_autofree char* decoded = g_uri_unescape_string(text.c_str(), nullptr);
  if (!decoded) {
    return false;
  }
  *out = decoded;
  return true;
}

// What the table must hold after a successful decode of `script` and `query` (both decoded).
parameter_map expected_parameters(const std::string& script, const std::string* query) {
  parameter_map expected;
  if (query) {
    size_t start = 0;
    while (start <= query->size()) {
      size_t end = query->find('&', start);
      if (end == std::string::npos) {
        end = query->size();
      }
      const std::string piece = query->substr(start, end - start);
      start = end + 1;
      if (piece.empty() || piece[0] == '=') {
        continue;
      }
      const size_t equals = piece.find('=');
      const std::string key = piece.substr(0, equals);
      if (key == "cgi") {
        continue;
      }
      expected[key] = equals == std::string::npos ? "" : piece.substr(equals + 1);
    }
  }
  // An empty SCRIPT_NAME names no CGI; otherwise its last path component does.
  if (!script.empty()) {
    expected["cgi"] = script.substr(script.rfind('/') + 1);
  }
  return expected;
}

cgi_request expected_request(const parameter_map& params) {
  const auto cgi = params.find("cgi");
  if (cgi == params.end()) {
    return cgi_request::kNone;
  }
  const std::string_view name = cgi->second;
  if (name.substr(0, 15) == "getquadview.cgi") {
    return cgi_request::kGetQuadview;
  }
  if (name.substr(0, 15) == "setquadview.cgi") {
    return cgi_request::kSetQuadview;
  }
  return cgi_request::kNone;
}

parameter_map table_contents(GHashTable* table) {
  parameter_map contents;
  GHashTableIter iter;
  gpointer key = nullptr;
  gpointer value = nullptr;
  g_hash_table_iter_init(&iter, table);
  while (g_hash_table_iter_next(&iter, &key, &value)) {
    contents[static_cast<const char*>(key)] = static_cast<const char*>(value);
  }
  return contents;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const uint8_t flags = data[0];
  // Environment values end at their first NUL, as they would in a real environment.
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t newline = rest.find('\n');
  const std::string script_raw = rest.substr(0, newline).c_str();
  const std::string query_raw =
      newline == std::string::npos ? std::string() : rest.substr(newline + 1).c_str();
  const char* script_name = (flags & kScriptUnset) ? nullptr : script_raw.c_str();
  const char* query_string = (flags & kQueryUnset) ? nullptr : query_raw.c_str();

  g_autoptr(GHashTable) params = create_parameter_table();
  const int status = decode_request(script_name, query_string, params);

  std::string script;
  const bool script_ok = script_name && unescape(script_raw, &script);
  if (!script_ok) {
    if (status != -EINVAL) {
      fail("an unset or undecodable SCRIPT_NAME must give -EINVAL");
    }
    if (g_hash_table_size(params) != 0) {
      fail("a failed decode must leave the table alone");
    }
    return 0;
  }
  if (status != 0) {
    fail("a decodable SCRIPT_NAME must give 0");
  }

  // A QUERY_STRING that does not decode counts as unset.
  std::string query;
  const bool query_ok = query_string && unescape(query_raw, &query);
  const parameter_map expected = expected_parameters(script, query_ok ? &query : nullptr);
  const parameter_map actual = table_contents(params);
  if (actual != expected) {
    print_parameters("expected", expected);
    print_parameters("decoded", actual);
    fail("the table differs from the reference decoder");
  }
  for (const auto& [key, value] : actual) {
    if (key.empty() || key.find('=') != std::string::npos) {
      fail("a key is empty or holds '='");
    }
    if (key != "cgi" &&
        (key.find('&') != std::string::npos || value.find('&') != std::string::npos)) {
      fail("a query parameter holds '&'");
    }
  }

  if (find_cgi_request(params) != expected_request(actual)) {
    fail("the dispatch decision differs from a prefix check on `cgi`");
  }
  return 0;
}
