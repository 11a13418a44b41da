#pragma once
// The lock of the loader's record pools: a mutex that spins a while before it sleeps, since a
// holder only takes or returns a pool element. Constant-initialised, so it may guard storage that
// is used during static initialisation and destruction.

#include "Core/Types.h"

#include <mutex>

namespace Morvex
{
class SpinningMutex
{
public:
    constexpr explicit SpinningMutex(uint32 spinCount) : m_spinCount(spinCount) {}
    SpinningMutex(const SpinningMutex&) = delete;
    SpinningMutex& operator=(const SpinningMutex&) = delete;

    void lock()
    {
        for (uint32 i = 0; i < m_spinCount; ++i)
        {
            if (m_mutex.try_lock())
                return;
        }
        m_mutex.lock();
    }
    bool try_lock() { return m_mutex.try_lock(); }
    void unlock() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
    uint32 m_spinCount;
};
} // namespace Morvex
