// SPDX-License-Identifier: MIT
#pragma once

#include "device/service_exchange.h"

// Asks the image-control service on the system bus for its CameraTiltOrientation property, within
// one exchange's time limit, in the request's service session (see service_exchange; nullptr: on
// its own). Returns the value as newly allocated text (g_free), or nullptr after
// logging why it has none. A byte-string value gives the text up to its first NUL, or "" when it
// has no final NUL.
char* get_cameratiltorientation(service_session* session = nullptr);
