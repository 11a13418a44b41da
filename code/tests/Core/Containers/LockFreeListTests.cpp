#include "Core/Containers/LockFreeList.h"
#include "Core/Containers/LockFreeOnceIndexedPagedAllocator.h"

#include "LockFreeTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace Morvex;
using LockFree::EListOp;
using LockFree::EStallPoint;
using LockFree::GetLink;
using LockFree::LinksManager;
using Morvex::Test::AssertRecorder;
using Morvex::Test::ListParker;

namespace
{
std::vector<uint32> Chain(uint32 first)
{
    std::vector<uint32> links;
    for (uint32 link = first; link; link = GetLink(link).m_next.load())
        links.push_back(link);
    return links;
}

std::vector<uint32> Drain(LockFreeList& list)
{
    std::vector<uint32> links;
    while (uint32 link = list.Pop())
        links.push_back(link);
    return links;
}

void FreeAll(const std::vector<uint32>& links)
{
    for (uint32 link : links)
        LockFree::FreeLink(link);
}
} // namespace

// --- Paged allocator --------------------------------------------------------------------------------

TEST(LockFreePagedAllocator, IndicesStartAtOneAndFollowEachOther)
{
    LockFreeOnceIndexedPagedAllocator allocator(16, 1024, 64);
    EXPECT_EQ(allocator.Alloc(3), 1u);
    EXPECT_EQ(allocator.Alloc(1), 4u);
    // Items keep their memory and their place: consecutive items of a page are element-size apart.
    auto* first = static_cast<uint8*>(allocator.GetItem(1));
    EXPECT_EQ(static_cast<uint8*>(allocator.GetItem(3)), first + 32);
    EXPECT_EQ(allocator.GetItem(4), allocator.GetItem(4));
}

// A range that ends at a page boundary makes no page for the item after it; at the end of the
// capacity that page would lie past the page array (address sanitizer builds report the write).
TEST(LockFreePagedAllocator, RangeEndingAtAPageBoundaryMakesNoPageBeyondIt)
{
    struct Case
    {
        uint32 itemsPerPage;
        uint32 maxItems;
        std::vector<uint32> counts;
        uint32 pages;
    };
    const Case cases[] = {
        {4, 64, {3}, 1},      // items 1-3: page 0 only
        {4, 64, {3, 4}, 2},   // items 4-7: page 1 only
        {4, 8, {3, 4}, 2},    // the last item of the capacity ends the last page
        {4, 8, {7}, 2},       // one range over both pages
        {1, 4, {1, 1, 1}, 3}, // one item per page
        {16, 17, {16}, 2},    // items 1-16 cross into the last page
        {0x4000, 0x8000, {0x3FFF, 64}, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.itemsPerPage << " per page, " << c.maxItems << " items");
        LockFreeOnceIndexedPagedAllocator allocator(8, c.maxItems, c.itemsPerPage);
        uint32 next = 1;
        for (uint32 count : c.counts)
        {
            uint32 first = allocator.Alloc(count);
            ASSERT_EQ(first, next);
            for (uint32 i = first; i < first + count; ++i)
                *static_cast<uint64*>(allocator.GetItem(i)) = i; // each item is usable memory
            next += count;
        }
        EXPECT_EQ(allocator.GetNumPages(), c.pages);
    }
}

TEST(LockFreePagedAllocator, ExhaustionAssertsAndHandsOutNothing)
{
    AssertRecorder asserts;
    LockFreeOnceIndexedPagedAllocator allocator(8, 8, 4);
    EXPECT_EQ(allocator.Alloc(7), 1u);
    EXPECT_EQ(allocator.Alloc(1), 0u);
    EXPECT_TRUE(asserts.Saw("firstItem + count <= m_maxTotalItems"));
    EXPECT_EQ(allocator.GetNumPages(), 2u);
}

TEST(LockFreePagedAllocator, BrokenShapesAssertAndStaySafe)
{
    AssertRecorder asserts;
    LockFreeOnceIndexedPagedAllocator allocator(16, 100, 12);
    EXPECT_TRUE(asserts.Saw("IsPowerOfTwo(m_itemsPerPage)"));
    EXPECT_EQ(allocator.GetItemsPerPage(), 16u);
    uint32 first = allocator.Alloc(40);
    ASSERT_EQ(first, 1u);
    *static_cast<uint64*>(allocator.GetItem(40)) = 1;
}

