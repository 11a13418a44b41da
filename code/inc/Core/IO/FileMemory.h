#pragma once
// The "FileMemory" heap: file contents read into memory, the loader's buffers and the zstd
// contexts. Thread-safe.

#include "Core/Types.h"

#include <cstddef>

namespace Morvex
{
namespace FileMemory
{
// 16-aligned; never null (running out of memory ends the process after its report).
void* Alloc(size_t size);
// Null does nothing.
void Free(void* p);
// Bytes of the blocks handed out and not yet freed.
uint64 GetUsedBytes();
} // namespace FileMemory
} // namespace Morvex
