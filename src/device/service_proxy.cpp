#include "device/service_proxy.h"

GDBusProxy* new_service_proxy(
    const char* bus_name, const char* object_path, const char* interface) {
  return g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      nullptr /* interface info */,
      bus_name,
      object_path,
      interface,
      nullptr /* cancellable */,
      nullptr /* error */);
}
