// The dictionary's storage: dictionary and array objects from pools, entry and value blocks from
// caches by size class, all from the dictionary allocator. Every structure here is thread-safe by
// its own lock and lives for the whole process (dictionaries may be destroyed during static
// destruction).

#include "Core/CVar.h"
#include "Core/Containers/Dict.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "DictAllocatorInternal.h"

#include <mutex>
#include <new>

namespace Morvex
{
namespace
{
constexpr uint32 kNumClasses = 5;
constexpr uint32 kClassCapacities[kNumClasses] = {4, 16, 64, 256, 1024};
constexpr uint32 kDefaultCacheEntries = 524288;
constexpr size_t kPoolBlockSize = 64 * 1024;

int32 ClassIndex(uint32 capacity)
{
    for (uint32 i = 0; i < kNumClasses; ++i)
        if (kClassCapacities[i] == capacity)
            return static_cast<int32>(i);
    return -1;
}

// Every block carries a small header so that a cached block can be linked without touching the
// (counted) keys it still holds.
struct BlockHeader
{
    BlockHeader* next;
    uint32 capacity;
    uint32 pad;
};
static_assert(sizeof(BlockHeader) == 16);

struct BlockCache
{
    std::mutex lock;
    BlockHeader* head = nullptr;
    uint32 count = 0;
    uint32 limit = 0;
};

// Dictionary and array objects: a pool each, guarded by its own lock and set up on first use. The
// pools' pages come from the dictionary heap and stay for the whole process: dictionaries may be
// destroyed during static destruction.
struct ObjectPool
{
    constexpr ObjectPool(const char* poolName, const char* tag, size_t size, size_t align)
        : name(poolName), tagName(tag), elementSize(size), alignment(align)
    {
    }

    void* Alloc()
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!pool.IsSetUp())
            pool.Setup(name, elementSize, kPoolBlockSize,
                       static_cast<int16>(MemoryTags::Register(tagName).m_index), alignment,
                       &Memory::GetDictAllocator());
        return pool.Alloc();
    }

    void Free(void* p)
    {
        std::lock_guard<std::mutex> guard(lock);
        pool.Free(p);
    }

    const char* const name;
    const char* const tagName;
    const size_t elementSize;
    const size_t alignment;
    std::mutex lock;
    Memory::Pool pool;
};

// Process-wide allocator state: constant-initialised, never destroyed, so it serves dictionaries
// created and destroyed by static objects in any order.
struct DictAllocatorState
{
    ObjectPool dictPool{MX_HEAP_NAME("Core/Dict"), "Core/Dict", sizeof(Dict), alignof(Dict)};
    ObjectPool arrayPool{MX_HEAP_NAME("Core/DictArray"), "Core/DictArray", sizeof(DictArray),
                         alignof(DictArray)};
    BlockCache entryCaches[kNumClasses];
    BlockCache valueCaches[kNumClasses];
};

constinit NeverDestroyed<DictAllocatorState> GDictAllocatorStorage;

DictAllocatorState& State()
{
    return GDictAllocatorStorage.value;
}

struct CacheLimitInit
{
    CacheLimitInit() { DictAllocator::SetCacheLimit(kDefaultCacheEntries); }
} GCacheLimitInit;

// Blocks of T (DictEntry or DictValue) with the header in front. A fresh block holds
// default-constructed elements (empty keys, VT_NONE values); a cached block keeps them.
template <typename T>
T* AllocBlock(BlockCache* caches, uint32 capacity)
{
    const int32 cls = ClassIndex(capacity);
    if (cls >= 0)
    {
        BlockCache& cache = caches[cls];
        std::lock_guard<std::mutex> guard(cache.lock);
        if (BlockHeader* h = cache.head)
        {
            cache.head = h->next;
            --cache.count;
            h->next = nullptr;
            return reinterpret_cast<T*>(h + 1);
        }
    }
    const size_t bytes = sizeof(BlockHeader) + sizeof(T) * static_cast<size_t>(capacity);
    auto* h = static_cast<BlockHeader*>(Memory::GetDictAllocator().Alloc(bytes, 16));
    h->next = nullptr;
    h->capacity = capacity;
    h->pad = 0;
    T* items = reinterpret_cast<T*>(h + 1);
    for (uint32 i = 0; i < capacity; ++i)
        new (&items[i]) T();
    return items;
}

template <typename T>
void DestroyBlock(BlockHeader* h)
{
    T* items = reinterpret_cast<T*>(h + 1);
    for (uint32 i = 0; i < h->capacity; ++i)
        items[i].~T();
    Memory::GetDictAllocator().Free(h, sizeof(BlockHeader) + sizeof(T) * static_cast<size_t>(h->capacity),
                                    16);
}

