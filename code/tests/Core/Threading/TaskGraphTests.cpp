#include "Core/Threading/TaskGraph.h"

#include "Core/CmdSystem.h"
#include "Core/Threading/ThreadingEvent.h"

#include "../Containers/LockFreeTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;
using Morvex::Test::ListParker;

namespace
{
// Counts its runs and its destructions; optionally checks that some events completed before it ran.
class ProbeTask final : public Task
{
public:
    struct Counters
    {
        std::atomic<int> runs{0};
        std::atomic<int> destroyed{0};
        std::atomic<int> early{0};
    };
    explicit ProbeTask(Counters& counters, std::vector<GraphEvent*> mustBeDone = {})
        : m_counters(counters), m_mustBeDone(std::move(mustBeDone))
    {
    }
    ~ProbeTask() override { m_counters.destroyed.fetch_add(1); }
    void Run() override
    {
        for (GraphEvent* e : m_mustBeDone)
            m_counters.early += e->IsSignaled() ? 0 : 1;
        m_counters.runs.fetch_add(1);
    }

private:
    Counters& m_counters;
    std::vector<GraphEvent*> m_mustBeDone;
};

void SetupTask(Task* task, std::vector<GraphEvent*> prerequisites, GraphEvent* eventToComplete = nullptr)
{
    GraphEvent* slot = eventToComplete;
    if (eventToComplete)
        eventToComplete->AddRef(); // the task's
    TaskGraph::Setup(task, prerequisites, eventToComplete ? &slot : nullptr);
}

// A graph without workers: the test decides when queued tasks run.
class TaskGraphQueue : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(TaskGraph::Init(0)); }
    void TearDown() override
    {
        TaskGraph::RunQueuedTasks(ENamedThread::kWorker);
        TaskGraphPrivate::Invalidate();
    }
    static uint32 Queued() { return TaskGraph::GetNumQueuedTasks(ENamedThread::kWorker); }
    static uint32 RunQueued() { return TaskGraph::RunQueuedTasks(ENamedThread::kWorker); }
    ProbeTask::Counters m_counters;
};
} // namespace

