// SPDX-License-Identifier: MIT
#include "device/bus_connect.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/bus_address.h"

namespace {

// What a nonce-tcp: bus expects first on a new connection.
constexpr gsize kNonceSize = 16;

// The longest line of the authentication that a bus sends ("OK <guid>", "REJECTED <mechanisms>").
constexpr gsize kMaxAuthLine = 512;

// The largest answer to Hello taken: it carries one unique name.
constexpr gssize kMaxHelloReply = 4096;

// The serial of Hello, the first message on the connection. GDBus numbers the messages it sends
// on the connection afterwards from 1: a request sends a handful, and never reaches this one.
constexpr guint32 kHelloSerial = G_MAXUINT32;

// How long to wait before connecting again to a unix socket whose listen queue is full.
constexpr gulong kConnectRetryPauseUs = 10 * 1000;

// Sets `error` to the time being up, worded as GLib words it. Returns false.
bool fail_timed_out(GError** error) {
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "Timeout was reached");
  return false;
}

// Waits until `socket` is ready for `condition`. Returns false with `error` set once `end_time`
// has come first.
bool wait_for(GSocket* socket, GIOCondition condition, gint64 end_time, GError** error) {
  const gint64 left_us = end_time - g_get_monotonic_time();
  return (left_us > 0 &&
          g_socket_condition_timed_wait(
              socket, condition, left_us, nullptr /* cancellable */, nullptr /* error */)) ||
         fail_timed_out(error);
}

// Sends all of `data` on the non-blocking `socket` before `end_time`.
bool send_all(GSocket* socket, const char* data, gsize length, gint64 end_time, GError** error) {
  while (length > 0) {
    g_autoptr(GError) local_error = nullptr;
    const gssize sent =
        g_socket_send(socket, data, length, nullptr /* cancellable */, &local_error);
    if (sent < 0 && g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
      if (!wait_for(socket, G_IO_OUT, end_time, error)) {
        return false;
      }
      continue;
    }
    if (sent < 0) {
      g_propagate_error(error, static_cast<GError*>(g_steal_pointer(&local_error)));
      return false;
    }
    data += sent;
    length -= static_cast<gsize>(sent);
  }
  return true;
}

// Receives up to `length` bytes (at least one) from the non-blocking `socket` before `end_time`.
// Returns how many, or -1 with `error` set; a bus that closed the connection is an error.
gssize receive_some(GSocket* socket, char* buffer, gsize length, gint64 end_time, GError** error) {
  for (;;) {
    g_autoptr(GError) local_error = nullptr;
    const gssize got =
        g_socket_receive(socket, buffer, length, nullptr /* cancellable */, &local_error);
    if (got > 0) {
      return got;
    }
    if (got == 0) {
      g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_CLOSED, "The connection is closed");
      return -1;
    }
    if (!g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
      g_propagate_error(error, static_cast<GError*>(g_steal_pointer(&local_error)));
      return -1;
    }
    if (!wait_for(socket, G_IO_IN, end_time, error)) {
      return -1;
    }
  }
}

// Receives exactly `length` bytes, and not one more: what follows is GDBus's to read.
bool receive_exactly(GSocket* socket, char* buffer, gsize length, gint64 end_time, GError** error) {
  while (length > 0) {
    const gssize got = receive_some(socket, buffer, length, end_time, error);
    if (got < 0) {
      return false;
    }
    buffer += got;
    length -= static_cast<gsize>(got);
  }
  return true;
}

