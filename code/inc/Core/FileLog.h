#pragma once
// The file log: a log sink that writes every admitted message as one time-stamped line to a text
// file, unbuffered, so that the log survives a crash of the process writing it. A date header
// opens the file and is repeated whenever the local date changes between two lines.
//
// File format (CR LF line ends, UTF-8 messages):
//   header: "\r\n--- Date: 2024-3-5 (Tue Mar 2024) UTC+03:00\r\n\r\n"
//   line:   "12:34:56.789 " + level name right-aligned in 8 columns + "| " + text + "\r\n"
// A line longer than 2046 bytes is cut to 2046 bytes and ends in a bare line feed.
//
// Write may be called from any thread; each line (with its header) is one uninterrupted write.
// Open and Close run on the main thread while the sink is not registered.

#include "Core/CVar.h"
#include "Core/IO/File.h"
#include "Core/Log.h"
#include "Core/StaticString.h"
#include "Core/Timing/PlatformTime.h"
#include "Core/Types.h"

#include <mutex>

namespace Morvex
{
// Non-zero: the file log writes no lines (Int, 0..1, default 0).
extern CVar file_disableLog;

// Where the file log takes the time from; replaceable for tests. Now may be called from any thread.
class FileLogClock
{
public:
    // The current local time and, for the same instant, the UTC time.
    virtual void Now(DateTime& local, DateTime& utc) = 0;

protected:
    ~FileLogClock() = default;
};

class FileLog final : public LogSink
{
public:
    FileLog();
    // Closes the file if it is still open.
    ~FileLog() override;
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    // Creates or truncates `path` (relative to the working directory; missing folders are
    // created) and writes the first date header. With exclusive, the file is created new with mode
    // 0600 and the open fails when anything of that name exists. Asserts "!m_file.IsOpen()" (an
    // open file is then closed first). False for a null or empty path or when the file cannot be
    // created; the log then stays closed and every Write does nothing.
    bool Open(const char* path, bool exclusive = false);
    // `file` and `line` are not written. Does nothing while closed or while file_disableLog is set,
    // nor for a message logged from inside this call on the same thread.
    void Write(uint32 level, const char* file, int32 line, const char* text) override;
    // Closes the file; call after the sink has been removed from the log.
    void Close();
    bool IsOpen() const;

    // The path given to the last successful Open (empty before).
    const FilePath& GetPath() const { return m_currentPath; }

    // Replaces the clock (not owned; null restores the system clock). Not synchronised with Write.
    void SetClock(FileLogClock* clock);

private:
    void WriteHeader(const DateTime& local, const DateTime& utc);

    FilePath m_basePath;
    FilePath m_currentPath;
    DateTime m_lastTime;
    File m_file;
    // Re-entrant: an assertion raised while a line is written logs through this sink again; such a
    // nested message is dropped (m_inWrite) instead of recursing without end.
    std::recursive_mutex m_lock;
    bool m_inWrite = false;
    FileLogClock* m_clock;
};

namespace FileLogFormat
{
constexpr uint32 kHeaderSize = 257;
constexpr uint32 kLineSize = 2048;

// The name of a level in the file: "DEBUG", "" for Info, "WARNING", "ERROR", "FATAL", "CONSOLE",
// "NET"; "UNKNOWN" for anything else.
const char* LevelName(uint32 level);
// Local minus UTC in whole seconds, rounded to the nearest second (halves away from zero), from
// both times taken as proleptic Gregorian calendar dates.
int64 UtcOffsetSeconds(const DateTime& local, const DateTime& utc);
// The header text without its trailing "\r\n\r\n": "\r\n--- Date: ... UTC+hh:mm". Returns its length.
uint32 FormatHeader(char (&out)[kHeaderSize], const DateTime& local, int64 offsetSeconds);
// One message line with its line end. Returns its length (at most 2047).
uint32 FormatLine(char (&out)[kLineSize], const DateTime& local, uint32 level, const char* text);
} // namespace FileLogFormat
} // namespace Morvex
