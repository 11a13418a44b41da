#include "Core/Containers/LockFreeOnceIndexedPagedAllocator.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"

#include <bit>
#include <cstring>
#include <new>

namespace Morvex
{
namespace
{
bool IsPowerOfTwo(uint32 value)
{
    return std::has_single_bit(value);
}
} // namespace

LockFreeOnceIndexedPagedAllocator::LockFreeOnceIndexedPagedAllocator(uint32 elementSize, uint32 maxTotalItems,
                                                                     uint32 itemsPerPage,
                                                                     Allocator* allocator)
    : m_elementSize(elementSize), m_maxTotalItems(maxTotalItems), m_itemsPerPage(itemsPerPage),
      m_allocator(allocator ? allocator : &Memory::GetGlobalAllocator())
{
    MX_MEMORY_TAG_SCOPE("Core");
    MX_ASSERT(elementSize > 0);
    MX_ASSERT(maxTotalItems > 0);
    MX_ASSERT(itemsPerPage > 0);
    MX_ASSERT(IsPowerOfTwo(m_itemsPerPage));
    // Carry on with the smallest sound shape, so that a broken call cannot corrupt memory later.
    if (m_elementSize == 0)
        m_elementSize = 1;
    if (m_maxTotalItems == 0)
        m_maxTotalItems = 1;
    if (!IsPowerOfTwo(m_itemsPerPage))
        m_itemsPerPage = m_itemsPerPage ? std::bit_ceil(m_itemsPerPage) : 1;
    m_indexMask = m_itemsPerPage - 1;
    m_indexShift = static_cast<uint32>(std::countr_zero(m_itemsPerPage));
    m_pageSize = static_cast<size_t>(m_elementSize) * m_itemsPerPage;
    m_numBlocks =
        static_cast<uint32>((static_cast<uint64>(m_maxTotalItems) + m_itemsPerPage - 1) / m_itemsPerPage);
    m_pages = static_cast<std::atomic<uint8*>*>(
        m_allocator->Alloc(sizeof(std::atomic<uint8*>) * m_numBlocks, alignof(std::atomic<uint8*>)));
    for (uint32 i = 0; i < m_numBlocks; ++i)
        new (&m_pages[i]) std::atomic<uint8*>(nullptr);
}

LockFreeOnceIndexedPagedAllocator::~LockFreeOnceIndexedPagedAllocator()
{
    MX_MEMORY_TAG_SCOPE("Core");
    MX_ASSERT(m_pages);
    if (m_pages == nullptr)
        return;
    // A failed Alloc still advanced the index past the end: only the real capacity has pages.
    uint64 used = m_nextIndex.load(std::memory_order_acquire);
    if (used > m_maxTotalItems)
        used = m_maxTotalItems;
    if (used > 1)
    {
        uint32 numBlocks = static_cast<uint32>((used + m_itemsPerPage - 1) / m_itemsPerPage);
        MX_ASSERT(numBlocks <= m_numBlocks);
        // Index 0 is never handed out: with one item per page, page 0 never exists.
        for (uint32 i = 1 >> m_indexShift; i < numBlocks && i < m_numBlocks; ++i)
        {
            uint8* page = m_pages[i].load(std::memory_order_acquire);
            MX_ASSERT(page);
            if (page == nullptr)
                continue;
            Memory::Free(page, m_pageSize);
            MX_ASSERT(m_pages[i].compare_exchange_strong(page, nullptr, std::memory_order_release));
        }
    }
    m_allocator->Free(m_pages, sizeof(std::atomic<uint8*>) * m_numBlocks, alignof(std::atomic<uint8*>));
    m_pages = nullptr;
}

uint32 LockFreeOnceIndexedPagedAllocator::Alloc(uint32 count)
{
    MX_MEMORY_TAG_SCOPE("Core");
    if (count == 0)
        count = 1;
    // Relaxed: the index only has to be unique; the pages it needs are published by their own
    // compare-and-swap below.
    uint32 firstItem = m_nextIndex.fetch_add(count, std::memory_order_relaxed);
    if (static_cast<uint64>(firstItem) + count > m_maxTotalItems)
    {
        MX_ASSERT(firstItem + count <= m_maxTotalItems);
        return 0;
    }
    // The items are [firstItem, firstItem + count - 1]: counting firstItem + count too would make
    // a page for an item that is not ours, one past the page array when the range ends the capacity.
    uint32 lastItem = firstItem + count - 1;
    for (uint32 blockIndex = firstItem >> m_indexShift; blockIndex <= (lastItem >> m_indexShift);
         ++blockIndex)
    {
        // Acquire pairs with the release of the thread that installed the page, so that its zeroed
        // contents are seen as zero here.
        if (m_pages[blockIndex].load(std::memory_order_acquire) == nullptr)
        {
            auto* page = static_cast<uint8*>(Memory::Alloc(m_pageSize, 64));
            std::memset(page, 0, m_pageSize);
            uint8* expected = nullptr;
            if (m_pages[blockIndex].compare_exchange_strong(expected, page, std::memory_order_acq_rel,
                                                            std::memory_order_acquire))
                m_numPages.fetch_add(1, std::memory_order_relaxed);
            else
                Memory::Free(page, m_pageSize); // another thread installed the page first
        }
        MX_ASSERT(m_pages[blockIndex].load(std::memory_order_acquire) != nullptr);
    }
    return firstItem;
}
} // namespace Morvex
