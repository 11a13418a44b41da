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
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace Morvex
{
namespace
{
// The prefix's size word: the caller's size in the low 48 bits; a check byte over the block's
// address and the thread-cache size class (plus one) for blocks that may be cached; the top bit
// marks an over-aligned block.
struct Prefix
{
    uint64 size;
    MemoryTagRecord* tag;
};
static_assert(sizeof(Prefix) == 16);
constexpr uint64 kOverAligned = uint64(1) << 63;
constexpr uint64 kSizeMask = (uint64(1) << 48) - 1;
constexpr int kCheckShift = 48;
constexpr int kClassShift = 56;
constexpr uint64 kClassMask = 0x7F;
// Beyond this no request can be real: the prefix arithmetic must not wrap.
constexpr uint64 kMaxRequest = uint64(1) << 47;
// Marks a block that lies in a thread cache: a second free of it is caught.
MemoryTagRecord* const kCachedBlock = reinterpret_cast<MemoryTagRecord*>(uintptr_t(1));

uint64 CheckByte(const void* p)
{
    const uint64 a = reinterpret_cast<uintptr_t>(p) >> 4;
    return ((a ^ (a >> 8) ^ (a >> 16) ^ (a >> 24) ^ 0x5A) & 0xFF);
}

// --- the per-thread cache ----------------------------------------------------------------------
// Small and medium blocks freed on a thread wait there for the thread's next request of the same
// class, which then needs neither the heap nor its lock. The heap serves these classes with blocks
// of the class's full size, so any block of a class fits any request of it. A thread keeps at most
// kMaxCachedBytes; its cache goes back to the heap when the thread ends.
constexpr uint32 kMediumClassBytes[] = {1280,  1536,  1792,  2048,  2560,  3072,  3584,  4096,  5120,
                                        6144,  7168,  8192,  10240, 12288, 14336, 16384, 20480, 24576,
                                        28672, 32768, 40960, 49152, 57344, 65536, 65792};
constexpr uint32 kNumSmallClasses = 6; // 32 ... 1024 bytes, the heap's own cell sizes
constexpr uint32 kNumMediumClasses = sizeof(kMediumClassBytes) / sizeof(kMediumClassBytes[0]);
constexpr uint32 kNumClasses = kNumSmallClasses + kNumMediumClasses;
constexpr uint64 kMaxCachedRequest = 65792;
constexpr uint32 kMaxCachedBytes = 2u << 20;
constexpr uint16 kSmallClassLimit = 256;
constexpr uint16 kMediumClassLimit = 8;
// A miss of a small class takes this many blocks from the heap under one hold of its lock.
constexpr uint32 kRefillBatch = 8;

uint32 ClassBytes(uint32 c)
{
    return c < kNumSmallClasses ? 32u << c : kMediumClassBytes[c - kNumSmallClasses];
}

// The class of a request of `bytes` (prefix included, at most kMaxCachedRequest).
uint32 ClassOf(uint64 bytes)
{
    if (bytes <= 1024)
    {
        const uint32 log = bytes <= 32 ? 5u : 64u - static_cast<uint32>(__builtin_clzll(bytes - 1));
        return log - 5;
    }
    // Four classes per power of two up to 64 KiB, then the one class of 64 KiB + 256.
    if (bytes > 65536)
        return kNumClasses - 1;
    const uint32 log = 63u - static_cast<uint32>(__builtin_clzll(bytes - 1)); // 2^log < bytes <= 2^(log+1)
    const uint64 step = uint64(1) << (log - 2);
    const uint32 quarter = static_cast<uint32>((bytes - (uint64(1) << log) + step - 1) / step); // 1 ... 4
    return kNumSmallClasses + (log - 10) * 4 + quarter - 1;
}

uint16 ClassLimit(uint32 c)
{
    return c < kNumSmallClasses ? kSmallClassLimit : kMediumClassLimit;
}

// The cached blocks are kept in arrays, not in lists through the blocks: giving a batch back to the
// heap then reads addresses it already has instead of chasing one cold block after another. The
// cache itself comes from the heap when the thread first needs one, so that threads that never
// allocate much carry nothing in their thread-local storage (which is taken from their stack).
struct ThreadCache
{
    void* small[kNumSmallClasses][kSmallClassLimit];
    void* medium[kNumMediumClasses][kMediumClassLimit];
    uint16 count[kNumClasses];
    uint32 bytes;
};
thread_local constinit ThreadCache* t_cache = nullptr;
// The thread is ending: blocks go straight back to the heap.
thread_local constinit bool t_cacheClosed = false;

void** Slots(ThreadCache& cache, uint32 c)
{
    return c < kNumSmallClasses ? cache.small[c] : cache.medium[c - kNumSmallClasses];
}

// 0: not decided yet, 1: the backend takes cached blocks, 2: it must see every free (debug heap,
// the C heap of sanitizer builds).
constinit std::atomic<int> GCacheMode{0};

// The global heap's state is constant-initialised so that the first allocation of the process,
// whichever static initialiser makes it, finds it ready.
struct GlobalHeapState
{
    std::recursive_mutex lock;
    bool shutDown = false;
    bool leakCheck = false;
    Memory::LeakStackFormatter leakStackFormatter = nullptr;
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
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Strings, MX_HEAP_NAME("Strings"));
    return heap;
}
LockedHeap& DictHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Dict, MX_HEAP_NAME("Dict"));
    return heap;
}
LockedHeap& FunctionHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::Function, MX_HEAP_NAME("ttl.Function"));
    return heap;
}
LockedHeap& SharedStringsHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::SharedStrings, MX_HEAP_NAME("SharedStrings"));
    return heap;
}