TEST(TaskGraphLifecycle, InvalidateOnAGraphThatNeverRanDoesNothing)
{
    AssertRecorder asserts;
    ASSERT_FALSE(TaskGraph::IsInited());
    TaskGraphPrivate::Invalidate();
    TaskGraphPrivate::Invalidate();
    EXPECT_FALSE(TaskGraph::IsInited());
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(TaskGraphLifecycle, UseOfAStoppedGraphAssertsAndLosesNothing)
{
    AssertRecorder asserts;
    ProbeTask::Counters counters;
    EXPECT_EQ(GraphEvent::Create(1), nullptr);
    TaskGraph::Setup(new ProbeTask(counters), {}, nullptr);
    TaskGraph::Queue(new ProbeTask(counters));
    EXPECT_TRUE(asserts.Saw("m_inited"));
    EXPECT_EQ(counters.runs.load(), 0);
    EXPECT_EQ(counters.destroyed.load(), 2);
}

TEST(TaskGraphLifecycle, SecondInitAssertsAndKeepsTheRunningGraph)
{
    ASSERT_TRUE(TaskGraph::Init(1));
    {
        AssertRecorder asserts;
        EXPECT_FALSE(TaskGraph::Init(1));
        EXPECT_TRUE(asserts.Saw("!m_inited"));
    }
    EXPECT_TRUE(TaskGraph::IsInited());
    TaskGraphPrivate::Invalidate();
    EXPECT_FALSE(TaskGraph::IsInited());
}

// Tasks of every size go back to where they came from, whether or not the graph ran when they were
// made or deleted: a pool that still holds live tasks outlives the graph that made them.
template <size_t N>
class SizedTask final : public Task
{
public:
    void Run() override { m_bytes[0] = 1; }
    unsigned char m_bytes[N] = {};
};

TEST(TaskGraphLifecycle, TasksGoBackWhereTheyCameFromAcrossRestarts)
{
    AssertRecorder asserts;
    CapturingSink sink;
    Task* madeBefore = new SizedTask<8>; // the global heap: no graph runs
    ASSERT_TRUE(TaskGraph::Init(0));
    std::vector<Task*> alive = {new SizedTask<8>, new SizedTask<70>, new SizedTask<200>, new SizedTask<1000>};
    delete madeBefore;
    TaskGraphPrivate::Invalidate();
    EXPECT_EQ(sink.CountContaining("tasks still alive"), 3u); // one pool per size that has a task
    for (Task* task : alive)
        delete task; // into the pools that were kept
    ASSERT_TRUE(TaskGraph::Init(0));
    TaskGraph::Queue(new SizedTask<70>);
    EXPECT_EQ(TaskGraph::RunQueuedTasks(ENamedThread::kWorker), 1u);
    TaskGraphPrivate::Invalidate();
    EXPECT_EQ(sink.CountContaining("tasks still alive"), 3u); // this time every pool went
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST_F(TaskGraphQueue, TaskWithoutPrerequisitesIsQueuedAtOnce)
{
    SetupTask(new ProbeTask(m_counters), {});
    EXPECT_EQ(Queued(), 1u);
    EXPECT_EQ(RunQueued(), 1u);
    EXPECT_EQ(m_counters.runs.load(), 1);
    EXPECT_EQ(m_counters.destroyed.load(), 1);
}

TEST_F(TaskGraphQueue, TaskWhosePrerequisitesAllCompletedIsQueuedBySetup)
{
    GraphEvent* a = GraphEvent::Create(1);
    GraphEvent* b = GraphEvent::Create(1);
    a->Complete();
    b->Complete();
    SetupTask(new ProbeTask(m_counters), {a, b});
    EXPECT_EQ(Queued(), 1u);
    // Setup gave back the references it took for the failed pushes.
    EXPECT_EQ(a->GetRefCount(), 1u);
    EXPECT_EQ(b->GetRefCount(), 1u);
    a->Release();
    b->Release();
}

TEST_F(TaskGraphQueue, CompletingAnEventQueuesOnlyTheTasksItWasTheLastPrerequisiteOf)
{
    GraphEvent* e = GraphEvent::Create(1);
    GraphEvent* other = GraphEvent::Create(1);
    SetupTask(new ProbeTask(m_counters), {e});
    SetupTask(new ProbeTask(m_counters), {e});
    SetupTask(new ProbeTask(m_counters), {e, other});
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(e->GetRefCount(), 4u); // one per waiting task
    e->Complete();
    EXPECT_EQ(Queued(), 2u);
    EXPECT_TRUE(e->IsSignaled());
    EXPECT_EQ(e->GetRefCount(), 1u);
    other->Complete();
    EXPECT_EQ(Queued(), 3u);
    EXPECT_EQ(RunQueued(), 3u);
    EXPECT_EQ(m_counters.destroyed.load(), 3);
    e->Release();
    other->Release();
}

TEST_F(TaskGraphQueue, CompletionCountTakesThatManyCompletes)
{
    GraphEvent* e = GraphEvent::Create(3);
    SetupTask(new ProbeTask(m_counters), {e});
    e->Complete();
    e->Complete();
    EXPECT_FALSE(e->IsSignaled());
    EXPECT_EQ(Queued(), 0u);
    e->Complete();
    EXPECT_TRUE(e->IsSignaled());
    EXPECT_EQ(Queued(), 1u);
    AssertRecorder asserts;
    e->Complete(); // one too many: reported, nothing else happens
    EXPECT_TRUE(asserts.Saw("remaining >= 0"));
    EXPECT_EQ(Queued(), 1u);
    e->Release();
}

TEST_F(TaskGraphQueue, TheTaskCompletesItsEventAndTheSlotGetsThePreviousOne)
{
    GraphEvent* first = GraphEvent::Create(1);
    GraphEvent* second = GraphEvent::Create(1);
    auto* task = new ProbeTask(m_counters);
    GraphEvent* slot = first;
    first->AddRef();
    GraphEvent* pending = GraphEvent::Create(1);
    TaskGraph::Setup(task, {&pending, 1}, &slot);
    EXPECT_EQ(slot, nullptr);
    EXPECT_EQ(task->m_eventToComplete, first);
    // A completed event cannot be taken over.
    second->Complete();
    {
        AssertRecorder asserts;
        auto* late = new ProbeTask(m_counters);
        GraphEvent* lateSlot = second;
        second->AddRef();
        TaskGraph::Setup(late, {}, &lateSlot);
        EXPECT_TRUE(asserts.Saw("!eventToSignal || !eventToSignal->IsSignaled()"));
        EXPECT_EQ(RunQueued(), 1u); // completing it again is reported too
        EXPECT_TRUE(asserts.Saw("remaining >= 0"));
    }
    pending->Complete();
    EXPECT_FALSE(first->IsSignaled());
    RunQueued();
    EXPECT_TRUE(first->IsSignaled());
    EXPECT_EQ(first->GetRefCount(), 1u);
    for (GraphEvent* e : {first, second, pending})
        e->Release();
}

TEST_F(TaskGraphQueue, SettingUpATaskTwiceAssertsAndQueuesItOnce)
{
    GraphEvent* e = GraphEvent::Create(1);
    auto* task = new ProbeTask(m_counters);
    TaskGraph::Setup(task, {&e, 1}, nullptr);
    {
        AssertRecorder asserts;
        TaskGraph::Setup(task, {&e, 1}, nullptr);
        EXPECT_TRUE(asserts.Saw("task->m_numOfPrerequistitesOutstanding.compare_exchange_strong(expected, "
                                "numPrerequisites, std::memory_order_release)"));
    }
    e->Complete();
    EXPECT_EQ(RunQueued(), 1u);
    EXPECT_EQ(m_counters.destroyed.load(), 1);
    e->Release();
}

TEST_F(TaskGraphQueue, WaitOnACompletedEventCreatesNoTaskNorEvent)
{
    GraphEvent* e = GraphEvent::Create(1);
    e->Complete();
    Threading::Event* before = Threading::Event::Create(false, nullptr);
    int32 firstId = before->GetId();
    Threading::Event::Destroy(before);
    e->Wait();
    Threading::Event* after = Threading::Event::Create(false, nullptr);
    EXPECT_EQ(after->GetId(), firstId + 1);
    Threading::Event::Destroy(after);
    EXPECT_EQ(Queued(), 0u);
    e->Release();
}

// When every push of Setup succeeds, the last prerequisite may complete, and the task run and be
// deleted, before Setup returns: Setup must not touch the task after its last push. The task here
// lives in storage the test keeps, so that a late touch shows as a second queueing (and, under the
// address sanitizer, as a use after free of the real allocation it would be).
TEST_F(TaskGraphQueue, SetupDoesNotTouchATaskThatRanDuringItsLastPush)
{
    struct KeptTask final : public Task
    {
        explicit KeptTask(std::atomic<int>& runs) : m_runs(runs) {}
        void Run() override { m_runs.fetch_add(1); }
        // Deleted by the queue runner: leave the memory as it was (outstanding count 0).
        static void operator delete(void*) {}
        std::atomic<int>& m_runs;
    };
    alignas(KeptTask) static unsigned char storage[sizeof(KeptTask)];
    std::atomic<int> runs{0};
    auto* task = new (storage) KeptTask(runs);
    GraphEvent* e = GraphEvent::Create(1);
    {
        ListParker parker(LockFree::EListOp::kPushIfNotClosed, LockFree::EStallPoint::kAfterCompareExchange);
        std::thread setup(
            [&]
            {
                parker.ArmCallingThread();
                TaskGraph::Setup(task, {&e, 1}, nullptr);
            });
        parker.WaitUntilParked(); // the push is in: the task waits on e
        e->Complete();
        EXPECT_EQ(RunQueued(), 1u);
        parker.Release();
        setup.join();
    }
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(runs.load(), 1);
    e->Release();
}

// A graph with workers.
class TaskGraphWorkers : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(TaskGraph::Init(4)); }
    void TearDown() override
    {
        AssertRecorder asserts;
        TaskGraphPrivate::Invalidate();
        // Every event went back to the pool and every worker is gone.
        EXPECT_EQ(asserts.Count(), 0u);
    }
    ProbeTask::Counters m_counters;
};

