// The segregated heap's two parts and the front that routes between them.

#include "Core/Memory/SegregateHeap.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/Timing/Uptime.h"

#include <bitset>
#include <cstring>

namespace Morvex
{
namespace
{
constexpr uint64 RoundUp(uint64 value, uint64 unit)
{
    return (value + unit - 1) / unit * unit;
}

// Marks a free small cell; it sits where a tagged heap keeps the upper half of a tag pointer, which no
// user-space address has, so a live cell practically never carries it. A marked cell is still
// confirmed on its page's list before a free is refused.
constexpr uint32 kFreeCellMark = 0xF4EEC311u;
// Check word of an allocated chunk (xor its size), cleared when the chunk is freed.
constexpr uint32 kChunkInUse = 0xA110C8EDu;
constexpr uint16 kNoClass = 0xFFFF;

class ReentrancyScope
{
public:
    explicit ReentrancyScope(SegregateHeapDetail::ReentrancyCounter& counter) : m_counter(counter)
    {
        m_counter.Enter();
    }
    ~ReentrancyScope() { m_counter.Leave(); }
    ReentrancyScope(const ReentrancyScope&) = delete;
    ReentrancyScope& operator=(const ReentrancyScope&) = delete;

private:
    SegregateHeapDetail::ReentrancyCounter& m_counter;
};
} // namespace

// ---------------------------------------------------------------------------------------------------
// HighFreqHeap

// At the start of every page, in the room of cell 0. Cells start `color` bytes into the page: cells
// of a power-of-two size at the same offset in every page would all fall on the same few sets of
// the processor's caches (a 1 KiB cell uses one set in sixteen), so each new page of a class shifts
// its cells by another cache line.
template <typename Params>
struct HighFreqHeap<Params>::PageHeader
{
    PageHeader* nextAvailable; // next page of the class with free cells, or next page of the free-page list
    uint16 freeCount;
    uint16 sizeClass; // kNoClass while on the free-page list (or never formatted)
    uint16 m_offsetToFirstFree;
    uint16 color; // byte offset of cell 0, a multiple of 64 below the cell size

