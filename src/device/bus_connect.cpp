// SPDX-License-Identifier: MIT
#include "device/bus_connect.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// What a nonce-tcp: bus expects first on a new connection.
constexpr gsize kNonceSize = 16;

// Waits until `socket` is ready for `condition`. Returns false once `end_time` has come first.
bool wait_for(GSocket* socket, GIOCondition condition, gint64 end_time) {
  const gint64 left_us = end_time - g_get_monotonic_time();
  return left_us > 0 &&
         g_socket_condition_timed_wait(
             socket, condition, left_us, nullptr /* cancellable */, nullptr /* error */);
}

// The unescaped value of `key` among an address entry's "key=value" pairs (g_free), or nullptr.
char* dup_value(char** pairs, const char* key) {
  const size_t length = strlen(key);
  for (char** pair = pairs; *pair; pair++) {
    if (strncmp(*pair, key, length) == 0 && (*pair)[length] == '=') {
      return g_uri_unescape_string(*pair + length + 1, nullptr /* illegal characters */);
    }
  }
  return nullptr;
}

// The socket address of one bus address entry, "transport:key=value,...", and for nonce-tcp:
// its nonce file in `nonce_file`. Names are not looked up: a host is a number or localhost.
// Returns nullptr for an entry this program does not connect to.
GSocketAddress* parse_entry(const char* entry, char** nonce_file) {
  const char* colon = strchr(entry, ':');
  if (!colon) {
    return nullptr;
  }
  g_autofree char* transport = g_strndup(entry, colon - entry);
  g_auto(GStrv) pairs = g_strsplit(colon + 1, ",", -1);
  if (strcmp(transport, "unix") == 0) {
    g_autofree char* path = dup_value(pairs, "path");
    g_autofree char* abstract = dup_value(pairs, "abstract");
    if (path) {
      return g_unix_socket_address_new(path);
    }
    return abstract ? g_unix_socket_address_new_with_type(
                          abstract, -1 /* NUL-terminated */, G_UNIX_SOCKET_ADDRESS_ABSTRACT)
                    : nullptr;
  }

  const bool with_nonce = strcmp(transport, "nonce-tcp") == 0;
  if (!with_nonce && strcmp(transport, "tcp") != 0) {
    return nullptr;
  }
  g_autofree char* host = dup_value(pairs, "host");
  g_autofree char* port = dup_value(pairs, "port");
  g_autofree char* family = dup_value(pairs, "family");
  g_autofree char* file = dup_value(pairs, "noncefile");
  char* end = nullptr;
  const guint64 number = port ? g_ascii_strtoull(port, &end, 10) : 0;
  if (!host || !port || end == port || *end || number > G_MAXUINT16 || (with_nonce && !file)) {
    return nullptr;
  }
  g_autoptr(GInetAddress) inet = g_inet_address_new_from_string(host);
  if (!inet && strcmp(host, "localhost") == 0) {
    inet = g_inet_address_new_loopback(
        g_strcmp0(family, "ipv6") == 0 ? G_SOCKET_FAMILY_IPV6 : G_SOCKET_FAMILY_IPV4);
  }
  if (!inet) {
    return nullptr;
  }
  *nonce_file = static_cast<char*>(g_steal_pointer(&file));
  return g_inet_socket_address_new(inet, static_cast<guint16>(number));
}

// Reads the nonce from the regular file at `path` into `nonce`. It is opened without blocking,
// so a FIFO there fails at once instead of waiting for a writer.
bool read_nonce(const char* path, char* nonce) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat st;
  const bool read_it = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       read(fd, nonce, kNonceSize) == static_cast<ssize_t>(kNonceSize);
  close(fd);
  return read_it;
}

