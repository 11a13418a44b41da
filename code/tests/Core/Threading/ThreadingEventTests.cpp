#include "Core/Threading/ThreadingEvent.h"

#include "Core/Memory/MemoryTag.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;
using Threading::Event;

TEST(ThreadingEvent, DestroyedEventsAreRecycledByKindWithNewIdsAndReset)
{
    Event* autoEvent = Event::Create(false, "auto");
    ASSERT_NE(autoEvent, nullptr);
    EXPECT_FALSE(autoEvent->IsManualReset());
    EXPECT_STREQ(autoEvent->GetName(), "auto");
    int32 firstId = autoEvent->GetId();
    Event::Set(autoEvent);
    Event::Destroy(autoEvent);

    Event* manual = Event::Create(true, nullptr);
    EXPECT_NE(manual, autoEvent); // a manual request never gets an auto-reset record
    EXPECT_TRUE(manual->IsManualReset());
    Event* again = Event::Create(false, "again");
    EXPECT_EQ(again, autoEvent);
    EXPECT_EQ(again->GetId(), firstId + 2);
    EXPECT_STREQ(again->GetName(), "again");
    EXPECT_FALSE(Event::Wait(again, 0)); // the earlier Set did not survive the recycling

    Event::Destroy(manual);
    Event* auto2 = Event::Create(false, nullptr);
    EXPECT_NE(auto2, manual); // nor an auto-reset request a manual record
    EXPECT_EQ(Event::Create(true, nullptr), manual);
    Event::Destroy(manual);
    Event::Destroy(auto2);
    Event::Destroy(again);
    Event::Destroy(nullptr);
}

TEST(ThreadingEvent, SignalSemantics)
{
    Event* autoEvent = Event::Create(false, nullptr);
    Event* manual = Event::Create(true, nullptr);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(Event::Wait(autoEvent, 0));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    EXPECT_FALSE(Event::Wait(manual, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(30));

    // Auto-reset: one wait consumes one Set, even without a waiter at the time of the Set.
    Event::Set(autoEvent);
    EXPECT_TRUE(Event::Wait(autoEvent, 0));
    EXPECT_FALSE(Event::Wait(autoEvent, 0));
    // Manual: stays signalled for every wait until Reset.
    Event::Set(manual);
    EXPECT_TRUE(Event::Wait(manual, 0));
    EXPECT_TRUE(Event::Wait(manual, Threading::kInfinite));
    Event::Reset(manual);
    EXPECT_FALSE(Event::Wait(manual, 0));

    // Across threads: one Set of an auto-reset event lets exactly one of two waiters through; a
    // manual Set releases all of them.
    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] { passed += Event::Wait(autoEvent, 300) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Event::Set(autoEvent);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(passed, 1);

    passed = 0;
    waiters.clear();
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] { passed += Event::Wait(manual, Threading::kInfinite) ? 1 : 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Event::Set(manual);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(passed, 3);
    Event::Destroy(autoEvent);
    Event::Destroy(manual);
}

TEST(ThreadingEvent, MisuseIsAssertedAndHarmless)
{
    AssertRecorder recorder;
    Event* e = Event::Create(false, nullptr);
    Event::Destroy(e);
    Event::Destroy(e);
    EXPECT_TRUE(recorder.Saw("pEvent->m_inUse"));
    recorder.Clear();
    Event::Set(e);
    EXPECT_FALSE(Event::Wait(e, 0));
    Event::Reset(e);
    EXPECT_EQ(recorder.Count(), 3u);
    // The double Destroy did not put the record on the free stack twice.
    Event* a = Event::Create(false, nullptr);
    Event* b = Event::Create(false, nullptr);
    EXPECT_NE(a, b);
    Event::Destroy(a);
    Event::Destroy(b);
}

TEST(ThreadingEvent, ShutdownReportsEventsStillInUseAndGoesOn)
{
    {
        // Start from a registry of this test's own.
        AssertRecorder quiet;
        Event::ShutdownSystem();
    }
    AssertRecorder recorder;
    Event::InitSystem();
    Event* unnamed = Event::Create(false, nullptr);
    Event* named = Event::Create(true, "Loader queue");
    Event::Destroy(Event::Create(false, "recycled"));

    CapturingSink sink;
    Event::ShutdownSystem();
    EXPECT_TRUE(sink.Contains(Log::Error,
                              "Threading::Event [id=" + std::to_string(unnamed->GetId()) + "] still in-use"));
    EXPECT_TRUE(sink.Contains(Log::Error, "Threading::Event [id=" + std::to_string(named->GetId()) +
                                              ", name='Loader queue'] still in-use"));
    EXPECT_EQ(sink.CountContaining("still in-use"), 2u);
    EXPECT_EQ(recorder.Count(), 0u);
    // The records' pool stays for the events in use, without a report of its own.
    Memory::Pool::Info pool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/Threading::Event:", &pool));
    EXPECT_EQ(pool.numElements, 2u);
    EXPECT_FALSE(sink.Contains("objects still alive"));

    // The leaked events still work and can be destroyed late; the last one takes the pool with it,
    // and a new registry starts afresh.
    Event::Set(named);
    EXPECT_TRUE(Event::Wait(named, 0));
    Event::Destroy(named);
    EXPECT_TRUE(Morvex::Test::FindPool("Core/Threading::Event:"));
    Event::Destroy(unnamed);
    EXPECT_FALSE(Morvex::Test::FindPool("Core/Threading::Event:"));
    Event::InitSystem();
    Event* fresh = Event::Create(false, nullptr);
    EXPECT_EQ(fresh->GetId(), 0);
    ASSERT_TRUE(Morvex::Test::FindPool("Core/Threading::Event:", &pool));
    EXPECT_EQ(pool.numElements, 1u);
    EXPECT_EQ(pool.pageSizeInBytes, 4096u);
    EXPECT_EQ(pool.tag, static_cast<int16>(MemoryTags::Register("Core/Threading").m_index));
    Event::Destroy(fresh);
    EXPECT_EQ(recorder.Count(), 0u);
    EXPECT_FALSE(sink.Contains("objects still alive"));
}

TEST(ThreadingSemaphore, CountsReleasesAcrossThreads)
{
    Threading::Semaphore semaphore;
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back(
            [&]
            {
                semaphore.Wait();
                through++;
            });
    semaphore.Release(2);
    while (through < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(through, 2);
    semaphore.Release(1);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(through, 3);
    semaphore.Release(0);
    semaphore.Release(-5);
}
