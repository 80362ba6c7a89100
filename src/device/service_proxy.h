#pragma once

#include <gio/gio.h>

#include "device/exchange_deadline.h"

// Makes the proxy for one exchange with a camera service on the system bus, within the
// exchange's `deadline`. It is made without flags, so it also loads the service's properties and
// follows its signals. Returns nullptr when no proxy results; the caller logs why.
GDBusProxy* new_service_proxy(
    const exchange_deadline& deadline,
    const char* bus_name,
    const char* object_path,
    const char* interface);

// Connects to the system bus within an exchange's time limit and returns the connection, or
// nullptr. While the caller holds it, the proxies made for the exchanges share it instead of each
// connecting anew.
GDBusConnection* hold_system_bus();
