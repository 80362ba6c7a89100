// SPDX-License-Identifier: MIT
// The `id` list check of setquadview.cgi, against a reference written independently here:
// exactly "d,d,d,d" with each d from 1 to 4, nothing before, between or after.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <array>
#include <string>

#include "cgi/handlers.h"

namespace {

constexpr gint32 kUntouched = -7;

[[noreturn]] void fail(const char* what, const std::string& list) {
  fprintf(stderr, "invariant broken: %s (list '%s')\n", what, list.c_str());
  abort();
}

bool reference_parse(const std::string& list, std::array<gint32, kSubviewCount>* ids) {
  if (list.size() != 2 * kSubviewCount - 1) {
    return false;
  }
  for (size_t i = 0; i < list.size(); i++) {
    const char c = list[i];
    const bool ok = i % 2 == 1 ? c == ',' : c >= '1' && c <= '4';
    if (!ok) {
      return false;
    }
  }
  for (int i = 0; i < kSubviewCount; i++) {
    (*ids)[i] = list[2 * i] - '0';
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A query value is a C string: it ends at the first NUL.
  const std::string list = std::string(reinterpret_cast<const char*>(data), size).c_str();

  quadview_config config;
  for (gint32& id : config.id) {
    id = kUntouched;
  }
  const bool parsed = parse_id_list(list.c_str(), &config);

  std::array<gint32, kSubviewCount> expected = {};
  if (parsed != reference_parse(list, &expected)) {
    fail(parsed ? "accepted an invalid list" : "rejected a valid list", list);
  }
  for (int i = 0; i < kSubviewCount; i++) {
    const gint32 want = parsed ? expected[i] : kUntouched;
    if (config.id[i] != want) {
      fail(parsed ? "ids differ from the list" : "a rejected list changed the config", list);
    }
  }
  return 0;
}
