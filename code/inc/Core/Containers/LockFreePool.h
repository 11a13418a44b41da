#pragma once
// A pool of fixed-size objects handed out through per-thread caches in bundles of 32. Bundles come
// from a paged allocator and are never returned to the heap before the pool is destroyed; full
// bundles circulate between threads on a lock-free stack, and the leftovers of exiting threads gather
// in a global partial bundle under a lock. Alloc and Free cost a pointer pop or push in the calling
// thread's cache, except every 32nd call.

#include "Core/Containers/LockFreeList.h"
#include "Core/Containers/LockFreeOnceIndexedPagedAllocator.h"
#include "Core/Types.h"

#include <atomic>
#include <mutex>

namespace Morvex
{
class LockFreePool final : public LockFree::ThreadCacheOwner
{
public:
    // elementSize: bytes per object (asserted not 0), rounded up to a multiple of 8 and at least 8 (a
    // free object holds the free-list link in its first 8 bytes); objects are 8-byte aligned, 16 when
    // the rounded size is a multiple of 16. maxObjects: how many can be alive at once.
    // itemsPerPageHint: objects per page of the backing allocator (rounded to whole bundles and a
    // power of two). name: for the leak report, not copied.
    LockFreePool(uint32 elementSize, uint32 maxObjects, uint32 itemsPerPageHint, const char* name);
    // Main thread only ("Threading::IsMainThread()"), once every other thread that used the pool has
    // exited (or flushed its cache). Flushes the calling thread's cache; objects still alive are
    // logged at Error as "LockFreePool '%s': %u objects still alive" and raise the assertions
    // "!m_globalPartialBundle" and "m_numUsedBundles.load(std::memory_order_acquire) == 0".
    ~LockFreePool() override;

    // Uninitialised storage of the object size; null after the paged allocator's assertion when
    // maxObjects are alive. Any thread.
    void* Alloc();
    // p: from this pool's Alloc (asserts "p"; null does nothing). Any thread.
    void Free(void* p);

    uint32 GetObjectSize() const { return m_objectSize; }
    // Figures for diagnostics and tests; exact only while no other thread uses the pool.
    uint32 GetNumAllocatedBundles() const { return m_numAllocatedBundles.load(std::memory_order_relaxed); }
    uint32 GetNumUsedBundles() const { return m_numUsedBundles.load(std::memory_order_relaxed); }
    uint32 CountFreeObjects();

private:
    void FlushSlot(LockFree::ThreadCacheSlot& slot) override;
    void* AllocFrom(LockFree::ThreadCacheSlot& cache);
    void FreeInto(LockFree::ThreadCacheSlot& cache, void* p);
    void PushBundle(void* first);
    void* PopBundle();

    LockFreeList m_bundles; // links whose payload is a full bundle's first object
    LockFreeOnceIndexedPagedAllocator m_bundleAllocator;
    std::mutex m_lock; // the global partial bundle
    void* m_globalPartialBundle = nullptr;
    uint32 m_globalPartialCount = 0;
    uint32 m_objectSize = 0;
    std::atomic<uint32> m_numAllocatedBundles{0};
    std::atomic<uint32> m_numUsedBundles{0};
    const char* m_name;
};
} // namespace Morvex
