// The tagged global heap and the kernel's memory: every block carries a 16-byte prefix with the size
// asked for and the tag it was charged to, so that a free is charged to the allocating tag whatever
// thread frees it. Usable from the first allocation of the process (other libraries' static
// initialisers) to the last free of static destruction.

#include "Core/Memory/Memory.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/GroundZeroAllocator.h"
#include "Core/Memory/LockedHeap.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/Memory/TempHeap.h"
#include "Core/NeverDestroyed.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "GlobalHeapBackend.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Morvex
{
namespace
{
struct Prefix
{
    uint64 size; // the caller's size; the top bit marks an over-aligned block
    MemoryTagRecord* tag;
};
static_assert(sizeof(Prefix) == 16);
constexpr uint64 kOverAligned = uint64(1) << 63;
constexpr uint64 kSizeMask = ~kOverAligned;
// Beyond this no request can be real: the prefix arithmetic must not wrap.
constexpr uint64 kMaxRequest = uint64(1) << 62;

// The global heap's state is constant-initialised so that the first allocation of the process,
// whichever static initialiser makes it, finds it ready.
struct GlobalHeapState
{
    std::recursive_mutex lock;
    bool shutDown = false;
    bool leakCheck = false;
};
constinit NeverDestroyed<GlobalHeapState> GHeap;

constexpr uint32 kMaxMemoryHeaps = 32;
MemoryHeap* GHeaps[kMaxMemoryHeaps] = {};
uint32 GNumMemoryHeaps = 0;
constinit NeverDestroyed<MemoryTagSystem> GTagSystem;

class GlobalHeapAllocator final : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override { return Memory::Alloc(size, alignment); }
    void Free(void* p, size_t size, size_t) override { Memory::Free(p, size); }
};

// The kernel's untagged heaps, made on first use (a container may allocate before the kernel's
// start-up reaches them) and never destroyed.
LockedHeap& StringsHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Strings, "Strings:" __FILE__ ":44");
    return heap;
}
LockedHeap& DictHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Dict, "Dict:" __FILE__ ":49");
    return heap;
}
LockedHeap& FunctionHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Function, "ttl.Function:" __FILE__ ":54");
    return heap;
}
LockedHeap& SharedStringsHeap()
{
    static LockedHeap& heap =
        CreateLockedHeap(LockedHeapKind::SharedStrings, "SharedStrings:" __FILE__ ":59");
    return heap;
}

TempHeap& Temp()
{
    alignas(TempHeap) static unsigned char storage[sizeof(TempHeap)];
    static TempHeap* heap = new (storage) TempHeap("Temp:" __FILE__ ":67");
    return *heap;
}

// Blocks that need more than the heaps' 16-byte alignment come from the global heap; Free is told
// the same alignment and finds them there again.
class StringsAllocator final : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override
    {
        if (alignment > 16)
            return Memory::Alloc(size, alignment);
        MX_MEMORY_TAG_SCOPE("Core/String");
        return StringsHeap().Alloc(size);
    }
    void Free(void* p, size_t size, size_t alignment) override
    {
        if (alignment > 16)
            Memory::Free(p, size);
        else
            StringsHeap().Free(p);
    }
};

class DictAllocator final : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override
    {
        return alignment > 16 ? Memory::Alloc(size, alignment) : DictHeap().Alloc(size);
    }
    void Free(void* p, size_t size, size_t alignment) override
    {
        if (alignment > 16)
            Memory::Free(p, size);
        else
            DictHeap().Free(p);
    }
};

// Short-lived work: the temp arena, the global heap when it is full.
class TempAllocator final : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override
    {
        if (alignment > 16)
            return Memory::Alloc(size, alignment);
        MX_MEMORY_TAG_SCOPE("Core/TempAllocator");
        return Temp().Alloc(size);
    }
    void Free(void* p, size_t size, size_t alignment) override
    {
        if (alignment > 16)
            Memory::Free(p, size);
        else
            Temp().Free(p, size);
    }
};

// The allocators must outlive every static object that holds memory from them (console variables'
// texts, registries), whatever the order of static destruction.
constinit NeverDestroyed<GlobalHeapAllocator> GGlobalAllocator;
constinit NeverDestroyed<TempAllocator> GTempAllocator;
constinit NeverDestroyed<StringsAllocator> GStringsAllocator;
constinit NeverDestroyed<DictAllocator> GDictAllocator;

void (*GOutOfMemoryExit)(int) = [](int code) { std::_Exit(code); };

[[noreturn]] void OutOfMemory(uint64 size)
{
    StaticString<64> text;
    Str::FormatSize(text, size);
    Log::Printf(__FILE__, __LINE__, Log::Fatal,
                "================== Out of memory ¯\\_(⊙︿⊙)_/¯ ==================");
    Log::Printf(__FILE__, __LINE__, Log::Fatal, "%s", "");
    Log::Printf(__FILE__, __LINE__, Log::Fatal, "Memory::Alloc() failed to allocate %s block", text.c_str());
    Memory::LogUsage(true);
    // The process ends without running its exit handlers: what the sinks buffered goes out now.
    std::fflush(nullptr);
    GOutOfMemoryExit(134);
    std::abort();
}

