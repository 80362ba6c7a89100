// SPDX-License-Identifier: MIT
// Faults around the program, end to end: an unreachable bus, slow services, a layout file that
// is damaged, huge or out of range, a folder that cannot take the new file, and a web server that
// stops listening before the answer is written.

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Bytes that are no key file: every value, NUL included, from a fixed seed.
std::string garbage(size_t size) {
  std::mt19937 bytes(size);
  std::string text(size, '\0');
  for (char& c : text) {
    c = static_cast<char>(bytes() & 0xff);
  }
  return text;
}

// A layout file of exactly `size` bytes, as the program writes it (so that a write changes only
// the ceiling's angles): both mounts and an [OTHER] group with many long keys. A write keeps
// the size when the new angles have as many digits in all as the old ones.
std::string huge_layout(const std::array<int, 4>& ceiling_ids, size_t size) {
  std::string text = two_mounts_stored(ceiling_ids);
  constexpr size_t kLine = 64;
  for (int i = 0; text.size() + 2 * kLine <= size; i++) {
    const std::string key = "key" + std::to_string(i) + "=";
    text += key + std::string(kLine - key.size() - 1, 'v') + "\n";
  }
  return text + "last=" + std::string(size - text.size() - 6, 'v') + "\n";
}

// Moves the calling thread into a mount namespace of its own, in which `folder` is a small
// tmpfs, and back when it goes. The programs that the test starts from this thread see the tmpfs;
// the machine and the test's other threads never do. Needs root.
class scoped_tmpfs {
 public:
  scoped_tmpfs() = default;
  scoped_tmpfs(const scoped_tmpfs&) = delete;
  scoped_tmpfs& operator=(const scoped_tmpfs&) = delete;

  ~scoped_tmpfs() {
    if (!folder_.empty()) {
      umount2(folder_.c_str(), MNT_DETACH);
    }
    if (unshared_) {
      EXPECT_EQ(setns(old_namespace_, CLONE_NEWNS), 0) << strerror(errno);
    }
    if (old_namespace_ >= 0) {
      close(old_namespace_);
    }
  }

  // Returns "" when mounted, otherwise why not.
  std::string mount_on(const std::string& folder, const std::string& options) {
    old_namespace_ = open("/proc/thread-self/ns/mnt", O_RDONLY | O_CLOEXEC);
    if (old_namespace_ < 0) {
      return std::string("cannot open the mount namespace: ") + strerror(errno);
    }
    if (unshare(CLONE_NEWNS) != 0) {
      return std::string("cannot have a mount namespace: ") + strerror(errno);
    }
    unshared_ = true;
    // Nothing mounted here may reach the machine's own mounts.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("cannot make the mounts private: ") + strerror(errno);
    }
    if (mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      return std::string("cannot mount a tmpfs: ") + strerror(errno);
    }
    folder_ = folder;
    return "";
  }

 private:
  int old_namespace_ = -1;
  bool unshared_ = false;
  std::string folder_;
};

