// SPDX-License-Identifier: MIT
// Faults around the program, end to end: bus addresses that lead nowhere, a bus's policy, slow
// services and buses that do not answer, and the request's time limit.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <netinet/in.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/time_budget.h"
#include "harness.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The program's time budget (base/time_budget.h).
constexpr std::chrono::microseconds kRequestLimit{kRequestLimitUs};
constexpr std::chrono::microseconds kExchangeLimit{kExchangeLimitUs};
// Services that answer each call this late leave a write, after its two questions, a second less
// than its save's allowance and its reload need.
constexpr std::chrono::milliseconds kTooSlowToSave{
    (kRequestLimitUs - kSaveAllowanceUs - kExchangeLimitUs) / 2000 + 500};

// A bus of the test's at the unix socket `path`, slow to authenticate: it sends each connection
// `chunks`, the first at once and each other `gap` after the one before, whatever it is sent, and
// then nothing until it goes. With `accept_after`, its listen queue holds one connection, and one
// of its own fills it until then.
class slow_bus {
 public:
  slow_bus(
      const std::string& path,
      std::vector<std::string> chunks,
      std::chrono::milliseconds gap,
      std::chrono::milliseconds accept_after = 0ms)
      : listener_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(listener_, accept_after > 0ms ? 0 : 8), 0);
    const int filler = accept_after > 0ms ? socket(AF_UNIX, SOCK_STREAM, 0) : -1;
    EXPECT_EQ(
        filler < 0 ? 0 : connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
        0);
    acceptor_ = std::thread([this, chunks, gap, accept_after, filler] {
      std::this_thread::sleep_for(accept_after);
      if (filler >= 0) {
        close(accept(listener_, nullptr, nullptr));
        close(filler);
      }
      for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
        connections_.emplace_back([this, chunks, gap, fd] {
          std::unique_lock<std::mutex> lock(mutex_);
          for (size_t i = 0; i < chunks.size() && !stopping_; i++) {
            if (i == 0 || !stop_.wait_for(lock, gap, [this] { return stopping_; })) {
              send(fd, chunks[i].data(), chunks[i].size(), MSG_NOSIGNAL);
            }
          }
          stop_.wait(lock, [this] { return stopping_; });
          close(fd);
        });
      }
    });
  }

  ~slow_bus() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    stop_.notify_all();
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    for (std::thread& connection : connections_) {
      connection.join();
    }
    close(listener_);
  }

 private:
  const int listener_;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
};

// A TCP listener on 127.0.0.1 that never accepts; with its queue filled (`fill`), a new
// connection waits for ever, otherwise the kernel completes it. Returns its address, or "" with
// `why`; the sockets it made go to `sockets`.
std::string listen_without_accepting(std::vector<int>* sockets, bool fill, std::string* why) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockets->push_back(listener);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, 0) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *why = strerror(errno);
    return "";
  }
  for (int i = 0; fill && i < 3; i++) {
    sockets->push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    (void)connect(sockets->back(), reinterpret_cast<sockaddr*>(&address), length);
  }
  return "tcp:host=127.0.0.1,port=" + std::to_string(ntohs(address.sin_port));
}

