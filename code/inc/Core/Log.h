#pragma once
// The process-wide log: a message is formatted once (2047 bytes at most) and handed to every
// registered sink whose mask admits its level. Printing takes no lock and allocates nothing; sinks
// protect themselves. The sink list may only change while no other thread can print.

#include "Core/Types.h"

#include <cstdarg>

namespace Morvex
{
class LogSink
{
public:
    // level: one level bit; file: source path, may be null or empty; line: 0 without a source;
    // text: the finished UTF-8 message without a trailing newline. Called on the printing thread.
    virtual void Write(uint32 level, const char* file, int32 line, const char* text) = 0;
    // False for a sink that only forwards lines elsewhere (the profiler's): a warning that no
    // showing sink takes still goes to standard error.
    virtual bool ShowsLines() const { return true; }
    virtual ~LogSink() = default;
};

namespace Log
{
enum Level : uint32
{
    Debug = 1,
    Info = 2,
    Warning = 4,
    Error = 8,
    Fatal = 16,
    Console = 32,
    NetLog = 64,
};

constexpr uint32 kMaskAllButNetLog = 63;
constexpr uint32 kMaskAll = 127;
constexpr uint32 kMaxMessageLength = 2047;

void Printf(const char* file, int32 line, uint32 level, const char* format, ...) MX_PRINTF_FORMAT(4, 5);
void Printf(uint32 level, const char* format, ...) MX_PRINTF_FORMAT(2, 3);
void VPrintf(const char* file, int32 line, uint32 level, const char* format, va_list args);
// Formats into 2048 bytes and logs the text at Console.
void ConsolePrintf(const char* format, ...) MX_PRINTF_FORMAT(1, 2);

// Registers a sink (not owned); a sink already listed only gets the new mask.
void AddSink(LogSink* sink, uint32 mask);
// Swaps the sink's entry with the last one and drops it; unknown sinks are ignored.
void RemoveSink(LogSink* sink);
// "DEBUG" ... "NETLOG"; "!UNKNOWN!" for anything that is not exactly one known bit.
const char* LevelName(uint32 level);

// The process-wide console sink (exists from static initialisation to static destruction).
LogSink* GetConsoleSink();

// Log system lifetime, driven by the kernel's construction and destruction. Create asserts
// "m_logSystem == nullptr"; printing without a log system does nothing.
void CreateSystem();
void DestroySystem();
bool SystemExists();

// Snapshot of the sink list for diagnostics and tests: fills up to maxCount entries, returns the count.
struct SinkEntry
{
    uint32 mask;
    LogSink* sink;
};
uint32 GetSinks(SinkEntry* out, uint32 maxCount);
} // namespace Log

// Console sink: "%-7s: %s\n"; Error and Fatal to stderr followed by flushes of stdout and stderr.
class ConsoleSink final : public LogSink
{
public:
    void Write(uint32 level, const char* file, int32 line, const char* text) override;
    ~ConsoleSink() override;
};

// Debugger sink: "%s(%d):[%s] %s\n" or "[%s] %s\n". Linux has no debugger channel, so the line
// goes to standard error.
class DebuggerSink final : public LogSink
{
public:
    void Write(uint32 level, const char* file, int32 line, const char* text) override;
};
} // namespace Morvex

#define MX_LOG(level, ...) ::Morvex::Log::Printf(__FILE__, __LINE__, ::Morvex::Log::level, __VA_ARGS__)
#define MX_LOG_DEBUG(...) MX_LOG(Debug, __VA_ARGS__)
#define MX_LOG_INFO(...) MX_LOG(Info, __VA_ARGS__)
#define MX_LOG_WARNING(...) MX_LOG(Warning, __VA_ARGS__)
#define MX_LOG_ERROR(...) MX_LOG(Error, __VA_ARGS__)
#define MX_LOG_NET(...) MX_LOG(NetLog, __VA_ARGS__)
