#include "Core/Memory/SegregateHeap.h"

#include "Core/Memory/PlatformVirtualMemory.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
// The figures every heap type must show, written out rather than read from the parameter sets.
struct HeapRow
{
    uint32 smallLimit;
    uint32 firstLargeCapacity; // capacity of a request of smallLimit + 1 bytes
    uint32 pageSize;
    uint64 smallSuperchunk;
    uint64 largeStep;
    uint32 granule;
    uint64 listLimit;
    uint32 splitRest;
};

template <typename P>
constexpr HeapRow kRow = {};
template <>
constexpr HeapRow kRow<GlobalHeapParameters> = {1024, 1280, 65536, 4 << 20, 4 << 20, 256, 0x20400, 271};
template <>
constexpr HeapRow kRow<DictHeapParameters> = {256, 320, 32768, 4 << 20, 4 << 20, 64, 0x8100, 79};
template <>
constexpr HeapRow kRow<SharedStringsHeapParameters> = {256, 320, 32768, 4 << 20, 1 << 20, 64, 0x8100, 79};
template <>
constexpr HeapRow kRow<StringsHeapParameters> = {256, 384, 8192, 2 << 20, 1 << 20, 128, 0x10100, 143};
template <>
constexpr HeapRow kRow<FunctionHeapParameters> = {256, 384, 8192, 2 << 20, 1 << 20, 128, 0x10100, 143};

uint64 RoundUp16(uint64 value)
{
    return (value + 15) & ~uint64(15);
}

struct Census final : HeapVisitor
{
    struct Block
    {
        void* p;
        uint64 size;
    };
    std::vector<Block> blocks;
    uint64 superchunks = 0;
    uint64 superchunkBytes = 0;
    uint64 total = 0;
    void OnSuperchunk(void*, uint64 size) override
    {
        ++superchunks;
        superchunkBytes += size;
    }
    void OnBlock(void* block, uint64 size, uint16 tag) override
    {
        EXPECT_EQ(tag, kUntaggedBlock);
        blocks.push_back({block, size});
        total += size;
    }
};

template <typename P>
class SegregateHeapTest : public testing::Test
{
protected:
    using Heap = SegregateHeap<P>;
    static constexpr HeapRow kHeap = kRow<P>;
    Heap heap{"Test:SegregateHeapTests.cpp:1"};
};

using HeapTypes = testing::Types<GlobalHeapParameters, DictHeapParameters, SharedStringsHeapParameters,
                                 StringsHeapParameters, FunctionHeapParameters>;
TYPED_TEST_SUITE(SegregateHeapTest, HeapTypes);

TYPED_TEST(SegregateHeapTest, SizeLimitsRoundingAndSuperchunkSizes)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    SmallPageInfo info;

    void* limit = heap.Allocate(row.smallLimit);
    ASSERT_TRUE(heap.GetSmallPageInfo(limit, info));
    EXPECT_EQ(info.cellSize, row.smallLimit);
    EXPECT_EQ(heap.GetSmallStats().reserved, row.smallSuperchunk);

    void* above = heap.Allocate(row.smallLimit + 1);
    EXPECT_FALSE(heap.GetSmallPageInfo(above, info));
    EXPECT_EQ(heap.GetBlockCapacity(above), row.firstLargeCapacity);
    EXPECT_EQ(heap.GetLargeStats().reserved, row.largeStep);

    // Beyond the exact lists requests are rounded to 16 only.
    void* beyond = heap.Allocate(row.listLimit + 1);
    EXPECT_EQ(heap.GetBlockCapacity(beyond), RoundUp16(row.listLimit + 1));
    void* atLimit = heap.Allocate(row.listLimit);
    EXPECT_EQ(heap.GetBlockCapacity(atLimit), row.listLimit);

    // A request larger than one superchunk step takes a superchunk of the next multiple.
    const uint64 reservedBefore = heap.GetLargeStats().reserved;
    void* big = heap.Allocate(row.largeStep);
    EXPECT_EQ(heap.GetLargeStats().reserved - reservedBefore, 2 * row.largeStep);

    EXPECT_EQ(heap.GetStats().used,
              row.smallLimit + (row.smallLimit + 1) + (row.listLimit + 1) + row.listLimit + row.largeStep);
    for (void* p : {limit, above, beyond, atLimit, big})
    {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        heap.Free(p);
    }
    EXPECT_EQ(heap.GetStats().used, 0u);
    EXPECT_EQ(heap.GetStats().allocations, 5u);
    EXPECT_EQ(heap.GetStats().frees, 5u);
}

