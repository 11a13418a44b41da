// Thread temporaries: a bump pointer over the thread's own pages, rolled back when a scope ends.

#include "Core/Memory/ThreadTempAllocator.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/PlatformVirtualMemory.h"

#include <atomic>

namespace Morvex
{
struct ThreadTempState
{
    struct PageRecord
    {
        char* ptr;
        size_t size;
    };
    char* begin;
    char* end;
    char* current;
    uint32 m_currentPageIndex;
    uint32 numPages;
    PageRecord m_pages[ThreadTempAllocator::kMaxPages];
    ThreadTempAllocator* innermost;
};

namespace
{
using State = ThreadTempAllocator::State;
constexpr uint32 kPageSize = ThreadTempAllocator::kPageSize;
constexpr uint32 kMaxPages = ThreadTempAllocator::kMaxPages;

thread_local constinit ThreadTempState t_state{};
constinit std::atomic<uint32> GNumPages{0};

void ReleasePages(ThreadTempState& t)
{
    for (ThreadTempState::PageRecord& page : t.m_pages)
    {
        if (page.ptr == nullptr)
            continue;
        PlatformVirtualMemory::Free(page.ptr, page.size);
        GNumPages.fetch_sub(1, std::memory_order_relaxed);
        page = {};
    }
    t = ThreadTempState{};
}

// Registered with a thread's first page: the pages go back when the thread ends. A scope still
// open then (a leaked one) keeps them, since it would roll back into them.
struct ThreadExitRelease
{
    ~ThreadExitRelease()
    {
        if (t_state.innermost == nullptr)
            ReleasePages(t_state);
    }
};
thread_local ThreadExitRelease t_exitRelease;

bool MakeCurrent(ThreadTempState& t, uint32 index)
{
    if (!MX_VERIFY(index < kMaxPages))
        return false;
    ThreadTempState::PageRecord& page = t.m_pages[index];
    if (page.ptr == nullptr)
    {
        // Null only when a test has replaced the system's refusal to end the process.
        page.ptr = static_cast<char*>(PlatformVirtualMemory::Allocate(kPageSize));
        if (page.ptr == nullptr)
            return false;
        page.size = kPageSize;
        ++t.numPages;
        GNumPages.fetch_add(1, std::memory_order_relaxed);
        (void)&t_exitRelease;
    }
    t.begin = t.current = page.ptr;
    t.end = page.ptr + kPageSize;
    t.m_currentPageIndex = index;
    return true;
}

State StateOf(const ThreadTempState& t)
{
    return State::Make(t.m_currentPageIndex, static_cast<uint32>(t.current - t.begin));
}

// The aligned address, or null when it lies beyond `end`.
char* AlignedIn(char* current, char* end, size_t alignment)
{
    const uintptr_t aligned =
        (reinterpret_cast<uintptr_t>(current) + alignment - 1) & ~(uintptr_t(alignment) - 1);
    return aligned <= reinterpret_cast<uintptr_t>(end) ? reinterpret_cast<char*>(aligned) : nullptr;
}
} // namespace

ThreadTempAllocator::ThreadTempAllocator(const char* debugName, Allocator* fallback)
    : m_fallback(fallback != nullptr ? fallback : &Memory::GetGlobalAllocator()), m_thread(&t_state),
      m_debugName(debugName != nullptr ? debugName : "")
{
    ThreadTempState& t = *m_thread;
    if (t.begin == nullptr)
    {
        MX_ASSERT(t.m_pages[0].ptr == nullptr);
        MakeCurrent(t, 0);
    }
    m_outer = t.innermost;
    t.innermost = this;
    m_savedState = m_currentState = StateOf(t);
}

ThreadTempAllocator::~ThreadTempAllocator()
{
    while (m_fallbackBlocks != nullptr)
    {
        const FallbackBlock block = *m_fallbackBlocks;
        m_fallback->Free(m_fallbackBlocks, block.size, block.alignment);
        m_fallbackBlocks = block.next;
    }
    ThreadTempState& t = *m_thread;
    if (!MX_VERIFY_MSG(&t == &t_state, "A ThreadTempAllocator must end on the thread that created it"))
        return;
    if (!MX_VERIFY_MSG(t.innermost == this, "ThreadTempAllocator scopes must end in reverse order"))
    {
        // The scope just inside this one takes over its start: whatever this scope allocated is
        // released together with that scope's own.
        ThreadTempAllocator* inner = t.innermost;
        while (inner != nullptr && inner->m_outer != this)
            inner = inner->m_outer;
        if (inner != nullptr)
        {
            inner->m_outer = m_outer;
            if (m_savedState.value < inner->m_savedState.value)
                inner->m_savedState = m_savedState;
        }
        return;
    }
    t.innermost = m_outer;
    // An outer scope that allocated while this one was open owns memory above this scope's start.
    for (ThreadTempAllocator* outer = m_outer; outer != nullptr; outer = outer->m_outer)
        if (outer->m_currentState.value > m_savedState.value)
            return;
    const State saved = m_savedState;
    MX_ASSERT(saved.Offset() <= kPageSize);
    MX_ASSERT(saved.PageIndex() < kMaxPages);
    if (saved.Offset() > kPageSize || saved.PageIndex() >= kMaxPages)
        return;
    char* begin = t.m_pages[saved.PageIndex()].ptr;
    // No page: the thread never had one (the system refused it); there is nothing to roll back.
    if (begin == nullptr)
        return;
    t.m_currentPageIndex = saved.PageIndex();
    t.begin = begin;
    t.current = begin + saved.Offset();
    t.end = begin + kPageSize;
}

void* ThreadTempAllocator::Alloc(size_t size, size_t alignment)
{
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        alignment = 16;
    ThreadTempState& t = t_state;
    if (!MX_VERIFY_MSG(&t == m_thread, "A ThreadTempAllocator must be used on the thread that created it"))
    {
        // Touching the scope from here would race with its thread: the block is left to the
        // process's end.
        return Memory::Alloc(size, alignment);
    }
    m_bytesRequested += size;
    // An empty request still gets an address of its own, and the position must grow.
    const size_t request = size == 0 ? 1 : size;
    if (request <= kPageSize && alignment <= kPageSize && t.begin != nullptr)
    {
        char* r = AlignedIn(t.current, t.end, alignment);
        if (r == nullptr || static_cast<size_t>(t.end - r) < request)
        {
            r = nullptr;
            if (t.m_currentPageIndex + 1 < kMaxPages && MakeCurrent(t, t.m_currentPageIndex + 1))
            {
                r = AlignedIn(t.current, t.end, alignment);
                if (r != nullptr && static_cast<size_t>(t.end - r) < request)
                    r = nullptr;
            }
        }
        if (r != nullptr)
        {
            t.current = r + request;
            const State state = StateOf(t);
            MX_ASSERT(state.value > m_currentState.value);
            m_currentState = state;
            return r;
        }
    }
    return AllocFallback(size, alignment);
}

void* ThreadTempAllocator::AllocFallback(size_t size, size_t alignment)
{
    MX_MEMORY_TAG_SCOPE("Core/ThreadTempAllocator");
    const size_t blockAlignment = alignment > 16 ? alignment : 16;
    const size_t header = (sizeof(FallbackBlock) + blockAlignment - 1) & ~(blockAlignment - 1);
    // No sum may wrap into a small block: a size this large goes to the allocator as it is, whose
    // out-of-memory path ends the process.
    const size_t total = size > SIZE_MAX - header ? SIZE_MAX : size + header;
    auto* block = static_cast<FallbackBlock*>(m_fallback->Alloc(total, blockAlignment));
    block->next = m_fallbackBlocks;
    block->size = total;
    block->alignment = blockAlignment;
    m_fallbackBlocks = block;
    return reinterpret_cast<char*>(block) + header;
}

uint32 ThreadTempAllocator::GetNumPages()
{
    return GNumPages.load(std::memory_order_relaxed);
}

uint32 ThreadTempAllocator::GetThreadNumPages()
{
    return t_state.numPages;
}

uint32 ThreadTempAllocator::GetThreadPageIndex()
{
    return t_state.m_currentPageIndex;
}

uint32 ThreadTempAllocator::GetThreadPageOffset()
{
    return static_cast<uint32>(t_state.current - t_state.begin);
}

void ThreadTempAllocator::ReleaseThreadPages()
{
    if (!MX_VERIFY_MSG(t_state.innermost == nullptr,
                       "ThreadTempAllocator pages released under an open scope"))
        return;
    ReleasePages(t_state);
}
} // namespace Morvex
