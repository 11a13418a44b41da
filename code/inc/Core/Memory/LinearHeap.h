#pragma once
// A page-based bump allocator: allocations are never freed one by one; a rewind makes every page
// free again, and pages stay allocated for reuse until the heap is destroyed.
//
// A linear heap is a single-threaded object (two threads inside it at once stop in the debugger
// when one is attached). Every heap is in a process-wide list (guarded by its own lock) for the
// diagnostics. Label it with MX_HEAP_NAME("Short name").

#include "Core/Memory/Allocator.h"
#include "Core/Memory/MemoryHeap.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class LinearHeap
{
public:
    struct Info
    {
        const char* name;
        uint32 pageSize;
        uint32 numPages;
        int32 currentPageIndex;
        uint64 used;
        uint64 peakUsed;
        uint64 allocations;
        int16 tag;
        uint32 ownerThread;
    };

    // `debugName`: kept, not copied. `pageSize`: bytes per page (at least 16; smaller asserts and
    // is raised). `tag`: memory-tag index charged for the pages, or -1. `pageAllocator`: source of
    // pages, the global heap when null. Joins the global list.
    LinearHeap(const char* debugName, uint32 pageSize, int16 tag = -1, Allocator* pageAllocator = nullptr);
    // Returns every page to the page allocator and leaves the global list.
    ~LinearHeap();
    LinearHeap(const LinearHeap&) = delete;
    LinearHeap& operator=(const LinearHeap&) = delete;

    // `size` bytes aligned to `alignment` (a power of two; others count as 16); never null. A
    // request that no page can hold is a caller error: it asserts
    // "m_currentPage->end - m_currentPage->current >= (ptrdiff_t)size" and is then served from a
    // block of its own, released by the next Rewind.
    void* Alloc(size_t size, size_t alignment = 16);
    // Everything allocated so far is released at once; the pages are kept and reused in order.
    void Rewind();

    const char* GetDebugName() const { return m_debugName; }
    uint32 GetPageSize() const { return m_pageSize; }
    uint32 GetNumPages() const { return m_numPages; }
    int32 GetCurrentPageIndex() const { return m_currentPageIndex; }
    uint64 GetUsed() const { return m_used; }
    uint64 GetPeakUsed() const { return m_peakUsed; }
    uint64 GetNumAllocations() const { return m_numAllocations; }

    // The heaps in the global list, newest first, under the list's lock: `visit` must not create or
    // destroy a heap. Returns how many were visited.
    static uint32 VisitAll(void (*visit)(const Info& info, void* context), void* context);
    static uint32 GetNumHeaps();

private:
    struct PageRecord
    {
        char* begin;
        char* end;
        char* current;
    };
    // A block for a request larger than a page; the payload follows the header.
    struct OversizedBlock
    {
        OversizedBlock* next;
        size_t size;
        size_t alignment;
    };
    // Where a heap without a current page points: every pointer null, so that the next request
    // moves to a page. Never written.
    static constinit inline PageRecord s_emptyPage{nullptr, nullptr, nullptr};

    void NextPage();
    void* AllocOversized(size_t size, size_t alignment);
    void ReleaseOversized();
    void Enter();
    void Leave();

    PageRecord* m_currentPage;
    int32 m_currentPageIndex = -1;
    uint64 m_used = 0;
    uint64 m_peakUsed = 0;
    uint64 m_numAllocations = 0;
    uint32 m_pageSize;
    PageRecord* m_pages = nullptr;
    uint32 m_numPages = 0;
    uint32 m_pagesCapacity = 0;
    std::atomic<uint32> m_reentrancy{0};
    Allocator* m_pageAllocator;
    int16 m_tag;
    LinearHeap* m_next = nullptr;
    LinearHeap* m_prev = nullptr;
    const char* m_debugName;
    uint32 m_ownerThread = 0;
    OversizedBlock* m_oversized = nullptr;
};
} // namespace Morvex