// The bus's refusal of the program's Hello, whose serial is 4294967295 (docs/bus.md).
std::string hello_refusal() {
  g_autoptr(GDBusMessage) hello = g_dbus_message_new_method_call(
      "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello");
  g_dbus_message_set_serial(hello, G_MAXUINT32);
  g_autoptr(GDBusMessage) refusal = g_dbus_message_new_method_error_literal(
      hello, "org.freedesktop.DBus.Error.LimitsExceeded", "too many connections");
  g_dbus_message_set_serial(refusal, 1);
  gsize size = 0;
  g_autofree guchar* blob =
      g_dbus_message_to_blob(refusal, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
  return std::string(reinterpret_cast<char*>(blob), size);
}

using FaultTest = QuadviewTest;
// The tests that wait out a time limit of the program's, most of a minute each, mostly asleep:
// ctest starts them first and beside the others (tests/e2e/CMakeLists.txt).
using TimeLimitTest = QuadviewTest;

// Connecting to a bus address (read as tests/device/bus_address_test.cpp reads them). One that
// leads to no bus: no connection, so no call and no orientation, whichever request, and the cause
// logged. One that leads to a bus (the private one, or one of the test's listening on TCP too,
// without the services): connected, authenticated and registered, the bus itself answers that
// the service is unknown.
TEST_F(FaultTest, ConnectsToABusAddressAsGDBusDoes) {
  write_layout(kTwoMounts);
  std::ofstream(temp_path("not-a-socket")) << "a regular file\n";
  std::ofstream(temp_path("long-nonce")) << "0123456789abcdefg";
  ASSERT_EQ(mkfifo(temp_path("nonce").c_str(), 0600), 0) << strerror(errno);
  std::vector<int> sockets;
  std::string why;
  const std::string listening = listen_without_accepting(&sockets, false, &why);
  ASSERT_NE(listening, "") << why;

  // A bus of the test's on TCP, where a client authenticates ANONYMOUS: on IPv6 loopback, which
  // it prints escaped (host=%3a%3a1), and with a nonce.
  std::ofstream(temp_path("tcp-bus.conf")) << "<busconfig>\n"
                                              "  <listen>tcp:host=%3a%3a1,port=0</listen>\n"
                                              "  <listen>nonce-tcp:host=127.0.0.1,port=0</listen>\n"
                                              "  <auth>ANONYMOUS</auth>\n"
                                              "  <allow_anonymous/>\n"
                                              "  <policy context=\"default\">\n"
                                              "    <allow user=\"*\"/>\n"
                                              "    <allow send_destination=\"*\"/>\n"
                                              "    <allow receive_sender=\"*\"/>\n"
                                              "  </policy>\n"
                                              "</busconfig>\n";
  child_process tcp_bus;
  const std::optional<std::string> printed = tcp_bus.start(
      {QUADVIEW_DBUS_DAEMON,
       "--nofork",
       "--config-file=" + temp_path("tcp-bus.conf"),
       "--print-address"},
      {},
      temp_path("tcp-bus.log"));
  ASSERT_TRUE(printed) << read_file(temp_path("tcp-bus.log"));
  std::string ipv6, nonce_tcp;
  for (size_t start = 0; start < printed->size();) {
    const size_t end = std::min(printed->find(';', start), printed->size());
    const std::string entry = printed->substr(start, end - start);
    (entry.rfind("nonce-tcp:", 0) == 0 ? nonce_tcp : ipv6) = entry;
    start = end + 1;
  }
  ASSERT_NE(ipv6.find("host=%3a%3a1"), std::string::npos) << *printed;
  const std::string ipv6_port = ipv6.substr(ipv6.find("port=") + 5);
  // Buses of the test's that answer in their own ways; the first is slow to accept too.
  constexpr char kOk[] = "OK 0123456789abcdef0123456789abcdef\r\n";
  const slow_bus refusing(temp_path("refusing"), {"REJECTED EXTERNAL\r\n"}, 0ms, 300ms);
  const slow_bus chatty(temp_path("chatty"), {std::string(kOk) + "DATA\r\n"}, 0ms);
  const slow_bus no_hello(temp_path("no-hello"), {kOk, hello_refusal()}, 500ms);

  const std::string kConnected = tilt_failure(service_unknown(QUADVIEW_IMAGE_CONTROL_NAME));
  const std::string no_bus = "unix:path=" + temp_path("nobody-listens");

  struct test_case {
    std::string address;
    std::string cause;  // why there is no connection; "" for a bus reached
  };

  const test_case cases[] = {
      {no_bus, "Could not connect: No such file or directory"},
      {"unix:path=" + temp_path("not-a-socket"), "Could not connect: Connection refused"},
      // Read to block, a nonce file that is a FIFO would wait for a writer forever.
      {"nonce-" + listening + ",noncefile=" + temp_path("nonce"),
       "The nonce file \u201c" + temp_path("nonce") + "\u201d is not a regular file of 16 bytes"},
      {"nonce-" + listening + ",noncefile=" + temp_path("long-nonce"),
       "The nonce file \u201c" + temp_path("long-nonce") +
           "\u201d is not a regular file of 16 bytes"},
      // The first entry that connects is the bus.
      {no_bus + ";" + bus_address(), ""},
      {ipv6, ""},
      {nonce_tcp, ""},
      // localhost is both loopback addresses, in any case.
      {"tcp:host=LocalHost,port=" + ipv6_port, ""},
      {"unix:path=" + temp_path("refusing"), "The bus refused authentication: REJECTED EXTERNAL"},
      // An authentication line ends at its first CRLF, and nothing may follow OK.
      {"unix:path=" + temp_path("chatty"), "The bus sent more than its authentication line"},
      {"unix:path=" + temp_path("no-hello"),
       "GDBus.Error:org.freedesktop.DBus.Error.LimitsExceeded: too many connections"},
  };
  for (const test_case& c : cases) {
    for (const char* script : {"/cgi-bin/getquadview.cgi", "/cgi-bin/setquadview.cgi"}) {
      SCOPED_TRACE(c.address + " " + script);
      run_options options;
      options.bus_address = c.address;
      const cgi_result result = run(script, "id=2,3,4,1", options);
      expect_response(result, error_response(500));
      expect_log(result, mount_not_asked(c.cause.empty() ? kConnected : kNotConnected + c.cause));
      EXPECT_EQ(read_layout(), kTwoMounts);
    }
  }
  for (const int fd : sockets) {
    close(fd);
  }
}

// The private bus enforces the installed policy (bus/quadview.conf) as a camera's bus does: a
// method of the services that the program never calls is refused to the user the program runs
// as, this process's, before it reaches the service.
TEST_F(FaultTest, BusRefusesWhatThePolicyLeavesOut) {
  struct test_case {
    const char* destination;
    const char* path;
    const char* method;
    const char* parameters;  // GVariant text
  };

  const test_case cases[] = {
      {QUADVIEW_PTZ_NAME, QUADVIEW_PTZ_PATH, "Get", "('" QUADVIEW_PTZ_INTERFACE "', 'Position')"},
      {QUADVIEW_IMAGE_CONTROL_NAME,
       QUADVIEW_IMAGE_CONTROL_PATH,
       "Set",
       "('" QUADVIEW_IMAGE_CONTROL_INTERFACE "', '" QUADVIEW_TILT_PROPERTY "', <'90'>)"},
      {QUADVIEW_IMAGE_CONTROL_NAME,
       QUADVIEW_IMAGE_CONTROL_PATH "/1",
       "Get",
       "('" QUADVIEW_IMAGE_CONTROL_INTERFACE "', '" QUADVIEW_TILT_PROPERTY "')"},
  };
  start_services();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_dbus_connection_new_for_address_sync(
      bus_address().c_str(),
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr /* observer */,
      nullptr /* cancellable */,
      &error);
  ASSERT_NE(bus, nullptr) << error->message;
  for (const test_case& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " " + c.path + " " + c.method);
    g_autoptr(GVariant) parameters =
        g_variant_parse(nullptr, c.parameters, nullptr, nullptr, nullptr);
    g_autoptr(GError) refusal = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus,
        c.destination,
        c.path,
        "org.freedesktop.DBus.Properties",
        c.method,
        parameters,
        nullptr /* any reply type */,
        G_DBUS_CALL_FLAGS_NONE,
        -1 /* default timeout */,
        nullptr /* cancellable */,
        &refusal);
    EXPECT_EQ(reply, nullptr);
    EXPECT_TRUE(g_error_matches(refusal, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED))
        << (refusal ? refusal->message : "answered");
  }
  EXPECT_EQ(recorded_calls(), std::vector<std::string>());
}