TYPED_TEST(SegregateHeapTest, FirstPageOfAClassHandsOutCellOne)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    void* first = heap.Allocate(1);
    SmallPageInfo info;
    ASSERT_TRUE(heap.GetSmallPageInfo(first, info));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(info.page) % row.pageSize, 0u);
    EXPECT_EQ(first, static_cast<uint8*>(info.page) + 16);
    EXPECT_EQ(info.cellSize, 16u);
    EXPECT_EQ(info.freeCount, row.pageSize / 16 - 2);
    EXPECT_EQ(info.firstFree, 2u);
    // The page header is the class's overhead; the cell is used.
    EXPECT_EQ(heap.GetSmallStats().overhead, 16u);
    EXPECT_EQ(heap.GetSmallStats().used, 16u);

    void* second = heap.Allocate(16);
    EXPECT_EQ(second, static_cast<uint8*>(info.page) + 32);
    // A freed cell is the next one handed out.
    heap.Free(first);
    ASSERT_TRUE(heap.GetSmallPageInfo(second, info));
    EXPECT_EQ(info.firstFree, 1u);
    EXPECT_EQ(info.freeCount, row.pageSize / 16 - 2);
    EXPECT_EQ(heap.Allocate(9), first);
}

TYPED_TEST(SegregateHeapTest, TrimHandsAWhollyFreePageToAnyClass)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    const uint32 cells = row.pageSize / 32 - 1;
    std::vector<void*> blocks;
    for (uint32 i = 0; i < cells; ++i)
        blocks.push_back(heap.Allocate(32));
    SmallPageInfo info;
    ASSERT_TRUE(heap.GetSmallPageInfo(blocks.front(), info));
    void* page = info.page;
    ASSERT_TRUE(heap.GetSmallPageInfo(blocks.back(), info));
    EXPECT_EQ(info.page, page);
    EXPECT_EQ(info.freeCount, 0u);
    void* keep = heap.Allocate(64); // another page stays in use
    for (void* p : blocks)
        heap.Free(p);

    const uint64 overhead = heap.GetSmallStats().overhead;
    heap.Trim();
    EXPECT_EQ(heap.GetSmallStats().overhead, overhead - 32);
    EXPECT_EQ(heap.GetSmallStats().reserved, row.smallSuperchunk);

    void* reused = heap.Allocate(128);
    ASSERT_TRUE(heap.GetSmallPageInfo(reused, info));
    EXPECT_EQ(info.page, page);
    EXPECT_EQ(info.cellSize, 128u);
    // The 32-byte class lost its free cells with the page: a new request takes a fresh page.
    void* fresh = heap.Allocate(32);
    ASSERT_TRUE(heap.GetSmallPageInfo(fresh, info));
    EXPECT_NE(info.page, page);
    heap.Free(keep);
    heap.Free(reused);
    heap.Free(fresh);
}

