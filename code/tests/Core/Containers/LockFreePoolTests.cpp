#include "Core/Containers/LockFreePool.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
constexpr uint32 kBundle = LockFree::Constants::kNumObjectsInBundle;

// An object of the pools below: its state word sits after the 8 bytes a free object lends to the
// free list.
struct Object
{
    uint64 freeListWord;
    std::atomic<uint32> state;
    uint32 owner;
};
constexpr uint32 kFree = 0;
constexpr uint32 kLive = 0xA11CE;
} // namespace

TEST(LockFreePool, ObjectsAreDistinctAlignedAndReused)
{
    LockFreePool pool(20, 1000, 64, "test");
    EXPECT_EQ(pool.GetObjectSize(), 24u);
    std::vector<void*> objects;
    for (uint32 i = 0; i < 40; ++i)
    {
        void* p = pool.Alloc();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
        std::memset(p, 0xCD, 24);
        objects.push_back(p);
    }
    std::sort(objects.begin(), objects.end());
    EXPECT_EQ(std::adjacent_find(objects.begin(), objects.end()), objects.end());
    EXPECT_EQ(pool.GetNumAllocatedBundles(), 2u);
    for (void* p : objects)
        pool.Free(p);
    // What was freed last comes back first, from the calling thread's cache.
    void* again = pool.Alloc();
    EXPECT_EQ(again, objects.back());
    pool.Free(again);
    pool.FlushCallingThread();
    EXPECT_EQ(pool.GetNumUsedBundles(), 0u);
    EXPECT_EQ(pool.CountFreeObjects(), 2 * kBundle);
}

TEST(LockFreePool, HoldsItsStatedMaximumAndThenAsserts)
{
    AssertRecorder asserts;
    LockFreePool pool(8, 3 * kBundle, kBundle, "full");
    std::vector<void*> objects;
    for (uint32 i = 0; i < 3 * kBundle; ++i)
        objects.push_back(pool.Alloc());
    EXPECT_EQ(std::count(objects.begin(), objects.end(), nullptr), 0);
    EXPECT_EQ(asserts.Count(), 0u);
    EXPECT_EQ(pool.Alloc(), nullptr);
    EXPECT_TRUE(asserts.Saw("firstItem + count <= m_maxTotalItems"));
    for (void* p : objects)
        pool.Free(p);
}

TEST(LockFreePool, DestroyedWhileABundleIsInUseAssertsAndReports)
{
    AssertRecorder asserts;
    CapturingSink sink;
    {
        LockFreePool pool(16, 1000, 64, "leaky");
        pool.Free(pool.Alloc());
        pool.Alloc();
    }
    EXPECT_TRUE(asserts.Saw("m_numUsedBundles.load(std::memory_order_acquire) == 0"));
    EXPECT_TRUE(sink.Contains(Log::Error, "LockFreePool 'leaky': 1 objects still alive"));
}

TEST(LockFreePool, NullFreeAssertsAndDoesNothing)
{
    AssertRecorder asserts;
    LockFreePool pool(16, 100, 32, "null");
    pool.Free(nullptr);
    EXPECT_TRUE(asserts.Saw("p"));
    EXPECT_EQ(pool.GetNumUsedBundles(), 0u);
}

// A thread that exits with a partial bundle hands its objects to the global partial bundle; a bundle
// freed whole on another thread goes back on the stack. Nothing stays in use.
TEST(LockFreePool, ThreadExitReturnsEveryObject)
{
    LockFreePool pool(16, 10000, 256, "exit");
    std::vector<void*> objects;
    std::thread(
        [&]
        {
            for (uint32 i = 0; i < 45; ++i)
                objects.push_back(pool.Alloc());
        })
        .join();
    std::thread(
        [&]
        {
            for (void* p : objects)
                pool.Free(p);
        })
        .join();
    EXPECT_EQ(pool.GetNumUsedBundles(), 0u);
    EXPECT_EQ(pool.CountFreeObjects(), 2 * kBundle);
}

