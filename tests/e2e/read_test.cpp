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
  };

  const test_case cases[] = {
      {{"--tilt", "s:-90"}, layout_response({4, 1, 2, 3}), {}},
      {{"--tilt", "s:90"}, layout_response({2, 3, 4, 1}), {}},
      {{"--mount", "desk"}, layout_response({2, 3, 4, 1}), {}},
      // A byte string counts up to its final NUL.
      {{"--tilt", "ay:-90"}, layout_response({4, 1, 2, 3}), {}},
      {{"--tilt", "ay:90"}, layout_response({2, 3, 4, 1}), {}},
      // Without the NUL it reads as "", which names no mount.
      {{"--tilt", "ay-nonul:-90"},
       error_response(500),
       {{LOG_ERR, "Unsupported CameraTiltOrientation ()"}, {LOG_ERR, kGetFailed}}},
      {{"--tilt", "s:0"},
       error_response(500),
       {{LOG_ERR, "Unsupported CameraTiltOrientation (0)"}, {LOG_ERR, kGetFailed}}},
      {{"--tilt", "s:-90 "},
       error_response(500),
       {{LOG_ERR, "Unsupported CameraTiltOrientation (-90 )"}, {LOG_ERR, kGetFailed}}},
      // A variant of another type has no text, and nothing says why.
      {{"--tilt", "i:-90"},
       error_response(500),
       {{LOG_ERR, kNoOrientation}, {LOG_ERR, kGetFailed}}},
      {{"--tilt", "wrong-type"},
       error_response(500),
       {{LOG_ERR, "get_cameratiltorientation: Failed to get '(v)' from ('-90',)"},
        {LOG_ERR, kNoOrientation},
        {LOG_ERR, kGetFailed}}},
      {{"--tilt", "error"},
       error_response(500),
       {{LOG_ERR,
         tilt_failure("GDBus.Error:org.freedesktop.DBus.Error.Failed: simulated\\012failure")},
        {LOG_ERR, kNoOrientation},
        {LOG_ERR, kGetFailed}}},
      {{"--no-image-control"},
       error_response(500),
       {{LOG_ERR,
         tilt_failure("GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name "
                      "com.tarq.ImageControl was not provided by any .service files")},
        {LOG_ERR, kNoOrientation},
        {LOG_ERR, kGetFailed}}},
  };
  write_layout(kTwoMounts);
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.services));
    start_services(c.services);
    const cgi_result result = get();
    expect_response(result, c.response);
    expect_log(result, c.log);
    // One question, and a read never reloads.
    EXPECT_EQ(
        recorded_calls(),
        std::vector<std::string>(c.services[0] == "--no-image-control" ? 0 : 1, kTiltQuery));
    forget_calls();
  }
  EXPECT_EQ(read_layout(), kTwoMounts);
}

TEST_F(ReadTest, FailsWithoutABus) {
  write_layout(kTwoMounts);
  run_options options;
  options.bus_address = "unix:path=" + temp_path("nobody-listens");
  const cgi_result result = run("/cgi-bin/getquadview.cgi", std::nullopt, options);
  expect_response(result, error_response(500));
  expect_log(
      result,
      {{LOG_ERR,
        "Failed to connect to the system bus: Could not connect: No such file or directory"},
       {LOG_ERR, "get_cameratiltorientation({LINE}) Error\n"},
       {LOG_ERR, kNoOrientation},
       {LOG_ERR, kGetFailed}});
}

TEST_F(ReadTest, TurnsStoredAnglesIntoSourceIds) {
  struct test_case {
    std::string angles;
    std::array<int, 4> ids;
  };

  // pan / 90 + 1, truncated: angles that no write stores still give an id.
  const test_case cases[] = {
      {"270,0,90,180", {4, 1, 2, 3}},
      {"0,90,180,270", {1, 2, 3, 4}},
      {"45,359,360,-90", {1, 4, 5, 0}},
      {"-89,89,91,450", {1, 1, 2, 6}},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.angles);
    write_layout(pan_group("QUADVIEW_CEILING", c.angles));
    const cgi_result result = get();
    expect_response(result, layout_response(c.ids));
    expect_log(result, {});
  }
}

TEST_F(ReadTest, FailsOnAnUnusableLayoutFile) {
  struct test_case {
    const char* name;
    std::optional<std::string> file;
    std::string failure;     // the first syslog line
    std::string cause = "";  // the next one, if any
  };

  const test_case cases[] = {
      {"missing file", std::nullopt, kLoadFailed, load_cause("open", "No such file or directory")},
      {"not a key file",
       "subview0_pan=0\n",
       kLoadFailed,
       "get_quadview_layout: Key file does not start with a group"},
      {"no group of the mount",
       pan_group("QUADVIEW_DESK", "0,0,0,0"),
       "get_quadview_layout({LINE}) Error code=4, message=Key file does not have group "
       "\u201cQUADVIEW_CEILING\u201d\n"},
      {"a key missing",
       pan_group("QUADVIEW_CEILING", "0,0,0"),
       "get_quadview_layout({LINE}) Error code=3, message=Key file does not have key "
       "\u201csubview3_pan\u201d in group \u201cQUADVIEW_CEILING\u201d\n"},
      {"a key holding text",
       pan_group("QUADVIEW_CEILING", "0,abc,0,0"),
       "get_quadview_layout({LINE}) Error code=5, message=Key file contains key "
       "\u201csubview1_pan\u201d in group \u201cQUADVIEW_CEILING\u201d which has a value that "
       "cannot be interpreted.\n"},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.file) {
      write_layout(*c.file);
    }
    const cgi_result result = get();
    expect_response(result, error_response(500));
    std::vector<expected_log> log = {{LOG_ERR, c.failure}};
    if (!c.cause.empty()) {
      log.push_back({LOG_ERR, c.cause});
    }
    log.insert(log.end(), {{LOG_ERR, kLayoutNotRead}, {LOG_ERR, kGetFailed}});
    expect_log(result, log);
    EXPECT_EQ(read_layout(), c.file);
  }
}

}  // namespace
}  // namespace e2e
