#include "Core/FileLog.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::TempDir;

namespace
{
DateTime MakeTime(int32 year, int32 month, int32 day, int32 dayOfWeek, int32 hour, int32 minute, int32 second,
                  int32 ms)
{
    DateTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.dayOfWeek = dayOfWeek;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    t.milliseconds = ms;
    return t;
}

// A clock that shows the local time it is given, at a fixed offset from UTC.
class FixedClock final : public FileLogClock
{
public:
    void Now(DateTime& local, DateTime& utc) override
    {
        local = m_local;
        utc = m_utc;
    }
    // `offsetMinutes` is local minus UTC; the UTC time is derived by shifting the clock time.
    void Set(const DateTime& local, int32 offsetMinutes)
    {
        m_local = local;
        const int64 localMs = UtcDateTimeToTime(local);
        m_utc = TimeToUtcDateTime(localMs - int64(offsetMinutes) * 60000);
    }

private:
    DateTime m_local;
    DateTime m_utc;
};

// A file log on a fresh file in a temporary folder with a fixed clock; the log is closed before
// the file is read.
class FileLogTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_vars.Set(file_disableLog, "0");
        m_log.SetClock(&m_clock);
        // Tuesday 5 March 2024, 12:34:56.789 at UTC+3.
        m_clock.Set(MakeTime(2024, 3, 5, 2, 12, 34, 56, 789), 180);
    }

    bool OpenLog() { return m_log.Open(m_dir.Join("logs/test.log").c_str()); }
    std::string Contents()
    {
        m_log.Close();
        return m_dir.ReadFile("logs/test.log");
    }

    Morvex::Test::ScopedCVars m_vars;
    TempDir m_dir;
    FixedClock m_clock;
    FileLog m_log;
};
} // namespace

TEST(FileLogFormat, LevelNames)
{
    struct Case
    {
        uint32 level;
        const char* name;
    };
    const Case cases[] = {{Log::Debug, "DEBUG"}, {Log::Info, ""},       {Log::Warning, "WARNING"},
                          {Log::Error, "ERROR"}, {Log::Fatal, "FATAL"}, {Log::Console, "CONSOLE"},
                          {Log::NetLog, "NET"},  {0, "UNKNOWN"},        {Log::Info | Log::Error, "UNKNOWN"},
                          {128, "UNKNOWN"}};
    for (const Case& c : cases)
        EXPECT_STREQ(FileLogFormat::LevelName(c.level), c.name) << c.level;
}

TEST(FileLogFormat, HeaderOffsets)
{
    struct Case
    {
        int32 offsetMinutes;
        const char* suffix;
    };
    const Case cases[] = {
        {180, " UTC+03:00"},
        {-330, " UTC-05:30"},
        {345, " UTC+05:45"},
        {0, " UTC+00:00"},
        // The hours alone truncate to 0 here; the sign comes from the whole offset.
        {-30, " UTC-00:30"},
        {-45, " UTC-00:45"},
        {30, " UTC+00:30"},
        {-720, " UTC-12:00"},
        {840, " UTC+14:00"},
    };
    const DateTime local = MakeTime(2024, 3, 5, 2, 12, 34, 56, 789);
    for (const Case& c : cases)
    {
        FixedClock clock;
        clock.Set(local, c.offsetMinutes);
        DateTime l, u;
        clock.Now(l, u);
        char header[FileLogFormat::kHeaderSize];
        const uint32 n = FileLogFormat::FormatHeader(header, l, FileLogFormat::UtcOffsetSeconds(l, u));
        EXPECT_EQ(std::string(header, n), std::string("\r\n--- Date: 2024-3-5 (Tue Mar 2024)") + c.suffix)
            << c.offsetMinutes;
    }
}

TEST(FileLogFormat, OffsetAcrossDatesAndRounding)
{
    struct Case
    {
        DateTime local;
        DateTime utc;
        int64 seconds;
    };
    const Case cases[] = {
        // Local is already in the next year (and a leap day lies in between on the other side).
        {MakeTime(2025, 1, 1, 3, 2, 0, 0, 0), MakeTime(2024, 12, 31, 2, 23, 0, 0, 0), 3 * 3600},
        {MakeTime(2024, 2, 29, 4, 20, 0, 0, 0), MakeTime(2024, 3, 1, 5, 1, 30, 0, 0), -(5 * 3600 + 30 * 60)},
        {MakeTime(1900, 3, 1, 4, 0, 0, 0, 0), MakeTime(1900, 2, 28, 3, 23, 0, 0, 0), 3600},
        {MakeTime(2000, 3, 1, 3, 0, 0, 0, 0), MakeTime(2000, 2, 29, 2, 23, 0, 0, 0), 3600},
        // Milliseconds round to the nearest second, halves away from zero.
        {MakeTime(2024, 3, 5, 2, 15, 0, 0, 499), MakeTime(2024, 3, 5, 2, 12, 0, 0, 0), 10800},
        {MakeTime(2024, 3, 5, 2, 15, 0, 0, 500), MakeTime(2024, 3, 5, 2, 12, 0, 0, 0), 10801},
        {MakeTime(2024, 3, 5, 2, 12, 0, 0, 0), MakeTime(2024, 3, 5, 2, 15, 0, 0, 500), -10801},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FileLogFormat::UtcOffsetSeconds(c.local, c.utc), c.seconds);
}

