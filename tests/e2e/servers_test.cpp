// SPDX-License-Identifier: MIT
// The program served by every web server of servers/servers.tsv, each with its configuration from
// servers/ as scripts/web-server starts it: one table of requests, the same for all of them.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"

namespace e2e {
namespace {

// The demo's users, as scripts/lib.sh sets them.
constexpr char kViewer[] = "viewer:look-only";
constexpr char kAdmin[] = "admin:change-it";

// A row of servers/servers.tsv, whose comment describes the columns: each value under the name
// that the table's first row gives its column.
struct server_setup {
  std::map<std::string, std::string> column;

  const std::string& operator[](const char* name) const { return column.at(name); }
};

std::vector<server_setup> read_servers() {
  std::vector<server_setup> servers;
  std::istringstream table(read_file(QUADVIEW_SERVERS_TABLE));
  std::vector<std::string> names;
  for (std::string line; std::getline(table, line);) {
    std::vector<std::string> fields;
    std::istringstream row(line);
    for (std::string field; line[0] != '#' && std::getline(row, field, '\t');) {
      fields.push_back(field);
    }
    if (names.empty()) {
      names = fields;
    } else if (!fields.empty()) {
      servers.emplace_back();
      for (size_t i = 0; i < fields.size(); i++) {
        servers.back().column[names.at(i)] = fields[i];
      }
    }
  }
  return servers;
}

void PrintTo(const server_setup& server, std::ostream* out) { *out << server["name"]; }

// The demo's page, served beside the program.
const std::string kPage = QUADVIEW_PAGE_DIR;

// Debian's chromium-driver and python3-selenium are packages of /usr/bin/python3 (the first
// python3 on PATH may be another one).
#define kPython "/usr/bin/python3"

// A status that stands for any refusal: 400, 401, 403 or 404.
constexpr int kRefused = 4;

// One request (the target below /cgi-bin/, or below the root with a leading /) and what must come
// of it: the HTTP status, the body (of a 200 answer) and the layout file afterwards (nullopt:
// none).
struct request_row {
  const char* method;
  std::string target;
  const char* user;
  int status;
  std::string body;
  std::optional<std::string> layout;
  size_t form_bytes = 0;
  const char* header = nullptr;
};

class ServersTest : public QuadviewTest, public testing::WithParamInterface<server_setup> {
 protected:
  void SetUp() override {
    if (has_launcher()) {
      GTEST_SKIP() << "the web servers run the program directly, not under " << launcher_name();
    }
    if (geteuid() != 0) {
      GTEST_SKIP() << "the web servers need root to run the program as another user";
    }
    const std::string tools = GetParam()["programs"] + " curl setpriv";
    if (std::system(("which " + tools + " >/dev/null").c_str()) != 0) {
      GTEST_SKIP() << "one of " << tools << " is not installed (./scripts/test installs them)";
    }
    QuadviewTest::SetUp();
    write_layout(kTwoMounts);
    start_services();
    // A port that nothing listens on right now.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    close(fd);
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/";

    ASSERT_EQ(mkdir(temp_path("web").c_str(), 0700), 0);
    const std::optional<std::string> line = server_.start(
        {QUADVIEW_WEB_SERVER,
         GetParam()["name"],
         "--port",
         std::to_string(ntohs(address.sin_port)),
         "--program",
         program_path(),
         "--layout-path",
         kLayoutPath,
         "--layout-dir",
         layout_dir(),
         "--bus-address",
         bus_address(),
         "--work",
         temp_path("web"),
         "--docroot",
         QUADVIEW_PAGE_DIR},
        {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"},
        temp_path("web-server.log"));
    ASSERT_EQ(line, std::optional<std::string>("ready")) << read_file(temp_path("web-server.log"));
  }

  void TearDown() override {
    server_.stop();
    QuadviewTest::TearDown();
  }

  // Sends the row's request with curl; returns its exit status, the status line and headers of
  // the last answer (Digest answers 401 first) and the body. A HEAD is read to the end of the
  // connection, so that a body sent after its headers shows.
  int fetch(
      const request_row& row, std::string* status_line, std::string* headers, std::string* body) {
    std::string command =
        "curl -sS --path-as-is --http1.1 --max-time 30 -H 'Connection: close' -X " +
        std::string(row.method) + " -D " + temp_path("headers") + " -o " + temp_path("body");
    if (row.user) {
      command += " --" + GetParam()["authentication"] + " -u " + row.user;
    }
    if (row.header) {
      command += std::string(" -H '") + row.header + "'";
    }
    if (row.form_bytes > 0) {
      std::ofstream(temp_path("form"), std::ios::binary) << std::string(row.form_bytes, 'x');
      command += " --data-binary @" + temp_path("form");
      if (GetParam()["post_answers"] != "yes") {
        command += " -H 'Expect: 100-continue' --expect100-timeout 1";
      }
    }
    const std::string path = row.target[0] == '/' ? row.target : "/cgi-bin/" + row.target;
    command += " '" + url_ + path.substr(1) + "'";
    const int status = std::system(command.c_str());
    const std::string blocks = read_file(temp_path("headers"));
    const size_t last = blocks.rfind("\r\n\r\n", blocks.size() - 5);
    *headers = last == std::string::npos ? blocks : blocks.substr(last + 4);
    *status_line = headers->substr(0, headers->find("\r\n"));
    *body = read_file(temp_path("body"));
    return status;
  }

  // Sends each row's request and checks what comes of it.
  void check(const std::vector<request_row>& rows) {
    for (const request_row& row : rows) {
      SCOPED_TRACE(
          std::string(row.method) + " " + row.target + " as " + (row.user ? row.user : "-"));
      std::string status_line, headers, body;
      const int curl_status = fetch(row, &status_line, &headers, &body);
      // curl reports a HEAD answer that announces a length it does not send (18).
      EXPECT_TRUE(curl_status == 0 || (row.method[0] == 'H' && WEXITSTATUS(curl_status) == 18));
      EXPECT_EQ(status_line.substr(0, 7), "HTTP/1.");
      const std::string status = status_line.substr(8, 4);
      if (row.status == kRefused) {
        EXPECT_TRUE(status == " 400" || status == " 401" || status == " 403" || status == " 404")
            << status_line;
      } else {
        EXPECT_EQ(status, " " + std::to_string(row.status));
      }
      if (row.status == 200) {
        EXPECT_EQ(body, row.body);
      }
      // The program's answers (not the page's files, whose reason phrase is the server's own).
      if (row.status == 200 && row.target[0] != '/') {
        EXPECT_EQ(status_line.substr(8), " 200 OK");
        EXPECT_NE(headers.find("\r\nContent-Type: text/xml\r\n"), std::string::npos) << headers;
      }
      EXPECT_EQ(read_layout(), row.layout);
    }
  }

  std::string url_;
  child_process server_;
};

TEST_P(ServersTest, AnswersEveryRequestAsTheProgramDoes) {
  const server_setup& server = GetParam();
  const std::string read = document_of(get().out);  // a direct run, to compare with
  ASSERT_EQ(read, document_of(layout_response({4, 1, 2, 3})));
  const std::string refused = document_of(error_response(400));
  const std::string written = document_of(success_response());
  const std::string kept = kTwoMounts;
  const std::string all_ones = two_mounts_stored({1, 1, 1, 1});
  const std::string stored = two_mounts_stored({2, 3, 4, 1});
  const std::string encoded = two_mounts_stored({3, 4, 1, 2});
  const std::string posted = two_mounts_stored({1, 2, 3, 4});
  const std::string read_2341 = document_of(layout_response({2, 3, 4, 1}));
  const std::string read_1234 = document_of(layout_response({1, 2, 3, 4}));
  const std::string read_3412 = document_of(layout_response({3, 4, 1, 2}));
  const char* chunked = "Transfer-Encoding: chunked";

  const std::vector<request_row> rows = {
      {"GET", "getquadview.cgi", kAdmin, 200, read, kept},
      {"GET", "getquadview.cgi", kViewer, server["viewers_read"] == "yes" ? 200 : 401, read, kept},
      {"GET", "setquadview.cgi?id=1,1,1,1", kViewer, 401, "", kept},
      {"GET", "setquadview.cgi?id=1,1,1,1", nullptr, 401, "", kept},
      {"HEAD", "getquadview.cgi", kAdmin, 200, "", kept},
      {"HEAD", "setquadview.cgi?id=1,1,1,1", kAdmin, 200, "", kept},
      {"GET", "getquadview.cgi?cgi=setquadview.cgi&id=1,1,1,1", kAdmin, 200, read, kept},
      // A query without '=' comes as command-line words, never read under a web server.
      {"GET", "getquadview.cgi?--version", kAdmin, 200, read, kept},
      {"GET", "setquadview.cgi?id=2,3,4", kAdmin, 200, refused, kept},
      // What a browser adds to a form that a page of another site sends.
      {"GET",
       "setquadview.cgi?id=1,1,1,1",
       kAdmin,
       200,
       server["fetch_site"] == "yes" ? refused : written,
       server["fetch_site"] == "yes" ? kept : all_ones,
       0,
       "Sec-Fetch-Site: cross-site"},
      {"GET", "setquadview.cgi?id=2,3,4,1", kAdmin, 200, written, stored},
      {"GET", "getquadview.cgi", kAdmin, 200, read_2341, stored},
      {"GET", "setquadview.cgi?id=%33%2C4%2c1,2", kAdmin, 200, written, encoded},
      {"POST", "setquadview.cgi?id=1,2,3,4", kAdmin, 200, written, posted, 1 << 20},
      {"POST", "getquadview.cgi", kAdmin, 200, read_1234, posted, 1 << 20},
      // Chunked: a server may pass the body on as it came, with no CONTENT_LENGTH.
      {"POST", "setquadview.cgi?id=3,4,1,2", kAdmin, 200, written, encoded, 1 << 20, chunked},
      {"POST", "getquadview.cgi", kAdmin, 200, read_3412, encoded, 1 << 20, chunked},
      {"GET", "other.cgi", kAdmin, 404, "", encoded},
      {"GET", "quadview", kAdmin, 404, "", encoded},
  };
  check(rows);

  // The page's files, the page itself at /, and nothing else, the program least of all: what is
  // not there is refused, a folder or a path that leaves the root too.
  std::vector<request_row> files = {
      {"GET", "/", kAdmin, 200, read_file(kPage + "/index.html"), encoded}};
  for (const std::string& name : folder_names(kPage)) {
    files.push_back({"GET", "/" + name, kAdmin, 200, read_file(kPage + "/" + name), encoded});
  }
  files.push_back({"GET", "", kViewer, kRefused, "", encoded});
  for (const char* path :
       {".htpasswd",
        "/digest",
        "/passwords",
        "/layout/quadview.conf",
        "/quadview.conf",
        "/page/index.html",
        "/www/index.html"}) {
    files.push_back({"GET", path, kAdmin, kRefused, "", encoded});
  }
  for (const char* folder : {"/", "/../", "/%2e%2e/"}) {
    files.push_back({"GET", folder + server["configuration"], kAdmin, kRefused, "", encoded});
  }
  check(files);

  // Without the camera's services the mount is unknown; hung the other way, the camera shows the
  // other mount's layout; without the layout file both requests fail, and the write creates none.
  const std::string failed = document_of(error_response(500));
  stop_services();
  check({{"GET", "getquadview.cgi", kAdmin, 200, failed, encoded}});
  start_services({"--mount", "desk"});
  check({{"GET", "getquadview.cgi", kAdmin, 200, read_2341, encoded}});
  ASSERT_EQ(unlink(layout_path().c_str()), 0);
  check(
      {{"GET", "getquadview.cgi", kAdmin, 200, failed, std::nullopt},
       {"GET", "setquadview.cgi?id=1,1,1,1", kAdmin, 200, failed, std::nullopt}});
}

// The demo's page in headless Chromium (tests/browser/check_page.py): it shows the layout, saves
// a change and reads it back, a form from another site does not write (where the server passes
// Sec-Fetch-Site on), and with the camera stopped it shows the error.
TEST_P(ServersTest, ServesThePageToABrowser) {
  if (std::system(kPython " -c 'import selenium' 2>/dev/null && which chromium chromedriver "
                          ">/dev/null") != 0) {
    GTEST_SKIP() << "chromium, chromium-driver or python3-selenium is not installed "
                    "(./scripts/test installs them)";
  }
  std::string command = kPython " " QUADVIEW_CHECK_PAGE " --url " + url_ +
                        " --ids 4,1,2,3 --mount ceiling --user " + kAdmin + " --layout-file " +
                        layout_path() + " --camera-pid " + std::to_string(services_pid()) +
                        " --screenshot " QUADVIEW_SCREENSHOT_DIR "/page-" + GetParam()["name"] +
                        ".png";
  if (GetParam()["fetch_site"] != "yes") {
    command += " --skip-cross-site '" + GetParam()["name"] + " does not pass Sec-Fetch-Site on'";
  }
  const std::string log = temp_path("check_page.log");
  EXPECT_EQ(std::system((command + " >" + log + " 2>&1").c_str()), 0) << read_file(log);
}

INSTANTIATE_TEST_SUITE_P(
    EveryServer,
    ServersTest,
    testing::ValuesIn(read_servers()),
    [](const testing::TestParamInfo<server_setup>& param_info) {
      std::string name = param_info.param["name"];
      for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

}  // namespace
}  // namespace e2e
