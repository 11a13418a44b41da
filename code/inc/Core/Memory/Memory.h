#pragma once
// The global heap and the kernel's memory. Thread-safe.
//
// Every block of the global heap is charged to the memory tag of the allocating thread's current
// scope (see MemoryTag.h) and, when freed, to that same tag. The heap is usable from the first
// allocation of the process, before the kernel exists, until static destruction; frees that arrive
// after it was shut down are ignored.

#include "Core/Memory/Allocator.h"
#include "Core/Types.h"

namespace Morvex
{
template <uint32 N>
class StaticString;
class LockedHeap;
class MemoryHeap;

namespace Memory
{
// Never returns null: when the system has no memory left, the out-of-memory report is logged
// (with the detailed usage report) and the process ends. Size 0 is served as 1 byte. `alignment`:
// a power of two (others count as 16).
void* Alloc(size_t size, size_t alignment = 16);
// `size`: the size asked for, or 0 when unknown (a different size asserts). Null does nothing.
void Free(void* p, size_t size = 0);
// Null allocates. The contents up to the smaller size are kept.
void* Realloc(void* p, size_t size);

Allocator& GetGlobalAllocator();
Allocator& GetStringsAllocator();
Allocator& GetTempAllocator();
Allocator& GetDictAllocator();
// The kernel's heap for shared strings' texts.
LockedHeap& GetSharedStringsHeap();

// The kernel's memory lifecycle (main thread): Init readies the tag registry; PublishTagSystem
// makes it current (allocations are charged from then on) and registers the global heap;
// Shutdown runs the leak check (when enabled), unregisters the global heap and withdraws the
// registry; ShutdownGlobalHeap is the last step of the process, after which frees are ignored.
void Init();
void PublishTagSystem();
void Shutdown();
void ShutdownGlobalHeap();
// Set when the application object exists: only then does the shutdown report leaks.
void SetLeakCheck(bool enabled);
// Appends the text of one leaked block's recorded call stack (return addresses, innermost first) to
// `out`, cut when full. It runs during static destruction: it must not allocate from the engine's
// heaps.
using LeakStackFormatter = void (*)(void* const* frames, uint32 count, StaticString<1024>& out);
// Null (the default) leaves the stacks out of the leak report. Set once at start-up.
void SetLeakStackFormatter(LeakStackFormatter formatter);

// What is still allocated under any tag: blocks and bytes.
struct LeakTotals
{
    uint64 count = 0;
    uint64 bytes = 0;
};
LeakTotals CountLeaks();

// The heap registry for the memory report. A heap must stay alive while registered; registering
// beyond 32 heaps asserts; unregistering an unknown heap logs a warning. While a debugger is
// attached, unregistering a heap other than the global heap lists its live blocks on the debugger's
// output (standard error), as the shutdown does for the global heap.
void RegisterHeap(MemoryHeap* heap);
void UnregisterHeap(MemoryHeap* heap);
// Copies up to `capacity` registered heaps into `out`; returns how many.
uint32 GetHeaps(MemoryHeap** out, uint32 capacity);

// Logs the memory usage report at Warning: the system's memory, the early allocator, every heap
// (with their details when `details`).
void LogUsage(bool details);

// Tests: what ends the process after the out-of-memory report (null: the real exit). The function
// must not return.
void SetOutOfMemoryExitForTests(void (*exitFn)(int));
} // namespace Memory
} // namespace Morvex
