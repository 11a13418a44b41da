#include "Core/Memory/TempHeap.h"

#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/Memory/Tlsf.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
double GNow = 0.0;
double TestClock()
{
    return GNow;
}

struct ArenaVisitor final : HeapVisitor
{
    uint8* arena = nullptr;
    uint64 arenaSize = 0;
    uint64 blocks = 0;
    uint64 bytes = 0;
    void OnSuperchunk(void* base, uint64 size) override
    {
        arena = static_cast<uint8*>(base);
        arenaSize = size;
    }
    void OnBlock(void*, uint64 size, uint16) override
    {
        ++blocks;
        bytes += size;
    }
};

class TempHeapTest : public testing::Test
{
protected:
    TempHeapTest()
    {
        heap.SetClock(&TestClock);
        GNow = 0.0;
        heap.InitArena();
        ArenaVisitor visitor;
        heap.Visit(visitor);
        arena = visitor.arena;
    }
    ~TempHeapTest() override
    {
        for (void* p : live)
            heap.Free(p, 0);
        heap.ShutdownArena();
    }
    bool InArena(const void* p) const
    {
        return static_cast<const uint8*>(p) >= arena &&
               static_cast<const uint8*>(p) < arena + TempHeap::kArenaSize;
    }
    // Allocates blocks of `size` until one comes from outside the arena; returns how many fitted.
    uint32 FillArena(size_t size)
    {
        uint32 fitted = 0;
        for (;;)
        {
            void* p = heap.Alloc(size);
            live.push_back(p);
            if (!InArena(p))
                return fitted;
            ++fitted;
        }
    }

    TempHeap heap{"Temp:TempHeapTests.cpp:1"};
    uint8* arena = nullptr;
    std::vector<void*> live;
};

TEST_F(TempHeapTest, ArenaComesFromVirtualMemoryAndIsReservedWhole)
{
    ASSERT_NE(arena, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(arena) % 65536, 0u);
    EXPECT_EQ(heap.GetStats().reserved, TempHeap::kArenaSize);
    EXPECT_EQ(heap.GetStats().used, 0u);
}

TEST_F(TempHeapTest, FillsTheArenaThenFallsBackWithOneWarningPerFiveSeconds)
{
    CapturingSink sink;
    // The clock reads 0 at the first exhaustion: it must warn all the same.
    const uint32 fitted = FillArena(1000);
    EXPECT_EQ(fitted, (TempHeap::kArenaSize - Tlsf::kPoolOverhead) / (1008 + Tlsf::kBlockOverhead));
    EXPECT_EQ(heap.GetStats().used, fitted * 1008u);
    EXPECT_EQ(sink.CountContaining(
                  "TempHeap exhausted: allocation request 1000 bytes, used 125 kB, reserved 128 kB"),
              1u);
    EXPECT_TRUE(sink.Contains(Log::Warning, "TempHeap exhausted"));

    GNow = 4.9;
    live.push_back(heap.Alloc(2000));
    EXPECT_FALSE(InArena(live.back()));
    EXPECT_EQ(sink.CountContaining("TempHeap exhausted"), 1u);
    GNow = 5.1;
    live.push_back(heap.Alloc(3000));
    EXPECT_EQ(sink.CountContaining("TempHeap exhausted"), 2u);
    EXPECT_TRUE(sink.Contains("TempHeap exhausted: allocation request 2 kB"));
}

TEST_F(TempHeapTest, FreeRoutesByAddress)
{
    // A size on a list boundary, so that the freed block is the first fit for the same request.
    FillArena(4096);
    void* fallback = live.back();
    void* inArena = live.front();
    live.erase(live.begin());
    live.pop_back();
    ASSERT_FALSE(InArena(fallback));
    const MemoryHeapStats before = heap.GetStats();
    heap.Free(fallback, 4096); // to the global heap: the arena's figures do not move
    EXPECT_EQ(heap.GetStats().used, before.used);
    EXPECT_EQ(heap.GetStats().frees, before.frees);
    heap.Free(inArena, 4096);
    EXPECT_EQ(heap.GetStats().used, before.used - 4096);
    EXPECT_EQ(heap.GetStats().frees, before.frees + 1);
    heap.Free(nullptr, 0);
    // The freed room is used again.
    void* again = heap.Alloc(4096);
    EXPECT_EQ(again, inArena);
    live.push_back(again);
}

