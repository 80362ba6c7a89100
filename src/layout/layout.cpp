#include "layout/layout.h"

#include <errno.h>
#include <syslog.h>

#include "device/ptz.h"
#include "device/tilt_orientation.h"

namespace {

constexpr const char* kPanKeys[kSubviewCount] = {
    "subview0_pan",
    "subview1_pan",
    "subview2_pan",
    "subview3_pan",
};

constexpr gint32 kMaxPan = 360;

// How both store operations begin: check the record, then ask the image-control service how the
// camera is mounted. Returns 0 and sets `out`; -EINVAL without a record; -EACCES when the
// orientation cannot be had; `unsupported_status` for an orientation that names no mount.
int start_store_operation(const quadview_config* config, int unsupported_status, mount* out) {
  if (!config) {
    syslog(LOG_ERR, "quadview_config is NULL");
    return -EINVAL;
  }

  g_autofree char* orientation = get_cameratiltorientation();
  if (!orientation) {
    syslog(LOG_ERR, "Failed to get CameraTiltOrientation");
    return -EACCES;
  }
  if (!choose_mount(orientation, out)) {
    syslog(LOG_ERR, "Unsupported CameraTiltOrientation (%s)", orientation);
    return unsupported_status;
  }
  return 0;
}

// Loads the layout file as it stands; comments and translations are not kept.
// GLib aborts rather than failing an allocation, so only the load itself can fail.
GKeyFile* load_layout_file(const char* operation, const char* path) {
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  if (!g_key_file_load_from_file(key_file, path, G_KEY_FILE_NONE, nullptr /* error */)) {
    syslog(LOG_ERR, "%s: Failed to load '%s'", operation, path);
    return nullptr;
  }
  return static_cast<GKeyFile*>(g_steal_pointer(&key_file));
}

}  // namespace

bool choose_mount(const char* orientation, mount* out) {
  if (g_strcmp0(orientation, "-90") == 0) {
    *out = mount::kCeiling;
    return true;
  }
  if (g_strcmp0(orientation, "90") == 0) {
    *out = mount::kDesk;
    return true;
  }
  return false;
}

const char* layout_group(mount m) {
  return m == mount::kCeiling ? "QUADVIEW_CEILING" : "QUADVIEW_DESK";
}

gint32 pan_to_source_id(gint32 pan) { return pan / 90 + 1; }

bool source_id_to_pan(gint32 id, gint32* pan) {
  // In 64 bits the product cannot overflow, whatever the id.
  const gint64 angle = (static_cast<gint64>(id) - 1) * 90;
  if (angle < 0 || angle > kMaxPan) {
    return false;
  }
  *pan = static_cast<gint32>(angle);
  return true;
}

bool read_layout_file(const char* operation, const char* path, mount m, quadview_config* config) {
  g_autoptr(GKeyFile) key_file = load_layout_file(operation, path);
  if (!key_file) {
    return false;
  }

  quadview_config read = {};
  for (int i = 0; i < kSubviewCount; i++) {
    g_autoptr(GError) error = nullptr;
    const gint pan = g_key_file_get_integer(key_file, layout_group(m), kPanKeys[i], &error);
    if (error) {
      syslog(
          LOG_ERR,
          "%s(%d) Error code=%d, message=%s\n",
          operation,
          __LINE__,
          error->code,
          error->message);
      return false;
    }
    read.id[i] = pan_to_source_id(pan);
  }
  *config = read;
  return true;
}

bool write_layout_file(
    const char* operation, const char* path, mount m, const quadview_config* config) {
  gint32 pans[kSubviewCount];
  for (int i = 0; i < kSubviewCount; i++) {
    if (!source_id_to_pan(config->id[i], &pans[i])) {
      syslog(LOG_ERR, "%s: Invalid pan value(s)", operation);
      return false;
    }
  }

  g_autoptr(GKeyFile) key_file = load_layout_file(operation, path);
  if (!key_file) {
    return false;
  }
  for (int i = 0; i < kSubviewCount; i++) {
    g_key_file_set_integer(key_file, layout_group(m), kPanKeys[i], pans[i]);
  }

  // Written beside the old file and renamed over it, so a reader never sees half a layout.
  g_autoptr(GError) error = nullptr;
  if (!g_key_file_save_to_file(key_file, path, &error)) {
    syslog(
        LOG_ERR,
        "%s(%d) Error code=%d, message=%s\n",
        operation,
        __LINE__,
        error->code,
        error->message);
    return false;
  }
  return true;
}

int get_quadview_layout(quadview_config* config, const char* path) {
  mount m;
  const int status = start_store_operation(config, -EACCES, &m);
  if (status != 0) {
    return status;
  }

  if (!read_layout_file(__func__, path, m, config)) {
    syslog(LOG_ERR, "Failed to get quadview layout");
    return -EACCES;
  }
  return 0;
}

int set_quadview_layout(const quadview_config* config, const char* path) {
  // The mount is asked afresh: it may have changed since the layout was read.
  mount m;
  const int status = start_store_operation(config, -EBADF, &m);
  if (status != 0) {
    return status;
  }

  if (!write_layout_file(__func__, path, m, config)) {
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }
  if (!ptz_aux_send_command()) {
    syslog(LOG_ERR, "%s: Failed to set command to ptz", __func__);
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }
  return 0;
}