// The block's elements must already be empty (keys "", values VT_NONE).
template <typename T>
void FreeBlock(BlockCache* caches, T* items)
{
    if (items == nullptr)
        return;
    BlockHeader* h = reinterpret_cast<BlockHeader*>(items) - 1;
    const int32 cls = ClassIndex(h->capacity);
    if (cls >= 0)
    {
        BlockCache& cache = caches[cls];
        std::lock_guard<std::mutex> guard(cache.lock);
        if (cache.count < cache.limit)
        {
            h->next = cache.head;
            cache.head = h;
            ++cache.count;
            return;
        }
    }
    DestroyBlock<T>(h);
}

template <typename T>
void FlushCache(BlockCache& cache, uint32 newLimit)
{
    BlockHeader* list;
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        list = cache.head;
        cache.head = nullptr;
        cache.count = 0;
        cache.limit = newLimit;
    }
    while (list)
    {
        BlockHeader* next = list->next;
        DestroyBlock<T>(list);
        list = next;
    }
}

bool EntryDictChangeCallback(CVar* var, void*)
{
    const int32 value = var->GetInt();
    DictAllocator::SetCacheLimit(value > 0 ? static_cast<uint32>(value) : 0);
    return true;
}

CVar dict_entryPoolSize(CVarType::Int, "dict_entryPoolSize", 0, "524288", "", EntryDictChangeCallback);
} // namespace

void* DictStorage::AllocDict()
{
    return State().dictPool.Alloc();
}

void DictStorage::FreeDict(void* p)
{
    State().dictPool.Free(p);
}

void* DictStorage::AllocArray()
{
    return State().arrayPool.Alloc();
}

void DictStorage::FreeArray(void* p)
{
    State().arrayPool.Free(p);
}

DictEntry* DictStorage::AllocEntries(uint32 capacity)
{
    return AllocBlock<DictEntry>(State().entryCaches, capacity);
}

void DictStorage::FreeEntries(DictEntry* entries)
{
    FreeBlock(State().entryCaches, entries);
}

DictValue* DictStorage::AllocValues(uint32 capacity)
{
    return AllocBlock<DictValue>(State().valueCaches, capacity);
}

void DictStorage::FreeValues(DictValue* values)
{
    FreeBlock(State().valueCaches, values);
}

uint32 DictStorage::NextCapacity(uint32 capacity)
{
    if (capacity == 0)
        return 4;
    if (capacity < 1024)
        return capacity * 4;
    return capacity + 1024;
}

uint32 DictStorage::CapacityFor(uint32 n)
{
    for (uint32 c : kClassCapacities)
        if (n <= c)
            return c;
    const uint64 rounded = (static_cast<uint64>(n) + 1023) / 1024 * 1024;
    return rounded > DictStorage::kMaxCapacity ? DictStorage::kMaxCapacity : static_cast<uint32>(rounded);
}

// ---------------------------------------------------------------------------------------------
// DictAllocator

void DictAllocator::FlushCaches()
{
    DictAllocatorState& s = State();
    for (uint32 i = 0; i < kNumClasses; ++i)
    {
        uint32 limit;
        {
            std::lock_guard<std::mutex> guard(s.entryCaches[i].lock);
            limit = s.entryCaches[i].limit;
        }
        FlushCache<DictEntry>(s.entryCaches[i], limit);
        FlushCache<DictValue>(s.valueCaches[i], limit);
    }
}

void DictAllocator::SetCacheLimit(uint32 entries)
{
    DictAllocatorState& s = State();
    for (uint32 i = 0; i < kNumClasses; ++i)
    {
        const uint32 blocks = entries / kClassCapacities[i];
        FlushCache<DictEntry>(s.entryCaches[i], blocks);
        FlushCache<DictValue>(s.valueCaches[i], blocks);
    }
}

uint32 DictAllocator::GetCachedBlocks(uint32 capacity)
{
    const int32 cls = ClassIndex(capacity);
    if (cls < 0)
        return 0;
    DictAllocatorState& s = State();
    uint32 total = 0;
    {
        std::lock_guard<std::mutex> guard(s.entryCaches[cls].lock);
        total += s.entryCaches[cls].count;
    }
    {
        std::lock_guard<std::mutex> guard(s.valueCaches[cls].lock);
        total += s.valueCaches[cls].count;
    }
    return total;
}
} // namespace Morvex
