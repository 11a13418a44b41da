// Linear heaps: a bump pointer over pages that are kept and reused after a rewind.

#include "Core/Memory/LinearHeap.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "SystemMemory.h"

#include <cstring>
#include <thread>

namespace Morvex
{
namespace
{
constinit std::atomic<bool> GHeapListLock{false};
constinit LinearHeap* GHeapListHead = nullptr;
constinit uint32 GNumHeaps = 0;

class ListLock
{
public:
    ListLock()
    {
        while (GHeapListLock.exchange(true, std::memory_order_acquire))
            while (GHeapListLock.load(std::memory_order_relaxed))
                std::this_thread::yield();
    }
    ~ListLock() { GHeapListLock.store(false, std::memory_order_release); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
};

MemoryTag TagOf(int16 tag)
{
    return MemoryTag{tag > 0 ? static_cast<uint16>(tag) : uint16(0)};
}

// The aligned address, or null when it would lie beyond `end` (or the page has no memory).
char* AlignedIn(char* current, char* end, size_t alignment)
{
    if (current == nullptr)
        return nullptr;
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(current) + alignment - 1) & ~(uintptr_t(alignment) - 1);
    return aligned <= reinterpret_cast<uintptr_t>(end) ? reinterpret_cast<char*>(aligned) : nullptr;
}
} // namespace

LinearHeap::LinearHeap(const char* debugName, uint32 pageSize, int16 tag, Allocator* pageAllocator)
    : m_pageSize(pageSize),
      m_pageAllocator(pageAllocator != nullptr ? pageAllocator : &Memory::GetGlobalAllocator()), m_tag(tag),
      m_debugName(debugName != nullptr ? debugName : "")
{
    m_currentPage = &s_emptyPage;
    MX_ASSERT(m_pageSize >= 16);
    if (m_pageSize < 16)
        m_pageSize = 16;
    ListLock lock;
    m_next = GHeapListHead;
    if (GHeapListHead != nullptr)
        GHeapListHead->m_prev = this;
    GHeapListHead = this;
    ++GNumHeaps;
    m_ownerThread = ReadCurrentThreadId();
}

LinearHeap::~LinearHeap()
{
    Enter();
    for (uint32 i = 0; i < m_numPages; ++i)
        m_pageAllocator->Free(m_pages[i].begin, static_cast<size_t>(m_pages[i].end - m_pages[i].begin), 16);
    if (m_pages != nullptr)
        Memory::Free(m_pages, sizeof(PageRecord) * m_pagesCapacity);
    ReleaseOversized();
    m_pages = nullptr;
    m_numPages = m_pagesCapacity = 0;
    m_currentPageIndex = -1;
    m_currentPage = &s_emptyPage;
    m_used = 0;
    Leave();

    ListLock lock;
    MX_ASSERT(GNumHeaps > 0);
    if (m_prev != nullptr)
        m_prev->m_next = m_next;
    else
        GHeapListHead = m_next;
    if (m_next != nullptr)
        m_next->m_prev = m_prev;
    if (GNumHeaps > 0)
        --GNumHeaps;
}

void LinearHeap::Enter()
{
    // A debugging aid for a heap used from two threads at once: no read-modify-write on the common
    // path.
    const uint32 previous = m_reentrancy.load(std::memory_order_relaxed);
    m_reentrancy.store(previous + 1, std::memory_order_relaxed);
    if (previous != 0 && Platform_IsDebuggerPresent())
        MX_DEBUG_BREAK();
}

void LinearHeap::Leave()
{
    const uint32 previous = m_reentrancy.load(std::memory_order_relaxed);
    m_reentrancy.store(previous != 0 ? previous - 1 : 0, std::memory_order_relaxed);
}

void LinearHeap::NextPage()
{
    ++m_currentPageIndex;
    if (static_cast<uint32>(m_currentPageIndex) < m_numPages)
    {
        m_currentPage = &m_pages[m_currentPageIndex];
        m_currentPage->current = m_currentPage->begin;
        return;
    }
    if (m_numPages == m_pagesCapacity)
    {
        MX_MEMORY_TAG_SCOPE("Core/LinearHeap");
        const uint32 capacity = m_pagesCapacity == 0 ? 1 : m_pagesCapacity * 2;
        auto* grown =
            static_cast<PageRecord*>(Memory::Alloc(sizeof(PageRecord) * capacity, alignof(PageRecord)));
        if (m_pages != nullptr)
        {
            std::memcpy(grown, m_pages, sizeof(PageRecord) * m_numPages);
            Memory::Free(m_pages, sizeof(PageRecord) * m_pagesCapacity);
        }
        m_pages = grown;
        m_pagesCapacity = capacity;
    }
    char* page;
    {
        MemoryTagScope scope(TagOf(m_tag));
        page = static_cast<char*>(m_pageAllocator->Alloc(m_pageSize, 16));
    }
    m_pages[m_numPages] = PageRecord{page, page + m_pageSize, page};
    m_currentPage = &m_pages[m_numPages];
    ++m_numPages;
}

void* LinearHeap::Alloc(size_t size, size_t alignment)
{
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        alignment = 16;
    Enter();
    char* r = AlignedIn(m_currentPage->current, m_currentPage->end, alignment);
    if (r == nullptr || static_cast<size_t>(m_currentPage->end - r) < size)
    {
        NextPage();
        r = AlignedIn(m_currentPage->current, m_currentPage->end, alignment);
        // Checked at the aligned address: an alignment above the page's own could otherwise push a
        // request that "fits" past the page's end.
        if (r == nullptr || static_cast<size_t>(m_currentPage->end - r) < size)
        {
            if (AssertFailed(__FILE__, __LINE__,
                             "m_currentPage->end - m_currentPage->current >= (ptrdiff_t)size", nullptr))
                MX_DEBUG_BREAK();
            void* block = AllocOversized(size, alignment);
            Leave();
            return block;
        }
    }
    m_currentPage->current = r + size;
    m_used += size;
    if (m_used > m_peakUsed)
        m_peakUsed = m_used;
    ++m_numAllocations;
    Leave();
    return r;
}

void* LinearHeap::AllocOversized(size_t size, size_t alignment)
{
    const size_t blockAlignment = alignment > 16 ? alignment : 16;
    const size_t header = (sizeof(OversizedBlock) + blockAlignment - 1) & ~(blockAlignment - 1);
    // A size this close to the address space's end cannot be real; the allocator's out-of-memory
    // path ends the process instead of a wrapped sum serving a small block.
    const size_t total = size > SIZE_MAX - header ? SIZE_MAX : size + header;
    void* base;
    {
        MemoryTagScope scope(TagOf(m_tag));
        base = m_pageAllocator->Alloc(total, blockAlignment);
    }
    auto* block = static_cast<OversizedBlock*>(base);
    block->next = m_oversized;
    block->size = total;
    block->alignment = blockAlignment;
    m_oversized = block;
    m_used += size;
    if (m_used > m_peakUsed)
        m_peakUsed = m_used;
    ++m_numAllocations;
    return static_cast<char*>(base) + header;
}

void LinearHeap::ReleaseOversized()
{
    while (m_oversized != nullptr)
    {
        const OversizedBlock block = *m_oversized;
        m_pageAllocator->Free(m_oversized, block.size, block.alignment);
        m_oversized = block.next;
    }
}

void LinearHeap::Rewind()
{
    Enter();
    for (uint32 i = 0; i < m_numPages; ++i)
        m_pages[i].current = m_pages[i].begin;
    ReleaseOversized();
    m_currentPageIndex = -1;
    m_currentPage = &s_emptyPage;
    m_used = 0;
    Leave();
}

uint32 LinearHeap::VisitAll(void (*visit)(const Info& info, void* context), void* context)
{
    ListLock lock;
    uint32 count = 0;
    for (LinearHeap* heap = GHeapListHead; heap != nullptr; heap = heap->m_next, ++count)
    {
        const Info info{heap->m_debugName,        heap->m_pageSize, heap->m_numPages,
                        heap->m_currentPageIndex, heap->m_used,     heap->m_peakUsed,
                        heap->m_numAllocations,   heap->m_tag,      heap->m_ownerThread};
        visit(info, context);
    }
    return count;
}

uint32 LinearHeap::GetNumHeaps()
{
    ListLock lock;
    return GNumHeaps;
}
} // namespace Morvex
