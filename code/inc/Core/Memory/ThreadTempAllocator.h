#pragma once
// Per-thread stack allocation with nested scopes. Each thread owns up to kMaxPages pages of kPageSize
// bytes, taken from PlatformVirtualMemory on first use and kept for the thread's lifetime. A
// ThreadTempAllocator object is a scope: it allocates by bumping the thread's current pointer and,
// when it ends, releases at once everything allocated since it began. Requests larger than a page,
// and requests once the pages are used up, come from a fallback allocator (charged to the memory tag
// "Core/ThreadTempAllocator") and are returned when the scope ends.
//
// Use it for short-lived work inside one function:
//     ThreadTempAllocator temp(MX_THREAD_TEMP_NAME);
//     String text;
//     text.SetAllocator(&temp);   // declared after the scope: destroyed before it
//
// Scopes end in the reverse order of their creation and never cross threads: a scope is used only
// by the thread that created it (a call from another thread asserts and is served by the fallback).
// An outer scope may allocate while an inner one is open; the inner one then releases nothing when
// it ends, and the outer one releases both.

#include "Core/Memory/Allocator.h"
#include "Core/Memory/MemoryHeap.h"
#include "Core/Types.h"

// The debug name of a scope: the source location that creates it.
#define MX_THREAD_TEMP_NAME __FILE__ ":" MX_HEAP_NAME_STR(__LINE__)

namespace Morvex
{
struct ThreadTempState;

class ThreadTempAllocator final : public Allocator
{
public:
    static constexpr uint32 kPageSize = 0x10000;
    static constexpr uint32 kMaxPages = 32;

    // Opens a scope on the calling thread. `debugName`: kept, not copied. `fallback`: for requests
    // the pages cannot serve; the global heap's allocator when null.
    explicit ThreadTempAllocator(const char* debugName, Allocator* fallback = nullptr);
    // Returns the fallback blocks and releases everything allocated in the scope (unless an outer
    // scope allocated meanwhile). Ending a scope that is not the innermost asserts; its memory is then
    // released with the scope inside it.
    ~ThreadTempAllocator() override;
    ThreadTempAllocator(const ThreadTempAllocator&) = delete;
    ThreadTempAllocator& operator=(const ThreadTempAllocator&) = delete;

    // Valid until the scope ends; never null. `alignment`: a power of two (others count as 16).
    // Size 0 gets a distinct, valid address like any other request.
    void* Alloc(size_t size, size_t alignment) override;
    // Does nothing: memory is released when the scope ends.
    void Free(void*, size_t, size_t) override {}

    const char* GetDebugName() const { return m_debugName; }
    // Bytes asked of this scope so far (the pages and the fallback together).
    uint64 GetBytesRequested() const { return m_bytesRequested; }

    // Pages held by all threads together.
    static uint32 GetNumPages();
    // Pages the calling thread holds.
    static uint32 GetThreadNumPages();
    // The calling thread's position: page index and offset in that page (index 0, offset 0 before
    // the first scope).
    static uint32 GetThreadPageIndex();
    static uint32 GetThreadPageOffset();
    // Gives the calling thread's pages back to the system. Runs by itself when the thread ends;
    // with a scope still open on the thread it asserts and keeps them.
    static void ReleaseThreadPages();

    // A position in the thread's pages: bits 17-22 the page index, bits 0-16 the offset (up to and
    // including kPageSize). Positions grow while allocations happen.
    struct State
    {
        uint32 value = 0;
        uint32 PageIndex() const { return (value >> 17) & 0x3F; }
        uint32 Offset() const { return value & 0x1FFFF; }
        static State Make(uint32 pageIndex, uint32 offset)
        {
            return State{((pageIndex << 17) | offset) & 0x7FFFFF};
        }
    };

private:
    struct FallbackBlock
    {
        FallbackBlock* next;
        size_t size;
        size_t alignment;
    };
    void* AllocFallback(size_t size, size_t alignment);

    Allocator* m_fallback;
    State m_savedState;
    State m_currentState;
    ThreadTempState* m_thread; // the creating thread's pages and innermost scope
    ThreadTempAllocator* m_outer;
    FallbackBlock* m_fallbackBlocks = nullptr;
    uint64 m_bytesRequested = 0;
    const char* m_debugName;
};
} // namespace Morvex
