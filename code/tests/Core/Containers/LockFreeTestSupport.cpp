#include "LockFreeTestSupport.h"

#include <atomic>

namespace Morvex::Test
{
namespace
{
// One parker at a time; the hook reads it from whichever thread runs a list operation.
std::atomic<ListParker*> GActive{nullptr};
thread_local bool t_armed = false;
} // namespace

ListParker::ListParker(LockFree::EListOp op, LockFree::EStallPoint point)
    : m_op(op), m_point(point), m_previous(LockFree::GetStallHook())
{
    GActive.store(this, std::memory_order_release);
    LockFree::SetStallHook(&Hook);
}

ListParker::~ListParker()
{
    Release();
    LockFree::SetStallHook(m_previous);
    GActive.store(nullptr, std::memory_order_release);
}

void ListParker::ArmCallingThread()
{
    t_armed = true;
}

void ListParker::WaitUntilParked()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_parked; });
}

void ListParker::Release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}

void ListParker::Hook(LockFree::EListOp op, LockFree::EStallPoint point)
{
    ListParker* parker = GActive.load(std::memory_order_acquire);
    if (!t_armed || parker == nullptr || op != parker->m_op || point != parker->m_point)
        return;
    t_armed = false;
    parker->Park();
}

void ListParker::Park()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_parked = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return m_released; });
}
} // namespace Morvex::Test