TempHeap& Temp()
{
    alignas(TempHeap) static unsigned char storage[sizeof(TempHeap)];
    static TempHeap* heap = new (storage) TempHeap(MX_HEAP_NAME("Temp"));
    return *heap;
}

// An allocator over one of the kernel's heaps, in the scope of `tag` when one is given. Blocks that
// need more than the heaps' 16-byte alignment come from the global heap; Free is told the same
// alignment and finds them there again.
class LockedHeapAllocator final : public Allocator
{
public:
    constexpr LockedHeapAllocator(LockedHeap& (*heap)(), MemoryTagHandle* tag) : m_heap(heap), m_tag(tag) {}
    void* Alloc(size_t size, size_t alignment) override
    {
        if (alignment > 16)
            return Memory::Alloc(size, alignment);
        MemoryTagScope scope(m_tag != nullptr ? m_tag->Get() : MemoryTag{});
        return m_heap().Alloc(size);
    }
    void Free(void* p, size_t size, size_t alignment) override
    {
        if (alignment > 16)
            Memory::Free(p, size);
        else
            m_heap().Free(p);
    }

private:
    LockedHeap& (*m_heap)();
    MemoryTagHandle* m_tag;
};
constinit NeverDestroyed<MemoryTagHandle> GStringTag("Core/String");

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
constinit NeverDestroyed<LockedHeapAllocator> GStringsAllocator(StringsHeap, &GStringTag.value);
constinit NeverDestroyed<LockedHeapAllocator> GDictAllocator(DictHeap, nullptr);

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