// A bus of the test's at the unix socket `path`, slow to authenticate: it sends each connection
// `chunks`, the first at once and each other `gap` after the one before, whatever it is sent, and
// then nothing until it goes.
class slow_bus {
 public:
  slow_bus(const std::string& path, std::vector<std::string> chunks, std::chrono::seconds gap)
      : listener_(socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(listener_, 8), 0);
    acceptor_ = std::thread([this, chunks, gap] {
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

using FaultTest = QuadviewTest;

// Bus addresses as GDBus reads them. One that leads to no bus: no connection, so no proxy and no
// orientation, whichever request, and the cause logged. One that leads to a bus (the private one,
// or one of the test's listening on TCP too, without the services): connected, authenticated
// and registered, the bus itself answers that the service is unknown.
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
  int address_pipe[2];
  ASSERT_EQ(pipe2(address_pipe, O_CLOEXEC), 0);
  child_process tcp_bus;
  ASSERT_TRUE(tcp_bus.start(
      {QUADVIEW_DBUS_DAEMON,
       "--nofork",
       "--config-file=" + temp_path("tcp-bus.conf"),
       "--print-address=3"},
      {},
      -1,
      temp_path("tcp-bus.log"),
      address_pipe[1]));
  close(address_pipe[1]);
  const std::optional<std::string> printed = read_line(address_pipe[0], 30000);
  close(address_pipe[0]);
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

  const std::string kConnected =
      "get_cameratiltorientation({LINE}) Failed to get CameraTiltOrientation due to "
      "'GDBus.Error:org.freedesktop.DBus.Error.ServiceUnknown: The name com.tarq.ImageControl "
      "was not provided by any .service files'";
  const std::string no_bus = "unix:path=" + temp_path("nobody-listens");

  struct test_case {
    std::string address;
    std::string cause;  // why there is no connection; "" for a bus reached
  };

  const test_case cases[] = {
      {no_bus, "Could not connect: No such file or directory"},
      {"unix:path=" + temp_path("not-a-socket"), "Could not connect: Connection refused"},
      {"no address at all",
       "Address element \u201cno address at all\u201d does not contain a transport and a colon "
       "(:)"},
      {"", "The given address is empty"},
      // Read to block, a nonce file that is a FIFO would wait for a writer forever.
      {"nonce-" + listening + ",noncefile=" + temp_path("nonce"),
       "The nonce file \u201c" + temp_path("nonce") + "\u201d is not a regular file of 16 bytes"},
      {"nonce-" + listening + ",noncefile=" + temp_path("long-nonce"),
       "The nonce file \u201c" + temp_path("long-nonce") +
           "\u201d is not a regular file of 16 bytes"},
      {bus_address() + ",abstract=quadview-test",
       "Error in address \u201c" + bus_address() +
           ",abstract=quadview-test\u201d \u2014 the unix transport requires exactly one of the "
           "keys path or abstract"},
      // The first entry that connects is the bus.
      {no_bus + ";" + bus_address(), ""},
      // The last of a repeated key counts.
      {bus_address() + ",path=" + temp_path("nobody-listens"),
       "Could not connect: No such file or directory"},
      {"unix:path=" + temp_path("nobody-listens") + "," + bus_address().substr(5), ""},
      {ipv6, ""},
      {nonce_tcp, ""},
      // localhost is both loopback addresses, in any case.
      {"tcp:host=LocalHost,port=" + ipv6_port, ""},
  };
  for (const test_case& c : cases) {
    for (const char* script : {"/cgi-bin/getquadview.cgi", "/cgi-bin/setquadview.cgi"}) {
      SCOPED_TRACE(c.address + " " + script);
      run_options options;
      options.bus_address = c.address;
      const cgi_result result = run(script, "id=2,3,4,1", options);
      expect_response(result, error_response(500));
      std::vector<expected_log> log = {
          {LOG_ERR, "Failed to connect to the system bus: " + c.cause},
          {LOG_ERR, "get_cameratiltorientation({LINE}) Error\n"},
          {LOG_ERR, kNoOrientation},
          {LOG_ERR, kGetFailed}};
      if (c.cause.empty()) {
        log.erase(log.begin(), log.begin() + 2);
        log.insert(log.begin(), {LOG_ERR, kConnected});
      }
      expect_log(result, log);
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
      {"com.tarq.PTZ.Coordinator",
       "/com/tarq/PTZ/Coordinator/4",
       "Get",
       "('com.tarq.PTZ.Coordinator', 'Position')"},
      {"com.tarq.ImageControl",
       "/com/tarq/ImageControl/0/0",
       "Set",
       "('com.tarq.ImageControl', 'CameraTiltOrientation', <'90'>)"},
      {"com.tarq.ImageControl",
       "/com/tarq/ImageControl/0/1",
       "Get",
       "('com.tarq.ImageControl', 'CameraTiltOrientation')"},
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

// Two seconds per answer is slow, but well within the 25 s that a call may take.
TEST_F(FaultTest, WaitsForASlowServiceToRead) {
  write_layout(kTwoMounts);
  start_services({"--mount", "desk", "--delay-ms", "2000"});
  const cgi_result result = get();
  expect_response(result, layout_response({2, 3, 4, 1}));
  expect_log(result, {});
  EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery}));
}

TEST_F(FaultTest, WaitsForASlowServiceToWrite) {
  write_layout(kTwoMounts);
  start_services({"--mount", "ceiling", "--delay-ms", "2000"});
  const cgi_result result = set("id=2,3,4,1");
  expect_response(result, success_response());
  expect_log(result, {});
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
  EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery, kTiltQuery, kReload}));
}

