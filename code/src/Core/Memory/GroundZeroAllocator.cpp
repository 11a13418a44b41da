// The early allocator: a bump pointer over a static buffer, for records needed before any heap.

#include "Core/Memory/GroundZeroAllocator.h"

#include <atomic>
#include <thread>

namespace Morvex
{
namespace
{
// Every block starts on 16 bytes: the records placed here hold locks and atomics.
alignas(16) constinit unsigned char GBuffer[GroundZeroAllocator::kCapacity] = {};
constinit std::atomic<bool> GLock{false};
constinit uint64 GUsed = 0;

class SpinGuard
{
public:
    SpinGuard()
    {
        while (GLock.exchange(true, std::memory_order_acquire))
            std::this_thread::yield();
    }
    ~SpinGuard() { GLock.store(false, std::memory_order_release); }
};
} // namespace

void* GroundZeroAllocator::Alloc(uint64 size)
{
    const uint64 rounded = (size + 15) & ~uint64(15);
    SpinGuard guard;
    if (rounded < size || rounded > kCapacity - GUsed)
        return nullptr;
    void* block = GBuffer + GUsed;
    GUsed += rounded;
    return block;
}

uint64 GroundZeroAllocator::GetUsed()
{
    SpinGuard guard;
    return GUsed;
}
} // namespace Morvex
