// The text forms of stack traces, the test command, and the memory system's use of them.

#include "Core/Utils/StackTrace.h"

#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "Core/Memory/DebugHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Timing/Uptime.h"

#include <cstring>

namespace Morvex
{
namespace
{
constexpr uint32 kMaxBaseName = 260;
// Printed for a frame whose function is unknown, where the text form wants a name.
constexpr const char* kUnknownName = "?";

// The file name after the last '/' or '\\', cut at kMaxBaseName characters; empty without a file.
StaticString<kMaxBaseName> BaseName(const char* file)
{
    StaticString<kMaxBaseName> base;
    if (file == nullptr)
        return base;
    const char* start = file;
    for (const char* p = file; *p != 0; ++p)
        if (*p == '/' || *p == '\\')
            start = p + 1;
    base.Assign(start);
    return base;
}

// Appends one frame in the text form, with `index` as its number.
template <typename Text>
void AppendFrame(Text& out, const StackFrameInfo& frame, uint32 index, bool compact)
{
    const StaticString<kMaxBaseName> base = BaseName(frame.file);
    const char* name = frame.name != nullptr ? frame.name : kUnknownName;
    const void* address = reinterpret_cast<const void*>(static_cast<uintptr_t>(frame.address));
    if (!base.empty())
    {
        if (compact)
            out.AppendFormat("%s(%d) %s ", base.c_str(), static_cast<int>(frame.line), name);
        else
            out.AppendFormat("%2d: [%p] %s(%d): %s\n", static_cast<int>(index), address, base.c_str(),
                             static_cast<int>(frame.line), name);
    }
    else if (compact)
        out.AppendFormat("%s ", name);
    else
        out.AppendFormat("%2d: [%p] %s\n", static_cast<int>(index), address, name);
}

class TextVisitor final : public StackFrameVisitor
{
public:
    TextVisitor(String& out, bool compact) : m_out(out), m_compact(compact) {}
    void OnFrame(const StackFrameInfo& frame) override { AppendFrame(m_out, frame, frame.index, m_compact); }

private:
    String& m_out;
    bool m_compact;
};

// The debug heap's allocation path, down to the program's operator new: the frames a leak report
// leaves out before the first frame of the code that allocated.
bool IsMemorySystemFrame(const StackFrameInfo& frame)
{
    if (frame.file != nullptr && std::strstr(frame.file, "/src/Core/Memory/") != nullptr)
        return true;
    if (frame.name == nullptr)
        return false;
    static const char* const kPrefixes[] = {"Morvex::Memory::", "Morvex::DebugHeap::", "operator new",
                                            "Morvex::(anonymous namespace)::AllocateLocked",
                                            "Morvex::(anonymous namespace)::DebugHeapBackend::"};
    for (const char* prefix : kPrefixes)
        if (std::strncmp(frame.name, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

class LeakVisitor final : public StackFrameVisitor
{
public:
    explicit LeakVisitor(StaticString1024_t& out) : m_out(out) {}
    void OnFrame(const StackFrameInfo& frame) override
    {
        if (m_printed == 0 && IsMemorySystemFrame(frame))
            return;
        AppendFrame(m_out, frame, m_printed++, false);
    }

private:
    StaticString1024_t& m_out;
    uint32 m_printed = 0;
};

// The debug heap's hook: called inside DebugHeap::Allocate, whose frame is the first one kept.
__attribute__((noinline)) uint32 CaptureForDebugHeap(void** frames, uint32 capacity)
{
    return CaptureStackBackTrace(frames, capacity, 1);
}

void CmdTestStackTrace(const CmdArgs&)
{
    Allocator* temp = &Memory::GetTempAllocator();
    void* frames[kMaxStackFrames];
    const double start = GetUptimeSeconds();
    const uint16 count = CaptureStackBackTrace(frames, kMaxStackFrames, 2);
    const double seconds = GetUptimeSeconds() - start;
    const String trace = FormatStackTrace(frames, count, temp, false);
    MX_LOG_INFO("Current callstack: \n%s", trace.c_str());
    MX_LOG_INFO("Captured in %g µs", seconds * 1e6);
    const String caller = GetImmediateCaller(temp, 2);
    MX_LOG_INFO("Immediate caller: %s", caller.c_str());
}
MX_CONSOLE_COMMAND("Test.StackTrace", "Test StackTrace functionality", CmdTestStackTrace);
} // namespace

String FormatStackTrace(void* const* addresses, uint32 count, Allocator* allocator, bool compact)
{
    String text;
    text.SetAllocator(allocator != nullptr ? allocator : &Memory::GetStringsAllocator());
    TextVisitor visitor(text, compact);
    SymbolizeStack(addresses, count, visitor);
    return text;
}

__attribute__((noinline)) String GetImmediateCaller(Allocator* allocator, uint32 framesToSkip)
{
    // Frame 0 lies in this function, frame 1 in its caller; the caller's caller is frame 2.
    void* frame = nullptr;
    const uint16 count = CaptureStackBackTrace(&frame, 1, framesToSkip + 2);
    return FormatStackTrace(&frame, count, allocator, true);
}

StaticString64_t GetModulePdbSignature(const char* path)
{
    StaticString64_t signature;
    GetModuleSignature(path, signature);
    return signature;
}

void FormatLeakStack(void* const* frames, uint32 count, StaticString1024_t& out)
{
    LeakVisitor visitor(out);
    SymbolizeStack(frames, count, visitor);
}

void InstallStackTraceMemoryHooks()
{
    DebugHeap::SetStackCapture(CaptureForDebugHeap);
    Memory::SetLeakStackFormatter(FormatLeakStack);
}
} // namespace Morvex
