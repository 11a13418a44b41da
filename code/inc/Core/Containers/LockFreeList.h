#pragma once
// Intrusive lock-free stacks of 16-byte links addressed by 26-bit indices, the process-wide links
// manager that hands the links out, and the per-thread caches it (and LockFreePool) keep.
//
// A link is owned by whoever allocated or popped it until it is pushed or freed. Links are never
// returned to a heap while their manager lives, so a thread may read a link it no longer owns (a
// stale top of a stack); every stack head carries a change counter so that a compare-and-swap based
// on such a stale read fails.

#include "Core/Containers/LockFreeOnceIndexedPagedAllocator.h"
#include "Core/Types.h"

#include <atomic>
#include <mutex>

namespace Morvex
{
namespace LockFree
{
namespace Constants
{
constexpr uint32 kMaxLockFreeLinks = 0x4000000; // 26 bits of index
constexpr uint32 kLinksPerPage = 0x4000;
constexpr uint32 kNumPerBundle = 64;       // links per bundle of the links manager
constexpr uint32 kNumObjectsInBundle = 32; // objects per bundle of a LockFreePool
} // namespace Constants

struct Link
{
    std::atomic<uint32> m_next{0}; // index of the next link of a stack; 0 ends it
    uint32 m_reserved = 0;         // free for the list that holds the link
    uint64 m_payload = 0;          // what the link carries (a pointer, or the next link of a bundle)
};
static_assert(sizeof(Link) == 16);

// Test aid: a hook that every compare-and-swap loop of the stacks calls before it reads the head,
// between that read and its compare-and-swap, and after a compare-and-swap that succeeded. Off (null)
// in normal operation. Set it while no list operation runs, or accept that running operations see
// the change late.
enum class EListOp : uint8
{
    kPush,
    kPop,
    kPushIfNotClosed,
    kPopAllAndClose,
};
enum class EStallPoint : uint8
{
    kBeforeLoad,
    kBeforeCompareExchange,
    kAfterCompareExchange,
};
using StallHook = void (*)(EListOp op, EStallPoint point);
void SetStallHook(StallHook hook);
StallHook GetStallHook();
// The self-test's hook: before and after a read of a head, sleeps 1 ms (1 time in 1000), yields (9
// in 1000) or goes on.
void RandomStall(EListOp op, EStallPoint point);

class ThreadCacheFlusher;

// One thread's cache for one owner (a links manager or a pool): a partial bundle, a full one.
struct ThreadCacheSlot
{
    uint64 generation = 0;                // the owner this slot serves; 0: none
    uint64 partial = 0;                   // first element of the partial bundle; 0: none
    uint64 full = 0;                      // first element of the cached full bundle; 0: none
    uint32 count = 0;                     // elements in the partial bundle
    ThreadCacheSlot* nextCache = nullptr; // in the owner's list of thread caches, when it keeps one
};

// Base of the objects that keep per-thread caches. Each thread's caches live in its thread-local
// storage and are flushed back to their owners when the thread exits (C++ thread-exit destructors,
// which on the main thread run before static destruction). An owner that finds no free slot (at most
// kMaxOwners exist at once) or runs on a thread whose caches were flushed at its exit works through a
// temporary cache per call: correct, only slower.
class ThreadCacheOwner
{
public:
    static constexpr uint32 kMaxOwners = 16;

    ThreadCacheOwner(const ThreadCacheOwner&) = delete;
    ThreadCacheOwner& operator=(const ThreadCacheOwner&) = delete;

    // Returns the calling thread's cached elements to the owner, as the thread's exit would. The
    // thread may go on using the owner.
    void FlushCallingThread();

protected:
    // Pools flush first: pushing their bundles takes links from the links manager.
    enum class EFlushOrder : uint32
    {
        kPool = 0,
        kLinks = 1,
    };
    explicit ThreadCacheOwner(EFlushOrder order);
    virtual ~ThreadCacheOwner();

    // Gives a slot's elements back to the owner and empties the slot. Called on the slot's thread, at
    // its exit under the owners' registry lock, or from FlushCallingThread, or on a temporary slot.
    virtual void FlushSlot(ThreadCacheSlot& slot) = 0;
    // A slot of the calling thread starts serving this owner.
    virtual void OnSlotAttached(ThreadCacheSlot&) {}

    // The calling thread's slot, null when it has none (see the class comment).
    ThreadCacheSlot* GetThreadSlot()
    {
        if (m_slotIndex >= kMaxOwners) [[unlikely]]
            return nullptr;
        ThreadCacheSlot* slot = ThreadSlots() + m_slotIndex;
        if (slot->generation != m_generation) [[unlikely]]
            return AttachThreadSlot();
        return slot;
    }
    // True once the calling thread's caches were flushed at its exit.
    static bool IsThreadExiting();
    // Stops the exit flushes of other threads from reaching this owner; derived destructors call it
    // first. Idempotent.
    void Unregister();

    uint64 m_generation = 0;
    uint32 m_slotIndex = kMaxOwners;

private:
    friend class ThreadCacheFlusher;
    static ThreadCacheSlot* ThreadSlots();
    ThreadCacheSlot* AttachThreadSlot();
};

// Hands out links from one paged allocator through per-thread caches in bundles of 64. Full bundles
// circulate between threads on a lock-free stack; the leftovers of exiting threads gather in a global
// partial bundle under a lock. The process has one, GLinksManager; tests make their own.
class LinksManager final : public ThreadCacheOwner
{
public:
    explicit LinksManager(uint32 maxLinks = Constants::kMaxLockFreeLinks,
                          uint32 linksPerPage = Constants::kLinksPerPage);
    // Flushes the calling thread's cache, then asserts that no bundle is in use
    // ("m_numUsedBundles.load(std::memory_order_acquire) == 0") and that no other thread still has a
    // cache ("m_tlsCachesList.load(std::memory_order_acquire) == nullptr").
    ~LinksManager() override;

