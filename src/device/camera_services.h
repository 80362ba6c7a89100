/* SPDX-License-Identifier: MIT */
/* The camera's services that the program calls on the system bus, named once for the program, the
 * simulated services, the benchmark's floors and the tests. Plain C, and literals, so that C code
 * includes it and tests build expected texts from it. The installed bus policy (bus/quadview.conf)
 * and docs/bus.md say the same in their own formats. */
#pragma once

/* The image-control service: its CameraTiltOrientation property tells how the camera is mounted,
 * read with org.freedesktop.DBus.Properties.Get. */
#define QUADVIEW_IMAGE_CONTROL_NAME "com.tarq.ImageControl"
#define QUADVIEW_IMAGE_CONTROL_PATH "/com/tarq/ImageControl/0/0"
#define QUADVIEW_IMAGE_CONTROL_INTERFACE "com.tarq.ImageControl"
#define QUADVIEW_TILT_PROPERTY "CameraTiltOrientation"

/* The PTZ coordinator: its method Auxiliary, given the reload command, has it reload the layout. */
#define QUADVIEW_PTZ_NAME "com.tarq.PTZ.Coordinator"
#define QUADVIEW_PTZ_PATH "/com/tarq/PTZ/Coordinator/4"
#define QUADVIEW_PTZ_INTERFACE "com.tarq.PTZ.Coordinator"
#define QUADVIEW_PTZ_METHOD "Auxiliary"
#define QUADVIEW_RELOAD_COMMAND "reload_quadview_config"
