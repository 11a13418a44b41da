// The program-wide operator new and delete, served by the tagged global heap. Compiled into each
// executable on its own (never through an archive, whose member the linker could leave out), so
// that every allocation of the process, the standard library's included, is charged to a tag.

#include "Core/Memory/Memory.h"

#include <cstddef>
#include <new>

using Morvex::Memory::Alloc;
using Morvex::Memory::Free;

// operator new never returns null: the heap ends the process after its out-of-memory report, so the
// nothrow forms never see a failure either.
void* operator new(std::size_t size)
{
    return Alloc(size);
}
void* operator new[](std::size_t size)
{
    return Alloc(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return Alloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return Alloc(size);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return Alloc(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return Alloc(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return Alloc(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return Alloc(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* p) noexcept
{
    Free(p);
}
void operator delete[](void* p) noexcept
{
    Free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept
{
    Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept
{
    Free(p);
}
// The sized forms pass no size on: a new of size 0 was served as 1 byte, and the size a class's
// delete passes for an array of it is not always the one asked of new.
void operator delete(void* p, std::size_t) noexcept
{
    Free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    Free(p);
}
void operator delete(void* p, std::align_val_t) noexcept
{
    Free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept
{
    Free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept
{
    Free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept
{
    Free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    Free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept
{
    Free(p);
}
