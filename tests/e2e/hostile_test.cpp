// SPDX-License-Identifier: MIT
// Requests made to break the program: format and markup characters, every byte value, and
// SCRIPT_NAME and QUERY_STRING far larger than any browser sends. Whatever comes in, the answer is
// one of the few legal documents, the exit status 0 and stderr empty (QuadviewTest::run checks
// those two on every run), and what is logged shows the request's text literally, except that
// control bytes are escaped so that no request can end a log line and forge the next one.

#include <arpa/inet.h>
#include <errno.h>
#include <glib.h>
#include <linux/landlock.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "base/log_value.h"
#include "harness.h"

namespace e2e {
namespace {

constexpr size_t kMiB = 1 << 20;

// The read's answer for kTwoMounts on the ceiling.
const std::array<int, 4> kCeiling = {4, 1, 2, 3};

// %XX for every byte of `text`, upper- or lower-case hex by turns.
std::string escape_all(const std::string& text) {
  std::string escaped;
  bool lower = false;
  for (const char c : text) {
    char piece[4];
    snprintf(piece, sizeof(piece), lower ? "%%%02x" : "%%%02X", static_cast<unsigned char>(c));
    escaped += piece;
    lower = !lower;
  }
  return escaped;
}

// The bytes 0x01 to 0xff in order, leaving out those in `except`.
std::string all_bytes(const std::string& except) {
  std::string bytes;
  for (int b = 1; b <= 0xff; b++) {
    if (except.find(static_cast<char>(b)) == std::string::npos) {
      bytes += static_cast<char>(b);
    }
  }
  return bytes;
}

// A request's text as the program logs it, escaped by the program's own escaper (its cases are
// tests/base/log_value_test.cpp's).
std::string as_logged(const std::string& text) {
  g_autofree char* logged = escape_log_value(text.c_str());
  return logged;
}

std::string repeat(const std::string& piece, size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (size_t i = 0; i < count; i++) {
    text += piece;
  }
  return text;
}

struct hostile_case {
  std::string name;
  std::optional<std::string> script_name;
  std::optional<std::string> query_string;
  std::string response;
  std::vector<expected_log> log = {};
  std::string stored = kTwoMounts;  // the layout file afterwards
  // The program logs a line longer than a datagram can be (the socket's send buffer, about
  // 208 KiB by default), which syslog drops; the program must not mind.
  bool log_dropped = false;
};

// The kinds of answer, each a row of the tables below.
hostile_case unknown_cgi(
    const std::string& name,
    const std::string& script,
    const std::string& logged,
    const std::optional<std::string>& query = std::nullopt) {
  return {
      name, script, query, error_response(400), {{LOG_ERR, "Unrecoginized CGI '" + logged + "'"}}};
}

hostile_case unreadable_name(const std::string& name, const std::string& script) {
  return {name, script, std::nullopt, error_response(20), kNoScriptName};
}

hostile_case invalid_ids(
    const std::string& name, const std::string& query, const std::string& ids) {
  return {
      name, kSet, query, error_response(400), {{LOG_INFO, "Invalid id parameters (" + ids + ")"}}};
}

hostile_case no_ids(const std::string& name, const std::string& query) {
  return {name, kSet, query, error_response(400), {{LOG_INFO, "No id parameters"}}};
}

hostile_case stores(
    const std::string& name,
    const std::string& script,
    const std::string& query,
    const std::array<int, 4>& ids) {
  return {name, script, query, success_response(), {}, two_mounts_stored(ids)};
}

hostile_case reads(
    const std::string& name,
    const std::string& script,
    const std::optional<std::string>& query = std::nullopt) {
  return {name, script, query, layout_response(kCeiling)};
}

hostile_case refused_unlogged(
    const std::string& name, const std::string& script, const std::optional<std::string>& query) {
  return {name, script, query, error_response(400), {}, kTwoMounts, true};
}

class HostileTest : public QuadviewTest {
 protected:
  void SetUp() override {
    QuadviewTest::SetUp();
    start_services({"--mount", "ceiling"});
  }

