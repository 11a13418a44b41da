// Two-level segregated fit: free blocks are kept in lists indexed by the position of the size's
// highest bit (first level) and the next four bits (second level); two bitmaps find the smallest
// non-empty list that is certain to fit in constant time. Physical neighbours are joined on free.

#include "Core/Memory/Tlsf.h"

namespace Morvex
{
namespace
{
// State words of a block header: a pointer into the middle of a block practically never lands on
// one, so frees of such pointers and second frees are told apart from real ones.
constexpr uint32 kBlockUsed = 0x75ED7150u;
constexpr uint32 kBlockFree = 0xF4EE7150u;

constexpr size_t RoundUp16(size_t value)
{
    return (value + 15) & ~size_t(15);
}

uint32 HighestBit(size_t value)
{
    return 63 - static_cast<uint32>(__builtin_clzll(value));
}
} // namespace

// Every block starts with this header; its payload follows. The previous block is always known, so
// a free joins both neighbours without footers. A free block keeps its list links in its payload.
struct Tlsf::Block
{
    uint32 size; // payload bytes; 0 for the end sentinel
    uint32 state;
    Block* prevPhys;
    // Free blocks only:
    Block* nextFree;
    Block* prevFree;

    uint8* Payload() { return reinterpret_cast<uint8*>(this) + kBlockOverhead; }
    Block* Next() { return reinterpret_cast<Block*>(Payload() + size); }
    bool IsFree() const { return state == kBlockFree; }
};

void Tlsf::Mapping(size_t size, uint32& firstLevel, uint32& secondLevel)
{
    if (size < (size_t(1) << kFirstLevelShift))
    {
        firstLevel = 0;
        secondLevel = static_cast<uint32>(size / kAlignment);
        return;
    }
    const uint32 high = HighestBit(size);
    secondLevel = static_cast<uint32>(size >> (high - kSecondLevelLog2)) ^ kSecondLevelCount;
    firstLevel = high - kFirstLevelShift + 1;
}

bool Tlsf::Create(void* memory, size_t size)
{
    if (m_first != nullptr || memory == nullptr || (reinterpret_cast<uintptr_t>(memory) & 15) != 0 ||
        size % kAlignment != 0 || size < 64 || size >= (uint64(1) << 32))
        return false;
    m_first = static_cast<Block*>(memory);
    m_first->size = static_cast<uint32>(size - kPoolOverhead);
    m_first->state = kBlockFree;
    m_first->prevPhys = nullptr;
    Block* sentinel = m_first->Next();
    sentinel->size = 0;
    sentinel->state = kBlockUsed;
    sentinel->prevPhys = m_first;
    m_poolEnd = static_cast<uint8*>(memory) + size;
    m_maxBlock = m_first->size;
    Insert(m_first);
    return true;
}

void Tlsf::Destroy()
{
    m_firstLevelBitmap = 0;
    for (uint32 fl = 0; fl < kFirstLevelCount; ++fl)
    {
        m_secondLevelBitmap[fl] = 0;
        for (uint32 sl = 0; sl < kSecondLevelCount; ++sl)
            m_heads[fl][sl] = nullptr;
    }
    m_first = nullptr;
    m_poolEnd = nullptr;
    m_maxBlock = 0;
}

void Tlsf::Insert(Block* block)
{
    uint32 fl;
    uint32 sl;
    Mapping(block->size, fl, sl);
    block->state = kBlockFree;
    block->prevFree = nullptr;
    block->nextFree = m_heads[fl][sl];
    if (block->nextFree != nullptr)
        block->nextFree->prevFree = block;
    m_heads[fl][sl] = block;
    m_firstLevelBitmap |= 1u << fl;
    m_secondLevelBitmap[fl] |= 1u << sl;
}

void Tlsf::Remove(Block* block)
{
    uint32 fl;
    uint32 sl;
    Mapping(block->size, fl, sl);
    if (block->prevFree != nullptr)
        block->prevFree->nextFree = block->nextFree;
    else
        m_heads[fl][sl] = block->nextFree;
    if (block->nextFree != nullptr)
        block->nextFree->prevFree = block->prevFree;
    if (m_heads[fl][sl] == nullptr)
    {
        m_secondLevelBitmap[fl] &= ~(1u << sl);
        if (m_secondLevelBitmap[fl] == 0)
            m_firstLevelBitmap &= ~(1u << fl);
    }
}

Tlsf::Block* Tlsf::FindFree(size_t size)
{
    // Round the request up to the next list boundary so that any block of the list found fits.
    if (size >= (size_t(1) << kFirstLevelShift))
        size += (size_t(1) << (HighestBit(size) - kSecondLevelLog2)) - 1;
    uint32 fl;
    uint32 sl;
    Mapping(size, fl, sl);
    if (fl >= kFirstLevelCount)
        return nullptr;
    uint32 secondMap = m_secondLevelBitmap[fl] & (~0u << sl);
    if (secondMap == 0)
    {
        const uint32 firstMap = fl + 1 < 32 ? m_firstLevelBitmap & (~0u << (fl + 1)) : 0;
        if (firstMap == 0)
            return nullptr;
        fl = static_cast<uint32>(__builtin_ctz(firstMap));
        secondMap = m_secondLevelBitmap[fl];
    }
    sl = static_cast<uint32>(__builtin_ctz(secondMap));
    return m_heads[fl][sl];
}

void* Tlsf::Alloc(size_t size)
{
    if (m_first == nullptr || size > m_maxBlock)
        return nullptr;
    const size_t needed = size < kAlignment ? kAlignment : RoundUp16(size);
    Block* block = FindFree(needed);
    if (block == nullptr)
    {
        // The search above skips the request's own list, whose blocks may be smaller than the
        // request. Before giving up, look there: the last big blocks of a nearly full pool stay usable.
        uint32 fl;
        uint32 sl;
        Mapping(needed, fl, sl);
        if (fl >= kFirstLevelCount)
            return nullptr;
        for (block = m_heads[fl][sl]; block != nullptr && block->size < needed; block = block->nextFree)
        {
        }
        if (block == nullptr)
            return nullptr;
    }
    Remove(block);
    if (block->size >= needed + kBlockOverhead + kAlignment)
    {
        Block* rest = reinterpret_cast<Block*>(block->Payload() + needed);
        rest->size = static_cast<uint32>(block->size - needed - kBlockOverhead);
        rest->prevPhys = block;
        rest->Next()->prevPhys = rest;
        block->size = static_cast<uint32>(needed);
        Insert(rest);
    }
    block->state = kBlockUsed;
    return block->Payload();
}

bool Tlsf::Contains(const void* p) const
{
    const uint8* address = static_cast<const uint8*>(p);
    return m_first != nullptr && address >= reinterpret_cast<const uint8*>(m_first) && address < m_poolEnd;
}

Tlsf::Block* Tlsf::ValidBlock(const void* p) const
{
    const uint8* address = static_cast<const uint8*>(p);
    if (!Contains(p) || address < reinterpret_cast<const uint8*>(m_first) + kBlockOverhead ||
        (reinterpret_cast<uintptr_t>(p) & 15) != 0)
        return nullptr;
    Block* block = reinterpret_cast<Block*>(const_cast<uint8*>(address) - kBlockOverhead);
    if (block->state != kBlockUsed || block->size == 0 || size_t(m_poolEnd - address) < block->size)
        return nullptr;
    return block;
}

size_t Tlsf::GetBlockSize(const void* p) const
{
    const Block* block = ValidBlock(p);
    return block != nullptr ? block->size : 0;
}

size_t Tlsf::Free(void* p)
{
    Block* block = ValidBlock(p);
    if (block == nullptr)
        return 0;
    const size_t freed = block->size;
    // Headers swallowed by a join are wiped, so that a second free of their block is recognised.
    block->state = 0;
    Block* previous = block->prevPhys;
    if (previous != nullptr && previous->IsFree())
    {
        Remove(previous);
        previous->size += kBlockOverhead + block->size;
        block = previous;
        block->Next()->prevPhys = block;
    }
    Block* next = block->Next();
    if (next->IsFree())
    {
        Remove(next);
        next->state = 0;
        block->size += kBlockOverhead + next->size;
        block->Next()->prevPhys = block;
    }
    Insert(block);
    return freed;
}

void Tlsf::Walk(BlockCallback onBlock, void* context) const
{
    if (m_first == nullptr)
        return;
    for (Block* block = m_first; block->size != 0; block = block->Next())
        onBlock(context, block->Payload(), block->size, !block->IsFree());
}
} // namespace Morvex