// A bus or a service that does not answer costs a request one D-Bus time limit (25 s), whatever
// it holds back or however slowly it gives it: the connection, the bus's authentication, the
// properties that a new proxy loads, or the call. Then the request fails with 500 as when the
// service is absent, and nothing is written.
TEST_F(FaultTest, GivesUpOnABusOrServiceThatDoesNotAnswer) {
  struct test_case {
    std::string name;
    std::vector<std::string> services;
    bool stop_bus;
    std::string failure;           // the first syslog line
    std::string bus_address = "";  // a bus of the test's instead of the private one
    bool signals_blocked = false;
    bool no_signal_queue = false;
  };

  constexpr char kNoProxy[] = "Failed to connect to the system bus: Timeout was reached";
  std::vector<int> sockets;
  std::string why;
  const std::string never_accepting = listen_without_accepting(&sockets, true, &why);
  ASSERT_NE(never_accepting, "") << why;
  // Authenticated after 20 s, it never answers Hello.
  const slow_bus slow(temp_path("slow-bus"), {"", "OK 0123456789abcdef0123456789abcdef\r\n"}, 20s);
  // Each byte would start a time-out per read anew.
  std::vector<std::string> bytes(30, "O");
  bytes[0] = "";
  const slow_bus trickling(temp_path("trickling-bus"), bytes, 2s);
  const test_case cases[] = {
      // No connection, so no proxy: the bus never answers its authentication.
      {"a stopped bus daemon", {"--mount", "ceiling"}, true, kNoProxy},
      {"a service that does not answer",
       {"--mount", "ceiling", "--delay-ms", "60000"},
       false,
       "get_cameratiltorientation({LINE}) Failed to get CameraTiltOrientation due to 'Timeout was "
       "reached'"},
      {"a bus that authenticates after 20 s",
       {},
       false,
       kNoProxy,
       "unix:path=" + temp_path("slow-bus")},
      {"a bus that answers a byte at a time",
       {},
       false,
       kNoProxy,
       "unix:path=" + temp_path("trickling-bus")},
      {"a TCP bus that never accepts", {}, false, kNoProxy, never_accepting},
      // Whatever the program inherits, the bound holds.
      {"a bus that authenticates after 20 s, every signal blocked",
       {},
       false,
       kNoProxy,
       "unix:path=" + temp_path("slow-bus"),
       true},
      {"a bus that authenticates after 20 s, no room for a queued signal",
       {},
       false,
       kNoProxy,
       "unix:path=" + temp_path("slow-bus"),
       false,
       true},
  };
  const auto check = [this](const test_case& c) {
    SCOPED_TRACE(c.name);
    run_options options;
    if (!c.bus_address.empty()) {
      options.bus_address = c.bus_address;
    }
    options.signals_blocked = c.signals_blocked;
    options.no_signal_queue = c.no_signal_queue;
    // Both at once: each waits out the time limit.
    cgi_result read;
    std::thread reader([&] { read = get(std::nullopt, options); });
    const cgi_result write = set("id=2,3,4,1", options);
    reader.join();
    for (const cgi_result* result : {static_cast<const cgi_result*>(&read), &write}) {
      expect_response(*result, error_response(500));
      std::vector<expected_log> log = {
          {LOG_ERR, c.failure}, {LOG_ERR, kNoOrientation}, {LOG_ERR, kGetFailed}};
      if (c.failure.rfind("Failed to connect", 0) == 0) {
        log.insert(log.begin() + 1, {LOG_ERR, "get_cameratiltorientation({LINE}) Error\n"});
      }
      expect_log(*result, log);
      EXPECT_GE(result->elapsed, std::chrono::seconds(24));
      EXPECT_LT(result->elapsed, std::chrono::seconds(35));
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

// A request ends within 55 s, below the 60 s after which web servers give up on a CGI program
// and stop it. A write saves only while the reload still has a whole exchange's time (25 s), so
// slow services fail it before the save; and a request body that never comes is waited for only
// until then, after the answer is out.
TEST_F(FaultTest, EndsWithinTheRequestsTimeLimit) {
  write_layout(kTwoMounts);
  start_services({"--mount", "ceiling", "--delay-ms", "16000"});
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
  EXPECT_GE(write.elapsed, std::chrono::seconds(31));
  EXPECT_LT(write.elapsed, std::chrono::seconds(45));
  EXPECT_EQ(read_layout(), kTwoMounts);
  EXPECT_EQ(count_calls(kReload), 0);

  expect_response(read, layout_response({4, 1, 2, 3}));
  expect_log(read, {});
  // The answer ends with the document, not with the wait for the body.
  EXPECT_LT(read.output_elapsed, std::chrono::seconds(25));
  EXPECT_GE(read.elapsed, std::chrono::seconds(54));
  EXPECT_LT(read.elapsed, std::chrono::seconds(60));
}

// Some web servers hand the program one socket for input and output, and reset the connection,
// answer and all, when the program ends with input unread: the body is read to CONTENT_LENGTH,
// and not a byte further. It is never parsed, and ends the request where it ends.
TEST_F(FaultTest, ReadsTheRequestBodyToItsLength) {
  struct test_case {
    std::optional<std::string> content_length;
    size_t body_size;
    size_t unread;
    const char* transfer_encoding = nullptr;  // HTTP_TRANSFER_ENCODING
  };

  const test_case cases[] = {
      // A chunked body that the server passes on as it is, to the end of the input.
      {std::nullopt, 1 << 20, 0, "chunked"},
      {"", 100, 0, "chunked"},
      {"10", 100, 90, "chunked"},
      {"1048576", 1 << 20, 0},
      {"10", 100, 90},
      {"1000", 10, 0},
      {std::nullopt, 100, 100},
      {"", 100, 100},
      {"0", 100, 100},
      {"12x", 100, 100},
      {"-5", 100, 100},
      {" 5", 100, 100},
      {"99999999999999999999999", 100, 100},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.content_length));
    write_layout(kTwoMounts);
    run_options options;
    options.environment = {"REQUEST_METHOD=POST"};
    if (c.content_length) {
      options.environment.push_back("CONTENT_LENGTH=" + *c.content_length);
    }
    if (c.transfer_encoding) {
      options.environment.push_back(std::string("HTTP_TRANSFER_ENCODING=") + c.transfer_encoding);
    }
    // A body that reads like a query of its own changes nothing.
    options.body = "id=1,1,1,1&";
    options.body->resize(c.body_size, 'x');
    const cgi_result result = set("id=2,3,4,1", options);
    expect_response(result, success_response());
    expect_log(result, {});
    EXPECT_EQ(result.body_unread, c.unread);
    EXPECT_LT(result.elapsed, std::chrono::seconds(20));
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
  EXPECT_EQ(layout_folder(), std::vector<std::string>({"quadview.conf"}));
}

// A save killed half-way (an out-of-memory kill at its flush) leaves nothing for long: nothing at
// all where the file system makes the new file without a name, otherwise a file whose name says
// what it is, which the next save removes once it is older than any request lasts. Other names
// stay, and so does a temporary file young enough to be another save's.
TEST_F(FaultTest, LeavesNothingBehindAKilledSave) {
  if (!why_no_environment_from_files().empty()) {
    GTEST_SKIP() << why_no_environment_from_files();
  }
  start_services({"--mount", "ceiling"});
  const std::vector<std::string> others = {
      "quadview.conf.backup", "quadview.conf.orig", "quadview.conf.unsaved-old"};
  for (const std::string fail : {"kill-on-flush", "no-tmpfile,kill-on-flush"}) {
    SCOPED_TRACE(fail);
    fs::remove_all(layout_dir());
    fs::create_directories(layout_dir());
    write_layout(kTwoMounts);
    for (const std::string& name : others) {
      std::ofstream(layout_dir() + "/" + name) << kTwoMounts;
    }
    run_options options;
    options.fail = fail;
    set("id=2,3,4,1", options);
    EXPECT_EQ(read_layout(), kTwoMounts);
    std::vector<std::string> left;
    for (const std::string& name : layout_folder()) {
      if (name.rfind("quadview.conf.unsaved-", 0) == 0 && name != others[2]) {
        left.push_back(name);
      }
    }
    EXPECT_EQ(left.size(), fail == "kill-on-flush" ? 0u : 1u);
    std::ofstream(layout_dir() + "/quadview.conf.unsaved-Young1") << "another save's\n";
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(2);
    for (const std::string& name : left) {
      fs::last_write_time(layout_dir() + "/" + name, old);
    }
    for (const std::string& name : others) {
      fs::last_write_time(layout_dir() + "/" + name, old);
    }

    const cgi_result result = set("id=2,3,4,1");
    expect_response(result, success_response());
    expect_log(result, {});
    EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
    std::vector<std::string> expected = others;
    expected.push_back("quadview.conf");
    expected.push_back("quadview.conf.unsaved-Young1");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(layout_folder(), expected);
  }
}

// The save has its allowance (5 s) in the request's time before the reload's exchange: flushes
// of 10 s each overrun it, and a coordinator as slow as the services then misses its reload.
// The layout stays saved, the request still ends within 55 s, and the log says what happened.
TEST_F(FaultTest, SaysWhenASlowSaveLeftTheReloadTooLittleTime) {
  if (!why_no_environment_from_files().empty()) {
    GTEST_SKIP() << why_no_environment_from_files();
  }
  write_layout(kTwoMounts);
  start_services({"--mount", "ceiling", "--delay-ms", "12000"});
  run_options options;
  options.fail = "slow-flush";
  const cgi_result result = set("id=2,3,4,1", options);
  expect_response(result, error_response(500));
  expect_log(
      result,
      {{LOG_ERR,
        "ptz_aux_send_command({LINE}) Failed to send auxiliary command to PTZ service: Timeout "
        "was reached\n"},
       {LOG_ERR, "set_quadview_layout: Failed to set command to ptz"},
       {LOG_ERR,
        "set_quadview_layout: The layout was saved but not announced: the save overran its "
        "allowance"},
       {LOG_ERR, kLayoutNotSet},
       {LOG_ERR, kSetFailed}});
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
  EXPECT_LT(result.elapsed, std::chrono::seconds(57));
}

// What stands at the layout path instead of a usable layout file. Nothing may hang the request
// (a FIFO without a writer would, if opened to block), nor take more memory than a layout does
// (a file of 8 GiB would, if read): every such request fails at once with 500.
TEST_F(FaultTest, FailsOnALayoutFileItCannotUse) {
  enum class kind { kFile, kSparse, kFolder, kFifo, kLinkLoop };

  struct test_case {
    const char* name;
    kind what;
    std::string file;                  // the contents of a file
    std::vector<std::string> failure;  // the first syslog lines
  };

  const std::string kOutOfRange =
      "get_quadview_layout({LINE}) Error code=5, message=Key file contains key "
      "\u201csubview{LINE}_pan\u201d in group \u201cQUADVIEW_CEILING\u201d which has a value "
      "that cannot be interpreted.\n";
  const test_case cases[] = {
      {"a folder", kind::kFolder, "", {kLoadFailed, load_cause("read", "Is a directory")}},
      {"a FIFO", kind::kFifo, "", {kLoadFailed, load_cause("read", "Invalid argument")}},
      {"a link that leads to itself",
       kind::kLinkLoop,
       "",
       {kLoadFailed, load_cause("open", "Too many levels of symbolic links")}},
      {"a sparse file of 8 GiB",
       kind::kSparse,
       "",
       {kLoadFailed, load_cause("read", "File too large")}},
      {"a layout one byte over a mebibyte",
       kind::kFile,
       huge_layout({4, 1, 2, 3}, (1 << 20) + 1),
       {kLoadFailed, load_cause("read", "File too large")}},
      {"empty",
       kind::kFile,
       "",
       {"get_quadview_layout({LINE}) Error code=4, message=Key file does not have group "
        "\u201cQUADVIEW_CEILING\u201d\n"}},
      {"garbage",
       kind::kFile,
       garbage(4096),
       {kLoadFailed, "get_quadview_layout: Key file does not start with a group"}},
      // GLib quotes the line, escaped like every outside value in the log.
      {"valid, then garbage",
       kind::kFile,
       kTwoMounts + garbage(256),
       {kLoadFailed, "get_quadview_layout: Key file contains line \u201c{ANY}"}},
      // Angles that do not fit in 32 bits are not numbers to the program, on any processor.
      {"2^31", kind::kFile, pan_group("QUADVIEW_CEILING", "0,2147483648,0,0"), {kOutOfRange}},
      {"-2^31 - 1", kind::kFile, pan_group("QUADVIEW_CEILING", "0,0,-2147483649,0"), {kOutOfRange}},
      {"2^32", kind::kFile, pan_group("QUADVIEW_CEILING", "4294967296,0,0,0"), {kOutOfRange}},
      {"2^32 + 90", kind::kFile, pan_group("QUADVIEW_CEILING", "0,0,0,4294967386"), {kOutOfRange}},
      {"20 digits",
       kind::kFile,
       pan_group("QUADVIEW_CEILING", "0,99999999999999999999,0,0"),
       {kOutOfRange}},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(layout_path());
    switch (c.what) {
      case kind::kFile:
        write_layout(c.file);
        break;
      case kind::kSparse:
        write_layout("");
        fs::resize_file(layout_path(), uintmax_t{8} << 30);
        break;
      case kind::kFolder:
        fs::create_directory(layout_path());
        std::ofstream(layout_path() + "/inside") << "kept\n";
        break;
      case kind::kFifo:
        ASSERT_EQ(mkfifo(layout_path().c_str(), 0644), 0) << strerror(errno);
        break;
      case kind::kLinkLoop:
        fs::create_symlink("quadview.conf", layout_path());
        break;
    }
    const fs::file_status before = fs::symlink_status(layout_path());

    // The read fails, and so does the write, at the read that comes first.
    for (const char* script : {"/cgi-bin/getquadview.cgi", "/cgi-bin/setquadview.cgi"}) {
      SCOPED_TRACE(script);
      forget_calls();
      const cgi_result result = run(script, "id=2,3,4,1");
      expect_response(result, error_response(500));
      std::vector<expected_log> log;
      for (const std::string& line : c.failure) {
        log.push_back({LOG_ERR, line});
      }
      log.insert(log.end(), {{LOG_ERR, kLayoutNotRead}, {LOG_ERR, kGetFailed}});
      expect_log(result, log);
      EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery}));
    }

    const fs::file_status after = fs::symlink_status(layout_path());
    EXPECT_EQ(after.type(), before.type());
    EXPECT_EQ(after.permissions(), before.permissions());
    if (c.what == kind::kFile) {
      EXPECT_EQ(read_layout(), c.file);
    }
    EXPECT_EQ(layout_folder(), std::vector<std::string>({"quadview.conf"}));
  }
}

