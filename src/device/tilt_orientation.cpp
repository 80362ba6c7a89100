// SPDX-License-Identifier: MIT
#include "device/tilt_orientation.h"

#include <syslog.h>

#include "base/log_value.h"
#include "device/camera_services.h"
#include "device/service_exchange.h"

namespace {

constexpr service_object kImageControl = {QUADVIEW_IMAGE_CONTROL_NAME, QUADVIEW_IMAGE_CONTROL_PATH};

// The property value as text: a byte string up to its first NUL, or a string-like value.
// Any other type has no text.
char* dup_orientation_text(GVariant* value) {
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_BYTESTRING)) {
    return g_strdup(g_variant_get_bytestring(value));
  }
  if (g_variant_is_of_type(value, G_VARIANT_TYPE_STRING) ||
      g_variant_is_of_type(value, G_VARIANT_TYPE_OBJECT_PATH) ||
      g_variant_is_of_type(value, G_VARIANT_TYPE_SIGNATURE)) {
    return g_variant_dup_string(value, nullptr);
  }
  return nullptr;
}

}  // namespace

char* get_cameratiltorientation(service_session* session) {
  service_exchange exchange(session);
  if (!exchange.connect()) {
    syslog(LOG_ERR, "%s(%d) Error\n", __func__, __LINE__);
    return nullptr;
  }

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = exchange.call(
      kImageControl,
      "org.freedesktop.DBus.Properties",
      "Get",
      g_variant_new("(ss)", QUADVIEW_IMAGE_CONTROL_INTERFACE, QUADVIEW_TILT_PROPERTY),
      &error);
  if (!reply) {
    // The service words its own errors.
    g_autofree char* reason = escape_log_value(error->message);
    syslog(
        LOG_ERR,
        "%s(%d) Failed to get CameraTiltOrientation due to '%s'",
        __func__,
        __LINE__,
        reason);
    return nullptr;
  }

  // The call does not check the reply's type, so a service that answers with anything but a
  // variant must not reach g_variant_get(), which would only complain and leave the value unset.
  if (!g_variant_is_of_type(reply, G_VARIANT_TYPE("(v)"))) {
    g_autofree char* printed = g_variant_print(reply, TRUE /* type annotate */);
    g_autofree char* logged = escape_log_value(printed);
    syslog(LOG_ERR, "%s: Failed to get '(v)' from %s", __func__, logged);
    return nullptr;
  }
  g_autoptr(GVariant) value = nullptr;
  g_variant_get(reply, "(v)", &value);
  return dup_orientation_text(value);
}
