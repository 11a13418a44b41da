// The memory-tag registry, the per-thread scope stacks and the charging of allocations.

#include "Core/Memory/MemoryTag.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/GroundZeroAllocator.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "Core/Timing/Uptime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <vector>

namespace Morvex
{
std::atomic<MemoryTagSystem*> GMemoryTagSystem{nullptr};

namespace
{
// Creation is rare and may take its time; a plain mutex (constant-initialised) is enough.
std::mutex GRegistryLock;

// Free tag stacks of threads that have ended. Popping from a bare compare-and-swap stack can hand
// one block to two threads (the head may be popped and pushed back between the load and the swap),
// and this path runs once per thread: a lock costs nothing here.
std::mutex GFreeThreadDataLock;
ThreadData* GFreeThreadData = nullptr;

thread_local ThreadData* t_threadData = nullptr;
thread_local bool t_engineThread = false;
// The main thread's stack is never handed back: it holds the kernel's start-up scope until the end.
thread_local bool t_mainThread = false;
// Set once the thread's stack has been handed back at thread exit; allocations made after that
// (other thread-exit handlers) are charged to the root without a stack.
thread_local bool t_threadDataReleased = false;

void ReleaseThreadData();

// Returns the thread's stack to the free list when the thread ends.
// Charges wait on their thread and reach the shared counters in batches: several threads charging
// one tag would otherwise fight over its cache line on every allocation. A few records at a time,
// direct-mapped by address; everything goes out every kChargeBatch charges, when a report or the
// leak check asks, and when the thread ends.
constexpr uint32 kPendingSlots = 8;
constexpr uint32 kChargeBatch = 256;
struct PendingCharge
{
    MemoryTagRecord* record;
    int64 used;
    uint32 allocs;
    uint32 deallocs;
};
struct ThreadCharges
{
    PendingCharge slot[kPendingSlots];
    uint32 count;
    bool flushRegistered;
    bool closed; // the thread is ending: charges go straight to the counters
};
thread_local constinit ThreadCharges t_charges = {};

void Apply(PendingCharge& p)
{
    MemoryTagRecord* r = p.record;
    if (r == nullptr)
        return;
    if (p.allocs != 0)
        r->allocs.fetch_add(p.allocs, std::memory_order_relaxed);
    if (p.deallocs != 0)
        r->deallocs.fetch_add(p.deallocs, std::memory_order_relaxed);
    // A block allocated on one thread and freed on another may reach the counter as a free before
    // its allocation does: the counter can read below zero for a moment, so only its excess over
    // 4 GiB is a fault that one batch can tell.
    if (p.used != 0)
    {
        const int64 prevUnused =
            static_cast<int64>(r->used.fetch_add(static_cast<uint64>(p.used), std::memory_order_relaxed));
        MX_ASSERT((prevUnused + p.used) <= int64(0xffffffffu));
    }
    r->lastActivity.store(GetCoarseUptimeSeconds(), std::memory_order_relaxed);
    p = PendingCharge{};
}

void FlushCharges()
{
    for (PendingCharge& p : t_charges.slot)
        Apply(p);
    t_charges.count = 0;
}

// Registered by a thread's first charge: its exit brings its last batch in, whether or not the
// thread ever had a scope stack (a thread may only free).
struct ChargesFlush
{
    ~ChargesFlush()
    {
        FlushCharges();
        t_charges.closed = true;
    }
};
thread_local ChargesFlush t_chargesFlush;

void Charge(MemoryTagRecord* record, int64 used, uint32 allocs, uint32 deallocs)
{
    ThreadCharges& charges = t_charges;
    if (!charges.flushRegistered)
    {
        charges.flushRegistered = true;
        (void)&t_chargesFlush;
    }
    if (charges.closed)
    {
        PendingCharge direct{record, used, allocs, deallocs};
        Apply(direct);
        return;
    }
    PendingCharge& p =
        charges.slot[(reinterpret_cast<uintptr_t>(record) / sizeof(MemoryTagRecord)) % kPendingSlots];
    if (p.record != record)
    {
        Apply(p);
        p.record = record;
    }
    p.used += used;
    p.allocs += allocs;
    p.deallocs += deallocs;
    if (++charges.count >= kChargeBatch)
        FlushCharges();
}

struct ThreadDataRelease
{
    ~ThreadDataRelease() { ReleaseThreadData(); }
};
thread_local ThreadDataRelease t_threadDataRelease;

uint16 RootOf(const MemoryTagSystem& system)
{
    return t_engineThread ? system.m_unknownTag.m_index : system.m_thirdPartyTag.m_index;
}

void ReleaseThreadData()
{
    ThreadData* data = t_threadData;
    if (data == nullptr || t_mainThread)
        return;
    t_threadData = nullptr;
    t_threadDataReleased = true;
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    if (system != nullptr)
    {
        const uint16 root = RootOf(*system);
        MX_ASSERT(data->stackTop == 1);
        MX_ASSERT(data->currentScope == root);
        MX_ASSERT(data->stack[0] == root);
    }
    std::lock_guard<std::mutex> lock(GFreeThreadDataLock);
    data->nextFree = GFreeThreadData;
    GFreeThreadData = data;
}
} // namespace

void MemoryTagRecord::OnAlloc(uint64 size)
{
    Charge(this, static_cast<int64>(size), 1, 0);
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_relaxed);
    if (system != nullptr && system->m_breakTag >= 0 && m_index == static_cast<uint16>(system->m_breakTag))
        MX_ASSERT_FAIL("Break on MemoryTag allocation");
}

