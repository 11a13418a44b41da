#pragma once
// The operating-system facts the profiler's core needs (one implementation per platform).

#include "Core/Types.h"

namespace Morvex
{
// The calling thread's OS id.
uint32 ProfilerPlatform_GetThreadId();
// The calling thread's OS name into `out` (NUL-terminated, cut to the capacity; empty if unknown).
void ProfilerPlatform_GetThreadName(char* out, uint32 capacity);
} // namespace Morvex