// The largest layout file the program reads, read and written back whole.
TEST_F(FaultTest, ReadsAndRewritesALayoutFileOfAMebibyte) {
  const std::string before = huge_layout({4, 1, 2, 3}, 1 << 20);
  ASSERT_EQ(before.size(), size_t{1} << 20);
  write_layout(before);
  start_services({"--mount", "ceiling"});

  expect_response(get(), layout_response({4, 1, 2, 3}));
  const cgi_result result = set("id=3,3,1,2");
  expect_response(result, success_response());
  expect_log(result, {});
  // Every other line is kept as it was.
  EXPECT_TRUE(read_layout() == huge_layout({3, 3, 1, 2}, 1 << 20));
  expect_response(get(), layout_response({3, 3, 1, 2}));
  EXPECT_EQ(layout_folder(), std::vector<std::string>({"quadview.conf"}));
}

TEST_F(FaultTest, HandlesAnglesAtTheEdgesOf32Bits) {
  start_services({"--mount", "ceiling"});

  // The extremes still give an id, without overflowing on the way.
  write_layout(pan_group("QUADVIEW_CEILING", "2147483647,-2147483648,2147483560,-2147483560"));
  expect_response(get(), layout_response({23860930, -23860928, 23860929, -23860927}));

  // The other mount's angles are not read on the way to a write, and are stored as they were.
  const std::string desk_out_of_range =
      pan_group("QUADVIEW_DESK", "4294967296,-99999999999999999999,2147483648,0x10");
  write_layout(pan_group("QUADVIEW_CEILING", "0,0,0,0") + "\n" + desk_out_of_range);
  const cgi_result result = set("id=4,3,2,1");
  expect_response(result, success_response());
  expect_log(result, {});
  EXPECT_EQ(
      read_layout(), pan_group("QUADVIEW_CEILING", "270,180,90,0") + "\n" + desk_out_of_range);
}

