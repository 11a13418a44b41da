// The global heap's backend on the C heap: chosen for sanitizer builds, where every block must be
// one the sanitizer's allocator handed out, so that overflows, uses after free and leaks are seen.

#include "GlobalHeapBackend.h"

#include "Core/NeverDestroyed.h"

#include <cstdlib>
#include <malloc.h>

namespace Morvex
{
namespace
{
class SystemHeap final : public GlobalHeapBackend
{
public:
    constexpr SystemHeap() : GlobalHeapBackend(MX_HEAP_NAME("GlobalHeap")) {}

    void* Allocate(uint64 size) override
    {
        void* block = std::malloc(size);
        if (block != nullptr)
        {
            ++m_stats.allocations;
            m_stats.used += size;
            if (m_stats.used > m_stats.peakUsed)
                m_stats.peakUsed = m_stats.used;
            m_stats.reserved = m_stats.used;
            m_stats.peakReserved = m_stats.peakUsed;
        }
        return block;
    }
    void Free(void* block, uint64 size) override
    {
        ++m_stats.frees;
        m_stats.used -= size;
        m_stats.reserved = m_stats.used;
        std::free(block);
    }
    uint64 Capacity(const void* block) override { return malloc_usable_size(const_cast<void*>(block)); }
    void Resize(void*, uint64 oldSize, uint64 newSize) override
    {
        m_stats.used = m_stats.used - oldSize + newSize;
        if (m_stats.used > m_stats.peakUsed)
            m_stats.peakUsed = m_stats.used;
        m_stats.reserved = m_stats.used;
    }
    bool Owns(const void*) override { return true; }
    void Visit(HeapVisitor&) override {}
    void Trim() override { malloc_trim(0); }
};

constinit NeverDestroyed<SystemHeap> GSystemHeap;
} // namespace

GlobalHeapBackend& GetDefaultGlobalHeapBackend()
{
    return GSystemHeap.value;
}
} // namespace Morvex
