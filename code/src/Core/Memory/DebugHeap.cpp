// The debug heap's bookkeeping: block headers, guards, the live list.

#include "Core/Memory/DebugHeap.h"

#include "Core/Assert.h"
#include "DebugHeapPlatform.h"

#include <atomic>
#include <cstring>

namespace Morvex
{
namespace
{
constexpr uint64 kGuardBytes = 16;
std::atomic<DebugHeapStackCapture> GCapture{nullptr};
std::atomic<bool> GVerifyEveryAlloc{false};

uint64 RoundUp16(uint64 n)
{
    return (n + 15) & ~uint64(15);
}

bool GuardIntact(const uint8* p)
{
    for (uint64 i = 0; i < kGuardBytes; ++i)
        if (p[i] != DebugHeap::kGuardByte)
            return false;
    return true;
}
} // namespace

// Header, front guard, payload (rounded to 16), back guard. The header stays readable after a free:
// only whole pages inside a freed payload go back to the system.
struct DebugHeap::Block
{
    uint64 magic;
    uint64 size;
    uint64 span; // the whole block, header to back guard
    Block* prev;
    Block* next;
    uint32 allocationNumber;
    uint32 numFrames;
    void* frames[kMaxFrames];

    static constexpr uint64 kLive = 0x4D58444247484550ull;
    static constexpr uint64 kFreed = 0x4D58444247465245ull;