// The OS event of a wait is destroyed once, by the waiter, and the task that sets it is deleted once,
// by its worker: the record comes back for the next event and nothing asserts.
TEST_F(TaskGraphWorkers, WaitDestroysItsEventAndTaskOnce)
{
    AssertRecorder asserts;
    for (int round = 0; round < 50; ++round)
    {
        GraphEvent* e = GraphEvent::Create(1);
        Threading::Event* probe = Threading::Event::Create(false, nullptr);
        Threading::Event::Destroy(probe);
        std::thread completer(
            [&]
            {
                std::this_thread::sleep_for(std::chrono::microseconds(round * 20));
                e->Complete();
            });
        e->Wait();
        EXPECT_TRUE(e->IsSignaled());
        completer.join();
        e->Release();
        // The wait's event (if it made one) was the probe's record and is free again.
        Threading::Event* next = Threading::Event::Create(false, nullptr);
        EXPECT_EQ(next, probe);
        Threading::Event::Destroy(next);
    }
    EXPECT_EQ(asserts.Count(), 0u);
}

// Chains and fans of tasks set up from several threads at once: each task runs once, after its
// prerequisites, and is destroyed once; waits from several threads all return.
TEST_F(TaskGraphWorkers, TasksRunOnceAfterTheirPrerequisites)
{
    constexpr int kSetupThreads = 3;
    constexpr int kTasksPerThread = 600;
    std::vector<std::thread> threads;
    for (int t = 0; t < kSetupThreads; ++t)
        threads.emplace_back(
            [&, t]
            {
                std::vector<GraphEvent*> events;
                uint32 random = 12345u + static_cast<uint32>(t);
                for (int i = 0; i < kTasksPerThread; ++i)
                {
                    std::vector<GraphEvent*> prerequisites;
                    for (int k = 0; k < 3 && !events.empty(); ++k)
                    {
                        random = random * 1664525u + 1013904223u;
                        prerequisites.push_back(
                            events[events.size() - 1 - (random >> 8) % std::min<size_t>(events.size(), 16)]);
                    }
                    GraphEvent* e = GraphEvent::Create(1);
                    SetupTask(new ProbeTask(m_counters, prerequisites), prerequisites, e);
                    events.push_back(e);
                }
                // Tasks still pending read their prerequisites: release only when all are done.
                for (GraphEvent* e : events)
                    e->Wait();
                for (GraphEvent* e : events)
                    e->Release();
            });
    for (auto& t : threads)
        t.join();
    TaskGraphPrivate::Invalidate(); // joins the workers: every task is deleted by now
    EXPECT_EQ(m_counters.runs.load(), kSetupThreads * kTasksPerThread);
    EXPECT_EQ(m_counters.destroyed.load(), kSetupThreads * kTasksPerThread);
    EXPECT_EQ(m_counters.early.load(), 0);
    ASSERT_TRUE(TaskGraph::Init(4));
}