// Pages of the largest class start their cells at different cache lines, so that the cells of many
// pages do not all fall on the same cache sets; every cell of such a page is usable, nothing outside
// the cells is taken for one, and the page goes back whole.
TYPED_TEST(SegregateHeapTest, PagesOfALargeClassShiftTheirCellsByACacheLine)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    AssertRecorder recorder;
    const uint32 cellSize = row.smallLimit;
    const uint32 pages = cellSize / 64;
    std::map<void*, std::vector<void*>> byPage;
    std::vector<void*> all;
    while (byPage.size() < pages + 1)
    {
        void* p = heap.Allocate(cellSize);
        SmallPageInfo info;
        ASSERT_TRUE(heap.GetSmallPageInfo(p, info));
        ASSERT_EQ(info.cellSize, cellSize);
        byPage[info.page].push_back(p);
        all.push_back(p);
        std::memset(p, 0xA5, cellSize);
    }
    std::vector<uint32> colors;
    for (const auto& [page, cells] : byPage)
    {
        const uintptr_t base = reinterpret_cast<uintptr_t>(page);
        const uint32 color =
            static_cast<uint32>((reinterpret_cast<uintptr_t>(cells.front()) - base) % cellSize);
        EXPECT_EQ(color % 64, 0u);
        colors.push_back(color);
        for (void* cell : cells)
        {
            const uintptr_t at = reinterpret_cast<uintptr_t>(cell);
            EXPECT_EQ((at - base) % cellSize, color);
            EXPECT_GE(at - base, cellSize); // the header's room is never handed out
            EXPECT_LE(at - base + cellSize, row.pageSize);
        }
    }
    std::sort(colors.begin(), colors.end());
    EXPECT_EQ(std::unique(colors.begin(), colors.end()) - colors.begin(), static_cast<long>(pages));

    // Addresses of a coloured page that are not its cells are refused.
    void* shifted = nullptr;
    for (const auto& [page, cells] : byPage)
        if ((reinterpret_cast<uintptr_t>(cells.front()) - reinterpret_cast<uintptr_t>(page)) % cellSize != 0)
            shifted = page;
    ASSERT_NE(shifted, nullptr);
    const MemoryHeapStats before = heap.GetStats();
    for (void* wrong : {static_cast<void*>(static_cast<uint8*>(shifted) + cellSize),
                        static_cast<void*>(static_cast<uint8*>(shifted) + row.pageSize - cellSize)})
    {
        SmallPageInfo info;
        EXPECT_FALSE(heap.GetSmallPageInfo(wrong, info));
    }
    heap.Free(static_cast<uint8*>(shifted) + cellSize);
    EXPECT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(heap.GetStats().used, before.used);

    for (void* p : all)
        heap.Free(p);
    EXPECT_EQ(heap.GetStats().used, 0u);
    heap.Trim();
    EXPECT_EQ(heap.GetSmallStats().overhead, 0u);
    Census census;
    heap.Visit(census);
    EXPECT_TRUE(census.blocks.empty());
}

TYPED_TEST(SegregateHeapTest, TrimReleasesAWhollyFreeLargeSuperchunk)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    const PlatformVirtualMemoryStats before = PlatformVirtualMemory::GetStats();
    void* a = heap.Allocate(row.smallLimit + 1);
    void* b = heap.Allocate(row.listLimit * 2);
    EXPECT_EQ(heap.GetLargeStats().reserved, row.largeStep);
    EXPECT_EQ(PlatformVirtualMemory::GetStats().m_liveCount, before.m_liveCount + 1);
    heap.Free(a);
    heap.Trim();
    EXPECT_EQ(heap.GetLargeStats().reserved, row.largeStep); // still holds b
    heap.Free(b);
    heap.Trim();
    EXPECT_EQ(heap.GetLargeStats().reserved, 0u);
    EXPECT_EQ(heap.GetStats().reserved, 0u);
    EXPECT_EQ(heap.GetLargeStats().overhead, 0u);
    EXPECT_EQ(heap.GetStats().peakReserved, row.largeStep);
    EXPECT_EQ(PlatformVirtualMemory::GetStats().m_liveCount, before.m_liveCount);
    EXPECT_EQ(PlatformVirtualMemory::GetStats().m_allocated, before.m_allocated);
}