MemoryTagRecord* ChargedRecord()
{
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    return system != nullptr ? system->CurrentRecord() : nullptr;
}

Prefix* PrefixOf(void* p)
{
    return reinterpret_cast<Prefix*>(static_cast<char*>(p) - sizeof(Prefix));
}

// Below the prefix of an over-aligned block: where the backend's block starts and what was asked.
struct OverAlignedHeader
{
    void* base;
    uint64 request;
};

OverAlignedHeader* OverAlignedHeaderOf(void* p)
{
    return reinterpret_cast<OverAlignedHeader*>(static_cast<char*>(p) - sizeof(Prefix) -
                                                sizeof(OverAlignedHeader));
}

void* AllocateLocked(uint64 size, size_t alignment, MemoryTagRecord* tag)
{
    GlobalHeapBackend& backend = GetGlobalHeapBackend();
    const uint64 request = alignment <= 16 ? size + sizeof(Prefix)
                                           : size + sizeof(Prefix) + sizeof(OverAlignedHeader) + alignment;
    void* base = backend.Allocate(request);
    if (base == nullptr)
        return nullptr;
    char* user;
    uint64 stored = size;
    if (alignment <= 16)
        user = static_cast<char*>(base) + sizeof(Prefix);
    else
    {
        const uintptr_t first =
            reinterpret_cast<uintptr_t>(base) + sizeof(Prefix) + sizeof(OverAlignedHeader);
        user = reinterpret_cast<char*>((first + alignment - 1) & ~(uintptr_t(alignment) - 1));
        *OverAlignedHeaderOf(user) = OverAlignedHeader{base, request};
        stored |= kOverAligned;
    }
    Prefix* prefix = PrefixOf(user);
    prefix->size = stored;
    prefix->tag = tag;
    return user;
}
} // namespace

void* Memory::Alloc(size_t size, size_t alignment)
{
    // operator new(0) is legal and must give a distinct pointer.
    if (size == 0)
        size = 1;
    if (alignment == 0 || (alignment & (alignment - 1)) != 0)
        alignment = 16;
    if (size > kMaxRequest)
        OutOfMemory(size);
    // The tag is resolved before the heap's lock: finding a thread's stack may take other locks.
    MemoryTagRecord* tag = ChargedRecord();
    void* p;
    {
        std::lock_guard<std::recursive_mutex> lock(GHeap.value.lock);
        MX_ASSERT(!GHeap.value.shutDown);
        p = AllocateLocked(size, alignment, tag);
    }
    if (p == nullptr)
        OutOfMemory(size);
    if (tag != nullptr)
        tag->OnAlloc(size);
    return p;
}

void Memory::Free(void* p, size_t size)
{
    if (p == nullptr)
        return;
    GlobalHeapState& heap = GHeap.value;
    // Blocks freed during static destruction, after the heap was shut down, are abandoned.
    if (heap.shutDown)
        return;
    Prefix* prefix = PrefixOf(p);
    const uint64 stored = prefix->size & kSizeMask;
    MX_ASSERT(size == 0 || stored == size);
    MemoryTagRecord* tag = prefix->tag;
    void* base = prefix;
    uint64 request = stored + sizeof(Prefix);
    if ((prefix->size & kOverAligned) != 0)
    {
        const OverAlignedHeader header = *OverAlignedHeaderOf(p);
        base = header.base;
        request = header.request;
    }
    {
        std::lock_guard<std::recursive_mutex> lock(heap.lock);
        GlobalHeapBackend& backend = GetGlobalHeapBackend();
        if (!backend.Owns(base))
        {
            MX_ASSERT_MSG(false, "Memory::Free of a block the global heap never handed out");
            return;
        }
        backend.Free(base, request);
    }
    if (tag != nullptr)
        tag->OnFree(stored);
}

void* Memory::Realloc(void* p, size_t size)
{
    if (p == nullptr)
        return Alloc(size);
    if (size == 0)
        size = 1;
    Prefix* prefix = PrefixOf(p);
    const uint64 old = prefix->size & kSizeMask;
    if ((prefix->size & kOverAligned) == 0 && size <= kMaxRequest)
    {
        std::lock_guard<std::recursive_mutex> lock(GHeap.value.lock);
        MX_ASSERT(!GHeap.value.shutDown);
        GlobalHeapBackend& backend = GetGlobalHeapBackend();
        if (!GHeap.value.shutDown && size + sizeof(Prefix) <= backend.Capacity(prefix))
        {
            // Still fits: the block stays where it is.
            backend.Resize(prefix, old + sizeof(Prefix), size + sizeof(Prefix));
            prefix->size = size;
            if (prefix->tag != nullptr)
                prefix->tag->OnRealloc(old, size);
            return p;
        }
    }
    void* grown = Alloc(size);
    std::memcpy(grown, p, std::min<uint64>(old, size));
    Free(p);
    return grown;
}

