#pragma once
// A thread-safe, untagged heap with a name in the memory report: the kernel's heaps for strings, the
// dictionary, function objects and shared strings, and the heaps of subsystems that keep their
// memory apart (the HTTP library, the TLS library, whole-file reads). Heaps are never destroyed:
// their blocks may come back at any time until the process ends (libraries free from their own
// exit handlers).

#include "Core/Memory/MemoryHeap.h"
#include "Core/Types.h"

namespace Morvex
{
class LockedHeap : public MemoryHeap
{
public:
    using MemoryHeap::MemoryHeap;
    // 16-aligned; never null (running out of memory ends the process after its report). 0 bytes is
    // served as 1.
    virtual void* Alloc(size_t size) = 0;
    // Null does nothing; a pointer of another heap asserts and is ignored.
    virtual void Free(void* p) = 0;
    // Null allocates; the contents up to the smaller size are kept.
    virtual void* Realloc(void* p, size_t size) = 0;
    // The bytes usable in the block (at least what was asked).
    virtual size_t GetSize(const void* p) = 0;

    // calloc's contract: zeroed, null when count × size does not fit in a size_t.
    void* Calloc(size_t count, size_t size);
    // A copy of a NUL-terminated text.
    char* Strdup(const char* text);
};

// The size classes a heap is tuned for.
enum class LockedHeapKind : uint32
{
    General,       // like the global heap: small cells up to 1 KiB, large chunks beyond
    Dict,          // many small blocks of the dictionary
    SharedStrings, // small string entries
    Strings,       // texts of every size
    Function,      // function objects
};

// A new heap of that kind, named `name` ("<short name>:<source>:<line>", kept, not copied), not yet
// registered. It lives until the process ends. Thread-safe.
LockedHeap& CreateLockedHeap(LockedHeapKind kind, const char* name);
} // namespace Morvex
