#pragma once
// Items of one size handed out by 32-bit index from lazily allocated pages. Items are never returned
// one by one: an index, once handed out, stays valid (and its memory in place) until the allocator is
// destroyed, which is what lets lock-free code read an item it may no longer own.

#include "Core/Memory/Allocator.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class LockFreeOnceIndexedPagedAllocator
{
public:
    // elementSize, maxTotalItems and itemsPerPage must be above 0 and itemsPerPage a power of two
    // (each asserted). Index 0 means "none", so indices 1 to maxTotalItems - 1 can be handed out.
    // allocator: for the page-pointer array; null takes the global heap. Pages come from the global
    // heap, charged to the tag "Core", and are zero-filled.
    LockFreeOnceIndexedPagedAllocator(uint32 elementSize, uint32 maxTotalItems, uint32 itemsPerPage,
                                      Allocator* allocator = nullptr);
    // Frees every page. Nobody may use an item any more.
    ~LockFreeOnceIndexedPagedAllocator();
    LockFreeOnceIndexedPagedAllocator(const LockFreeOnceIndexedPagedAllocator&) = delete;
    LockFreeOnceIndexedPagedAllocator& operator=(const LockFreeOnceIndexedPagedAllocator&) = delete;

    // The first of `count` consecutive new items, whose pages exist on return. 0 after the assertion
    // "firstItem + count <= m_maxTotalItems" when they do not fit. Any thread.
    uint32 Alloc(uint32 count);
    // The item's memory. index: one handed out by Alloc. Any thread.
    void* GetItem(uint32 index) const
    {
        uint8* page = m_pages[index >> m_indexShift].load(std::memory_order_acquire);
        return page + static_cast<size_t>(index & m_indexMask) * m_elementSize;
    }

    uint32 GetElementSize() const { return m_elementSize; }
    uint32 GetMaxTotalItems() const { return m_maxTotalItems; }
    uint32 GetItemsPerPage() const { return m_itemsPerPage; }
    // Pages allocated so far (diagnostics and tests).
    uint32 GetNumPages() const { return m_numPages.load(std::memory_order_relaxed); }

private:
    // Alone on its cache line: every allocation of every thread hits it.
    alignas(64) std::atomic<uint32> m_nextIndex{1};
    alignas(64) std::atomic<uint8*>* m_pages = nullptr;
    uint32 m_elementSize = 0;
    uint32 m_maxTotalItems = 0;
    size_t m_pageSize = 0;
    uint32 m_itemsPerPage = 0;
    uint32 m_indexMask = 0;
    uint32 m_indexShift = 0;
    uint32 m_numBlocks = 0;
    Allocator* m_allocator = nullptr;
    std::atomic<uint32> m_numPages{0};
};
} // namespace Morvex
