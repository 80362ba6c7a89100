// SPDX-License-Identifier: MIT
#include "base/log_value.h"

#include <glib.h>
#include <gtest/gtest.h>

namespace {

TEST(EscapeLogValue, WritesControlCharactersAsOctalAndKeepsTheRest) {
  const struct {
    const char* value;
    const char* logged;
  } cases[] = {
      // A line break would make the rest a log line of its own.
      {"1,2,3\nJan  1 00:00:00 camera sshd[1]: Accepted password for root",
       "1,2,3\\012Jan  1 00:00:00 camera sshd[1]: Accepted password for root"},
      // A terminal command too.
      {"x\r\n<11>Jan  1 00:00:00 camera: forged\x1b[2J\x7f",
       "x\\015\\012<11>Jan  1 00:00:00 camera: forged\\033[2J\\177"},
      {"1,2,3\xc2\x9b"
       "2J",
       "1,2,3\\302\\2332J"},
      {"caf\u00e9", "caf\u00e9"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    g_autofree char* logged = escape_log_value(c.value);
    EXPECT_STREQ(logged, c.logged);
  }
}

}  // namespace
