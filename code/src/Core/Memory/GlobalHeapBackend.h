#pragma once
// The heap under the tagged global heap. The build chooses it: the engine's segregated heap, or the
// C heap where a sanitizer must see every block. Called only under the global heap's lock.

#include "Core/Memory/MemoryHeap.h"

namespace Morvex
{
class GlobalHeapBackend : public MemoryHeap
{
public:
    using MemoryHeap::MemoryHeap;
    // `size` > 0 bytes aligned to 16; null only when the system has no memory left.
    virtual void* Allocate(uint64 size) = 0;
    // `size`: what was asked of Allocate.
    virtual void Free(void* block, uint64 size) = 0;
    // Bytes usable at `block` (at least what was asked).
    virtual uint64 Capacity(const void* block) = 0;
    // The block now holds `newSize` bytes instead of `oldSize` (both within its capacity).
    virtual void Resize(void* block, uint64 oldSize, uint64 newSize) = 0;
    // False for an address this heap never handed out (where the heap can tell).
    virtual bool Owns(const void* block) = 0;
    // True when freed blocks may wait in a thread's cache instead of coming back at once (not for
    // heaps that must see every free: the debug heap, the C heap under a sanitizer).
    virtual bool AllowsThreadCache() const { return false; }
    // The heap whose figures the memory report shows (a backend that wraps a heap names that heap,
    // so that it need not copy the figures after every call).
    virtual MemoryHeap& ReportedHeap() { return *this; }
    // The call stack recorded for a live block (as handed out by Allocate): up to `capacity` return
    // addresses, innermost first; 0 for heaps that record none.
    virtual uint32 GetFrames(const void* block, void** frames, uint32 capacity) const
    {
        (void)block;
        (void)frames;
        (void)capacity;
        return 0;
    }
};

// The process's one backend, constructed on first use and never destroyed: the debug heap when the
// process was started with --debug-heap, else the build's default.
GlobalHeapBackend& GetGlobalHeapBackend();
GlobalHeapBackend& GetDefaultGlobalHeapBackend();
} // namespace Morvex
