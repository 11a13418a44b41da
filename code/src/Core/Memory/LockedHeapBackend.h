#pragma once
// The build's own locked heaps (segregated, or the C heap under a sanitizer), under the choice that
// CreateLockedHeap makes for the debug heap.

#include "Core/Memory/LockedHeap.h"

namespace Morvex
{
LockedHeap& CreateDefaultLockedHeap(LockedHeapKind kind, const char* name);
} // namespace Morvex
