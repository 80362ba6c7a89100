// SPDX-License-Identifier: MIT
#include "layout/layout.h"

#include <errno.h>
#include <signal.h>
#include <syslog.h>

#include "base/file_contents.h"
#include "base/log_value.h"
#include "base/time_budget.h"
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

// The signals by which a web server ends a request: a CGI time limit, a restart, a hang-up.
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Keeps the termination signals from ending the process while it lives: the saved layout and the
// PTZ coordinator's reload must not part ways, nor a temporary file stay behind, because the web
// server stopped a request half-way. They are ignored, not blocked: blocked in this thread alone,
// they would be delivered to one of GDBus's threads and end the process all the same. One that
// comes meanwhile is dropped, and the request ends on its own soon after, at most one D-Bus
// exchange's time limit later.
class termination_held_off {
 public:
  termination_held_off() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (size_t i = 0; i < G_N_ELEMENTS(kTerminationSignals); i++) {
      sigaction(kTerminationSignals[i], &ignore, &saved_[i]);
    }
  }

  termination_held_off(const termination_held_off&) = delete;
  termination_held_off& operator=(const termination_held_off&) = delete;

  ~termination_held_off() {
    for (size_t i = 0; i < G_N_ELEMENTS(kTerminationSignals); i++) {
      sigaction(kTerminationSignals[i], &saved_[i], nullptr);
    }
  }

 private:
  struct sigaction saved_[G_N_ELEMENTS(kTerminationSignals)];
};

// How both store operations begin: check the record, then ask the image-control service how the
// camera is mounted. Returns 0 and sets `out`; -EINVAL without a record; -EACCES when the
// orientation cannot be had; `unsupported_status` for an orientation that names no mount.
int start_store_operation(
    const quadview_config* config, int unsupported_status, service_session* session, mount* out) {
  if (!config) {
    syslog(LOG_ERR, "quadview_config is NULL");
    return -EINVAL;
  }

  g_autofree char* orientation = get_cameratiltorientation(session);
  if (!orientation) {
    syslog(LOG_ERR, "Failed to get CameraTiltOrientation");
    return -EACCES;
  }
  if (!choose_mount(orientation, out)) {
    g_autofree char* logged = escape_log_value(orientation);
    syslog(LOG_ERR, "Unsupported CameraTiltOrientation (%s)", logged);
    return unsupported_status;
  }
  return 0;
}

// Loads the layout file as it stands; comments and translations are not kept. Anything but a
// regular file of at most kMaxLayoutFileSize bytes fails without being read. GLib aborts rather
// than failing an allocation, so only reading and parsing can fail.
GKeyFile* load_layout_file(const char* operation, const char* path) {
  g_autoptr(GKeyFile) key_file = g_key_file_new();
  g_autoptr(GError) error = nullptr;
  gsize length = 0;
  g_autofree char* text = read_regular_file(path, kMaxLayoutFileSize, &length, &error);
  if (!text || !g_key_file_load_from_data(key_file, text, length, G_KEY_FILE_NONE, &error)) {
    syslog(LOG_ERR, "%s: Failed to load '%s'", operation, path);
    // The cause in GLib's words, which quote the file's own lines.
    g_autofree char* cause = escape_log_value(error->message);
    syslog(LOG_ERR, "%s: %s", operation, cause);
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
    const char* operation,
    const char* path,
    mount m,
    const quadview_config* config,
    bool* in_place) {
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
  gsize length = 0;
  g_autofree char* text = g_key_file_to_data(key_file, &length, nullptr /* error */);
  g_autoptr(GError) error = nullptr;
  bool replaced = false;
  const bool saved = replace_file_contents(path, text, length, &replaced, &error);
  if (in_place) {
    *in_place = replaced;
  }
  if (!saved) {
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

int get_quadview_layout(quadview_config* config, const char* path, service_session* session) {
  mount m;
  const int status = start_store_operation(config, -EACCES, session, &m);
  if (status != 0) {
    return status;
  }

  if (!read_layout_file(__func__, path, m, config)) {
    syslog(LOG_ERR, "Failed to get quadview layout");
    return -EACCES;
  }
  return 0;
}

int set_quadview_layout(const quadview_config* config, const char* path, service_session* session) {
  // The mount is asked afresh: it may have changed since the layout was read.
  mount m;
  const int status = start_store_operation(config, -EBADF, session, &m);
  if (status != 0) {
    return status;
  }

  // A layout saved but never announced is what the hold-off below is there to prevent, so the
  // save starts only while the save's allowance and then the reload's whole exchange still fit in
  // the request's time.
  if (session && session->end_time - g_get_monotonic_time() < kSaveAllowanceUs + kExchangeLimitUs) {
    syslog(LOG_ERR, "%s: Too little time left to save the layout and reload it", __func__);
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }

  // From the save until the reload has been sent, the two stay together.
  const termination_held_off held_off;
  bool in_place = false;
  const bool saved = write_layout_file(__func__, path, m, config, &in_place);
  if (!saved && !in_place) {
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }
  // In place, the new layout is the camera's whether or not its folder reached the disk.
  const bool overran = session && session->end_time - g_get_monotonic_time() < kExchangeLimitUs;
  if (!ptz_aux_send_command(session)) {
    syslog(LOG_ERR, "%s: Failed to set command to ptz", __func__);
    if (overran) {
      syslog(
          LOG_ERR,
          "%s: The layout was saved but not announced: the save overran its allowance",
          __func__);
    }
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }
  if (!saved) {
    syslog(LOG_ERR, "Failed to set quadview layout");
    return -EACCES;
  }
  return 0;
}
