// Lock-free stacks of links, the links manager and the per-thread caches of links and pools.
//
// Memory orders of the stacks, once for all of them:
// - Every change of a head is a read-modify-write, so each value a head holds continues the release
//   sequence of every earlier release on it: an acquire read of the head synchronises with every
//   push that came before, however many pops and pushes happened in between.
// - A push writes the link's next (and the caller has written its payload) before a release
//   compare-and-swap, so whoever acquires the head sees those writes. Its read of the head can be
//   relaxed: a push never follows the old top.
// - A pop reads the head with acquire because it then follows the top link's next; the next it reads
//   is the one written before that top was pushed, or a later one if the link was popped and pushed
//   again meanwhile, and then the change counter makes the compare-and-swap fail. The next is an
//   atomic (relaxed) because such a stale read races with the new owner's write by design.
// - Closing is acquire-release: acquire to own the chain's links and payloads, release so that a
//   thread that finds the list closed (IsClosed, a failed push) sees everything the closer did before.

#include "Core/Containers/LockFreeList.h"

#include "Core/Assert.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Threading/Threading.h"

#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>

namespace Morvex
{
namespace LockFree
{
LinksManager* GLinksManager = nullptr;

namespace
{
constexpr uint64 kStackIndexMask = Constants::kMaxLockFreeLinks - 1;
constexpr uint64 kStackCounterUnit = Constants::kMaxLockFreeLinks;

std::atomic<StallHook> GStallHook{nullptr};

inline void Stall(EListOp op, EStallPoint point)
{
    if (StallHook hook = GStallHook.load(std::memory_order_relaxed)) [[unlikely]]
        hook(op, point);
}

// --- Per-thread caches -------------------------------------------------------------------------------

// Trivially constructed and destroyed, so that it stays readable during the thread's teardown and
// its use costs no initialisation check; ThreadCacheGuard below does the flush at thread exit.
struct ThreadCaches
{
    ThreadCacheSlot slots[ThreadCacheOwner::kMaxOwners];
    bool m_destroyed;
    bool guardArmed;

