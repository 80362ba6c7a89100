// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <syslog.h>

int main(int argc, char** argv) {
  // The code under test logs through syslog; a copy on stderr shows what it said next to a failure.
  openlog(nullptr, LOG_PERROR, LOG_USER);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
