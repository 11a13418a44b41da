// The engine's heaps against glibc malloc and mimalloc on the same allocation sequences. Two engine
// columns:
//   EngineGlobalHeap  Memory::Alloc / Memory::Free, the global heap as the engine's code calls it
//                     (whatever serves it: lock, thread caches, backend, tag prefix);
//   RawSegregateHeap  one SegregateHeap with the global heap's parameters behind a std::mutex: the
//                     heap's own cost per operation, the path that the global heap's misses and the
//                     locked kernel heaps take.
// GlibcUnderMutex (glibc behind that same mutex) shows what the lock alone costs an allocator.
// The program keeps the C++ library's operator new: only the calls above reach the engine.
//
//   HeapBenchmarks [benchmark flags]
//
// Rows: small blocks (8-1000 B, 10 000 live), medium (1-64 KiB), large (256 KiB-2 MiB), small on two
// threads, and 200 000 blocks of 16 B freed in random order. Each iteration of the first four frees
// one random live block and allocates a new one of a random size in its place. Then records of one
// size from a Memory::Pool against the heaps, and short-lived texts in a thread's temporary scope
// against the temp arena.
//
// Linking mimalloc would replace malloc for the whole program, glibc's own entry points included
// (it exports __libc_malloc as well): the glibc column would measure mimalloc. The library is
// therefore loaded at run time, privately, and only its mi_malloc/mi_free are called.

#include "Core/Memory/Memory.h"
#include "Core/Memory/Pool.h"
#include "Core/Memory/SegregateHeap.h"
#include "Core/Memory/ThreadTempAllocator.h"
#include "Core/String.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <vector>