TEST_F(TempHeapTest, ZeroSizeAndAlignment)
{
    for (size_t size : {0, 1, 15, 16, 17, 33, 100, 4095})
    {
        void* p = heap.Alloc(size);
        EXPECT_TRUE(InArena(p));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        live.push_back(p);
    }
    EXPECT_EQ(heap.GetStats().allocations, 8u);
}

TEST_F(TempHeapTest, BadFreesInTheArenaAreRefused)
{
    AssertRecorder recorder;
    auto* p = static_cast<uint8*>(heap.Alloc(256));
    void* q = heap.Alloc(256);
    live.push_back(q);
    heap.Free(p + 16, 0);
    EXPECT_EQ(recorder.Count(), 1u);
    heap.Free(p, 256);
    heap.Free(p, 256);
    EXPECT_EQ(recorder.Count(), 2u);
    EXPECT_EQ(heap.GetStats().used, 256u);
    void* a = heap.Alloc(256);
    void* b = heap.Alloc(256);
    EXPECT_NE(a, b);
    live.push_back(a);
    live.push_back(b);
}

TEST_F(TempHeapTest, ShutdownWithLiveBlocksIsReportedAndKeepsThemValid)
{
    AssertRecorder recorder;
    void* p = heap.Alloc(64);
    heap.ShutdownArena();
    EXPECT_TRUE(recorder.Saw("m_stats.used == 0"));
    EXPECT_EQ(heap.GetStats().reserved, TempHeap::kArenaSize);
    heap.Free(p, 64);
    EXPECT_EQ(heap.GetStats().used, 0u);
    // The fixture's shutdown now succeeds.
}

TEST_F(TempHeapTest, RandomOperationsMatchAModel)
{
    struct Live
    {
        size_t size;
        uint8 fill;
    };
    std::map<uint8*, Live> model;
    std::mt19937 random(83);
    auto intact = [](const uint8* p, size_t size, uint8 value)
    {
        for (size_t i = 0; i < size; ++i)
            if (p[i] != value)
                return false;
        return true;
    };
    AssertRecorder recorder;
    for (int op = 0; op < 20000; ++op)
    {
        if (random() % 2 == 0 || model.empty())
        {
            const size_t size = random() % 5000;
            auto* p = static_cast<uint8*>(heap.Alloc(size));
            ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
            ASSERT_EQ(model.count(p), 0u);
            const uint8 value = static_cast<uint8>(random());
            std::memset(p, value, size);
            model[p] = {size, value};
        }
        else
        {
            auto it = model.begin();
            std::advance(it, random() % model.size());
            ASSERT_TRUE(intact(it->first, it->second.size, it->second.fill));
            heap.Free(it->first, it->second.size);
            model.erase(it);
        }
        if (op % 1000 == 999)
        {
            ArenaVisitor visitor;
            heap.Visit(visitor);
            uint64 inArena = 0;
            for (const auto& [p, live] : model)
                inArena += InArena(p) ? 1 : 0;
            EXPECT_EQ(visitor.blocks, inArena);
            EXPECT_EQ(visitor.bytes, heap.GetStats().used);
            EXPECT_LE(heap.GetStats().used + heap.GetStats().overhead, TempHeap::kArenaSize);
        }
    }
    for (const auto& [p, live] : model)
        heap.Free(p, live.size);
    EXPECT_EQ(heap.GetStats().used, 0u);
    EXPECT_EQ(recorder.Count(), 0u);
    // Everything joined again: the whole arena is one block.
    void* whole = heap.Alloc(TempHeap::kArenaSize - Tlsf::kPoolOverhead);
    EXPECT_EQ(whole, arena + Tlsf::kBlockOverhead);
    live.push_back(whole);
}
} // namespace
