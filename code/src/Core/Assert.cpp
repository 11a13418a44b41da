#include "Core/Assert.h"

#include "Core/Log.h"
#include "Core/Str.h"

#include <atomic>

namespace Morvex
{
namespace
{
std::atomic<AssertHandler> GAssertHandler{&DefaultAssertHandler};
}

AssertHandler SetAssertHandler(AssertHandler handler)
{
    return GAssertHandler.exchange(handler ? handler : &DefaultAssertHandler);
}

AssertHandler GetAssertHandler()
{
    return GAssertHandler.load();
}

bool AssertFailed(const char* file, int32 line, const char* expression, const char* message)
{
    GAssertHandler.load()(file, line, expression, message);
    return Platform_IsDebuggerPresent();
}

void DefaultAssertHandler(const char* file, int32 line, const char* expression, const char* message)
{
    char report[1025];
    int n = Str::SNPrintf(report, sizeof(report), "%s(%d): ASSERT: %s", file ? file : "", line,
                          expression ? expression : "");
    if (message != nullptr)
        Str::SNPrintf(report + n, static_cast<int>(sizeof(report)) - n, ": %s", message);
    Log::Printf(file, line, Log::Fatal, "%s", report);
    if (Platform_IsDebuggerPresent())
        return;
    Platform_TerminateWithTrap();
}
} // namespace Morvex