TYPED_TEST(SegregateHeapTest, AdjacentFreeChunksCoalesce)
{
    const HeapRow& row = this->kHeap;
    const uint64 chunk = row.firstLargeCapacity; // payload of each block
    struct Case
    {
        const char* name;
        std::vector<int> freeOrder; // blocks 0, 1, 2 (3 stays as a guard)
        uint32 mergedBlocks;        // blocks joined into the chunk at block 0
    };
    const Case cases[] = {
        {"with the previous", {0, 1}, 2},
        {"with the next", {1, 0}, 2},
        {"with both", {0, 2, 1}, 3},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SegregateHeap<TypeParam> heap("Coalesce:SegregateHeapTests.cpp:1");
        void* blocks[4];
        for (void*& p : blocks)
            p = heap.Allocate(row.smallLimit + 1);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(static_cast<uint8*>(blocks[i]) + chunk + 16, blocks[i + 1]);
        const uint64 overhead = heap.GetLargeStats().overhead;
        for (int i : c.freeOrder)
            heap.Free(blocks[i]);
        // Each join gives back one chunk header; the slack of the freed blocks goes too.
        const uint64 slack = (chunk - (row.smallLimit + 1)) * c.freeOrder.size();
        EXPECT_EQ(heap.GetLargeStats().overhead, overhead - slack - 16 * (c.mergedBlocks - 1));

        const uint64 merged = c.mergedBlocks * chunk + 16 * (c.mergedBlocks - 1);
        void* whole = heap.Allocate(c.mergedBlocks * chunk);
        EXPECT_EQ(whole, blocks[0]);
        EXPECT_EQ(heap.GetBlockCapacity(whole), merged);
    }
}

TYPED_TEST(SegregateHeapTest, AChunkIsSplitOnlyWhenMoreThanTheSplitRestRemains)
{
    const HeapRow& row = this->kHeap;
    // Beyond the list limit sizes are multiples of 16, so the rests around the threshold are the
    // multiples of 16 on either side of it.
    const uint64 size = RoundUp16(row.listLimit) + 4 * row.granule;
    struct Case
    {
        uint64 rest;
        bool split;
    };
    const Case cases[] = {{row.splitRest - 15, false}, {row.splitRest + 1, true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rest);
        SegregateHeap<TypeParam> heap("Split:SegregateHeapTests.cpp:1");
        void* a = heap.Allocate(size);
        void* guard = heap.Allocate(size);
        heap.Free(a);
        const uint64 overhead = heap.GetLargeStats().overhead;
        void* b = heap.Allocate(size - c.rest);
        EXPECT_EQ(b, a);
        EXPECT_EQ(heap.GetBlockCapacity(b), c.split ? size - c.rest : size);
        EXPECT_EQ(heap.GetLargeStats().overhead, overhead + (c.split ? 16 : c.rest));
        heap.Free(b);
        heap.Free(guard);
    }
}

TYPED_TEST(SegregateHeapTest, ReallocateKeepsTheBlockWhileItFits)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    auto* small = static_cast<uint8*>(heap.Allocate(20));
    std::memset(small, 0x5A, 20);
    EXPECT_EQ(heap.Reallocate(small, 32), small);
    EXPECT_EQ(heap.GetStats().used, 32u);
    std::memset(small, 0x5B, 32);
    auto* moved = static_cast<uint8*>(heap.Reallocate(small, 33));
    ASSERT_NE(moved, small);
    EXPECT_EQ(heap.GetBlockCapacity(moved), 64u);
    EXPECT_EQ(std::count(moved, moved + 32, 0x5B), 32);
    EXPECT_EQ(heap.GetStats().used, 64u);

    const uint32 request = row.smallLimit + 1;
    auto* large = static_cast<uint8*>(heap.Allocate(request));
    std::memset(large, 0x6C, request);
    const uint64 used = heap.GetStats().used;
    EXPECT_EQ(heap.Reallocate(large, row.firstLargeCapacity), large);
    EXPECT_EQ(heap.GetStats().used, used + row.firstLargeCapacity - request);
    auto* grown = static_cast<uint8*>(heap.Reallocate(large, row.firstLargeCapacity + 1));
    ASSERT_NE(grown, large);
    EXPECT_EQ(std::count(grown, grown + request, 0x6C), request);
    EXPECT_EQ(heap.GetStats().used, 64u + row.firstLargeCapacity + 1);
    EXPECT_EQ(heap.Reallocate(nullptr, 8) != nullptr, true);
}

