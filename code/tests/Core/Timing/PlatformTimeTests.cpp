// Clock and calendar conversions, and the time self-check command.

#include "Core/CmdSystem.h"
#include "Core/Timing/PlatformTime.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdlib>
#include <ctime>
#include <string>

using namespace Morvex;

namespace
{
// Sets TZ for the life of the object and restores the previous rules.
class ScopedTimeZone
{
public:
    explicit ScopedTimeZone(const char* tz)
    {
        const char* old = std::getenv("TZ");
        m_hadOld = old != nullptr;
        if (old)
            m_old = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_hadOld)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

struct KnownTime
{
    int64 ms;
    DateTime utc; // year, month, day, dayOfWeek, hour, minute, second, milliseconds
};

void ExpectSame(const DateTime& a, const DateTime& b, const std::string& context)
{
    EXPECT_EQ(a.year, b.year) << context;
    EXPECT_EQ(a.month, b.month) << context;
    EXPECT_EQ(a.day, b.day) << context;
    EXPECT_EQ(a.dayOfWeek, b.dayOfWeek) << context;
    EXPECT_EQ(a.hour, b.hour) << context;
    EXPECT_EQ(a.minute, b.minute) << context;
    EXPECT_EQ(a.second, b.second) << context;
    EXPECT_EQ(a.milliseconds, b.milliseconds) << context;
}
} // namespace

TEST(PlatformTime, UtcCalendarOfKnownTimes)
{
    const KnownTime cases[] = {
        {0, {1970, 1, 1, 4, 0, 0, 0, 0}},
        {-1, {1969, 12, 31, 3, 23, 59, 59, 999}},
        {951782400000LL, {2000, 2, 29, 2, 0, 0, 0, 0}},       // leap day of a 400-year leap year
        {4107542399999LL, {2100, 2, 28, 0, 23, 59, 59, 999}}, // 2100 is not a leap year
        {1671013230123LL, {2022, 12, 14, 3, 10, 20, 30, 123}},
        {-11644473600000LL, {1601, 1, 1, 1, 0, 0, 0, 0}}, // the file-time epoch
        {253402300799999LL, {9999, 12, 31, 5, 23, 59, 59, 999}},
    };
    for (const KnownTime& c : cases)
    {
        std::string context = std::to_string(c.ms);
        ExpectSame(TimeToUtcDateTime(c.ms), c.utc, context);
        EXPECT_EQ(UtcDateTimeToTime(c.utc), c.ms) << context;
    }
}

TEST(PlatformTime, ConversionsRoundTripInUtcAndLocalTime)
{
    // A zone with daylight saving and a half-hour zone; the round trip must hold in both.
    for (const char* tz : {"UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "IST-5:30"})
    {
        ScopedTimeZone zone(tz);
        for (int64 t : {0LL, 1LL, 999LL, 1000LL, 1671013230123LL, 1711846799999LL, 1711846800000LL,
                        -86400001LL, 4102444800000LL})
        {
            std::string context = std::string(tz) + " " + std::to_string(t);
            EXPECT_EQ(UtcDateTimeToTime(TimeToUtcDateTime(t)), t) << context;
            EXPECT_EQ(LocalDateTimeToTime(TimeToLocalDateTime(t)), t) << context;
        }
    }
}

TEST(PlatformTime, RepeatedHourWhenClocksGoBackRoundTrips)
{
    // On 2024-10-27 Central Europe turns 03:00 CEST back to 02:00 CET: every local time from 02:00
    // to 02:59:59 happens twice, and each reading must convert back to its own instant.
    ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const int64 firstPass = 1729989000000LL;  // 00:30 UTC = 02:30 CEST
    const int64 secondPass = 1729992600000LL; // 01:30 UTC = 02:30 CET
    for (int64 t = firstPass - 3600000; t <= secondPass + 3600000; t += 60000 + 7)
    {
        DateTime local = TimeToLocalDateTime(t);
        EXPECT_EQ(LocalDateTimeToTime(local), t) << t;
    }
    DateTime a = TimeToLocalDateTime(firstPass), b = TimeToLocalDateTime(secondPass);
    EXPECT_EQ(a.hour, 2);
    EXPECT_EQ(b.hour, 2);
    EXPECT_EQ(a.daylightSaving, 1);
    EXPECT_EQ(b.daylightSaving, 0);
    // A hand-made local time without the flag still converts (to one of the two readings).
    DateTime manual{2024, 10, 27, 0, 2, 30, 0, 0};
    int64 picked = LocalDateTimeToTime(manual);
    EXPECT_TRUE(picked == firstPass || picked == secondPass) << picked;
}

TEST(PlatformTime, LocalTimeFollowsTheZoneRules)
{
    ScopedTimeZone zone("IST-5:30");
    DateTime local = TimeToLocalDateTime(0);
    ExpectSame(local, {1970, 1, 1, 4, 5, 30, 0, 0}, "IST");
    DateTime beforeMidnight = TimeToLocalDateTime(-19800001); // 1969-12-31 23:59:59.999 local
    ExpectSame(beforeMidnight, {1969, 12, 31, 3, 23, 59, 59, 999}, "IST negative");
}

TEST(PlatformTime, DayOfWeekIsIgnoredAndMonthsCarryOver)
{
    DateTime d{2022, 13, 1, 6, 0, 0, 0, 0}; // month 13 = January 2023; dayOfWeek is wrong on purpose
    ExpectSame(TimeToUtcDateTime(UtcDateTimeToTime(d)), {2023, 1, 1, 0, 0, 0, 0, 0}, "month 13");
    DateTime zeroMonth{2023, 0, 15, 0, 0, 0, 0, 0}; // December 2022
    ExpectSame(TimeToUtcDateTime(UtcDateTimeToTime(zeroMonth)), {2022, 12, 15, 4, 0, 0, 0, 0}, "month 0");
}

TEST(PlatformTime, FileTimeConversions)
{
    EXPECT_EQ(TimeMsToFileTime(0), 116444736000000000ULL);
    EXPECT_EQ(FileTimeToTimeMs(116444736000000000ULL), 0);
    EXPECT_EQ(FileTimeToTimeMs(0), -kFileTimeEpochOffsetMs);
    EXPECT_EQ(FileTimeToTimeMs(TimeMsToFileTime(1671013230123LL)), 1671013230123LL);
    // Sub-millisecond ticks are dropped, not rounded.
    EXPECT_EQ(FileTimeToTimeMs(116444736000000000ULL + 9999), 0);
}

TEST(PlatformTime, ClocksAgreeWithTheSystem)
{
    // std::time may read a coarser clock that lags by a few milliseconds: compare with the same one.
    auto wallMs = []
    {
        return static_cast<int64>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count());
    };
    int64 before = wallMs();
    int64 now = GetTimeMs();
    int64 after = wallMs();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);

    DateTime utc = GetUtcDateTime();
    int64 fromUtc = UtcDateTimeToTime(utc);
    EXPECT_LE(std::llabs(fromUtc - GetTimeMs()), 5000);
    DateTime local = GetLocalDateTime();
    EXPECT_LE(std::llabs(LocalDateTimeToTime(local) - GetTimeMs()), 5000);
    EXPECT_GE(utc.month, 1);
    EXPECT_LE(utc.month, 12);
}

TEST(PlatformTime, SelfCheckCommandLogsZeroDeltas)
{
    Morvex::Test::CapturingSink sink;
    CmdArgs noArgs;
    PlatformTime_TestCommand(noArgs);
    const char* labels[] = {
        "time: ",         "TimeToUtcDateTime: ", "utc-->back: ", "GetUtcDateTime: ", "TimeToLocalDateTime: ",
        "local-->back: ", "GetLocalDateTime: "};
    ASSERT_EQ(sink.Lines().size(), 7u);
    for (size_t i = 0; i < 7; ++i)
    {
        EXPECT_EQ(sink.Lines()[i].level, Log::Info);
        EXPECT_EQ(sink.Lines()[i].text.rfind(labels[i], 0), 0u) << sink.Lines()[i].text;
    }
    EXPECT_NE(sink.Lines()[2].text.find(" ms, delta = 0"), std::string::npos) << sink.Lines()[2].text;
    EXPECT_NE(sink.Lines()[5].text.find(" ms, delta = 0"), std::string::npos) << sink.Lines()[5].text;
}

TEST(PlatformTime, SelfCheckIsAConsoleCommand)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    Morvex::Test::CapturingSink sink;
    CmdSystem::AddText("Test.PlatformTime\n");
    CmdSystem::Execute();
    EXPECT_TRUE(sink.Contains("utc-->back: ")) << (sink.Lines().empty() ? "" : sink.Lines()[0].text);
    EXPECT_EQ(sink.CountContaining("delta = 0"), 2u);
}
