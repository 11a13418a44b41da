// Calendar arithmetic shared by every platform: UTC conversions are pure arithmetic on the
// proleptic Gregorian calendar, so they round-trip exactly for any millisecond value.

#include "Core/Timing/PlatformTime.h"

#include "Core/CmdSystem.h"
#include "Core/Log.h"

namespace Morvex
{
namespace
{
constexpr int64 kMsPerDay = 86400000LL;

int64 FloorDiv(int64 a, int64 b)
{
    int64 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm).
int64 DaysFromCivil(int64 y, int64 m, int64 d)
{
    y -= m <= 2;
    int64 era = FloorDiv(y, 400);
    int64 yoe = y - era * 400;
    int64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    int64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64 z, DateTime& out)
{
    z += 719468;
    int64 era = FloorDiv(z, 146097);
    int64 doe = z - era * 146097;
    int64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64 y = yoe + era * 400;
    int64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64 mp = (5 * doy + 2) / 153;
    int64 d = doy - (153 * mp + 2) / 5 + 1;
    int64 m = mp < 10 ? mp + 3 : mp - 9;
    out.year = static_cast<int32>(y + (m <= 2));
    out.month = static_cast<int32>(m);
    out.day = static_cast<int32>(d);
}

void LogDateTime(const char* label, const DateTime& d)
{
    Log::Printf(__FILE__, __LINE__, Log::Info, "%s: %d/%d/%d %d:%d:%d", label, d.year, d.month, d.day, d.hour,
                d.minute, d.second);
}
} // namespace

DateTime TimeToUtcDateTime(int64 timeMs)
{
    DateTime out;
    int64 days = FloorDiv(timeMs, kMsPerDay);
    int64 msOfDay = timeMs - days * kMsPerDay;
    CivilFromDays(days, out);
    // 1970-01-01 was a Thursday.
    int64 weekday = (days + 4) % 7;
    out.dayOfWeek = static_cast<int32>(weekday < 0 ? weekday + 7 : weekday);
    out.hour = static_cast<int32>(msOfDay / 3600000);
    out.minute = static_cast<int32>(msOfDay / 60000 % 60);
    out.second = static_cast<int32>(msOfDay / 1000 % 60);
    out.milliseconds = static_cast<int32>(msOfDay % 1000);
    return out;
}

int64 UtcDateTimeToTime(const DateTime& d)
{
    // Normalise the month first so that the day arithmetic below sees 1-12.
    int64 monthIndex = static_cast<int64>(d.month) - 1;
    int64 year = static_cast<int64>(d.year) + FloorDiv(monthIndex, 12);
    int64 month = monthIndex - FloorDiv(monthIndex, 12) * 12 + 1;
    int64 days = DaysFromCivil(year, month, 1) + static_cast<int64>(d.day) - 1;
    return days * kMsPerDay + static_cast<int64>(d.hour) * 3600000 + static_cast<int64>(d.minute) * 60000 +
           static_cast<int64>(d.second) * 1000 + d.milliseconds;
}

int64 FileTimeToTimeMs(uint64 fileTime)
{
    return static_cast<int64>(fileTime / 10000) - kFileTimeEpochOffsetMs;
}

uint64 TimeMsToFileTime(int64 timeMs)
{
    return static_cast<uint64>(timeMs + kFileTimeEpochOffsetMs) * 10000;
}

void PlatformTime_TestCommand(const CmdArgs&)
{
    int64 t = GetTimeMs();
    Log::Printf(__FILE__, __LINE__, Log::Info, "time: %lld ms", static_cast<long long>(t));

    DateTime utc = TimeToUtcDateTime(t);
    LogDateTime("TimeToUtcDateTime", utc);
    int64 b = UtcDateTimeToTime(utc);
    Log::Printf(__FILE__, __LINE__, Log::Info, "utc-->back: %lld ms, delta = %lld", static_cast<long long>(b),
                static_cast<long long>(t - b));
    LogDateTime("GetUtcDateTime", GetUtcDateTime());

    DateTime local = TimeToLocalDateTime(t);
    LogDateTime("TimeToLocalDateTime", local);
    int64 c = LocalDateTimeToTime(local);
    Log::Printf(__FILE__, __LINE__, Log::Info, "local-->back: %lld ms, delta = %lld",
                static_cast<long long>(c), static_cast<long long>(t - c));
    LogDateTime("GetLocalDateTime", GetLocalDateTime());
}
MX_CONSOLE_COMMAND("Test.PlatformTime", "Logs the clock conversions and their round trips",
                   PlatformTime_TestCommand);
} // namespace Morvex
