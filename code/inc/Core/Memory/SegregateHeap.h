#pragma once
// The engine's general-purpose heap: small requests come from pages of equal-sized cells
// (`HighFreqHeap`), larger ones from boundary-tagged chunks with segregated free lists
// (`LowFreqHeap`), both carved from superchunks of `PlatformVirtualMemory`, never from another heap.
// The heaps of the engine differ only in their parameter set (below).
//
// A SegregateHeap is a single-threaded object: its owner serialises every call (a lock around the
// global heap, a spin lock around the others). Two threads inside at once are reported by an
// assertion. Every block is aligned to 16 bytes.

#include "Core/Assert.h"
#include "Core/Memory/MemoryHeap.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
// A parameter set: smallLimit (requests up to this many bytes are small blocks), pageSize (small
// pages, a power of two up to 64 KiB), smallSuperchunkSize, granule (large-request rounding and
// free-list spacing), largeSuperchunkStep (large superchunks are multiples of it), MAX_SUPERCHUNKS
// (large superchunks at once) and splitRest (a chunk is split only when more bytes than this remain).
struct GlobalHeapParameters
{
    static constexpr uint32 kSmallLimit = 1024;
    static constexpr uint32 kPageSize = 64 * 1024;
    static constexpr uint64 kSmallSuperchunkSize = 4 * 1024 * 1024;
    static constexpr uint32 kGranule = 256;
    static constexpr uint64 kLargeSuperchunkStep = 4 * 1024 * 1024;
    static constexpr uint32 MAX_SUPERCHUNKS = 512;
    static constexpr uint32 kSplitRest = 271;
};

struct DictHeapParameters
{
    static constexpr uint32 kSmallLimit = 256;
    static constexpr uint32 kPageSize = 32 * 1024;
    static constexpr uint64 kSmallSuperchunkSize = 4 * 1024 * 1024;
    static constexpr uint32 kGranule = 64;
    static constexpr uint64 kLargeSuperchunkStep = 4 * 1024 * 1024;
    static constexpr uint32 MAX_SUPERCHUNKS = 512;
    static constexpr uint32 kSplitRest = 79;
};

struct SharedStringsHeapParameters
{
    static constexpr uint32 kSmallLimit = 256;
    static constexpr uint32 kPageSize = 32 * 1024;
    static constexpr uint64 kSmallSuperchunkSize = 4 * 1024 * 1024;
    static constexpr uint32 kGranule = 64;
    static constexpr uint64 kLargeSuperchunkStep = 1024 * 1024;
    static constexpr uint32 MAX_SUPERCHUNKS = 2048;
    static constexpr uint32 kSplitRest = 79;
};

struct StringsHeapParameters
{
    static constexpr uint32 kSmallLimit = 256;
    static constexpr uint32 kPageSize = 8 * 1024;
    static constexpr uint64 kSmallSuperchunkSize = 2 * 1024 * 1024;
    static constexpr uint32 kGranule = 128;
    static constexpr uint64 kLargeSuperchunkStep = 1024 * 1024;
    static constexpr uint32 MAX_SUPERCHUNKS = 2048;
    static constexpr uint32 kSplitRest = 143;
};

// The `ttl.Function` heap (function objects).
struct FunctionHeapParameters
{
    static constexpr uint32 kSmallLimit = 256;
    static constexpr uint32 kPageSize = 8 * 1024;
    static constexpr uint64 kSmallSuperchunkSize = 2 * 1024 * 1024;
    static constexpr uint32 kGranule = 128;
    static constexpr uint64 kLargeSuperchunkStep = 1024 * 1024;
    static constexpr uint32 MAX_SUPERCHUNKS = 2048;
    static constexpr uint32 kSplitRest = 143;
};

// Bytes, overhead and reservation of one part of a heap.
struct SegregateHeapPartStats
{
    uint64 used = 0;
    uint64 overhead = 0;
    uint64 reserved = 0;
};

// What a small block's page says about itself (diagnostics and tests).
struct SmallPageInfo
{
    void* page = nullptr;
    uint32 cellSize = 0;
    uint32 freeCount = 0;
    uint32 firstFree = 0; // cell index of the page's first free cell, 0 = none
};

