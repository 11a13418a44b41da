// Physical memory from /proc/meminfo; the commit limit and what is committed stand for the page
// file's total and use.

#include "SystemMemory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Morvex
{
bool ReadSystemMemoryStatus(SystemMemoryStatus& out)
{
    FILE* f = std::fopen("/proc/meminfo", "re");
    if (f == nullptr)
        return false;
    unsigned long long total = 0, available = 0, commitLimit = 0, committed = 0;
    char line[256];
    while (std::fgets(line, sizeof(line), f) != nullptr)
    {
        unsigned long long kb = 0;
        if (std::sscanf(line, "MemTotal: %llu kB", &kb) == 1)
            total = kb;
        else if (std::sscanf(line, "MemAvailable: %llu kB", &kb) == 1)
            available = kb;
        else if (std::sscanf(line, "CommitLimit: %llu kB", &kb) == 1)
            commitLimit = kb;
        else if (std::sscanf(line, "Committed_AS: %llu kB", &kb) == 1)
            committed = kb;
    }
    std::fclose(f);
    if (total == 0)
        return false;
    out.totalPhysical = total * 1024;
    out.availablePhysical = available * 1024;
    out.memoryLoad = static_cast<uint32>((total - (available < total ? available : total)) * 100 / total);
    out.totalPageFile = commitLimit * 1024;
    out.availablePageFile = committed < commitLimit ? (commitLimit - committed) * 1024 : 0;
    return true;
}
// The switches are read where the process's own command line is: /proc/self/cmdline holds it from
// the start, before main has run and before anything has allocated.
DebugHeapSwitches ReadDebugHeapSwitches()
{
    DebugHeapSwitches switches;
    static char buffer[32768];
    const int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return switches;
    size_t length = 0;
    while (length < sizeof(buffer) - 1)
    {
        const ssize_t got = ::read(fd, buffer + length, sizeof(buffer) - 1 - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        length += static_cast<size_t>(got);
    }
    ::close(fd);
    buffer[length] = 0;
    // One argument per NUL-terminated token, the program's name first.
    for (size_t at = 0; at < length; at += std::strlen(buffer + at) + 1)
    {
        if (at == 0)
            continue;
        switches.debugHeap = switches.debugHeap || std::strcmp(buffer + at, "--debug-heap") == 0;
        switches.debugHeapPools =
            switches.debugHeapPools || std::strcmp(buffer + at, "--debug-heap-pools") == 0;
    }
    switches.debugHeapPools = switches.debugHeapPools && switches.debugHeap;
    return switches;
}

uint32 ReadCurrentThreadId()
{
    return static_cast<uint32>(::syscall(SYS_gettid));
}
} // namespace Morvex
