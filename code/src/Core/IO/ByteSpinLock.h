#pragma once
// The loader's and the archives' byte locks: test-and-set on one byte, for sections that never
// block (a queue push or pop, a pool take), yielding the processor while another thread holds it.

#include "Core/Types.h"

#include <atomic>
#include <thread>

namespace Morvex
{
class ByteSpinLock
{
public:
    explicit ByteSpinLock(std::atomic<uint8>& flag) : m_flag(flag)
    {
        while (m_flag.exchange(1, std::memory_order_acquire) != 0)
        {
            while (m_flag.load(std::memory_order_relaxed) != 0)
                std::this_thread::yield();
        }
    }
    ~ByteSpinLock() { m_flag.store(0, std::memory_order_release); }
    ByteSpinLock(const ByteSpinLock&) = delete;
    ByteSpinLock& operator=(const ByteSpinLock&) = delete;

private:
    std::atomic<uint8>& m_flag;
};
} // namespace Morvex