    // A cleared link from the calling thread's cache. 0 after the assertion "firstItem + count <=
    // m_maxTotalItems" when every link is taken. After the thread's exit flush, asserts "!m_destroyed"
    // and serves the link anyway.
    uint32 Alloc();
    // Into the calling thread's cache. index: a link of this manager the caller owns; 0 does nothing.
    void Free(uint32 index);
    Link& Get(uint32 index) const { return *static_cast<Link*>(m_links.GetItem(index)); }

    // Figures for diagnostics and tests; exact only while no other thread uses the manager.
    uint32 GetNumAllocatedBundles() const { return m_numAllocatedBundles.load(std::memory_order_relaxed); }
    uint32 GetNumUsedBundles() const { return m_numUsedBundles.load(std::memory_order_relaxed); }
    uint32 CountBundlesOnStack() const;
    uint32 GetGlobalPartialCount();
    uint32 GetNumPages() const { return m_links.GetNumPages(); }

    // The bundle stack, for the stack operations.
    std::atomic<uint64>& BundleStack() { return m_bundles; }

private:
    void FlushSlot(ThreadCacheSlot& slot) override;
    void OnSlotAttached(ThreadCacheSlot& slot) override;
    uint32 AllocFrom(ThreadCacheSlot& cache);
    void FreeInto(ThreadCacheSlot& cache, uint32 index);
    void PushBundle(uint32 first);

    LockFreeOnceIndexedPagedAllocator m_links;
    alignas(64) std::atomic<uint64> m_bundles{0};
    std::mutex m_lock; // the global partial bundle and the list of caches
    uint32 m_globalPartialBundle = 0;
    uint32 m_globalPartialCount = 0;
    alignas(64) std::atomic<uint32> m_numAllocatedBundles{0};
    std::atomic<uint32> m_numUsedBundles{0};
    std::atomic<ThreadCacheSlot*> m_tlsCachesList{nullptr};
};

// The process-wide links manager, from the kernel's construction to its destruction.
extern LinksManager* GLinksManager;
// Kernel construction: asserts "!GLinksManager". Kernel destruction: asserts "GLinksManager", then
// destroys it (see ~LinksManager).
void InitLinksManager();
void ShutdownLinksManager();

inline uint32 AllocLink()
{
    return GLinksManager->Alloc();
}
inline void FreeLink(uint32 index)
{
    GLinksManager->Free(index);
}
inline Link& GetLink(uint32 index)
{
    return GLinksManager->Get(index);
}

// The stack operations over a head word and the links of `links`; LockFreeList and
// LockFreeClosableList are these over GLinksManager. Any thread.
void StackPush(std::atomic<uint64>& head, const LinksManager& links, uint32 pointer);
uint32 StackPop(std::atomic<uint64>& head, const LinksManager& links);
} // namespace LockFree

// A lock-free stack of links (LIFO). Push takes the link from the caller; Pop gives one back. Any
// thread.
class LockFreeList
{
public:
    // link: owned by the caller, not on any list.
    void Push(uint32 link) { LockFree::StackPush(m_head, *LockFree::GLinksManager, link); }
    // The top link, now the caller's, with its next cleared; 0 when the list is empty.
    uint32 Pop() { return LockFree::StackPop(m_head, *LockFree::GLinksManager); }
    bool IsEmpty() const
    {
        return (m_head.load(std::memory_order_acquire) & (LockFree::Constants::kMaxLockFreeLinks - 1)) == 0;
    }

private:
    // Bits 0-25 the top link, bits 26-63 a change counter.
    std::atomic<uint64> m_head{0};
};

// The head word of a closable stack, with its operations. Any thread.
class LockFreeClosableHead
{
public:
    static constexpr uint64 kIndexMask = LockFree::Constants::kMaxLockFreeLinks - 1;
    static constexpr uint64 kClosedBit = uint64(1) << 26;
    static constexpr uint64 kCounterUnit = uint64(1) << 27;

    // False when the list is closed: the link stays the caller's.
    bool PushIfNotClosed(uint32 link);
    // Takes the whole chain (linked through the links' next, last pushed first) and closes the list.
    // Returns its first link, 0 when it was empty; the caller owns the chain.
    uint32 PopAllAndClose();
    bool IsClosed() const { return (m_head.load(std::memory_order_acquire) & kClosedBit) != 0; }

private:
    // Bits 0-25 the top link, bit 26 closed, bits 27-63 a change counter.
    std::atomic<uint64> m_head{0};
};

// A stack that can be emptied and closed in one step, after which pushes fail. It must be closed or
// empty when destroyed (assertion "m_root.IsClosed() || !m_root.PopAllAndClose()").
class LockFreeClosableList
{
public:
    LockFreeClosableList() = default;
    ~LockFreeClosableList();
    LockFreeClosableList(const LockFreeClosableList&) = delete;
    LockFreeClosableList& operator=(const LockFreeClosableList&) = delete;

    bool PushIfNotClosed(uint32 link) { return m_root.PushIfNotClosed(link); }
    uint32 PopAllAndClose() { return m_root.PopAllAndClose(); }
    bool IsClosed() const { return m_root.IsClosed(); }

private:
    LockFreeClosableHead m_root;
};
} // namespace Morvex