// A bus or a service that does not answer costs a request one exchange's time limit, whatever
// it holds back or however slowly it gives it: the connection, the bus's authentication, or the
// call. Then the request fails with 500 as when the
// service is absent, and nothing is written.
TEST_F(TimeLimitTest, GivesUpOnABusOrServiceThatDoesNotAnswer) {
  struct test_case {
    std::string name;
    std::vector<std::string> services;
    bool stop_bus;
    std::string failure;           // the first syslog line
    std::string bus_address = "";  // a bus of the test's instead of the private one
    // What the program inherits: every signal blocked (1), no room for a queued signal (2).
    int inherited = 0;
  };

  const std::string kNoConnection = kNotConnected + std::string("Timeout was reached");
  std::vector<int> sockets;
  std::string why;
  const std::string never_accepting = listen_without_accepting(&sockets, true, &why);
  ASSERT_NE(never_accepting, "") << why;
  // Authenticated 5 s before the exchange's time is up, it never answers Hello.
  const slow_bus slow(
      temp_path("slow-bus"),
      {"", "OK 0123456789abcdef0123456789abcdef\r\n"},
      std::chrono::duration_cast<std::chrono::milliseconds>(kExchangeLimit - 5s));
  // Each byte would start a time-out per read anew.
  std::vector<std::string> bytes(30, "O");
  bytes[0] = "";
  const slow_bus trickling(temp_path("trickling-bus"), bytes, 2s);
  const std::string slow_address = "unix:path=" + temp_path("slow-bus");
  const std::string trickling_address = "unix:path=" + temp_path("trickling-bus");
  const test_case cases[] = {
      // No connection: the bus never answers its authentication.
      {"a stopped bus daemon", {"--mount", "ceiling"}, true, kNoConnection},
      {"a service that does not answer",
       {"--mount", "ceiling", "--delay-ms", "60000"},
       false,
       tilt_failure("Timeout was reached")},
      {"a bus that authenticates late", {}, false, kNoConnection, slow_address},
      {"a bus that answers a byte at a time", {}, false, kNoConnection, trickling_address},
      {"a TCP bus that never accepts", {}, false, kNoConnection, never_accepting},
      // Whatever the program inherits, the bound holds.
      {"slow to authenticate, every signal blocked", {}, false, kNoConnection, slow_address, 1},
      {"slow to authenticate, no signal queue", {}, false, kNoConnection, slow_address, 2},
  };
  const auto check = [this](const test_case& c) {
    SCOPED_TRACE(c.name);
    run_options options;
    if (!c.bus_address.empty()) {
      options.bus_address = c.bus_address;
    }
    options.signals_blocked = c.inherited == 1;
    options.no_signal_queue = c.inherited == 2;
    // Both at once: each waits out the time limit.
    cgi_result read;
    std::thread reader([&] { read = get(std::nullopt, options); });
    const cgi_result write = set("id=2,3,4,1", options);
    reader.join();
    for (const cgi_result* result : {static_cast<const cgi_result*>(&read), &write}) {
      expect_response(*result, error_response(500));
      expect_log(*result, mount_not_asked(c.failure));
      EXPECT_GE(result->elapsed, kExchangeLimit - 1s);
      EXPECT_LT(result->elapsed, kExchangeLimit + 10s);
    }
  };

  write_layout(kTwoMounts);
  // The rows with buses of their own run all at once, beside the others.
  std::vector<std::thread> own_buses;
  for (const test_case& c : cases) {
    if (!c.bus_address.empty()) {
      own_buses.emplace_back(check, c);
    }
  }
  for (const test_case& c : cases) {
    if (!c.bus_address.empty()) {
      continue;
    }
    start_services(c.services);
    forget_calls();
    if (c.stop_bus) {
      signal_bus(SIGSTOP);
    }
    check(c);
    if (c.stop_bus) {
      signal_bus(SIGCONT);
    }
    EXPECT_EQ(count_calls(kReload), 0);
  }
  for (std::thread& t : own_buses) {
    t.join();
  }
  for (const int fd : sockets) {
    close(fd);
  }
  EXPECT_EQ(read_layout(), kTwoMounts);
}

