#pragma once
// Wall-clock time and calendar conversions. A time is a signed 64-bit count of milliseconds since
// 1970-01-01 00:00:00 UTC. All functions are re-entrant and may be called from any thread.

#include "Core/Types.h"

namespace Morvex
{
struct CmdArgs;

// A calendar time. dayOfWeek: 0 = Sunday; ignored by the conversions that take a DateTime.
struct DateTime
{
    int32 year = 0;
    int32 month = 0; // 1-12
    int32 day = 0;   // 1-31
    int32 dayOfWeek = 0;
    int32 hour = 0;
    int32 minute = 0;
    int32 second = 0;
    int32 milliseconds = 0;
    // Local times only: 1 daylight-saving time, 0 standard time, -1 unknown. TimeToLocalDateTime
    // sets it, so that a time in the hour repeated when clocks go back converts back to itself;
    // with -1 the conversion picks one of the two readings.
    int32 daylightSaving = -1;
};

// Difference between the file-time epoch (1601-01-01, 100-ns ticks) and the Unix epoch, in ms.
constexpr int64 kFileTimeEpochOffsetMs = 11644473600000LL;

int64 GetTimeMs();
DateTime GetLocalDateTime();
DateTime GetUtcDateTime();

DateTime TimeToUtcDateTime(int64 timeMs);
// Uses the process's time-zone rules (TZ, /etc/localtime).
DateTime TimeToLocalDateTime(int64 timeMs);
// Out-of-range fields are carried over (month 13 is January of the next year).
int64 UtcDateTimeToTime(const DateTime& dateTime);
// A local time that is skipped at a daylight-saving change resolves as the C library's mktime
// resolves it; a repeated one follows daylightSaving (the C library picks when it is -1).
int64 LocalDateTimeToTime(const DateTime& dateTime);

// 100-ns ticks since 1601-01-01 UTC <-> milliseconds since 1970.
int64 FileTimeToTimeMs(uint64 fileTime);
uint64 TimeMsToFileTime(int64 timeMs);

// Body of the console command "Test.PlatformTime": logs the conversions of the current time at
// Info, each round trip with its delta (0 when the conversions are exact).
void PlatformTime_TestCommand(const CmdArgs& args);
} // namespace Morvex
