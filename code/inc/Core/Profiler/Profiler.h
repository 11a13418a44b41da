#pragma once
// The profiler: timed zones, zone texts, messages and lock events recorded per thread into rings
// with time-stamp-counter times, drained by the send thread (ProfilerConnection.h) and streamed to
// a viewer.
//
// A zone site registers its name once (a static descriptor per place) and emits a begin and an end
// event. While the profiler is off, a zone costs one relaxed load and a branch; while it is on, a
// time-stamp read and a 32-byte store into the calling thread's own ring. Nothing on the emitting
// path blocks or allocates: a full ring drops the event and counts the drop.
//
// Threads: emitting works on any thread; each thread writes only its own record, created on its
// first event while the profiler is active. Activation, the commands and Init/Shutdown belong to
// the main thread.

#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
namespace Profiler
{
constexpr uint32 kMaxTimers = 1536;
// Thread records at once. A thread's record goes to a later thread once the thread has ended and
// the send thread has taken its events; threads past the cap record nothing (their events count as
// dropped).
constexpr uint32 kMaxThreads = 256;
constexpr uint32 kEventRingSize = 0x10000; // events per thread (32 bytes each)
constexpr uint32 kTextRingBytes = 0x20000; // text bytes per thread
constexpr uint32 kMaxTextLength = 2047;    // longer texts are cut
constexpr uint32 kMaxMessageLength = 511;  // Message formats into 512 characters
constexpr uint16 kInvalidTimer = 0xFFFF;
// A DNS name has at most 253 characters; a longer host is refused rather than cut into another name.
constexpr uint32 kMaxHostLength = 255;

// The timers of lock events, registered first (ids 0..4) when the profiler is created.
enum ELockTimer : uint16
{
    kLockWait = 0,
    kLockHold = 1,
    kRWLockWait = 2,
    kRWLockReadHold = 3,
    kRWLockWriteHold = 4,
};

// One static descriptor per zone site; `timer` is resolved on the site's first active use.
struct ZoneDescriptor
{
    const char* name;
    const char* file;
    uint32 line;
    std::atomic<uint16> timer{kInvalidTimer};
};

namespace Detail
{
// Non-zero while the profiler is active: the only thing an inactive zone reads.
extern std::atomic<uint8> GActive;
} // namespace Detail

inline bool IsActive()
{
    return Detail::GActive.load(std::memory_order_relaxed) != 0;
}

// The processor reads a serialising time-stamp counter (rdtscp; CPUID 0x80000001, EDX bit 27).
// Tested once.
bool IsSupported();

// The registered id of `name` (copied) in its name space: an equal name already registered returns
// its id. kInvalidTimer after the assertion "numTimers < kMaxTimers" when the registry is full, or
// "nameCopy" when the name area is. Any thread.
uint16 RegisterTimer(const char* name, bool secondNamespace = false);

// Begin a zone on the calling thread: returns its sequence number, or 0 when nothing was recorded
// (profiler off, no record, ring full, invalid timer). `descriptor` identifies the site (sent as an
// offset from the module base); `text` (may be null) is attached to the zone. Any thread.
uint32 BeginZone(uint16 timer, const void* descriptor, uint16 flags, const char* text = nullptr);
// Resolves the site's timer on first use.
uint32 BeginZone(ZoneDescriptor& descriptor, const char* text = nullptr);
// Ends the zone `sequence` returned by BeginZone; 0 does nothing. A zone begun before the profiler
// was last switched on records no end (its begin belongs to an earlier stream). Zones a thread
// leaves open end when the thread ends.
void EndZone(uint32 sequence);
// A message event with the text formatted into 512 characters. `kind`: 0 info, 1 warning, 2 error.
void Message(uint64 value, uint16 id, uint8 kind, const char* format, ...) MX_PRINTF_FORMAT(4, 5);
// A text for a counter (a zone-text event carrying the counter id).
void CounterText(uint32 counterId, const char* text);

// Events dropped because a ring was full, or because their thread had no record (the cap), since
// the process started.
uint64 GetDroppedEvents();

// Start-up configuration, read from the command line by the kernel.
struct StartOptions
{
    bool profiler = false;               // "--profiler" present
    const char* profilerValue = nullptr; // its value "host[:port]", or null
    const char* hostPc = nullptr;        // "--hostpc" value, or null
    bool trace = false;                  // "--profiler-trace" present
};

// Kernel post-initialisation: default host and port from the options; activates the profiler when
// "--profiler" is present and the processor is supported. Main thread.
void Init(const StartOptions& options);
// Kernel shutdown: switches the profiler off (the send thread sends its goodbye and is joined).
void Shutdown();

// Switches recording and the send thread on or off. Does nothing when unsupported or already in
// the requested state. Main thread (assertion "Threading::IsMainThread()").
void Activate(bool on);

// The host and port the send thread connects to on activation.
void SetTarget(const char* host, uint16 port);

// Scoped zone; see MX_PROFILE_ZONE.
class ScopedZone
{
public:
    explicit ScopedZone(ZoneDescriptor& descriptor) : m_sequence(IsActive() ? BeginZone(descriptor) : 0) {}
    ScopedZone(uint16 timer, const void* descriptor, uint16 flags)
        : m_sequence(IsActive() ? BeginZone(timer, descriptor, flags) : 0)
    {
    }
    ~ScopedZone()
    {
        if (m_sequence != 0) [[unlikely]]
            EndZone(m_sequence);
    }
    ScopedZone(const ScopedZone&) = delete;
    ScopedZone& operator=(const ScopedZone&) = delete;

private:
    uint32 m_sequence;
};

// A lock's wait or hold time as a zone of one of the lock timers; `lock` identifies the lock.
class ScopedLockEvent
{
public:
    ScopedLockEvent(ELockTimer timer, const void* lock);
    ~ScopedLockEvent()
    {
        if (m_sequence != 0) [[unlikely]]
            EndZone(m_sequence);
    }
    ScopedLockEvent(const ScopedLockEvent&) = delete;
    ScopedLockEvent& operator=(const ScopedLockEvent&) = delete;

private:
    uint32 m_sequence;
};

inline ScopedLockEvent::ScopedLockEvent(ELockTimer timer, const void* lock)
    : m_sequence(IsActive() ? BeginZone(uint16(timer), lock, 1 /* lock flag */) : 0)
{
}
} // namespace Profiler
} // namespace Morvex

#define MX_PROFILE_CONCAT2(a, b) a##b
#define MX_PROFILE_CONCAT(a, b) MX_PROFILE_CONCAT2(a, b)
// Times the rest of the enclosing scope as a zone named `name` (a string literal).
#define MX_PROFILE_ZONE(name)                                                                                \
    static ::Morvex::Profiler::ZoneDescriptor MX_PROFILE_CONCAT(s_profileZone_, __LINE__){name, __FILE__,    \
                                                                                          __LINE__};         \
    ::Morvex::Profiler::ScopedZone MX_PROFILE_CONCAT(profileZone_,                                           \
                                                     __LINE__)(MX_PROFILE_CONCAT(s_profileZone_, __LINE__))
