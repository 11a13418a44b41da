#pragma once
// Pools of equal-sized elements carved from pages, with a LIFO free list: for records that are
// created and destroyed often (shared-string entries, events, raw files, dictionary objects).
//
// A pool is a single-threaded object: its owner serialises Alloc, Free and Clear (a lock of its
// own choosing). Two threads inside one pool at once stop in the debugger when one is attached.
// Every set-up pool is in a process-wide list (guarded by its own lock) for the diagnostics.
//
// Labels follow the heaps' convention: MX_HEAP_NAME("Core/RawFile") gives
// "Core/RawFile:<source path>:<line>".

#include "Core/Memory/Allocator.h"
#include "Core/Memory/MemoryHeap.h"
#include "Core/Types.h"

#include <atomic>
#include <new>
#include <utility>

namespace Morvex
{
namespace Memory
{
class Pool
{
public:
    // What a pool tells the diagnostics.
    struct Info
    {
        const char* name;
        uint64 elementSize;
        uint64 elementSizeAligned;
        uint64 pageSizeInBytes;
        uint64 numPages;
        uint64 numElements;
        uint64 peakElements;
        int16 tag;
        uint32 ownerThread;
    };

    constexpr Pool() = default;
    // Clears with the leak check and leaves the global list. A pool that was never set up (or was
    // abandoned) is in no list and only clears.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Once per pool. `debugName`: kept, not copied; not empty. `elementSize`: at least 16.
    // `pageSize`: bytes per page, or 0 for 256 elements (at least 16 KiB, at most 128 KiB, a power of
    // two). `tag`: memory-tag index charged for the pages, or -1 (none). `elementAlignment`: a power
    // of two. `pageAllocator`: source of pages, the global heap when null. Contract violations assert
    // and are then corrected (an element of 16 bytes, alignment 16, a page that holds two elements)
    // so that the pool stays usable; a size that cannot be served leaves the pool not set up.
    void Setup(const char* debugName, uint64 elementSize, uint64 pageSize, int16 tag, uint64 elementAlignment,
               Allocator* pageAllocator = nullptr);
    bool IsSetUp() const { return m_pageAllocator != nullptr; }

    // An element of the set-up size and alignment, contents undefined. Never null once set up (the
    // page allocator ends the process when memory runs out); before Setup asserts "m_pageAllocator"
    // ("Don't forget to Setup()") and returns null.
    void* Alloc();
    // Returns an element of this pool; null does nothing. A free with no live element asserts
    // "m_numElements > 0" and is ignored.
    void Free(void* element);
    // Returns every page to the page allocator; the pool stays set up. With `checkLeaks`, elements
    // still handed out are reported: "Pool '%s': %d objects still alive" at Fatal, then the
    // assertion "f != 0" ("t is still allocated") once per live slot. Their memory is freed anyway.
    void Clear(bool checkLeaks);
    // For elements that must outlive their pool's owner (still referenced at shutdown): leaves the
    // global list and forgets the pages without freeing them. The pool is then as if never set up.
    void Abandon();

    const char* GetDebugName() const { return m_debugName; }
    uint64 GetElementSize() const { return m_elementSize; }
    uint64 GetElementSizeAligned() const { return m_elementSizeAligned; }
    uint64 GetElementAlignment() const { return m_elementAlignment; }
    uint64 GetPageSize() const { return m_pageSizeInBytes; }
    uint64 GetNumPages() const { return m_numPages; }
    uint64 GetNumElements() const { return m_numElements; }
    uint64 GetPeakElements() const { return m_peakElements; }
    int16 GetTag() const { return m_tag; }
    uint32 GetOwnerThread() const { return m_ownerThread; }

    // The pools in the global list, newest first, under the list's lock: `visit` must not set up or
    // destroy a pool. Returns how many were visited.
    static uint32 VisitAll(void (*visit)(const Info& info, void* context), void* context);
    static uint32 GetNumPools();

    // Tests: whether pools set up from now on take each element from the global heap (as with
    // "--debug-heap --debug-heap-pools"). Restores the command line's choice with `reset`.
    static void SetDebugHeapPoolsForTests(bool enabled, bool reset = false);

    // Layout of a page: this header, then the elements from the first aligned address.
    struct Page
    {
        Page* next;
        char* bump;
    };
    static_assert(sizeof(Page) == 16);

private:
    void AddPage();
    char* FirstElement(Page* page) const;
    char* PageEnd(Page* page) const { return reinterpret_cast<char*>(page) + m_pageSizeInBytes; }
    void Enter();
    void Leave();
    void Link();
    void Unlink();

    // A figure the owner writes and the diagnostics read from any thread (VisitAll): only the owner
    // changes it, so a relaxed load and store stand in for the increment, and a reader sees some
    // recent value instead of a torn one.
    class Figure
    {
    public:
        constexpr Figure() = default;
        operator uint64() const { return m_value.load(std::memory_order_relaxed); }
        Figure& operator=(uint64 value)
        {
            m_value.store(value, std::memory_order_relaxed);
            return *this;
        }
        Figure& operator++() { return *this = *this + 1; }
        Figure& operator--() { return *this = *this - 1; }

    private:
        std::atomic<uint64> m_value{0};
    };

    void* m_freeList = nullptr; // linked through each element's first bytes
    Allocator* m_pageAllocator = nullptr;
    Page* m_page = nullptr;
    Pool* m_next = nullptr;
    Pool* m_prev = nullptr;
    const char* m_debugName = "";
    uint64 m_pageSizeInBytes = 0;
    Figure m_numPages;
    Figure m_numElements;
    uint64 m_elementSize = 0;
    uint64 m_elementSizeAligned = 0;
    uint64 m_elementAlignment = 0;
    Figure m_peakElements;
    int16 m_tag = -1;
    uint32 m_ownerThread = 0;
    std::atomic<uint32> m_reentrancy{0};
    bool m_linked = false;
    bool m_debugHeap = false; // elements come one by one from the global heap
};

// A pool of objects of one type: constructs on New, destroys on Delete. Single-threaded like the
// pool. With no name it is called "UnnamedObjPool"; a page holds 32 objects after the page header.
template <typename T>
class ObjectPool
{
public:
    static constexpr uint64 kAlignment = alignof(T) > 8 ? alignof(T) : 8;
    static constexpr uint64 kElementSize = sizeof(T) > 16 ? sizeof(T) : 16;

    // `debugName`: kept, not copied (null: "UnnamedObjPool"). `tag`: as for Pool::Setup.
    explicit ObjectPool(const char* debugName = nullptr, int16 tag = -1)
    {
        const uint64 aligned = (kElementSize + kAlignment - 1) & ~(kAlignment - 1);
        m_pool.Setup(debugName != nullptr ? debugName : "UnnamedObjPool", kElementSize,
                     32 * aligned + sizeof(Pool::Page), tag, kAlignment);
    }

    template <typename... Args>
    T* New(Args&&... args)
    {
        void* p = m_pool.Alloc();
        return p != nullptr ? new (p) T(std::forward<Args>(args)...) : nullptr;
    }
    // Null does nothing.
    void Delete(T* object)
    {
        if (object == nullptr)
            return;
        object->~T();
        m_pool.Free(object);
    }

    Pool& GetPool() { return m_pool; }

private:
    Pool m_pool;
};
} // namespace Memory
} // namespace Morvex
