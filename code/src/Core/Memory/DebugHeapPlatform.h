#pragma once
// Address-space reservation for the debug heap.

#include "Core/Types.h"

namespace Morvex
{
namespace DebugHeapPlatform
{
// Reserves `size` bytes of address space without memory behind them; null on failure.
void* Reserve(uint64 size);
void Release(void* base, uint64 size);
// Makes a page-aligned range usable (zeroed); false when the system refuses.
bool Commit(void* at, uint64 size);
// Gives a page-aligned range back; touching it afterwards faults.
void Decommit(void* at, uint64 size);
uint64 PageSize();
} // namespace DebugHeapPlatform
} // namespace Morvex
