// The temp heap: a TLSF arena behind a spin lock, with the global heap as overflow.

#include "Core/Memory/TempHeap.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "Core/Timing/Uptime.h"

#include <thread>

namespace Morvex
{
namespace
{
inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

void AddBlockToVisitor(void* context, void* block, size_t size, bool used)
{
    if (used)
        static_cast<HeapVisitor*>(context)->OnBlock(block, size, kUntaggedBlock);
}
} // namespace

TempHeap::TempHeap(const char* name) : MemoryHeap(name), m_clock(&GetUptimeSeconds)
{
}

TempHeap::~TempHeap()
{
    MX_ASSERT(m_arenaVa.ptr == nullptr);
}

void TempHeap::Lock()
{
    for (uint32 spins = 0; m_lock.exchange(true, std::memory_order_acquire);)
    {
        while (m_lock.load(std::memory_order_relaxed))
        {
            // The holder may have been preempted on a busy machine: stop burning its core.
            if (++spins % 64 == 0)
                std::this_thread::yield();
            else
                CpuRelax();
        }
    }
}

void TempHeap::SetClock(Clock clock)
{
    m_clock = clock != nullptr ? clock : &GetUptimeSeconds;
}

void TempHeap::InitArena()
{
    Lock();
    const bool fresh = MX_VERIFY(m_arenaVa.ptr == nullptr);
    Unlock();
    if (!fresh)
        return;
    void* arena = PlatformVirtualMemory::Allocate(kArenaSize);
    if (arena == nullptr)
        return;
    Lock();
    m_arenaVa.ptr = arena;
    m_arenaVa.size = kArenaSize;
    m_tlsf.Create(arena, kArenaSize);
    m_stats.reserved = kArenaSize;
    if (m_stats.reserved > m_stats.peakReserved)
        m_stats.peakReserved = m_stats.reserved;
    m_stats.overhead = Tlsf::kPoolOverhead;
    Unlock();
}

void TempHeap::ShutdownArena()
{
    Lock();
    const bool empty = MX_VERIFY(m_stats.used == 0);
    ArenaVa arena = m_arenaVa;
    if (empty)
    {
        m_tlsf.Destroy();
        m_arenaVa = ArenaVa();
        m_stats.reserved = 0;
        m_stats.overhead = 0;
    }
    Unlock();
    if (empty && arena.ptr != nullptr)
        PlatformVirtualMemory::Free(arena.ptr, arena.size);
}

void* TempHeap::Alloc(size_t size)
{
    bool warn = false;
    uint64 used = 0;
    uint64 reserved = 0;
    Lock();
    void* p = m_tlsf.Alloc(size);
    if (p != nullptr)
    {
        const size_t blockSize = m_tlsf.GetBlockSize(p);
        m_stats.used += blockSize;
        m_stats.overhead += Tlsf::kBlockOverhead;
        if (m_stats.used > m_stats.peakUsed)
            m_stats.peakUsed = m_stats.used;
        ++m_stats.allocations;
        m_stats.lastAllocation = GetUptimeSeconds();
        Unlock();
        return p;
    }
    if (m_arenaVa.ptr != nullptr)
    {
        const double now = m_clock();
        if (!m_warned || now - m_lastWarning > kWarningInterval)
        {
            m_warned = true;
            m_lastWarning = now;
            warn = true;
            used = m_stats.used;
            reserved = m_stats.reserved;
        }
    }
    Unlock();
    // Logging may take the log sinks' locks and allocate: never under the spin lock.
    if (warn)
    {
        StaticString<64> request;
        StaticString<64> usedText;
        StaticString<64> reservedText;
        MX_LOG_WARNING("TempHeap exhausted: allocation request %s, used %s, reserved %s",
                       Str::FormatSize(request, size), Str::FormatSize(usedText, used),
                       Str::FormatSize(reservedText, reserved));
    }
    return Memory::Alloc(size);
}

void TempHeap::Free(void* p, size_t size)
{
    if (p == nullptr)
        return;
    Lock();
    if (m_arenaVa.ptr == nullptr ||
        reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m_arenaVa.ptr) >= m_arenaVa.size)
    {
        Unlock();
        Memory::Free(p, size);
        return;
    }
    const size_t freed = m_tlsf.Free(p);
    if (freed != 0)
    {
        m_stats.used -= freed;
        m_stats.overhead -= Tlsf::kBlockOverhead;
        ++m_stats.frees;
        m_stats.lastFree = GetUptimeSeconds();
    }
    Unlock();
    MX_ASSERT_MSG(freed != 0, "Free of a pointer that is not a live block of the temp heap");
}

void TempHeap::Maintain()
{
    Lock();
    Unlock();
}

void TempHeap::Visit(HeapVisitor& visitor)
{
    Lock();
    if (m_arenaVa.ptr != nullptr)
    {
        visitor.OnSuperchunk(m_arenaVa.ptr, m_arenaVa.size);
        m_tlsf.Walk(&AddBlockToVisitor, &visitor);
    }
    Unlock();
}
} // namespace Morvex
