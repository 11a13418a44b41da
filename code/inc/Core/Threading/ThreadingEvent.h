#pragma once
// Wait/signal events handed out from a process-wide recycling registry, and a counting semaphore.
//
// Events are created once and reused: Destroy returns an event to the registry (reset, ready for the
// next Create of the same kind), and every event still in use when the registry shuts down is
// reported at Error by id and name. Create/Destroy are serialised by the registry's spin lock;
// Set/Reset/Wait take no registry lock and may be called from any thread. An event must not be
// destroyed while another thread waits on it.

#include "Core/Threading/Threading.h"
#include "Core/Types.h"

namespace Morvex
{
namespace Threading
{
class Event
{
public:
    // Creates the registry (asserts "GEvents == nullptr" when it exists). Called by the kernel
    // start-up; Create also creates it on first use when the start-up has not.
    static void InitSystem();
    // Reports the events still in use at Error, then releases the registry. Events still in use stay
    // usable; destroying one later releases it for good.
    static void ShutdownSystem();

    // A new or recycled event, not signalled. name: kept as a pointer (not copied) for the
    // shutdown report; may be null. Never null: the process stops when no event can be made.
    static Event* Create(bool manualReset, const char* name);
    // Returns the event to the registry; null does nothing. Asserts "pEvent->m_inUse".
    static void Destroy(Event* event);

    // Each asserts "pEvent->m_inUse" (and then does nothing / returns false).
    static void Set(Event* event);
    static void Reset(Event* event);
    // True when signalled within timeoutMs (Threading::kInfinite: no limit). An auto-reset event is reset
    // by the wait that sees it signalled.
    static bool Wait(Event* event, uint32 timeoutMs);

    // Diagnostics and tests.
    int32 GetId() const { return m_id; }
    const char* GetName() const { return m_name; }
    bool IsManualReset() const { return m_manualReset; }
    bool IsInUse() const { return m_inUse; }

    Event* m_prev = nullptr;
    Event* m_next = nullptr;
    void* m_handle = nullptr; // the OS event
    uint8 m_manualReset : 1 = 0;
    uint8 m_fromPool : 1 = 0; // made by the registry
    uint8 m_inUse : 1 = 0;
    uint8 m_orphan : 1 = 0; // still in use when the registry shut down
    int32 m_id = 0;
    const char* m_name = nullptr;
};

// Counting semaphore: starts at 0, at most 0x7FFFFFFF.
class Semaphore
{
public:
    Semaphore();
    ~Semaphore();
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Blocks until the count is above 0, then decrements it.
    void Wait();
    // Adds count (a release past the maximum stops at it). Any thread.
    void Release(int32 count);

private:
    void* m_handle = nullptr;
};
} // namespace Threading
} // namespace Morvex