void MemoryTagRecord::OnFree(uint64 size)
{
    Charge(this, -static_cast<int64>(size), 0, 1);
}

void MemoryTagRecord::OnRealloc(uint64 oldSize, uint64 newSize)
{
    OnFree(oldSize);
    OnAlloc(newSize);
}

void MemoryTagSystem::Init()
{
    if (m_tags == nullptr)
    {
        m_tags =
            static_cast<MemoryTagRecord*>(GroundZeroAllocator::Alloc(sizeof(MemoryTagRecord) * kMaxNumTags));
        if (m_tags == nullptr)
        {
            // Nothing of the engine can count memory without the registry; this is a build error
            // (the early buffer too small), never a player's condition.
            std::fputs("The memory-tag registry does not fit in the early allocator\n", stderr);
            std::abort();
        }
        for (uint32 i = 0; i < kMaxNumTags; ++i)
            new (&m_tags[i]) MemoryTagRecord();
    }
    m_numTags.store(0, std::memory_order_release);
    m_nullTag.m_index = static_cast<uint16>(GetOrCreateTag("Null", 4)->m_index);
    m_unknownTag.m_index = static_cast<uint16>(GetOrCreateTag("UNKNOWN", 7)->m_index);
    m_thirdPartyTag.m_index = static_cast<uint16>(GetOrCreateTag("ThirdParty", 10)->m_index);
    MX_ASSERT(m_nullTag.m_index == 0);
}

void MemoryTagSystem::Shutdown()
{
    // Records stay: blocks allocated under them may still be freed during static destruction.
}

MemoryTagRecord* MemoryTagSystem::Find(const char* name, uint32 length, uint32 from, uint32 to)
{
    for (uint32 i = from; i < to; ++i)
    {
        const MemoryTagRecord& r = m_tags[i];
        if (r.length == length && std::memcmp(r.name, name, length) == 0)
            return &m_tags[i];
    }
    return nullptr;
}

MemoryTagRecord* MemoryTagSystem::GetOrCreateTag(const char* name, uint32 length)
{
    const uint32 firstCount = m_numTags.load(std::memory_order_acquire);
    if (MemoryTagRecord* found = Find(name, length, 0, firstCount))
        return found;
    std::lock_guard<std::mutex> lock(GRegistryLock);
    uint32 count = m_numTags.load(std::memory_order_relaxed);
    if (count != firstCount)
    {
        if (MemoryTagRecord* found = Find(name, length, 0, count))
            return found;
    }
    MemoryTagRecord* last = nullptr;
    uint32 from = 0;
    for (uint32 end = 0; end <= length; ++end)
    {
        if (end != length && name[end] != '/')
            continue;
        MemoryTagRecord* level = Find(name, end, from, count);
        if (level == nullptr)
        {
            MX_ASSERT(count < kMaxNumTags);
            if (count >= kMaxNumTags)
            {
                // No room for the rest of the path: its allocations count as unknown.
                m_numTags.store(count, std::memory_order_release);
                return count > 1 ? &m_tags[1] : &m_tags[0];
            }
            level = &m_tags[count];
            level->used.exchange(0);
            level->allocs.exchange(0);
            level->deallocs.exchange(0);
            level->lastActivity.store(0.0, std::memory_order_relaxed);
            level->name = name;
            level->length = end;
            level->m_index = static_cast<uint16>(count);
            ++count;
        }
        from = static_cast<uint32>(level->m_index) + 1;
        last = level;
    }
    // Readers that see the new count see the complete records (release).
    m_numTags.store(count, std::memory_order_release);
    return last;
}

MemoryTagRecord* MemoryTagSystem::GetTag(uint32 index)
{
    return index < GetNumTags() ? &m_tags[index] : nullptr;
}