// Receives one line of the authentication, without its "\r\n" (g_free), or nullptr. The line
// ends at its first "\r\n", and the bus sends nothing more until it is answered: a byte after
// that breaks the protocol.
char* receive_auth_line(GSocket* socket, gint64 end_time, GError** error) {
  char line[kMaxAuthLine];
  gsize used = 0;
  for (;;) {
    for (gsize i = 1; i < used; i++) {
      if (line[i - 1] == '\r' && line[i] == '\n') {
        if (i + 1 < used) {
          g_set_error_literal(
              error,
              G_IO_ERROR,
              G_IO_ERROR_INVALID_DATA,
              "The bus sent more than its authentication line");
          return nullptr;
        }
        return g_strndup(line, i - 1);
      }
    }
    if (used == kMaxAuthLine) {
      g_set_error_literal(
          error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "The bus's authentication line is too long");
      return nullptr;
    }
    const gssize got = receive_some(socket, line + used, kMaxAuthLine - used, end_time, error);
    if (got < 0) {
      return nullptr;
    }
    used += static_cast<gsize>(got);
  }
}

// Whether `mechanism` is among those a REJECTED line names.
bool offers_mechanism(const char* rejected, const char* mechanism) {
  g_auto(GStrv) words = g_strsplit(rejected, " ", -1);
  return g_strv_contains(const_cast<const char* const*>(words), mechanism);
}

// Authenticates on a new connection as the bus daemon expects of a client: a NUL byte, then
// EXTERNAL, which the bus checks against the socket's credentials. A bus reached over TCP has no
// such credentials, and may offer ANONYMOUS instead, tried then.
bool authenticate(GSocket* socket, gint64 end_time, GError** error) {
  g_autofree char* uid = g_strdup_printf("%u", static_cast<unsigned>(geteuid()));
  g_autoptr(GString) command = g_string_new(nullptr);
  g_string_append_c(command, '\0');
  g_string_append(command, "AUTH EXTERNAL ");
  for (const char* p = uid; *p; p++) {
    g_string_append_printf(command, "%02x", static_cast<unsigned char>(*p));
  }
  g_string_append(command, "\r\n");
  if (!send_all(socket, command->str, command->len, end_time, error)) {
    return false;
  }
  g_autofree char* answer = receive_auth_line(socket, end_time, error);
  if (answer && g_str_has_prefix(answer, "REJECTED ") && offers_mechanism(answer, "ANONYMOUS")) {
    // The trace that ANONYMOUS carries: "quadview", in hexadecimal.
    constexpr char kAnonymous[] = "AUTH ANONYMOUS 7175616476696577\r\n";
    g_clear_pointer(&answer, g_free);
    if (!send_all(socket, kAnonymous, sizeof kAnonymous - 1, end_time, error)) {
      return false;
    }
    answer = receive_auth_line(socket, end_time, error);
  }
  if (!answer) {
    return false;
  }
  if (!g_str_has_prefix(answer, "OK ")) {
    g_set_error(
        error,
        G_IO_ERROR,
        G_IO_ERROR_PERMISSION_DENIED,
        "The bus refused authentication: %s",
        answer);
    return false;
  }
  return true;
}

