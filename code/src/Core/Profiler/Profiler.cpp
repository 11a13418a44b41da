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
    std::atomic<ThreadRecord*> records[kMaxThreads] = {}; // null: no thread
    std::atomic<uint32> recordCount{0};                   // slots used so far
    std::atomic<uint32> recordsInUse{0};
    uint32 freeSlots[kMaxThreads] = {}; // slots given back, taken last-in first-out
    uint32 freeCount = 0;
    std::atomic<uint32> activation{0};
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
// Set once a thread found the record table full, or gave its record back as it ended: it records
// nothing, and does not retry.
thread_local bool t_recordRefused = false;

void EndThread(ThreadRecord* record);

// Gives the thread's record back when the thread ends. Only the slow path of record creation
// touches it: the emitting path reads t_record alone.
struct RecordOwner
{
    ThreadRecord* record = nullptr;
    ~RecordOwner()
    {
        if (record != nullptr)
            EndThread(record);
    }
};
thread_local RecordOwner t_owner;

size_t RoundToGranularity(size_t bytes)
{
    size_t granularity = PlatformVirtualMemory::GetConstants().m_allocationGranularity;
    if (granularity == 0)
        granularity = 65536;
    return (bytes + granularity - 1) / granularity * granularity;
}

// The emitting path's own copy of Core::ReadTimestamp, so that it is never a call.
[[gnu::always_inline]] inline uint64 Timestamp()
{
    unsigned int aux;
    return __rdtscp(&aux);
}