// A non-blocking socket connected to one address entry before `end_time`, the nonce sent for
// nonce-tcp:; nullptr when there is none.
GSocket* connect_entry(const char* entry, gint64 end_time) {
  g_autofree char* nonce_file = nullptr;
  g_autoptr(GSocketAddress) address = parse_entry(entry, &nonce_file);
  char nonce[kNonceSize];
  if (!address || (nonce_file && !read_nonce(nonce_file, nonce))) {
    return nullptr;
  }
  g_autoptr(GSocket) socket = g_socket_new(
      g_socket_address_get_family(address),
      G_SOCKET_TYPE_STREAM,
      G_SOCKET_PROTOCOL_DEFAULT,
      nullptr /* error */);
  if (!socket) {
    return nullptr;
  }
  g_socket_set_blocking(socket, FALSE);
  g_autoptr(GError) error = nullptr;
  if (!g_socket_connect(socket, address, nullptr /* cancellable */, &error) &&
      (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PENDING) ||
       !wait_for(socket, G_IO_OUT, end_time) ||
       !g_socket_check_connect_result(socket, nullptr /* error */))) {
    return nullptr;
  }
  // Sent first on a new connection, it fits in the socket's buffer at once.
  if (nonce_file &&
      g_socket_send(socket, nonce, kNonceSize, nullptr /* cancellable */, nullptr /* error */) !=
          static_cast<gssize>(kNonceSize)) {
    return nullptr;
  }
  return static_cast<GSocket*>(g_steal_pointer(&socket));
}

// Shuts down the socket whose descriptor the timer's signal carries: whatever waits on it wakes
// up and fails.
void shut_socket(int /* signal */, siginfo_t* info, void* /* context */) {
  shutdown(info->si_value.sival_int, SHUT_RDWR);
}

// While it lives, a timer shuts the socket `fd` down at `end_time`: GDBus authenticates a new
// connection and registers it (Hello) waiting on the socket as long as it takes, and a bus that
// answers slowly, or a byte at a time, must not keep it past the exchange's end.
class socket_deadline {
 public:
  socket_deadline(int fd, gint64 end_time) {
    struct sigaction action = {};
    action.sa_sigaction = shut_socket;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    installed_ = sigaction(kSignal, &action, &old_action_) == 0;

    struct sigevent event = {};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = kSignal;
    event.sigev_value.sival_int = fd;
    created_ = installed_ && timer_create(CLOCK_MONOTONIC, &event, &timer_) == 0;

    const gint64 left_us = MAX(end_time - g_get_monotonic_time(), 1);
    struct itimerspec when = {};
    when.it_value.tv_sec = static_cast<time_t>(left_us / G_USEC_PER_SEC);
    when.it_value.tv_nsec = static_cast<long>(left_us % G_USEC_PER_SEC * 1000);
    armed_ = created_ && timer_settime(timer_, 0 /* relative */, &when, nullptr) == 0;
  }

  socket_deadline(const socket_deadline&) = delete;
  socket_deadline& operator=(const socket_deadline&) = delete;

  // Deleting the timer also withdraws a signal of it still pending, so the old action may return.
  ~socket_deadline() {
    if (created_) {
      timer_delete(timer_);
    }
    if (installed_) {
      sigaction(kSignal, &old_action_, nullptr);
    }
  }

  bool armed() const { return armed_; }

 private:
  static constexpr int kSignal = SIGALRM;
  struct sigaction old_action_ = {};
  timer_t timer_ = {};
  bool installed_ = false;
  bool created_ = false;
  bool armed_ = false;
};

}  // namespace

GDBusConnection* connect_system_bus(gint64 end_time) {
  g_autofree char* address = g_dbus_address_get_for_bus_sync(
      G_BUS_TYPE_SYSTEM, nullptr /* cancellable */, nullptr /* error */);
  if (!address) {
    return nullptr;
  }
  // As GDBus does: the first entry that connects is the bus.
  g_auto(GStrv) entries = g_strsplit(address, ";", -1);
  g_autoptr(GSocket) socket = nullptr;
  for (char** entry = entries; *entry && !socket; entry++) {
    socket = connect_entry(*entry, end_time);
  }
  if (!socket) {
    return nullptr;
  }

  // Connected: GDBus authenticates and registers the connection, until the deadline at most.
  g_socket_set_blocking(socket, TRUE);
  g_autoptr(GSocketConnection) stream = g_socket_connection_factory_create_connection(socket);
  const socket_deadline deadline(g_socket_get_fd(socket), end_time);
  if (!deadline.armed()) {
    return nullptr;
  }
  return g_dbus_connection_new_sync(
      G_IO_STREAM(stream),
      nullptr /* guid */,
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr /* observer */,
      nullptr /* cancellable */,
      nullptr /* error */);
}
