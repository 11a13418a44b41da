// The debug heap: guards, allocation numbers, call stacks, exhaustion, addresses never reused.

#include "Core/Memory/DebugHeap.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <vector>

using namespace Morvex;

namespace
{
constexpr uint64 kReservation = uint64(64) << 20;

struct Blocks : HeapVisitor
{
    void OnBlock(void* block, uint64 size, uint16 tag) override
    {
        EXPECT_EQ(tag, kUntaggedBlock);
        seen.emplace_back(block, size);
    }
    std::vector<std::pair<void*, uint64>> seen;
};

uint32 FakeCapture(void** frames, uint32 capacity)
{
    for (uint32 i = 0; i < capacity && i < 3; ++i)
        frames[i] = reinterpret_cast<void*>(uintptr_t(0x1000 + i));
    return capacity < 3 ? capacity : 3;
}
} // namespace

TEST(DebugHeap, BlocksAreNumberedWalkedAndNeverReused)
{
    DebugHeap heap("Debug:test:1", kReservation);
    void* a = heap.Allocate(100);
    void* b = heap.Allocate(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(heap.GetAllocationNumber(a), 1u);
    EXPECT_EQ(heap.GetAllocationNumber(b), 2u);
    EXPECT_EQ(heap.Capacity(a), 100u);
    std::memset(a, 0x5A, 100);
    Blocks blocks;
    heap.Visit(blocks);
    EXPECT_EQ(blocks.seen.size(), 2u);
    EXPECT_EQ(heap.GetStats().used, 100u);

    Morvex::Test::AssertRecorder asserts;
    heap.Free(a, 100);
    EXPECT_EQ(asserts.Count(), 0u);
    void* c = heap.Allocate(100);
    EXPECT_NE(c, a) << "a freed address is never handed out again";
    EXPECT_FALSE(heap.Owns(a));
    heap.Free(b, 0);
    heap.Free(c, 0);
    EXPECT_EQ(heap.GetStats().used, 0u);
    EXPECT_EQ(heap.GetStats().frees, 3u);
}

TEST(DebugHeap, DamagedGuardsDoubleFreesAndForeignPointersAreCaught)
{
    DebugHeap heap("Debug:test:2", kReservation);
    Morvex::Test::AssertRecorder asserts;
    char* over = static_cast<char*>(heap.Allocate(24));
    over[32] = 1; // past the rounded payload, into the back guard
    char* under = static_cast<char*>(heap.Allocate(8));
    under[-1] = 1;
    EXPECT_EQ(heap.VerifyAll(), 2u);
    asserts.Clear();
    heap.Free(over, 0);
    EXPECT_EQ(asserts.Count(), 1u) << "the overrun is reported at the free";
    asserts.Clear();
    heap.Free(over, 0);
    EXPECT_EQ(asserts.Count(), 1u) << "a second free";
    int local = 0;
    asserts.Clear();
    heap.Free(&local, 0);
    EXPECT_EQ(asserts.Count(), 1u) << "a pointer of no block";
    asserts.Clear();
    heap.Free(under, 16);
    EXPECT_TRUE(asserts.Saw("size == 0 || sizeAligned == actualSize"));
}

TEST(DebugHeap, VerifyOnEveryAllocationAndCallStacks)
{
    DebugHeap heap("Debug:test:3", kReservation);
    Morvex::Test::AssertRecorder asserts;
    DebugHeap::SetStackCapture(FakeCapture);
    char* p = static_cast<char*>(heap.Allocate(16));
    DebugHeap::SetStackCapture(nullptr);
    void* frames[DebugHeap::kMaxFrames];
    ASSERT_EQ(heap.GetFrames(p, frames, DebugHeap::kMaxFrames), 3u);
    EXPECT_EQ(frames[2], reinterpret_cast<void*>(uintptr_t(0x1002)));
    p[16] = 0;
    DebugHeap::SetVerifyOnEveryAlloc(true);
    heap.Allocate(1);
    DebugHeap::SetVerifyOnEveryAlloc(false);
    EXPECT_EQ(asserts.Count(), 1u) << "the next allocation found the damage";
}

TEST(DebugHeap, AnExhaustedReservationIsReported)
{
    DebugHeap heap("Debug:test:4", 1 << 20);
    Morvex::Test::AssertRecorder asserts;
    EXPECT_EQ(heap.Allocate(2 << 20), nullptr);
    EXPECT_TRUE(asserts.Saw("ptr"));
    EXPECT_NE(heap.Allocate(1000), nullptr) << "what fits is still served";
}

// The pages of a freed block are gone: reading them faults instead of returning stale data.
TEST(DebugHeapDeathTest, AUseAfterFreeFaults)
{
    DebugHeap heap("Debug:test:5", kReservation);
    char* big = static_cast<char*>(heap.Allocate(64 << 10));
    big[20000] = 7;
    heap.Free(big, 0);
    EXPECT_EXIT(
        {
            volatile char c = big[20000];
            (void)c;
            std::_Exit(0);
        },
        // Ended by the fault, or by a sanitizer that reports the fault and exits: never a clean end.
        [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
}
