#include "Core/Memory/ThreadTempAllocator.h"

#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/String.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>

using namespace Morvex;
using Morvex::Test::AssertRecorder;

namespace
{
constexpr uint32 kPage = ThreadTempAllocator::kPageSize;

// Every test runs on a thread of its own, which starts without pages: positions are then exact.
template <typename F>
void OnFreshThread(F body)
{
    std::thread thread(body);
    thread.join();
}

MemoryTagRecord& TempTag()
{
    const char* name = "Core/ThreadTempAllocator";
    return *GMemoryTagSystem.load()->GetOrCreateTag(name, static_cast<uint32>(std::strlen(name)));
}

struct Charges
{
    uint64 used;
    uint32 allocs;
    uint32 deallocs;
};
Charges ReadCharges()
{
    MemoryTags::FlushThreadCharges();
    MemoryTagRecord& r = TempTag();
    return {r.used.load(), r.allocs.load(), r.deallocs.load()};
}
} // namespace

TEST(ThreadTempAllocator, LargeRequestsMoveToTheNextPageAndTheScopeRollsBack)
{
    OnFreshThread(
        []
        {
            {
                ThreadTempAllocator outer(MX_THREAD_TEMP_NAME);
                outer.Alloc(100, 16);
                const uint32 savedOffset = ThreadTempAllocator::GetThreadPageOffset();
                {
                    ThreadTempAllocator scope(MX_THREAD_TEMP_NAME);
                    auto* a = static_cast<char*>(scope.Alloc(40000, 16));
                    auto* b = static_cast<char*>(scope.Alloc(40000, 16));
                    std::memset(a, 1, 40000);
                    std::memset(b, 2, 40000);
                    EXPECT_EQ(ThreadTempAllocator::GetThreadNumPages(), 2u);
                    EXPECT_EQ(ThreadTempAllocator::GetThreadPageIndex(), 1u);
                    EXPECT_EQ(ThreadTempAllocator::GetThreadPageOffset(), 40000u);
                    EXPECT_EQ(scope.GetBytesRequested(), 80000u);
                }
                EXPECT_EQ(ThreadTempAllocator::GetThreadPageIndex(), 0u);
                EXPECT_EQ(ThreadTempAllocator::GetThreadPageOffset(), savedOffset);
                // The second page is kept and used again.
                ThreadTempAllocator again(MX_THREAD_TEMP_NAME);
                again.Alloc(kPage - 50, 16);
                EXPECT_EQ(ThreadTempAllocator::GetThreadNumPages(), 2u);
            }
            EXPECT_EQ(ThreadTempAllocator::GetThreadPageOffset(), 0u);
        });
}

TEST(ThreadTempAllocator, OversizedRequestsComeFromTheFallbackChargedToTheirTag)
{
    OnFreshThread(
        []
        {
            const Charges before = ReadCharges();
            {
                ThreadTempAllocator scope(MX_THREAD_TEMP_NAME);
                auto* big = static_cast<char*>(scope.Alloc(70000, 16));
                std::memset(big, 3, 70000);
                auto* aligned = static_cast<char*>(scope.Alloc(kPage + 1, 256));
                EXPECT_EQ(reinterpret_cast<uintptr_t>(aligned) % 256, 0u);
                std::memset(aligned, 4, kPage + 1);
                EXPECT_EQ(ThreadTempAllocator::GetThreadPageOffset(), 0u) << "the pages were not touched";
                const Charges during = ReadCharges();
                EXPECT_EQ(during.allocs, before.allocs + 2);
                EXPECT_GE(during.used, before.used + 70000 + kPage + 1);
            }
            const Charges after = ReadCharges();
            EXPECT_EQ(after.used, before.used);
            EXPECT_EQ(after.deallocs, before.deallocs + 2);
        });
}

// Size 0 used to fail "state.value > m_currentState": the position did not move.
TEST(ThreadTempAllocator, EmptyRequestsGetDistinctAddresses)
{
    OnFreshThread(
        []
        {
            AssertRecorder asserts;
            ThreadTempAllocator scope(MX_THREAD_TEMP_NAME);
            std::set<void*> seen;
            for (size_t alignment : {1, 1, 16, 16, 8})
                EXPECT_TRUE(seen.insert(scope.Alloc(0, alignment)).second);
            void* after = scope.Alloc(16, 16);
            EXPECT_EQ(seen.count(after), 0u);
            EXPECT_EQ(asserts.Count(), 0u);
        });
}