namespace
{
using Morvex::GlobalHeapParameters;
using Morvex::SegregateHeap;

struct EngineGlobalHeap
{
    static void* Alloc(size_t size) { return Morvex::Memory::Alloc(size); }
    static void Free(void* p, size_t size) { Morvex::Memory::Free(p, size); }
};

struct RawSegregateHeap
{
    static SegregateHeap<GlobalHeapParameters>& Heap()
    {
        static SegregateHeap<GlobalHeapParameters> heap("GlobalHeap:HeapBenchmarks.cpp:1");
        return heap;
    }
    static std::mutex& Lock()
    {
        static std::mutex lock;
        return lock;
    }
    static void* Alloc(size_t size)
    {
        std::lock_guard<std::mutex> guard(Lock());
        return Heap().Allocate(size);
    }
    static void Free(void* p, size_t size)
    {
        std::lock_guard<std::mutex> guard(Lock());
        Heap().Free(p, size);
    }
};

struct GlibcHeap
{
    static void* Alloc(size_t size) { return std::malloc(size); }
    static void Free(void* p, size_t) { std::free(p); }
};

// The C heap behind the same mutex as RawSegregateHeap: what the lock alone costs an allocator.
struct GlibcUnderMutex
{
    static void* Alloc(size_t size)
    {
        std::lock_guard<std::mutex> guard(RawSegregateHeap::Lock());
        return std::malloc(size);
    }
    static void Free(void* p, size_t)
    {
        std::lock_guard<std::mutex> guard(RawSegregateHeap::Lock());
        std::free(p);
    }
};

struct Mimalloc
{
    using AllocFn = void* (*)(size_t);
    using FreeFn = void (*)(void*);
    struct Entry
    {
        AllocFn alloc = nullptr;
        FreeFn free = nullptr;
    };
    static const Entry& Get()
    {
        static const Entry entry = []
        {
            Entry e;
            // RTLD_LOCAL: the library's malloc does not take the place of the C library's.
            if (void* library = dlopen("libmimalloc.so.2", RTLD_NOW | RTLD_LOCAL))
            {
                e.alloc = reinterpret_cast<AllocFn>(dlsym(library, "mi_malloc"));
                e.free = reinterpret_cast<FreeFn>(dlsym(library, "mi_free"));
            }
            if (e.alloc == nullptr || e.free == nullptr)
            {
                std::fprintf(stderr, "libmimalloc.so.2 cannot be loaded: install libmimalloc2.0\n");
                std::exit(1);
            }
            return e;
        }();
        return entry;
    }
    static void* Alloc(size_t size) { return Get().alloc(size); }
    static void Free(void* p, size_t) { Get().free(p); }
};

struct Op
{
    uint32_t slot;
    uint32_t size;
};

constexpr size_t kOps = 1 << 16;

std::vector<Op> MakeOps(uint32_t slots, uint32_t minSize, uint32_t maxSize, uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<uint32_t> slot(0, slots - 1);
    std::uniform_int_distribution<uint32_t> size(minSize, maxSize);
    std::vector<Op> ops(kOps);
    for (Op& op : ops)
        op = {slot(random), size(random)};
    return ops;
}

// Replaces random live blocks by new ones of random sizes in [minSize, maxSize].
template <typename H>
void Churn(benchmark::State& state, uint32_t live, uint32_t minSize, uint32_t maxSize)
{
    const std::vector<Op> ops = MakeOps(live, minSize, maxSize, 1234 + state.thread_index());
    std::vector<void*> blocks(live);
    std::vector<uint32_t> sizes(live);
    for (uint32_t i = 0; i < live; ++i)
    {
        sizes[i] = ops[i].size;
        blocks[i] = H::Alloc(sizes[i]);
        static_cast<char*>(blocks[i])[0] = 1;
    }
    size_t k = 0;
    for (auto _ : state)
    {
        const Op& op = ops[k++ & (kOps - 1)];
        H::Free(blocks[op.slot], sizes[op.slot]);
        void* p = H::Alloc(op.size);
        static_cast<char*>(p)[0] = 1;
        blocks[op.slot] = p;
        sizes[op.slot] = op.size;
    }
    for (uint32_t i = 0; i < live; ++i)
        H::Free(blocks[i], sizes[i]);
    state.SetItemsProcessed(state.iterations());
}

template <typename H>
void BM_Small(benchmark::State& state)
{
    Churn<H>(state, 10000, 8, 1000);
}

template <typename H>
void BM_Medium(benchmark::State& state)
{
    Churn<H>(state, 1000, 1024, 64 * 1024);
}

template <typename H>
void BM_Large(benchmark::State& state)
{
    Churn<H>(state, 32, 256 * 1024, 2 * 1024 * 1024);
}

// 200 000 blocks of 16 bytes, then all freed in a random order: frees land all over the pages.
template <typename H>
void BM_RandomFree(benchmark::State& state)
{
    constexpr uint32_t kCount = 200000;
    std::vector<uint32_t> order(kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(99));
    std::vector<void*> blocks(kCount);
    for (auto _ : state)
    {
        for (uint32_t i = 0; i < kCount; ++i)
        {
            blocks[i] = H::Alloc(16);
            static_cast<char*>(blocks[i])[0] = 1;
        }
        for (uint32_t i : order)
            H::Free(blocks[i], 16);
    }
    state.SetItemsProcessed(state.iterations() * kCount);
}

#define MX_HEAP_BENCHMARKS(H)                                                                                \
    BENCHMARK_TEMPLATE(BM_Small, H);                                                                         \
    BENCHMARK_TEMPLATE(BM_Medium, H);                                                                        \
    BENCHMARK_TEMPLATE(BM_Large, H);                                                                         \
    BENCHMARK_TEMPLATE(BM_Small, H)->Threads(2)->UseRealTime();                                              \
    BENCHMARK_TEMPLATE(BM_RandomFree, H)->Unit(benchmark::kMillisecond);

MX_HEAP_BENCHMARKS(EngineGlobalHeap)
MX_HEAP_BENCHMARKS(RawSegregateHeap)
MX_HEAP_BENCHMARKS(GlibcHeap)
MX_HEAP_BENCHMARKS(GlibcUnderMutex)
MX_HEAP_BENCHMARKS(Mimalloc)

// Records of one size, as the pools serve them: 10 000 live records of 48 bytes, each iteration
// frees a random one and takes a new one.
struct PoolRecords
{
    static Morvex::Memory::Pool& Pool()
    {
        static Morvex::Memory::Pool pool;
        if (!pool.IsSetUp())
            pool.Setup(MX_HEAP_NAME("Bench/Records"), 48, 0, -1, 8);
        return pool;
    }
    static void* Alloc(size_t) { return Pool().Alloc(); }
    static void Free(void* p, size_t) { Pool().Free(p); }
};

template <typename H>
void BM_Records(benchmark::State& state)
{
    Churn<H>(state, 10000, 48, 48);
}
BENCHMARK_TEMPLATE(BM_Records, PoolRecords);
BENCHMARK_TEMPLATE(BM_Records, EngineGlobalHeap);
BENCHMARK_TEMPLATE(BM_Records, GlibcHeap);

// Short-lived work as a console command does it: a text grown to `range(0)` bytes in 64-byte steps
// and dropped. The thread's temporary scope against the kernel's temp allocator (the TLSF arena).
struct ThreadTemporaries
{
    static void Run(size_t bytes)
    {
        Morvex::ThreadTempAllocator temp(MX_THREAD_TEMP_NAME);
        Morvex::String text;
        text.SetAllocator(&temp);
        for (size_t i = 0; i < bytes; i += 64)
            text.Append("0123456789012345678901234567890123456789012345678901234567890123", 64);
        benchmark::DoNotOptimize(text.data());
    }
};
struct TempArena
{
    static void Run(size_t bytes)
    {
        Morvex::String text;
        text.SetAllocator(&Morvex::Memory::GetTempAllocator());
        for (size_t i = 0; i < bytes; i += 64)
            text.Append("0123456789012345678901234567890123456789012345678901234567890123", 64);
        benchmark::DoNotOptimize(text.data());
    }
};

template <typename T>
void BM_ShortLivedText(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0));
    for (auto _ : state)
        T::Run(bytes);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}
BENCHMARK_TEMPLATE(BM_ShortLivedText, ThreadTemporaries)->Arg(256)->Arg(4096)->Arg(200000);
BENCHMARK_TEMPLATE(BM_ShortLivedText, TempArena)->Arg(256)->Arg(4096)->Arg(200000);
} // namespace

BENCHMARK_MAIN();
