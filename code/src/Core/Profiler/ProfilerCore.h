#pragma once
// The profiler's recording core as its consumer (the send thread) sees it: thread records with
// their event and text rings, the timer registry, and the switch that turns recording on and off.

#include "Core/Profiler/Profiler.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
namespace Profiler
{
// One 32-byte ring slot. The first byte is the type (ProfilerProtocol::EEventType); the fields
// follow unaligned and little-endian as the wire description lists them.
struct Event
{
    uint8 bytes[32];
};
static_assert(sizeof(Event) == 32);

// Text-ring entry: a u32 length at a 4-aligned position, then the bytes. A length of kTextWrap
// marks the unused end of the ring: the next entry starts at the ring's beginning.
constexpr uint32 kTextWrap = 0xFFFFFFFFu;

// Byte 29 of a zone-begin event (after its sequence number): the low byte of the activation it was
// recorded in. The send thread leaves out begins of an activation other than its own.
constexpr uint32 kBeginActivationOffset = 29;

// Both ring positions in one word, so that the reader of a record sees the events and the texts
// those events refer to as of one moment: the event count in the low half, the text bytes in the
// high half. Both are monotonic; positions in the rings are taken modulo their sizes.
constexpr uint64 PackPositions(uint32 events, uint32 textBytes)
{
    return uint64(textBytes) << 32 | events;
}
constexpr uint32 EventsOf(uint64 positions)
{
    return uint32(positions);
}
constexpr uint32 TextOf(uint64 positions)
{
    return uint32(positions >> 32);
}

struct alignas(64) ThreadRecord
{
    // Written under the lock by SetRecording (and when the record gets its thread), read by the
    // owner: 0 while the profiler is off, else the number of the activation it records for.
    std::atomic<uint32> active{0};
    // The owner thread's own state.
    uint32 epoch = 0;         // the activation the zones counted in `depth` belong to
    uint32 firstSequence = 1; // the first zone sequence number of that activation
    uint32 sequence = 0;
    uint32 depth = 0;
    uint32 produced = 0; // events written
    uint32 textHead = 0; // text bytes written
    // How far `produced` and `textHead` may go, from the last look at `released`; looked at again
    // only when an event or a text does not fit.
    uint32 eventLimit = 0;
    uint32 textLimit = 0;
    Event* events = nullptr; // kEventRingSize slots, allocated on activation
    uint8* texts = nullptr;  // kTextRingBytes, in the same block
    // Owner to consumer, with release: PackPositions(produced, textHead) after each complete event.
    // A text written for an event that is not published yet is not covered.
    std::atomic<uint64> published{0};
    std::atomic<uint64> dropped{0};
    // Consumer to owner, with release: PackPositions of what the consumer is done with.
    alignas(64) std::atomic<uint64> released{0};
    // Set by the owner thread as it exits, after its last event; the send thread then gives the
    // slot back once it has taken everything published.
    std::atomic<uint8> ended{0};
    // Identity, set under the lock each time the slot gets a thread. `generation` counts the
    // threads the slot has had (from 1).
    uint32 generation = 0;
    uint32 index = 0;
    uint32 osThreadId = 0;
    char name[32] = {};
};

namespace Core
{
// Reads the profiler's time-stamp counter (rdtscp).
uint64 ReadTimestamp();
// Counter value when the profiler was created.
uint64 GetStartTimestamp();

// Slots used so far (the records of ended threads are reused). GetRecord is null past the count
// and for a slot without a thread.
uint32 GetRecordCount();
ThreadRecord* GetRecord(uint32 index);
// Slots that have a thread (running, or ended with events not yet taken by the send thread).
uint32 GetRecordsInUse();
// The calling thread's record, or null when it has none.
ThreadRecord* GetThreadRecord();
// The send thread, after it took everything `record` published once its thread ended: the slot
// goes to the next new thread. The caller no longer touches the record.
void ReleaseRecord(ThreadRecord* record);

uint32 GetTimerCount();
// The name of a registered timer (null past the count) and its name space.
const char* GetTimerName(uint32 id, bool& secondNamespace);
// True when `address` is the start of one of the registered timer names.
bool IsTimerNameAddress(uint64 address);

// Sets the active bit and switches every record on (allocating rings) or off. Under the lock.
// Each switch on starts a new activation.
void SetRecording(bool on);
// The number of the current activation while recording, else of the last one (0: none yet).
uint32 GetActivation();

// Names a thread record when it is created, on the thread itself; installed by the layer that
// knows the thread registry (null: the OS thread name).
using ThreadNameProvider = void (*)(char* out, uint32 capacity);
void SetThreadNameProvider(ThreadNameProvider provider);

// Bytes of address space the profiler holds (arena and rings).
uint64 GetMemoryInUse();
} // namespace Core
} // namespace Profiler
} // namespace Morvex
