#pragma once
// The allocator for records that must exist before any heap (tag records, tag stacks): a bump
// pointer over a static buffer of 128 KiB that never frees. Thread-safe (a spin lock).

#include "Core/Types.h"

namespace Morvex
{
namespace GroundZeroAllocator
{
constexpr uint64 kCapacity = 0x20000;
// `size` bytes aligned to 16, zeroed (the buffer is never reused); null when the buffer is full.
void* Alloc(uint64 size);
uint64 GetUsed();
} // namespace GroundZeroAllocator
} // namespace Morvex
