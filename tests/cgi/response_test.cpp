// SPDX-License-Identifier: MIT
#include "cgi/response.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "cgi/request.h"
#include "cgi/xmlnode.h"
#include "expected.h"

namespace {

using namespace expected;

std::string render(int status, xmlnode* success_body) {
  g_autoptr(GString) output = g_string_new("left over");
  build_response(status, success_body, output);
  // The answer as served: serve_request ends it with a newline.
  return std::string(output->str, output->len) + "\n";
}

TEST(BuildResponse, MapsEveryFailureToItsErrorDocument) {
  const struct {
    int status;
    int code;
  } cases[] = {
      {-EACCES, 500},
      {-EBADF, 400},
      {-EINVAL, 20},
      {-1, -1},
      {-ENOENT, -1},
      {EACCES, -1},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    // Whatever a failed handler added to the success body stays out of the document.
    xmlnode* success_body = create_success_body();
    add_general_success(success_body);
    EXPECT_EQ(render(c.status, success_body), error_response(c.code));
  }
}

// A read's success lists the source of each subview in order; a write's holds GeneralSuccess only.
TEST(BuildResponse, WritesTheSuccessOfEachRequest) {
  xmlnode* read_body = create_success_body();
  const quadview_config config = {{4, 1, -3, 12}};
  add_layout_success(read_body, &config);
  EXPECT_EQ(render(0, read_body), layout_response({4, 1, -3, 12}));
  xmlnode* write_body = create_success_body();
  add_general_success(write_body);
  EXPECT_EQ(render(0, write_body), success_response());
}

// Requests that need no service, served whole: failures before any service is asked, and HEAD,
// which asks nothing at all (no bus here, so a request that did would fail with 500).
TEST(ServeRequest, AnswersRequestsThatNeedNoServiceWithTheirErrorDocument) {
  const struct {
    cgi_variables variables;
    std::string response;
  } cases[] = {
      {{nullptr, nullptr, "GET", nullptr}, error_response(20)},
      {{"/cgi-bin/%zz", nullptr, nullptr, nullptr}, error_response(20)},
      {{"", "cgi=getquadview.cgi", "GET", nullptr}, error_response(400)},
      {{"/cgi-bin/", nullptr, "GET", nullptr}, error_response(400)},
      {{"/cgi-bin/getquadview", nullptr, "GET", nullptr}, error_response(400)},
      {{"/cgi-bin/setquadview.cgi", nullptr, "GET", nullptr}, error_response(400)},
      {{"/cgi-bin/setquadview.cgi", "id=1,2,3", "POST", nullptr}, error_response(400)},
      {{"/cgi-bin/setquadview.cgi", "id=1,2,%zz", "GET", nullptr}, error_response(400)},
      {{"/cgi-bin/setquadview.cgi", "id=1,2,3,4", "GET", "cross-site"}, error_response(400)},
      {{"/cgi-bin/setquadview.cgi", "id=1,2,3,4", "HEAD", nullptr}, head_response()},
      {{"/cgi-bin/getquadview.cgi", nullptr, "HEAD", "cross-site"}, head_response()},
      {{nullptr, nullptr, "HEAD", nullptr}, head_response()},
  };

  for (const auto& c : cases) {
    const cgi_variables& v = c.variables;
    SCOPED_TRACE(
        std::string(v.request_method ? v.request_method : "(unset)") + " " +
        (v.script_name ? v.script_name : "(unset)") + " " +
        (v.query_string ? v.query_string : "(unset)") + " " + (v.fetch_site ? v.fetch_site : ""));
    g_autoptr(GString) output = g_string_new(nullptr);
    serve_request(v, g_get_monotonic_time() + kRequestLimitUs, output);
    EXPECT_EQ(std::string(output->str, output->len), c.response);
  }
}

}  // namespace
