// The event registry (recycled OS events with a shutdown report) and the semaphore.

#include "Core/Threading/ThreadingEvent.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "Core/StaticString.h"
#include "ThreadingPlatform.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace Morvex
{
namespace Threading
{
namespace
{
// A stack of free records with inline room for 128 before it moves to the heap.
class FreeStack
{
public:
    void Push(Event* e)
    {
        if (m_count == m_capacity)
        {
            uint32 capacity = m_capacity * 2;
            auto* grown = static_cast<Event**>(Memory::Alloc(sizeof(Event*) * capacity, alignof(Event*)));
            std::memcpy(grown, m_items, sizeof(Event*) * m_count);
            if (m_items != m_inline)
                Memory::Free(m_items, sizeof(Event*) * m_capacity);
            m_items = grown;
            m_capacity = capacity;
        }
        m_items[m_count++] = e;
    }
    Event* Pop() { return m_count ? m_items[--m_count] : nullptr; }
    bool Empty() const { return m_count == 0; }
    void ReleaseStorage()
    {
        if (m_items != m_inline)
            Memory::Free(m_items, sizeof(Event*) * m_capacity);
        m_items = m_inline;
        m_capacity = kInline;
        m_count = 0;
    }

private:
    static constexpr uint32 kInline = 128;
    Event* m_inline[kInline];
    Event** m_items = m_inline;
    uint32 m_count = 0;
    uint32 m_capacity = kInline;
};

struct EventRegistry
{
    std::atomic<bool> lock{false};
    Event inUse; // sentinel of the in-use list
    FreeStack freeAuto;
    FreeStack freeManual;
    int32 nextId = 0;
};

// Static storage: the registry exists before any heap and is reused by a later InitSystem.
alignas(EventRegistry) unsigned char GEventStorage[sizeof(EventRegistry)];
EventRegistry* GEvents = nullptr;
std::atomic<bool> GEventsCreateLock{false};
// Events that were in use when the registry shut down, so that they stay reachable and a late
// Destroy can release them. Guarded by GEventsCreateLock.
constinit Event GOrphans;
constinit uint32 GNumOrphans = 0;

// The records' pool. It outlives a registry that shuts down with events in use, until the last of
// them is destroyed: their records live in its pages. Its own lock is always taken last.
constinit NeverDestroyed<Memory::Pool> GEventPool;
constinit std::atomic<bool> GEventPoolLock{false};

void SpinLock(std::atomic<bool>& lock)
{
    while (lock.exchange(true, std::memory_order_acquire))
    {
        while (lock.load(std::memory_order_relaxed))
            std::this_thread::yield();
    }
}

void SpinUnlock(std::atomic<bool>& lock)
{
    lock.store(false, std::memory_order_release);
}

void CloseRecord(Event* e)
{
    ThreadingPlatform::EventClose(e->m_handle);
    e->~Event();
}

void SetUpPool()
{
    SpinLock(GEventPoolLock);
    if (!GEventPool.value.IsSetUp())
        GEventPool.value.Setup(MX_HEAP_NAME("Core/Threading::Event"), sizeof(Event), 4096,
                               static_cast<int16>(MemoryTags::Register("Core/Threading").m_index),
                               alignof(Event) > 8 ? alignof(Event) : 8);
    SpinUnlock(GEventPoolLock);
}

void* AllocRecord()
{
    SpinLock(GEventPoolLock);
    void* record = GEventPool.value.Alloc();
    SpinUnlock(GEventPoolLock);
    return record;
}

void FreeRecord(Event* e)
{
    CloseRecord(e);
    SpinLock(GEventPoolLock);
    GEventPool.value.Free(e);
    SpinUnlock(GEventPoolLock);
}

// Once no registry and no orphan needs it: the pool gives its pages back (checking that nothing is
// left in it) and leaves the pool list. Called under GEventsCreateLock.
void DestroyPoolWhenUnused()
{
    SpinLock(GEventPoolLock);
    Memory::Pool& pool = GEventPool.value;
    if (GEvents == nullptr && GNumOrphans == 0 && pool.IsSetUp())
    {
        pool.~Pool();
        new (&pool) Memory::Pool();
    }
    SpinUnlock(GEventPoolLock);
}

void EnsureRegistry()
{
    if (GEvents)
        return;
    SpinLock(GEventsCreateLock);
    if (!GEvents)
    {
        SetUpPool();
        auto* registry = new (GEventStorage) EventRegistry();
        registry->inUse.m_prev = registry->inUse.m_next = &registry->inUse;
        GEvents = registry;
    }
    SpinUnlock(GEventsCreateLock);
}
} // namespace

void Event::InitSystem()
{
    MX_ASSERT(GEvents == nullptr);
    EnsureRegistry();
}

Event* Event::Create(bool manualReset, const char* name)
{
    EnsureRegistry();
    EventRegistry& r = *GEvents;
    SpinLock(r.lock);
    Event* pEvent = manualReset ? r.freeManual.Pop() : r.freeAuto.Pop();
    if (pEvent == nullptr)
    {
        void* handle = ThreadingPlatform::EventCreate(manualReset);
        if (handle == nullptr)
        {
            SpinUnlock(r.lock);
            MX_LOG_ERROR("CreateEventA() failed: %x", static_cast<unsigned>(errno));
            // There is no event to hand back, and every caller relies on getting one.
            std::abort();
        }
        pEvent = new (AllocRecord()) Event();
        pEvent->m_handle = handle;
        pEvent->m_fromPool = 1;
        pEvent->m_manualReset = manualReset ? 1 : 0;
    }
    pEvent->m_inUse = 1;
    pEvent->m_id = r.nextId++;
    pEvent->m_name = name;
    pEvent->m_prev = &r.inUse;
    pEvent->m_next = r.inUse.m_next;
    r.inUse.m_next->m_prev = pEvent;
    r.inUse.m_next = pEvent;
    SpinUnlock(r.lock);
    return pEvent;
}

void Event::Destroy(Event* pEvent)
{
    if (pEvent == nullptr)
        return;
    MX_ASSERT(pEvent->m_fromPool);
    MX_ASSERT(pEvent->m_inUse);
    if (!pEvent->m_fromPool || !pEvent->m_inUse)
        return;
    if (pEvent->m_orphan)
    {
        SpinLock(GEventsCreateLock);
        pEvent->m_prev->m_next = pEvent->m_next;
        pEvent->m_next->m_prev = pEvent->m_prev;
        --GNumOrphans;
        FreeRecord(pEvent);
        DestroyPoolWhenUnused();
        SpinUnlock(GEventsCreateLock);
        return;
    }
    EventRegistry& r = *GEvents;
    SpinLock(r.lock);
    if (pEvent->m_manualReset)
        r.freeManual.Push(pEvent);
    else
        r.freeAuto.Push(pEvent);
    if (int err = ThreadingPlatform::EventReset(pEvent->m_handle); err != 0)
        MX_LOG_ERROR("ResetEvent() failed: %x", static_cast<unsigned>(err));
    pEvent->m_inUse = 0;
    pEvent->m_prev->m_next = pEvent->m_next;
    pEvent->m_next->m_prev = pEvent->m_prev;
    pEvent->m_prev = pEvent->m_next = nullptr;
    SpinUnlock(r.lock);
}

void Event::Set(Event* pEvent)
{
    MX_ASSERT(pEvent);
    if (!pEvent)
        return;
    MX_ASSERT(pEvent->m_inUse);
    if (!pEvent->m_inUse)
        return;
    if (int err = ThreadingPlatform::EventSet(pEvent->m_handle); err != 0)
        MX_LOG_ERROR("SetEvent() failed: %x", static_cast<unsigned>(err));
}

void Event::Reset(Event* pEvent)
{
    MX_ASSERT(pEvent);
    if (!pEvent)
        return;
    MX_ASSERT(pEvent->m_inUse);
    if (!pEvent->m_inUse)
        return;
    if (int err = ThreadingPlatform::EventReset(pEvent->m_handle); err != 0)
        MX_LOG_ERROR("ResetEvent() failed: %x", static_cast<unsigned>(err));
}

bool Event::Wait(Event* pEvent, uint32 timeoutMs)
{
    MX_ASSERT(pEvent);
    if (!pEvent)
        return false;
    MX_ASSERT(pEvent->m_inUse);
    if (!pEvent->m_inUse)
        return false;
    return ThreadingPlatform::EventWait(pEvent->m_handle, timeoutMs);
}

void Event::ShutdownSystem()
{
    MX_ASSERT(GEvents);
    if (GEvents == nullptr)
        return;
    EventRegistry& r = *GEvents;
    SpinLock(r.lock);
    for (FreeStack* stack : {&r.freeAuto, &r.freeManual})
    {
        while (Event* e = stack->Pop())
            FreeRecord(e);
    }
    // Report the leaks first: checking the count before the report would end the process without
    // saying which events were never destroyed. What remains must be exactly the events in use.
    uint32 inUse = 0;
    for (Event* e = r.inUse.m_next; e != &r.inUse; e = e->m_next)
    {
        StaticString<512> text;
        if (e->m_name)
            text.Format("id=%d, name='%s'", e->m_id, e->m_name);
        else
            text.Format("id=%d", e->m_id);
        MX_LOG_ERROR("Threading::Event [%s] still in-use", text.c_str());
        ++inUse;
    }
    // Events still in use stay usable; they move to the orphans until someone destroys them.
    SpinLock(GEventsCreateLock);
    SpinLock(GEventPoolLock);
    const uint64 records = GEventPool.value.GetNumElements();
    SpinUnlock(GEventPoolLock);
    MX_ASSERT(records == inUse + GNumOrphans);
    if (GOrphans.m_next == nullptr)
        GOrphans.m_prev = GOrphans.m_next = &GOrphans;
    for (Event* e = r.inUse.m_next; e != &r.inUse;)
    {
        Event* next = e->m_next;
        e->m_orphan = 1;
        e->m_prev = &GOrphans;
        e->m_next = GOrphans.m_next;
        GOrphans.m_next->m_prev = e;
        GOrphans.m_next = e;
        e = next;
    }
    GNumOrphans += inUse;
    r.freeAuto.ReleaseStorage();
    r.freeManual.ReleaseStorage();
    GEvents = nullptr;
    DestroyPoolWhenUnused();
    SpinUnlock(GEventsCreateLock);
    SpinUnlock(r.lock);
    r.~EventRegistry();
}

Semaphore::Semaphore() : m_handle(ThreadingPlatform::SemaphoreCreate())
{
    MX_ASSERT_MSG(m_handle, "CreateSemaphoreA() failed");
}

Semaphore::~Semaphore()
{
    ThreadingPlatform::SemaphoreClose(m_handle);
}

void Semaphore::Wait()
{
    if (m_handle == nullptr)
        return;
    // The wait itself stays outside the assertion, so that it runs whether or not checks do.
    int err = ThreadingPlatform::SemaphoreWait(m_handle);
    MX_ASSERT(err == 0);
}

void Semaphore::Release(int32 count)
{
    if (m_handle == nullptr || count <= 0)
        return;
    ThreadingPlatform::SemaphoreRelease(m_handle, count);
}
} // namespace Threading
} // namespace Morvex
