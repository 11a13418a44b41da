// Which heap serves the global heap: the debug heap when the process was started with --debug-heap,
// else the build's own backend. Decided at the first allocation of the process, from the raw
// command line, before anything could have been allocated from the other.

#include "Core/Memory/DebugHeap.h"
#include "Core/NeverDestroyed.h"
#include "GlobalHeapBackend.h"
#include "SystemMemory.h"

#include <new>

namespace Morvex
{
namespace
{
// The reservation the global heap's debug heap gets: address space only, committed as used.
constexpr uint64 kGlobalDebugReservation = 0x300000000ull;

class DebugHeapBackend final : public GlobalHeapBackend
{
public:
    DebugHeapBackend()
        : GlobalHeapBackend(MX_HEAP_NAME("GlobalHeap")), m_heap(GetName(), kGlobalDebugReservation)
    {
        m_hasDetails = false;
    }
    void* Allocate(uint64 size) override
    {
        void* p = m_heap.Allocate(size);
        m_stats = m_heap.GetStats();
        return p;
    }
    void Free(void* block, uint64 size) override
    {
        m_heap.Free(block, size);
        m_stats = m_heap.GetStats();
    }
    uint64 Capacity(const void* block) override { return m_heap.Capacity(block); }
    void Resize(void*, uint64, uint64) override {}
    bool Owns(const void* block) override { return m_heap.Owns(block); }
    void Visit(HeapVisitor& visitor) override { m_heap.Visit(visitor); }
    void Trim() override {}
    uint32 GetAllocationNumber(const void* block) const override { return m_heap.GetAllocationNumber(block); }
    uint32 GetFrames(const void* block, void** frames, uint32 capacity) const override
    {
        return m_heap.GetFrames(block, frames, capacity);
    }

private:
    DebugHeap m_heap;
};

GlobalHeapBackend& Choose()
{
    if (ReadDebugHeapSwitches().debugHeap)
    {
        // Never destroyed: blocks are freed into it until the very end of the process.
        alignas(DebugHeapBackend) static unsigned char storage[sizeof(DebugHeapBackend)];
        return *new (storage) DebugHeapBackend();
    }
    return GetDefaultGlobalHeapBackend();
}
} // namespace

GlobalHeapBackend& GetGlobalHeapBackend()
{
    static GlobalHeapBackend& backend = Choose();
    return backend;
}
} // namespace Morvex
