#pragma once

#include <gio/gio.h>

// Tells the PTZ coordinator service to reload the quad-view configuration, within one exchange's
// time limit, on the request's shared bus connection (see service_exchange; nullptr: one of its
// own). Returns true when the service accepted the command, false after logging the failure.
bool ptz_aux_send_command(GDBusConnection** bus = nullptr);
