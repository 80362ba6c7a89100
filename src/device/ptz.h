// SPDX-License-Identifier: MIT
#pragma once

#include "device/service_exchange.h"

// Tells the PTZ coordinator service to reload the quad-view configuration, within one exchange's
// time limit, in the request's service session (see service_exchange; nullptr: on its own).
// Returns true when the service accepted the command, false after logging the failure.
bool ptz_aux_send_command(service_session* session = nullptr);
