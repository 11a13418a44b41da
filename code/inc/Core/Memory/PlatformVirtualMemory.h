#pragma once
// The engine's only path to the operating system's memory: whole blocks of address space, committed
// and readable/writable, aligned to the allocation granularity (64 KiB). Thread-safe (one lock around
// the statistics; the mapping itself runs outside it).
//
// Allocation never fails towards the caller: when the system refuses, the out-of-memory lines are
// logged at Fatal, the out-of-memory callback runs and the process ends.

#include "Core/Types.h"

namespace Morvex
{
struct PlatformVirtualMemoryExtra
{
    // Address the block should start at (a multiple of the granularity), or null for anywhere. A hint
    // that cannot be honoured exactly is a failure (the out-of-memory path), never another address.
    void* m_base = nullptr;
};

struct PlatformVirtualMemoryStats
{
    uint64 m_allocated = 0; // bytes currently held
    uint64 m_peak = 0;      // highest m_allocated so far
    uint64 m_liveCount = 0; // blocks currently held
    uint64 m_totalCount = 0;
};

struct PlatformVirtualMemoryConstants
{
    uint32 m_pageSize = 0;
    uint32 m_allocationGranularity = 0; // 65536: the alignment and size unit of every block
};

class PlatformVirtualMemory
{
public:
    // Runs on the failing thread after the out-of-memory lines, with no lock held; the process ends
    // when it returns.
    using OutOfMemoryCallback = void (*)();

    // Resets the statistics and sets the callback (null: none). Call before the first Allocate.
    static void Init(OutOfMemoryCallback callback);

    // `size`: a non-zero multiple of the granularity (assertions otherwise). Returns a zero-filled
    // block aligned to the granularity; never null (see above). Only when a test hook has replaced the
    // process termination does a failed allocation return null.
    static void* Allocate(size_t size, const PlatformVirtualMemoryExtra& extra = {});
    // Gives back a whole block with the size it was allocated with. Null does nothing.
    static void Free(void* block, size_t size);

    static PlatformVirtualMemoryStats GetStats();
    static PlatformVirtualMemoryConstants GetConstants();

    // Test seams: replace the system calls and the process termination. A null member keeps the real
    // one. `map` returns null for a failure; the heaps never touch the bytes of a block whose payload
    // is the block itself (dedicated blocks of huge requests), so a test may hand out an address it
    // does not own for those. Swap only while no other thread uses this class; returns the previous
    // hooks.
    struct TestHooks
    {
        void* (*map)(void* hint, size_t size) = nullptr;
        void (*unmap)(void* block, size_t size) = nullptr;
        void (*terminate)() = nullptr;
    };
    static TestHooks SetTestHooks(const TestHooks& hooks);
};

// The system calls behind the class (one implementation per platform). Map returns null on failure;
// a non-null hint must be honoured exactly or the call fails.
void* PlatformVirtualMemory_Map(void* hint, size_t size, size_t alignment);
void PlatformVirtualMemory_Unmap(void* block, size_t size);
uint32 PlatformVirtualMemory_PageSize();
} // namespace Morvex
