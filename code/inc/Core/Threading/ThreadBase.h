#pragma once
// Base class for thread objects: a derived class implements Run, which executes on a thread of its
// own between Start and Join/Stop.

#include "Core/Threading/Threading.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class ThreadBase
{
public:
    ThreadBase() = default;
    // The object must have been joined or stopped (asserts "m_threadHandle == 0"). If the assertion
    // returns, the destructor stops and joins the thread so that it does not outlive the memory;
    // the derived part is already gone by then, so Run must have returned.
    virtual ~ThreadBase();
    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    // The thread body, called on the new thread.
    virtual void Run() = 0;

    // Copies at most 31 bytes of name (at a UTF-8 boundary); null clears it. Takes effect at Start.
    void SetName(const char* name);
    const char* GetName() const { return m_name; }

    // Starts Run on a new thread (see Threading::StartThread; no affinity). Asserts "!m_threadHandle"
    // and does nothing when the object is running already. Returns whether a thread was started.
    bool Start(uint32 stackSize, ThreadPriority priority);
    bool IsValid() const { return m_threadHandle != nullptr; }
    // Waits without limit for Run to return; nothing happens when not running.
    void Join();
    // Requests the stop (IsStopRequested turns true), then joins; nothing happens when not running.
    void Stop();
    bool IsStopRequested() const { return m_stopRequested.load(std::memory_order_acquire); }
    ThreadHandle GetHandle() const { return m_threadHandle; }

protected:
    std::atomic<bool> m_stopRequested{false};
    ThreadHandle m_threadHandle = nullptr;
    char m_name[ThreadInfo::kNameCapacity] = {};

private:
    static void Entry(void* self);
};
} // namespace Morvex
