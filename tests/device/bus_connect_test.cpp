// SPDX-License-Identifier: MIT
#include "device/bus_connect.h"

#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

// How a bus of the test's answers: the authentication line it sends once the client's has come,
// and, when that is "OK ...", how it answers Hello.
enum class hello_answer { kReturn, kError };

struct bus_script {
  std::string name;
  std::string auth_answer;
  hello_answer hello = hello_answer::kReturn;
  // The listen queue holds one connection, and one of the test's fills it until the bus starts
  // accepting, 300 ms later.
  bool queue_full = false;
  std::string failure;  // the connection's error; "" when it connects
};

// Reads exactly `length` bytes; false when the client went first.
bool read_exactly(int fd, char* buffer, size_t length) {
  while (length > 0) {
    const ssize_t got = read(fd, buffer, length);
    if (got <= 0) {
      return false;
    }
    buffer += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// Serves one connection on `listener` as `script` says; notes the serial of the Hello it got.
void serve(int listener, int filler, const bus_script& script, guint32* hello_serial) {
  if (script.queue_full) {
    g_usleep(300 * 1000);
    close(accept(listener, nullptr, nullptr));
    close(filler);
  }
  // A client that gave up never comes.
  pollfd ready = {listener, POLLIN, 0};
  const int fd = poll(&ready, 1, 10000) == 1 ? accept(listener, nullptr, nullptr) : -1;
  if (fd < 0) {
    return;
  }
  const timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string line;
  for (char c = 0; line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0;) {
    if (read(fd, &c, 1) != 1) {
      close(fd);
      return;
    }
    line += c;
  }
  send(fd, script.auth_answer.data(), script.auth_answer.size(), MSG_NOSIGNAL);
  char begin[7];
  guchar header[16];
  g_autoptr(GDBusMessage) hello = nullptr;
  if (read_exactly(fd, begin, sizeof begin) &&
      read_exactly(fd, reinterpret_cast<char*>(header), sizeof header)) {
    const gssize size = g_dbus_message_bytes_needed(header, sizeof header, nullptr);
    std::string blob(reinterpret_cast<char*>(header), sizeof header);
    blob.resize(size > 16 ? static_cast<size_t>(size) : 16);
    if (read_exactly(fd, blob.data() + 16, blob.size() - 16)) {
      hello = g_dbus_message_new_from_blob(
          reinterpret_cast<guchar*>(blob.data()),
          blob.size(),
          G_DBUS_CAPABILITY_FLAGS_NONE,
          nullptr);
    }
  }
  if (hello) {
    *hello_serial = g_dbus_message_get_serial(hello);
    g_autoptr(GDBusMessage) reply =
        script.hello == hello_answer::kReturn
            ? g_dbus_message_new_method_reply(hello)
            : g_dbus_message_new_method_error_literal(
                  hello, "org.freedesktop.DBus.Error.LimitsExceeded", "too many connections");
    if (script.hello == hello_answer::kReturn) {
      g_dbus_message_set_body(reply, g_variant_new("(s)", ":1.42"));
    }
    g_dbus_message_set_serial(reply, 1);
    gsize size = 0;
    g_autofree guchar* blob =
        g_dbus_message_to_blob(reply, &size, G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    send(fd, blob, size, MSG_NOSIGNAL);
  }
  // Open until the client has gone.
  char rest[256];
  while (read(fd, rest, sizeof rest) > 0) {
  }
  close(fd);
}

// The connection as buses that answer its authentication and Hello in their own ways: each wait
// ends as soon as the answer is known, well before the time limit.
TEST(ConnectSystemBus, AuthenticatesAndRegistersOnlyOnAProperAnswer) {
  constexpr char kOk[] = "OK 0123456789abcdef0123456789abcdef\r\n";
  const bus_script scripts[] = {
      {"a bus that accepts", kOk, hello_answer::kReturn, false, ""},
      {"a bus slow to accept, its listen queue full", kOk, hello_answer::kReturn, true, ""},
      // The rest of a line that was not OK would be taken for a welcome.
      {"a bus that refuses",
       "REJECTED EXTERNAL\r\n",
       hello_answer::kReturn,
       false,
       "The bus refused authentication: REJECTED EXTERNAL"},
      {"a bus that sends more than its OK",
       std::string(kOk) + "DATA\r\n",
       hello_answer::kReturn,
       false,
       "The bus sent more than its authentication line"},
      {"a bus that refuses Hello",
       kOk,
       hello_answer::kError,
       false,
       "GDBus.Error:org.freedesktop.DBus.Error.LimitsExceeded: too many connections"},
  };
  g_autofree char* folder = g_dir_make_tmp("quadview-bus-XXXXXX", nullptr);
  ASSERT_NE(folder, nullptr);
  const std::string path = std::string(folder) + "/bus";
  const std::string address = "unix:path=" + path;
  ASSERT_EQ(setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1), 0);
  for (const bus_script& script : scripts) {
    SCOPED_TRACE(script.name);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    strncpy(where.sun_path, path.c_str(), sizeof where.sun_path - 1);
    g_unlink(path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    int filler = -1;
    if (script.queue_full) {
      filler = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
    }
    guint32 hello_serial = 0;
    std::thread bus(serve, listener, filler, script, &hello_serial);

    const gint64 start = g_get_monotonic_time();
    guint32 first_serial = 0;
    g_autoptr(GError) error = nullptr;
    g_autoptr(GDBusConnection) connection =
        connect_system_bus(start + 10 * G_TIME_SPAN_SECOND, &error);
    EXPECT_LT(g_get_monotonic_time() - start, 5 * G_TIME_SPAN_SECOND);
    if (connection) {
      // GDBus numbers its own messages on the connection: none may take Hello's serial.
      g_autoptr(GDBusMessage) message = g_dbus_message_new_signal("/", "test.Bus", "Connected");
      EXPECT_TRUE(g_dbus_connection_send_message(
          connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, &first_serial, nullptr));
      EXPECT_TRUE(g_dbus_connection_close_sync(connection, nullptr, nullptr));
    }
    EXPECT_STREQ(error ? error->message : "", script.failure.c_str());
    g_clear_object(&connection);
    bus.join();
    close(listener);
    if (script.failure.empty()) {
      EXPECT_NE(hello_serial, first_serial);
    }
  }
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  g_unlink(path.c_str());
  g_rmdir(folder);
}

}  // namespace
