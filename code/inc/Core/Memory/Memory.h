#pragma once
// The global heap and the kernel's ready-made allocators. Thread-safe.
//
// The tagged segregated heaps are not built yet: these entry points are backed by the C heap with
// the final signatures, so that every caller already goes through them.

#include "Core/Memory/Allocator.h"
#include "Core/Types.h"

namespace Morvex
{
namespace Memory
{
// Never returns null (out of memory ends the process after a report). Size 0 is served as 1 byte.
void* Alloc(size_t size, size_t alignment = 16);
// size may be 0 when unknown; null does nothing.
void Free(void* p, size_t size = 0);
void* Realloc(void* p, size_t size);

Allocator& GetGlobalAllocator();
Allocator& GetStringsAllocator();
Allocator& GetTempAllocator();
Allocator& GetDictAllocator();
} // namespace Memory
} // namespace Morvex
