#pragma once
// The task graph: small tasks run on named worker threads in dependency order.
//
// A task names the completion events (GraphEvent) it waits for and, optionally, the event it
// completes. When its last prerequisite completes it is queued on its named thread's queue and a
// worker runs it, completes its event and deletes it. Events keep the tasks waiting on them in a
// closable lock-free list: completing an event closes the list and releases every waiting task.
//
// The graph is idle unless someone starts it (TaskGraph::Init); the kernel's shutdown stops it
// (TaskGraphPrivate::Invalidate), which does nothing when it never ran. Prerequisite bookkeeping is
// lock-free; each named thread's queue is a locked list with a semaphore for wake-ups.

#include "Core/Containers/LockFreeList.h"
#include "Core/Types.h"

#include <atomic>
#include <span>

namespace Morvex
{
// The named thread groups.
enum class ENamedThread : uint32
{
    kWorker = 0, // the "Worker" threads
    kCount = 1,
};

class GraphEvent;

// A unit of work. Create it with new. Once given to TaskGraph::Setup or TaskGraph::Queue the graph
// owns it: a worker runs it once, completes its event to complete, and deletes it.
class Task
{
public:
    explicit Task(ENamedThread desiredThread = ENamedThread::kWorker);
    // Releases the event to complete when the task never ran (it is not completed).
    virtual ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // The task body, on a worker of the desired named thread.
    virtual void Run() = 0;

    // Tasks come from the graph's own pools while it runs (made on one thread, deleted on another,
    // they go back to their makers without a lock), else from the global heap, whatever the
    // program's own operator new is. Any thread.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size);
    static void* operator new(size_t, void* where) { return where; }

    GraphEvent* m_eventToComplete = nullptr; // one reference, owned by the task; may be null
    std::atomic<uint32> m_numOfPrerequistitesOutstanding{0};
    uint32 m_desiredThread;

private:
    friend class TaskGraphImpl;
    Task* m_queuePrev = nullptr;
    Task* m_queueNext = nullptr;
};

// A completion event: reference counted, completed once its completion count reaches 0.
class GraphEvent
{
public:
    // A new event with reference count 1 (the caller's), from the graph's event pool. Null after the
    // assertion "m_inited" when the graph is not running. completionCount: Complete calls it takes.
    static GraphEvent* Create(int32 completionCount = 1);

    void AddRef();
    // Drops a reference; the last one returns the event to the pool. Any thread.
    void Release();
    // Counts one completion; the last one closes the event and queues every waiting task whose last
    // prerequisite it was. The caller holds a reference. Any thread.
    void Complete();
    // Blocks until the event has completed; returns at once when it has. Not from a task that the
    // event depends on, nor from a worker when no other worker can run the event's tasks.
    void Wait();
    // Completed (its subsequents list is closed).
    bool IsSignaled() const { return m_subsequents.IsClosed(); }
    uint32 GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }

private:
    friend class TaskGraphImpl;
    explicit GraphEvent(int32 completionCount) : m_completionCount(completionCount) {}
    ~GraphEvent() = default;
    GraphEvent(const GraphEvent&) = delete;
    GraphEvent& operator=(const GraphEvent&) = delete;

    std::atomic<int32> m_reentrancyCounter{0};
    LockFreeClosableList m_subsequents; // links carrying the waiting tasks
    std::atomic<int32> m_completionCount;
    std::atomic<uint32> m_refCount{1};
};

namespace TaskGraph
{
// Starts the graph with numWorkers threads named "Worker" (stack 0x40000, priority Normal) for the
// worker queue; 0 starts none (tests run the queue themselves). Main thread. Asserts "!m_inited" and
// returns false when the graph runs already.
bool Init(uint32 numWorkers);
bool IsInited();

// Registers `task` on its prerequisites and queues it at once when none is pending (a null entry
// asserts "dependency" and counts as completed). eventToSignal: null, or the address of an event (or null)
// that the task takes over, with the caller's reference, as its event to complete; the slot receives the
// task's previous event (and its reference). Asserts "m_inited" and "task"; a task given while the graph does
// not run is deleted. Any thread.
void Setup(Task* task, std::span<GraphEvent* const> prerequisites, GraphEvent** eventToSignal);
// Puts the task on its named thread's queue and wakes one worker. Any thread.
void Queue(Task* task);

// Tests and diagnostics: tasks waiting in a queue, and running them on the calling thread (for a
// graph started without workers). RunQueuedTasks returns how many ran.
uint32 GetNumQueuedTasks(ENamedThread thread);
uint32 RunQueuedTasks(ENamedThread thread);

// The self-tests of the console command Core.TaskGraph.Test on the running graph: the lock-free lists
// under injected stalls, then task graphs with prerequisites. False with the reason in `reason`.
bool RunSelfTest(char* reason, uint32 reasonCapacity);
} // namespace TaskGraph

namespace TaskGraphPrivate
{
// Stops the graph: the workers finish the queued tasks and are joined, the event pool is destroyed
// (events still alive are reported). Nothing happens when the graph does not run. Main thread.
void Invalidate();
} // namespace TaskGraphPrivate
} // namespace Morvex
