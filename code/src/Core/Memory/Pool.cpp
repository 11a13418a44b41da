// Pools of equal-sized elements: pages carved by a bump pointer, freed elements recycled LIFO.

#include "Core/Memory/Pool.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Str.h"
#include "SystemMemory.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace Morvex
{
namespace Memory
{
namespace
{
// Beyond these a pool makes no sense, and the page arithmetic below must not wrap.
constexpr uint64 kMaxElementSize = uint64(1) << 32;
constexpr uint64 kMaxAlignment = uint64(1) << 16;
constexpr uint64 kSmallPageLimit = 16640;
constexpr uint64 kSmallPage = 0x4000;
constexpr uint64 kMaxAutoPage = 0x20000;

constinit std::atomic<bool> GPoolListLock{false};
constinit Pool* GPoolListHead = nullptr;
constinit uint32 GNumPools = 0;

// -1: as the command line says; 0 or 1: a test's choice.
constinit std::atomic<int> GDebugHeapPoolsOverride{-1};

class ListLock
{
public:
    ListLock()
    {
        while (GPoolListLock.exchange(true, std::memory_order_acquire))
            while (GPoolListLock.load(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    ~ListLock() { GPoolListLock.store(false, std::memory_order_release); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
};

bool IsPowerOfTwo(uint64 value)
{
    return (value & (value - 1)) == 0;
}

uint64 RoundUpToPowerOfTwo(uint64 value)
{
    uint64 result = 1;
    while (result < value)
        result <<= 1;
    return result;
}

bool DebugHeapPools()
{
    const int forced = GDebugHeapPoolsOverride.load(std::memory_order_relaxed);
    if (forced >= 0)
        return forced != 0;
    static const bool fromCommandLine = ReadDebugHeapSwitches().debugHeapPools;
    return fromCommandLine;
}

// Free elements are linked through their first bytes. An element need not be aligned for a pointer
// (a pool may ask for alignment 1), so the link is copied, never accessed in place.
void* NextFree(const void* element)
{
    void* next;
    std::memcpy(&next, element, sizeof(next));
    return next;
}

void SetNextFree(void* element, void* next)
{
    std::memcpy(element, &next, sizeof(next));
}

MemoryTag TagOf(int16 tag)
{
    return MemoryTag{tag > 0 ? static_cast<uint16>(tag) : uint16(0)};
}
} // namespace

Pool::~Pool()
{
    Clear(true);
    if (m_linked)
        Unlink();
}

void Pool::Setup(const char* debugName, uint64 elementSize, uint64 pageSize, int16 tag,
                 uint64 elementAlignment, Allocator* pageAllocator)
{
    if (!MX_VERIFY_MSG(m_page == nullptr, "Pool is already set up"))
        return;
    // Live elements of the global heap (debug-heap pools) have no page either.
    if (!MX_VERIFY_MSG(m_numElements == 0, "Pool is already set up"))
        return;
    m_pageAllocator = pageAllocator != nullptr ? pageAllocator : &GetGlobalAllocator();
    m_tag = tag;

    MX_ASSERT_MSG(elementSize >= 2 * sizeof(void*), "Memory::Pool can't contain objects this small");
    if (elementSize < 2 * sizeof(void*))
        elementSize = 2 * sizeof(void*);
    MX_ASSERT(!Str::Empty(debugName));
    m_debugName = debugName != nullptr ? debugName : "";
    MX_ASSERT(IsPowerOfTwo(elementAlignment));
    m_elementAlignment = IsPowerOfTwo(elementAlignment) ? elementAlignment : 0;
    MX_ASSERT(m_elementAlignment != 0);
    if (m_elementAlignment == 0)
        m_elementAlignment = 16;
    if (!MX_VERIFY(elementSize <= kMaxElementSize && m_elementAlignment <= kMaxAlignment))
    {
        m_pageAllocator = nullptr;
        return;
    }
    m_elementSize = elementSize;
    m_elementSizeAligned = (elementSize + m_elementAlignment - 1) & ~(m_elementAlignment - 1);

    if (pageSize == 0)
    {
        pageSize = 256 * m_elementSizeAligned;
        if (pageSize < kSmallPageLimit)
            pageSize = kSmallPage;
        pageSize = RoundUpToPowerOfTwo(std::min(pageSize, kMaxAutoPage));
    }
    m_pageSizeInBytes = pageSize;
    MX_ASSERT(m_pageSizeInBytes > sizeof(Page));
    MX_ASSERT_MSG(m_pageSizeInBytes > 2 * m_elementSizeAligned, "Check the page size, it's too small");
    // Two elements always fit after the header and the first element's alignment (an aligned size
    // is a multiple of the alignment), so a fresh page can never be too small.
    if (m_pageSizeInBytes <= sizeof(Page) || m_pageSizeInBytes <= 2 * m_elementSizeAligned)
        m_pageSizeInBytes = 2 * m_elementSizeAligned + sizeof(Page);

    m_debugHeap = DebugHeapPools();
    if (!m_linked)
        Link();
}

void Pool::Link()
{
    ListLock lock;
    m_prev = nullptr;
    m_next = GPoolListHead;
    if (GPoolListHead != nullptr)
        GPoolListHead->m_prev = this;
    GPoolListHead = this;
    m_ownerThread = ReadCurrentThreadId();
    ++GNumPools;
    m_linked = true;
}

void Pool::Unlink()
{
    ListLock lock;
    MX_ASSERT(GNumPools > 0);
    if (m_prev != nullptr)
        m_prev->m_next = m_next;
    else
        GPoolListHead = m_next;
    if (m_next != nullptr)
        m_next->m_prev = m_prev;
    m_prev = m_next = nullptr;
    if (GNumPools > 0)
        --GNumPools;
    m_linked = false;
}

void Pool::Enter()
{
    // A plain load and store, not a read-modify-write: the check is a debugging aid for a pool used
    // from two threads at once and must not cost the common path an atomic operation.
    const uint32 previous = m_reentrancy.load(std::memory_order_relaxed);
    m_reentrancy.store(previous + 1, std::memory_order_relaxed);
    if (previous != 0 && Platform_IsDebuggerPresent())
        MX_DEBUG_BREAK();
}

void Pool::Leave()
{
    const uint32 previous = m_reentrancy.load(std::memory_order_relaxed);
    m_reentrancy.store(previous != 0 ? previous - 1 : 0, std::memory_order_relaxed);
}

char* Pool::FirstElement(Page* page) const
{
    const uintptr_t first = reinterpret_cast<uintptr_t>(page) + sizeof(Page);
    return reinterpret_cast<char*>((first + m_elementAlignment - 1) & ~(uintptr_t(m_elementAlignment) - 1));
}

void Pool::AddPage()
{
    MemoryTagScope scope(TagOf(m_tag));
    auto* page = static_cast<Page*>(m_pageAllocator->Alloc(m_pageSizeInBytes, 16));
    page->next = m_page;
    page->bump = FirstElement(page);
    m_page = page;
    ++m_numPages;
}

void* Pool::Alloc()
{
    Enter();
    if (!MX_VERIFY_MSG(m_pageAllocator, "Don't forget to Setup()"))
    {
        Leave();
        return nullptr;
    }
    ++m_numElements;
    if (m_numElements > m_peakElements)
        m_peakElements = uint64(m_numElements);
    void* element;
    if (m_debugHeap)
    {
        MemoryTagScope scope(TagOf(m_tag));
        element = Memory::Alloc(m_elementSize, m_elementAlignment);
    }
    else if (m_freeList != nullptr)
    {
        element = m_freeList;
        m_freeList = NextFree(m_freeList);
    }
    else
    {
        // The bump pointer never passes the page's end, so the difference cannot wrap; and it is
        // the aligned size that must fit, since that is how far the pointer moves.
        if (m_page == nullptr || static_cast<uint64>(PageEnd(m_page) - m_page->bump) < m_elementSizeAligned)
            AddPage();
        element = m_page->bump;
        m_page->bump += m_elementSizeAligned;
    }
    Leave();
    return element;
}

void Pool::Free(void* element)
{
    if (element == nullptr)
        return;
    Enter();
    if (!MX_VERIFY(m_numElements > 0))
    {
        Leave();
        return;
    }
    --m_numElements;
    if (m_debugHeap)
        Memory::Free(element);
    else
    {
        SetNextFree(element, m_freeList);
        m_freeList = element;
    }
    Leave();
}

void Pool::Clear(bool checkLeaks)
{
    Enter();
    uint64 freeCount = 0;
    for (void* f = m_freeList; f != nullptr; f = NextFree(f))
        ++freeCount;
    uint64 numAllocations = 0;
    for (Page* page = m_page; page != nullptr; page = page->next)
        numAllocations += static_cast<uint64>(page->bump - FirstElement(page)) / m_elementSizeAligned;
    // Elements of the global heap are counted only by m_numElements.
    if (m_debugHeap)
        numAllocations = m_numElements;
    MX_ASSERT(m_numElements == (numAllocations - freeCount));

    if (checkLeaks && numAllocations != freeCount)
    {
        const uint64 alive = numAllocations - freeCount;
        Log::Printf(__FILE__, __LINE__, Log::Fatal, "Pool '%s': %d objects still alive", m_debugName,
                    static_cast<int>(alive));
        // One report per live slot: a slot is live when it is not on the free list. The free list
        // is sorted once so that large pools are checked in n log n.
        void** sortedFree = nullptr;
        if (freeCount != 0)
        {
            sortedFree = static_cast<void**>(Memory::Alloc(freeCount * sizeof(void*), alignof(void*)));
            uint64 i = 0;
            for (void* f = m_freeList; f != nullptr; f = NextFree(f))
                sortedFree[i++] = f;
            std::sort(sortedFree, sortedFree + freeCount);
        }
        if (m_debugHeap)
        {
            // The global heap's elements cannot be told apart from here: none is on a free list.
            const bool f = false;
            for (uint64 i = 0; i < alive; ++i)
                MX_ASSERT_MSG(f != 0, "t is still allocated");
        }
        for (Page* page = m_page; page != nullptr; page = page->next)
        {
            for (char* t = FirstElement(page); t < page->bump; t += m_elementSizeAligned)
            {
                const bool f = sortedFree != nullptr &&
                               std::binary_search(sortedFree, sortedFree + freeCount, static_cast<void*>(t));
                MX_ASSERT_MSG(f != 0, "t is still allocated");
            }
        }
        if (sortedFree != nullptr)
            Memory::Free(sortedFree, freeCount * sizeof(void*));
    }

    while (m_page != nullptr)
    {
        Page* next = m_page->next;
        MX_ASSERT(m_numPages > 0);
        m_pageAllocator->Free(m_page, m_pageSizeInBytes, 16);
        if (m_numPages > 0)
            --m_numPages;
        m_page = next;
    }
    m_numElements = 0;
    m_freeList = nullptr;
    Leave();
}

void Pool::Abandon()
{
    Enter();
    if (m_linked)
        Unlink();
    m_page = nullptr;
    m_freeList = nullptr;
    m_numPages = 0;
    m_numElements = 0;
    m_pageAllocator = nullptr;
    Leave();
}

uint32 Pool::VisitAll(void (*visit)(const Info& info, void* context), void* context)
{
    ListLock lock;
    uint32 count = 0;
    for (Pool* pool = GPoolListHead; pool != nullptr; pool = pool->m_next, ++count)
    {
        const Info info{pool->m_debugName,       pool->m_elementSize, pool->m_elementSizeAligned,
                        pool->m_pageSizeInBytes, pool->m_numPages,    pool->m_numElements,
                        pool->m_peakElements,    pool->m_tag,         pool->m_ownerThread};
        visit(info, context);
    }
    return count;
}

uint32 Pool::GetNumPools()
{
    ListLock lock;
    return GNumPools;
}

void Pool::SetDebugHeapPoolsForTests(bool enabled, bool reset)
{
    GDebugHeapPoolsOverride.store(reset ? -1 : (enabled ? 1 : 0), std::memory_order_relaxed);
}
} // namespace Memory
} // namespace Morvex