    void CheckAlive() const { MX_ASSERT(!m_destroyed); }
};
thread_local constinit ThreadCaches t_caches{};

struct OwnerRecord
{
    ThreadCacheOwner* owner;
    uint64 generation;
    uint32 flushOrder;
};

// Guards the owner table; held while an exiting thread flushes, so that an owner cannot be destroyed
// under a flush (an owner unregisters before it tears anything down).
constinit std::mutex GOwnersLock;
constinit OwnerRecord GOwners[ThreadCacheOwner::kMaxOwners] = {};
constinit uint64 GNextGeneration = 1;

struct ThreadCacheGuard
{
    ~ThreadCacheGuard();
    void Arm() { armed = true; }
    bool armed = false;
};
thread_local ThreadCacheGuard t_cacheGuard;
} // namespace

// Lets the guard call the owners' protected flush.
class ThreadCacheFlusher
{
public:
    static void Flush(ThreadCacheOwner* owner, ThreadCacheSlot& slot) { owner->FlushSlot(slot); }
};

namespace
{
ThreadCacheGuard::~ThreadCacheGuard()
{
    ThreadCaches& caches = t_caches;
    std::lock_guard<std::mutex> lock(GOwnersLock);
    for (uint32 order : {0u, 1u})
    {
        for (uint32 i = 0; i < ThreadCacheOwner::kMaxOwners; ++i)
        {
            ThreadCacheSlot& slot = caches.slots[i];
            const OwnerRecord& record = GOwners[i];
            if (slot.generation != 0 && record.owner && record.generation == slot.generation &&
                record.flushOrder == order)
                ThreadCacheFlusher::Flush(record.owner, slot);
        }
    }
    for (ThreadCacheSlot& slot : caches.slots)
        slot = ThreadCacheSlot{};
    caches.m_destroyed = true;
}
} // namespace

ThreadCacheOwner::ThreadCacheOwner(EFlushOrder order)
{
    std::lock_guard<std::mutex> lock(GOwnersLock);
    m_generation = GNextGeneration++;
    for (uint32 i = 0; i < kMaxOwners; ++i)
    {
        if (GOwners[i].owner == nullptr)
        {
            GOwners[i] = {this, m_generation, static_cast<uint32>(order)};
            m_slotIndex = i;
            break;
        }
    }
}

ThreadCacheOwner::~ThreadCacheOwner()
{
    Unregister();
}

void ThreadCacheOwner::Unregister()
{
    if (m_slotIndex >= kMaxOwners)
        return;
    std::lock_guard<std::mutex> lock(GOwnersLock);
    if (GOwners[m_slotIndex].owner == this && GOwners[m_slotIndex].generation == m_generation)
        GOwners[m_slotIndex] = {};
    // The calling thread's slot is left to the derived destructor's flush; other threads' slots go
    // stale and are reset when a later owner takes the index.
}

ThreadCacheSlot* ThreadCacheOwner::ThreadSlots()
{
    return t_caches.slots;
}

bool ThreadCacheOwner::IsThreadExiting()
{
    return t_caches.m_destroyed;
}

ThreadCacheSlot* ThreadCacheOwner::AttachThreadSlot()
{
    ThreadCaches& caches = t_caches;
    if (caches.m_destroyed)
        return nullptr;
    if (!caches.guardArmed)
    {
        // The first use of the guard on this thread registers its destructor for the thread's exit.
        t_cacheGuard.Arm();
        caches.guardArmed = true;
    }
    // A slot left by a destroyed owner holds nothing that is still counted anywhere: drop it.
    ThreadCacheSlot& slot = caches.slots[m_slotIndex];
    slot = ThreadCacheSlot{};
    slot.generation = m_generation;
    OnSlotAttached(slot);
    return &slot;
}

void ThreadCacheOwner::FlushCallingThread()
{
    if (m_slotIndex >= kMaxOwners || t_caches.m_destroyed)
        return;
    ThreadCacheSlot& slot = t_caches.slots[m_slotIndex];
    if (slot.generation == m_generation)
        FlushSlot(slot);
}

// --- Stall injection ------------------------------------------------------------------------------

void SetStallHook(StallHook hook)
{
    GStallHook.store(hook, std::memory_order_relaxed);
}

StallHook GetStallHook()
{
    return GStallHook.load(std::memory_order_relaxed);
}

void RandomStall(EListOp, EStallPoint point)
{
    if (point == EStallPoint::kAfterCompareExchange)
        return;
    float x = static_cast<float>(std::rand() % 0xFFFF);
    if (x < 65.535f)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    else if (x < 655.35f)
        std::this_thread::yield();
}

// --- Stacks -----------------------------------------------------------------------------------------

void StackPush(std::atomic<uint64>& head, const LinksManager& links, uint32 pointer)
{
    MX_ASSERT(pointer < Constants::kMaxLockFreeLinks);
    if (pointer == 0 || pointer >= Constants::kMaxLockFreeLinks)
        return;
    Link& link = links.Get(pointer);
    for (;;)
    {
        Stall(EListOp::kPush, EStallPoint::kBeforeLoad);
        uint64 old = head.load(std::memory_order_relaxed);
        Stall(EListOp::kPush, EStallPoint::kBeforeCompareExchange);
        link.m_next.store(static_cast<uint32>(old & kStackIndexMask), std::memory_order_relaxed);
        uint64 desired = pointer | ((old & ~kStackIndexMask) + kStackCounterUnit);
        if (head.compare_exchange_strong(old, desired, std::memory_order_release, std::memory_order_relaxed))
            break;
    }
    Stall(EListOp::kPush, EStallPoint::kAfterCompareExchange);
}

uint32 StackPop(std::atomic<uint64>& head, const LinksManager& links)
{
    for (;;)
    {
        Stall(EListOp::kPop, EStallPoint::kBeforeLoad);
        uint64 old = head.load(std::memory_order_acquire);
        uint32 top = static_cast<uint32>(old & kStackIndexMask);
        if (top == 0)
            return 0;
        uint32 pointer = links.Get(top).m_next.load(std::memory_order_relaxed);
        MX_ASSERT(pointer < Constants::kMaxLockFreeLinks);
        Stall(EListOp::kPop, EStallPoint::kBeforeCompareExchange);
        uint64 desired = (pointer & kStackIndexMask) | ((old & ~kStackIndexMask) + kStackCounterUnit);
        // Acquire on success as on the load: the popped link and its payload become ours.
        if (head.compare_exchange_strong(old, desired, std::memory_order_acquire, std::memory_order_relaxed))
        {
            links.Get(top).m_next.store(0, std::memory_order_relaxed);
            Stall(EListOp::kPop, EStallPoint::kAfterCompareExchange);
            return top;
        }
    }
}

// --- Links manager --------------------------------------------------------------------------------

LinksManager::LinksManager(uint32 maxLinks, uint32 linksPerPage)
    : ThreadCacheOwner(EFlushOrder::kLinks), m_links(sizeof(Link), maxLinks, linksPerPage)
{
    MX_ASSERT(maxLinks <= Constants::kMaxLockFreeLinks);
}

LinksManager::~LinksManager()
{
    Unregister();
    FlushCallingThread();
    MX_ASSERT(m_numUsedBundles.load(std::memory_order_acquire) == 0);
    MX_ASSERT(m_tlsCachesList.load(std::memory_order_acquire) == nullptr);
}

void LinksManager::OnSlotAttached(ThreadCacheSlot& slot)
{
    std::lock_guard<std::mutex> lock(m_lock);
    slot.nextCache = m_tlsCachesList.load(std::memory_order_relaxed);
    m_tlsCachesList.store(&slot, std::memory_order_release);
}

uint32 LinksManager::Alloc()
{
    if (ThreadCacheSlot* cache = GetThreadSlot()) [[likely]]
        return AllocFrom(*cache);
    if (IsThreadExiting())
        t_caches.CheckAlive();
    // No cache of our own: borrow one for this call and give back what it did not use.
    ThreadCacheSlot temporary;
    temporary.generation = m_generation;
    uint32 index = AllocFrom(temporary);
    FlushSlot(temporary);
    return index;
}

void LinksManager::Free(uint32 index)
{
    if (index == 0)
        return;
    if (ThreadCacheSlot* cache = GetThreadSlot()) [[likely]]
    {
        FreeInto(*cache, index);
        return;
    }
    if (IsThreadExiting())
        t_caches.CheckAlive();
    ThreadCacheSlot temporary;
    temporary.generation = m_generation;
    FreeInto(temporary, index);
    FlushSlot(temporary);
}

uint32 LinksManager::AllocFrom(ThreadCacheSlot& cache)
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
            uint32 bundle = StackPop(m_bundles, *this);
            if (bundle == 0)
            {
                bundle = m_links.Alloc(Constants::kNumPerBundle);
                if (bundle == 0)
                    return 0;
                for (uint32 i = 0; i < Constants::kNumPerBundle; ++i)
                    Get(bundle + i).m_payload = i + 1 < Constants::kNumPerBundle ? bundle + i + 1 : 0;
                m_numAllocatedBundles.fetch_add(1, std::memory_order_relaxed);
            }
            // Relaxed counters: they are figures for the shutdown check, read once every thread is
            // done (joined), which orders them.
            m_numUsedBundles.fetch_add(1, std::memory_order_relaxed);
            cache.partial = bundle;
        }
        cache.count = Constants::kNumPerBundle;
    }
    uint32 index = static_cast<uint32>(cache.partial);
    Link& link = Get(index);
    cache.partial = link.m_payload;
    --cache.count;
    // Links freed on another thread are read one miss after another: fetch the next one early.
    if (cache.partial)
        __builtin_prefetch(&Get(static_cast<uint32>(cache.partial)), 1);
    link.m_payload = 0;
    link.m_reserved = 0;
    link.m_next.store(0, std::memory_order_relaxed);
    return index;
}

