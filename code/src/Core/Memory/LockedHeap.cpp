// What every locked heap offers on top of its backend: the C library's calloc and strdup contracts,
// for the libraries that allocate through a heap of their own.

#include "Core/Memory/LockedHeap.h"

#include <cstdint>
#include <cstring>

namespace Morvex
{
void* LockedHeap::Calloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    const size_t bytes = count * size;
    void* p = Alloc(bytes);
    std::memset(p, 0, bytes != 0 ? bytes : 1);
    return p;
}

char* LockedHeap::Strdup(const char* text)
{
    const size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(Alloc(n));
    std::memcpy(copy, text, n);
    return copy;
}
} // namespace Morvex