// `request`: the bytes to ask of the backend (a class's full size for cacheable blocks).
void* AllocateLocked(uint64 size, uint64 request, size_t alignment, MemoryTagRecord* tag, uint64 cacheClass)
{
    GlobalHeapBackend& backend = GetGlobalHeapBackend();
    if (alignment > 16)
        request = size + sizeof(Prefix) + sizeof(OverAlignedHeader) + alignment;
    void* base = backend.Allocate(request);
    if (base == nullptr)
        return nullptr;
    char* user;
    uint64 stored = size;
    if (alignment <= 16)
    {
        user = static_cast<char*>(base) + sizeof(Prefix);
        if (cacheClass != 0)
            stored |= (cacheClass << kClassShift) | (CheckByte(user) << kCheckShift);
    }
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

// A lock that spins briefly before it blocks: heap operations are short, and a thread put to
// sleep by the kernel costs far more than the wait. Recursive: an assertion inside the heap may
// allocate (its handler records it).
class HeapLock
{
public:
    explicit HeapLock(std::recursive_mutex& lock) : m_lock(lock)
    {
        for (int i = 0; i < 200; ++i)
            if (m_lock.try_lock())
                return;
        m_lock.lock();
    }
    ~HeapLock() { m_lock.unlock(); }
    HeapLock(const HeapLock&) = delete;
    HeapLock& operator=(const HeapLock&) = delete;

private:
    std::recursive_mutex& m_lock;
};

bool CacheEnabled()
{
    int mode = GCacheMode.load(std::memory_order_relaxed);
    if (mode == 0)
    {
        {
            HeapLock lock(GHeap.value.lock);
            mode = GetGlobalHeapBackend().AllowsThreadCache() ? 1 : 2;
        }
        GCacheMode.store(mode, std::memory_order_relaxed);
    }
    return mode == 1 && !t_cacheClosed;
}

// Gives cached blocks of class `c` back to the heap, under one hold of its lock, until at most
// `keep` are left.
void ReleaseCached(ThreadCache& cache, uint32 c, uint16 keep)
{
    if (cache.count[c] <= keep || GHeap.value.shutDown)
        return;
    void** slots = Slots(cache, c);
    HeapLock lock(GHeap.value.lock);
    GlobalHeapBackend& backend = GetGlobalHeapBackend();
    while (cache.count[c] > keep)
    {
        const uint16 i = --cache.count[c];
        // The heap reads each block it takes back: ask for the next few ahead of time.
        if (i >= 16)
            __builtin_prefetch(slots[i - 16]);
        cache.bytes -= ClassBytes(c);
        backend.Free(PrefixOf(slots[i]), ClassBytes(c));
    }
}

// Registered for a thread when it gets a cache: the thread's exit empties it and gives it back.
struct ThreadCacheFlush
{
    ~ThreadCacheFlush()
    {
        t_cacheClosed = true;
        ThreadCache* cache = t_cache;
        if (cache == nullptr || GHeap.value.shutDown)
            return;
        for (uint32 c = 0; c < kNumClasses; ++c)
            ReleaseCached(*cache, c, 0);
        t_cache = nullptr;
        HeapLock lock(GHeap.value.lock);
        GetGlobalHeapBackend().Free(cache, sizeof(ThreadCache));
    }
};
thread_local ThreadCacheFlush t_cacheFlush;

// The calling thread's cache, made on first use; null when none can be had.
ThreadCache* ThisThreadCache()
{
    ThreadCache* cache = t_cache;
    if (cache != nullptr || t_cacheClosed)
        return cache;
    {
        HeapLock lock(GHeap.value.lock);
        cache = static_cast<ThreadCache*>(GetGlobalHeapBackend().Allocate(sizeof(ThreadCache)));
    }
    if (cache == nullptr)
        return nullptr;
    std::memset(cache, 0, sizeof(ThreadCache));
    (void)&t_cacheFlush; // registers the flush at thread exit
    t_cache = cache;
    return cache;
}

void ReadyBlock(void* p, uint64 size, uint32 c, MemoryTagRecord* tag)
{
    Prefix* prefix = PrefixOf(p);
    prefix->size = size | (uint64(c + 1) << kClassShift) | (CheckByte(p) << kCheckShift);
    prefix->tag = tag;
}

// A miss: one block for the caller and, for small classes, a batch more for the cache, all under
// one hold of the heap's lock. Null when the system has no memory left.
void* RefillAndTake(ThreadCache& cache, uint32 c)
{
    void** slots = Slots(cache, c);
    const uint32 bytes = ClassBytes(c);
    uint32 more = c < kNumSmallClasses ? kRefillBatch - 1 : 0;
    if (more > static_cast<uint32>(kSmallClassLimit - cache.count[c]))
        more = kSmallClassLimit - cache.count[c];
    if (cache.bytes + (more + 1) * bytes > kMaxCachedBytes)
        more = 0;
    HeapLock lock(GHeap.value.lock);
    MX_ASSERT(!GHeap.value.shutDown);
    GlobalHeapBackend& backend = GetGlobalHeapBackend();
    void* base = backend.Allocate(bytes);
    if (base == nullptr)
        return nullptr;
    for (uint32 i = 0; i < more; ++i)
    {
        void* extra = backend.Allocate(bytes);
        if (extra == nullptr)
            break;
        char* user = static_cast<char*>(extra) + sizeof(Prefix);
        // A cached block is marked free: a stray free of it before it is handed out is caught.
        ReadyBlock(user, 0, c, kCachedBlock);
        slots[cache.count[c]++] = user;
        cache.bytes += bytes;
    }
    return static_cast<char*>(base) + sizeof(Prefix);
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
    uint64 request = size + sizeof(Prefix);
    uint64 cacheClass = 0;
    if (alignment <= 16 && request <= kMaxCachedRequest && CacheEnabled())
    {
        const uint32 c = ClassOf(request);
        if (ThreadCache* cache = ThisThreadCache())
        {
            void* p;
            if (cache->count[c] != 0)
            {
                p = Slots(*cache, c)[--cache->count[c]];
                cache->bytes -= ClassBytes(c);
            }
            else if ((p = RefillAndTake(*cache, c)) == nullptr)
                OutOfMemory(size);
            ReadyBlock(p, size, c, tag);
            if (tag != nullptr)
                tag->OnAlloc(size);
            return p;
        }
        cacheClass = c + 1;
        request = ClassBytes(c);
    }
    void* p;
    {
        HeapLock lock(GHeap.value.lock);
        MX_ASSERT(!GHeap.value.shutDown);
        p = AllocateLocked(size, request, alignment, tag, cacheClass);
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
    const uint64 word = prefix->size;
    const uint64 stored = word & kSizeMask;
    MemoryTagRecord* tag = prefix->tag;
    // A live block's prefix names a tag record (or none). After a free the heap keeps its own links
    // there: a second free, or an address that was never a block, is refused before it can charge a
    // tag or reach the heap with a size read from garbage.
    if (tag != nullptr && tag != kCachedBlock && !GTagSystem.value.IsRecord(tag))
    {
        MX_ASSERT_MSG(false, "Memory::Free of a block that is not allocated");
        return;
    }
    MX_ASSERT(size == 0 || stored == size);
    const uint64 cacheClass = (word >> kClassShift) & kClassMask;
    if (cacheClass != 0 && (word & kOverAligned) == 0 && ((word >> kCheckShift) & 0xFF) == CheckByte(p))
    {
        if (tag == kCachedBlock)
        {
            MX_ASSERT_MSG(false, "Memory::Free of a block that is free already");
            return;
        }
        const uint32 c = static_cast<uint32>(cacheClass - 1);
        ThreadCache* cache = c < kNumClasses && CacheEnabled() ? ThisThreadCache() : nullptr;
        if (cache != nullptr)
        {
            if (cache->count[c] >= ClassLimit(c) || cache->bytes + ClassBytes(c) > kMaxCachedBytes)
                ReleaseCached(*cache, c, ClassLimit(c) / 2);
            if (cache->count[c] < ClassLimit(c) && cache->bytes + ClassBytes(c) <= kMaxCachedBytes)
            {
                prefix->tag = kCachedBlock;
                Slots(*cache, c)[cache->count[c]++] = p;
                cache->bytes += ClassBytes(c);
                if (tag != nullptr)
                    tag->OnFree(stored);
                return;
            }
        }
    }
    void* base = prefix;
    uint64 request = cacheClass != 0 ? ClassBytes(static_cast<uint32>(cacheClass - 1) % kNumClasses)
                                     : stored + sizeof(Prefix);
    if ((word & kOverAligned) != 0)
    {
        const OverAlignedHeader header = *OverAlignedHeaderOf(p);
        base = header.base;
        request = header.request;
    }
    {
        HeapLock lock(heap.lock);
        GlobalHeapBackend& backend = GetGlobalHeapBackend();
        if (!backend.Owns(base))
        {
            MX_ASSERT_MSG(false, "Memory::Free of a block the global heap never handed out");
            return;
        }
        backend.Free(base, request);
    }
    if (tag != nullptr && tag != kCachedBlock)
        tag->OnFree(stored);
}

void* Memory::Realloc(void* p, size_t size)
{
    if (p == nullptr)
        return Alloc(size);
    if (size == 0)
        size = 1;
    Prefix* prefix = PrefixOf(p);
    const uint64 word = prefix->size;
    const uint64 old = word & kSizeMask;
    if ((word & kOverAligned) == 0 && size <= kMaxRequest)
    {
        HeapLock lock(GHeap.value.lock);
        MX_ASSERT(!GHeap.value.shutDown);
        GlobalHeapBackend& backend = GetGlobalHeapBackend();
        if (!GHeap.value.shutDown && size + sizeof(Prefix) <= backend.Capacity(prefix))
        {
            // Still fits: the block stays where it is. A block of a cache class keeps the class's
            // full size in the heap, whatever it holds.
            if (((word >> kClassShift) & kClassMask) == 0)
                backend.Resize(prefix, old + sizeof(Prefix), size + sizeof(Prefix));
            prefix->size = (word & ~kSizeMask) | size;
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
    RegisterHeap(&GetGlobalHeapBackend().ReportedHeap());
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

void Memory::SetLeakStackFormatter(LeakStackFormatter formatter)
{
    GHeap.value.leakStackFormatter = formatter;
}

namespace
{
// The recorded call stacks of leaked blocks: live blocks of the global heap charged to a tag (the
// blocks the leak count counts), as many as the report's text can show.
class LeakStackCollector final : public HeapVisitor
{
public:
    static constexpr uint32 kMaxBlocks = 16;
    static constexpr uint32 kMaxFrames = 16;

    LeakStackCollector(const GlobalHeapBackend& backend, const MemoryTagSystem& tags)
        : m_backend(backend), m_tags(tags)
    {
    }
    void OnBlock(void* block, uint64, uint16) override
    {
        if (m_numBlocks == kMaxBlocks)
            return;
        // Over-aligned blocks keep their prefix further in: they show no stack.
        const Prefix* prefix = static_cast<const Prefix*>(block);
        if ((prefix->size & kOverAligned) != 0 || !m_tags.IsRecord(prefix->tag))
            return;
        const uint32 n = m_backend.GetFrames(block, m_frames[m_numBlocks], kMaxFrames);
        if (n != 0)
            m_counts[m_numBlocks++] = n;
    }
    void Format(Memory::LeakStackFormatter formatter, StaticString1024_t& text) const
    {
        for (uint32 i = 0; i < m_numBlocks && !text.full(); ++i)
        {
            text.Append("Stack Trace:\n");
            formatter(m_frames[i], m_counts[i], text);
            text.Append("\n");
        }
    }

private:
    const GlobalHeapBackend& m_backend;
    const MemoryTagSystem& m_tags;
    void* m_frames[kMaxBlocks][kMaxFrames];
    uint32 m_counts[kMaxBlocks] = {};
    uint32 m_numBlocks = 0;
};
} // namespace

Memory::LeakTotals Memory::CountLeaks()
{
    MemoryTags::FlushThreadCharges();
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
        const int64 used = static_cast<int64>(r->used.load(std::memory_order_relaxed));
        totals.bytes += used > 0 ? static_cast<uint64>(used) : 0;
    }
    return totals;
}

namespace
{
// The block of the global heap's visit, as the engine sees it: live and charged to a tag. Cells
// waiting in thread caches and blocks from before the registry (other libraries' start-up) are not
// the engine's leaks; an over-aligned block, whose prefix lies further in, is not recognised.
const Prefix* EngineBlockOf(void* block)
{
    const Prefix* prefix = static_cast<const Prefix*>(block);
    if ((prefix->size & kOverAligned) != 0 || prefix->tag == nullptr || prefix->tag == kCachedBlock ||
        !GTagSystem.value.IsRecord(prefix->tag))
        return nullptr;
    return prefix;
}

// Collects a window of a heap's live blocks: the visit runs under the heap's lock, the printing and
// the symbolisation (which takes a lock of its own) after it.
class DebuggerLeakWindow final : public HeapVisitor
{
public:
    static constexpr uint32 kBlocks = 32;
    static constexpr uint32 kFrames = 16;
    struct Block
    {
        uint64 size;
        uint32 allocationNumber;
        uint32 numFrames;
        void* frames[kFrames];
    };

    DebuggerLeakWindow(const MemoryHeap& heap, bool globalHeap, uint64 first)
        : m_heap(heap), m_globalHeap(globalHeap), m_first(first)
    {
    }
    void OnBlock(void* block, uint64 size, uint16) override
    {
        if (m_globalHeap)
        {
            const Prefix* prefix = EngineBlockOf(block);
            if (prefix == nullptr)
                return;
            size = prefix->size & kSizeMask;
        }
        const uint64 index = m_seen++;
        if (index < m_first || index >= m_first + kBlocks)
            return;
        Block& b = m_blocks[m_count++];
        b.size = size;
        b.allocationNumber = m_heap.GetAllocationNumber(block);
        b.numFrames = m_heap.GetFrames(block, b.frames, kFrames);
    }
    uint32 Count() const { return m_count; }
    const Block& At(uint32 i) const { return m_blocks[i]; }

private:
    const MemoryHeap& m_heap;
    bool m_globalHeap;
    uint64 m_first;
    uint64 m_seen = 0;
    uint32 m_count = 0;
    Block m_blocks[kBlocks];
};

// Every live block of `heap` on the debugger's output: on Linux a debugger shows the program's
// standard error, where its debug output goes. `visit` runs the heap's visit under whatever lock
// the heap needs. Blocks are listed a window at a time, so nothing is allocated for the list.
template <typename VisitFn>
void ReportLeaksToDebugger(const MemoryHeap& heap, bool globalHeap, VisitFn visit)
{
    bool any = false;
    for (uint64 first = 0;; first += DebuggerLeakWindow::kBlocks)
    {
        DebuggerLeakWindow window(heap, globalHeap, first);
        visit(window);
        for (uint32 i = 0; i < window.Count(); ++i)
        {
            const DebuggerLeakWindow::Block& b = window.At(i);
            if (!any)
                std::fprintf(stderr, "---------- %.127s memory leaks ----------------\n", heap.GetName());
            any = true;
            std::fprintf(stderr, "%llu bytes lost, alloc number: %u\n",
                         static_cast<unsigned long long>(b.size), b.allocationNumber);
            if (b.numFrames != 0)
            {
                StaticString1024_t frames;
                if (GHeap.value.leakStackFormatter != nullptr)
                    GHeap.value.leakStackFormatter(b.frames, b.numFrames, frames);
                else
                    for (uint32 f = 0; f < b.numFrames; ++f)
                        frames.AppendFormat("    0x%016llx\n", static_cast<unsigned long long>(
                                                                   reinterpret_cast<uintptr_t>(b.frames[f])));
                std::fputs(frames.c_str(), stderr);
            }
            std::fputs("\n", stderr);
        }
        if (window.Count() < DebuggerLeakWindow::kBlocks)
            break;
    }
    if (any)
        std::fputs("----------------------------------------------------\n", stderr);
}
} // namespace

void Memory::Shutdown()
{
    UnregisterHeap(&SharedStringsHeap());
    UnregisterHeap(&FunctionHeap());
    UnregisterHeap(&DictHeap());
    UnregisterHeap(&StringsHeap());
    UnregisterHeap(&Temp());
    Temp().ShutdownArena();
    MX_ASSERT(GNumMemoryHeaps == 1);
    MemoryHeap& global = GetGlobalHeapBackend().ReportedHeap();
    if (Platform_IsDebuggerPresent())
    {
        MemoryTags::FlushThreadCharges();
        ReportLeaksToDebugger(global, true,
                              [&](HeapVisitor& v)
                              {
                                  HeapLock lock(GHeap.value.lock);
                                  global.Visit(v);
                              });
    }
    else if (GHeap.value.leakCheck)
    {
        // The log is gone by now: the report goes straight to standard error (Linux has no
        // service-notification box).
        const LeakTotals leaks = CountLeaks();
        if (leaks.count != 0)
        {
            StaticString1024_t stacks;
            MemoryTagSystem* tags = GMemoryTagSystem.load(std::memory_order_acquire);
            if (GHeap.value.leakStackFormatter != nullptr && tags != nullptr)
            {
                LeakStackCollector collector(GetGlobalHeapBackend(), *tags);
                {
                    HeapLock lock(GHeap.value.lock);
                    GetGlobalHeapBackend().Visit(collector);
                }
                // Outside the heap's lock: symbolisation takes a lock of its own.
                collector.Format(GHeap.value.leakStackFormatter, stacks);
            }
            std::fprintf(stderr, "Memory leaks detected. Count: %llu, total size: %llu bytes\n%s\n",
                         static_cast<unsigned long long>(leaks.count),
                         static_cast<unsigned long long>(leaks.bytes), stacks.c_str());
        }
    }
    UnregisterHeap(&GetGlobalHeapBackend().ReportedHeap());
    MX_ASSERT(GMemoryTagSystem.load() != nullptr);
    GMemoryTagSystem.store(nullptr, std::memory_order_release);
}

void Memory::ShutdownGlobalHeap()
{
    HeapLock lock(GHeap.value.lock);
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
            if (heap != &GetGlobalHeapBackend().ReportedHeap() && Platform_IsDebuggerPresent())
                ReportLeaksToDebugger(*heap, false, [heap](HeapVisitor& v) { heap->Visit(v); });
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

void Memory::SetOutOfMemoryExitForTests(void (*exitFn)(int))
{
    GOutOfMemoryExit = exitFn != nullptr ? exitFn : [](int code) { std::_Exit(code); };
}
} // namespace Morvex
