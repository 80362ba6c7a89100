// SPDX-License-Identifier: MIT
#include "device/service_exchange.h"

#include <syslog.h>

#include "base/log_value.h"
#include "device/bus_connect.h"

service_exchange::service_exchange(service_session* session)
    : session_(session ? session : &own_session_),
      end_time_(MIN(g_get_monotonic_time() + kExchangeLimitUs, session_->end_time)),
      context_(g_main_context_new()),
      time_limit_(g_timeout_source_new(
          static_cast<guint>(MAX(end_time_ - g_get_monotonic_time(), 0) / 1000))) {
  // The call's reply is delivered here, and only while the exchange waits for it.
  g_main_context_push_thread_default(context_);
  g_source_set_callback(time_limit_, end_exchange, this, nullptr);
  g_source_attach(time_limit_, context_);
}

service_exchange::~service_exchange() {
  // Whatever the call left to do in the context is done now: nothing of the exchange outlives it.
  while (g_main_context_iteration(context_, FALSE /* without waiting */)) {
  }
  g_source_destroy(time_limit_);
  g_source_unref(time_limit_);
  g_main_context_pop_thread_default(context_);
  g_main_context_unref(context_);
}

bool service_exchange::connect() {
  if (!session_->bus) {
    g_autoptr(GError) error = nullptr;
    session_->bus = connect_system_bus(end_time_, &error);
    if (!session_->bus) {
      g_autofree char* cause = escape_log_value(error->message);
      syslog(LOG_ERR, "Failed to connect to the system bus: %s", cause);
    }
  }
  return session_->bus != nullptr;
}

GVariant* service_exchange::call(
    const service_object& object,
    const char* interface,
    const char* method,
    GVariant* parameters,
    GError** error) {
  g_dbus_connection_call(
      session_->bus,
      object.bus_name,
      object.object_path,
      interface,
      method,
      parameters,
      nullptr /* any reply type: the caller checks it */,
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout; the exchange's own limit comes first */,
      nullptr /* cancellable */,
      keep_result,
      this);
  g_autoptr(GAsyncResult) result = wait_for_result();
  GVariant* reply = g_dbus_connection_call_finish(session_->bus, result, error);
  // Failed because the time was up: the connection closed under it says so only indirectly.
  if (!reply && timed_out_) {
    g_clear_error(error);
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "Timeout was reached");
  }
  return reply;
}

GAsyncResult* service_exchange::wait_for_result() {
  while (!result_) {
    g_main_context_iteration(context_, TRUE /* waiting for it */);
  }
  return static_cast<GAsyncResult*>(g_steal_pointer(&result_));
}

gboolean service_exchange::end_exchange(gpointer data) {
  auto* exchange = static_cast<service_exchange*>(data);
  exchange->timed_out_ = true;
  // Whatever the exchange waits for fails at once: its reply can no longer come.
  if (exchange->session_->bus) {
    g_dbus_connection_close(
        exchange->session_->bus,
        nullptr /* cancellable */,
        nullptr /* callback */,
        nullptr /* data */);
  }
  return G_SOURCE_REMOVE;
}

void service_exchange::keep_result(GObject* /* source */, GAsyncResult* result, gpointer data) {
  static_cast<service_exchange*>(data)->result_ = G_ASYNC_RESULT(g_object_ref(result));
}