namespace SegregateHeapDetail
{
// Detects two threads inside one part at once. Plain loads and stores rather than read-modify-write
// instructions: the check is a diagnostic for a caller's missing lock and must not cost the hot path
// a locked instruction.
class ReentrancyCounter
{
public:
    void Enter()
    {
        const uint32 previous = m_value.load(std::memory_order_relaxed);
        MX_ASSERT_MSG(previous == 0, "Heap entered by two threads at once");
        m_value.store(previous + 1, std::memory_order_relaxed);
    }
    void Leave() { m_value.store(m_value.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }

private:
    std::atomic<uint32> m_value{0};
};

constexpr uint32 Log2(uint64 value)
{
    uint32 result = 0;
    while (value > 1)
    {
        value >>= 1;
        ++result;
    }
    return result;
}
} // namespace SegregateHeapDetail

enum class SmallFreeResult
{
    Freed,
    NotInHeap,   // in no small superchunk of the heap
    NotABlock,   // inside one, but not the start of a cell of a page in use
    AlreadyFree, // a double free; nothing changed
};

// The small-block part: pages of equal cells per size class (16, 32, ... smallLimit bytes). Each page
// keeps its free cells in a LIFO list with their count; each class keeps the list of its pages that
// have free cells. Allocation and free touch one cell and its page header: both O(1).
template <typename Params>
class HighFreqHeap
{
public:
    static constexpr uint32 kNumClasses = SegregateHeapDetail::Log2(Params::kSmallLimit) - 3;
    static constexpr uint32 kMaxSuperchunks = 512;

    HighFreqHeap() = default;
    ~HighFreqHeap();
    HighFreqHeap(const HighFreqHeap&) = delete;
    HighFreqHeap& operator=(const HighFreqHeap&) = delete;

    // size: 1 .. smallLimit. Null only after the superchunk-limit assertion.
    void* Allocate(size_t size);
    // Frees `p` if it is a live cell of this part; otherwise says why not and changes nothing.
    SmallFreeResult Free(void* p);
    bool Contains(const void* p) const;
    // True when `p` is the start of a cell of a page in use (free or not); sets the cell size.
    bool IsBlock(const void* p, uint32& cellSize) const;
    bool GetPageInfo(const void* p, SmallPageInfo& info) const;
    void Visit(HeapVisitor& visitor) const;
    void Trim();
    SegregateHeapPartStats GetStats() const { return {m_used, m_overhead, m_reserved}; }

private:
    struct PageHeader;
    struct FreeCell;
    PageHeader* NewPage(uint32 sizeClass);
    bool IsOnPageFreeList(const PageHeader* page, uint32 index, uint32 cellSize) const;
    int32 FindSuperchunk(const void* p) const;

    // What every operation touches comes first, so that it shares the object's first cache lines.
    SegregateHeapDetail::ReentrancyCounter m_reentrancy;
    uint32 m_numSuperchunks = 0;
    uint64 m_used = 0;
    PageHeader* m_available[kNumClasses] = {}; // pages with free cells, per class
    PageHeader* m_freePages = nullptr;
    uint64 m_overhead = 0;
    uint64 m_reserved = 0;
    uint32 m_nextColor = 0;                     // cache colour of the next page formatted
    uint8* m_superchunks[kMaxSuperchunks] = {}; // ascending addresses
};

// The large-block part: boundary-tagged chunks in superchunks, 512 exact free lists (with a bitmap of
// the non-empty ones) and one first-fit overflow list. Requests too large for a chunk's 32-bit fields
// (above kMaxChunkPayload) get a dedicated `PlatformVirtualMemory` block of their own, described by
// 64-bit fields in the superchunk table and given back as soon as they are freed.
template <typename Params>
class LowFreqHeap
{
public:
    static constexpr uint32 kNumExactLists = 512;
    static constexpr uint64 kListLimit =
        uint64(Params::kSmallLimit) + kNumExactLists * uint64(Params::kGranule);
    static constexpr uint64 kMaxChunkPayload = uint64(1) << 30;
    static constexpr uint32 kSuperchunkOverhead = 64;

    LowFreqHeap();
    ~LowFreqHeap();
    LowFreqHeap(const LowFreqHeap&) = delete;
    LowFreqHeap& operator=(const LowFreqHeap&) = delete;

    // size > smallLimit. Null only after the superchunk-limit assertion, or when a test hook let a
    // failed system allocation return.
    void* Allocate(size_t size);
    // Frees `p` if it is a live block of this part; otherwise returns false and changes nothing.
    bool Free(void* p);
    // In-place change of the requested size; newSize must not exceed the block's capacity.
    void Resize(void* p, size_t newSize);
    bool Contains(const void* p) const { return FindSuperchunk(p) >= 0; }
    // True when `p` is a live block of this part; sets its capacity and requested size. Reports
    // nothing.
    bool IsBlock(const void* p, uint64& capacity, uint64& requested) const;
    void Visit(HeapVisitor& visitor) const;
    void Trim();
    SegregateHeapPartStats GetStats() const { return {m_used, m_overhead, m_reserved}; }

private:
    struct Chunk;
    struct FreeLink
    {
        FreeLink* next;
        FreeLink* prev;
    };
    struct Superchunk
    {
        uint8* base;
        uint64 size;
        uint64 requested; // dedicated blocks only
        bool dedicated;
    };

