#pragma once

#include <gio/gio.h>

// One exchange with a camera service on the system bus: getting the bus connection, making the
// proxy, and one method call through it. The whole exchange ends within 25 s, the default D-Bus
// timeout, whatever the bus or the service does (a bus that is slow to accept, authenticate or
// register a new connection, a service that holds back the properties a new proxy loads, or its
// answer): past that, the step it is at fails. No thread is added for it: connecting waits on the
// socket only until the exchange's end (see bus_connect), and the rest of the exchange runs on a
// main context of its own, where a timeout source closes the connection once the time is up.
// Closing it fails every exchange that would follow on it too, which is as well: a request gives
// up at its first failed exchange.
//
// `bus` is the system bus connection that the exchanges of one request share: when *bus is
// nullptr, the exchange connects and leaves the connection in *bus, and the caller releases it
// once the request is done. With `bus` nullptr the exchange connects for itself alone.
class service_exchange {
 public:
  explicit service_exchange(GDBusConnection** bus);
  service_exchange(const service_exchange&) = delete;
  service_exchange& operator=(const service_exchange&) = delete;
  // Finishes what the exchange's proxy left behind; the proxy must be released by then.
  ~service_exchange();

  // Makes the proxy for the exchange, without flags, so it also loads the service's properties
  // and follows its signals. Returns nullptr when no proxy results; the caller logs why.
  GDBusProxy* new_proxy(const char* bus_name, const char* object_path, const char* interface);

  // Calls `method` through `proxy` with `parameters` (floating references are taken). Returns the
  // reply, or nullptr with `error` set: G_IO_ERROR_TIMED_OUT once the exchange's time is up.
  GVariant* call(GDBusProxy* proxy, const char* method, GVariant* parameters, GError** error);

 private:
  GDBusConnection* connection();
  GAsyncResult* wait_for_result();
  static void keep_result(GObject* source, GAsyncResult* result, gpointer data);
  static gboolean end_exchange(gpointer data);

  GDBusConnection* own_bus_ = nullptr;
  GDBusConnection** bus_;  // the request's shared connection, or own_bus_
  GMainContext* context_;
  GSource* time_limit_;
  gint64 end_time_;  // on the monotonic clock
  bool timed_out_ = false;
  GAsyncResult* result_ = nullptr;
};
