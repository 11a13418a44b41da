// Activation, start-up configuration, the console commands and the log forwarding of the profiler.

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Profiler/ProfilerConnection.h"
#include "Core/Profiler/ProfilerProtocol.h"
#include "Core/Str.h"
#include "Core/Threading/Threading.h"
#include "ProfilerConnectionPlatform.h"
#include "ProfilerCore.h"

#include <cstdlib>
#include <cstring>

namespace Morvex
{
namespace
{
constexpr const char* kLoopbackHost = "localhost";

void Profiler_Cmd(const CmdArgs& args);
void ProfilerStop_Cmd(const CmdArgs& args);
void ProfilerSave_Cmd(const CmdArgs& args);

MX_CONSOLE_COMMAND("Profiler", "Activate profiler", Profiler_Cmd);
MX_CONSOLE_COMMAND("Profiler.Stop", "Disable profiler", ProfilerStop_Cmd);
MX_CONSOLE_COMMAND("Profiler.Save", "Save profiler session to the provided file path.", ProfilerSave_Cmd);

// Every log line becomes a message event of the printing thread.
class ProfilerLogSink final : public LogSink
{
public:
    void Write(uint32 level, const char*, int32 line, const char* text) override
    {
        if (text == nullptr || text[0] == '\0')
            return;
        uint8 kind = level == Log::Warning                          ? ProfilerProtocol::kMessageWarning
                     : (level == Log::Error || level == Log::Fatal) ? ProfilerProtocol::kMessageError
                                                                    : ProfilerProtocol::kMessageInfo;
        Profiler::Message(uint64(line > 0 ? line : 0), 0, kind, "%s", text);
    }
    bool ShowsLines() const override { return false; }
    bool m_initialized = false;
};

struct Settings
{
    char host[Profiler::kMaxHostLength + 1] = "localhost";
    uint16 port = ProfilerProtocol::kDefaultViewerPort;
    bool trace = false;
    bool initialized = false;
    bool active = false;
};

Settings GSettings;
ProfilerLogSink GLogSink;

// The registry's name; an unnamed thread is told apart by its id.
void NameFromRegistry(char* out, uint32 capacity)
{
    const ThreadInfo* info = Threading::GetCurrentThreadInfo();
    if (info != nullptr && info->name[0] != '\0')
        Str::SNPrintf(out, int(capacity), "%s", info->name);
    else
        Str::SNPrintf(out, int(capacity), "Thread %u", Threading::GetCurrentThreadId());
}

enum class ETargetParse
{
    kOk,
    kBadPort,     // the host was taken, with the default port
    kHostTooLong, // nothing was taken
};

// "host[:port]". A host name is never cut: cut, it would name another machine.
ETargetParse ParseTarget(const char* value, char (&host)[Profiler::kMaxHostLength + 1], uint16& port)
{
    const char* colon = std::strchr(value, ':');
    const size_t hostLength = colon != nullptr ? size_t(colon - value) : std::strlen(value);
    if (hostLength > Profiler::kMaxHostLength)
        return ETargetParse::kHostTooLong;
    std::memcpy(host, value, hostLength);
    host[hostLength] = '\0';
    port = ProfilerProtocol::kDefaultViewerPort;
    if (colon == nullptr)
        return ETargetParse::kOk;
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(colon + 1, &end, 10);
    if (colon[1] < '0' || colon[1] > '9' || *end != '\0' || parsed == 0 || parsed > 65535)
        return ETargetParse::kBadPort;
    port = uint16(parsed);
    return ETargetParse::kOk;
}

void Profiler_Cmd(const CmdArgs& args)
{
    if (!Profiler::IsSupported())
    {
        MX_LOG_WARNING(
            "Can't activate Profiler, your CPU is not good enough (no support for `rdtscp` instruction) :(");
        return;
    }
    if (args.Count() > 1)
    {
        char host[Profiler::kMaxHostLength + 1];
        uint16 port = 0;
        if (ParseTarget(args[1], host, port) != ETargetParse::kOk)
        {
            MX_LOG_ERROR("Usage: /%s [host[:port]]", args[0]);
            return;
        }
        Profiler::SetTarget(host, port);
    }
    if (ProfilerSendThread::GetState() != EConnectionState::kConnected)
        Profiler::Activate(false);
    Profiler::Activate(true);
}

void ProfilerStop_Cmd(const CmdArgs&)
{
    Profiler::Activate(false);
}

bool EndsWith(const char* text, size_t length, const char* suffix)
{
    size_t n = std::strlen(suffix);
    return length >= n && std::memcmp(text + length - n, suffix, n) == 0;
}

void ProfilerSave_Cmd(const CmdArgs& args)
{
    if (ProfilerSendThread::GetState() != EConnectionState::kConnected)
    {
        MX_LOG_ERROR("Profiler connection must be active");
        return;
    }
    if (args.Count() != 3)
    {
        MX_LOG_ERROR(
            "Usage: /%s <filename> <compression>. Compression: 0 - no compression, 1 - zstd, 2 - lz4",
            args[0]);
        return;
    }
    char path[261];
    Str::SNPrintf(path, "%s", args[1]);
    size_t length = std::strlen(path);
    if (!EndsWith(path, length, ".mxprofiler") || path[length - 1] == '/' || path[length - 1] == '\\')
    {
        MX_LOG_ERROR("File extension must be .mxprofiler");
        return;
    }
    // The folder part; a bare drive prefix ("C:") is no folder.
    char folder[261];
    std::memcpy(folder, path, length + 1);
    size_t cut = length;
    while (cut > 0 && folder[cut - 1] != '/' && folder[cut - 1] != '\\')
        --cut;
    folder[cut > 0 ? cut - 1 : 0] = '\0';
    if (cut == 1)
        Str::SNPrintf(folder, "/");
    bool driveOnly = std::strlen(folder) == 2 && folder[1] == ':';
    if (!driveOnly && !ProfilerPlatform::FolderExists(folder))
    {
        MX_LOG_ERROR("Folder path for this file doesn't exist");
        return;
    }
    char* end = nullptr;
    unsigned long compression = std::strtoul(args[2], &end, 10);
    if (args[2][0] < '0' || args[2][0] > '9' || *end != '\0' || compression > 2)
    {
        MX_LOG_ERROR(
            "Incorrect compression mode. Compression: 0 \xE2\x80\x94 no compression, 1 \xE2\x80\x94 zstd, "
            "2 \xE2\x80\x94 lz4");
        return;
    }
    ProfilerSendThread::RequestSave(path, uint32(compression));
}
} // namespace

void Profiler::SetTarget(const char* host, uint16 port)
{
    Str::SNPrintf(GSettings.host, "%s", host != nullptr && host[0] != '\0' ? host : kLoopbackHost);
    GSettings.port = port;
}

void Profiler::Activate(bool on)
{
    if (!IsSupported() || on == GSettings.active)
        return;
    MX_ASSERT(GSettings.initialized);
    MX_ASSERT(Threading::IsMainThread());
    if (on)
    {
        Core::SetRecording(true);
        GSettings.active = true;
        // The sink joins after the connection attempt, so that its warning still reaches the
        // console when the program has no sink of its own yet, and before the thread runs, because
        // the sink list may only change while no other thread prints.
        ProfilerSendThread::Start(GSettings.host, GSettings.port, GSettings.trace,
                                  []
                                  {
                                      MX_ASSERT(!GLogSink.m_initialized);
                                      Log::AddSink(&GLogSink, Log::kMaskAll);
                                      GLogSink.m_initialized = true;
                                  });
    }
    else
    {
        Core::SetRecording(false);
        GSettings.active = false;
        // The thread goes before the sink: it may still log while it says goodbye.
        ProfilerSendThread::Stop();
        Log::RemoveSink(&GLogSink);
        GLogSink.m_initialized = false;
    }
}

void Profiler::Init(const StartOptions& options)
{
    GSettings.initialized = true;
    Core::SetThreadNameProvider(&NameFromRegistry);
    GSettings.trace = options.trace;
    SetTarget(kLoopbackHost, ProfilerProtocol::kDefaultViewerPort);
    if (options.hostPc != nullptr && options.hostPc[0] != '\0')
    {
        if (std::strlen(options.hostPc) <= kMaxHostLength)
            SetTarget(options.hostPc, ProfilerProtocol::kDefaultViewerPort);
        else
            MX_LOG_WARNING("Profiler: ignoring --hostpc: the host name is longer than %u characters",
                           kMaxHostLength);
    }
    if (options.profilerValue != nullptr && options.profilerValue[0] != '\0')
    {
        char parsedHost[kMaxHostLength + 1];
        uint16 port = 0;
        switch (ParseTarget(options.profilerValue, parsedHost, port))
        {
        case ETargetParse::kOk:
            SetTarget(parsedHost[0] != '\0' ? parsedHost : GSettings.host, port);
            break;
        case ETargetParse::kBadPort:
            MX_LOG_WARNING("Profiler: ignoring the port of --profiler %s", options.profilerValue);
            SetTarget(parsedHost[0] != '\0' ? parsedHost : GSettings.host, port);
            break;
        case ETargetParse::kHostTooLong:
            MX_LOG_WARNING("Profiler: ignoring --profiler: the host name is longer than %u characters",
                           kMaxHostLength);
            break;
        }
    }
    if (options.profiler && IsSupported())
        Activate(true);
}

void Profiler::Shutdown()
{
    if (GSettings.initialized)
        Activate(false);
}
} // namespace Morvex
