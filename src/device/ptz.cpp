// SPDX-License-Identifier: MIT
#include "device/ptz.h"

#include <syslog.h>

#include "base/log_value.h"
#include "device/camera_services.h"
#include "device/service_exchange.h"

namespace {

constexpr service_object kCoordinator = {QUADVIEW_PTZ_NAME, QUADVIEW_PTZ_PATH};

}  // namespace

bool ptz_aux_send_command(service_session* session) {
  service_exchange exchange(session);
  if (!exchange.connect()) {
    syslog(LOG_ERR, "%s(%d) Error\n", __func__, __LINE__);
    return false;
  }

  // The reply carries nothing we use; only whether the service accepted the command counts.
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = exchange.call(
      kCoordinator,
      QUADVIEW_PTZ_INTERFACE,
      QUADVIEW_PTZ_METHOD,
      g_variant_new("(sis)", "Onvif", 0, QUADVIEW_RELOAD_COMMAND),
      &error);
  if (!reply) {
    // The service words its own errors.
    g_autofree char* reason = escape_log_value(error->message);
    syslog(
        LOG_ERR,
        "%s(%d) Failed to send auxiliary command to PTZ service: %s\n",
        __func__,
        __LINE__,
        reason);
    return false;
  }
  return true;
}
