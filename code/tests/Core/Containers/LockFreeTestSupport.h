#pragma once
// Parks one chosen thread at one point of one lock-free list operation until the test lets it go,
// so that a test can change a list between that thread's read of the head and its compare-and-swap.

#include "Core/Containers/LockFreeList.h"

#include <condition_variable>
#include <mutex>

namespace Morvex::Test
{
class ListParker
{
public:
    // Installs the stall hook for the life of the object.
    ListParker(LockFree::EListOp op, LockFree::EStallPoint point);
    ~ListParker();
    ListParker(const ListParker&) = delete;
    ListParker& operator=(const ListParker&) = delete;

    // Makes the calling thread park at the next matching point (once).
    void ArmCallingThread();
    void WaitUntilParked();
    void Release();

private:
    static void Hook(LockFree::EListOp op, LockFree::EStallPoint point);
    void Park();

    LockFree::EListOp m_op;
    LockFree::EStallPoint m_point;
    LockFree::StallHook m_previous;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_parked = false;
    bool m_released = false;
};
} // namespace Morvex::Test
