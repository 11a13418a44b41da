#pragma once
// The base of every engine heap: its name, its running statistics, a walk over its live blocks and a
// trim. The heaps themselves are single-threaded objects; their owners serialise access.

#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
#define MX_HEAP_NAME_STR2(x) #x
#define MX_HEAP_NAME_STR(x) MX_HEAP_NAME_STR2(x)
// A heap's name as the memory report shows it: "<short name>:<source file>:<line>" of the place that
// makes the heap.
#define MX_HEAP_NAME(shortName) shortName ":" __FILE__ ":" MX_HEAP_NAME_STR(__LINE__)

// Tag index reported for the blocks of untagged heaps.
constexpr uint16 kUntaggedBlock = 0xFFFF;

struct MemoryHeapStats
{
    uint64 used = 0;     // bytes handed out (cell sizes for small blocks, requested size for large)
    uint64 peakUsed = 0; // highest `used` so far
    uint64 overhead = 0; // headers, rounding slack, borders
    uint64 reserved = 0; // bytes held from the system
    uint64 peakReserved = 0;
    uint32 allocations = 0;
    uint32 frees = 0;
    float smallShare = 0.0f;        // small-block used / (used + 1)
    float smallReserveShare = 0.0f; // small-block reserved / (reserved + 1)
    double lastAllocation = 0.0;    // uptime in seconds
    double lastFree = 0.0;
};

// Receives a heap's superchunks and live blocks. Not owned by the heap; must outlive the call.
class HeapVisitor
{
public:
    virtual void OnSuperchunk(void* base, uint64 size)
    {
        (void)base;
        (void)size;
    }
    // One live block: the address the heap handed out, its size and its tag index (kUntaggedBlock
    // for untagged heaps; tagged heaps report the caller's address, size and tag).
    virtual void OnBlock(void* block, uint64 size, uint16 tag) = 0;

protected:
    ~HeapVisitor() = default;
};

class MemoryHeap
{
public:
    // `name`: "<short name>:<source path>:<line>"; must live as long as the heap.
    constexpr explicit MemoryHeap(const char* name) : m_name(name) {}
    virtual ~MemoryHeap() = default;
    MemoryHeap(const MemoryHeap&) = delete;
    MemoryHeap& operator=(const MemoryHeap&) = delete;

    // Extra lines for the detailed memory report (only called when HasDetails()).
    virtual void DumpDetails() {}
    virtual void Visit(HeapVisitor& visitor) = 0;
    // Gives wholly free pages and superchunks back where the heap's design allows.
    virtual void Trim() = 0;
    // What the heap recorded of a live block (as its visit reports it): the allocation number and
    // up to `capacity` return addresses of the allocating call. 0 when nothing was recorded, which
    // is all that heaps other than the debug heap record. Same serialisation as Visit.
    virtual uint32 GetAllocationNumber(const void* block) const
    {
        (void)block;
        return 0;
    }
    virtual uint32 GetFrames(const void* block, void** frames, uint32 capacity) const
    {
        (void)block;
        (void)frames;
        (void)capacity;
        return 0;
    }

    const char* GetName() const { return m_name; }
    // The part of the name before the first ':'.
    StrView GetShortName() const
    {
        uint32 n = 0;
        while (m_name[n] != 0 && m_name[n] != ':')
            ++n;
        return StrView(m_name, n);
    }
    const MemoryHeapStats& GetStats() const { return m_stats; }
    bool HasDetails() const { return m_hasDetails; }

protected:
    MemoryHeapStats m_stats;
    bool m_hasDetails = false;
    const char* m_name;
};
} // namespace Morvex
