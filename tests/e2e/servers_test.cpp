// The program served by every web server a camera may run, each with its configuration from
// servers/ as scripts/web-server starts it: one table of requests, the same for all of them.

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

// The demo's users, as scripts/lib.sh sets them.
constexpr char kViewer[] = "viewer:look-only";
constexpr char kAdmin[] = "admin:change-it";

constexpr char kRead[] = "/cgi-bin/getquadview.cgi";
constexpr char kWrite[] = "/cgi-bin/setquadview.cgi";
constexpr char kToolPath[] = "/usr/sbin:/usr/bin:/sbin:/bin";

struct server_setup {
  const char* name;  // as scripts/web-server takes it
  std::vector<std::string> executables;
  const char* authentication;  // curl's option for the server's scheme
  // Whether a viewer may read: mini_httpd guards the folder, not the names, so only the
  // administrator is let in at all.
  bool viewer_reads;
  // Whether the server hands the program the Sec-Fetch-Site header (mini_httpd passes a fixed
  // few headers only).
  bool passes_fetch_site;
};

void PrintTo(const server_setup& server, std::ostream* out) { *out << server.name; }

const server_setup kServers[] = {
    {"lighttpd", {"lighttpd"}, "--digest", true, true},
    {"apache-cgid", {"apache2"}, "--digest", true, true},
    {"apache-cgi", {"apache2"}, "--digest", true, true},
    {"nginx", {"nginx", "fcgiwrap"}, "--basic", true, true},
    {"busybox", {"busybox"}, "--basic", true, true},
    {"mini_httpd", {"mini_httpd"}, "--basic", false, false},
};

// One request and what must come of it.
struct request_row {
  std::string what;
  std::string method;
  std::string target;        // path and query
  const char* user;          // kAdmin, kViewer or nullptr for none
  size_t body_bytes;         // sent as a form body
  std::string header;        // one more request header, or ""
  int status;                // the HTTP status
  std::string document;      // what follows the headers; a 200 answer is text/xml
  std::string layout_after;  // the layout file afterwards
};

// A reply as the client sees it: the last header block (after any authentication round) and the
// body.
struct http_reply {
  int curl_status = -1;
  std::string status_line;
  std::string headers;
  std::string body;
};

// The document that follows the program's headers.
std::string document_of(const std::string& response) {
  return response.substr(response.find("\r\n\r\n") + 4);
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `argv` with the tools' PATH and waits for it; returns its wait status.
int run_tool(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::string path = std::string("PATH=") + kToolPath;
  char* env[] = {path.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env) != 0) {
    return -1;
  }
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool on_tool_path(const std::string& name) {
  std::istringstream dirs(kToolPath);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (access((dir + "/" + name).c_str(), X_OK) == 0) {
      return true;
    }
  }
  return false;
}

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

class ServersTest : public QuadviewTest, public testing::WithParamInterface<server_setup> {
 protected:
  void SetUp() override {
    if (has_launcher()) {
      GTEST_SKIP() << "the web servers run the program directly, not under " << launcher_name();
    }
    if (geteuid() != 0) {
      GTEST_SKIP() << "the web servers need root to run the program as another user";
    }
    std::vector<std::string> tools = GetParam().executables;
    tools.insert(tools.end(), {"curl", "openssl", "unshare", "setpriv"});
    for (const std::string& tool : tools) {
      if (!on_tool_path(tool)) {
        GTEST_SKIP() << tool << " is not installed (./scripts/test installs it)";
      }
    }
    QuadviewTest::SetUp();
    write_layout(kTwoMounts);
    start_services();
    port_ = free_port();
    ASSERT_EQ(mkdir(temp_path("web").c_str(), 0700), 0);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_TRUE(server_.start(
        {QUADVIEW_WEB_SERVER,
         GetParam().name,
         "--port",
         std::to_string(port_),
         "--program",
         program_path(),
         "--layout-dir",
         layout_dir(),
         "--bus-address",
         bus_address(),
         "--work",
         temp_path("web")},
        {std::string("PATH=") + kToolPath},
        out[1],
        temp_path("web-server.log")));
    close(out[1]);
    const std::optional<std::string> line = read_line(out[0], 60000);
    close(out[0]);
    ASSERT_EQ(line, std::optional<std::string>("ready"))
        << "scripts/web-server " << GetParam().name << " did not start:\n"
        << read_whole(temp_path("web-server.log"));
  }

  void TearDown() override {
    server_.stop();
    QuadviewTest::TearDown();
  }

  http_reply fetch(const request_row& row) {
    const std::string headers = temp_path("reply-headers");
    const std::string body = temp_path("reply-body");
    std::vector<std::string> argv = {
        "curl",
        "-sS",
        "--http1.1",
        "--max-time",
        "30",
        "-D",
        headers,
        "-o",
        body,
        "-X",
        row.method,
        // A HEAD is sent as it is and read to the end, so that a body after its headers shows.
        "-H",
        "Connection: close"};
    if (row.user) {
      argv.insert(argv.end(), {GetParam().authentication, "-u", row.user});
    }
    if (!row.header.empty()) {
      argv.insert(argv.end(), {"-H", row.header});
    }
    if (row.body_bytes > 0) {
      std::ofstream(temp_path("form"), std::ios::binary) << std::string(row.body_bytes, 'x');
      argv.insert(argv.end(), {"--data-binary", "@" + temp_path("form")});
    }
    argv.push_back("http://127.0.0.1:" + std::to_string(port_) + row.target);
    unlink(headers.c_str());
    unlink(body.c_str());
    http_reply reply;
    reply.curl_status = run_tool(argv);
    // Digest's first round leaves a 401 block before the answer's.
    std::string blocks = read_whole(headers);
    const size_t last = blocks.rfind("\r\n\r\n", blocks.size() >= 4 ? blocks.size() - 5 : 0);
    reply.headers = last == std::string::npos ? blocks : blocks.substr(last + 4);
    reply.status_line = reply.headers.substr(0, reply.headers.find("\r\n"));
    reply.body = read_whole(body);
    return reply;
  }