TEST_F(FaultTest, KeepsTheOldFileWhenTheFilesystemIsFull) {
  scoped_tmpfs tmpfs;
  const std::string why = tmpfs.mount_on(layout_dir(), "size=64k,mode=0755");
  if (!why.empty()) {
    GTEST_SKIP() << "no small filesystem for the layout folder: " << why;
  }
  write_layout(kTwoMounts);
  {
    // Fills the filesystem to the last block.
    const std::string filler(4096, 'f');
    std::ofstream out(layout_dir() + "/filler", std::ios::binary);
    while (out.write(filler.data(), filler.size()) && out.flush()) {
    }
  }
  start_services({"--mount", "ceiling"});

  forget_calls();
  const cgi_result result = set("id=2,3,4,1");
  expect_response(result, error_response(500));
  expect_log(
      result,
      {{LOG_ERR,
        "set_quadview_layout({LINE}) Error code=12, message=Failed to write file "
        "\u201c/etc/quadoverviewconf/quadview.conf.{ANY}\u201d: {ANY}No space left on device\n"},
       {LOG_ERR, kLayoutNotSet},
       {LOG_ERR, kSetFailed}});
  EXPECT_EQ(recorded_calls(), std::vector<std::string>({kTiltQuery, kTiltQuery}));
  // The old file is whole and still serves; the temporary copy is gone.
  EXPECT_EQ(read_layout(), kTwoMounts);
  EXPECT_EQ(layout_folder(), std::vector<std::string>({"filler", "quadview.conf"}));
  expect_response(get(), layout_response({4, 1, 2, 3}));

  // With room again, the same request succeeds.
  fs::remove(layout_dir() + "/filler");
  expect_response(set("id=2,3,4,1"), success_response());
  EXPECT_EQ(read_layout(), two_mounts_stored({2, 3, 4, 1}));
}

