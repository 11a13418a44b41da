// Locked heaps on the C heap, for sanitizer builds: every block is one the sanitizer's allocator
// handed out. A 16-byte header keeps the size asked for, which the statistics and reallocation need.

#include "Core/Memory/LockedHeap.h"
#include "LockedHeapBackend.h"

#include "Core/Assert.h"
#include "Core/Log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace Morvex
{
namespace
{
struct Header
{
    uint64 size;
    uint64 magic;
};
constexpr uint64 kMagic = 0x4C4F434B48454150ull;

class SystemLockedHeap final : public LockedHeap
{
public:
    explicit SystemLockedHeap(const char* name) : LockedHeap(name) {}

    void* Alloc(size_t size) override
    {
        if (size == 0)
            size = 1;
        void* base = size < (size_t(1) << 62) ? std::malloc(size + sizeof(Header)) : nullptr;
        if (base == nullptr)
        {
            MX_LOG(Fatal, "%s: could not allocate %llu bytes", GetName(),
                   static_cast<unsigned long long>(size));
            std::fflush(nullptr);
            std::_Exit(134);
        }
        auto* h = static_cast<Header*>(base);
        *h = Header{size, kMagic};
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_stats.allocations;
        m_stats.used += size;
        m_stats.overhead += sizeof(Header);
        m_stats.reserved = m_stats.used + m_stats.overhead;
        m_stats.peakUsed = m_stats.used > m_stats.peakUsed ? m_stats.used : m_stats.peakUsed;
        m_stats.peakReserved =
            m_stats.reserved > m_stats.peakReserved ? m_stats.reserved : m_stats.peakReserved;
        return h + 1;
    }
    void Free(void* p) override
    {
        if (p == nullptr)
            return;
        Header* h = static_cast<Header*>(p) - 1;
        MX_ASSERT_MSG(h->magic == kMagic, GetName());
        if (h->magic != kMagic)
            return;
        h->magic = 0;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_stats.frees;
            m_stats.used -= h->size;
            m_stats.overhead -= sizeof(Header);
            m_stats.reserved = m_stats.used + m_stats.overhead;
        }
        std::free(h);
    }
    void* Realloc(void* p, size_t size) override
    {
        if (p == nullptr)
            return Alloc(size);
        void* grown = Alloc(size);
        const size_t old = GetSize(p);
        std::memcpy(grown, p, old < size ? old : size);
        Free(p);
        return grown;
    }
    size_t GetSize(const void* p) override { return static_cast<const Header*>(p)[-1].size; }
    void Visit(HeapVisitor&) override {}
    void Trim() override {}

private:
    std::mutex m_lock;
};
} // namespace

LockedHeap& CreateDefaultLockedHeap(LockedHeapKind, const char* name)
{
    return *new (std::malloc(sizeof(SystemLockedHeap))) SystemLockedHeap(name);
}
} // namespace Morvex