TEST(FileLogFormat, LineFormatAndCut)
{
    const DateTime t = MakeTime(2024, 3, 5, 2, 7, 5, 9, 3);
    char line[FileLogFormat::kLineSize];
    uint32 n = FileLogFormat::FormatLine(line, t, Log::Info, "hello");
    EXPECT_EQ(std::string(line, n), "07:05:09.003         | hello\r\n");
    n = FileLogFormat::FormatLine(line, t, Log::NetLog, "x");
    EXPECT_EQ(std::string(line, n), "07:05:09.003      NET| x\r\n");
    n = FileLogFormat::FormatLine(line, t, Log::Warning, "");
    EXPECT_EQ(std::string(line, n), "07:05:09.003  WARNING| \r\n");

    // The prefix "hh:mm:ss.mmm " + 8 columns + "| " is 23 bytes.
    struct Case
    {
        size_t textLength;
        std::string tail; // how the line ends
        size_t length;
    };
    const Case cases[] = {
        {3000, "x\n", 2047},   // cut: 2046 bytes and a bare line feed
        {2024, "x\n", 2047},   // 23 + 2024 + CR LF does not fit: cut as well
        {2022, "x\r\n", 2047}, // exactly fits with its CR LF
        {2021, "x\r\n", 2046}, // one byte shorter keeps its CR LF and gets nothing added
    };
    for (const Case& c : cases)
    {
        const std::string text(c.textLength, 'x');
        n = FileLogFormat::FormatLine(line, t, Log::Info, text.c_str());
        const std::string got(line, n);
        EXPECT_EQ(n, c.length) << c.textLength;
        EXPECT_EQ(got.substr(got.size() - c.tail.size()), c.tail) << c.textLength;
        EXPECT_EQ(got.find('\n'), got.size() - 1) << c.textLength;
    }
}

TEST_F(FileLogTest, NewFileStartsWithHeaderThenLines)
{
    ASSERT_TRUE(OpenLog());
    EXPECT_EQ(m_log.GetPath().view(), StrView(m_dir.Join("logs/test.log").c_str()));
    m_log.Write(Log::Info, "file.cpp", 12, "first");
    m_log.Write(Log::NetLog, nullptr, 0, "net");
    m_log.Write(Log::Error, "file.cpp", 13, "bad");
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "12:34:56.789         | first\r\n"
                          "12:34:56.789      NET| net\r\n"
                          "12:34:56.789    ERROR| bad\r\n");
}

TEST_F(FileLogTest, NegativeHalfHourOffsetInTheFile)
{
    m_clock.Set(MakeTime(2024, 3, 5, 2, 8, 0, 0, 0), -330);
    ASSERT_TRUE(OpenLog());
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC-05:30\r\n\r\n");
}

TEST_F(FileLogTest, DateChangeBetweenTwoLinesWritesAHeader)
{
    m_clock.Set(MakeTime(2024, 3, 5, 2, 23, 59, 59, 999), 180);
    ASSERT_TRUE(OpenLog());
    m_log.Write(Log::Info, nullptr, 0, "before midnight");
    m_clock.Set(MakeTime(2024, 3, 6, 3, 0, 0, 0, 0), 180);
    m_log.Write(Log::Info, nullptr, 0, "after midnight");
    m_log.Write(Log::Info, nullptr, 0, "same day");
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "23:59:59.999         | before midnight\r\n"
                          "\r\n--- Date: 2024-3-6 (Wed Mar 2024) UTC+03:00\r\n\r\n"
                          "00:00:00.000         | after midnight\r\n"
                          "00:00:00.000         | same day\r\n");
}

TEST_F(FileLogTest, DisableStopsLinesAndResumesWithHeaderOnlyOnNewDate)
{
    ASSERT_TRUE(OpenLog());
    m_log.Write(Log::Info, nullptr, 0, "one");
    m_vars.Set(file_disableLog, "1");
    m_log.Write(Log::Info, nullptr, 0, "hidden");
    m_vars.Set(file_disableLog, "0");
    m_log.Write(Log::Info, nullptr, 0, "two");
    m_vars.Set(file_disableLog, "1");
    m_clock.Set(MakeTime(2024, 3, 7, 4, 9, 0, 0, 0), 180);
    m_log.Write(Log::Info, nullptr, 0, "hidden too");
    m_vars.Set(file_disableLog, "0");
    m_log.Write(Log::Info, nullptr, 0, "three");
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "12:34:56.789         | one\r\n"
                          "12:34:56.789         | two\r\n"
                          "\r\n--- Date: 2024-3-7 (Thu Mar 2024) UTC+03:00\r\n\r\n"
                          "09:00:00.000         | three\r\n");
}

