// The global heap's backend in normal builds: the engine's segregated heap with the global heap's
// parameters. The global heap's lock serialises every call.

#include "Core/Memory/SegregateHeap.h"
#include "GlobalHeapBackend.h"

#include <new>

namespace Morvex
{
namespace
{
class SegregateBackend final : public GlobalHeapBackend
{
public:
    SegregateBackend() : GlobalHeapBackend(MX_HEAP_NAME("GlobalHeap")), m_heap(GetName()) {}

    void* Allocate(uint64 size) override { return m_heap.Allocate(static_cast<size_t>(size)); }
    void Free(void* block, uint64) override { m_heap.Free(block); }
    uint64 Capacity(const void* block) override { return m_heap.GetBlockCapacity(block); }
    void Resize(void* block, uint64, uint64 newSize) override
    {
        // Within the block's capacity the heap keeps the block where it is and updates its figures.
        m_heap.Reallocate(block, static_cast<size_t>(newSize));
    }
    bool Owns(const void* block) override { return m_heap.Owns(block); }
    bool AllowsThreadCache() const override { return true; }
    void Visit(HeapVisitor& visitor) override { m_heap.Visit(visitor); }
    void Trim() override { m_heap.Trim(); }
    MemoryHeap& ReportedHeap() override { return m_heap; }

private:
    SegregateHeap<GlobalHeapParameters> m_heap;
};
} // namespace

GlobalHeapBackend& GetDefaultGlobalHeapBackend()
{
    // Built in static storage at the first allocation of the process and never destroyed: blocks come
    // back until the very end.
    alignas(SegregateBackend) static unsigned char storage[sizeof(SegregateBackend)];
    static SegregateBackend* backend = new (storage) SegregateBackend();
    return *backend;
}
} // namespace Morvex