TEST(LockFreePagedAllocator, ConcurrentAllocationsGetDistinctItemsOnSharedPages)
{
    LockFreeOnceIndexedPagedAllocator allocator(8, 1 << 16, 256);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < kPerThread; ++i)
                {
                    uint32 index = allocator.Alloc(3);
                    for (uint32 k = 0; k < 3; ++k)
                        *static_cast<uint64*>(allocator.GetItem(index + k)) = index + k;
                }
            });
    for (auto& t : threads)
        t.join();
    for (uint32 i = 1; i <= kThreads * kPerThread * 3; ++i)
        ASSERT_EQ(*static_cast<uint64*>(allocator.GetItem(i)), i);
    EXPECT_EQ(allocator.GetNumPages(), (kThreads * kPerThread * 3 + 1 + 255) / 256u);
}

// --- Stacks and closable lists ----------------------------------------------------------------------

TEST(LockFreeList, StackIsLastInFirstOutAndClearsPoppedLinks)
{
    LockFreeList list;
    EXPECT_EQ(list.Pop(), 0u);
    uint32 a = LockFree::AllocLink(), b = LockFree::AllocLink(), c = LockFree::AllocLink();
    GetLink(b).m_payload = 42;
    for (uint32 link : {a, b, c})
        list.Push(link);
    EXPECT_FALSE(list.IsEmpty());
    EXPECT_EQ(list.Pop(), c);
    uint32 popped = list.Pop();
    EXPECT_EQ(popped, b);
    EXPECT_EQ(GetLink(b).m_next.load(), 0u);
    EXPECT_EQ(GetLink(b).m_payload, 42u);
    EXPECT_EQ(list.Pop(), a);
    EXPECT_TRUE(list.IsEmpty());
    FreeAll({a, b, c});
}

TEST(LockFreeList, PushOntoAClosedListFailsAndLeavesTheLinkWithTheCaller)
{
    LockFreeClosableList list;
    EXPECT_FALSE(list.IsClosed());
    EXPECT_EQ(list.PopAllAndClose(), 0u);
    EXPECT_TRUE(list.IsClosed());
    uint32 link = LockFree::AllocLink();
    GetLink(link).m_payload = 7;
    EXPECT_FALSE(list.PushIfNotClosed(link));
    EXPECT_EQ(GetLink(link).m_next.load(), 0u);
    EXPECT_EQ(GetLink(link).m_payload, 7u);
    EXPECT_EQ(list.PopAllAndClose(), 0u);
    LockFree::FreeLink(link);
}

TEST(LockFreeList, PopAllAndCloseReturnsTheChainLastInFirst)
{
    LockFreeClosableList list;
    uint32 a = LockFree::AllocLink(), b = LockFree::AllocLink(), c = LockFree::AllocLink();
    for (uint32 link : {a, b, c})
        EXPECT_TRUE(list.PushIfNotClosed(link));
    std::vector<uint32> chain = Chain(list.PopAllAndClose());
    EXPECT_EQ(chain, (std::vector<uint32>{c, b, a}));
    EXPECT_TRUE(list.IsClosed());
    FreeAll(chain);
}

TEST(LockFreeList, ClosableListDestroyedOpenAndNotEmptyAsserts)
{
    AssertRecorder asserts;
    uint32 link = LockFree::AllocLink();
    {
        LockFreeClosableList list;
        list.PushIfNotClosed(link);
    }
    EXPECT_TRUE(asserts.Saw("m_root.IsClosed() || !m_root.PopAllAndClose()"));
    {
        LockFreeClosableList emptyOpen;
    }
    EXPECT_EQ(asserts.Count(), 1u);
    LockFree::FreeLink(link);
}

