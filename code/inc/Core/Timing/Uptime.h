#pragma once
// The process's uptime for statistics stamps (heaps, diagnostics): a monotonic clock that needs no
// set-up, so it can be read before any subsystem exists, from the very first allocation on.
// Thread-safe, lock-free, allocates nothing.

#include "Core/Types.h"

namespace Morvex
{
// Seconds since the first reading of the clock in this process (that first reading is 0.0). Never
// goes backwards.
double GetUptimeSeconds();
// The same clock at the resolution of the system's tick (a few milliseconds), for stamps taken on
// every allocation; it may read slightly behind GetUptimeSeconds.
double GetCoarseUptimeSeconds();
} // namespace Morvex
