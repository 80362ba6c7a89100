#include "device/ptz.h"

#include <syslog.h>

#include "device/service_proxy.h"

namespace {

constexpr char kBusName[] = "com.tarq.PTZ.Coordinator";
constexpr char kObjectPath[] = "/com/tarq/PTZ/Coordinator/4";
constexpr char kInterface[] = "com.tarq.PTZ.Coordinator";
constexpr char kReloadCommand[] = "reload_quadview_config";

}  // namespace

bool ptz_aux_send_command() {
  const exchange_deadline deadline;
  g_autoptr(GDBusProxy) proxy = new_service_proxy(deadline, kBusName, kObjectPath, kInterface);
  if (!proxy) {
    syslog(LOG_ERR, "%s(%d) Error\n", __func__, __LINE__);
    return false;
  }

  // The reply carries nothing we use; only whether the service accepted the command counts.
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_proxy_call_sync(
      proxy,
      "Auxiliary",
      g_variant_new("(sis)", "Onvif", 0, kReloadCommand),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout, which the deadline ends sooner */,
      deadline.cancellable(),
      &error);
  if (!reply) {
    syslog(
        LOG_ERR,
        "%s(%d) Failed to send auxiliary command to PTZ service: %s\n",
        __func__,
        __LINE__,
        error->message);
    return false;
  }
  return true;
}