TEST_F(FileLogTest, LongMessageLineIsCutWithLineFeed)
{
    ASSERT_TRUE(OpenLog());
    m_log.Write(Log::Info, nullptr, 0, std::string(3000, 'm').c_str());
    m_log.Write(Log::Info, nullptr, 0, "next");
    const std::string text = Contents();
    const std::string header = "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n";
    ASSERT_GT(text.size(), header.size() + 2047);
    const std::string cut = text.substr(header.size(), 2047);
    EXPECT_EQ(cut.substr(0, 23), "12:34:56.789         | ");
    EXPECT_EQ(cut.substr(2044), "mm\n");
    EXPECT_EQ(text.substr(header.size() + 2047), "12:34:56.789         | next\r\n");
}

TEST_F(FileLogTest, OpenFailuresLeaveTheLogClosed)
{
    AssertRecorder asserts;
    EXPECT_FALSE(m_log.Open(nullptr));
    EXPECT_FALSE(m_log.Open(""));
    m_dir.WriteFile("blocker", "a file where a folder is needed");
    EXPECT_FALSE(m_log.Open(m_dir.Join("blocker/test.log").c_str()));
    EXPECT_FALSE(m_log.IsOpen());
    m_log.Write(Log::Info, nullptr, 0, "nowhere"); // no-op, no crash
    m_log.Close();
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST_F(FileLogTest, OpeningTwiceAssertsAndReopens)
{
    ASSERT_TRUE(OpenLog());
    m_log.Write(Log::Info, nullptr, 0, "lost when truncated");
    AssertRecorder asserts;
    ASSERT_TRUE(OpenLog());
    EXPECT_TRUE(asserts.Saw("!m_file.IsOpen()"));
    m_log.Write(Log::Info, nullptr, 0, "kept");
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "12:34:56.789         | kept\r\n");
}

TEST_F(FileLogTest, LinesReachTheDiskAtOnce)
{
    ASSERT_TRUE(OpenLog());
    m_log.Write(Log::Info, nullptr, 0, "now");
    // Read while the log is still open: nothing may wait in a buffer.
    EXPECT_EQ(m_dir.ReadFile("logs/test.log"), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                                               "12:34:56.789         | now\r\n");
}

TEST_F(FileLogTest, LinesFromManyThreadsStayWhole)
{
    ASSERT_TRUE(OpenLog());
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [this, t]
            {
                const std::string text =
                    "thread " + std::to_string(t) + " " + std::string(300, char('a' + t));
                for (int i = 0; i < kLines; ++i)
                    m_log.Write(Log::Info, nullptr, 0, text.c_str());
            });
    for (std::thread& thread : threads)
        thread.join();
    const std::string text = Contents();
    size_t pos = text.find("\r\n\r\n") + 4;
    int lines = 0;
    while (pos < text.size())
    {
        const size_t end = text.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        const std::string line = text.substr(pos, end - pos);
        ASSERT_EQ(line.size(), 23u + 9 + 300) << line.substr(0, 40);
        EXPECT_EQ(line.find_first_not_of(line.back(), 32), std::string::npos);
        ++lines;
        pos = end + 2;
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

TEST_F(FileLogTest, RegisteredSinkReceivesLogLines)
{
    ASSERT_TRUE(OpenLog());
    Log::AddSink(&m_log, Log::kMaskAllButNetLog);
    Log::Printf(__FILE__, __LINE__, Log::Warning, "through the log %d", 42);
    Log::Printf(__FILE__, __LINE__, Log::NetLog, "not admitted by mask 63");
    Log::RemoveSink(&m_log);
    Log::Printf(__FILE__, __LINE__, Log::Info, "after removal");
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "12:34:56.789  WARNING| through the log 42\r\n");
}

// Something that logs while a line is being written (an assertion in the file layer, a clock that
// complains) must not recurse into the sink without end; the nested message is dropped.
TEST_F(FileLogTest, MessagesLoggedWhileWritingAreDropped)
{
    class NoisyClock final : public FileLogClock
    {
    public:
        explicit NoisyClock(FixedClock& inner) : m_inner(inner) {}
        void Now(DateTime& local, DateTime& utc) override
        {
            ++calls;
            Log::Printf(__FILE__, __LINE__, Log::Error, "clock trouble");
            m_inner.Now(local, utc);
        }
        int calls = 0;

    private:
        FixedClock& m_inner;
    };
    NoisyClock noisy(m_clock);
    ASSERT_TRUE(OpenLog());
    m_log.SetClock(&noisy);
    Log::AddSink(&m_log, Log::kMaskAllButNetLog);
    Log::Printf(__FILE__, __LINE__, Log::Info, "outer");
    Log::RemoveSink(&m_log);
    EXPECT_EQ(noisy.calls, 1);
    EXPECT_EQ(Contents(), "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
                          "12:34:56.789         | outer\r\n");
}

TEST(FileLogSystemClock, HeaderUsesTheRealClock)
{
    TempDir dir;
    FileLog log;
    ASSERT_TRUE(log.Open(dir.Join("real.log").c_str()));
    log.Write(Log::Info, nullptr, 0, "x");
    log.Close();
    const std::string text = dir.ReadFile("real.log");
    EXPECT_EQ(text.rfind("\r\n--- Date: ", 0), 0u);
    EXPECT_NE(text.find(" UTC"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 6), " | x\r\n");
}