// Under the lock.
void CreateLocked()
{
    if (GImpl.created)
        return;
    GImpl.created = true;
    GImpl.startTimestamp = Timestamp();
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

ThreadRecord* RecordAt(uint32 index)
{
    return reinterpret_cast<ThreadRecord*>(GImpl.arena + kNameTableBytes + kNameAreaBytes +
                                           size_t(index) * kRecordSize);
}

[[gnu::noinline]] ThreadRecord* CreateRecord()
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
        if (GImpl.freeCount != 0)
        {
            // The slot of an ended thread: the send thread took all it published, and its ring
            // positions stay as they are (nothing is pending between them).
            record = RecordAt(GImpl.freeSlots[--GImpl.freeCount]);
            record->epoch = 0;
            record->depth = 0;
            record->ended.store(0, std::memory_order_relaxed);
        }
        else if (count < kMaxThreads && GImpl.arena != nullptr)
        {
            record = new (RecordAt(count)) ThreadRecord();
            record->index = count;
            GImpl.recordCount.store(count + 1, std::memory_order_release);
        }
        if (record == nullptr)
        {
            t_recordRefused = true;
            warn = !GImpl.capWarned;
            GImpl.capWarned = true;
        }
        else
        {
            ++record->generation;
            record->firstSequence = record->sequence + 1 != 0 ? record->sequence + 1 : 1;
            record->osThreadId = ProfilerPlatform_GetThreadId();
            std::memcpy(record->name, name, sizeof(record->name));
            record->name[sizeof(record->name) - 1] = '\0';
            uint32 active = 0;
            if (Detail::GActive.load(std::memory_order_relaxed) != 0)
            {
                AllocateRings(record);
                active = record->events != nullptr ? GImpl.activation.load(std::memory_order_relaxed) : 0;
            }
            record->active.store(active, std::memory_order_release);
            GImpl.recordsInUse.fetch_add(1, std::memory_order_relaxed);
            GImpl.records[record->index].store(record, std::memory_order_release);
            t_record = record;
            t_owner.record = record;
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

// Takes the consumer's word again: the room it gave back since the last look.
[[gnu::noinline]] void RefreshLimits(ThreadRecord* record)
{
    uint64 released = record->released.load(std::memory_order_acquire);
    record->eventLimit = EventsOf(released) + kEventRingSize;
    record->textLimit = TextOf(released) + kTextRingBytes;
}

// Room check for `needed` more slots. A zone's end must always find a slot, so every other event
// leaves one free slot per open zone.
inline bool HasRoom(ThreadRecord* record, uint32 needed)
{
    if (record->eventLimit - record->produced >= needed) [[likely]]
        return true;
    RefreshLimits(record);
    if (record->eventLimit - record->produced >= needed)
        return true;
    record->dropped.fetch_add(1, std::memory_order_relaxed);
    return false;
}

inline Event& Slot(ThreadRecord* record, uint32 slot)
{
    return record->events[slot & (kEventRingSize - 1)];
}

// Makes `count` more events, and the texts written for them, visible to the consumer at once.
inline void Publish(ThreadRecord* record, uint32 count)
{
    record->produced += count;
    record->published.store(PackPositions(record->produced, record->textHead), std::memory_order_release);
}

template <typename T>
inline void Put(Event& event, uint32 offset, T value)
{
    std::memcpy(event.bytes + offset, &value, sizeof(T));
}

// Copies a text into the thread's text ring; returns its position, or kTextWrap when the ring has
// no room (the consumer has not caught up): the text is dropped, never waited for. The text becomes
// visible with the next Publish, together with the event that refers to it: the consumer never
// gives its bytes back while that event is still to be sent.
uint32 WriteText(ThreadRecord* record, const char* text, uint32 length)
{
    if (length > kMaxTextLength)
        length = kMaxTextLength;
    uint32 needed = 4 + ((length + 3) & ~3u);
    uint32 head = record->textHead;
    uint32 position = head & (kTextRingBytes - 1);
    uint32 toEnd = kTextRingBytes - position;
    uint32 skip = needed > toEnd ? toEnd : 0;
    // The limit is at most one ring ahead of the head, so the difference never wraps.
    if (record->textLimit - head < skip + needed)
    {
        RefreshLimits(record);
        if (record->textLimit - head < skip + needed)
            return kTextWrap;
    }
    if (skip != 0)
    {
        std::memcpy(record->texts + position, &kTextWrap, 4);
        head += skip;
        position = 0;
    }
    std::memcpy(record->texts + position, &length, 4);
    std::memcpy(record->texts + position + 4, text, length);
    record->textHead = head + needed;
    return position;
}

// The owner's first event of an activation: zones still open from an earlier one no longer count.
// Their ends are not recorded (their begins went to an earlier stream, or to none).
[[gnu::noinline]] void StartEpoch(ThreadRecord* record, uint32 activation)
{
    record->epoch = activation;
    record->depth = 0;
    record->firstSequence = record->sequence + 1 != 0 ? record->sequence + 1 : 1;
}

// The activation the calling thread records for now (0: none), with its epoch started.
inline uint32 Activation(ThreadRecord* record)
{
    uint32 activation = record->active.load(std::memory_order_acquire);
    if (activation != record->epoch && activation != 0) [[unlikely]]
        StartEpoch(record, activation);
    return activation;
}

// A zone-end event at the current depth (already decremented).
inline void WriteEnd(ThreadRecord* record, uint64 timestamp)
{
    if (!HasRoom(record, 1))
        return;
    Event& end = Slot(record, record->produced);
    end.bytes[0] = ProfilerProtocol::kZoneEnd;
    Put<uint64>(end, 1, timestamp);
    Put<uint32>(end, 9, record->depth);
    Publish(record, 1);
}

void EndThread(ThreadRecord* record)
{
    // Zones still open end with the thread, so that the slot's next thread starts with none.
    uint32 activation = record->active.load(std::memory_order_acquire);
    if (activation != 0 && activation == record->epoch)
        while (record->depth > 0)
        {
            --record->depth;
            WriteEnd(record, Timestamp());
        }
    // Thread-local destructors that run after this one record nothing.
    t_record = nullptr;
    t_recordRefused = true;
    record->ended.store(1, std::memory_order_release);
}

inline bool Recording(ThreadRecord*& record, uint32& activation)
{
    record = CurrentRecord();
    if (record == nullptr) [[unlikely]]
    {
        GImpl.droppedWithoutRecord.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    activation = Activation(record);
    return activation != 0;
}
} // namespace

uint64 Core::ReadTimestamp()
{
    return Timestamp();
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

uint32 Core::GetRecordsInUse()
{
    return GImpl.recordsInUse.load(std::memory_order_relaxed);
}

ThreadRecord* Core::GetThreadRecord()
{
    return t_record;
}

void Core::ReleaseRecord(ThreadRecord* record)
{
    std::lock_guard<std::mutex> guard(GImpl.lock);
    GImpl.records[record->index].store(nullptr, std::memory_order_relaxed);
    GImpl.freeSlots[GImpl.freeCount++] = record->index;
    GImpl.recordsInUse.fetch_sub(1, std::memory_order_relaxed);
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
        uint32 activation = GImpl.activation.load(std::memory_order_relaxed) + 1;
        if (activation == 0)
            activation = 1;
        GImpl.activation.store(activation, std::memory_order_relaxed);
        for (uint32 i = 0; i < count; ++i)
        {
            ThreadRecord* record = GImpl.records[i].load(std::memory_order_relaxed);
            if (record == nullptr)
                continue;
            AllocateRings(record);
            record->active.store(record->events != nullptr ? activation : 0, std::memory_order_release);
        }
        Detail::GActive.store(1, std::memory_order_release);
    }
    else
    {
        Detail::GActive.store(0, std::memory_order_release);
        for (uint32 i = 0; i < count; ++i)
            if (ThreadRecord* record = GImpl.records[i].load(std::memory_order_relaxed))
                record->active.store(0, std::memory_order_release);
    }
}

uint32 Core::GetActivation()
{
    return GImpl.activation.load(std::memory_order_relaxed);
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

namespace
{
// The time is read first, as soon as the zone is known to be recorded: the bookkeeping after it
// then runs while the serialising read completes, instead of before it.
template <bool kWithText>
[[gnu::always_inline]] inline uint32 Begin(uint16 timer, const void* descriptor, uint16 flags,
                                           const char* text)
{
    ThreadRecord* record;
    uint32 activation;
    if (!Recording(record, activation) || timer == kInvalidTimer)
        return 0;
    const uint64 timestamp = Timestamp();
    // The zone's own end, and the end of every zone already open, stay reserved.
    if (!HasRoom(record, record->depth + (kWithText ? 3 : 2)))
        return 0;
    uint32 sequence = ++record->sequence;
    if (sequence == 0) [[unlikely]]
        sequence = ++record->sequence;
    ++record->depth;
    Event& begin = Slot(record, record->produced);
    begin.bytes[0] = ProfilerProtocol::kZoneBegin;
    Put<uint64>(begin, 1, timestamp);
    Put<uint64>(begin, 9, reinterpret_cast<uint64>(descriptor));
    Put<uint16>(begin, 17, timer);
    Put<uint16>(begin, 19, flags);
    Put<uint32>(begin, 21, record->depth);
    Put<uint32>(begin, 25, sequence);
    Put<uint8>(begin, kBeginActivationOffset, uint8(activation));
    uint32 published = 1;
    if constexpr (kWithText)
    {
        uint32 position = WriteText(record, text, uint32(std::strlen(text)));
        if (position != kTextWrap)
        {
            Event& event = Slot(record, record->produced + 1);
            event.bytes[0] = ProfilerProtocol::kZoneText;
            Put<uint32>(event, 1, sequence);
            Put<uint32>(event, 5, position);
            published = 2;
        }
    }
    Publish(record, published);
    return sequence;
}

// Kept apart from the common zone without text, which then needs fewer registers.
[[gnu::noinline]] uint32 BeginWithText(uint16 timer, const void* descriptor, uint16 flags, const char* text)
{
    return Begin<true>(timer, descriptor, flags, text);
}
} // namespace

uint32 BeginZone(uint16 timer, const void* descriptor, uint16 flags, const char* text)
{
    if (text != nullptr)
        return BeginWithText(timer, descriptor, flags, text);
    return Begin<false>(timer, descriptor, flags, nullptr);
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
    if (text == nullptr) [[likely]]
        return Begin<false>(timer, &descriptor, 0, nullptr);
    return BeginWithText(timer, &descriptor, 0, text);
}

void EndZone(uint32 sequence)
{
    ThreadRecord* record = t_record;
    if (sequence == 0 || record == nullptr)
        return;
    const uint64 timestamp = Timestamp();
    // A zone of an earlier activation: the depth no longer counts it, and its begin went to an
    // earlier stream (or to none).
    if (int32(sequence - record->firstSequence) < 0)
        return;
    if (record->depth > 0)
        --record->depth;
    uint32 activation = record->active.load(std::memory_order_acquire);
    if (activation == 0 || activation != record->epoch)
        return;
    WriteEnd(record, timestamp);
}

void Message(uint64 value, uint16 id, uint8 kind, const char* format, ...)
{
    ThreadRecord* record;
    uint32 activation;
    if (!IsActive() || !Recording(record, activation) || format == nullptr)
        return;
    if (!HasRoom(record, record->depth + 1))
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
    Event& event = Slot(record, record->produced);
    event.bytes[0] = ProfilerProtocol::kMessage;
    Put<uint64>(event, 1, Timestamp());
    Put<uint32>(event, 9, position);
    Put<uint64>(event, 13, value);
    Put<uint16>(event, 21, id);
    Put<uint8>(event, 23, kind);
    Publish(record, 1);
}

void CounterText(uint32 counterId, const char* text)
{
    ThreadRecord* record;
    uint32 activation;
    if (!IsActive() || text == nullptr || !Recording(record, activation))
        return;
    if (!HasRoom(record, record->depth + 1))
        return;
    uint32 position = WriteText(record, text, uint32(std::strlen(text)));
    if (position == kTextWrap)
    {
        record->dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    Event& event = Slot(record, record->produced);
    event.bytes[0] = ProfilerProtocol::kZoneText;
    Put<uint32>(event, 1, counterId);
    Put<uint32>(event, 5, position);
    Publish(record, 1);
}

uint64 GetDroppedEvents()
{
    uint64 total = GImpl.droppedWithoutRecord.load(std::memory_order_relaxed);
    // Slots without a thread keep their counts.
    uint32 count = Core::GetRecordCount();
    for (uint32 i = 0; i < count; ++i)
        total += RecordAt(i)->dropped.load(std::memory_order_relaxed);
    return total;
}
} // namespace Profiler
} // namespace Morvex