TEST(ThreadTempAllocator, AnOuterAllocationKeepsTheInnerScopeFromRollingBack)
{
    OnFreshThread(
        []
        {
            ThreadTempAllocator outer(MX_THREAD_TEMP_NAME);
            char* before = static_cast<char*>(outer.Alloc(64, 16));
            char* kept;
            {
                ThreadTempAllocator inner(MX_THREAD_TEMP_NAME);
                inner.Alloc(128, 16);
                kept = static_cast<char*>(outer.Alloc(64, 16));
                std::memcpy(kept, "outer", 6);
            }
            // The outer block is intact and the next one comes after it.
            EXPECT_STREQ(kept, "outer");
            char* next = static_cast<char*>(outer.Alloc(16, 16));
            EXPECT_GT(next, kept);
            {
                ThreadTempAllocator inner(MX_THREAD_TEMP_NAME);
                char* p = static_cast<char*>(inner.Alloc(32, 16));
                EXPECT_GT(p, next);
            }
            // Without an outer allocation the inner scope rolls back exactly.
            EXPECT_EQ(static_cast<char*>(outer.Alloc(16, 16)), next + 16);
            EXPECT_GT(next, before);
        });
}

TEST(ThreadTempAllocator, ScopesEndedOutOfOrderAssertAndReleaseTogether)
{
    OnFreshThread(
        []
        {
            AssertRecorder asserts;
            const uint32 start = ThreadTempAllocator::GetThreadPageOffset();
            auto* outer = new ThreadTempAllocator(MX_THREAD_TEMP_NAME);
            outer->Alloc(1000, 16);
            {
                ThreadTempAllocator inner(MX_THREAD_TEMP_NAME);
                inner.Alloc(1000, 16);
                delete outer; // ends before the scope inside it
                EXPECT_EQ(asserts.Count(), 1u);
                inner.Alloc(1000, 16);
            }
            EXPECT_EQ(ThreadTempAllocator::GetThreadPageOffset(), start) << "both scopes' memory is released";
            ThreadTempAllocator next(MX_THREAD_TEMP_NAME);
            next.Alloc(10, 16);
            EXPECT_EQ(asserts.Count(), 1u);
        });
}

TEST(ThreadTempAllocator, UsedUpPagesFallBackAndTheThreadsEndReleasesThem)
{
    const uint32 pagesBefore = ThreadTempAllocator::GetNumPages();
    OnFreshThread(
        []
        {
            const Charges before = ReadCharges();
            ThreadTempAllocator scope(MX_THREAD_TEMP_NAME);
            for (uint32 i = 0; i < ThreadTempAllocator::kMaxPages; ++i)
                scope.Alloc(40000, 16);
            EXPECT_EQ(ThreadTempAllocator::GetThreadNumPages(), ThreadTempAllocator::kMaxPages);
            EXPECT_EQ(ReadCharges().allocs, before.allocs);
            void* more = scope.Alloc(40000, 16); // no 33rd page
            std::memset(more, 5, 40000);
            EXPECT_EQ(ReadCharges().allocs, before.allocs + 1);
            EXPECT_EQ(ThreadTempAllocator::GetThreadNumPages(), ThreadTempAllocator::kMaxPages);
        });
    EXPECT_EQ(ThreadTempAllocator::GetNumPages(), pagesBefore);
}

TEST(ThreadTempAllocator, ServesContainersUntilTheScopeEnds)
{
    OnFreshThread(
        []
        {
            const Charges before = ReadCharges();
            {
                ThreadTempAllocator scope(MX_THREAD_TEMP_NAME);
                String text;
                text.SetAllocator(&scope);
                for (int i = 0; i < 20000; ++i)
                    text.Append("0123456789", 10);
                EXPECT_EQ(text.length(), 200000u);
                EXPECT_EQ(std::memcmp(text.data() + 199990, "0123456789", 10), 0);
            }
            const Charges after = ReadCharges();
            EXPECT_GT(after.allocs, before.allocs) << "growth past a page used the fallback";
            EXPECT_EQ(after.used, before.used);
            EXPECT_EQ(after.allocs - before.allocs, after.deallocs - before.deallocs);
            ThreadTempAllocator::ReleaseThreadPages();
            EXPECT_EQ(ThreadTempAllocator::GetThreadNumPages(), 0u);
        });
}