// More pools than per-thread cache slots: the extra ones work through the global lock.
TEST(LockFreePool, PoolsBeyondTheCacheSlotsStillWork)
{
    std::vector<std::unique_ptr<LockFreePool>> pools;
    for (uint32 i = 0; i < LockFree::ThreadCacheOwner::kMaxOwners + 2; ++i)
        pools.push_back(std::make_unique<LockFreePool>(16, 1000, 64, "many"));
    for (auto& pool : pools)
    {
        std::vector<void*> objects;
        for (int i = 0; i < 70; ++i)
            objects.push_back(pool->Alloc());
        std::thread(
            [&]
            {
                for (void* p : objects)
                    pool->Free(p);
            })
            .join();
    }
    AssertRecorder asserts;
    pools.clear();
    EXPECT_EQ(asserts.Count(), 0u);
}

class LockFreePoolStress : public testing::TestWithParam<int>
{
};

// Producers allocate objects and hand them to consumers through a lock-free list; consumers check
// and free them. No object is ever handed to two owners, and every bundle comes back. Producers keep
// at most kMaxInFlight objects ahead of the consumers: on a loaded machine the consumers may not run
// for a while, and without a bound the producers would exhaust the pool's capacity.
TEST_P(LockFreePoolStress, NoObjectIsHandedOutTwice)
{
    const int threads = GetParam();
    const int producers = threads / 2;
    const int consumers = threads - producers;
    constexpr int kPerProducer = 20000;
    constexpr int kMaxInFlight = 8192;
    LockFreePool pool(sizeof(Object), 1 << 16, 1024, "stress");
    LockFreeList handover;
    std::atomic<int> produced{0};
    std::atomic<int> received{0};
    std::atomic<int> doubles{0};
    std::vector<std::thread> all;
    for (int p = 0; p < producers; ++p)
        all.emplace_back(
            [&, p]
            {
                for (int i = 0; i < kPerProducer; ++i)
                {
                    while (produced.load(std::memory_order_relaxed) -
                               received.load(std::memory_order_relaxed) >=
                           kMaxInFlight)
                        std::this_thread::yield();
                    auto* object = static_cast<Object*>(pool.Alloc());
                    ASSERT_NE(object, nullptr);
                    if (object->state.exchange(kLive, std::memory_order_relaxed) == kLive)
                        doubles.fetch_add(1);
                    object->owner = static_cast<uint32>(p);
                    uint32 link = LockFree::AllocLink();
                    LockFree::GetLink(link).m_payload = reinterpret_cast<uint64>(object);
                    handover.Push(link);
                    produced.fetch_add(1, std::memory_order_relaxed);
                    // Some objects stay with their producer for a moment, to mix the bundles.
                    if (i % 7 == 0)
                    {
                        auto* own = static_cast<Object*>(pool.Alloc());
                        if (own->state.exchange(kLive, std::memory_order_relaxed) == kLive)
                            doubles.fetch_add(1);
                        own->state.store(kFree, std::memory_order_relaxed);
                        pool.Free(own);
                    }
                }
            });
    for (int c = 0; c < consumers; ++c)
        all.emplace_back(
            [&]
            {
                while (received.load(std::memory_order_relaxed) < producers * kPerProducer)
                {
                    uint32 link = handover.Pop();
                    if (link == 0)
                    {
                        std::this_thread::yield();
                        continue;
                    }
                    auto* object = reinterpret_cast<Object*>(LockFree::GetLink(link).m_payload);
                    LockFree::FreeLink(link);
                    if (object->state.load(std::memory_order_relaxed) != kLive)
                        doubles.fetch_add(1);
                    object->state.store(kFree, std::memory_order_relaxed);
                    pool.Free(object);
                    received.fetch_add(1, std::memory_order_relaxed);
                }
            });
    for (auto& t : all)
        t.join();
    EXPECT_EQ(doubles.load(), 0);
    pool.FlushCallingThread();
    EXPECT_EQ(pool.GetNumUsedBundles(), 0u);
    EXPECT_EQ(pool.CountFreeObjects(), pool.GetNumAllocatedBundles() * kBundle);
}

INSTANTIATE_TEST_SUITE_P(Threads, LockFreePoolStress, testing::Values(2, 4, 8));