    uint8* Cells() { return reinterpret_cast<uint8*>(this) + color; }
    const uint8* Cells() const { return reinterpret_cast<const uint8*>(this) + color; }
    // Cells that fit, cell 0 (the header's) included.
    uint32 CellCount(uint32 cellSize) const { return (Params::kPageSize - color) / cellSize; }
};

// A free cell links to the next free cell of its page (cell index, 0 = none). Allocation and free
// touch only the cell and its page header.
template <typename Params>
struct HighFreqHeap<Params>::FreeCell
{
    uint16 nextInPage;
    uint16 unused[5];
    uint32 mark;
};

namespace
{
constexpr uint32 ClassOf(size_t size)
{
    return size <= 16 ? 0 : 64 - static_cast<uint32>(__builtin_clzll(size - 1)) - 4;
}
} // namespace

template <typename Params>
HighFreqHeap<Params>::~HighFreqHeap()
{
    for (uint32 i = 0; i < m_numSuperchunks; ++i)
        PlatformVirtualMemory::Free(m_superchunks[i], Params::kSmallSuperchunkSize);
}

template <typename Params>
void* HighFreqHeap<Params>::Allocate(size_t size)
{
    constexpr uint32 kPageSize = Params::kPageSize;
    ReentrancyScope scope(m_reentrancy);
    const uint32 sizeClass = ClassOf(size);
    const uint32 cellSize = 16u << sizeClass;
    PageHeader* page = m_available[sizeClass];
    if (page == nullptr)
    {
        page = NewPage(sizeClass);
        if (page == nullptr)
            return nullptr;
        m_used += cellSize;
        return page->Cells() + cellSize;
    }
    const uint32 index = page->m_offsetToFirstFree;
    MX_ASSERT(index > 0 && page->color + index * cellSize < kPageSize);
    FreeCell* cell = reinterpret_cast<FreeCell*>(page->Cells() + index * cellSize);
    page->m_offsetToFirstFree = cell->nextInPage;
    if (--page->freeCount == 0)
        m_available[sizeClass] = page->nextAvailable;
    cell->mark = 0;
    m_used += cellSize;
    return cell;
}

template <typename Params>
typename HighFreqHeap<Params>::PageHeader* HighFreqHeap<Params>::NewPage(uint32 sizeClass)
{
    constexpr uint32 kPageSize = Params::kPageSize;
    constexpr uint64 kSuperchunkSize = Params::kSmallSuperchunkSize;
    PageHeader* page = m_freePages;
    if (page != nullptr)
        m_freePages = page->nextAvailable;
    else
    {
        MX_ASSERT(m_numSuperchunks < kMaxSuperchunks);
        if (m_numSuperchunks >= kMaxSuperchunks)
            return nullptr;
        uint8* base = static_cast<uint8*>(PlatformVirtualMemory::Allocate(kSuperchunkSize));
        if (base == nullptr)
            return nullptr;
        m_reserved += kSuperchunkSize;
        uint32 lo = 0;
        uint32 hi = m_numSuperchunks;
        while (lo < hi)
        {
            const uint32 mid = (lo + hi) / 2;
            if (m_superchunks[mid] < base)
                lo = mid + 1;
            else
                hi = mid;
        }
        std::memmove(&m_superchunks[lo + 1], &m_superchunks[lo], (m_numSuperchunks - lo) * sizeof(uint8*));
        m_superchunks[lo] = base;
        ++m_numSuperchunks;
        // Pages after the first go on the free-page list in address order.
        PageHeader* rest = m_freePages;
        for (uint64 offset = kSuperchunkSize - kPageSize; offset >= kPageSize; offset -= kPageSize)
        {
            PageHeader* free = reinterpret_cast<PageHeader*>(base + offset);
            free->sizeClass = kNoClass;
            free->nextAvailable = rest;
            rest = free;
        }
        m_freePages = rest;
        page = reinterpret_cast<PageHeader*>(base);
    }

    const uint32 cellSize = 16u << sizeClass;
    const uint32 colors = cellSize > 64 ? cellSize / 64 : 1;
    page->color = static_cast<uint16>((m_nextColor++ % colors) * 64);
    const uint32 cells = page->CellCount(cellSize);
    uint8* bytes = page->Cells();
    page->sizeClass = static_cast<uint16>(sizeClass);
    page->freeCount = static_cast<uint16>(cells - 2);
    page->m_offsetToFirstFree = cells > 2 ? 2 : 0;
    // Cell 1 goes to the caller; cells 2 .. cells-1 are chained in address order.
    for (uint32 i = 2; i < cells; ++i)
    {
        FreeCell* cell = reinterpret_cast<FreeCell*>(bytes + i * cellSize);
        cell->nextInPage = static_cast<uint16>(i + 1 < cells ? i + 1 : 0);
        cell->mark = kFreeCellMark;
    }
    reinterpret_cast<FreeCell*>(bytes + cellSize)->mark = 0;
    if (page->freeCount != 0)
    {
        page->nextAvailable = m_available[sizeClass];
        m_available[sizeClass] = page;
    }
    m_overhead += kPageSize - (cells - 1) * cellSize;
    return page;
}

template <typename Params>
int32 HighFreqHeap<Params>::FindSuperchunk(const void* p) const
{
    const uint8* address = static_cast<const uint8*>(p);
    uint32 count = m_numSuperchunks;
    if (count == 0)
        return -1;
    // The last superchunk that starts at or below the address (or the first one). The halving
    // compiles to conditional moves: frees in random order would mispredict a branch per step.
    uint8* const* base = m_superchunks;
    while (count > 1)
    {
        const uint32 half = count / 2;
        base = base[half] <= address ? base + half : base;
        count -= half;
    }
    // An address below the first superchunk wraps to a huge distance.
    return uint64(address - *base) < Params::kSmallSuperchunkSize ? static_cast<int32>(base - m_superchunks)
                                                                  : -1;
}

template <typename Params>
bool HighFreqHeap<Params>::Contains(const void* p) const
{
    return FindSuperchunk(p) >= 0;
}

template <typename Params>
bool HighFreqHeap<Params>::IsBlock(const void* p, uint32& cellSize) const
{
    if (FindSuperchunk(p) < 0)
        return false;
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    const PageHeader* page = reinterpret_cast<const PageHeader*>(address & ~uintptr_t(Params::kPageSize - 1));
    if (page->sizeClass >= kNumClasses)
        return false;
    cellSize = 16u << page->sizeClass;
    // Below the first cell the difference wraps to a huge offset.
    const uintptr_t offset = address - reinterpret_cast<uintptr_t>(page->Cells());
    return offset != 0 && (offset & (cellSize - 1)) == 0 && offset / cellSize < page->CellCount(cellSize);
}

template <typename Params>
bool HighFreqHeap<Params>::GetPageInfo(const void* p, SmallPageInfo& info) const
{
    uint32 cellSize = 0;
    if (!IsBlock(p, cellSize))
        return false;
    const PageHeader* page = reinterpret_cast<const PageHeader*>(reinterpret_cast<uintptr_t>(p) &
                                                                 ~uintptr_t(Params::kPageSize - 1));
    info.page = const_cast<PageHeader*>(page);
    info.cellSize = cellSize;
    info.freeCount = page->freeCount;
    info.firstFree = page->m_offsetToFirstFree;
    return true;
}

template <typename Params>
bool HighFreqHeap<Params>::IsOnPageFreeList(const PageHeader* page, uint32 index, uint32 cellSize) const
{
    const uint8* bytes = page->Cells();
    uint32 current = page->m_offsetToFirstFree;
    // Bounded by the free count so that a damaged list cannot loop.
    for (uint32 steps = 0; current != 0 && steps <= page->freeCount; ++steps)
    {
        if (current == index)
            return true;
        current = reinterpret_cast<const FreeCell*>(bytes + current * cellSize)->nextInPage;
    }
    return false;
}

template <typename Params>
SmallFreeResult HighFreqHeap<Params>::Free(void* p)
{
    // The freed cell is the one line of the free that is likely cold: start fetching it while the
    // superchunk and the page are looked up. A prefetch of a foreign address does not fault.
    __builtin_prefetch(p, 1);
    if (FindSuperchunk(p) < 0)
        return SmallFreeResult::NotInHeap;
    const uintptr_t address = reinterpret_cast<uintptr_t>(p);
    PageHeader* page = reinterpret_cast<PageHeader*>(address & ~uintptr_t(Params::kPageSize - 1));
    const uint32 sizeClass = page->sizeClass;
    if (sizeClass >= kNumClasses)
        return SmallFreeResult::NotABlock;
    const uint32 cellSize = 16u << sizeClass;
    const uintptr_t offset = address - reinterpret_cast<uintptr_t>(page->Cells());
    if (offset == 0 || (offset & (cellSize - 1)) != 0 || offset / cellSize >= page->CellCount(cellSize))
        return SmallFreeResult::NotABlock;
    const uint32 index = static_cast<uint32>(offset >> (sizeClass + 4));
    FreeCell* cell = static_cast<FreeCell*>(p);
    if (cell->mark == kFreeCellMark && IsOnPageFreeList(page, index, cellSize))
        return SmallFreeResult::AlreadyFree;

    ReentrancyScope scope(m_reentrancy);
    cell->nextInPage = page->m_offsetToFirstFree;
    cell->mark = kFreeCellMark;
    page->m_offsetToFirstFree = static_cast<uint16>(index);
    if (page->freeCount++ == 0)
    {
        page->nextAvailable = m_available[sizeClass];
        m_available[sizeClass] = page;
    }
    m_used -= cellSize;
    return SmallFreeResult::Freed;
}

template <typename Params>
void HighFreqHeap<Params>::Visit(HeapVisitor& visitor) const
{
    constexpr uint32 kPageSize = Params::kPageSize;
    for (uint32 i = 0; i < m_numSuperchunks; ++i)
        visitor.OnSuperchunk(m_superchunks[i], Params::kSmallSuperchunkSize);
    for (uint32 i = 0; i < m_numSuperchunks; ++i)
    {
        for (uint64 offset = 0; offset < Params::kSmallSuperchunkSize; offset += kPageSize)
        {
            const PageHeader* page = reinterpret_cast<const PageHeader*>(m_superchunks[i] + offset);
            if (page->sizeClass >= kNumClasses)
                continue;
            const uint32 cellSize = 16u << page->sizeClass;
            const uint32 cells = page->CellCount(cellSize);
            std::bitset<kPageSize / 16> isFree;
            const uint8* bytes = page->Cells();
            uint32 current = page->m_offsetToFirstFree;
            for (uint32 steps = 0; current != 0 && current < cells && steps <= page->freeCount; ++steps)
            {
                isFree.set(current);
                current = reinterpret_cast<const FreeCell*>(bytes + current * cellSize)->nextInPage;
            }
            for (uint32 cell = 1; cell < cells; ++cell)
            {
                if (!isFree.test(cell))
                    visitor.OnBlock(const_cast<uint8*>(bytes) + cell * cellSize, cellSize, kUntaggedBlock);
            }
        }
    }
}

template <typename Params>
void HighFreqHeap<Params>::Trim()
{
    constexpr uint32 kPageSize = Params::kPageSize;
    ReentrancyScope scope(m_reentrancy);
    for (uint32 sizeClass = 0; sizeClass < kNumClasses; ++sizeClass)
    {
        const uint32 cellSize = 16u << sizeClass;
        for (PageHeader** link = &m_available[sizeClass]; *link != nullptr;)
        {
            PageHeader* page = *link;
            const uint32 wholeFree = page->CellCount(cellSize) - 1;
            if (page->freeCount != wholeFree)
            {
                link = &page->nextAvailable;
                continue;
            }
            *link = page->nextAvailable;
            page->sizeClass = kNoClass;
            page->nextAvailable = m_freePages;
            m_freePages = page;
            m_overhead -= kPageSize - wholeFree * cellSize;
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// LowFreqHeap

// Header of a chunk; the payload follows it. A chunk is free exactly when the header after it has
// bit 0 of prevSpan set; bits 1-31 are then the distance back to the free chunk's header.
template <typename Params>
struct LowFreqHeap<Params>::Chunk
{
    uint32 prevSpan;
    uint32 size;      // payload bytes; 0 marks a superchunk border
    uint32 requested; // the caller's size; the superchunk size in the leading border
    uint32 check;     // kChunkInUse ^ size while allocated; list index + 1 while listed; else 0

    uint8* Payload() { return reinterpret_cast<uint8*>(this) + sizeof(Chunk); }
    Chunk* Next() { return reinterpret_cast<Chunk*>(Payload() + size); }
    Chunk* PrevFree() { return reinterpret_cast<Chunk*>(reinterpret_cast<uint8*>(this) - (prevSpan & ~1u)); }
    bool IsFree() { return (Next()->prevSpan & 1) != 0; }
    FreeLink* Link() { return reinterpret_cast<FreeLink*>(Payload()); }
    static Chunk* FromLink(FreeLink* link)
    {
        return reinterpret_cast<Chunk*>(reinterpret_cast<uint8*>(link) - sizeof(Chunk));
    }
    static Chunk* FromPayload(const void* p)
    {
        return reinterpret_cast<Chunk*>(const_cast<uint8*>(static_cast<const uint8*>(p)) - sizeof(Chunk));
    }
};

namespace
{
// Exact list of a chunk with `payload` bytes, or -1 for the overflow list.
template <typename Params>
int32 ListIndex(uint64 payload)
{
    const int64 index = int64(payload / Params::kGranule) - int64(Params::kSmallLimit / Params::kGranule) - 1;
    return index >= 0 && index < 512 ? static_cast<int32>(index) : -1;
}
} // namespace

template <typename Params>
LowFreqHeap<Params>::LowFreqHeap()
{
    for (FreeLink& list : m_lists)
        list.next = list.prev = &list;
}

template <typename Params>
LowFreqHeap<Params>::~LowFreqHeap()
{
    for (uint32 i = 0; i < m_superchunksAllocated; ++i)
        PlatformVirtualMemory::Free(m_superchunks[i].base, m_superchunks[i].size);
}

template <typename Params>
void LowFreqHeap<Params>::InsertHead(Chunk* chunk)
{
    const int32 index = ListIndex<Params>(chunk->size);
    const uint32 list = index >= 0 ? static_cast<uint32>(index) : kNumExactLists;
    FreeLink* head = &m_lists[list];
    FreeLink* link = chunk->Link();
    link->next = head->next;
    link->prev = head;
    head->next->prev = link;
    head->next = link;
    chunk->check = list + 1;
    if (index >= 0 && m_listCounts[index]++ == 0)
        m_bitmap[index / 64] |= uint64(1) << (index % 64);
}

template <typename Params>
void LowFreqHeap<Params>::InsertOverflowTail(Chunk* chunk)
{
    FreeLink* head = &m_lists[kNumExactLists];
    FreeLink* link = chunk->Link();
    link->next = head;
    link->prev = head->prev;
    head->prev->next = link;
    head->prev = link;
    chunk->check = kNumExactLists + 1;
}

template <typename Params>
void LowFreqHeap<Params>::Unlink(Chunk* chunk)
{
    FreeLink* link = chunk->Link();
    link->prev->next = link->next;
    link->next->prev = link->prev;
    // The check word of a free chunk names its list: an exact-list size may sit on the overflow list.
    const uint32 list = chunk->check - 1;
    chunk->check = 0;
    if (list < kNumExactLists && --m_listCounts[list] == 0)
        m_bitmap[list / 64] &= ~(uint64(1) << (list % 64));
}

template <typename Params>
int32 LowFreqHeap<Params>::FindSuperchunk(const void* p) const
{
    const uint8* address = static_cast<const uint8*>(p);
    uint32 count = m_superchunksAllocated;
    if (count == 0)
        return -1;
    // As in the small part: branch-free halving, then one range check.
    const Superchunk* entry = m_superchunks;
    while (count > 1)
    {
        const uint32 half = count / 2;
        entry = entry[half].base <= address ? entry + half : entry;
        count -= half;
    }
    return uint64(address - entry->base) < entry->size ? static_cast<int32>(entry - m_superchunks) : -1;
}

template <typename Params>
bool LowFreqHeap<Params>::InsertSuperchunk(const Superchunk& entry)
{
    if (m_superchunksAllocated >= Params::MAX_SUPERCHUNKS)
        return false;
    uint32 lo = 0;
    uint32 hi = m_superchunksAllocated;
    while (lo < hi)
    {
        const uint32 mid = (lo + hi) / 2;
        if (m_superchunks[mid].base < entry.base)
            lo = mid + 1;
        else
            hi = mid;
    }
    std::memmove(&m_superchunks[lo + 1], &m_superchunks[lo],
                 (m_superchunksAllocated - lo) * sizeof(Superchunk));
    m_superchunks[lo] = entry;
    ++m_superchunksAllocated;
    return true;
}

template <typename Params>
void LowFreqHeap<Params>::RemoveSuperchunk(uint32 index)
{
    std::memmove(&m_superchunks[index], &m_superchunks[index + 1],
                 (m_superchunksAllocated - index - 1) * sizeof(Superchunk));
    --m_superchunksAllocated;
}

template <typename Params>
void LowFreqHeap<Params>::DumpSuperchunks() const
{
    Log::Printf(__FILE__, __LINE__, Log::Fatal, "m_superchunksAllocated == MAX_SUPERCHUNKS");
    for (uint32 i = 0; i < m_superchunksAllocated; ++i)
    {
        const Superchunk& superchunk = m_superchunks[i];
        Log::Printf(__FILE__, __LINE__, Log::Info, "%u: h border %p", i, static_cast<void*>(superchunk.base));
        if (superchunk.dedicated)
            continue;
        Chunk* chunk = reinterpret_cast<Chunk*>(superchunk.base + sizeof(Chunk));
        Log::Printf(__FILE__, __LINE__, Log::Info, "%u: h first %p", i, static_cast<void*>(chunk));
        for (; chunk->size != 0; chunk = chunk->Next())
        {
            Log::Printf(__FILE__, __LINE__, Log::Info, "%u: h at %p free:%c prevfree:%c size:%u obj:%p", i,
                        static_cast<void*>(chunk), chunk->IsFree() ? '+' : '-',
                        (chunk->prevSpan & 1) ? '+' : '-', chunk->size, static_cast<void*>(chunk->Payload()));
        }
    }
}

template <typename Params>
typename LowFreqHeap<Params>::Chunk* LowFreqHeap<Params>::FindChunk(uint64 rounded)
{
    if (rounded <= kListLimit)
    {
        uint32 index = static_cast<uint32>((rounded - Params::kSmallLimit - 1) / Params::kGranule);
        if (m_listCounts[index] == 0)
        {
            // The lowest non-empty list above: every chunk there is at least one granule larger.
            uint32 word = index / 64;
            uint64 bits = m_bitmap[word] & (~uint64(0) << (index % 64));
            while (bits == 0 && ++word < kNumExactLists / 64)
                bits = m_bitmap[word];
            index = bits != 0 ? word * 64 + static_cast<uint32>(__builtin_ctzll(bits)) : kNumExactLists;
        }
        if (index < kNumExactLists)
        {
            Chunk* chunk = Chunk::FromLink(m_lists[index].next);
            Unlink(chunk);
            return chunk;
        }
    }
    FreeLink* head = &m_lists[kNumExactLists];
    for (FreeLink* link = head->next; link != head; link = link->next)
    {
        Chunk* chunk = Chunk::FromLink(link);
        if (chunk->size >= rounded)
        {
            Unlink(chunk);
            return chunk;
        }
    }
    return nullptr;
}

template <typename Params>
typename LowFreqHeap<Params>::Chunk* LowFreqHeap<Params>::NewSuperchunk(uint64 rounded)
{
    const uint64 size = RoundUp(rounded + kSuperchunkOverhead, Params::kLargeSuperchunkStep);
    if (m_superchunksAllocated >= Params::MAX_SUPERCHUNKS)
    {
        DumpSuperchunks();
        MX_ASSERT(m_superchunksAllocated < Params::MAX_SUPERCHUNKS);
        return nullptr;
    }
    uint8* base = static_cast<uint8*>(PlatformVirtualMemory::Allocate(size));
    if (base == nullptr)
        return nullptr;
    InsertSuperchunk({base, size, 0, false});
    m_reserved += size;
    m_overhead += kSuperchunkOverhead;
    // Leading border, one chunk over the rest, trailing border (free bit set: the chunk is free).
    Chunk* border = reinterpret_cast<Chunk*>(base);
    *border = {0, 0, static_cast<uint32>(size), 0};
    Chunk* chunk = border + 1;
    *chunk = {0, static_cast<uint32>(size - kSuperchunkOverhead), 0, 0};
    Chunk* end = chunk->Next();
    *end = {static_cast<uint32>(reinterpret_cast<uint8*>(end) - reinterpret_cast<uint8*>(chunk)) | 1u, 0, 0,
            0};
    return chunk;
}

template <typename Params>
void* LowFreqHeap<Params>::AllocateDedicated(size_t size)
{
    const uint64 granularity = PlatformVirtualMemory::GetConstants().m_allocationGranularity;
    // A size that cannot be rounded is asked for as the largest block there is: the system refuses it.
    const uint64 mapped = size <= ~uint64(0) - granularity ? RoundUp(size, granularity) : ~(granularity - 1);
    if (m_superchunksAllocated >= Params::MAX_SUPERCHUNKS)
    {
        DumpSuperchunks();
        MX_ASSERT(m_superchunksAllocated < Params::MAX_SUPERCHUNKS);
        return nullptr;
    }
    uint8* base = static_cast<uint8*>(PlatformVirtualMemory::Allocate(mapped));
    if (base == nullptr)
        return nullptr;
    InsertSuperchunk({base, mapped, size, true});
    m_reserved += mapped;
    m_used += size;
    m_overhead += mapped - size;
    return base;
}

template <typename Params>
void* LowFreqHeap<Params>::Allocate(size_t size)
{
    ReentrancyScope scope(m_reentrancy);
    if (size > kMaxChunkPayload - kSuperchunkOverhead)
        return AllocateDedicated(size);
    const uint64 rounded = size <= kListLimit ? RoundUp(size, Params::kGranule) : RoundUp(size, 16);

    Chunk* chunk = FindChunk(rounded);
    bool fresh = false;
    if (chunk == nullptr)
    {
        chunk = NewSuperchunk(rounded);
        if (chunk == nullptr)
            return nullptr;
        fresh = true;
    }
    chunk->Next()->prevSpan = 0;
    if (chunk->size - rounded > Params::kSplitRest)
    {
        Chunk* rest = reinterpret_cast<Chunk*>(chunk->Payload() + rounded);
        *rest = {0, static_cast<uint32>(chunk->size - rounded - sizeof(Chunk)), 0, 0};
        chunk->size = static_cast<uint32>(rounded);
        Chunk* after = rest->Next();
        after->prevSpan =
            static_cast<uint32>(reinterpret_cast<uint8*>(after) - reinterpret_cast<uint8*>(rest)) | 1u;
        if (fresh)
            InsertOverflowTail(rest);
        else
            InsertHead(rest);
        m_overhead += sizeof(Chunk);
    }
    chunk->requested = static_cast<uint32>(size);
    chunk->check = kChunkInUse ^ chunk->size;
    m_used += size;
    m_overhead += chunk->size - size;
    return chunk->Payload();
}

template <typename Params>
bool LowFreqHeap<Params>::IsLiveChunk(const Superchunk& superchunk, const void* p) const
{
    const uint8* address = static_cast<const uint8*>(p);
    const uint8* first = superchunk.base + 2 * sizeof(Chunk);
    const uint8* endBorder = superchunk.base + superchunk.size - 2 * sizeof(Chunk);
    if (address < first || address >= endBorder || (reinterpret_cast<uintptr_t>(p) & 15) != 0)
        return false;
    Chunk* chunk = Chunk::FromPayload(p);
    // The header after the chunk is read only once the size is known to stay inside the superchunk.
    return chunk->size != 0 && chunk->check == (kChunkInUse ^ chunk->size) &&
           uint64(endBorder - address) >= chunk->size && (chunk->Next()->prevSpan & 1) == 0;
}

template <typename Params>
bool LowFreqHeap<Params>::IsBlock(const void* p, uint64& capacity, uint64& requested) const
{
    const int32 index = FindSuperchunk(p);
    if (index < 0)
        return false;
    const Superchunk& superchunk = m_superchunks[index];
    if (superchunk.dedicated)
    {
        if (p != superchunk.base)
            return false;
        capacity = superchunk.size;
        requested = superchunk.requested;
        return true;
    }
    if (!IsLiveChunk(superchunk, p))
        return false;
    const Chunk* chunk = Chunk::FromPayload(p);
    capacity = chunk->size;
    requested = chunk->requested;
    return true;
}

template <typename Params>
bool LowFreqHeap<Params>::Free(void* p)
{
    const int32 index = FindSuperchunk(p);
    if (index < 0)
        return false;
    if (m_superchunks[index].dedicated)
    {
        if (p != m_superchunks[index].base)
            return false;
        ReentrancyScope scope(m_reentrancy);
        const Superchunk superchunk = m_superchunks[index];
        RemoveSuperchunk(static_cast<uint32>(index));
        m_used -= superchunk.requested;
        m_overhead -= superchunk.size - superchunk.requested;
        m_reserved -= superchunk.size;
        PlatformVirtualMemory::Free(superchunk.base, superchunk.size);
        return true;
    }
    if (!IsLiveChunk(m_superchunks[index], p))
        return false;
    ReentrancyScope scope(m_reentrancy);
    Chunk* chunk = Chunk::FromPayload(p);
    m_used -= chunk->requested;
    m_overhead -= chunk->size - chunk->requested;
    chunk->check = 0;
    Chunk* next = chunk->Next();
    if ((chunk->prevSpan & 1) != 0)
    {
        Chunk* previous = chunk->PrevFree();
        Unlink(previous);
        previous->size += static_cast<uint32>(sizeof(Chunk)) + chunk->size;
        chunk = previous;
        m_overhead -= sizeof(Chunk);
    }
    // A listed chunk's check word names its list (1 .. kNumExactLists + 1); an allocated chunk's and a
    // border's never falls in that range. Reading it spares the header after `next`, another line.
    if (next->check - 1u <= kNumExactLists)
    {
        Unlink(next);
        chunk->size += static_cast<uint32>(sizeof(Chunk)) + next->size;
        m_overhead -= sizeof(Chunk);
    }
    Chunk* after = chunk->Next();
    after->prevSpan =
        static_cast<uint32>(reinterpret_cast<uint8*>(after) - reinterpret_cast<uint8*>(chunk)) | 1u;
    InsertHead(chunk);
    return true;
}

template <typename Params>
void LowFreqHeap<Params>::Resize(void* p, size_t newSize)
{
    ReentrancyScope scope(m_reentrancy);
    const int32 index = FindSuperchunk(p);
    uint64& requested = m_superchunks[index].requested;
    if (m_superchunks[index].dedicated)
    {
        m_used = m_used - requested + newSize;
        m_overhead = m_overhead + requested - newSize;
        requested = newSize;
        return;
    }
    Chunk* chunk = Chunk::FromPayload(p);
    m_used = m_used - chunk->requested + newSize;
    m_overhead = m_overhead + chunk->requested - newSize;
    chunk->requested = static_cast<uint32>(newSize);
}

template <typename Params>
void LowFreqHeap<Params>::Visit(HeapVisitor& visitor) const
{
    for (uint32 i = 0; i < m_superchunksAllocated; ++i)
    {
        const Superchunk& superchunk = m_superchunks[i];
        visitor.OnSuperchunk(superchunk.base, superchunk.size);
        if (superchunk.dedicated)
        {
            visitor.OnBlock(superchunk.base, superchunk.requested, kUntaggedBlock);
            continue;
        }
        for (Chunk* chunk = reinterpret_cast<Chunk*>(superchunk.base) + 1; chunk->size != 0;
             chunk = chunk->Next())
        {
            if (!chunk->IsFree())
                visitor.OnBlock(chunk->Payload(), chunk->requested, kUntaggedBlock);
        }
    }
}

template <typename Params>
void LowFreqHeap<Params>::SortOverflowList()
{
    // Bottom-up merge sort of the singly linked view, then the back links are rebuilt.
    FreeLink* head = &m_lists[kNumExactLists];
    FreeLink* list = head->next == head ? nullptr : head->next;
    head->prev->next = nullptr;
    for (size_t width = 1;; width *= 2)
    {
        FreeLink* result = nullptr;
        FreeLink** tail = &result;
        FreeLink* rest = list;
        uint32 merges = 0;
        while (rest != nullptr)
        {
            ++merges;
            FreeLink* left = rest;
            FreeLink* right = rest;
            size_t leftCount = 0;
            while (right != nullptr && leftCount < width)
            {
                right = right->next;
                ++leftCount;
            }
            size_t rightCount = width;
            while (leftCount > 0 || (rightCount > 0 && right != nullptr))
            {
                FreeLink* taken;
                if (leftCount == 0 || (rightCount > 0 && right != nullptr && right < left))
                {
                    taken = right;
                    right = right->next;
                    --rightCount;
                }
                else
                {
                    taken = left;
                    left = left->next;
                    --leftCount;
                }
                *tail = taken;
                tail = &taken->next;
            }
            rest = right;
        }
        *tail = nullptr;
        list = result;
        if (merges <= 1)
            break;
    }
    FreeLink* previous = head;
    for (FreeLink* link = list; link != nullptr; link = link->next)
    {
        link->prev = previous;
        previous->next = link;
        previous = link;
    }
    previous->next = head;
    head->prev = previous;
}

template <typename Params>
void LowFreqHeap<Params>::Trim()
{
    ReentrancyScope scope(m_reentrancy);
    for (uint32 i = m_superchunksAllocated; i-- > 0;)
    {
        const Superchunk superchunk = m_superchunks[i];
        if (superchunk.dedicated)
            continue;
        Chunk* chunk = reinterpret_cast<Chunk*>(superchunk.base) + 1;
        if (chunk->size != superchunk.size - kSuperchunkOverhead || !chunk->IsFree())
            continue;
        Unlink(chunk);
        RemoveSuperchunk(i);
        m_reserved -= superchunk.size;
        m_overhead -= kSuperchunkOverhead;
        PlatformVirtualMemory::Free(superchunk.base, superchunk.size);
    }
    SortOverflowList();
}

// ---------------------------------------------------------------------------------------------------
// SegregateHeap

template <typename Params>
void SegregateHeap<Params>::UpdateStats()
{
    const SegregateHeapPartStats small = m_small.GetStats();
    const SegregateHeapPartStats large = m_large.GetStats();
    m_stats.used = small.used + large.used;
    m_stats.overhead = small.overhead + large.overhead;
    m_stats.reserved = small.reserved + large.reserved;
    if (m_stats.used > m_stats.peakUsed)
        m_stats.peakUsed = m_stats.used;
    if (m_stats.reserved > m_stats.peakReserved)
        m_stats.peakReserved = m_stats.reserved;
    m_stats.smallShare = static_cast<float>(small.used) / static_cast<float>(m_stats.used + 1);
    m_stats.smallReserveShare = static_cast<float>(small.reserved) / static_cast<float>(m_stats.reserved + 1);
}

template <typename Params>
void* SegregateHeap<Params>::Allocate(size_t size)
{
    if (size == 0)
    {
        MX_ASSERT_FAIL("Allocation with 0 size");
        size = 1;
    }
    void* p = size <= Params::kSmallLimit ? m_small.Allocate(size) : m_large.Allocate(size);
    if (p == nullptr)
        return nullptr;
    if ((m_stats.allocations & kStampInterval) == 0)
        m_stats.lastAllocation = GetUptimeSeconds();
    ++m_stats.allocations;
    UpdateStats();
    return p;
}

template <typename Params>
void SegregateHeap<Params>::Free(void* p, size_t)
{
    if (p == nullptr)
        return;
    const SmallFreeResult small = m_small.Free(p);
    if (small == SmallFreeResult::NotInHeap)
    {
        if (!MX_VERIFY_MSG(m_large.Free(p), "Free of a pointer that is not a live block of this heap"))
            return;
    }
    else if (small != SmallFreeResult::Freed) [[unlikely]]
    {
        MX_ASSERT_MSG(small != SmallFreeResult::AlreadyFree, "Small block freed twice");
        MX_ASSERT_MSG(small != SmallFreeResult::NotABlock,
                      "Free of a pointer that is not a block of this heap");
        return;
    }
    if ((m_stats.frees & kStampInterval) == 0)
        m_stats.lastFree = GetUptimeSeconds();
    ++m_stats.frees;
    UpdateStats();
}

template <typename Params>
size_t SegregateHeap<Params>::GetBlockCapacity(const void* p) const
{
    uint32 cellSize = 0;
    uint64 capacity = 0;
    uint64 requested = 0;
    if (m_small.IsBlock(p, cellSize))
        return cellSize;
    if (m_large.IsBlock(p, capacity, requested))
        return capacity;
    MX_ASSERT_MSG(false, "Pointer is not a live block of this heap");
    return 0;
}

template <typename Params>
void* SegregateHeap<Params>::Reallocate(void* p, size_t newSize)
{
    if (p == nullptr)
        return Allocate(newSize);
    if (newSize == 0)
    {
        MX_ASSERT_FAIL("Allocation with 0 size");
        newSize = 1;
    }
    uint32 cellSize = 0;
    uint64 capacity = 0;
    uint64 requested = 0;
    uint64 preserved = 0;
    if (m_small.IsBlock(p, cellSize))
    {
        if (newSize <= cellSize)
            return p;
        preserved = cellSize;
    }
    else if (m_large.IsBlock(p, capacity, requested))
    {
        if (newSize <= capacity)
        {
            m_large.Resize(p, newSize);
            UpdateStats();
            return p;
        }
        preserved = requested;
    }
    else
    {
        MX_ASSERT_MSG(false, "Reallocation of a pointer that is not a live block of this heap");
        return nullptr;
    }
    void* moved = Allocate(newSize);
    if (moved == nullptr)
        return nullptr;
    std::memcpy(moved, p, preserved < newSize ? preserved : newSize);
    Free(p);
    return moved;
}

template <typename Params>
void SegregateHeap<Params>::Visit(HeapVisitor& visitor)
{
    m_small.Visit(visitor);
    m_large.Visit(visitor);
}

template <typename Params>
void SegregateHeap<Params>::Trim()
{
    m_small.Trim();
    m_large.Trim();
    UpdateStats();
}

#define MX_INSTANTIATE_SEGREGATE_HEAP(Params)                                                                \
    template class HighFreqHeap<Params>;                                                                     \
    template class LowFreqHeap<Params>;                                                                      \
    template class SegregateHeap<Params>;

MX_INSTANTIATE_SEGREGATE_HEAP(GlobalHeapParameters)
MX_INSTANTIATE_SEGREGATE_HEAP(DictHeapParameters)
MX_INSTANTIATE_SEGREGATE_HEAP(SharedStringsHeapParameters)
MX_INSTANTIATE_SEGREGATE_HEAP(StringsHeapParameters)
MX_INSTANTIATE_SEGREGATE_HEAP(FunctionHeapParameters)
} // namespace Morvex
