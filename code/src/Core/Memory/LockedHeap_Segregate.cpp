// Locked heaps in normal builds: one segregated heap each, behind a spin lock (operations are short;
// a waiter yields after a few spins).

#include "Core/Memory/LockedHeap.h"
#include "LockedHeapBackend.h"

#include "Core/Memory/SegregateHeap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace Morvex
{
namespace
{
class SpinLock
{
public:
    void Lock()
    {
        for (uint32 spins = 0; m_locked.exchange(true, std::memory_order_acquire); ++spins)
        {
            while (m_locked.load(std::memory_order_relaxed))
            {
                if (++spins > 500)
                    std::this_thread::yield();
            }
        }
    }
    void Unlock() { m_locked.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_locked{false};
};

template <typename Params>
class SegregateLockedHeap final : public LockedHeap
{
public:
    explicit SegregateLockedHeap(const char* name) : LockedHeap(name), m_heap(name) {}

    void* Alloc(size_t size) override
    {
        m_lock.Lock();
        void* p = m_heap.Allocate(size == 0 ? 1 : size);
        m_stats = m_heap.GetStats();
        m_lock.Unlock();
        return p;
    }
    void Free(void* p) override
    {
        if (p == nullptr)
            return;
        m_lock.Lock();
        m_heap.Free(p);
        m_stats = m_heap.GetStats();
        m_lock.Unlock();
    }
    void* Realloc(void* p, size_t size) override
    {
        m_lock.Lock();
        void* q = m_heap.Reallocate(p, size == 0 ? 1 : size);
        m_stats = m_heap.GetStats();
        m_lock.Unlock();
        return q;
    }
    size_t GetSize(const void* p) override
    {
        m_lock.Lock();
        const size_t size = m_heap.GetBlockCapacity(p);
        m_lock.Unlock();
        return size;
    }
    void Visit(HeapVisitor& visitor) override
    {
        m_lock.Lock();
        m_heap.Visit(visitor);
        m_lock.Unlock();
    }
    void Trim() override
    {
        m_lock.Lock();
        m_heap.Trim();
        m_stats = m_heap.GetStats();
        m_lock.Unlock();
    }

private:
    SpinLock m_lock;
    SegregateHeap<Params> m_heap;
};

template <typename Params>
LockedHeap& Make(const char* name)
{
    // Never destroyed: the blocks of these heaps may come back until the process ends.
    void* storage = std::aligned_alloc(alignof(SegregateLockedHeap<Params>),
                                       (sizeof(SegregateLockedHeap<Params>) + 63) / 64 * 64);
    return *new (storage) SegregateLockedHeap<Params>(name);
}
} // namespace

LockedHeap& CreateDefaultLockedHeap(LockedHeapKind kind, const char* name)
{
    switch (kind)
    {
    case LockedHeapKind::Dict:
        return Make<DictHeapParameters>(name);
    case LockedHeapKind::SharedStrings:
        return Make<SharedStringsHeapParameters>(name);
    case LockedHeapKind::Strings:
        return Make<StringsHeapParameters>(name);
    case LockedHeapKind::Function:
        return Make<FunctionHeapParameters>(name);
    case LockedHeapKind::General:
        break;
    }
    return Make<GlobalHeapParameters>(name);
}
} // namespace Morvex
