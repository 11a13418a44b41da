// What every locked heap offers on top of its backend: the C library's calloc and strdup contracts,
// for the libraries that allocate through a heap of their own.

#include "Core/Memory/LockedHeap.h"

#include "Core/Memory/DebugHeap.h"
#include "LockedHeapBackend.h"
#include "SystemMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace Morvex
{
void* LockedHeap::Calloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    const size_t bytes = count * size;
    void* p = Alloc(bytes);
    std::memset(p, 0, bytes != 0 ? bytes : 1);
    return p;
}

char* LockedHeap::Strdup(const char* text)
{
    const size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(Alloc(n));
    std::memcpy(copy, text, n);
    return copy;
}
namespace
{
// The address space each of the kernel's own heaps reserves under --debug-heap.
constexpr uint64 kKernelDebugReservation = 0x480000000ull;

// A kernel heap served by a debug heap of its own (with --debug-heap).
class DebugLockedHeap final : public LockedHeap
{
public:
    explicit DebugLockedHeap(const char* name) : LockedHeap(name), m_heap(name, kKernelDebugReservation) {}
    bool IsReserved() const { return m_heap.IsReserved(); }

    void* Alloc(size_t size) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        void* p = m_heap.Allocate(size == 0 ? 1 : size);
        m_stats = m_heap.GetStats();
        if (p == nullptr)
        {
            // The reservation is used up (asserted already): nothing can go on without memory.
            std::fflush(nullptr);
            std::_Exit(134);
        }
        return p;
    }
    void Free(void* p) override
    {
        if (p == nullptr)
            return;
        std::lock_guard<std::mutex> lock(m_lock);
        m_heap.Free(p, 0);
        m_stats = m_heap.GetStats();
    }
    void* Realloc(void* p, size_t size) override
    {
        if (p == nullptr)
            return Alloc(size);
        const size_t old = GetSize(p);
        void* grown = Alloc(size);
        std::memcpy(grown, p, old < size ? old : size);
        Free(p);
        return grown;
    }
    size_t GetSize(const void* p) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_heap.Capacity(p);
    }
    void Visit(HeapVisitor& visitor) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_heap.Visit(visitor);
    }
    void Trim() override {}
    // Called from inside a visit or with the heap otherwise quiet (its unregistration).
    uint32 GetAllocationNumber(const void* block) const override { return m_heap.GetAllocationNumber(block); }
    uint32 GetFrames(const void* block, void** frames, uint32 capacity) const override
    {
        return m_heap.GetFrames(block, frames, capacity);
    }

private:
    std::mutex m_lock;
    DebugHeap m_heap;
};
} // namespace

LockedHeap& CreateLockedHeap(LockedHeapKind kind, const char* name)
{
    // The kernel's own heaps get debug heaps with --debug-heap; the heaps of libraries stay as they
    // are (their blocks are not the engine's to check).
    if (kind != LockedHeapKind::General && ReadDebugHeapSwitches().debugHeap)
    {
        // Never destroyed, like every locked heap. Where the address space cannot be had (a memory
        // limit), the heap stays an ordinary one.
        void* storage = std::malloc(sizeof(DebugLockedHeap));
        if (storage != nullptr)
        {
            auto* heap = new (storage) DebugLockedHeap(name);
            if (heap->IsReserved())
                return *heap;
            heap->~DebugLockedHeap();
            std::free(storage);
        }
    }
    return CreateDefaultLockedHeap(kind, name);
}
} // namespace Morvex
