#pragma once

// Asks the image-control service on the system bus for its CameraTiltOrientation property.
// Returns the value as newly allocated text (g_free), or nullptr after logging why it has none.
// A byte-string value gives the text up to its first NUL, or "" when it has no final NUL.
char* get_cameratiltorientation();
