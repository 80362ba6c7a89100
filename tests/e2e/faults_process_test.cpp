// SPDX-License-Identifier: MIT
// Faults of the process and its streams, end to end: a request body that is not what it claims,
// a web server that ends the program or stops listening before the answer is written, and no
// standard output at all.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using FaultTest = QuadviewTest;

// Some web servers hand the program one socket for input and output, and reset the connection,
// answer and all, when the program ends with input unread: the body is read to CONTENT_LENGTH,
// and not a byte further. It is never parsed, and ends the request where it ends. The output is
// ended before, so a body that comes 3 s late delays no answer, whether the output is standard
// error too or one socket with the input.
TEST_F(FaultTest, ReadsTheRequestBodyToItsLength) {
  struct test_case {
    std::vector<std::string> environment;  // beside REQUEST_METHOD=POST
    size_t body_size;
    size_t unread;
    stdout_state output = stdout_state::kPipe;
    bool late = false;
  };

  const std::string chunked = "HTTP_TRANSFER_ENCODING=chunked";
  const test_case cases[] = {
      // A chunked body that the server passes on as it is, to the end of the input.
      {{chunked}, 1 << 20, 0},
      {{"CONTENT_LENGTH=", chunked}, 100, 0},
      {{"CONTENT_LENGTH=10", chunked}, 100, 90},
      {{"CONTENT_LENGTH=1048576"}, 1 << 20, 0},
      {{"CONTENT_LENGTH=10"}, 100, 90},
      {{"CONTENT_LENGTH=1000"}, 10, 0},
      {{}, 100, 100},
      {{"CONTENT_LENGTH="}, 100, 100},
      {{"CONTENT_LENGTH=0"}, 100, 100},
      {{"CONTENT_LENGTH=12x"}, 100, 100},
      {{"CONTENT_LENGTH=-5"}, 100, 100},
      {{"CONTENT_LENGTH= 5"}, 100, 100},
      {{"CONTENT_LENGTH=99999999999999999999999"}, 100, 100},
      {{"CONTENT_LENGTH=10"}, 10, 0, stdout_state::kSharedWithStderr, true},
      {{"CONTENT_LENGTH=10"}, 10, 0, stdout_state::kSocketWithStdin, true},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.environment));
    write_layout(kTwoMounts);
    run_options options;
    options.environment = c.environment;
    options.environment.push_back("REQUEST_METHOD=POST");
    // A body that reads like a query of its own changes nothing.
    options.body = "id=1,1,1,1&";
    options.body->resize(c.body_size, 'x');
    options.output = c.output;
    options.body_delay = std::chrono::seconds(c.late ? 3 : 0);
    const cgi_result result = set("id=2,3,4,1", options);
    expect_response(result, success_response());
    expect_log(result, {});
    EXPECT_EQ(result.body_unread, c.unread);
    EXPECT_LT(result.elapsed, std::chrono::seconds(20));
    EXPECT_LT(result.output_elapsed, std::chrono::seconds(2));
    EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
  }
}

// The web server may end a request at any time (a CGI time limit, a restart). Between the save and
// the reload it has to wait: the layout file and the camera stay consistent, and no temporary
// file is left behind.
TEST_F(FaultTest, FinishesTheWriteWhenTerminatedBetweenSaveAndReload) {
  write_layout(kTwoMounts);
  // The PTZ coordinator is slow to answer the reload.
  start_services({"--mount", "ceiling", "--delay-ms", "2000"});
  run_options options;
  options.while_running = [this](pid_t program) {
    ASSERT_TRUE(wait_for_call(kReload));
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      kill(program, signal);
    }
  };
  const cgi_result result = set("id=2,3,4,1", options);
  expect_response(result, success_response());
  expect_log(result, {});
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
  EXPECT_EQ(count_calls(kReload), 1);
  EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
}

// Requests whose answer no one reads: they are carried out all the same, and the program ends
// normally.
class UnreadAnswerTest : public QuadviewTest {
 protected:
  void check_requests(const run_options& options) {
    struct test_case {
      std::string script;
      std::optional<std::string> query;
      std::vector<std::string> calls;
      std::string stored = kTwoMounts;
      std::vector<expected_log> log = {};
    };

    const std::vector<expected_log> unknown = {{LOG_ERR, "Unrecoginized CGI 'quadview.cgi'"}};
    const test_case cases[] = {
        {kSet, "id=2,3,4,1", {kTiltQuery, kTiltQuery, kReload}, two_mounts_stored({2, 3, 4, 1})},
        {kGet, std::nullopt, {kTiltQuery}},
        {kGet, "", {kTiltQuery}},
        {kSet, "id=9", {}, kTwoMounts, {{LOG_INFO, "Invalid id parameters (9)"}}},
        {kSet, "id=2", {}, kTwoMounts, {{LOG_INFO, "Invalid id parameters (2)"}}},
        {"/cgi-bin/quadview.cgi", std::nullopt, {}, kTwoMounts, unknown},
        {"/cgi-bin/quadview.cgi", "id=2,3,4,1", {}, kTwoMounts, unknown},
    };
    start_services({"--mount", "ceiling"});
    for (const test_case& c : cases) {
      SCOPED_TRACE(c.script + "?" + c.query.value_or("(unset)"));
      write_layout(kTwoMounts);
      forget_calls();
      const cgi_result result = run(c.script, c.query, options);
      expect_log(result, c.log);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(recorded_calls(), c.calls);
      EXPECT_EQ(read_layout(), c.stored);
      EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
    }
  }
};

// A web server closes the pipe when its client hangs up, even when the program never used the bus
// (which would otherwise ignore SIGPIPE for it).
TEST_F(UnreadAnswerTest, FinishesTheRequestWhenTheClientHasHungUp) {
  run_options options;
  options.output = stdout_state::kHungUp;
  check_requests(options);
}

// Started without standard output, the program must not let anything it opens take descriptor 1:
// the answer would be written into it. The /dev/log socket, opened by the first syslog() call and
// kept, would send the answer to the system log; the layout file's temporary copy would take it
// into the layout.
TEST_F(UnreadAnswerTest, WritesTheAnswerNowhere) {
  run_options options;
  options.output = stdout_state::kClosed;
  check_requests(options);
}

TEST_F(UnreadAnswerTest, WritesTheAnswerNowhereWithoutAnyStandardStream) {
  if (launcher_name() == "valgrind") {
    GTEST_SKIP() << "valgrind keeps descriptor 2 for its own messages even when it starts "
                    "without one, and refuses it to the program, whose GLib then aborts";
  }
  run_options options;
  options.output = stdout_state::kClosed;
  options.close_stdin_and_stderr = true;
  check_requests(options);
}

}  // namespace
}  // namespace e2e
