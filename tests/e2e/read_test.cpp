// SPDX-License-Identifier: MIT
// getquadview.cgi end to end: the mount from the image-control service, the layout from the file.

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using ReadTest = QuadviewTest;

TEST_F(ReadTest, AnswersWithTheLayoutOfTheReportedMount) {
  struct test_case {
    std::vector<std::string> services;
    std::string response;
    std::vector<expected_log> log;
    bool on_demand = false;  // started by the bus when first called (offer_services)
    bool no_bus = false;     // the program given a bus address that leads nowhere
  };

  const test_case cases[] = {
      {{"--tilt", "s:-90"}, layout_response({4, 1, 2, 3}), {}},
      {{"--tilt", "s:90"}, layout_response({2, 3, 4, 1}), {}},
      {{"--mount", "desk"}, layout_response({2, 3, 4, 1}), {}},
      // Two seconds per answer is slow, but well within an exchange's limit (kExchangeLimitUs).
      {{"--mount", "desk", "--delay-ms", "2000"}, layout_response({2, 3, 4, 1}), {}},
      // A byte string counts up to its final NUL.
      {{"--tilt", "ay:-90"}, layout_response({4, 1, 2, 3}), {}},
      {{"--tilt", "ay:90"}, layout_response({2, 3, 4, 1}), {}},
      // Without the NUL it reads as "", which names no mount.
      {{"--tilt", "ay-nonul:-90"}, error_response(500), unsupported_mount("")},
      {{"--tilt", "s:0"}, error_response(500), unsupported_mount("0")},
      {{"--tilt", "s:-90 "}, error_response(500), unsupported_mount("-90 ")},
      // A variant of another type has no text, and nothing says why.
      {{"--tilt", "i:-90"},
       error_response(500),
       {{LOG_ERR, kNoOrientation}, {LOG_ERR, kGetFailed}}},
      {{"--tilt", "wrong-type"},
       error_response(500),
       mount_not_asked("get_cameratiltorientation: Failed to get '(v)' from ('-90',)")},
      {{"--tilt", "error"}, error_response(500), mount_not_asked(tilt_failure(kSimulatedFailure))},
      {{"--no-image-control"},
       error_response(500),
       mount_not_asked(tilt_failure(service_unknown(QUADVIEW_IMAGE_CONTROL_NAME)))},
      // FaultTest.ConnectsToABusAddressAsGDBusDoes's first row, here to run under valgrind too.
      {{"--mount", "desk"},
       error_response(500),
       mount_not_asked(kNotConnected + std::string("Could not connect: No such file or directory")),
       false,
       true},
      // The services are called by their names, so a bus that starts one on demand does.
      {{"--mount", "desk"}, layout_response({2, 3, 4, 1}), {}, true},
  };
  write_layout(kTwoMounts);
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.services));
    if (c.on_demand) {
      offer_services(c.services);
    } else {
      start_services(c.services);
    }
    run_options options;
    options.bus_address =
        c.no_bus ? std::optional("unix:path=" + temp_path("nobody-listens")) : std::nullopt;
    const cgi_result result = get(std::nullopt, options);
    expect_response(result, c.response);
    expect_log(result, c.log);
    // One question, and a read never reloads.
    EXPECT_EQ(
        recorded_calls(),
        std::vector<std::string>(
            c.no_bus || c.services[0] == "--no-image-control" ? 0 : 1, kTiltQuery));
    forget_calls();
  }
  EXPECT_EQ(read_layout(), kTwoMounts);
}

}  // namespace
}  // namespace e2e