  void check(const std::vector<hostile_case>& cases, const run_options& options = {}) {
    for (const hostile_case& c : cases) {
      SCOPED_TRACE(c.name);
      write_layout(kTwoMounts);
      const cgi_result result = run(c.script_name, c.query_string, options);
      expect_response(result, c.response);
      if (!c.log_dropped) {
        expect_log(result, c.log);
      }
      EXPECT_EQ(read_layout(), c.stored);
    }
    EXPECT_EQ(layout_folder(), std::vector<std::string>({kLayoutName}));
  }
};

TEST_F(HostileTest, LogsFormatCharactersLiterallyAndControlBytesEscaped) {
  const std::string kFormats = "%p%d%c%%%1$s%*d%.999999999f%ls%hhn%m%99999999999s";
  check({
      unknown_cgi("escaped in SCRIPT_NAME", "/cgi-bin/%25n%25s%25x", "%n%s%x"),
      invalid_ids("escaped in id", "id=%25n%25s%25x", "%n%s%x"),
      unknown_cgi("many in SCRIPT_NAME", "/cgi-bin/" + escape_all(kFormats), kFormats),
      invalid_ids("many in id", "id=" + escape_all(kFormats), kFormats),
      // Unescaped, a '%' that starts no escape makes the whole text unreadable.
      unreadable_name("raw in SCRIPT_NAME", "/cgi-bin/%n%s%x"),
      no_ids("raw in id", "id=%n%s%x"),
      stores(
          "after the CGI name",
          "/cgi-bin/setquadview.cgi%25n%25s",
          "id=2,3,4,1&%25s=%25n",
          {2, 3, 4, 1}),
  });
}

// The answer never echoes the request, so markup in it cannot change the document.
TEST_F(HostileTest, KeepsMarkupOutOfTheDocument) {
  check({
      unknown_cgi("in the CGI name", "/cgi-bin/<Error>&amp;\"'", "<Error>&amp;\"'"),
      // Decoded before it is split: the escaped '/' ends a path component.
      unknown_cgi("a closing tag", "/cgi-bin/%3C%2FQuadViewResponse%3E", "QuadViewResponse>"),
      reads("after the CGI name", "/cgi-bin/getquadview.cgi]]><!--<?xml"),
      invalid_ids("in id", "id=<1>,]]>,\",'", "<1>,]]>,\",'"),
      no_ids("in the id's name", "<id>=1,2,3,4"),
      stores("in other parameters", kSet, "<x>=\"'&%3C%2Fy%3E=%22&id=2,3,4,1", {2, 3, 4, 1}),
  });
}

TEST_F(HostileTest, TakesEveryByteValueAtOnce) {
  // '/' splits SCRIPT_NAME, '&' the query, '=' a parameter; '%' would start an escape when raw.
  check({
      unknown_cgi(
          "escaped in the CGI name",
          "/cgi-bin/" + escape_all(all_bytes("/")),
          as_logged(all_bytes("/"))),
      unknown_cgi("raw in the CGI name", "/cgi-bin/" + all_bytes("/%"), as_logged(all_bytes("/%"))),
      invalid_ids("escaped in id", "id=" + escape_all(all_bytes("&")), as_logged(all_bytes("&"))),
      invalid_ids("raw in id", "id=" + all_bytes("&%"), as_logged(all_bytes("&%"))),
      stores(
          "escaped in another parameter's name and value",
          kSet,
          escape_all(all_bytes("&=")) + "=" + escape_all(all_bytes("&")) + "&id=3,1,4,2",
          {3, 1, 4, 2}),
      // An escaped NUL makes the text it is in unreadable.
      unreadable_name("NUL in SCRIPT_NAME", "/cgi-bin/%00"),
      no_ids("NUL in id", "id=%00"),
      no_ids("NUL in another parameter", "id=2,3,4,1&x=%00"),
      reads("NUL in a read's query", kGet, "x=%00"),
  });
}

// The same bytes one request at a time, so that none can hide behind another. Each byte is
// placed where exactly one value selects something: the last letter of the CGI name and the
// first id.
TEST_F(HostileTest, TakesEachByteValueAlone) {
  // Under qemu-arm this is where the processor's unsigned char shows, if anywhere.
  if (launcher_name() == "valgrind") {
    GTEST_SKIP() << "510 runs take ten minutes under valgrind; TakesEveryByteValueAtOnce sends "
                    "the same bytes";
  }
  std::vector<hostile_case> cases;
  for (int b = 1; b <= 0xff; b++) {
    const std::string byte(1, static_cast<char>(b));
    const std::string script = "/cgi-bin/getquadview.cg" + escape_all(byte);
    const std::string name = b == '/' ? "" : "getquadview.cg" + byte;
    cases.push_back(
        b == 'i' ? reads(script, script, "") : unknown_cgi(script, script, as_logged(name), ""));
    const std::string query = "id=" + escape_all(byte) + ",2,3,4";
    const std::string list = b == '&' ? "" : byte + ",2,3,4";
    cases.push_back(
        b >= '1' && b <= '4' ? stores(query, kSet, query, {b - '0', 2, 3, 4})
                             : invalid_ids(query, query, as_logged(list)));
  }
  check(cases);
}

// Beyond the 128 KiB that exec allows one environment string: handed over through files.
TEST_F(HostileTest, ServesRequestsOfAMebibyte) {
  if (const std::string why = why_no_environment_from_files(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  run_options from_files;
  from_files.environment_from_files = true;
  const std::string pad = std::string(kMiB, 'x');
  check(
      {
          stores("1 MiB before id", kSet, "pad=" + pad + "&id=2,3,4,1", {2, 3, 4, 1}),
          reads("1 MiB folder name", "/" + std::string(kMiB, 'a') + "/getquadview.cgi"),
          stores("1 MiB after the CGI name", kSet + pad, "id=4,3,2,1", {4, 3, 2, 1}),
          refused_unlogged("1 MiB CGI name", "/cgi-bin/" + repeat("%41", kMiB / 3), std::nullopt),
          reads("1 MiB of each", "/" + std::string(kMiB, 'a') + kGet, "pad=" + pad),
      },
      from_files);
}

// Texts that split into 10^5 pieces and more: parameters, path components, ids.
TEST_F(HostileTest, ServesRequestsOfAHundredThousandPieces) {
  if (kAddressSanitizer) {
    GTEST_SKIP() << "AddressSanitizer's strstr() measures the whole rest of the text on every "
                    "call, so splitting 1 MiB into 10^5 pieces takes minutes";
  }
  if (const std::string why = why_no_environment_from_files(); !why.empty()) {
    GTEST_SKIP() << why;
  }
  std::string hundred_thousand;
  for (int i = 0; i < 100000; i++) {
    hundred_thousand += "p" + std::to_string(i) + "=" + std::to_string(i) + "&";
  }
  run_options from_files;
  from_files.environment_from_files = true;
  check(
      {
          stores(
              "1 MiB of parameters after id",
              kSet,
              "id=3,4,1,2&" + repeat("x=y&", kMiB / 4),
              {3, 4, 1, 2}),
          stores("100 000 parameters", kSet, hundred_thousand + "id=3,3,3,3", {3, 3, 3, 3}),
          // The last of the same name counts.
          stores("100 000 ids", kSet, repeat("id=1,1,1,1&", 99999) + "id=4,4,4,4", {4, 4, 4, 4}),
          invalid_ids("100 000 ids, the last one bad", repeat("id=2,2,2,2&", 99999) + "id=9", "9"),
          refused_unlogged("1 MiB id", kSet, "id=" + repeat("1,", kMiB / 2)),
          refused_unlogged("1 MiB of escapes in id", kSet, "id=" + repeat("%31%2C", kMiB / 6)),
          unknown_cgi("1 MiB of slashes", std::string(kMiB, '/'), ""),
      },
      from_files);
}

// A flaw anywhere in the program reaches nothing but the layout folder and the bus, and runs
// nothing: the program confines itself before it reads a request (src/cgi/sandbox.cpp). A helper
// preloaded into it tries what no request may do where every request passes after that, and each
// try is refused with the errno of what refuses it (EACCES: Landlock; EPERM: the seccomp filter)
// while the request is served as ever. The install test runs the table against a program built
// with QUADVIEW_SANDBOX=OFF and QUADVIEW_TEST_UNCONFINED set: every try must succeed there, so the
// table cannot pass by accident.
TEST_F(HostileTest, ReachesNothingButTheLayoutFolderAndTheBus) {
  if (launcher_name().rfind("qemu-", 0) == 0) {
    GTEST_SKIP() << "qemu-user refuses a seccomp filter (EINVAL) and knows no Landlock call "
                    "(ENOSYS): under it the program has no new privileges, and nothing more";
  }
  const bool unconfined = getenv("QUADVIEW_TEST_UNCONFINED") != nullptr;
  const long landlock =
      syscall(__NR_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);

  struct row {
    std::string probe;
    int refusal;  // 0: nothing refuses it here, for `why_not`
    std::string why_not;
  };

  const row rows[] = {
      {"read", landlock >= 1 ? EACCES : 0, "a kernel without Landlock (5.13)"},
      {"create", landlock >= 1 ? EACCES : 0, "a kernel without Landlock (5.13)"},
      {"exec",
       QUADVIEW_SECCOMP_FILTER ? EPERM
       : landlock >= 1         ? EACCES
                               : 0,
       "no confinement"},
      // The bus is a unix socket: not even an IPv4 socket is to be had.
      {"connect",
       QUADVIEW_SECCOMP_FILTER ? EPERM
       : landlock >= 4         ? EACCES
                               : 0,
       "no seccomp filter in the build, no Landlock TCP rules in the kernel (6.7)"},
  };
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_TRUE(
      bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      listen(listener, 4) == 0 &&
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      << strerror(errno);
  std::filesystem::create_directory(temp_path("probe"));
  std::ofstream(temp_path("probe/secret")) << "nothing of the program's\n";

  for (const hostile_case& c :
       {reads("a read", kGet), stores("a write", kSet, "id=2,3,4,1", {2, 3, 4, 1})}) {
    SCOPED_TRACE(c.name);
    write_layout(kTwoMounts);
    std::filesystem::remove(temp_path("probe/created"));
    run_options options;
    options.probe_report = temp_path("probe/report");
    options.environment = {"QUADVIEW_PROBE_PORT=" + std::to_string(ntohs(address.sin_port))};
    const cgi_result result = run(c.script_name, c.query_string, options);
    expect_response(result, c.response);
    expect_log(result, {});
    EXPECT_EQ(read_layout(), c.stored);
    const std::string report = read_file(temp_path("probe/report"));
    for (const row& r : rows) {
      if (unconfined || r.refusal != 0) {
        const std::string line = r.probe + "=" + std::to_string(unconfined ? 0 : r.refusal) + "\n";
        EXPECT_NE(report.find(line), std::string::npos) << "not " << line << "in\n" << report;
      }
    }
    EXPECT_EQ(std::filesystem::exists(temp_path("probe/created")), unconfined);
  }
  close(listener);
  std::string unchecked;
  for (const row& r : rows) {
    if (!unconfined && r.refusal == 0) {
      unchecked += " " + r.probe + " (" + r.why_not + ")";
    }
  }
  if (!unchecked.empty()) {
    GTEST_SKIP() << "not checked:" << unchecked;
  }
}

}  // namespace
}  // namespace e2e
