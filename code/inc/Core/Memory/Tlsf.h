#pragma once
// A two-level segregated fit allocator over one caller-provided pool: O(1) allocation and free with
// immediate coalescing, every block aligned to 16. Holds no memory of its own (the control data lives
// in the object). Not synchronised: the owner serialises every call.

#include "Core/Types.h"

namespace Morvex
{
class Tlsf
{
public:
    static constexpr uint32 kAlignment = 16;
    static constexpr uint32 kBlockOverhead = 16; // header in front of every block
    static constexpr uint32 kPoolOverhead = 32;  // first header and end sentinel of a pool

    Tlsf() = default;
    Tlsf(const Tlsf&) = delete;
    Tlsf& operator=(const Tlsf&) = delete;

    // Takes [memory, memory + size) as the pool: memory aligned to 16, size a multiple of 16 of at
    // least 64 bytes and below 4 GiB. False (nothing taken) otherwise. Only one pool at a time.
    bool Create(void* memory, size_t size);
    // Forgets the pool; blocks still live are abandoned.
    void Destroy();
    bool HasPool() const { return m_first != nullptr; }

    // At least `size` bytes (0 is served as the smallest block), aligned to 16; null when no free
    // block is large enough.
    void* Alloc(size_t size);
    // Frees a live block and returns its size; 0 (nothing changed) when `p` is not a live block of
    // the pool (the caller reports it).
    size_t Free(void* p);
    // Usable size of a live block, 0 when `p` is not one.
    size_t GetBlockSize(const void* p) const;
    bool Contains(const void* p) const;
    // The largest request that can ever succeed (the whole pool as one block).
    size_t GetMaxAllocation() const { return m_maxBlock; }

    // Calls `onBlock` for every block of the pool in address order, free or not.
    using BlockCallback = void (*)(void* context, void* block, size_t size, bool used);
    void Walk(BlockCallback onBlock, void* context) const;

private:
    static constexpr uint32 kSecondLevelLog2 = 4;
    static constexpr uint32 kSecondLevelCount = 1u << kSecondLevelLog2;
    static constexpr uint32 kFirstLevelShift = kSecondLevelLog2 + 4; // sizes below 256 share level 0
    static constexpr uint32 kFirstLevelCount = 32 - kFirstLevelShift + 1;

    struct Block;
    static void Mapping(size_t size, uint32& firstLevel, uint32& secondLevel);
    void Insert(Block* block);
    void Remove(Block* block);
    Block* FindFree(size_t size);
    Block* ValidBlock(const void* p) const;

    uint32 m_firstLevelBitmap = 0;
    uint32 m_secondLevelBitmap[kFirstLevelCount] = {};
    Block* m_heads[kFirstLevelCount][kSecondLevelCount] = {};
    Block* m_first = nullptr;
    uint8* m_poolEnd = nullptr;
    size_t m_maxBlock = 0;
};
} // namespace Morvex
