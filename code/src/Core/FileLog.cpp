#include "Core/FileLog.h"

#include "Core/Assert.h"
#include "Core/IO/FileSystem.h"
#include "Core/Str.h"

#include <cstring>

namespace Morvex
{
CVar file_disableLog(CVarType::Int, "file_disableLog", 8, "0", "disable log file writing", 0, 1);

namespace
{
const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Both times come from one reading of the clock, so that the offset between them is exact.
class SystemClock final : public FileLogClock
{
public:
    void Now(DateTime& local, DateTime& utc) override
    {
        const int64 now = GetTimeMs();
        local = TimeToLocalDateTime(now);
        utc = TimeToUtcDateTime(now);
    }
};
SystemClock GSystemClock;

bool IsLeapYear(int64 year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// 100-ns ticks since 1 January of year 1 on the proleptic Gregorian calendar.
int64 ToTicks(const DateTime& t)
{
    static const int32 kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int64 year = t.year;
    const int64 before = year - 1;
    int64 days = before * 365 + before / 4 - before / 100 + before / 400;
    const int32 month = t.month < 1 ? 1 : (t.month > 12 ? 12 : t.month);
    days += kDaysBeforeMonth[month - 1];
    if (month > 2 && IsLeapYear(year))
        ++days;
    days += t.day - 1;
    const int64 seconds = ((days * 24 + t.hour) * 60 + t.minute) * 60 + t.second;
    return seconds * 10000000 + static_cast<int64>(t.milliseconds) * 10000;
}

const char* NameOr(const char* const* names, int32 count, int32 index)
{
    return index >= 0 && index < count ? names[index] : "???";
}
} // namespace

const char* FileLogFormat::LevelName(uint32 level)
{
    switch (level)
    {
    case Log::Debug:
        return "DEBUG";
    case Log::Info:
        return "";
    case Log::Warning:
        return "WARNING";
    case Log::Error:
        return "ERROR";
    case Log::Fatal:
        return "FATAL";
    case Log::Console:
        return "CONSOLE";
    case Log::NetLog:
        return "NET";
    default:
        return "UNKNOWN";
    }
}

int64 FileLogFormat::UtcOffsetSeconds(const DateTime& local, const DateTime& utc)
{
    const int64 ticks = ToTicks(local) - ToTicks(utc);
    int64 seconds = ticks / 10000000;
    const int64 rest = ticks % 10000000;
    if (rest >= 5000000)
        ++seconds;
    else if (rest <= -5000000)
        --seconds;
    return seconds;
}

uint32 FileLogFormat::FormatHeader(char (&out)[kHeaderSize], const DateTime& local, int64 offsetSeconds)
{
    int n = Str::SNPrintf(out, "\r\n--- Date: %d-%d-%d (%s %s %d)", local.year, local.month, local.day,
                          NameOr(kDayNames, 7, local.dayOfWeek), NameOr(kMonthNames, 12, local.month - 1),
                          local.year);
    // The sign belongs to the whole offset: truncated hours alone would print -00:30 as +00:30.
    const int64 magnitude = offsetSeconds < 0 ? -offsetSeconds : offsetSeconds;
    n += Str::SNPrintf(out + n, static_cast<int>(kHeaderSize) - n, " UTC%c%02d:%02d",
                       offsetSeconds < 0 ? '-' : '+', static_cast<int>(magnitude / 3600),
                       static_cast<int>((magnitude / 60) % 60));
    return static_cast<uint32>(n);
}

uint32 FileLogFormat::FormatLine(char (&out)[kLineSize], const DateTime& local, uint32 level,
                                 const char* text)
{
    int n = Str::SNPrintf(out, "%02d:%02d:%02d.%03d %8s| %s\r\n", local.hour, local.minute, local.second,
                          local.milliseconds, LevelName(level), text ? text : "");
    // A cut line keeps a line feed as its last byte. A line that fitted keeps its own line end.
    if (n >= static_cast<int>(kLineSize) - 1)
    {
        out[kLineSize - 2] = '\n';
        out[kLineSize - 1] = 0;
        n = static_cast<int>(kLineSize) - 1;
    }
    return static_cast<uint32>(n);
}

FileLog::FileLog() : m_clock(&GSystemClock)
{
}

FileLog::~FileLog()
{
    Close();
}

bool FileLog::Open(const char* path, bool exclusive)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    MX_ASSERT(!m_file.IsOpen());
    if (path == nullptr || path[0] == 0)
        return false;
    m_basePath.Assign(path);
    m_currentPath = m_basePath;
    if (m_file.IsOpen())
        m_file.Close();
    // Created or truncated, missing folders made; unbuffered, so that every line is one write to
    // the operating system and survives a crash of this process.
    if (!FileSystem::OpenRaw(m_file, m_currentPath,
                             exclusive ? EFileOpenMode::kCreateNew : EFileOpenMode::kWrite))
        return false;
    m_file.SetBufferSize(0);
    DateTime utc;
    m_clock->Now(m_lastTime, utc);
    WriteHeader(m_lastTime, utc);
    return true;
}

void FileLog::WriteHeader(const DateTime& local, const DateTime& utc)
{
    char header[FileLogFormat::kHeaderSize];
    FileLogFormat::FormatHeader(header, local, FileLogFormat::UtcOffsetSeconds(local, utc));
    char text[FileLogFormat::kHeaderSize + 4];
    const int n = Str::SNPrintf(text, "%s\r\n\r\n", header);
    m_file.WriteText(StrView(text, static_cast<uint32>(n)));
}

void FileLog::Write(uint32 level, const char*, int32, const char* text)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_inWrite || file_disableLog.GetBool() || !m_file.IsOpen())
        return;
    m_inWrite = true;
    DateTime local;
    DateTime utc;
    m_clock->Now(local, utc);
    if (local.year != m_lastTime.year || local.month != m_lastTime.month || local.day != m_lastTime.day)
        WriteHeader(local, utc);
    char line[FileLogFormat::kLineSize];
    const uint32 length = FileLogFormat::FormatLine(line, local, level, text);
    // The log cannot report its own write failure; the line is lost and the next one tries again.
    m_file.WriteText(StrView(line, length));
    m_lastTime = local;
    m_inWrite = false;
}

void FileLog::Close()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_file.Close();
}

bool FileLog::IsOpen() const
{
    return m_file.IsOpen();
}

void FileLog::SetClock(FileLogClock* clock)
{
    m_clock = clock ? clock : &GSystemClock;
}
} // namespace Morvex
