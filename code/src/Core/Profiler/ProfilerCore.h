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

struct alignas(64) ThreadRecord
{
    // Producer side (the owning thread).
    std::atomic<uint8> active{0};
    uint32 sequence = 0;
    uint32 depth = 0;
    Event* events = nullptr; // kEventRingSize slots, allocated on activation
    uint8* texts = nullptr;  // kTextRingBytes, in the same block
    // Monotonic counters; positions are taken modulo the ring sizes. The producer publishes with
    // release, the consumer with release; each reads the other's with acquire.
    std::atomic<uint32> produced{0};
    std::atomic<uint32> consumed{0};
    std::atomic<uint32> textHead{0};
    std::atomic<uint32> textTail{0};
    std::atomic<uint64> dropped{0};
    // Identity, fixed at creation.
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

// Records created so far (never removed); GetRecord is null past the count.
uint32 GetRecordCount();
ThreadRecord* GetRecord(uint32 index);

uint32 GetTimerCount();
// The name of a registered timer (null past the count) and its name space.
const char* GetTimerName(uint32 id, bool& secondNamespace);
// True when `address` is the start of one of the registered timer names.
bool IsTimerNameAddress(uint64 address);

// Sets the active bit and switches every record on (allocating rings) or off. Under the lock.
void SetRecording(bool on);

// Names a thread record when it is created, on the thread itself; installed by the layer that
// knows the thread registry (null: the OS thread name).
using ThreadNameProvider = void (*)(char* out, uint32 capacity);
void SetThreadNameProvider(ThreadNameProvider provider);

// Bytes of address space the profiler holds (arena and rings).
uint64 GetMemoryInUse();
} // namespace Core
} // namespace Profiler
} // namespace Morvex