// Random allocations, frees and reallocations against a model of what must be live and what each
// block holds: contents survive, and the statistics and the block walk agree with the model.
TYPED_TEST(SegregateHeapTest, RandomOperationsMatchAModel)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    struct Live
    {
        uint64 size;
        uint8 fill;
        uint64 accounted; // what the heap counts as used for the block
    };
    std::map<uint8*, Live> model;
    std::mt19937_64 random(15);
    auto expectedUsed = [&](uint64 size) -> uint64
    {
        if (size > row.smallLimit)
            return size;
        uint64 cell = 16;
        while (cell < size)
            cell *= 2;
        return cell;
    };
    auto randomSize = [&]() -> uint64
    {
        const uint32 kind = random() % 20;
        if (kind < 14)
            return 1 + random() % row.smallLimit;
        if (kind < 19)
            return row.smallLimit + 1 + random() % (row.listLimit + 4096 - row.smallLimit);
        return row.listLimit + random() % (1536 * 1024);
    };
    auto fill = [](uint8* p, uint64 size, uint8 value) { std::memset(p, value, size); };
    auto intact = [](const uint8* p, uint64 size, uint8 value)
    {
        // Ends and a stride through the middle: full scans of megabyte blocks would dominate the run.
        for (uint64 i = 0; i < size; i += (size > 4096 ? 509 : 1))
            if (p[i] != value)
                return false;
        return p[size - 1] == value;
    };
    auto check = [&]()
    {
        Census census;
        heap.Visit(census);
        ASSERT_EQ(census.blocks.size(), model.size());
        uint64 used = 0;
        for (const auto& [p, live] : model)
            used += live.accounted;
        EXPECT_EQ(heap.GetStats().used, used);
        EXPECT_EQ(census.total, used);
        EXPECT_EQ(census.superchunkBytes, heap.GetStats().reserved);
        EXPECT_LE(heap.GetStats().used + heap.GetStats().overhead, heap.GetStats().reserved);
        for (const Census::Block& block : census.blocks)
            ASSERT_TRUE(model.count(static_cast<uint8*>(block.p)));
        for (const auto& [p, live] : model)
        {
            ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
            ASSERT_TRUE(intact(p, live.size, live.fill));
        }
    };

    AssertRecorder recorder;
    for (int op = 0; op < 6000; ++op)
    {
        const uint32 choice = random() % 10;
        if (choice < 5 || model.empty())
        {
            const uint64 size = randomSize();
            auto* p = static_cast<uint8*>(heap.Allocate(size));
            ASSERT_NE(p, nullptr);
            ASSERT_EQ(model.count(p), 0u);
            const uint8 value = static_cast<uint8>(random());
            fill(p, size, value);
            model[p] = {size, value, expectedUsed(size)};
        }
        else
        {
            auto it = model.begin();
            std::advance(it, random() % model.size());
            if (choice < 8)
            {
                ASSERT_TRUE(intact(it->first, it->second.size, it->second.fill));
                heap.Free(it->first, random() % 2 ? it->second.size : 0);
                model.erase(it);
            }
            else
            {
                const uint64 size = randomSize();
                const Live live = it->second;
                SmallPageInfo info;
                const bool wasSmall = heap.GetSmallPageInfo(it->first, info);
                auto* p = static_cast<uint8*>(heap.Reallocate(it->first, size));
                ASSERT_NE(p, nullptr);
                // In place, a small block keeps its cell and a large one counts the new size.
                const uint64 accounted =
                    p != it->first ? expectedUsed(size) : (wasSmall ? live.accounted : size);
                model.erase(it);
                ASSERT_TRUE(intact(p, std::min(size, live.size), live.fill));
                const uint8 value = static_cast<uint8>(random());
                fill(p, size, value);
                model[p] = {size, value, accounted};
            }
        }
        if (op % 500 == 499)
        {
            check();
            if (op % 1500 == 1499)
                heap.Trim();
        }
    }
    check();
    for (const auto& [p, live] : model)
        heap.Free(p);
    model.clear();
    check();
    heap.Trim();
    EXPECT_EQ(heap.GetStats().used, 0u);
    EXPECT_EQ(heap.GetLargeStats().reserved, 0u);
    EXPECT_EQ(heap.GetLargeStats().overhead, 0u);
    EXPECT_EQ(heap.GetSmallStats().overhead, 0u);
    EXPECT_EQ(recorder.Count(), 0u);
}

