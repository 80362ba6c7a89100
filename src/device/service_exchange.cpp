// SPDX-License-Identifier: MIT
#include "device/service_exchange.h"

#include <syslog.h>

#include "device/bus_connect.h"
#include "device/log_value.h"

service_exchange::service_exchange(service_session* session)
    : session_(session ? session : &own_session_),
      end_time_(MIN(g_get_monotonic_time() + kExchangeLimitUs, session_->end_time)),
      context_(g_main_context_new()),
      time_limit_(g_timeout_source_new(
          static_cast<guint>(MAX(end_time_ - g_get_monotonic_time(), 0) / 1000))) {
  // Whatever the proxy and the call start (their replies, the proxy's signal subscriptions) is
  // delivered here, and only while the exchange waits for it.
  g_main_context_push_thread_default(context_);
  g_source_set_callback(time_limit_, end_exchange, this, nullptr);
  g_source_attach(time_limit_, context_);
}

service_exchange::~service_exchange() {
  // A released proxy leaves the end of its signal subscriptions to the context they were made
  // in: done now, nothing of the exchange outlives it.
  while (g_main_context_iteration(context_, FALSE /* without waiting */)) {
  }
  g_source_destroy(time_limit_);
  g_source_unref(time_limit_);
  g_main_context_pop_thread_default(context_);
  g_main_context_unref(context_);
}

GDBusProxy* service_exchange::new_proxy(
    const char* bus_name, const char* object_path, const char* interface) {
  GDBusConnection* bus = connection();
  if (!bus) {
    return nullptr;
  }
  // The connection is not a message-bus one to GDBus (bus_connect registers it itself), which
  // refuses to follow a named service's signals there; a proxy of one exchange needs neither
  // those nor the service's properties.
  g_dbus_proxy_new(
      bus,
      static_cast<GDBusProxyFlags>(
          G_DBUS_PROXY_FLAGS_DO_NOT_LOAD_PROPERTIES | G_DBUS_PROXY_FLAGS_DO_NOT_CONNECT_SIGNALS),
      nullptr /* interface info */,
      bus_name,
      object_path,
      interface,
      nullptr /* cancellable */,
      keep_result,
      this);
  g_autoptr(GAsyncResult) result = wait_for_result();
  return g_dbus_proxy_new_finish(result, nullptr /* error */);
}

GVariant* service_exchange::call(
    GDBusProxy* proxy, const char* method, GVariant* parameters, GError** error) {
  g_dbus_proxy_call(
      proxy,
      method,
      parameters,
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout; the exchange's own limit comes first */,
      nullptr /* cancellable */,
      keep_result,
      this);
  g_autoptr(GAsyncResult) result = wait_for_result();
  GVariant* reply = g_dbus_proxy_call_finish(proxy, result, error);
  // Failed because the time was up: the connection closed under it says so only indirectly.
  if (!reply && timed_out_) {
    g_clear_error(error);
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT, "Timeout was reached");
  }
  return reply;
}

GDBusConnection* service_exchange::connection() {
  if (!session_->bus) {
    g_autoptr(GError) error = nullptr;
    session_->bus = connect_system_bus(end_time_, &error);
    if (!session_->bus) {
      g_autofree char* cause = escape_log_value(error->message);
      syslog(LOG_ERR, "Failed to connect to the system bus: %s", cause);
    }
  }
  return session_->bus;
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