// Workers that went to sleep are woken for every burst of tasks, be it smaller or larger than the
// number of sleepers: no task is left in the queue while every worker sleeps.
TEST_F(TaskGraphWorkers, SleepingWorkersWakeForEveryBurst)
{
    for (int burst : {1, 2, 3, 4, 5, 9})
    {
        for (int round = 0; round < 20; ++round)
        {
            // Far longer than a worker looks for work before it sleeps.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            int expected = m_counters.runs.load() + burst;
            for (int i = 0; i < burst; ++i)
                TaskGraph::Queue(new ProbeTask(m_counters));
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (m_counters.runs.load() < expected && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            ASSERT_EQ(m_counters.runs.load(), expected) << "burst of " << burst << ", round " << round;
        }
    }
}

// Queued tasks are finished before the workers stop.
TEST_F(TaskGraphWorkers, InvalidateDrainsTheQueue)
{
    GraphEvent* gate = GraphEvent::Create(1);
    for (int i = 0; i < 200; ++i)
        SetupTask(new ProbeTask(m_counters), {gate});
    gate->Complete();
    gate->Release();
    TaskGraphPrivate::Invalidate();
    EXPECT_EQ(m_counters.runs.load(), 200);
    EXPECT_EQ(m_counters.destroyed.load(), 200);
    ASSERT_TRUE(TaskGraph::Init(4));
}

TEST(TaskGraphSelfTest, CommandPassesTwiceAndLeavesNoWorkerRunning)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    CapturingSink sink;
    CmdSystem::AddText("Core.TaskGraph.Test\nCore.TaskGraph.Test\n");
    CmdSystem::Execute();
    EXPECT_EQ(sink.CountContaining("Core.TaskGraph.Test: passed"), 2u);
    EXPECT_FALSE(sink.Contains("Core.TaskGraph.Test: failed"));
    EXPECT_FALSE(TaskGraph::IsInited());
    Threading::LockRegistry();
    int running = 0;
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
        running += std::string(info->name) == "Worker" && !info->IsFinished();
    Threading::UnlockRegistry();
    EXPECT_EQ(running, 0);
}

TEST(TaskGraphSelfTest, FailsWithItsReasonWithoutARunningGraph)
{
    char reason[64] = "";
    EXPECT_FALSE(TaskGraph::RunSelfTest(reason, sizeof(reason)));
    EXPECT_STREQ(reason, "the task graph is not running");
}