ThreadData* MemoryTagSystem::ThisThreadData()
{
    ThreadData* data = t_threadData;
    if (data != nullptr || t_threadDataReleased)
        return data;
    {
        std::lock_guard<std::mutex> lock(GFreeThreadDataLock);
        data = GFreeThreadData;
        if (data != nullptr)
            GFreeThreadData = data->nextFree;
    }
    if (data == nullptr)
    {
        data = static_cast<ThreadData*>(GroundZeroAllocator::Alloc(sizeof(ThreadData)));
        if (data == nullptr)
            return nullptr; // the thread is charged to its root without a stack
        new (data) ThreadData();
    }
    const uint16 root = RootOf(*this);
    data->stackTop = 1;
    data->stack[0] = root;
    data->currentScope = root;
    data->nextFree = nullptr;
    t_threadData = data;
    // Touching the guard registers its destructor for this thread's exit.
    (void)&t_threadDataRelease;
    return data;
}

MemoryTagSystem::Scope MemoryTagSystem::GetScope()
{
    ThreadData* data = ThisThreadData();
    return Scope{MemoryTag{data != nullptr ? data->currentScope : RootOf(*this)}};
}

MemoryTagRecord* MemoryTagSystem::CurrentRecord()
{
    const ThreadData* data = ThisThreadData();
    return &m_tags[data != nullptr ? data->currentScope : RootOf(*this)];
}

bool MemoryTagSystem::OpenScope(uint16 index)
{
    ThreadData* data = ThisThreadData();
    if (data == nullptr)
        return false;
    MX_ASSERT(data->stackTop < ThreadData::kMaxTagsStackDepth);
    if (data->stackTop >= ThreadData::kMaxTagsStackDepth)
        return false;
    data->stack[data->stackTop++] = index;
    data->currentScope = index;
    return true;
}

void MemoryTagSystem::CloseScope()
{
    ThreadData* data = ThisThreadData();
    if (data == nullptr)
        return;
    MX_ASSERT(data->stackTop > 1);
    if (data->stackTop <= 1)
        return;
    --data->stackTop;
    data->currentScope = data->stack[data->stackTop - 1];
}

void MemoryTags::MarkMainThread()
{
    t_mainThread = true;
    MarkEngineThread();
}

void MemoryTags::MarkEngineThread()
{
    t_engineThread = true;
    // A thread that allocated before it was known as an engine thread moves its root while nothing
    // is open above it.
    ThreadData* data = t_threadData;
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    if (data != nullptr && system != nullptr && data->stackTop == 1)
    {
        data->stack[0] = system->m_unknownTag.m_index;
        data->currentScope = system->m_unknownTag.m_index;
    }
}

void MemoryTags::FlushThreadCharges()
{
    FlushCharges();
}

void MemoryTagSystem::LogReport()
{
    MX_MEMORY_TAG_SCOPE("Core");
    FlushCharges();
    const uint32 n = GetNumTags();
    MemoryTagRecord* tags = m_tags;
    std::vector<uint16> order(n);
    for (uint32 i = 0; i < n; ++i)
        order[i] = static_cast<uint16>(i);
    std::sort(order.begin(), order.end(),
              [tags](uint16 a, uint16 b)
              {
                  return static_cast<int64>(tags[a].used.load(std::memory_order_relaxed)) >
                         static_cast<int64>(tags[b].used.load(std::memory_order_relaxed));
              });
    MX_LOG_INFO("%-40s %6s %6s %6s", "TAG", "used", "alloc", "dealloc");
    for (uint16 i : order)
    {
        const MemoryTagRecord& r = tags[i];
        StaticString<32> used, allocs, deallocs;
        // Other threads' batches may still hold allocations whose frees arrived: never below 0.
        const int64 inUse = static_cast<int64>(r.used.load(std::memory_order_relaxed));
        Str::FormatMetric(used, inUse > 0 ? static_cast<uint64>(inUse) : 0, true);
        Str::FormatMetric(allocs, r.allocs.load(std::memory_order_relaxed), false);
        Str::FormatMetric(deallocs, r.deallocs.load(std::memory_order_relaxed), false);
        MX_LOG_INFO("%-40.*s %6s %6s %6s", static_cast<int>(r.length), r.name, used.c_str(), allocs.c_str(),
                    deallocs.c_str());
    }
}

MemoryTag MemoryTags::Register(const char* name)
{
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    if (system == nullptr || name == nullptr)
        return MemoryTag{};
    return MemoryTag{system->GetOrCreateTag(name, static_cast<uint32>(std::strlen(name)))->m_index};
}

MemoryTag MemoryTagHandle::Get()
{
    uint16 index = m_index.load(std::memory_order_relaxed);
    if (index == 0)
    {
        index = MemoryTags::Register(m_name).m_index;
        m_index.store(index, std::memory_order_relaxed);
    }
    return MemoryTag{index};
}

MemoryTagScope::MemoryTagScope(MemoryTag tag) : m_system(nullptr)
{
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    if (system == nullptr || tag.m_index == 0)
        return;
    if (system->OpenScope(tag.m_index))
        m_system = system;
}

MemoryTagScope::~MemoryTagScope()
{
    if (m_system != nullptr && GMemoryTagSystem.load(std::memory_order_acquire) == m_system)
        m_system->CloseScope();
}
} // namespace Morvex