void LinksManager::FreeInto(ThreadCacheSlot& cache, uint32 index)
{
    if (cache.count == Constants::kNumPerBundle)
    {
        if (cache.full)
            PushBundle(static_cast<uint32>(cache.full));
        cache.full = cache.partial;
        cache.partial = 0;
        cache.count = 0;
    }
    Link& link = Get(index);
    link.m_next.store(0, std::memory_order_relaxed);
    link.m_reserved = 0;
    link.m_payload = cache.partial;
    cache.partial = index;
    ++cache.count;
}

void LinksManager::PushBundle(uint32 first)
{
    StackPush(m_bundles, *this, first);
    m_numUsedBundles.fetch_sub(1, std::memory_order_relaxed);
}

void LinksManager::FlushSlot(ThreadCacheSlot& slot)
{
    if (slot.full)
        PushBundle(static_cast<uint32>(slot.full));
    slot.full = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    if (slot.count == Constants::kNumPerBundle)
        PushBundle(static_cast<uint32>(slot.partial));
    else if (slot.count > 0)
    {
        uint32 numNodes = slot.count;
        uint32 bundle = static_cast<uint32>(slot.partial);
        MX_ASSERT(numNodes && bundle);
        MX_ASSERT(numNodes < Constants::kNumPerBundle);
        uint32 numVisitedNodes = 0;
        while (bundle && numVisitedNodes < numNodes)
        {
            Link& link = Get(bundle);
            uint32 next = static_cast<uint32>(link.m_payload);
            link.m_payload = m_globalPartialBundle;
            m_globalPartialBundle = bundle;
            if (++m_globalPartialCount == Constants::kNumPerBundle)
            {
                PushBundle(m_globalPartialBundle);
                m_globalPartialBundle = 0;
                m_globalPartialCount = 0;
            }
            bundle = next;
            ++numVisitedNodes;
        }
        MX_ASSERT(numNodes == numVisitedNodes);
    }
    slot.partial = 0;
    slot.count = 0;
    // Out of the list of live caches (a temporary slot was never in it).
    ThreadCacheSlot* previous = nullptr;
    for (ThreadCacheSlot* s = m_tlsCachesList.load(std::memory_order_relaxed); s; s = s->nextCache)
    {
        if (s == &slot)
        {
            if (previous)
                previous->nextCache = s->nextCache;
            else
                m_tlsCachesList.store(s->nextCache, std::memory_order_release);
            break;
        }
        previous = s;
    }
    slot.nextCache = nullptr;
    slot.generation = 0;
}

