// The profiler's recording core: the timer registry, per-thread records and the emitting path.

#include "Core/Profiler/Profiler.h"
#include "Core/Profiler/ProfilerProtocol.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/Str.h"
#include "ProfilerCore.h"
#include "ProfilerPlatform.h"

#include <cpuid.h>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <x86intrin.h>

namespace Morvex
{
std::atomic<uint8> Profiler::Detail::GActive{0};

namespace Profiler
{
namespace
{
constexpr uint32 kRecordSize = 512;
constexpr uint32 kNameTableBytes = kMaxTimers * sizeof(const char*); // 0x3000
constexpr uint32 kNameAreaBytes = 0x20000;
constexpr uint32 kRecordAreaBytes = kMaxThreads * kRecordSize;
constexpr uint32 kArenaBytes = kNameTableBytes + kNameAreaBytes + kRecordAreaBytes; // 0x43000
constexpr size_t kRingBlockBytes = size_t(kEventRingSize) * sizeof(Event) + kTextRingBytes;
static_assert(sizeof(ThreadRecord) <= kRecordSize);
static_assert((kTextRingBytes & (kTextRingBytes - 1)) == 0 && (kEventRingSize & (kEventRingSize - 1)) == 0);

// The profiler object. Its address space comes straight from PlatformVirtualMemory: it exists
// before any heap and must not show up in the heaps' statistics.
struct Impl
{
    std::mutex lock;
    bool created = false;
    uint64 startTimestamp = 0;
    std::atomic<uint32> timerCount{0};
    uint32 timerNamespace[(kMaxTimers + 31) / 32] = {};
    std::atomic<ThreadRecord*> records[kMaxThreads] = {};
    std::atomic<uint32> recordCount{0};
    uint8* arena = nullptr;
    size_t arenaBytes = 0;
    const char** timerNames = nullptr;
    char* nameArea = nullptr;
    uint32 nameUsed = 0;
    std::atomic<uint64> memoryInUse{0};
    std::atomic<uint64> droppedWithoutRecord{0};
    bool capWarned = false;
    Core::ThreadNameProvider nameProvider = nullptr;
};

Impl GImpl;

thread_local ThreadRecord* t_record = nullptr;
// Set once a thread found the record table full: it records nothing, and does not retry.
thread_local bool t_recordRefused = false;

size_t RoundToGranularity(size_t bytes)
{
    size_t granularity = PlatformVirtualMemory::GetConstants().m_allocationGranularity;
    if (granularity == 0)
        granularity = 65536;
    return (bytes + granularity - 1) / granularity * granularity;
}

// Under the lock.
void CreateLocked()
{
    if (GImpl.created)
        return;
    GImpl.created = true;
    GImpl.startTimestamp = Core::ReadTimestamp();
    GImpl.arenaBytes = RoundToGranularity(kArenaBytes);
    GImpl.arena = static_cast<uint8*>(PlatformVirtualMemory::Allocate(GImpl.arenaBytes));
    GImpl.memoryInUse.fetch_add(GImpl.arenaBytes, std::memory_order_relaxed);
    GImpl.timerNames = reinterpret_cast<const char**>(GImpl.arena);
    GImpl.nameArea = reinterpret_cast<char*>(GImpl.arena + kNameTableBytes);
}

uint16 RegisterTimerLocked(const char* name, bool secondNamespace)
{
    CreateLocked();
    if (GImpl.arena == nullptr)
        return kInvalidTimer;
    if (name == nullptr)
        name = "";
    uint32 count = GImpl.timerCount.load(std::memory_order_relaxed);
    for (uint32 i = 0; i < count; ++i)
    {
        bool second = (GImpl.timerNamespace[i / 32] >> (i % 32)) & 1u;
        if (second == secondNamespace && std::strcmp(GImpl.timerNames[i], name) == 0)
            return uint16(i);
    }
    uint32 numTimers = count;
    if (!MX_VERIFY(numTimers < kMaxTimers))
        return kInvalidTimer;
    size_t length = std::strlen(name);
    char* nameCopy = nullptr;
    if (length + 1 <= kNameAreaBytes - GImpl.nameUsed)
    {
        nameCopy = GImpl.nameArea + GImpl.nameUsed;
        std::memcpy(nameCopy, name, length + 1);
        GImpl.nameUsed += uint32(length + 1);
    }
    if (!MX_VERIFY(nameCopy))
        return kInvalidTimer;
    GImpl.timerNames[count] = nameCopy;
    if (secondNamespace)
        GImpl.timerNamespace[count / 32] |= 1u << (count % 32);
    GImpl.timerCount.store(count + 1, std::memory_order_release);
    return uint16(count);
}

void EnsureCreated()
{
    std::lock_guard<std::mutex> guard(GImpl.lock);
    if (GImpl.created)
        return;
    CreateLocked();
    // The lock timers take the first ids, in the order of ELockTimer.
    for (const char* name : {"LockWait", "LockHold", "RWLockWait", "RWLockReadHold", "RWLockWriteHold"})
        RegisterTimerLocked(name, false);
}

// Under the lock.
void AllocateRings(ThreadRecord* record)
{
    if (record->events != nullptr)
        return;
    uint8* block = static_cast<uint8*>(PlatformVirtualMemory::Allocate(kRingBlockBytes));
    if (block == nullptr)
        return;
    GImpl.memoryInUse.fetch_add(kRingBlockBytes, std::memory_order_relaxed);
    record->events = reinterpret_cast<Event*>(block);
    record->texts = block + size_t(kEventRingSize) * sizeof(Event);
}

ThreadRecord* CreateRecord()
{
    EnsureCreated();
    // Named outside the lock: the provider may take the thread registry's lock.
    char name[sizeof(ThreadRecord::name)] = {};
    if (GImpl.nameProvider != nullptr)
        GImpl.nameProvider(name, sizeof(name));
    else
        ProfilerPlatform_GetThreadName(name, sizeof(name));
    bool warn = false;
    ThreadRecord* record = nullptr;
    {
        std::lock_guard<std::mutex> guard(GImpl.lock);
        uint32 count = GImpl.recordCount.load(std::memory_order_relaxed);
        if (count >= kMaxThreads || GImpl.arena == nullptr)
        {
            t_recordRefused = true;
            warn = !GImpl.capWarned;
            GImpl.capWarned = true;
        }
        else
        {
            uint8* at = GImpl.arena + kNameTableBytes + kNameAreaBytes + size_t(count) * kRecordSize;
            record = new (at) ThreadRecord();
            record->index = count;
            record->osThreadId = ProfilerPlatform_GetThreadId();
            std::memcpy(record->name, name, sizeof(record->name));
            record->name[sizeof(record->name) - 1] = '\0';
            if (Detail::GActive.load(std::memory_order_relaxed) != 0)
            {
                AllocateRings(record);
                record->active.store(record->events != nullptr ? 1 : 0, std::memory_order_release);
            }
            GImpl.records[count].store(record, std::memory_order_release);
            GImpl.recordCount.store(count + 1, std::memory_order_release);
            t_record = record;
        }
    }
    // Logged outside the lock and after t_recordRefused is set: the log's profiler sink comes back
    // here and must find the answer already given.
    if (warn)
        MX_LOG_WARNING("Profiler: %u threads already record; further threads are not profiled", kMaxThreads);
    return record;
}

inline ThreadRecord* CurrentRecord()
{
    ThreadRecord* record = t_record;
    if (record != nullptr) [[likely]]
        return record;
    if (t_recordRefused)
        return nullptr;
    return CreateRecord();
}

// Room check for `needed` more slots. A zone's end must always find a slot, so every other event
// leaves one free slot per open zone.
inline bool Reserve(ThreadRecord* record, uint32 needed, uint32& slot)
{
    uint32 produced = record->produced.load(std::memory_order_relaxed);
    uint32 consumed = record->consumed.load(std::memory_order_acquire);
    if (kEventRingSize - (produced - consumed) < needed)
    {
        record->dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    slot = produced;
    return true;
}

inline Event& Slot(ThreadRecord* record, uint32 slot)
{
    return record->events[slot & (kEventRingSize - 1)];
}

inline void Publish(ThreadRecord* record, uint32 count)
{
    record->produced.store(record->produced.load(std::memory_order_relaxed) + count,
                           std::memory_order_release);
}

template <typename T>
inline void Put(Event& event, uint32 offset, T value)
{
    std::memcpy(event.bytes + offset, &value, sizeof(T));
}

// Copies a text into the thread's text ring; returns its position, or kTextWrap when the ring has
// no room (the consumer has not caught up): the text is dropped, never waited for.
uint32 WriteText(ThreadRecord* record, const char* text, uint32 length)
{
    if (length > kMaxTextLength)
        length = kMaxTextLength;
    uint32 needed = 4 + ((length + 3) & ~3u);
    uint32 head = record->textHead.load(std::memory_order_relaxed);
    uint32 tail = record->textTail.load(std::memory_order_acquire);
    uint32 position = head & (kTextRingBytes - 1);
    uint32 toEnd = kTextRingBytes - position;
    uint32 skip = needed > toEnd ? toEnd : 0;
    if ((head - tail) + skip + needed > kTextRingBytes)
        return kTextWrap;
    if (skip != 0)
    {
        std::memcpy(record->texts + position, &kTextWrap, 4);
        head += skip;
        position = 0;
    }
    std::memcpy(record->texts + position, &length, 4);
    std::memcpy(record->texts + position + 4, text, length);
    record->textHead.store(head + needed, std::memory_order_release);
    return position;
}

inline bool Recording(ThreadRecord*& record)
{
    record = CurrentRecord();
    if (record == nullptr)
    {
        GImpl.droppedWithoutRecord.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return record->active.load(std::memory_order_acquire) != 0;
}
} // namespace

uint64 Core::ReadTimestamp()
{
    unsigned int aux;
    return __rdtscp(&aux);
}

uint64 Core::GetStartTimestamp()
{
    EnsureCreated();
    return GImpl.startTimestamp;
}

uint32 Core::GetRecordCount()
{
    return GImpl.recordCount.load(std::memory_order_acquire);
}

ThreadRecord* Core::GetRecord(uint32 index)
{
    if (index >= GetRecordCount())
        return nullptr;
    return GImpl.records[index].load(std::memory_order_acquire);
}

uint32 Core::GetTimerCount()
{
    return GImpl.timerCount.load(std::memory_order_acquire);
}

const char* Core::GetTimerName(uint32 id, bool& secondNamespace)
{
    if (id >= GetTimerCount())
        return nullptr;
    std::lock_guard<std::mutex> guard(GImpl.lock);
    secondNamespace = (GImpl.timerNamespace[id / 32] >> (id % 32)) & 1u;
    return GImpl.timerNames[id];
}

bool Core::IsTimerNameAddress(uint64 address)
{
    uint32 count = GetTimerCount();
    for (uint32 i = 0; i < count; ++i)
        if (reinterpret_cast<uint64>(GImpl.timerNames[i]) == address)
            return true;
    return false;
}

void Core::SetRecording(bool on)
{
    EnsureCreated();
    std::lock_guard<std::mutex> guard(GImpl.lock);
    uint32 count = GImpl.recordCount.load(std::memory_order_relaxed);
    if (on)
    {
        for (uint32 i = 0; i < count; ++i)
        {
            ThreadRecord* record = GImpl.records[i].load(std::memory_order_relaxed);
            AllocateRings(record);
            record->active.store(record->events != nullptr ? 1 : 0, std::memory_order_release);
        }
        Detail::GActive.store(1, std::memory_order_release);
    }
    else
    {
        Detail::GActive.store(0, std::memory_order_release);
        for (uint32 i = 0; i < count; ++i)
            GImpl.records[i].load(std::memory_order_relaxed)->active.store(0, std::memory_order_release);
    }
}

void Core::SetThreadNameProvider(ThreadNameProvider provider)
{
    std::lock_guard<std::mutex> guard(GImpl.lock);
    GImpl.nameProvider = provider;
}

uint64 Core::GetMemoryInUse()
{
    return GImpl.memoryInUse.load(std::memory_order_relaxed);
}

bool IsSupported()
{
    static const bool supported = []
    {
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!__get_cpuid(0x80000001u, &eax, &ebx, &ecx, &edx))
            return false;
        return (edx & (1u << 27)) != 0;
    }();
    return supported;
}

uint16 RegisterTimer(const char* name, bool secondNamespace)
{
    EnsureCreated();
    std::lock_guard<std::mutex> guard(GImpl.lock);
    return RegisterTimerLocked(name, secondNamespace);
}

uint32 BeginZone(uint16 timer, const void* descriptor, uint16 flags, const char* text)
{
    ThreadRecord* record;
    if (!Recording(record) || timer == kInvalidTimer)
        return 0;
    uint32 slot;
    // The zone's own end, and the end of every zone already open, stay reserved.
    if (!Reserve(record, record->depth + (text != nullptr ? 3 : 2), slot))
        return 0;
    uint32 sequence = ++record->sequence;
    if (sequence == 0)
        sequence = ++record->sequence;
    ++record->depth;
    Event& begin = Slot(record, slot);
    begin.bytes[0] = ProfilerProtocol::kZoneBegin;
    Put<uint64>(begin, 1, Core::ReadTimestamp());
    Put<uint64>(begin, 9, reinterpret_cast<uint64>(descriptor));
    Put<uint16>(begin, 17, timer);
    Put<uint16>(begin, 19, flags);
    Put<uint32>(begin, 21, record->depth);
    Put<uint32>(begin, 25, sequence);
    uint32 published = 1;
    if (text != nullptr)
    {
        uint32 position = WriteText(record, text, uint32(std::strlen(text)));
        if (position != kTextWrap)
        {
            Event& event = Slot(record, slot + 1);
            event.bytes[0] = ProfilerProtocol::kZoneText;
            Put<uint32>(event, 1, sequence);
            Put<uint32>(event, 5, position);
            published = 2;
        }
    }
    Publish(record, published);
    return sequence;
}

uint32 BeginZone(ZoneDescriptor& descriptor, const char* text)
{
    uint16 timer = descriptor.timer.load(std::memory_order_relaxed);
    if (timer == kInvalidTimer) [[unlikely]]
    {
        if (!IsActive())
            return 0;
        timer = RegisterTimer(descriptor.name);
        descriptor.timer.store(timer, std::memory_order_relaxed);
    }
    return BeginZone(timer, &descriptor, 0, text);
}

void EndZone(uint32 sequence)
{
    ThreadRecord* record = t_record;
    if (sequence == 0 || record == nullptr)
        return;
    if (record->depth > 0)
        --record->depth;
    if (record->active.load(std::memory_order_acquire) == 0)
        return;
    uint32 slot;
    if (!Reserve(record, 1, slot))
        return;
    Event& end = Slot(record, slot);
    end.bytes[0] = ProfilerProtocol::kZoneEnd;
    Put<uint64>(end, 1, Core::ReadTimestamp());
    Put<uint32>(end, 9, record->depth);
    Publish(record, 1);
}

void Message(uint64 value, uint16 id, uint8 kind, const char* format, ...)
{
    ThreadRecord* record;
    if (!IsActive() || !Recording(record) || format == nullptr)
        return;
    uint32 slot;
    if (!Reserve(record, record->depth + 1, slot))
        return;
    char text[kMaxMessageLength + 1];
    va_list args;
    va_start(args, format);
    int length = Str::VSNPrintf(text, sizeof(text), format, args);
    va_end(args);
    if (length < 0)
        length = 0;
    if (length > int(kMaxMessageLength))
        length = int(kMaxMessageLength);
    uint32 position = WriteText(record, text, uint32(length));
    if (position == kTextWrap)
    {
        record->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Event& event = Slot(record, slot);
    event.bytes[0] = ProfilerProtocol::kMessage;
    Put<uint64>(event, 1, Core::ReadTimestamp());
    Put<uint32>(event, 9, position);
    Put<uint64>(event, 13, value);
    Put<uint16>(event, 21, id);
    Put<uint8>(event, 23, kind);
    Publish(record, 1);
}

void CounterText(uint32 counterId, const char* text)
{
    ThreadRecord* record;
    if (!IsActive() || text == nullptr || !Recording(record))
        return;
    uint32 slot;
    if (!Reserve(record, record->depth + 1, slot))
        return;
    uint32 position = WriteText(record, text, uint32(std::strlen(text)));
    if (position == kTextWrap)
    {
        record->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Event& event = Slot(record, slot);
    event.bytes[0] = ProfilerProtocol::kZoneText;
    Put<uint32>(event, 1, counterId);
    Put<uint32>(event, 5, position);
    Publish(record, 1);
}

uint64 GetDroppedEvents()
{
    uint64 total = GImpl.droppedWithoutRecord.load(std::memory_order_relaxed);
    uint32 count = Core::GetRecordCount();
    for (uint32 i = 0; i < count; ++i)
        total += Core::GetRecord(i)->dropped.load(std::memory_order_relaxed);
    return total;
}
} // namespace Profiler
} // namespace Morvex
