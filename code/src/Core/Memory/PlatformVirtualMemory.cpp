// Statistics, checks and the out-of-memory path around the platform's mapping calls.

#include "Core/Memory/PlatformVirtualMemory.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/StaticString.h"
#include "Core/Str.h"

#include <cstdlib>
#include <mutex>

namespace Morvex
{
namespace
{
constexpr uint32 kAllocationGranularity = 65536;

struct State
{
    // Guards the statistics only: the mapping runs outside it, and the out-of-memory callback (the
    // usage report) reads the statistics again.
    std::mutex lock;
    PlatformVirtualMemoryStats stats;
    PlatformVirtualMemory::OutOfMemoryCallback onOutOfMemory = nullptr;
    PlatformVirtualMemory::TestHooks hooks;
};

// Constant-initialised: allocations arrive from other libraries' static initialisers.
constinit State GState;

PlatformVirtualMemoryConstants ReadConstants()
{
    PlatformVirtualMemoryConstants constants;
    constants.m_pageSize = PlatformVirtualMemory_PageSize();
    constants.m_allocationGranularity = kAllocationGranularity;
    return constants;
}

[[noreturn]] void Terminate()
{
    // The same status as an abort, without running handlers that may allocate again.
    std::_Exit(134);
}
} // namespace

void PlatformVirtualMemory::Init(OutOfMemoryCallback callback)
{
    std::lock_guard<std::mutex> guard(GState.lock);
    GState.stats = PlatformVirtualMemoryStats();
    GState.onOutOfMemory = callback;
}

void* PlatformVirtualMemory::Allocate(size_t size, const PlatformVirtualMemoryExtra& extra)
{
    const PlatformVirtualMemoryConstants constants = GetConstants();
    MX_ASSERT(size >= constants.m_allocationGranularity);
    MX_ASSERT((size % constants.m_allocationGranularity) == 0);
    MX_ASSERT(((uintptr_t)extra.m_base % constants.m_allocationGranularity) == 0);

    void* block = nullptr;
    // A size the checks refused is not handed to the system: it fails like an exhausted system.
    if (size >= constants.m_allocationGranularity && size % constants.m_allocationGranularity == 0 &&
        (uintptr_t)extra.m_base % constants.m_allocationGranularity == 0)
    {
        block = GState.hooks.map != nullptr
                    ? GState.hooks.map(extra.m_base, size)
                    : PlatformVirtualMemory_Map(extra.m_base, size, constants.m_allocationGranularity);
    }
    if (block != nullptr)
    {
        std::lock_guard<std::mutex> guard(GState.lock);
        PlatformVirtualMemoryStats& stats = GState.stats;
        stats.m_allocated += size;
        ++stats.m_liveCount;
        ++stats.m_totalCount;
        if (stats.m_allocated > stats.m_peak)
            stats.m_peak = stats.m_allocated;
        return block;
    }

    StaticString<64> formatted;
    Log::Printf(__FILE__, __LINE__, Log::Fatal,
                "================== Out of memory ¯\\_(⊙︿⊙)_/¯ ==================");
    Log::Printf(__FILE__, __LINE__, Log::Fatal, "%s", "");
    Log::Printf(__FILE__, __LINE__, Log::Fatal,
                "PlatformVirtualMemory::Allocate() failed to allocate %s block",
                Str::FormatSize(formatted, size));
    OutOfMemoryCallback callback;
    void (*terminate)();
    {
        std::lock_guard<std::mutex> guard(GState.lock);
        callback = GState.onOutOfMemory;
        terminate = GState.hooks.terminate;
    }
    if (callback != nullptr)
        callback();
    if (terminate == nullptr)
        Terminate();
    terminate();
    return nullptr;
}

void PlatformVirtualMemory::Free(void* block, size_t size)
{
    if (block == nullptr)
        return;
    if (GState.hooks.unmap != nullptr)
        GState.hooks.unmap(block, size);
    else
        PlatformVirtualMemory_Unmap(block, size);
    std::lock_guard<std::mutex> guard(GState.lock);
    PlatformVirtualMemoryStats& stats = GState.stats;
    MX_ASSERT(stats.m_allocated >= size);
    stats.m_allocated = stats.m_allocated >= size ? stats.m_allocated - size : 0;
    if (stats.m_liveCount > 0)
        --stats.m_liveCount;
}

PlatformVirtualMemoryStats PlatformVirtualMemory::GetStats()
{
    std::lock_guard<std::mutex> guard(GState.lock);
    return GState.stats;
}

PlatformVirtualMemoryConstants PlatformVirtualMemory::GetConstants()
{
    // Read once; every thread sees the same values, so the race to fill them is harmless.
    static const PlatformVirtualMemoryConstants constants = ReadConstants();
    return constants;
}

PlatformVirtualMemory::TestHooks PlatformVirtualMemory::SetTestHooks(const TestHooks& hooks)
{
    std::lock_guard<std::mutex> guard(GState.lock);
    TestHooks previous = GState.hooks;
    GState.hooks = hooks;
    return previous;
}
} // namespace Morvex
