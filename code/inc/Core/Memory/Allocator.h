#pragma once
// The allocation interface of containers and strings. Slot order: Alloc, Free, destructor.

#include "Core/Types.h"

namespace Morvex
{
class Allocator
{
public:
    // Returns storage for `size` bytes aligned to `alignment` (a power of two), never null.
    virtual void* Alloc(size_t size, size_t alignment) = 0;
    // Releases storage from Alloc with the same size and alignment; null does nothing.
    virtual void Free(void* p, size_t size, size_t alignment) = 0;
    virtual ~Allocator() = default;
};
} // namespace Morvex
