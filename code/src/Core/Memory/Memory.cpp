// Global heap entry points, backed by the C heap until the segregated heaps arrive.

#include "Core/Memory/Memory.h"

#include "Core/Log.h"
#include "Core/NeverDestroyed.h"

#include <cstdlib>
#include <cstring>

namespace Morvex
{
namespace
{
[[noreturn]] void OutOfMemory(size_t size)
{
    Log::Printf(__FILE__, __LINE__, Log::Fatal, "Memory::Alloc() failed to allocate %zu bytes", size);
    std::_Exit(134);
}

class CHeapAllocator final : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override { return Memory::Alloc(size, alignment); }
    void Free(void* p, size_t size, size_t) override { Memory::Free(p, size); }
};

// The allocators must outlive every static object that holds memory from them (console variables'
// texts, registries), whatever the order of static destruction.

constinit NeverDestroyed<CHeapAllocator> GGlobalAllocator;
constinit NeverDestroyed<CHeapAllocator> GStringsAllocator;
constinit NeverDestroyed<CHeapAllocator> GTempAllocator;
constinit NeverDestroyed<CHeapAllocator> GDictAllocator;
} // namespace

void* Memory::Alloc(size_t size, size_t alignment)
{
    if (size == 0)
        size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t))
        p = std::malloc(size);
    else if (posix_memalign(&p, alignment, size) != 0)
        p = nullptr;
    if (p == nullptr)
        OutOfMemory(size);
    return p;
}

void Memory::Free(void* p, size_t)
{
    std::free(p);
}

void* Memory::Realloc(void* p, size_t size)
{
    void* q = std::realloc(p, size ? size : 1);
    if (q == nullptr)
        OutOfMemory(size);
    return q;
}

Allocator& Memory::GetGlobalAllocator()
{
    return GGlobalAllocator.value;
}
Allocator& Memory::GetStringsAllocator()
{
    return GStringsAllocator.value;
}
Allocator& Memory::GetTempAllocator()
{
    return GTempAllocator.value;
}
Allocator& Memory::GetDictAllocator()
{
    return GDictAllocator.value;
}
} // namespace Morvex
