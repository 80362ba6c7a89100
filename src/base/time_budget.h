// SPDX-License-Identifier: MIT
// How long a request and its parts may take, in microseconds of the monotonic clock: the limits
// that belong together, in one place, for the program and its tests alike.
#pragma once

#include <glib.h>

// How long a web server lets a CGI program run by default before it stops it.
constexpr gint64 kServerLimitUs = 60 * G_TIME_SPAN_SECOND;

// What a whole request may take, from the program's start: below the server's limit, so that no
// server stops it half-way.
constexpr gint64 kRequestLimitUs = 55 * G_TIME_SPAN_SECOND;

// What one exchange with a camera service may take at most (connecting to the bus, the call): the
// default D-Bus timeout.
constexpr gint64 kExchangeLimitUs = 25 * G_TIME_SPAN_SECOND;

// What a save may take before the reload's exchange: writing and flushing the file and its folder
// take milliseconds, but slow flash may hold a flush for seconds.
constexpr gint64 kSaveAllowanceUs = 5 * G_TIME_SPAN_SECOND;

static_assert(kRequestLimitUs < kServerLimitUs, "a request ends before the server stops it");
// A write saves only while the save's allowance and then the reload's whole exchange still fit in
// the request's time: with prompt services, a write always can.
static_assert(
    kSaveAllowanceUs + kExchangeLimitUs < kRequestLimitUs,
    "a write leaves room for its save and its reload");