// Each case parks a thread between its read of the head and its compare-and-swap, changes the list
// from the test's thread, lets the parked thread finish, and checks the outcome of both.
TEST(LockFreeList, OperationsStalledBeforeTheirCompareAndSwapSeeTheChange)
{
    struct Lists
    {
        LockFreeList stack;
        LockFreeClosableList closable;
        uint32 a = 0, b = 0, c = 0, x = 0;
        uint32 parkedResult = 0;
        uint32 otherResult = 0;
        std::vector<uint32> leftovers; // links the case hands back at its end
    };
    struct Case
    {
        const char* name;
        EListOp op;
        std::function<void(Lists&)> setup;
        std::function<void(Lists&)> parked;
        std::function<void(Lists&)> interfere;
        std::function<void(Lists&)> check;
    };
    const Case cases[] = {
        {"pop after an A-B-A change of the top", EListOp::kPop,
         [](Lists& l)
         {
             for (uint32 link : {l.c, l.b, l.a})
                 l.stack.Push(link);
         },
         [](Lists& l) { l.parkedResult = l.stack.Pop(); },
         [](Lists& l)
         {
             // Same top index as the parked thread read, but B is gone: without the change counter
             // its compare-and-swap would succeed and put B back on top.
             EXPECT_EQ(l.stack.Pop(), l.a);
             l.otherResult = l.stack.Pop();
             EXPECT_EQ(l.otherResult, l.b);
             l.stack.Push(l.a);
         },
         [](Lists& l)
         {
             EXPECT_EQ(l.parkedResult, l.a);
             EXPECT_EQ(Drain(l.stack), (std::vector<uint32>{l.c}));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"pop of a list emptied meanwhile", EListOp::kPop, [](Lists& l) { l.stack.Push(l.a); },
         [](Lists& l) { l.parkedResult = l.stack.Pop(); }, [](Lists& l) { EXPECT_EQ(l.stack.Pop(), l.a); },
         [](Lists& l)
         {
             EXPECT_EQ(l.parkedResult, 0u);
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"push after a pop", EListOp::kPush,
         [](Lists& l)
         {
             for (uint32 link : {l.c, l.b, l.a})
                 l.stack.Push(link);
         },
         [](Lists& l) { l.stack.Push(l.x); }, [](Lists& l) { EXPECT_EQ(l.stack.Pop(), l.a); },
         [](Lists& l)
         {
             EXPECT_EQ(Drain(l.stack), (std::vector<uint32>{l.x, l.b, l.c}));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"push if not closed after a close", EListOp::kPushIfNotClosed,
         [](Lists& l) { l.closable.PushIfNotClosed(l.a); },
         [](Lists& l) { l.parkedResult = l.closable.PushIfNotClosed(l.x); },
         [](Lists& l) { l.otherResult = l.closable.PopAllAndClose(); },
         [](Lists& l)
         {
             EXPECT_EQ(l.parkedResult, 0u); // failed: the link is still the caller's
             EXPECT_EQ(Chain(l.otherResult), (std::vector<uint32>{l.a}));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"push if not closed after another push", EListOp::kPushIfNotClosed,
         [](Lists& l) { l.closable.PushIfNotClosed(l.a); },
         [](Lists& l) { l.parkedResult = l.closable.PushIfNotClosed(l.x); },
         [](Lists& l) { EXPECT_TRUE(l.closable.PushIfNotClosed(l.b)); },
         [](Lists& l)
         {
             EXPECT_EQ(l.parkedResult, 1u);
             EXPECT_EQ(Chain(l.closable.PopAllAndClose()), (std::vector<uint32>{l.x, l.b, l.a}));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"pop all and close after a push", EListOp::kPopAllAndClose,
         [](Lists& l) { l.closable.PushIfNotClosed(l.a); },
         [](Lists& l) { l.parkedResult = l.closable.PopAllAndClose(); },
         [](Lists& l) { EXPECT_TRUE(l.closable.PushIfNotClosed(l.b)); },
         [](Lists& l)
         {
             EXPECT_EQ(Chain(l.parkedResult), (std::vector<uint32>{l.b, l.a}));
             EXPECT_TRUE(l.closable.IsClosed());
             EXPECT_FALSE(l.closable.PushIfNotClosed(l.c));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
        {"pop all and close after another close", EListOp::kPopAllAndClose,
         [](Lists& l) { l.closable.PushIfNotClosed(l.a); },
         [](Lists& l) { l.parkedResult = l.closable.PopAllAndClose(); },
         [](Lists& l) { l.otherResult = l.closable.PopAllAndClose(); },
         [](Lists& l)
         {
             EXPECT_EQ(l.parkedResult, 0u);
             EXPECT_EQ(Chain(l.otherResult), (std::vector<uint32>{l.a}));
             l.leftovers = {l.a, l.b, l.c, l.x};
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Lists lists;
        lists.a = LockFree::AllocLink();
        lists.b = LockFree::AllocLink();
        lists.c = LockFree::AllocLink();
        lists.x = LockFree::AllocLink();
        c.setup(lists);
        {
            ListParker parker(c.op, EStallPoint::kBeforeCompareExchange);
            std::thread parked(
                [&]
                {
                    parker.ArmCallingThread();
                    c.parked(lists);
                });
            parker.WaitUntilParked();
            c.interfere(lists);
            parker.Release();
            parked.join();
        }
        c.check(lists);
        lists.closable.PopAllAndClose();
        FreeAll(lists.leftovers);
    }
}

// --- Links manager ------------------------------------------------------------------------------------

TEST(LinksManager, ThreadExitLeavesFullBundlesOnTheStackAndTheRestInThePartialBundle)
{
    LinksManager manager(1 << 16, 1024);
    std::vector<uint32> links;
    for (int i = 0; i < 70; ++i)
        links.push_back(manager.Alloc());
    EXPECT_EQ(manager.GetNumAllocatedBundles(), 2u);
    EXPECT_EQ(manager.GetNumUsedBundles(), 2u);
    std::thread(
        [&]
        {
            for (uint32 link : links)
                manager.Free(link);
        })
        .join();
    EXPECT_EQ(manager.CountBundlesOnStack(), 1u);
    EXPECT_EQ(manager.GetGlobalPartialCount(), 6u);
    // The 58 links left in this thread's cache complete the partial bundle.
    manager.FlushCallingThread();
    EXPECT_EQ(manager.CountBundlesOnStack(), 2u);
    EXPECT_EQ(manager.GetGlobalPartialCount(), 0u);
    EXPECT_EQ(manager.GetNumUsedBundles(), 0u);
}

TEST(LinksManager, LinksComeBackClearedAndBundlesAreReused)
{
    LinksManager manager(1 << 16, 1024);
    uint32 link = manager.Alloc();
    manager.Get(link).m_payload = 99;
    manager.Get(link).m_next.store(5);
    manager.Free(link);
    uint32 again = manager.Alloc();
    EXPECT_EQ(again, link);
    EXPECT_EQ(manager.Get(again).m_payload, 0u);
    EXPECT_EQ(manager.Get(again).m_next.load(), 0u);
    manager.Free(again);
    manager.FlushCallingThread();
    std::thread([&] { manager.Free(manager.Alloc()); }).join();
    EXPECT_EQ(manager.GetNumAllocatedBundles(), 1u); // the thread took the bundle from the stack
    EXPECT_EQ(manager.GetNumUsedBundles(), 0u);
}

TEST(LinksManager, ShutdownWithLinksStillTakenAsserts)
{
    AssertRecorder asserts;
    {
        LinksManager manager(1 << 12, 256);
        manager.Alloc();
    }
    EXPECT_TRUE(asserts.Saw("m_numUsedBundles.load(std::memory_order_acquire) == 0"));
    EXPECT_FALSE(asserts.Saw("m_tlsCachesList.load(std::memory_order_acquire) == nullptr"));
}

TEST(LinksManager, ShutdownWhileAnotherThreadKeepsACacheAsserts)
{
    AssertRecorder asserts;
    std::mutex mutex;
    std::condition_variable changed;
    bool used = false, finish = false;
    std::thread keeper;
    {
        LinksManager manager(1 << 12, 256);
        keeper = std::thread(
            [&]
            {
                manager.Free(manager.Alloc());
                std::unique_lock<std::mutex> lock(mutex);
                used = true;
                changed.notify_all();
                changed.wait(lock, [&] { return finish; });
            });
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return used; });
    }
    EXPECT_TRUE(asserts.Saw("m_tlsCachesList.load(std::memory_order_acquire) == nullptr"));
    {
        std::lock_guard<std::mutex> lock(mutex);
        finish = true;
        changed.notify_all();
    }
    keeper.join(); // its exit no longer reaches the destroyed manager
}

namespace
{
LinksManager* GLateManager = nullptr;
uint32 GLateLink = 0;

// Destroyed after the thread's caches were flushed, because it was constructed before they were.
struct LateUser
{
    ~LateUser()
    {
        GLateLink = GLateManager->Alloc();
        GLateManager->Free(GLateLink);
    }
};
} // namespace

TEST(LinksManager, UseAfterTheThreadsExitFlushAssertsAndStillWorks)
{
    AssertRecorder asserts;
    LinksManager manager(1 << 12, 256);
    GLateManager = &manager;
    std::thread(
        [&]
        {
            thread_local LateUser late;
            (void)&late;
            manager.Free(manager.Alloc());
        })
        .join();
    EXPECT_TRUE(asserts.Saw("!m_destroyed"));
    EXPECT_NE(GLateLink, 0u);
    EXPECT_EQ(manager.GetNumUsedBundles(), 0u);
    GLateManager = nullptr;
}

// --- Stress --------------------------------------------------------------------------------------------

struct StressParam
{
    int threads;
    bool stalls;
};

class LockFreeStress : public testing::TestWithParam<StressParam>
{
protected:
    void SetUp() override
    {
        if (GetParam().stalls)
            LockFree::SetStallHook(&LockFree::RandomStall);
    }
    void TearDown() override { LockFree::SetStallHook(nullptr); }
    int Producers() const { return GetParam().threads / 2; }
    int Consumers() const { return GetParam().threads - Producers(); }
    int PerProducer() const { return GetParam().stalls ? 1500 : 20000; }
};

// Producers push numbered links, consumers pop and free them: every number arrives exactly once, and
// links travel between the threads' caches through the links manager.
TEST_P(LockFreeStress, StackLosesAndDuplicatesNothing)
{
    LockFreeList list;
    const int total = Producers() * PerProducer();
    std::vector<std::atomic<uint8>> seen(total);
    std::atomic<int> popped{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < Producers(); ++p)
        threads.emplace_back(
            [&, p]
            {
                for (int i = 0; i < PerProducer(); ++i)
                {
                    uint32 link = LockFree::AllocLink();
                    GetLink(link).m_payload = static_cast<uint64>(p * PerProducer() + i);
                    list.Push(link);
                }
            });
    for (int c = 0; c < Consumers(); ++c)
        threads.emplace_back(
            [&]
            {
                while (popped.load(std::memory_order_relaxed) < total)
                {
                    uint32 link = list.Pop();
                    if (link == 0)
                    {
                        std::this_thread::yield();
                        continue;
                    }
                    seen[GetLink(link).m_payload].fetch_add(1, std::memory_order_relaxed);
                    LockFree::FreeLink(link);
                    popped.fetch_add(1, std::memory_order_relaxed);
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(list.Pop(), 0u);
    int wrong = 0;
    for (auto& s : seen)
        wrong += s.load() != 1;
    EXPECT_EQ(wrong, 0);
}

// Producers push into a row of closable lists while consumers close them one after another: every
// successful push is in exactly one closed chain, every failed push found its list closed.
TEST_P(LockFreeStress, ClosableListsLoseAndDuplicateNothing)
{
    constexpr int kLists = 64;
    std::vector<LockFreeClosableList> lists(kLists);
    const int total = Producers() * PerProducer();
    std::vector<std::atomic<uint8>> pushed(total);
    std::vector<std::atomic<uint8>> found(total);
    std::atomic<int> nextToClose{0};
    std::atomic<int> producersDone{0};
    std::vector<std::thread> threads;
    for (int p = 0; p < Producers(); ++p)
        threads.emplace_back(
            [&, p]
            {
                for (int i = 0; i < PerProducer(); ++i)
                {
                    int id = p * PerProducer() + i;
                    uint32 link = LockFree::AllocLink();
                    GetLink(link).m_payload = static_cast<uint64>(id);
                    LockFreeClosableList& list = lists[id % kLists];
                    if (list.PushIfNotClosed(link))
                        pushed[id].store(1, std::memory_order_relaxed);
                    else
                    {
                        EXPECT_TRUE(list.IsClosed());
                        LockFree::FreeLink(link);
                    }
                }
                producersDone.fetch_add(1);
            });
    for (int c = 0; c < Consumers(); ++c)
        threads.emplace_back(
            [&]
            {
                for (;;)
                {
                    // Close the next list once the producers got some way, the last ones at the end.
                    int index = nextToClose.fetch_add(1);
                    if (index >= kLists)
                        return;
                    while (index >= kLists / 2 && producersDone.load() < Producers())
                        std::this_thread::yield();
                    for (uint32 link = lists[index].PopAllAndClose(); link;)
                    {
                        uint32 next = GetLink(link).m_next.load(std::memory_order_relaxed);
                        found[GetLink(link).m_payload].fetch_add(1, std::memory_order_relaxed);
                        LockFree::FreeLink(link);
                        link = next;
                    }
                }
            });
    for (auto& t : threads)
        t.join();
    int wrong = 0;
    for (int id = 0; id < total; ++id)
        wrong += found[id].load() != pushed[id].load();
    EXPECT_EQ(wrong, 0);
    for (auto& list : lists)
        EXPECT_TRUE(list.IsClosed());
}

// Links handed between threads by a standalone manager: no link is ever owned twice, and once every
// thread has exited all bundles are back.
TEST_P(LockFreeStress, LinksManagerHandsEachLinkToOneOwner)
{
    LinksManager manager(1 << 20, 4096);
    std::vector<std::atomic<uint8>> owned(1 << 20);
    LockFreeList exchange; // carries nothing but its own links: they come from GLinksManager
    std::atomic<int> doubles{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < GetParam().threads; ++t)
        threads.emplace_back(
            [&, t]
            {
                std::vector<uint32> mine;
                for (int i = 0; i < PerProducer(); ++i)
                {
                    if ((i + t) % 3 != 2 || mine.empty())
                    {
                        uint32 link = manager.Alloc();
                        if (owned[link].exchange(1) != 0)
                            doubles.fetch_add(1);
                        mine.push_back(link);
                    }
                    else
                    {
                        owned[mine.back()].store(0);
                        manager.Free(mine.back());
                        mine.pop_back();
                    }
                }
                // Hand the rest to whichever thread frees them.
                for (uint32 link : mine)
                {
                    uint32 carrier = LockFree::AllocLink();
                    GetLink(carrier).m_payload = link;
                    exchange.Push(carrier);
                }
                while (uint32 carrier = exchange.Pop())
                {
                    uint32 link = static_cast<uint32>(GetLink(carrier).m_payload);
                    LockFree::FreeLink(carrier);
                    owned[link].store(0);
                    manager.Free(link);
                }
            });
    for (auto& t : threads)
        t.join();
    while (uint32 carrier = exchange.Pop())
    {
        uint32 link = static_cast<uint32>(GetLink(carrier).m_payload);
        LockFree::FreeLink(carrier);
        manager.Free(link);
    }
    manager.FlushCallingThread();
    EXPECT_EQ(doubles.load(), 0);
    EXPECT_EQ(manager.GetNumUsedBundles(), 0u);
    EXPECT_EQ(manager.GetGlobalPartialCount(), 0u);
    EXPECT_EQ(manager.CountBundlesOnStack(), manager.GetNumAllocatedBundles());
}

INSTANTIATE_TEST_SUITE_P(Threads, LockFreeStress,
                         testing::Values(StressParam{2, false}, StressParam{4, false}, StressParam{8, false},
                                         StressParam{2, true}, StressParam{8, true}),
                         [](const testing::TestParamInfo<StressParam>& info) {
                             return std::to_string(info.param.threads) +
                                    (info.param.stalls ? "ThreadsStalled" : "Threads");
                         });
