#pragma once

// Tells the PTZ coordinator service to reload the quad-view configuration.
// Returns true when the service accepted the command, false after logging the failure.
bool ptz_aux_send_command();