// A request ends within its limit, below the one after which web servers give up on a CGI program
// and stop it. A write saves only while the save's allowance and then the reload's whole exchange
// still fit: after two slow answers too little is left, so it fails before the save. A request
// body that never comes is waited for only until the end, after the answer is out.
TEST_F(TimeLimitTest, EndsWithinTheRequestsTimeLimit) {
  write_layout(kTwoMounts);
  start_services({"--mount", "ceiling", "--delay-ms", std::to_string(kTooSlowToSave.count())});
  cgi_result read;
  std::thread reader([&] {
    run_options options;
    options.environment = {"REQUEST_METHOD=POST", "CONTENT_LENGTH=10"};
    options.body = "";
    options.body_stays_open = true;
    read = get(std::nullopt, options);
  });
  const cgi_result write = set("id=2,3,4,1");
  reader.join();

  expect_response(write, error_response(500));
  expect_log(
      write,
      {{LOG_ERR, "set_quadview_layout: Too little time left to save the layout and reload it"},
       {LOG_ERR, kLayoutNotSet},
       {LOG_ERR, kSetFailed}});
  EXPECT_GE(write.elapsed, 2 * kTooSlowToSave);
  EXPECT_LT(write.elapsed, 2 * kTooSlowToSave + 12s);
  EXPECT_EQ(read_layout(), kTwoMounts);
  EXPECT_EQ(count_calls(kReload), 0);

  expect_response(read, layout_response({4, 1, 2, 3}));
  expect_log(read, {});
  // The answer ends with the document, not with the wait for the body.
  EXPECT_LT(read.output_elapsed, kExchangeLimit);
  EXPECT_GE(read.elapsed, kRequestLimit - 1s);
  EXPECT_LT(read.elapsed, std::chrono::microseconds(kServerLimitUs));
}

// The save has its allowance in the request's time before the reload's exchange: flushes of 12 s
// each overrun it, and a coordinator as slow as the services then misses its reload. The layout
// stays saved, the request still ends within its limit, and the log says what happened. Services
// that answer 2 s sooner than kTooSlowToSave leave the save a few seconds to start in time, which
// an emulator needs.
TEST_F(TimeLimitTest, SaysWhenASlowSaveLeftTheReloadTooLittleTime) {
  if (!why_no_environment_from_files().empty()) {
    GTEST_SKIP() << why_no_environment_from_files();
  }
  write_layout(kTwoMounts);
  start_services(
      {"--mount", "ceiling", "--delay-ms", std::to_string((kTooSlowToSave - 2s).count())});
  run_options options;
  options.fail = "slow-flush";
  const cgi_result result = set("id=2,3,4,1", options);
  expect_response(result, error_response(500));
  expect_log(
      result,
      {{LOG_ERR, reload_failure("Timeout was reached")},
       {LOG_ERR, "set_quadview_layout: Failed to set command to ptz"},
       {LOG_ERR,
        "set_quadview_layout: The layout was saved but not announced: the save overran its "
        "allowance"},
       {LOG_ERR, kLayoutNotSet},
       {LOG_ERR, kSetFailed}});
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
  EXPECT_LT(result.elapsed, kRequestLimit + 2s);
}

}  // namespace
}  // namespace e2e
