#include "Core/Threading/ThreadBase.h"

#include "Core/Assert.h"

#include <cstring>

namespace Morvex
{
ThreadBase::~ThreadBase()
{
    MX_ASSERT(m_threadHandle == 0);
    if (m_threadHandle)
        Stop();
}

void ThreadBase::SetName(const char* name)
{
    if (name == nullptr)
        name = "";
    size_t n = std::strlen(name);
    if (n > Threading::kMaxNameLength)
    {
        n = Threading::kMaxNameLength;
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memmove(m_name, name, n);
    std::memset(m_name + n, 0, sizeof(m_name) - n);
}

bool ThreadBase::Start(uint32 stackSize, ThreadPriority priority)
{
    MX_ASSERT(!m_threadHandle);
    if (m_threadHandle)
        return false;
    m_stopRequested.store(false, std::memory_order_release);
    m_threadHandle =
        Threading::StartThread(stackSize, priority, &ThreadBase::Entry, this, m_name, Threading::kNoAffinity);
    return m_threadHandle != nullptr;
}

void ThreadBase::Join()
{
    if (!m_threadHandle)
        return;
    Threading::WaitForThreads(&m_threadHandle, 1, Threading::kInfinite);
    m_threadHandle = nullptr;
}

void ThreadBase::Stop()
{
    if (!m_threadHandle)
        return;
    m_stopRequested.exchange(true, std::memory_order_acq_rel);
    Join();
}

void ThreadBase::Entry(void* self)
{
    static_cast<ThreadBase*>(self)->Run();
}
} // namespace Morvex
