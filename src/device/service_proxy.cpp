#include "device/service_proxy.h"

GDBusProxy* new_service_proxy(
    const exchange_deadline& deadline,
    const char* bus_name,
    const char* object_path,
    const char* interface) {
  // Getting the bus connection (and authenticating on it, when it is new) is part of making the
  // proxy, and so within the deadline too.
  return g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      nullptr /* interface info */,
      bus_name,
      object_path,
      interface,
      deadline.cancellable(),
      nullptr /* error */);
}

GDBusConnection* hold_system_bus() {
  const exchange_deadline deadline;
  return g_bus_get_sync(G_BUS_TYPE_SYSTEM, deadline.cancellable(), nullptr /* error */);
}