// Ends the authentication and registers the connection on the bus (Hello), as GDBus would on a
// message bus connection, but with every wait bounded. The answer is read to its last byte and
// no further: the bus may send its NameAcquired signal right after it, for GDBus to read.
bool register_on_bus(GSocket* socket, gint64 end_time, GError** error) {
  g_autoptr(GDBusMessage) hello = g_dbus_message_new_method_call(
      "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "Hello");
  g_dbus_message_set_serial(hello, kHelloSerial);
  gsize hello_size = 0;
  g_autofree guchar* blob =
      g_dbus_message_to_blob(hello, &hello_size, G_DBUS_CAPABILITY_FLAGS_NONE, error);
  if (!blob) {
    return false;
  }
  g_autoptr(GString) begin = g_string_new("BEGIN\r\n");
  g_string_append_len(begin, reinterpret_cast<const char*>(blob), static_cast<gssize>(hello_size));
  if (!send_all(socket, begin->str, begin->len, end_time, error)) {
    return false;
  }

  // A message's first 16 bytes tell its whole size.
  guchar header[16];
  if (!receive_exactly(socket, reinterpret_cast<char*>(header), sizeof header, end_time, error)) {
    return false;
  }
  const gssize size = g_dbus_message_bytes_needed(header, sizeof header, error);
  if (size < 0) {
    return false;
  }
  if (size < static_cast<gssize>(sizeof header) || size > kMaxHelloReply) {
    g_set_error_literal(
        error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "The bus's answer to Hello is too large");
    return false;
  }
  g_autofree guchar* message = static_cast<guchar*>(g_malloc(size));
  memcpy(message, header, sizeof header);
  if (!receive_exactly(
          socket,
          reinterpret_cast<char*>(message) + sizeof header,
          static_cast<gsize>(size) - sizeof header,
          end_time,
          error)) {
    return false;
  }
  g_autoptr(GDBusMessage) reply = g_dbus_message_new_from_blob(
      message, static_cast<gsize>(size), G_DBUS_CAPABILITY_FLAGS_NONE, error);
  if (!reply) {
    return false;
  }
  const GDBusMessageType type = g_dbus_message_get_message_type(reply);
  if ((type != G_DBUS_MESSAGE_TYPE_METHOD_RETURN && type != G_DBUS_MESSAGE_TYPE_ERROR) ||
      g_dbus_message_get_reply_serial(reply) != kHelloSerial) {
    g_set_error_literal(
        error, G_IO_ERROR, G_IO_ERROR_INVALID_DATA, "The bus did not answer Hello first");
    return false;
  }
  // The bus may refuse the registration (too many connections for the user, say).
  return !g_dbus_message_to_gerror(reply, error);
}

// Reads the nonce from the regular file at `path` into `nonce`: exactly 16 bytes. It is opened
// without blocking, so a FIFO there fails at once instead of waiting for a writer.
bool read_nonce(const char* path, char* nonce, GError** error) {
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    g_set_error(
        error,
        G_IO_ERROR,
        g_io_error_from_errno(code),
        "Error reading from nonce file “%s”: %s",
        path,
        g_strerror(code));
    return false;
  }
  struct stat st;
  const bool read_it = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                       st.st_size == static_cast<off_t>(kNonceSize) &&
                       read(fd, nonce, kNonceSize) == static_cast<ssize_t>(kNonceSize);
  close(fd);
  if (!read_it) {
    g_set_error(
        error,
        G_IO_ERROR,
        G_IO_ERROR_INVALID_DATA,
        "The nonce file “%s” is not a regular file of 16 bytes",
        path);
  }
  return read_it;
}

// Connects the non-blocking `socket` to `address` before `end_time`. Returns false with `error`
// set when it cannot.
bool connect_socket(GSocket* socket, GSocketAddress* address, gint64 end_time, GError** error) {
  for (;;) {
    g_autoptr(GError) local_error = nullptr;
    if (g_socket_connect(socket, address, nullptr /* cancellable */, &local_error)) {
      return true;
    }
    if (g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_PENDING)) {
      g_clear_error(&local_error);
      if (!wait_for(socket, G_IO_OUT, end_time, error)) {
        return false;
      }
      if (g_socket_check_connect_result(socket, &local_error)) {
        return true;
      }
    }
    // A unix socket whose listen queue is full refuses at once (EAGAIN), and offers nothing to
    // wait on: the bus is only slow to accept, so connecting is tried again a little later.
    if (!g_error_matches(local_error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
      g_propagate_prefixed_error(
          error, static_cast<GError*>(g_steal_pointer(&local_error)), "Could not connect: ");
      return false;
    }
    const gint64 left_us = end_time - g_get_monotonic_time();
    if (left_us <= 0) {
      return fail_timed_out(error);
    }
    g_usleep(MIN(kConnectRetryPauseUs, static_cast<gulong>(left_us)));
  }
}

// A non-blocking socket connected to `address` before `end_time`, or nullptr with `error` set.
GSocket* new_connected_socket(GSocketAddress* address, gint64 end_time, GError** error) {
  g_autoptr(GSocket) socket = g_socket_new(
      g_socket_address_get_family(address), G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_DEFAULT, error);
  if (!socket) {
    return nullptr;
  }
  g_socket_set_blocking(socket, FALSE);
  if (!connect_socket(socket, address, end_time, error)) {
    return nullptr;
  }
  return static_cast<GSocket*>(g_steal_pointer(&socket));
}

