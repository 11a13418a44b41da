// Debugger presence and breakpoints on Linux: a tracer shows up as a non-zero TracerPid in
// /proc/self/status; a breakpoint is SIGTRAP, which a debugger stops on and can continue past.

#include "Core/Assert.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace Morvex
{
bool Platform_IsDebuggerPresent()
{
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[4096];
    size_t used = 0;
    while (used < sizeof(buffer) - 1)
    {
        ssize_t n = ::read(fd, buffer + used, sizeof(buffer) - 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    buffer[used] = 0;
    const char* field = std::strstr(buffer, "TracerPid:");
    if (field == nullptr)
        return false;
    return std::strtol(field + 10, nullptr, 10) != 0;
}

void Platform_DebugBreak()
{
    std::raise(SIGTRAP);
}
void Platform_TerminateWithTrap()
{
    // Restore the default action so that no handler of the game's or ours can swallow the trap,
    // then make sure the process is gone even if SIGTRAP is blocked.
    std::signal(SIGTRAP, SIG_DFL);
    std::raise(SIGTRAP);
    _exit(128 + SIGTRAP);
}
} // namespace Morvex
