// SPDX-License-Identifier: MIT
#pragma once

#include <gio/gio.h>

#include "device/service_exchange.h"

// The layout file; a firmware build may place it elsewhere (QUADVIEW_LAYOUT_PATH).
constexpr char kLayoutPath[] = QUADVIEW_LAYOUT_PATH;

// The largest layout file read. A layout takes a few hundred bytes; the rest is room for the
// other groups that may share the file.
constexpr gsize kMaxLayoutFileSize = 1 << 20;

constexpr int kSubviewCount = 4;

// One quad-view layout: the source id (1 to 4) shown in each subview.
struct quadview_config {
  gint32 id[kSubviewCount];
};

// How the camera is mounted; each mount keeps its own layout.
enum class mount { kCeiling, kDesk };

// Picks the mount for a tilt orientation text: "-90" is the ceiling, "90" the desk.
// Returns false, leaving `out` alone, for any other text.
bool choose_mount(const char* orientation, mount* out);

// The key-file group holding a mount's layout: "QUADVIEW_CEILING" or "QUADVIEW_DESK".
const char* layout_group(mount m);

// The source id shown for a stored pan angle: pan / 90 + 1, truncating toward zero.
gint32 pan_to_source_id(gint32 pan);

// The pan angle stored for a source id: (id - 1) * 90. Returns false for an angle outside
// 0 to 360, including one that does not fit in 32 bits.
bool source_id_to_pan(gint32 id, gint32* pan);

// Reads the layout of mount `m` from the key file at `path`, logging under `operation`.
// Returns true and fills `config`, or false after logging, leaving `config` alone.
bool read_layout_file(const char* operation, const char* path, mount m, quadview_config* config);

// Stores `config` as the layout of mount `m` in the key file at `path`, which must exist; every
// other group and key is kept. The file is replaced as a whole, keeping its links, permission
// bits, extended attributes, and owner and group as far as allowed (replace_file_contents). Logs
// under `operation`. Returns false after logging when an id is out of range or the file cannot
// be loaded or saved; `in_place`, when given, tells whether the new file is in place all the same
// (only the flush of its folder failed).
bool write_layout_file(
    const char* operation,
    const char* path,
    mount m,
    const quadview_config* config,
    bool* in_place = nullptr);

// Reads the current mount's layout into `config`, asking the image-control service for the mount
// in the request's service session (see service_exchange; nullptr: an exchange on its own).
// Returns 0; -EINVAL when `config` is null; -EACCES, leaving `config` alone, on any other failure.
int get_quadview_layout(
    quadview_config* config, const char* path = kLayoutPath, service_session* session = nullptr);

// Stores `config` as the current mount's layout and has the PTZ coordinator reload it, talking
// to the camera's services in `session` as get_quadview_layout() does. The save starts only while
// the session leaves it its allowance (kSaveAllowanceUs) and the reload a whole exchange's time
// after that; a save that overran it so that the reload failed is logged as such. Returns 0;
// -EINVAL when `config` is null; -EBADF for an unsupported tilt orientation; -EACCES on any other
// failure. Once the new file is in place the reload is sent, even when the flush of its folder
// failed; when only that flush or the reload failed, the new layout stays saved.
int set_quadview_layout(
    const quadview_config* config,
    const char* path = kLayoutPath,
    service_session* session = nullptr);
