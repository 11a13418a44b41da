// The debug heap's reservation: an inaccessible mapping without swap accounting, opened page by page.

#include "DebugHeapPlatform.h"

#include <sys/mman.h>
#include <unistd.h>

namespace Morvex
{
void* DebugHeapPlatform::Reserve(uint64 size)
{
    void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void DebugHeapPlatform::Release(void* base, uint64 size)
{
    ::munmap(base, size);
}

bool DebugHeapPlatform::Commit(void* at, uint64 size)
{
    return ::mprotect(at, size, PROT_READ | PROT_WRITE) == 0;
}

void DebugHeapPlatform::Decommit(void* at, uint64 size)
{
    // A fresh inaccessible mapping over the range drops its pages and makes any touch fault.
    ::mmap(at, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
}

uint64 DebugHeapPlatform::PageSize()
{
    static const uint64 page = static_cast<uint64>(::sysconf(_SC_PAGESIZE));
    return page;
}
} // namespace Morvex