TYPED_TEST(SegregateHeapTest, ForeignInteriorAndRepeatedFreesAreRefused)
{
    const HeapRow& row = this->kHeap;
    auto& heap = this->heap;
    AssertRecorder recorder;
    void* small = heap.Allocate(24);
    void* large = heap.Allocate(row.smallLimit + 1);
    const MemoryHeapStats before = heap.GetStats();

    int onTheStack = 0;
    std::vector<uint8> cHeap(64);
    struct Case
    {
        const char* name;
        void* p;
    };
    const Case cases[] = {
        {"stack", &onTheStack},
        {"C heap", cHeap.data()},
        {"inside a small cell", static_cast<uint8*>(small) + 16},
        {"a small page header",
         reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(small) & ~uintptr_t(row.pageSize - 1))},
        {"inside a large chunk", static_cast<uint8*>(large) + 32},
        {"a large chunk header", static_cast<uint8*>(large) - 16},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        recorder.Clear();
        heap.Free(c.p);
        EXPECT_EQ(recorder.Count(), 1u);
        EXPECT_EQ(heap.GetStats().used, before.used);
        EXPECT_EQ(heap.GetStats().frees, before.frees);
        recorder.Clear();
        EXPECT_EQ(heap.Reallocate(c.p, 8), nullptr);
        EXPECT_EQ(heap.GetBlockCapacity(c.p), 0u);
        EXPECT_EQ(recorder.Count(), 2u);
    }
    EXPECT_FALSE(heap.Owns(&onTheStack));
    EXPECT_TRUE(heap.Owns(small));

    recorder.Clear();
    heap.Free(small);
    heap.Free(small);
    heap.Free(large);
    heap.Free(large);
    EXPECT_EQ(recorder.Count(), 2u);
    EXPECT_EQ(heap.GetStats().used, 0u);
    // The heap is intact: two new blocks of each kind are distinct.
    void* a = heap.Allocate(24);
    void* b = heap.Allocate(24);
    void* c = heap.Allocate(row.smallLimit + 1);
    void* d = heap.Allocate(row.smallLimit + 1);
    EXPECT_NE(a, b);
    EXPECT_NE(c, d);
    EXPECT_EQ(recorder.Count(), 2u);
}

TYPED_TEST(SegregateHeapTest, ZeroSizeIsReportedAndServed)
{
    auto& heap = this->heap;
    AssertRecorder recorder;
    void* p = heap.Allocate(0);
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Records()[0].expression, "DebugBreak");
    EXPECT_EQ(recorder.Records()[0].message, "Allocation with 0 size");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(heap.GetBlockCapacity(p), 16u);
    heap.Free(p);
    EXPECT_EQ(heap.GetStats().used, 0u);
}

