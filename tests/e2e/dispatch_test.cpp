// SPDX-License-Identifier: MIT
// Which request SCRIPT_NAME selects, end to end, and what the query, the method and the site a
// browser sent it from can and cannot change.

#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

using DispatchTest = QuadviewTest;

const std::string kStored = pan_group("QUADVIEW_CEILING", "90,180,270,0");

// kHead: the headers alone, and nothing read, written or asked.
enum class outcome { kRead, kWrite, kNone, kHead };

struct test_case {
  std::optional<std::string> script_name;
  std::optional<std::string> query_string;
  outcome selected;
  std::vector<std::string> environment = {};
  std::vector<std::string> arguments = {};
  std::string response = "";  // when nothing is selected
  std::vector<expected_log> log = {};
};

// A request that selects nothing: the answer for `code` and the log, with these CGI variables.
test_case refused(
    const std::optional<std::string>& script_name,
    const std::optional<std::string>& query_string,
    int code,
    const std::vector<expected_log>& log,
    const std::vector<std::string>& environment = {}) {
  return {script_name, query_string, outcome::kNone, environment, {}, error_response(code), log};
}

TEST_F(DispatchTest, SelectsTheRequestBySCRIPT_NAMEAlone) {
  const std::vector<expected_log> kNoCgi = {{LOG_ERR, "No cgi was found"}};
  const std::vector<expected_log> kCrossSite = {
      {LOG_INFO, "Refused a write request sent from another site"}};
  const auto unknown = [](const std::string& name) {
    return std::vector<expected_log>{{LOG_ERR, "Unrecoginized CGI '" + name + "'"}};
  };
  const std::string version = "quadview " QUADVIEW_VERSION "\n";
  std::vector<expected_log> gdbus_debug;
  for (int message = 0; message < 3; message++) {
    gdbus_debug.push_back({LOG_INFO, "{ANY}\\012GDBus-debug:Message:\\012{ANY}"});
    gdbus_debug.push_back({LOG_INFO, "  Type: {ANY}"});
  }
  const test_case cases[] = {
      {kGet, std::nullopt, outcome::kRead},
      {"getquadview.cgi", std::nullopt, outcome::kRead},
      // The name is matched by its first 15 bytes, after decoding.
      {"/cgi-bin/getquadview.cgi.old", std::nullopt, outcome::kRead},
      {"/cgi-bin/get%71uadview.cgi", std::nullopt, outcome::kRead},
      // A read takes no parameters and ignores whatever the query holds.
      {kGet, "id=2,3,4,1&x=%zz&&=", outcome::kRead},
      {kSet, "id=2,3,4,1", outcome::kWrite},
      // The web server allows reading and writing to different users by SCRIPT_NAME, so the
      // query must not pick the other handler, however it is spelled.
      {kGet, "cgi=setquadview.cgi&id=2,3,4,1", outcome::kRead},
      {kGet, "cgi%3Dsetquadview.cgi&id=2,3,4,1", outcome::kRead},
      {kSet, "cgi=getquadview.cgi&id=2,3,4,1", outcome::kWrite},
      // HEAD changes nothing, whichever name.
      {kSet, "id=2,3,4,1", outcome::kHead, {"REQUEST_METHOD=HEAD"}},
      {kGet, std::nullopt, outcome::kHead, {"REQUEST_METHOD=HEAD"}},
      {std::nullopt, std::nullopt, outcome::kHead, {"REQUEST_METHOD=HEAD"}},
      {kSet, "id=2,3,4,1", outcome::kWrite, {"REQUEST_METHOD=POST"}},
      // What GLib prints goes to syslog, never to the client: GDBus's debugging output, two lines
      // per message (the call, the bus's NameAcquired and the reply).
      {kGet, std::nullopt, outcome::kRead, {"G_DBUS_DEBUG=message"}, {}, "", gdbus_debug},
      // Outside a web server the program tells its version; under one, a query without '=' comes
      // as command-line words, which never change the request.
      {std::nullopt, std::nullopt, outcome::kNone, {}, {"--version"}, version},
      {kGet, "--version", outcome::kRead, {"GATEWAY_INTERFACE=CGI/1.1"}, {"--version"}},
      // A page of another site may read through a visitor's browser, but not write.
      refused(kSet, "id=2,3,4,1", 400, kCrossSite, {"HTTP_SEC_FETCH_SITE=cross-site"}),
      {kGet, std::nullopt, outcome::kRead, {"HTTP_SEC_FETCH_SITE=cross-site"}},
      {kSet, "id=2,3,4,1", outcome::kWrite, {"HTTP_SEC_FETCH_SITE=same-origin"}},
      {kSet, "id=2,3,4,1", outcome::kWrite, {"HTTP_SEC_FETCH_SITE=none"}},
      refused("", "cgi=getquadview.cgi", 400, kNoCgi),
      refused("", std::nullopt, 400, kNoCgi),
      refused("/cgi-bin/getquadview", std::nullopt, 400, unknown("getquadview")),
      refused("/cgi-bin/getquadview.cgi/", std::nullopt, 400, unknown("")),
      refused("/cgi-bin/quadview", "cgi=getquadview.cgi", 400, unknown("quadview")),
      refused(std::nullopt, std::nullopt, 20, kNoScriptName),
      refused(std::nullopt, "cgi=getquadview.cgi", 20, kNoScriptName),
      // A malformed escape, a lone '%' and an escaped NUL make the name unreadable.
      refused("/cgi-bin/%zzgetquadview.cgi", std::nullopt, 20, kNoScriptName),
      refused("/cgi-bin/getquadview.cgi%", std::nullopt, 20, kNoScriptName),
      refused("/cgi-bin/getquadview.cgi%00", std::nullopt, 20, kNoScriptName),
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(
        "SCRIPT_NAME " + testing::PrintToString(c.script_name) + ", QUERY_STRING " +
        testing::PrintToString(c.query_string) + " " + testing::PrintToString(c.environment));
    write_layout(kTwoMounts);
    forget_calls();
    run_options options;
    options.environment = c.environment;
    options.arguments = c.arguments;
    const cgi_result result = run(c.script_name, c.query_string, options);
    expect_log(result, c.log);
    switch (c.selected) {
      case outcome::kRead:
        expect_response(result, layout_response({4, 1, 2, 3}));
        EXPECT_EQ(read_layout(), kTwoMounts);
        EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery}));
        break;
      case outcome::kWrite:
        expect_response(result, success_response());
        EXPECT_EQ(read_layout().value_or("").substr(0, kStored.size()), kStored);
        EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery, kTiltQuery, kReload}));
        break;
      case outcome::kNone:
      case outcome::kHead:
        expect_response(result, c.selected == outcome::kHead ? head_response() : c.response);
        EXPECT_EQ(read_layout(), kTwoMounts);
        EXPECT_EQ(recorded_calls(), std::vector<std::string>());
        break;
    }
  }
}

}  // namespace
}  // namespace e2e
