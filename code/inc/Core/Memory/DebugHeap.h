#pragma once
// The debug heap: every block gets guard bytes on both sides that are checked when it is freed (and,
// with dbg_memoryAffixVerifyOnEveryAlloc, for every live block on each allocation), an allocation
// number, and a call stack when a capture hook is installed. Addresses are never reused: blocks
// are carved from one address-space reservation in order, and freed pages go back to the system, so
// a use after free touches memory that is gone. Single-threaded object; its owner serialises access.

#include "Core/Memory/MemoryHeap.h"

namespace Morvex
{
// Fills `frames` with up to `capacity` return addresses of the caller; returns how many.
using DebugHeapStackCapture = uint32 (*)(void** frames, uint32 capacity);

class DebugHeap final : public MemoryHeap
{
public:
    // Room for the allocator's own frames (down to operator new) and those of the code above them.
    static constexpr uint32 kMaxFrames = 16;
    static constexpr uint8 kGuardByte = 0xFD;
    static constexpr uint8 kFreedByte = 0xDD;

    // Reserves `reservation` bytes of address space (nothing is committed yet). `name` as for every
    // heap. Failing to reserve leaves a heap that refuses every request (asserting).
    DebugHeap(const char* name, uint64 reservation);
    ~DebugHeap() override;

    // Null, after the assertion "ptr" with "DebugHeap exhausted. You can try to increase heap maximum
    // size.", when the reservation is used up.
    void* Allocate(uint64 size);
    // Checks the block's guards (assertion "guards intact" with the heap's name) and, when `size` is
    // not 0, its size (assertion "sizeAligned == actualSize"). A pointer that is not a live block of
    // this heap asserts and is ignored.
    void Free(void* block, uint64 size);
    uint64 Capacity(const void* block) const;
    // False when the address space could not be reserved (every request is then refused).
    bool IsReserved() const { return m_base != nullptr; }
    bool Owns(const void* block) const;
    // Checks every live block's guards; returns how many are damaged (each asserts once).
    uint32 VerifyAll();

    void Visit(HeapVisitor& visitor) override;
    void Trim() override {}

    // The allocation number and the recorded frames of a live block (0 frames without a hook).
    uint32 GetAllocationNumber(const void* block) const override;
    uint32 GetFrames(const void* block, void** frames, uint32 capacity) const override;

    // The capture used for every later allocation of every debug heap (null: none).
    static void SetStackCapture(DebugHeapStackCapture capture);
    // Set by dbg_memoryAffixVerifyOnEveryAlloc.
    static void SetVerifyOnEveryAlloc(bool verify);

private:
    struct Block;
    Block* Find(const void* block) const;

    char* m_base = nullptr;
    uint64 m_reservation = 0;
    uint64 m_next = 0;      // offset of the next block
    uint64 m_committed = 0; // bytes committed from the base
    Block* m_live = nullptr;
    uint32 m_allocationNumber = 0;
};
} // namespace Morvex