  int port_ = 0;
  child_process server_;
};

TEST_P(ServersTest, AnswersEveryRequestAsTheProgramDoes) {
  const server_setup& server = GetParam();
  const std::string direct_read = document_of(get().out);
  ASSERT_EQ(direct_read, document_of(layout_response({4, 1, 2, 3})));
  const std::string refused_write = document_of(error_response(400));
  const std::string written = document_of(success_response());

  const request_row rows[] = {
      {"a read", "GET", kRead, kAdmin, 0, "", 200, direct_read, kTwoMounts},
      {"a viewer's read",
       "GET",
       kRead,
       kViewer,
       0,
       "",
       server.viewer_reads ? 200 : 401,
       server.viewer_reads ? direct_read : "",
       kTwoMounts},
      {"a viewer's write",
       "GET",
       std::string(kWrite) + "?id=1,1,1,1",
       kViewer,
       0,
       "",
       401,
       "",
       kTwoMounts},
      {"a write without credentials",
       "GET",
       std::string(kWrite) + "?id=1,1,1,1",
       nullptr,
       0,
       "",
       401,
       "",
       kTwoMounts},
      {"HEAD of a read", "HEAD", kRead, kAdmin, 0, "", 200, "", kTwoMounts},
      {"HEAD of a write",
       "HEAD",
       std::string(kWrite) + "?id=1,1,1,1",
       kAdmin,
       0,
       "",
       200,
       "",
       kTwoMounts},
      {"a read whose query names the write",
       "GET",
       std::string(kRead) + "?cgi=setquadview.cgi&id=1,1,1,1",
       kAdmin,
       0,
       "",
       200,
       direct_read,
       kTwoMounts},
      {"a malformed id list",
       "GET",
       std::string(kWrite) + "?id=2,3,4",
       kAdmin,
       0,
       "",
       200,
       refused_write,
       kTwoMounts},
      // What a browser adds to a form sent from a page of another site.
      {"a write from another site",
       "GET",
       std::string(kWrite) + "?id=1,1,1,1",
       kAdmin,
       0,
       "Sec-Fetch-Site: cross-site",
       200,
       server.passes_fetch_site ? refused_write : written,
       server.passes_fetch_site ? kTwoMounts : two_mounts_stored({1, 1, 1, 1})},
      {"a write",
       "GET",
       std::string(kWrite) + "?id=2,3,4,1",
       kAdmin,
       0,
       "",
       200,
       written,
       two_mounts_stored({2, 3, 4, 1})},
      {"the read back",
       "GET",
       kRead,
       kAdmin,
       0,
       "",
       200,
       document_of(layout_response({2, 3, 4, 1})),
       two_mounts_stored({2, 3, 4, 1})},
      {"percent-encoded ids",
       "GET",
       std::string(kWrite) + "?id=%33%2C4%2c1,2",
       kAdmin,
       0,
       "",
       200,
       written,
       two_mounts_stored({3, 4, 1, 2})},
      {"a write with a 1 MiB body",
       "POST",
       std::string(kWrite) + "?id=1,2,3,4",
       kAdmin,
       1 << 20,
       "",
       200,
       written,
       two_mounts_stored({1, 2, 3, 4})},
      {"a read with a 1 MiB body",
       "POST",
       kRead,
       kAdmin,
       1 << 20,
       "",
       200,
       document_of(layout_response({1, 2, 3, 4})),
       two_mounts_stored({1, 2, 3, 4})},
      {"an unknown name",
       "GET",
       "/cgi-bin/other.cgi",
       kAdmin,
       0,
       "",
       404,
       "",
       two_mounts_stored({1, 2, 3, 4})},
      {"the program's own file",
       "GET",
       "/cgi-bin/quadview",
       kAdmin,
       0,
       "",
       404,
       "",
       two_mounts_stored({1, 2, 3, 4})},
  };
  for (const request_row& row : rows) {
    SCOPED_TRACE(row.what + ": " + row.method + " " + row.target);
    const http_reply reply = fetch(row);
    // curl reports a HEAD answer that announces a length it does not send (18), which HTTP
    // allows.
    EXPECT_TRUE(
        WIFEXITED(reply.curl_status) &&
        (WEXITSTATUS(reply.curl_status) == 0 ||
         (row.method == "HEAD" && WEXITSTATUS(reply.curl_status) == 18)))
        << "curl ended with status " << reply.curl_status;
    EXPECT_EQ(reply.status_line.substr(0, 7), "HTTP/1.");
    EXPECT_EQ(reply.status_line.substr(8, 4), " " + std::to_string(row.status));
    if (row.status == 200) {
      // The reason phrase comes from the program's Status header where the server passes it on.
      EXPECT_EQ(reply.status_line.substr(8), " 200 OK");
      EXPECT_NE(reply.headers.find("\r\nContent-Type: text/xml\r\n"), std::string::npos)
          << reply.headers;
      EXPECT_EQ(reply.body, row.document);
    }
    EXPECT_EQ(read_layout(), row.layout_after);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryServer,
    ServersTest,
    testing::ValuesIn(kServers),
    [](const testing::TestParamInfo<server_setup>& param_info) {
      std::string name = param_info.param.name;
      for (char& c : name) {
        c = isalnum(static_cast<unsigned char>(c)) ? c : '_';
      }
      return name;
    });

}  // namespace
}  // namespace e2e
