// The lock-free pool: bundles of 32 objects chained through their first 8 bytes. An object belongs to
// one thread at a time; bundles change threads only through the lock-free stack (release push,
// acquire pop, see LockFreeList.cpp) or the global partial bundle (its lock), which orders every
// write of the previous owner before the next owner's.

#include "Core/Containers/LockFreePool.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Threading/Threading.h"

#include <bit>

namespace Morvex
{
namespace Constants = LockFree::Constants;
using LockFree::ThreadCacheSlot;
using LockFree::Constants::kNumObjectsInBundle;

namespace
{
uint32 ObjectSize(uint32 elementSize)
{
    // Larger objects would make bundles past 32-bit sizes.
    constexpr uint32 kMaxObjectSize = 0x1000000;
    if (elementSize > kMaxObjectSize)
    {
        MX_ASSERT(elementSize <= kMaxObjectSize);
        elementSize = kMaxObjectSize;
    }
    uint32 size = (elementSize + 7) & ~7u;
    return size < 8 ? 8 : size;
}

// One more than the bundles needed: the allocator's index 0 is never handed out.
uint32 BundleCount(uint32 maxObjects)
{
    return (maxObjects + kNumObjectsInBundle - 1) / kNumObjectsInBundle + 1;
}

uint32 BundlesPerPage(uint32 itemsPerPageHint)
{
    uint32 bundles = (itemsPerPageHint + kNumObjectsInBundle - 1) / kNumObjectsInBundle;
    return std::bit_ceil(bundles < 1 ? 1u : bundles);
}

void*& NextOf(void* object)
{
    return *static_cast<void**>(object);
}
} // namespace

LockFreePool::LockFreePool(uint32 elementSize, uint32 maxObjects, uint32 itemsPerPageHint, const char* name)
    : ThreadCacheOwner(EFlushOrder::kPool),
      m_bundleAllocator(ObjectSize(elementSize) * kNumObjectsInBundle, BundleCount(maxObjects),
                        BundlesPerPage(itemsPerPageHint)),
      m_objectSize(ObjectSize(elementSize)), m_name(name ? name : "")
{
    MX_ASSERT(elementSize);
    if (m_slotIndex >= kMaxOwners)
        MX_LOG_WARNING("LockFreePool '%s': no per-thread cache left, every call takes the global lock",
                       m_name);
}

LockFreePool::~LockFreePool()
{
    MX_ASSERT(Threading::IsMainThread());
    Unregister();
    FlushCallingThread();
    uint32 freeObjects = CountFreeObjects();
    uint64 total =
        static_cast<uint64>(m_numAllocatedBundles.load(std::memory_order_acquire)) * kNumObjectsInBundle;
    if (total > freeObjects)
        MX_LOG_ERROR("LockFreePool '%s': %u objects still alive", m_name,
                     static_cast<uint32>(total - freeObjects));
    MX_ASSERT(!m_globalPartialBundle);
    MX_ASSERT(m_numUsedBundles.load(std::memory_order_acquire) == 0);
    uint32 numVisitedBundles = 0;
    while (PopBundle())
        ++numVisitedBundles;
    MX_ASSERT(numVisitedBundles == m_numAllocatedBundles.load());
}

uint32 LockFreePool::CountFreeObjects()
{
    uint32 count = 0;
    // Popping and pushing back again keeps the walk on the stack's own operations.
    LockFreeList kept;
    while (uint32 link = m_bundles.Pop())
    {
        count += kNumObjectsInBundle;
        kept.Push(link);
    }
    while (uint32 link = kept.Pop())
        m_bundles.Push(link);
    std::lock_guard<std::mutex> lock(m_lock);
    return count + m_globalPartialCount;
}

void* LockFreePool::Alloc()
{
    if (ThreadCacheSlot* cache = GetThreadSlot()) [[likely]]
        return AllocFrom(*cache);
    ThreadCacheSlot temporary;
    temporary.generation = m_generation;
    void* p = AllocFrom(temporary);
    FlushSlot(temporary);
    return p;
}

void LockFreePool::Free(void* p)
{
    MX_ASSERT(p);
    if (p == nullptr)
        return;
    if (ThreadCacheSlot* cache = GetThreadSlot()) [[likely]]
    {
        FreeInto(*cache, p);
        return;
    }
    ThreadCacheSlot temporary;
    temporary.generation = m_generation;
    FreeInto(temporary, p);
    FlushSlot(temporary);
}

void* LockFreePool::AllocFrom(ThreadCacheSlot& cache)
{
    if (cache.count == 0)
    {
        if (cache.full)
        {
            cache.partial = cache.full;
            cache.full = 0;
        }
        else
        {
            void* bundle = PopBundle();
            if (bundle == nullptr)
            {
                uint32 index = m_bundleAllocator.Alloc(1);
                if (index == 0)
                    return nullptr;
                auto* first = static_cast<uint8*>(m_bundleAllocator.GetItem(index));
                for (uint32 i = 0; i < kNumObjectsInBundle; ++i)
                    NextOf(first + i * m_objectSize) =
                        i + 1 < kNumObjectsInBundle ? first + (i + 1) * m_objectSize : nullptr;
                bundle = first;
                m_numAllocatedBundles.fetch_add(1, std::memory_order_relaxed);
            }
            // Relaxed: figures for the destructor, which runs after every other user is joined.
            m_numUsedBundles.fetch_add(1, std::memory_order_relaxed);
            cache.partial = reinterpret_cast<uint64>(bundle);
        }
        cache.count = kNumObjectsInBundle;
    }
    void* p = reinterpret_cast<void*>(cache.partial);
    cache.partial = reinterpret_cast<uint64>(NextOf(p));
    --cache.count;
    // The next object's link is read by the next call, one cache miss after another when the bundle
    // was freed on another thread: start fetching it now.
    if (cache.partial)
    {
        auto* next = reinterpret_cast<const char*>(cache.partial);
        __builtin_prefetch(next, 1);
        // The object's second line too: the caller is about to construct it.
        if (m_objectSize > 64)
            __builtin_prefetch(next + 64, 1);
    }
    return p;
}

void LockFreePool::FreeInto(ThreadCacheSlot& cache, void* p)
{
    if (cache.count == kNumObjectsInBundle)
    {
        if (cache.full)
            PushBundle(reinterpret_cast<void*>(cache.full));
        cache.full = cache.partial;
        cache.partial = 0;
        cache.count = 0;
    }
    NextOf(p) = reinterpret_cast<void*>(cache.partial);
    cache.partial = reinterpret_cast<uint64>(p);
    ++cache.count;
}

void LockFreePool::PushBundle(void* first)
{
    uint32 link = LockFree::AllocLink();
    if (link == 0)
        return; // the links manager's assertion reported it; the bundle stays counted as in use
    LockFree::GetLink(link).m_payload = reinterpret_cast<uint64>(first);
    m_bundles.Push(link);
    m_numUsedBundles.fetch_sub(1, std::memory_order_relaxed);
}

void* LockFreePool::PopBundle()
{
    uint32 link = m_bundles.Pop();
    if (link == 0)
        return nullptr;
    void* bundle = reinterpret_cast<void*>(LockFree::GetLink(link).m_payload);
    LockFree::FreeLink(link);
    return bundle;
}

void LockFreePool::FlushSlot(ThreadCacheSlot& slot)
{
    if (slot.full)
        PushBundle(reinterpret_cast<void*>(slot.full));
    slot.full = 0;
    if (slot.count == kNumObjectsInBundle)
    {
        MX_ASSERT(slot.partial);
        PushBundle(reinterpret_cast<void*>(slot.partial));
    }
    else if (slot.count > 0)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        uint32 numNodes = slot.count;
        MX_ASSERT(numNodes > 0 && numNodes < Constants::kNumObjectsInBundle);
        uint32 numVisitedNodes = 0;
        for (void* p = reinterpret_cast<void*>(slot.partial); p && numVisitedNodes < numNodes;
             ++numVisitedNodes)
        {
            void* next = NextOf(p);
            NextOf(p) = m_globalPartialBundle;
            m_globalPartialBundle = p;
            if (++m_globalPartialCount == kNumObjectsInBundle)
            {
                PushBundle(m_globalPartialBundle);
                m_globalPartialBundle = nullptr;
                m_globalPartialCount = 0;
            }
            p = next;
        }
        MX_ASSERT(numNodes == numVisitedNodes);
    }
    slot.partial = 0;
    slot.count = 0;
    slot.generation = 0;
}
} // namespace Morvex
