#pragma once

#include <gio/gio.h>

// Asks the image-control service on the system bus for its CameraTiltOrientation property, within
// one exchange's time limit, on the request's shared bus connection (see service_exchange;
// nullptr: one of its own). Returns the value as newly allocated text (g_free), or nullptr after
// logging why it has none. A byte-string value gives the text up to its first NUL, or "" when it
// has no final NUL.
char* get_cameratiltorientation(GDBusConnection** bus = nullptr);
