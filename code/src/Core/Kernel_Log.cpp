#include "Core/Log.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Str.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace Morvex
{
namespace
{
constexpr uint32 kInlineSinks = 20;

class LogSystem
{
public:
    LogSystem() : m_entries(m_inline), m_count(0), m_capacity(kInlineSinks) {}
    ~LogSystem()
    {
        if (m_entries != m_inline)
            Memory::Free(m_entries, sizeof(Log::SinkEntry) * m_capacity);
    }

    void Add(LogSink* sink, uint32 mask)
    {
        for (uint32 i = 0; i < m_count; ++i)
        {
            if (m_entries[i].sink == sink)
            {
                m_entries[i].mask = mask;
                return;
            }
        }
        if (m_count == m_capacity)
        {
            uint32 capacity = m_capacity * 2;
            auto* grown = static_cast<Log::SinkEntry*>(
                Memory::Alloc(sizeof(Log::SinkEntry) * capacity, alignof(Log::SinkEntry)));
            std::memcpy(grown, m_entries, sizeof(Log::SinkEntry) * m_count);
            if (m_entries != m_inline)
                Memory::Free(m_entries, sizeof(Log::SinkEntry) * m_capacity);
            m_entries = grown;
            m_capacity = capacity;
        }
        m_entries[m_count++] = Log::SinkEntry{mask, sink};
    }

    void Remove(LogSink* sink)
    {
        for (uint32 i = 0; i < m_count; ++i)
        {
            if (m_entries[i].sink == sink)
            {
                m_entries[i] = m_entries[m_count - 1];
                --m_count;
                return;
            }
        }
    }

    // Returns how many sinks took the line.
    uint32 Dispatch(uint32 level, const char* file, int32 line, const char* text) const
    {
        uint32 taken = 0;
        for (uint32 i = 0; i < m_count; ++i)
        {
            if (m_entries[i].mask & level)
            {
                m_entries[i].sink->Write(level, file, line, text);
                taken += m_entries[i].sink->ShowsLines() ? 1 : 0;
            }
        }
        return taken;
    }

    uint32 Snapshot(Log::SinkEntry* out, uint32 maxCount) const
    {
        uint32 n = m_count < maxCount ? m_count : maxCount;
        for (uint32 i = 0; i < n; ++i)
            out[i] = m_entries[i];
        return n;
    }

    DebuggerSink* m_debuggerSink = nullptr;

private:
    Log::SinkEntry* m_entries;
    uint32 m_count;
    uint32 m_capacity;
    Log::SinkEntry m_inline[kInlineSinks];
};

LogSystem* m_logSystem = nullptr;
ConsoleSink GConsoleSink;
} // namespace

void Log::CreateSystem()
{
    MX_ASSERT(m_logSystem == nullptr);
    if (m_logSystem != nullptr)
        return;
    MX_MEMORY_TAG_SCOPE("Core");
    void* storage = Memory::Alloc(sizeof(LogSystem), alignof(LogSystem));
    m_logSystem = new (storage) LogSystem();
    // Only a debugger attached at this moment gets the debugger sink, for the life of the process.
    if (Platform_IsDebuggerPresent())
    {
        void* sinkStorage = Memory::Alloc(sizeof(DebuggerSink), alignof(DebuggerSink));
        m_logSystem->m_debuggerSink = new (sinkStorage) DebuggerSink();
        m_logSystem->Add(m_logSystem->m_debuggerSink, kMaskAllButNetLog);
    }
}

void Log::DestroySystem()
{
    if (m_logSystem == nullptr)
        return;
    LogSystem* system = m_logSystem;
    if (system->m_debuggerSink != nullptr)
    {
        system->Remove(system->m_debuggerSink);
        system->m_debuggerSink->~DebuggerSink();
        Memory::Free(system->m_debuggerSink, sizeof(DebuggerSink));
        system->m_debuggerSink = nullptr;
    }
    m_logSystem = nullptr;
    system->~LogSystem();
    Memory::Free(system, sizeof(LogSystem));
}

bool Log::SystemExists()
{
    return m_logSystem != nullptr;
}

void Log::VPrintf(const char* file, int32 line, uint32 level, const char* format, va_list args)
{
    LogSystem* system = m_logSystem;
    if (system == nullptr && (level == Debug || level == NetLog))
        return;
    char text[kMaxMessageLength + 1];
    Str::VSNPrintf(text, sizeof(text), format, args);
    if (system == nullptr)
    {
        // Before the log exists and after it is gone (the kernel's shutdown reports: leaked events,
        // memory), a line must not vanish: it goes to standard error.
        std::fprintf(stderr, "%-7s: %s\n", LevelName(level), text);
        std::fflush(stderr);
        return;
    }
    // A warning or worse that no sink takes (start-up, before the program adds its sinks) must not
    // vanish either.
    if (system->Dispatch(level, file, line, text) == 0 && (level & (Warning | Error | Fatal)) != 0)
    {
        std::fprintf(stderr, "%-7s: %s\n", LevelName(level), text);
        std::fflush(stderr);
    }
}

void Log::Printf(const char* file, int32 line, uint32 level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintf(file, line, level, format, args);
    va_end(args);
}

void Log::Printf(uint32 level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VPrintf("", 0, level, format, args);
    va_end(args);
}

void Log::ConsolePrintf(const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    Str::VSNPrintf(text, sizeof(text), format, args);
    va_end(args);
    Printf(Console, "%s", text);
}

void Log::AddSink(LogSink* sink, uint32 mask)
{
    if (m_logSystem == nullptr || sink == nullptr)
        return;
    m_logSystem->Add(sink, mask);
}

void Log::RemoveSink(LogSink* sink)
{
    if (m_logSystem == nullptr)
        return;
    m_logSystem->Remove(sink);
}

uint32 Log::GetSinks(SinkEntry* out, uint32 maxCount)
{
    if (m_logSystem == nullptr)
        return 0;
    return m_logSystem->Snapshot(out, maxCount);
}

const char* Log::LevelName(uint32 level)
{
    switch (level)
    {
    case Debug:
        return "DEBUG";
    case Info:
        return "INFO";
    case Warning:
        return "WARNING";
    case Error:
        return "ERROR";
    case Fatal:
        return "FATAL";
    case Console:
        return "CONSOLE";
    case NetLog:
        return "NETLOG";
    default:
        return "!UNKNOWN!";
    }
}

LogSink* Log::GetConsoleSink()
{
    return &GConsoleSink;
}

void ConsoleSink::Write(uint32 level, const char*, int32, const char* text)
{
    if (level == Log::Error || level == Log::Fatal)
    {
        std::fprintf(stderr, "%-7s: %s\n", Log::LevelName(level), text);
        std::fflush(stdout);
        std::fflush(stderr);
    }
    else
        std::fprintf(stdout, "%-7s: %s\n", Log::LevelName(level), text);
}

ConsoleSink::~ConsoleSink()
{
    std::fflush(stderr);
    std::fflush(stdout);
}

void DebuggerSink::Write(uint32 level, const char* file, int32 line, const char* text)
{
    char buffer[2048];
    if (file != nullptr && file[0] != 0)
        Str::SNPrintf(buffer, "%s(%d):[%s] %s\n", file, line, Log::LevelName(level), text);
    else
        Str::SNPrintf(buffer, "[%s] %s\n", Log::LevelName(level), text);
    std::fputs(buffer, stderr);
}
} // namespace Morvex