// A non-blocking socket connected to one address entry before `end_time`, the nonce sent for
// nonce-tcp:; nullptr with `error` set when there is none.
GSocket* connect_entry(const char* entry, gint64 end_time, GError** error) {
  g_autoptr(GPtrArray) addresses = g_ptr_array_new_with_free_func(g_object_unref);
  g_autofree char* nonce_file = nullptr;
  if (!resolve_bus_address_entry(entry, addresses, &nonce_file, error)) {
    return nullptr;
  }
  char nonce[kNonceSize];
  if (nonce_file && !read_nonce(nonce_file, nonce, error)) {
    return nullptr;
  }
  g_autoptr(GSocket) socket = nullptr;
  g_autoptr(GError) last_error = nullptr;
  for (guint i = 0; i < addresses->len && !socket; i++) {
    g_clear_error(&last_error);
    socket = new_connected_socket(G_SOCKET_ADDRESS(addresses->pdata[i]), end_time, &last_error);
  }
  if (!socket) {
    g_propagate_error(error, static_cast<GError*>(g_steal_pointer(&last_error)));
    return nullptr;
  }
  if (nonce_file && !send_all(socket, nonce, kNonceSize, end_time, error)) {
    return nullptr;
  }
  return static_cast<GSocket*>(g_steal_pointer(&socket));
}

}  // namespace

GDBusConnection* connect_system_bus(gint64 end_time, GError** error) {
  g_autofree char* address =
      g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr /* cancellable */, error);
  if (!address) {
    return nullptr;
  }
  g_auto(GStrv) entries = split_bus_address(address, error);
  if (!entries) {
    return nullptr;
  }
  // As GDBus does: the first entry that connects is the bus.
  g_autoptr(GSocket) socket = nullptr;
  g_autoptr(GError) last_error = nullptr;
  for (char** entry = entries; *entry && !socket; entry++) {
    g_clear_error(&last_error);
    socket = connect_entry(*entry, end_time, &last_error);
  }
  if (!socket) {
    g_propagate_error(error, static_cast<GError*>(g_steal_pointer(&last_error)));
    return nullptr;
  }
  if (!authenticate(socket, end_time, error) || !register_on_bus(socket, end_time, error)) {
    return nullptr;
  }

  // Authenticated and registered: GDBus takes the stream over as it is, and neither
  // authenticates nor says Hello again. To GDBus it is then no message-bus connection, which is
  // why nothing on it may follow a name's owner (see service_exchange).
  g_socket_set_blocking(socket, TRUE);
  g_autoptr(GSocketConnection) stream = g_socket_connection_factory_create_connection(socket);
  return g_dbus_connection_new_sync(
      G_IO_STREAM(stream),
      nullptr /* guid */,
      G_DBUS_CONNECTION_FLAGS_NONE,
      nullptr /* observer */,
      nullptr /* cancellable */,
      error);
}

GPtrArray* list_system_bus_addresses(GPtrArray* nonce_files) {
  GPtrArray* addresses = g_ptr_array_new_with_free_func(g_object_unref);
  // From the environment, where GDBus finds it, and not through GDBus: its first call starts
  // GLib's worker thread, which a confinement that comes after it would not reach. Unset, it
  // is the standard unix socket.
  const char* address = g_getenv("DBUS_SYSTEM_BUS_ADDRESS");
  g_auto(GStrv) entries = address ? split_bus_address(address, nullptr /* error */) : nullptr;
  for (char** entry = entries; entry && *entry; entry++) {
    g_autofree char* nonce_file = nullptr;
    if (resolve_bus_address_entry(*entry, addresses, &nonce_file, nullptr /* error */) &&
        nonce_file) {
      g_ptr_array_add(nonce_files, g_steal_pointer(&nonce_file));
    }
  }
  return addresses;
}