// A web server closes the pipe when its client hangs up. The request is then carried out all
// the same, and the program still ends normally, even when it never used the bus (which would
// otherwise ignore SIGPIPE for it).
TEST_F(FaultTest, FinishesTheRequestWhenTheClientHasHungUp) {
  struct test_case {
    std::string script;
    std::string query;
    std::vector<expected_log> log;
    std::vector<std::string> calls;
    std::string stored;
  };

  const test_case cases[] = {
      {"/cgi-bin/quadview.cgi",
       "id=2,3,4,1",
       {{LOG_ERR, "Unrecoginized CGI 'quadview.cgi'"}},
       {},
       kTwoMounts},
      {"/cgi-bin/setquadview.cgi",
       "id=2",
       {{LOG_INFO, "Invalid id parameters (2)"}},
       {},
       kTwoMounts},
      {"/cgi-bin/getquadview.cgi", "", {}, {kTiltQuery}, kTwoMounts},
      {"/cgi-bin/setquadview.cgi",
       "id=2,3,4,1",
       {},
       {kTiltQuery, kTiltQuery, kReload},
       two_mounts_stored({2, 3, 4, 1})},
  };
  start_services({"--mount", "ceiling"});
  for (const test_case& c : cases) {
    SCOPED_TRACE(c.script + "?" + c.query);
    write_layout(kTwoMounts);
    forget_calls();
    run_options options;
    options.output = stdout_state::kHungUp;
    const cgi_result result = run(c.script, c.query, options);
    expect_log(result, c.log);
    EXPECT_EQ(recorded_calls(), c.calls);
    EXPECT_EQ(read_layout(), c.stored);
  }
}

