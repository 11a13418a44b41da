// Clock and local-time rules on Linux: CLOCK_REALTIME stands for the system file time, and the C
// library's time-zone database (localtime_r/mktime) stands for the local file-time conversions.

#include "Core/Timing/PlatformTime.h"

#include <ctime>

namespace Morvex
{
namespace
{
int64 FloorDivSeconds(int64 ms)
{
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

DateTime FromTm(const std::tm& tm, int32 milliseconds)
{
    DateTime d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.dayOfWeek = tm.tm_wday;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = tm.tm_sec;
    d.milliseconds = milliseconds;
    d.daylightSaving = tm.tm_isdst > 0 ? 1 : (tm.tm_isdst == 0 ? 0 : -1);
    return d;
}
} // namespace

int64 GetTimeMs()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

DateTime GetLocalDateTime()
{
    return TimeToLocalDateTime(GetTimeMs());
}

DateTime GetUtcDateTime()
{
    return TimeToUtcDateTime(GetTimeMs());
}

DateTime TimeToLocalDateTime(int64 timeMs)
{
    int64 seconds = FloorDivSeconds(timeMs);
    time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr)
        return TimeToUtcDateTime(timeMs);
    return FromTm(tm, static_cast<int32>(timeMs - seconds * 1000));
}

int64 LocalDateTimeToTime(const DateTime& d)
{
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = d.hour;
    tm.tm_min = d.minute;
    tm.tm_sec = d.second;
    tm.tm_isdst = d.daylightSaving < 0 ? -1 : (d.daylightSaving > 0 ? 1 : 0);
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
    {
        // mktime cannot tell a failure from 1969-12-31 23:59:59 UTC; without zone rules the
        // nearest honest answer is the UTC reading of the fields.
        DateTime utc = d;
        return UtcDateTimeToTime(utc);
    }
    return static_cast<int64>(t) * 1000 + d.milliseconds;
}
} // namespace Morvex
