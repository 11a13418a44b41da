#include "Core/Memory/PlatformVirtualMemory.h"

#include "Core/Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
constexpr size_t kGranularity = 65536;
uint32 GTerminations = 0;

TEST(PlatformVirtualMemory, Constants)
{
    const PlatformVirtualMemoryConstants constants = PlatformVirtualMemory::GetConstants();
    EXPECT_EQ(constants.m_allocationGranularity, kGranularity);
    EXPECT_EQ(constants.m_pageSize, static_cast<uint32>(sysconf(_SC_PAGESIZE)));
}

TEST(PlatformVirtualMemory, BlocksAreAlignedZeroedAndCounted)
{
    const PlatformVirtualMemoryStats before = PlatformVirtualMemory::GetStats();
    const size_t sizes[] = {kGranularity, 3 * kGranularity, 4 << 20};
    void* blocks[3];
    size_t total = 0;
    for (int i = 0; i < 3; ++i)
    {
        auto* p = static_cast<uint8*>(PlatformVirtualMemory::Allocate(sizes[i]));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kGranularity, 0u);
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[sizes[i] - 1], 0);
        std::memset(p, 0xAB, sizes[i]);
        blocks[i] = p;
        total += sizes[i];
    }
    PlatformVirtualMemoryStats stats = PlatformVirtualMemory::GetStats();
    EXPECT_EQ(stats.m_allocated, before.m_allocated + total);
    EXPECT_EQ(stats.m_liveCount, before.m_liveCount + 3);
    EXPECT_EQ(stats.m_totalCount, before.m_totalCount + 3);
    EXPECT_GE(stats.m_peak, stats.m_allocated);
    for (int i = 0; i < 3; ++i)
        PlatformVirtualMemory::Free(blocks[i], sizes[i]);
    PlatformVirtualMemory::Free(nullptr, kGranularity);
    stats = PlatformVirtualMemory::GetStats();
    EXPECT_EQ(stats.m_allocated, before.m_allocated);
    EXPECT_EQ(stats.m_liveCount, before.m_liveCount);
    EXPECT_EQ(stats.m_totalCount, before.m_totalCount + 3);
}

TEST(PlatformVirtualMemory, AHintIsHonouredExactlyOrFails)
{
    void* first = PlatformVirtualMemory::Allocate(kGranularity * 2);
    ASSERT_NE(first, nullptr);
    PlatformVirtualMemory::Free(first, kGranularity * 2);
    PlatformVirtualMemoryExtra extra;
    extra.m_base = first;
    void* again = PlatformVirtualMemory::Allocate(kGranularity * 2, extra);
    EXPECT_EQ(again, first);

    // The place is taken now: the request fails rather than landing elsewhere.
    PlatformVirtualMemory::TestHooks hooks;
    hooks.terminate = [] { ++GTerminations; };
    const PlatformVirtualMemory::TestHooks previous = PlatformVirtualMemory::SetTestHooks(hooks);
    GTerminations = 0;
    CapturingSink sink;
    void* taken = PlatformVirtualMemory::Allocate(kGranularity, extra);
    PlatformVirtualMemory::SetTestHooks(previous);
    EXPECT_EQ(taken, nullptr);
    EXPECT_EQ(GTerminations, 1u);
    EXPECT_TRUE(sink.Contains(Log::Fatal, "failed to allocate 64 kB block"));
    PlatformVirtualMemory::Free(again, kGranularity * 2);
}

TEST(PlatformVirtualMemory, SizesAndHintsOffTheGranularityAreAsserted)
{
    struct Case
    {
        size_t size;
        uintptr_t hint;
        const char* assertion;
    };
    const Case cases[] = {
        {4096, 0, "size >= constants.m_allocationGranularity"},
        {kGranularity + 4096, 0, "(size % constants.m_allocationGranularity) == 0"},
        {kGranularity, 0x7F0000001000, "((uintptr_t)extra.m_base % constants.m_allocationGranularity) == 0"},
    };
    PlatformVirtualMemory::TestHooks hooks;
    hooks.terminate = [] { ++GTerminations; };
    const PlatformVirtualMemory::TestHooks previous = PlatformVirtualMemory::SetTestHooks(hooks);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.assertion);
        AssertRecorder recorder;
        CapturingSink sink;
        GTerminations = 0;
        PlatformVirtualMemoryExtra extra;
        extra.m_base = reinterpret_cast<void*>(c.hint);
        EXPECT_EQ(PlatformVirtualMemory::Allocate(c.size, extra), nullptr);
        EXPECT_TRUE(recorder.Saw(c.assertion));
        // The refused request goes the out-of-memory way rather than to the system.
        EXPECT_EQ(GTerminations, 1u);
    }
    PlatformVirtualMemory::SetTestHooks(previous);
}

void PrintCallbackMark()
{
    std::fputs("out-of-memory callback\n", stderr);
}

TEST(PlatformVirtualMemory, ExhaustionLogsCallsBackAndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            ConsoleSink console;
            Log::AddSink(&console, Log::kMaskAll);
            PlatformVirtualMemory::Init(&PrintCallbackMark);
            // No system maps 2^62 bytes.
            PlatformVirtualMemory::Allocate(size_t(1) << 62);
        },
        testing::ExitedWithCode(134),
        "FATAL  : ================== Out of memory ¯\\\\_\\(⊙︿⊙\\)_/¯ ==================\n"
        "FATAL  : \n"
        "FATAL  : PlatformVirtualMemory::Allocate\\(\\) failed to allocate 4294967296 GB block\n"
        "out-of-memory callback\n");
}
} // namespace
