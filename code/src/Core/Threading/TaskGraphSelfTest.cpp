// The self-tests behind Core.TaskGraph.Test, run on the graph's workers: a lock-free stack and
// closable lists hammered under injected stalls, then a graph of tasks with random prerequisites and
// tasks that set up further tasks from the workers. Each checks that no element is lost or seen twice
// and that no task runs before its prerequisites or more than once.

#include "Core/Containers/LockFreeList.h"
#include "Core/Str.h"
#include "Core/Threading/TaskGraph.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <memory>
#include <thread>
#include <vector>

namespace Morvex
{
namespace
{
constexpr uint32 kParallelTasks = 32;
constexpr uint32 kStackRounds = 400;
constexpr uint32 kClosableRounds = 6;
constexpr uint32 kMaxPushesPerTask = 48;
constexpr uint32 kGraphTasks = 2000;
constexpr uint32 kMaxPrerequisites = 3;
constexpr uint32 kPrerequisiteWindow = 64;
constexpr uint32 kSpawnEvery = 8;

// The first failure wins; later ones are dropped. Written by any worker, read after the waits that
// follow the work (which order the write before the read).
class Verdict
{
public:
    Verdict(char* text, uint32 capacity) : m_text(text), m_capacity(capacity) {}
    void Fail(const char* format, ...)
    {
        bool expected = false;
        if (!m_failed.compare_exchange_strong(expected, true, std::memory_order_acq_rel))
            return;
        va_list args;
        va_start(args, format);
        Str::VSNPrintf(m_text, static_cast<int>(m_capacity), format, args);
        va_end(args);
    }
    bool Failed() const { return m_failed.load(std::memory_order_acquire); }

private:
    char* m_text;
    uint32 m_capacity;
    std::atomic<bool> m_failed{false};
};

uint32 NextRandom(uint32& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// Runs body(0) ... body(count - 1) as tasks and waits for all of them.
template <class Body>
void RunTasks(uint32 count, Body& body)
{
    class BodyTask final : public Task
    {
    public:
        BodyTask(Body& body, uint32 index) : m_body(body), m_index(index) {}
        void Run() override { m_body(m_index); }

    private:
        Body& m_body;
        uint32 m_index;
    };
    GraphEvent* done = GraphEvent::Create(static_cast<int32>(count));
    if (done == nullptr)
        return;
    for (uint32 i = 0; i < count; ++i)
    {
        GraphEvent* slot = done;
        done->AddRef(); // the task's
        TaskGraph::Setup(new BodyTask(body, i), {}, &slot);
    }
    done->Wait();
    done->Release();
}

// Every task pushes its own numbered links and pops one after each push, so the stack never runs dry
// and every task ends whatever the number of workers.
void TestStack(Verdict& verdict)
{
    std::vector<std::atomic<uint8>> seen(kParallelTasks * kStackRounds);
    LockFreeList stack;
    auto body = [&](uint32 task)
    {
        uint32 link = LockFree::AllocLink();
        for (uint32 round = 0; round < kStackRounds && link; ++round)
        {
            LockFree::GetLink(link).m_payload = task * kStackRounds + round;
            stack.Push(link);
            link = stack.Pop();
            if (link == 0)
            {
                verdict.Fail("the stack was empty after a push");
                return;
            }
            uint64 id = LockFree::GetLink(link).m_payload;
            if (id >= seen.size())
                verdict.Fail("the stack gave a link that was never pushed");
            else
                seen[id].fetch_add(1, std::memory_order_relaxed);
        }
        LockFree::FreeLink(link);
    };
    RunTasks(kParallelTasks, body);
    for (size_t id = 0; id < seen.size(); ++id)
    {
        if (seen[id].load(std::memory_order_relaxed) != 1)
        {
            verdict.Fail("stack element %u was popped %u times", static_cast<uint32>(id),
                         static_cast<uint32>(seen[id].load()));
            return;
        }
    }
    if (stack.Pop() != 0)
        verdict.Fail("the stack kept a link after every push was popped");
}

// One task closes the list while the others push into it: every push that succeeded must be in the
// closed chain exactly once, and every push after the close must fail.
void TestClosableList(Verdict& verdict)
{
    for (uint32 round = 0; round < kClosableRounds && !verdict.Failed(); ++round)
    {
        LockFreeClosableList list;
        std::vector<std::atomic<uint8>> pushed(kParallelTasks * kMaxPushesPerTask);
        std::atomic<uint32> chain{0};
        auto body = [&](uint32 task)
        {
            if (task == round % kParallelTasks)
            {
                for (uint32 i = 0; i < 50 * (round + 1); ++i)
                    std::this_thread::yield();
                chain.store(list.PopAllAndClose(), std::memory_order_relaxed);
                return;
            }
            for (uint32 i = 0; i < kMaxPushesPerTask; ++i)
            {
                uint32 link = LockFree::AllocLink();
                if (link == 0)
                    return;
                uint32 id = task * kMaxPushesPerTask + i;
                LockFree::GetLink(link).m_payload = id;
                if (!list.PushIfNotClosed(link))
                {
                    LockFree::FreeLink(link);
                    if (!list.IsClosed())
                        verdict.Fail("a push failed on an open list");
                    return;
                }
                pushed[id].store(1, std::memory_order_relaxed);
            }
        };
        RunTasks(kParallelTasks, body);
        if (!list.IsClosed())
            verdict.Fail("the list is open after PopAllAndClose");
        std::vector<uint8> found(pushed.size());
        for (uint32 link = chain.load(std::memory_order_relaxed); link;)
        {
            LockFree::Link& l = LockFree::GetLink(link);
            uint64 id = l.m_payload;
            uint32 next = l.m_next.load(std::memory_order_relaxed);
            LockFree::FreeLink(link);
            link = next;
            if (id >= found.size() || found[id]++ != 0)
                verdict.Fail("closed chain element %u is unknown or twice in the chain",
                             static_cast<uint32>(id));
        }
        for (size_t id = 0; id < found.size(); ++id)
        {
            if (found[id] != pushed[id].load(std::memory_order_relaxed))
            {
                verdict.Fail("element %u was %s", static_cast<uint32>(id),
                             found[id] ? "in the chain without a successful push" : "pushed but lost");
                break;
            }
        }
        if (list.PopAllAndClose() != 0)
            verdict.Fail("a closed list took a link");
    }
}

struct GraphState
{
    struct Node
    {
        std::atomic<uint32> runs{0};
        std::atomic<bool> done{false};
        GraphEvent* event = nullptr;
        uint32 prerequisites[kMaxPrerequisites] = {};
        uint32 numPrerequisites = 0;
        GraphEvent* childEvent = nullptr; // the event of the task this node sets up as it runs
    };

    explicit GraphState(Verdict& v) : verdict(v), nodes(kGraphTasks) {}
    Verdict& verdict;
    std::vector<Node> nodes;
    std::atomic<uint32> created{0};
    std::atomic<uint32> destroyed{0};
};

class CheckedTask : public Task
{
public:
    CheckedTask(GraphState& state) : m_state(state)
    {
        m_state.created.fetch_add(1, std::memory_order_relaxed);
    }
    ~CheckedTask() override { m_state.destroyed.fetch_add(1, std::memory_order_relaxed); }

protected:
    void CheckDone(uint32 node, uint32 by)
    {
        if (!m_state.nodes[node].done.load(std::memory_order_acquire))
            m_state.verdict.Fail("task %u ran before its prerequisite %u", by, node);
    }
    GraphState& m_state;
};

// Set up from a worker while the graph runs: waits for a node that is not its parent.
class ChildTask final : public CheckedTask
{
public:
    ChildTask(GraphState& state, uint32 parent, uint32 waitsFor)
        : CheckedTask(state), m_parent(parent), m_waitsFor(waitsFor)
    {
    }
    void Run() override { CheckDone(m_waitsFor, m_parent); }

private:
    uint32 m_parent;
    uint32 m_waitsFor;
};

class NodeTask final : public CheckedTask
{
public:
    NodeTask(GraphState& state, uint32 index) : CheckedTask(state), m_index(index) {}
    void Run() override
    {
        GraphState::Node& node = m_state.nodes[m_index];
        for (uint32 i = 0; i < node.numPrerequisites; ++i)
            CheckDone(node.prerequisites[i], m_index);
        if (node.runs.fetch_add(1, std::memory_order_relaxed) != 0)
            m_state.verdict.Fail("task %u ran twice", m_index);
        node.done.store(true, std::memory_order_release);
        if (node.childEvent)
        {
            // Waits for a later node, which may still be pending or may have run already.
            uint32 waitsFor = m_index + 1 < kGraphTasks ? m_index + 1 : m_index;
            GraphEvent* prerequisite = m_state.nodes[waitsFor].event;
            GraphEvent* slot = node.childEvent;
            TaskGraph::Setup(new ChildTask(m_state, m_index, waitsFor), {&prerequisite, 1}, &slot);
        }
    }

private:
    uint32 m_index;
};

void TestGraph(Verdict& verdict)
{
    GraphState state(verdict);
    uint32 random = 0x9E3779B9u;
    for (uint32 i = 0; i < kGraphTasks; ++i)
    {
        GraphState::Node& node = state.nodes[i];
        node.event = GraphEvent::Create(1);
        if (node.event == nullptr)
        {
            verdict.Fail("no graph event could be created");
            return;
        }
        if (i % kSpawnEvery == 0)
        {
            node.childEvent = GraphEvent::Create(1);
            node.childEvent->AddRef(); // the child task's
        }
    }
    // Set up in index order: prerequisites come from the nodes just before, some of them completed
    // already and some still pending.
    for (uint32 i = 0; i < kGraphTasks; ++i)
    {
        GraphState::Node& node = state.nodes[i];
        GraphEvent* prerequisites[kMaxPrerequisites] = {};
        uint32 count = 0;
        if (i > 0)
        {
            node.numPrerequisites = NextRandom(random) % (kMaxPrerequisites + 1);
            for (uint32 k = 0; k < node.numPrerequisites; ++k)
            {
                uint32 window = i < kPrerequisiteWindow ? i : kPrerequisiteWindow;
                node.prerequisites[k] = i - 1 - NextRandom(random) % window;
                prerequisites[count++] = state.nodes[node.prerequisites[k]].event;
            }
        }
        GraphEvent* slot = node.event;
        node.event->AddRef(); // the task's
        TaskGraph::Setup(new NodeTask(state, i), {prerequisites, count}, &slot);
        if (slot != nullptr)
            verdict.Fail("the event slot of a fresh task did not come back empty");
    }
    for (GraphState::Node& node : state.nodes)
    {
        node.event->Wait();
        if (node.childEvent)
            node.childEvent->Wait();
    }
    for (uint32 i = 0; i < kGraphTasks; ++i)
    {
        GraphState::Node& node = state.nodes[i];
        if (!node.event->IsSignaled())
            verdict.Fail("event %u did not complete", i);
        if (node.runs.load(std::memory_order_relaxed) != 1)
            verdict.Fail("task %u ran %u times", i, node.runs.load());
        node.event->Release();
        if (node.childEvent)
            node.childEvent->Release();
    }
    // The workers delete a task right after completing its event: give the last ones a moment.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (state.destroyed.load(std::memory_order_acquire) != state.created.load(std::memory_order_acquire) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (state.destroyed.load() != state.created.load())
        verdict.Fail("%u tasks were created but %u destroyed", state.created.load(), state.destroyed.load());
}

// Puts the random stall in for the life of the object unless another hook is in place.
class ScopedRandomStall
{
public:
    ScopedRandomStall() : m_previous(LockFree::GetStallHook())
    {
        if (m_previous == nullptr)
            LockFree::SetStallHook(&LockFree::RandomStall);
    }
    ~ScopedRandomStall() { LockFree::SetStallHook(m_previous); }
    ScopedRandomStall(const ScopedRandomStall&) = delete;
    ScopedRandomStall& operator=(const ScopedRandomStall&) = delete;

private:
    LockFree::StallHook m_previous;
};
} // namespace

bool TaskGraph::RunSelfTest(char* reason, uint32 reasonCapacity)
{
    Verdict verdict(reason, reasonCapacity);
    if (!IsInited())
    {
        verdict.Fail("the task graph is not running");
        return false;
    }
    {
        ScopedRandomStall stalls;
        TestStack(verdict);
        if (!verdict.Failed())
            TestClosableList(verdict);
        if (!verdict.Failed())
            TestGraph(verdict);
    }
    return !verdict.Failed();
}
} // namespace Morvex