// Requests beyond what a chunk's 32-bit fields describe get a dedicated block. A mapping hook hands
// out an address range nobody owns: the heap must not touch it, and every figure stays 64-bit.
void* GFakeBase = reinterpret_cast<void*>(uintptr_t(0x7A0000000000));
uint64 GMappedSize = 0;
uint64 GUnmappedSize = 0;
uint32 GTerminations = 0;

TEST(SegregateHeap, A32GiBRequestIsNotTruncated)
{
    constexpr uint64 k32GiB = uint64(32) << 30;
    PlatformVirtualMemory::TestHooks hooks;
    hooks.map = [](void*, size_t size) -> void*
    {
        GMappedSize = size;
        return GFakeBase;
    };
    hooks.unmap = [](void*, size_t size) { GUnmappedSize = size; };
    const PlatformVirtualMemory::TestHooks previous = PlatformVirtualMemory::SetTestHooks(hooks);
    {
        SegregateHeap<GlobalHeapParameters> heap("Huge:SegregateHeapTests.cpp:1");
        const struct
        {
            uint64 request;
            uint64 mapped;
        } cases[] = {{k32GiB, k32GiB}, {k32GiB + 1, k32GiB + 65536}};
        for (const auto& c : cases)
        {
            void* p = heap.Allocate(c.request);
            EXPECT_EQ(p, GFakeBase);
            EXPECT_EQ(GMappedSize, c.mapped);
            EXPECT_EQ(heap.GetBlockCapacity(p), c.mapped);
            EXPECT_EQ(heap.GetStats().used, c.request);
            EXPECT_EQ(heap.GetStats().reserved, c.mapped);
            EXPECT_EQ(heap.GetStats().overhead, c.mapped - c.request);
            Census census;
            heap.Visit(census);
            ASSERT_EQ(census.blocks.size(), 1u);
            EXPECT_EQ(census.blocks[0].size, c.request);
            {
                // A pointer inside the block is refused without touching the (unmapped) range.
                AssertRecorder recorder;
                heap.Free(static_cast<uint8*>(p) + 4096);
                EXPECT_EQ(recorder.Count(), 1u);
                EXPECT_EQ(heap.GetStats().used, c.request);
            }
            heap.Free(p);
            EXPECT_EQ(GUnmappedSize, c.mapped);
            EXPECT_EQ(heap.GetStats().used, 0u);
            EXPECT_EQ(heap.GetStats().reserved, 0u);
        }
    }
    PlatformVirtualMemory::SetTestHooks(previous);
}

TEST(SegregateHeap, SystemExhaustionReportsAndLeavesTheHeapIntact)
{
    PlatformVirtualMemory::TestHooks hooks;
    hooks.map = [](void*, size_t) -> void* { return nullptr; };
    hooks.terminate = [] { ++GTerminations; };
    SegregateHeap<GlobalHeapParameters> heap("Exhausted:SegregateHeapTests.cpp:1");
    CapturingSink sink;
    const PlatformVirtualMemory::TestHooks previous = PlatformVirtualMemory::SetTestHooks(hooks);
    GTerminations = 0;
    void* huge = heap.Allocate(uint64(32) << 30);
    void* small = heap.Allocate(100);
    PlatformVirtualMemory::SetTestHooks(previous);
    EXPECT_EQ(huge, nullptr);
    EXPECT_EQ(small, nullptr);
    EXPECT_EQ(GTerminations, 2u);
    EXPECT_TRUE(
        sink.Contains(Log::Fatal, "PlatformVirtualMemory::Allocate() failed to allocate 32 GB block"));
    EXPECT_TRUE(sink.Contains(Log::Fatal, "PlatformVirtualMemory::Allocate() failed to allocate 4 MB block"));
    EXPECT_EQ(heap.GetStats().reserved, 0u);
    EXPECT_EQ(heap.GetStats().allocations, 0u);
    // With the system back, the heap serves again.
    void* p = heap.Allocate(100);
    ASSERT_NE(p, nullptr);
    heap.Free(p);
}
} // namespace