    uint8* FrontGuard() { return reinterpret_cast<uint8*>(this + 1); }
    uint8* Payload() { return FrontGuard() + kGuardBytes; }
    uint8* BackGuard() { return Payload() + RoundUp16(size); }
};

DebugHeap::DebugHeap(const char* name, uint64 reservation) : MemoryHeap(name)
{
    m_base = static_cast<char*>(DebugHeapPlatform::Reserve(reservation));
    m_reservation = m_base != nullptr ? reservation : 0;
}

DebugHeap::~DebugHeap()
{
    if (m_base != nullptr)
        DebugHeapPlatform::Release(m_base, m_reservation);
}

void DebugHeap::SetStackCapture(DebugHeapStackCapture capture)
{
    GCapture.store(capture, std::memory_order_release);
}

void DebugHeap::SetVerifyOnEveryAlloc(bool verify)
{
    GVerifyEveryAlloc.store(verify, std::memory_order_relaxed);
}

void* DebugHeap::Allocate(uint64 size)
{
    // Payloads stay 16-aligned only while headers are whole multiples of 16.
    static_assert(sizeof(Block) % 16 == 0);
    if (GVerifyEveryAlloc.load(std::memory_order_relaxed))
        VerifyAll();
    const uint64 payload = RoundUp16(size == 0 ? 1 : size);
    const uint64 span = sizeof(Block) + kGuardBytes + payload + kGuardBytes;
    void* ptr = nullptr;
    if (payload >= size && span > payload && m_reservation - m_next >= span)
    {
        const uint64 end = m_next + span;
        if (end > m_committed)
        {
            const uint64 page = DebugHeapPlatform::PageSize();
            const uint64 newCommitted = (end + page - 1) / page * page;
            if (DebugHeapPlatform::Commit(m_base + m_committed, newCommitted - m_committed))
            {
                m_stats.reserved += newCommitted - m_committed;
                m_committed = newCommitted;
            }
        }
        if (end <= m_committed)
            ptr = m_base + m_next;
    }
    MX_ASSERT_MSG(ptr, "DebugHeap exhausted. You can try to increase heap maximum size.");
    if (ptr == nullptr)
        return nullptr;
    m_next += span;

    Block* b = static_cast<Block*>(ptr);
    std::memset(b, 0, sizeof(Block));
    b->magic = Block::kLive;
    b->size = size;
    b->span = span;
    b->allocationNumber = ++m_allocationNumber;
    if (DebugHeapStackCapture capture = GCapture.load(std::memory_order_acquire))
        b->numFrames = capture(b->frames, kMaxFrames);
    std::memset(b->FrontGuard(), kGuardByte, kGuardBytes);
    std::memset(b->BackGuard(), kGuardByte, kGuardBytes);
    b->next = m_live;
    if (m_live != nullptr)
        m_live->prev = b;
    m_live = b;

    ++m_stats.allocations;
    m_stats.used += size;
    m_stats.overhead += span - size;
    m_stats.peakUsed = m_stats.used > m_stats.peakUsed ? m_stats.used : m_stats.peakUsed;
    m_stats.peakReserved = m_stats.reserved > m_stats.peakReserved ? m_stats.reserved : m_stats.peakReserved;
    return b->Payload();
}

DebugHeap::Block* DebugHeap::Find(const void* block) const
{
    const char* p = static_cast<const char*>(block);
    const uint64 headerBytes = sizeof(Block) + kGuardBytes;
    if (m_base == nullptr || p < m_base + headerBytes || p >= m_base + m_next)
        return nullptr;
    // Payloads are 16-aligned and every header sits right below its guard.
    if ((reinterpret_cast<uintptr_t>(p) & 15) != 0)
        return nullptr;
    Block* b = reinterpret_cast<Block*>(const_cast<char*>(p) - headerBytes);
    return b->magic == Block::kLive ? b : nullptr;
}

bool DebugHeap::Owns(const void* block) const
{
    return Find(block) != nullptr;
}

uint64 DebugHeap::Capacity(const void* block) const
{
    const Block* b = Find(block);
    return b != nullptr ? b->size : 0;
}

void DebugHeap::Free(void* block, uint64 size)
{
    if (block == nullptr)
        return;
    Block* b = Find(block);
    MX_ASSERT_MSG(b != nullptr,
                  "DebugHeap: not a live block of this heap (a double free or a foreign pointer)");
    if (b == nullptr)
        return;
    const uint64 actualSize = b->size;
    const uint64 sizeAligned = size;
    MX_ASSERT(size == 0 || sizeAligned == actualSize);
    MX_ASSERT_MSG(GuardIntact(b->FrontGuard()) && GuardIntact(b->BackGuard()), GetName());

    if (b->prev != nullptr)
        b->prev->next = b->next;
    else
        m_live = b->next;
    if (b->next != nullptr)
        b->next->prev = b->prev;
    b->magic = Block::kFreed;
    std::memset(b->Payload(), kFreedByte, RoundUp16(b->size));

    // Whole pages inside the payload go back to the system; a later touch of them faults.
    const uint64 page = DebugHeapPlatform::PageSize();
    const uintptr_t from = (reinterpret_cast<uintptr_t>(b->Payload()) + page - 1) / page * page;
    const uintptr_t to = reinterpret_cast<uintptr_t>(b->BackGuard()) / page * page;
    if (to > from)
        DebugHeapPlatform::Decommit(reinterpret_cast<void*>(from), to - from);

    ++m_stats.frees;
    m_stats.used -= actualSize;
    m_stats.overhead -= b->span - actualSize;
}

uint32 DebugHeap::VerifyAll()
{
    uint32 damaged = 0;
    for (Block* b = m_live; b != nullptr; b = b->next)
    {
        if (GuardIntact(b->FrontGuard()) && GuardIntact(b->BackGuard()))
            continue;
        ++damaged;
        MX_ASSERT_MSG(false, GetName());
    }
    return damaged;
}

void DebugHeap::Visit(HeapVisitor& visitor)
{
    if (m_base != nullptr)
        visitor.OnSuperchunk(m_base, m_committed);
    for (Block* b = m_live; b != nullptr; b = b->next)
        visitor.OnBlock(b->Payload(), b->size, kUntaggedBlock);
}

uint32 DebugHeap::GetAllocationNumber(const void* block) const
{
    const Block* b = Find(block);
    return b != nullptr ? b->allocationNumber : 0;
}

uint32 DebugHeap::GetFrames(const void* block, void** frames, uint32 capacity) const
{
    const Block* b = Find(block);
    if (b == nullptr)
        return 0;
    const uint32 n = b->numFrames < capacity ? b->numFrames : capacity;
    for (uint32 i = 0; i < n; ++i)
        frames[i] = b->frames[i];
    return n;
}
} // namespace Morvex