    void* AllocateDedicated(size_t size);
    Chunk* FindChunk(uint64 rounded);
    Chunk* NewSuperchunk(uint64 rounded);
    void DumpSuperchunks() const;
    int32 FindSuperchunk(const void* p) const;
    bool InsertSuperchunk(const Superchunk& entry);
    void RemoveSuperchunk(uint32 index);
    void InsertHead(Chunk* chunk);
    void InsertOverflowTail(Chunk* chunk);
    void Unlink(Chunk* chunk);
    void SortOverflowList();

    bool IsLiveChunk(const Superchunk& superchunk, const void* p) const;

    // What every operation touches comes first, so that it shares the object's first cache lines.
    SegregateHeapDetail::ReentrancyCounter m_reentrancy;
    uint32 m_superchunksAllocated = 0;
    uint64 m_used = 0;
    uint64 m_overhead = 0;
    uint64 m_reserved = 0;
    uint64 m_bitmap[kNumExactLists / 64] = {};
    FreeLink m_lists[kNumExactLists + 1]; // sentinels; the last one heads the overflow list
    uint32 m_listCounts[kNumExactLists] = {};
    Superchunk m_superchunks[Params::MAX_SUPERCHUNKS] = {}; // ascending addresses
};

template <typename Params>
class SegregateHeap : public MemoryHeap
{
public:
    using Parameters = Params;

    // `name`: see MemoryHeap. Takes no memory until the first allocation.
    explicit SegregateHeap(const char* name) : MemoryHeap(name) {}
    // Gives every superchunk back; blocks still live are abandoned.
    ~SegregateHeap() override = default;

    // A block of at least `size` bytes, aligned to 16. Size 0 is a caller error (reported as
    // "Allocation with 0 size") and is then served as 1 byte. Never null while the system has memory
    // (its exhaustion ends the process); null only after a superchunk-limit assertion returned.
    void* Allocate(size_t size);
    // `size`: the caller's size or 0 when unknown (not checked). Null does nothing. A pointer that
    // is not a live block of this heap (foreign, interior or already freed) is reported by an
    // assertion and ignored.
    void Free(void* p, size_t size = 0);
    // Null allocates. Keeps the block in place while `newSize` fits its capacity; otherwise moves it
    // (copying what both sizes hold) and frees the old one. A foreign pointer is reported and yields
    // null, leaving everything as it was.
    void* Reallocate(void* p, size_t newSize);
    // Cell size of a small block, payload of a large one; 0 (after an assertion) for a pointer that is
    // not a live block of this heap.
    size_t GetBlockCapacity(const void* p) const;
    // True when `p` lies in one of this heap's superchunks. Reports nothing.
    bool Owns(const void* p) const { return m_small.Contains(p) || m_large.Contains(p); }

    // Statistics (GetStats) are current after every call, except the uptime stamps of the last
    // allocation and free, which are refreshed on every 64th allocation and every 64th free.

    // Superchunks first, then live blocks: small ones with their cell size, large ones with their
    // requested size, all as kUntaggedBlock.
    void Visit(HeapVisitor& visitor) override;
    // Wholly free pages go back to the free-page list; wholly free large superchunks to the system.
    void Trim() override;

    SegregateHeapPartStats GetSmallStats() const { return m_small.GetStats(); }
    SegregateHeapPartStats GetLargeStats() const { return m_large.GetStats(); }
    // False when `p` is not a small block of this heap.
    bool GetSmallPageInfo(const void* p, SmallPageInfo& info) const { return m_small.GetPageInfo(p, info); }

private:
    // Operations stamp the statistics' uptime once every 64 of them: one reading of the clock costs as
    // much as a small-block operation itself, and the stamps only say roughly when the heap was last
    // busy.
    static constexpr uint32 kStampInterval = 63;

    void UpdateStats();

    HighFreqHeap<Params> m_small;
    LowFreqHeap<Params> m_large;
};

extern template class SegregateHeap<GlobalHeapParameters>;
extern template class SegregateHeap<DictHeapParameters>;
extern template class SegregateHeap<SharedStringsHeapParameters>;
extern template class SegregateHeap<StringsHeapParameters>;
extern template class SegregateHeap<FunctionHeapParameters>;
} // namespace Morvex
