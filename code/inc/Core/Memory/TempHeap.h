#pragma once
// The "Temp" heap: a fixed arena of 128 KiB for short-lived blocks, so that they do not fragment the
// global heap. When the arena has no room, the global heap serves the request instead (with a
// warning at most every 5 seconds). Thread-safe: a spin lock guards every call.

#include "Core/Memory/MemoryHeap.h"
#include "Core/Memory/Tlsf.h"

#include <atomic>

namespace Morvex
{
class TempHeap final : public MemoryHeap
{
public:
    static constexpr size_t kArenaSize = 0x20000;
    static constexpr double kWarningInterval = 5.0;

    // `name`: see MemoryHeap. The arena is taken by InitArena, not here.
    explicit TempHeap(const char* name);
    // Asserts that the arena was shut down; an arena still holding blocks is left mapped.
    ~TempHeap() override;

    // Takes the arena from PlatformVirtualMemory. Asserts "m_arenaVa.ptr == nullptr" (once only).
    void InitArena();
    // Gives the arena back. Asserts "m_stats.used == 0"; with blocks still live the arena stays, so
    // that their frees remain valid.
    void ShutdownArena();

    // A block of at least `size` bytes aligned to 16 (0 is served as the smallest block); never
    // null. From the arena when it has room, else from the global heap (Memory::Alloc).
    void* Alloc(size_t size);
    // Returns a block of this heap or of its fallback (routed by address); `size` may be 0 when
    // unknown. Null does nothing; an arena pointer that is not a live block is reported and ignored.
    void Free(void* p, size_t size);
    // Takes and releases the lock (the arena needs no upkeep).
    void Maintain();

    void Visit(HeapVisitor& visitor) override;
    void Trim() override { Maintain(); }

    // Test seam: the clock of the exhaustion warning, in seconds (null restores the uptime clock).
    using Clock = double (*)();
    void SetClock(Clock clock);

private:
    void Lock();
    void Unlock() { m_lock.store(false, std::memory_order_release); }

    struct ArenaVa
    {
        void* ptr = nullptr;
        size_t size = 0;
    };

    ArenaVa m_arenaVa;
    Tlsf m_tlsf;
    std::atomic<bool> m_lock{false};
    Clock m_clock;
    bool m_warned = false; // no warning yet: the first exhaustion always warns
    double m_lastWarning = 0.0;
};
} // namespace Morvex