void Memory::Init()
{
    MX_ASSERT(GMemoryTagSystem.load() == nullptr);
    // Running out of system memory prints the detailed usage report before the process ends.
    PlatformVirtualMemory::Init(
        []
        {
            Memory::LogUsage(true);
            // The process ends next without its exit handlers: buffered lines go out now.
            std::fflush(nullptr);
        });
    Temp();
    StringsHeap();
    DictHeap();
    FunctionHeap();
    SharedStringsHeap();
    GTagSystem.value.Init();
}

void Memory::PublishTagSystem()
{
    MX_ASSERT(GMemoryTagSystem.load() == nullptr);
    GMemoryTagSystem.store(&GTagSystem.value, std::memory_order_release);
    MX_ASSERT(GNumMemoryHeaps == 0);
    RegisterHeap(&GetGlobalHeapBackend());
    Temp().InitArena();
    RegisterHeap(&Temp());
    RegisterHeap(&StringsHeap());
    RegisterHeap(&DictHeap());
    RegisterHeap(&FunctionHeap());
    RegisterHeap(&SharedStringsHeap());
}

void Memory::SetLeakCheck(bool enabled)
{
    GHeap.value.leakCheck = enabled;
}

Memory::LeakTotals Memory::CountLeaks()
{
    LeakTotals totals;
    MemoryTagSystem* system = GMemoryTagSystem.load(std::memory_order_acquire);
    if (system == nullptr)
        return totals;
    for (uint32 i = 0; i < system->GetNumTags(); ++i)
    {
        const MemoryTagRecord* r = system->GetTag(i);
        const uint32 allocs = r->allocs.load(std::memory_order_relaxed);
        const uint32 deallocs = r->deallocs.load(std::memory_order_relaxed);
        if (allocs > deallocs)
            totals.count += allocs - deallocs;
        totals.bytes += r->used.load(std::memory_order_relaxed);
    }
    return totals;
}

void Memory::Shutdown()
{
    UnregisterHeap(&SharedStringsHeap());
    UnregisterHeap(&FunctionHeap());
    UnregisterHeap(&DictHeap());
    UnregisterHeap(&StringsHeap());
    UnregisterHeap(&Temp());
    Temp().ShutdownArena();
    MX_ASSERT(GNumMemoryHeaps == 1);
    if (GHeap.value.leakCheck)
    {
        // The log is gone by now: the report goes straight to standard error.
        const LeakTotals leaks = CountLeaks();
        if (leaks.count != 0)
            std::fprintf(stderr, "Memory leaks detected. Count: %llu, total size: %llu bytes\n\n",
                         static_cast<unsigned long long>(leaks.count),
                         static_cast<unsigned long long>(leaks.bytes));
    }
    UnregisterHeap(&GetGlobalHeapBackend());
    MX_ASSERT(GMemoryTagSystem.load() != nullptr);
    GMemoryTagSystem.store(nullptr, std::memory_order_release);
}

void Memory::ShutdownGlobalHeap()
{
    std::lock_guard<std::recursive_mutex> lock(GHeap.value.lock);
    GHeap.value.shutDown = true;
}

void Memory::RegisterHeap(MemoryHeap* heap)
{
    MX_ASSERT(GNumMemoryHeaps < kMaxMemoryHeaps);
    MX_ASSERT(heap);
    if (heap == nullptr || GNumMemoryHeaps >= kMaxMemoryHeaps)
        return;
    GHeaps[GNumMemoryHeaps++] = heap;
}

void Memory::UnregisterHeap(MemoryHeap* heap)
{
    MX_ASSERT(heap);
    for (uint32 i = 0; i < GNumMemoryHeaps; ++i)
    {
        if (GHeaps[i] == heap)
        {
            GHeaps[i] = GHeaps[--GNumMemoryHeaps];
            return;
        }
    }
    MX_LOG_WARNING("Memory heap is not registered! (name: %s)", heap ? heap->GetName() : "");
}

uint32 Memory::GetHeaps(MemoryHeap** out, uint32 capacity)
{
    const uint32 n = std::min(capacity, GNumMemoryHeaps);
    std::copy(GHeaps, GHeaps + n, out);
    return n;
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
LockedHeap& Memory::GetSharedStringsHeap()
{
    return SharedStringsHeap();
}
LockedHeap& Memory::GetFunctionHeap()
{
    return FunctionHeap();
}

void Memory::SetOutOfMemoryExitForTests(void (*exitFn)(int))
{
    GOutOfMemoryExit = exitFn != nullptr ? exitFn : [](int code) { std::_Exit(code); };
}
} // namespace Morvex