uint32 LinksManager::CountBundlesOnStack() const
{
    uint32 count = 0;
    for (uint32 i = static_cast<uint32>(m_bundles.load(std::memory_order_acquire) & kStackIndexMask); i;
         i = Get(i).m_next.load(std::memory_order_relaxed))
        ++count;
    return count;
}

uint32 LinksManager::GetGlobalPartialCount()
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_globalPartialCount;
}

namespace
{
alignas(LinksManager) unsigned char GLinksManagerStorage[sizeof(LinksManager)];
}

void InitLinksManager()
{
    MX_ASSERT(!GLinksManager);
    if (GLinksManager)
        return;
    GLinksManager = new (GLinksManagerStorage) LinksManager();
}

void ShutdownLinksManager()
{
    MX_ASSERT(GLinksManager);
    if (!GLinksManager)
        return;
    GLinksManager->~LinksManager();
    GLinksManager = nullptr;
}
} // namespace LockFree

// --- Closable stacks ------------------------------------------------------------------------------

using LockFree::EListOp;
using LockFree::EStallPoint;
using LockFree::Stall;

bool LockFreeClosableHead::PushIfNotClosed(uint32 pointer)
{
    MX_ASSERT(pointer < LockFree::Constants::kMaxLockFreeLinks);
    if (pointer == 0 || pointer >= LockFree::Constants::kMaxLockFreeLinks)
        return false;
    LockFree::Link& link = LockFree::GetLink(pointer);
    for (;;)
    {
        Stall(EListOp::kPushIfNotClosed, EStallPoint::kBeforeLoad);
        // Acquire: a push that finds the list closed lets its caller act on the completion.
        uint64 old = m_head.load(std::memory_order_acquire);
        if (old & kClosedBit)
            return false;
        Stall(EListOp::kPushIfNotClosed, EStallPoint::kBeforeCompareExchange);
        link.m_next.store(static_cast<uint32>(old & kIndexMask), std::memory_order_relaxed);
        uint64 desired = pointer | ((old & ~kIndexMask) + kCounterUnit);
        if (m_head.compare_exchange_strong(old, desired, std::memory_order_release,
                                           std::memory_order_relaxed))
            break;
    }
    Stall(EListOp::kPushIfNotClosed, EStallPoint::kAfterCompareExchange);
    return true;
}

uint32 LockFreeClosableHead::PopAllAndClose()
{
    uint64 old;
    for (;;)
    {
        Stall(EListOp::kPopAllAndClose, EStallPoint::kBeforeLoad);
        old = m_head.load(std::memory_order_relaxed);
        Stall(EListOp::kPopAllAndClose, EStallPoint::kBeforeCompareExchange);
        uint64 desired = kClosedBit | ((old & ~(kIndexMask | kClosedBit)) + kCounterUnit);
        if (m_head.compare_exchange_strong(old, desired, std::memory_order_acq_rel,
                                           std::memory_order_relaxed))
            break;
    }
    Stall(EListOp::kPopAllAndClose, EStallPoint::kAfterCompareExchange);
    MX_ASSERT(IsClosed());
    return static_cast<uint32>(old & kIndexMask);
}

LockFreeClosableList::~LockFreeClosableList()
{
    MX_ASSERT(m_root.IsClosed() || !m_root.PopAllAndClose());
}
} // namespace Morvex
