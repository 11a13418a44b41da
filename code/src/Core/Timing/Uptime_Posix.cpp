// The uptime clock over CLOCK_MONOTONIC: nanoseconds since an origin taken on the first reading.

#include "Core/Timing/Uptime.h"

#include <atomic>
#include <ctime>

namespace Morvex
{
namespace
{
// 0 = no reading yet. Constant-initialised, so the clock works during static initialisation.
constinit std::atomic<int64> GOriginNs{0};

int64 MonotonicNs(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    // +1 keeps a reading taken at the clock's own zero distinct from "no origin yet".
    return static_cast<int64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec + 1;
}

double UptimeFrom(int64 now)
{
    int64 origin = GOriginNs.load(std::memory_order_relaxed);
    if (origin == 0)
    {
        // The first readers race to set the origin; the losers measure from the winner's.
        int64 expected = 0;
        origin = GOriginNs.compare_exchange_strong(expected, now, std::memory_order_relaxed) ? now : expected;
    }
    const int64 elapsed = now - origin;
    return elapsed > 0 ? static_cast<double>(elapsed) * 1e-9 : 0.0;
}
} // namespace

double GetUptimeSeconds()
{
    return UptimeFrom(MonotonicNs(CLOCK_MONOTONIC));
}

double GetCoarseUptimeSeconds()
{
    // The same clock, read from the value the kernel refreshes at each tick: a few nanoseconds
    // instead of a full clock read.
    return UptimeFrom(MonotonicNs(CLOCK_MONOTONIC_COARSE));
}
} // namespace Morvex