// Started without standard output, the program must not let anything it opens take descriptor 1:
// the answer would be written into it. The /dev/log socket, opened by the first syslog() call and
// kept, would send the answer to the system log; the layout file's temporary copy would take it
// into the layout.
class ClosedStdoutTest : public QuadviewTest {
 protected:
  void check_requests(bool close_stdin_and_stderr) {
    struct test_case {
      std::string script;
      std::optional<std::string> query;
      std::vector<expected_log> log;
      std::vector<std::string> calls;
      std::string stored;
    };

    const test_case cases[] = {
        {"/cgi-bin/setquadview.cgi",
         "id=2,3,4,1",
         {},
         {kTiltQuery, kTiltQuery, kReload},
         two_mounts_stored({2, 3, 4, 1})},
        {"/cgi-bin/getquadview.cgi", std::nullopt, {}, {kTiltQuery}, kTwoMounts},
        {"/cgi-bin/setquadview.cgi",
         "id=9",
         {{LOG_INFO, "Invalid id parameters (9)"}},
         {},
         kTwoMounts},
        {"/cgi-bin/quadview.cgi",
         std::nullopt,
         {{LOG_ERR, "Unrecoginized CGI 'quadview.cgi'"}},
         {},
         kTwoMounts},
    };
    start_services({"--mount", "ceiling"});
    for (const test_case& c : cases) {
      SCOPED_TRACE(c.script + "?" + c.query.value_or(""));
      write_layout(kTwoMounts);
      forget_calls();
      run_options options;
      options.output = stdout_state::kClosed;
      options.close_stdin_and_stderr = close_stdin_and_stderr;
      const cgi_result result = run(c.script, c.query, options);
      expect_log(result, c.log);
      EXPECT_EQ(result.out, "");
      EXPECT_EQ(recorded_calls(), c.calls);
      EXPECT_EQ(read_layout(), c.stored);
      EXPECT_EQ(layout_folder(), std::vector<std::string>({"quadview.conf"}));
    }
  }
};

TEST_F(ClosedStdoutTest, WritesTheAnswerNowhere) { check_requests(false); }

TEST_F(ClosedStdoutTest, WritesTheAnswerNowhereWithoutAnyStandardStream) {
  if (launcher_name() == "valgrind") {
    GTEST_SKIP() << "valgrind keeps descriptor 2 for its own messages even when it starts "
                    "without one, and refuses it to the program, whose GLib then aborts";
  }
  check_requests(true);
}

}  // namespace
}  // namespace e2e
