// SPDX-License-Identifier: MIT
#pragma once

#include <gio/gio.h>

#include "base/time_budget.h"

// What the exchanges of one request share: the system bus connection, made by the first of them
// and released with the session, and the time by which the whole request must have ended.
struct service_session {
  explicit service_session(gint64 request_end_time) : end_time(request_end_time) {}

  service_session(const service_session&) = delete;
  service_session& operator=(const service_session&) = delete;

  ~service_session() { g_clear_object(&bus); }

  const gint64 end_time;  // on the monotonic clock
  GDBusConnection* bus = nullptr;
};

// The object of a camera service that an exchange calls: the service's well-known name and the
// object's path. The bus routes a call to the name's current owner, and starts the service for
// it where it has a .service file, so nothing is looked up or followed before the call.
struct service_object {
  const char* bus_name;
  const char* object_path;
};

// One exchange with a camera service on the system bus: getting the bus connection, then one
// method call. The whole exchange ends within kExchangeLimitUs or by the request's end, whichever
// comes first, whatever the bus or the service does (a bus that is slow to accept, authenticate
// or register a new connection, or a service that holds back its answer): past that, the step it
// is at fails. No thread or signal is added for it: connecting ends by the exchange's end (see
// bus_connect), and the call runs on a main context of its own, where a timeout source closes the
// connection once the time is up. Closing it fails every exchange that would follow on it too,
// which is as well: a request gives up at its first failed exchange.
//
// No GDBusProxy is made: one for a well-known name follows the name's owner, which GLib before
// 2.59 does by subscribing to the bus's signals whatever the proxy's flags, and refuses with a
// critical on a connection that GDBus did not register itself (bus_connect registers it). A call
// of its own goes the same way on every GLib.
//
// `session` is what the exchanges of one request share: without a connection there yet, the
// exchange connects and leaves the connection in it. With `session` nullptr the exchange connects
// for itself alone and has the whole kExchangeLimitUs.
class service_exchange {
 public:
  explicit service_exchange(service_session* session);
  service_exchange(const service_exchange&) = delete;
  service_exchange& operator=(const service_exchange&) = delete;
  ~service_exchange();

  // Whether the exchange has the session's bus connection, made now when there is none yet.
  // Returns false after logging why not; the caller logs its own line after that.
  bool connect();

  // Calls `interface`.`method` of `object` with `parameters` (floating references are taken),
  // once connected. Returns the reply, whatever its type, or nullptr with `error` set:
  // G_IO_ERROR_TIMED_OUT once the exchange's time is up.
  GVariant* call(
      const service_object& object,
      const char* interface,
      const char* method,
      GVariant* parameters,
      GError** error);

 private:
  GAsyncResult* wait_for_result();
  static void keep_result(GObject* source, GAsyncResult* result, gpointer data);
  static gboolean end_exchange(gpointer data);

  service_session own_session_{G_MAXINT64};
  service_session* session_;  // the request's, or own_session_
  gint64 end_time_;           // on the monotonic clock
  GMainContext* context_;
  GSource* time_limit_;
  bool timed_out_ = false;
  GAsyncResult* result_ = nullptr;
};
