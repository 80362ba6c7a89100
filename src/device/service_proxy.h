#pragma once

#include <gio/gio.h>

// Makes the proxy for one exchange with a camera service on the system bus. It is made without
// flags, so it also loads the service's properties and follows its signals. Returns nullptr when
// no proxy results; the caller logs why.
GDBusProxy* new_service_proxy(const char* bus_name, const char* object_path, const char* interface);
