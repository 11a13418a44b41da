// Physical memory from /proc/meminfo; the commit limit and what is committed stand for the page
// file's total and use.

#include "SystemMemory.h"

#include <cstdio>
#include <cstring>

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
} // namespace Morvex
