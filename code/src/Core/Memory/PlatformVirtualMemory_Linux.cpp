// Private anonymous mappings. mmap aligns only to the system page, so blocks are over-mapped by the
// alignment and the unaligned head and tail are given back.

#include "Core/Memory/PlatformVirtualMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace Morvex
{
void* PlatformVirtualMemory_Map(void* hint, size_t size, size_t alignment)
{
    const int protection = PROT_READ | PROT_WRITE;
    if (hint != nullptr)
    {
        void* p = mmap(hint, size, protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (p == MAP_FAILED)
            return nullptr;
        if (p != hint)
        {
            // Kernels before 4.17 take the flag as a plain hint.
            munmap(p, size);
            return nullptr;
        }
        return p;
    }
    if (size > SIZE_MAX - alignment)
        return nullptr;
    const size_t mapped = size + alignment;
    void* raw = mmap(nullptr, mapped, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (start + alignment - 1) & ~(static_cast<uintptr_t>(alignment) - 1);
    const size_t head = aligned - start;
    const size_t tail = mapped - head - size;
    if (head != 0)
        munmap(raw, head);
    if (tail != 0)
        munmap(reinterpret_cast<void*>(aligned + size), tail);
    return reinterpret_cast<void*>(aligned);
}

void PlatformVirtualMemory_Unmap(void* block, size_t size)
{
    munmap(block, size);
}

uint32 PlatformVirtualMemory_PageSize()
{
    const long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? static_cast<uint32>(pageSize) : 4096u;
}
} // namespace Morvex
