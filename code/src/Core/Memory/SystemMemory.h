#pragma once
// The system's memory figures for the usage report, and what else the memory system asks of the
// platform.

#include "Core/Types.h"

namespace Morvex
{
struct SystemMemoryStatus
{
    uint32 memoryLoad = 0; // percent of physical memory in use
    uint64 totalPhysical = 0;
    uint64 availablePhysical = 0;
    uint64 totalPageFile = 0; // the commit limit
    uint64 availablePageFile = 0;
};
// False when the system does not tell.
bool ReadSystemMemoryStatus(SystemMemoryStatus& out);

// The engine's memory switches on the process's own command line ("--debug-heap",
// "--debug-heap-pools", which counts only with the first). Read without allocating: the global heap
// asks before it serves its first block.
struct DebugHeapSwitches
{
    bool debugHeap = false;
    bool debugHeapPools = false;
};
DebugHeapSwitches ReadDebugHeapSwitches();

// The calling thread's system id, for the owner records of pools and linear heaps.
uint32 ReadCurrentThreadId();
} // namespace Morvex
