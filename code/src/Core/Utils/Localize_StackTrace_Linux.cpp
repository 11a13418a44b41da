#include "Localize_StackTrace.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

namespace Morvex
{
namespace
{
// The last two components of a path, "bin/CrashReporter" for "/opt/game/bin/CrashReporter".
const char* ParentAndName(const char* path)
{
    const char* last = std::strrchr(path, '/');
    if (last == nullptr)
        return path;
    const char* start = last;
    while (start > path && start[-1] != '/')
        --start;
    return start == path && *start != '/' ? path : start;
}

bool IsOwnFrame(const char* function)
{
    static const char* const kOwnPrefixes[] = {
        "Morvex::Localize::", "Morvex::LocalizeStackTrace::", "Morvex::(anonymous namespace)::ReportUnknown"};
    for (const char* prefix : kOwnPrefixes)
        if (std::strncmp(function, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}
} // namespace

// Without a symbol store the nearest honest equivalent of "source file(line): function" is the
// module's folder and name with line 0 and the dynamic symbol's demangled name; frames of
// functions the dynamic symbol table does not name are left out, as frames without a function
// name are.
void LocalizeStackTrace::FormatCallerStack(uint32 maxFrames, StaticString2048_t& out)
{
    constexpr int kMaxCaptured = 64;
    if (maxFrames > 16)
        maxFrames = 16;
    void* frames[kMaxCaptured];
    const int count = ::backtrace(frames, kMaxCaptured);
    uint32 written = 0;
    for (int i = 1; i < count && written < maxFrames; ++i)
    {
        Dl_info info;
        if (::dladdr(frames[i], &info) == 0 || info.dli_sname == nullptr)
            continue;
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        const char* function = status == 0 && demangled != nullptr ? demangled : info.dli_sname;
        if (!IsOwnFrame(function))
        {
            out.AppendFormat("  %s(%d): %s\n", ParentAndName(info.dli_fname ? info.dli_fname : "?"), 0,
                             function);
            ++written;
        }
        std::free(demangled);
    }
}
} // namespace Morvex
