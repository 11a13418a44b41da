// The task graph: events with lock-free subsequents lists, named thread queues, the workers and the
// Core.TaskGraph.Test command.
//
// Ownership, so that every object is destroyed exactly once:
// - A task belongs to the graph from Setup (or Queue) on; only the worker that runs it deletes it.
// - A task holds one reference to its event to complete; the worker drops it after completing.
// - Every link on an event's subsequents list holds one reference to that event, dropped by the
//   Complete call that takes the list (or by Setup when the push fails).
// - GraphEvent::Wait owns the OS event it waits on; the task that sets it only borrows it.
//
// Memory orders of the counters: a task's outstanding count is decremented acquire-release, so that
// the decrement that reaches 0 (and queues the task) has seen everything the completers of all its
// prerequisites did; the queue's lock then carries that to the worker. Reference counts follow the
// usual rule: increments relaxed (the caller already holds a reference), decrements acquire-release so
// that every use happens before the destruction.

#include "Core/Threading/TaskGraph.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/Containers/LockFreePool.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Threading/Threading.h"
#include "Core/Threading/ThreadingEvent.h"

#include <cstdio>
#include <mutex>
#include <new>
#include <thread>

namespace Morvex
{
namespace
{
constexpr uint32 kNumNamedThreads = static_cast<uint32>(ENamedThread::kCount);
constexpr uint32 kMaxEvents = 0x20000;
constexpr uint32 kEventsPerPageHint = 1024;
constexpr uint32 kWorkerStackSize = 0x40000;
constexpr uint32 kSelfTestWorkers = 32;
// Rounds of a pause before a lock sleeps, a worker sleeps or a wait makes its OS event: each is a
// few microseconds at most, less than what a sleep and a wake-up cost the system.
constexpr uint32 kLockSpinCount = 500;
constexpr uint32 kWaitSpinCount = 1000;
// An idle worker keeps looking for work for a while before it sleeps: a producer that queues a task
// every microsecond or so would otherwise pay a wake-up system call for nearly every task, and the
// worker a sleep and a wake-up. First pauses (some microseconds to some tens of them, as long as the
// processor's pause is), then yields, which lets other threads of a loaded machine run.
constexpr uint32 kWorkerSpinCount = 1000;
constexpr uint32 kWorkerYieldCount = 50;
// While it spins, an idle worker looks at the queue every so many pauses (under a microsecond),
// not after each: a look takes the queue's line from a producer that is queueing, and a worker that
// takes every task the moment it is queued works in lock-step with the producer, which then pays a
// miss for the queue and for each event the worker has just completed on nearly every task. Looking
// less often lets the producer queue a few tasks ahead, as it does when the worker is busy.
constexpr uint32 kWorkerPollInterval = 16;
constexpr size_t kCacheLine = 64;
// Tasks are made on one thread and deleted on another, all the time: they come from pools of a few
// sizes whose bundles go back to the makers without a lock. A word behind each task names its pool
// (null: the global heap), so that a task made before the graph ran, or deleted after it stopped,
// goes back where it came from. Behind, not in front: the task keeps the block's alignment and a
// small task fits one cache line with it. The deleting destructor passes the same size to
// operator delete as new was given (the destructor is virtual), which finds the word again.
constexpr size_t kTaskFooter = sizeof(void*);
constexpr uint32 kTaskClassBytes[] = {64, 128, 256};
constexpr uint32 kNumTaskClasses = sizeof(kTaskClassBytes) / sizeof(kTaskClassBytes[0]);
constexpr uint32 kMaxTasksPerClass = 0x400000;
constexpr uint32 kTasksPerPageHint = 1024;
constexpr const char* kTaskPoolNames[] = {"Task64", "Task128", "Task256"};
static_assert(sizeof(kTaskPoolNames) / sizeof(kTaskPoolNames[0]) == kNumTaskClasses);

inline void CpuPause()
{
    __builtin_ia32_pause();
}

// Spins a little, then yields, while another thread holds it: the queues are held for a few
// instructions at a time. Reads before it writes, so that waiting threads do not fight over the line.
class QueueSpinLock
{
public:
    void lock()
    {
        for (uint32 i = 0;; ++i)
        {
            if (!m_locked.load(std::memory_order_relaxed) &&
                !m_locked.exchange(true, std::memory_order_acquire))
                return;
            if (i < kLockSpinCount)
                CpuPause();
            else
                std::this_thread::yield(); // the holder was preempted: let it run
        }
    }
    void unlock() { m_locked.store(false, std::memory_order_release); }

private:
    std::atomic<bool> m_locked{false};
};

// An intrusive FIFO of tasks through their queue links.
struct TaskQueue
{
    Task* head = nullptr;
    Task* tail = nullptr;

    bool empty() const { return head == nullptr; }
};

// Sets an OS event that its waiter owns (see GraphEvent::Wait).
class SendEventTask final : public Task
{
public:
    explicit SendEventTask(Threading::Event* event) : m_event(event) {}
    void Run() override { Threading::Event::Set(m_event); }

private:
    Threading::Event* m_event;
};
} // namespace

class TaskGraphImpl
{
public:
    // On cache lines of its own: the producers and the workers write it all the time, and the graph's
    // read-mostly state must not share a line with it.
    struct alignas(kCacheLine) NamedThreadQueue
    {
        QueueSpinLock lock;
        // Wakes sleeping workers: released for queued tasks while some worker sleeps, and once per
        // worker at the stop. A worker may find nothing after a wake-up (another took the task).
        Threading::Semaphore semaphore;
        TaskQueue m_queue;
        std::atomic<uint32> numQueued{0}; // written under the lock; read without it as a hint
        // Workers that announced their sleep and were not yet claimed by a waker (see QueueList).
        std::atomic<uint32> numSleeping{0};
        ThreadHandle* workers = nullptr;
        uint32 numWorkers = 0;

        bool CheckEmpty()
        {
            std::lock_guard<QueueSpinLock> guard(lock);
            MX_ASSERT(m_queue.empty());
            return m_queue.empty();
        }
    };

    static bool Init(uint32 numWorkers);
    static void Invalidate();
    static void Setup(Task* task, std::span<GraphEvent* const> prerequisites, GraphEvent** eventToSignal);
    static void Queue(Task* task) { QueueList(task, task, 1); }
    static void QueueList(Task* first, Task* last, uint32 count);
    // Takes the head task. useHint: skip the lock when the queue looks empty.
    static Task* PopTask(NamedThreadQueue& queue, bool useHint = true);
    static void RunTask(Task* task);
    static void WorkerEntry(void* userData);

    static GraphEvent* CreateEvent(int32 completionCount);
    static void DestroyEvent(GraphEvent* event);
    static void CompleteEvent(GraphEvent* event);
    static void WaitEvent(GraphEvent* event);

    static NamedThreadQueue& QueueOf(uint32 thread) { return Queues()[thread]; }
    static NamedThreadQueue* Queues() { return reinterpret_cast<NamedThreadQueue*>(s_queueStorage); }

    // Read on every setup: a line of its own, away from anything that threads write.
    alignas(kCacheLine) static std::atomic<bool> m_inited;
    static std::atomic<bool> m_quit;
    static LockFreePool* s_eventPool;
    // Created by Init; destroyed by Invalidate once none of their tasks is alive, else kept for the
    // next Init (a task still alive returns to its pool whenever it is deleted).
    static std::atomic<LockFreePool*> s_taskPools[kNumTaskClasses];
    static void CreateTaskPools();
    static void DestroyTaskPools();
    alignas(
        NamedThreadQueue) static unsigned char s_queueStorage[sizeof(NamedThreadQueue) * kNumNamedThreads];
};

alignas(kCacheLine) std::atomic<bool> TaskGraphImpl::m_inited{false};
std::atomic<bool> TaskGraphImpl::m_quit{false};
LockFreePool* TaskGraphImpl::s_eventPool = nullptr;
std::atomic<LockFreePool*> TaskGraphImpl::s_taskPools[kNumTaskClasses] = {};
alignas(
    TaskGraphImpl::NamedThreadQueue) unsigned char TaskGraphImpl::s_queueStorage[sizeof(NamedThreadQueue) *
                                                                                 kNumNamedThreads];

// --- Tasks ----------------------------------------------------------------------------------------

Task::Task(ENamedThread desiredThread) : m_desiredThread(static_cast<uint32>(desiredThread))
{
}

namespace
{
LockFreePool*& TaskPoolWord(void* task, size_t size)
{
    return *reinterpret_cast<LockFreePool**>(static_cast<char*>(task) + ((size + 7) & ~size_t(7)));
}
} // namespace

void* Task::operator new(size_t size)
{
    const size_t total = ((size + 7) & ~size_t(7)) + kTaskFooter;
    void* block = nullptr;
    LockFreePool* pool = nullptr;
    for (uint32 c = 0; c < kNumTaskClasses; ++c)
    {
        if (total <= kTaskClassBytes[c])
        {
            pool = TaskGraphImpl::s_taskPools[c].load(std::memory_order_acquire);
            if (pool)
                block = pool->Alloc();
            break;
        }
    }
    if (block == nullptr)
    {
        pool = nullptr;
        block = Memory::Alloc(total);
    }
    TaskPoolWord(block, size) = pool;
    return block;
}

void Task::operator delete(void* p, size_t size)
{
    if (p == nullptr)
        return;
    if (LockFreePool* pool = TaskPoolWord(p, size))
        pool->Free(p);
    else
        Memory::Free(p, ((size + 7) & ~size_t(7)) + kTaskFooter);
}

void TaskGraphImpl::CreateTaskPools()
{
    for (uint32 c = 0; c < kNumTaskClasses; ++c)
    {
        if (s_taskPools[c].load(std::memory_order_relaxed) == nullptr)
            s_taskPools[c].store(
                new LockFreePool(kTaskClassBytes[c], kMaxTasksPerClass, kTasksPerPageHint, kTaskPoolNames[c]),
                std::memory_order_release);
    }
}

void TaskGraphImpl::DestroyTaskPools()
{
    for (uint32 c = 0; c < kNumTaskClasses; ++c)
    {
        LockFreePool* pool = s_taskPools[c].load(std::memory_order_relaxed);
        if (pool == nullptr)
            continue;
        // The workers' caches went back as they exited; a task still alive (or a cache of a thread
        // that still runs) keeps the pool, which must outlive every task it holds.
        pool->FlushCallingThread();
        uint64 total = uint64(pool->GetNumAllocatedBundles()) * LockFree::Constants::kNumObjectsInBundle;
        uint32 alive = static_cast<uint32>(total - pool->CountFreeObjects());
        if (alive != 0)
        {
            MX_LOG_WARNING(
                "Task pool '%s': %u tasks still alive (or cached by threads still running), the pool is kept",
                kTaskPoolNames[c], alive);
            continue;
        }
        s_taskPools[c].store(nullptr, std::memory_order_relaxed);
        delete pool;
    }
}

Task::~Task()
{
    if (GraphEvent* event = m_eventToComplete)
    {
        m_eventToComplete = nullptr;
        event->Release();
    }
}

// --- Events ---------------------------------------------------------------------------------------

GraphEvent* GraphEvent::Create(int32 completionCount)
{
    return TaskGraphImpl::CreateEvent(completionCount);
}

void GraphEvent::AddRef()
{
    m_refCount.fetch_add(1, std::memory_order_relaxed);
}

void GraphEvent::Release()
{
    uint32 previous = m_refCount.fetch_sub(1, std::memory_order_acq_rel);
    MX_ASSERT(previous > 0);
    if (previous == 1)
        TaskGraphImpl::DestroyEvent(this);
}

void GraphEvent::Complete()
{
    TaskGraphImpl::CompleteEvent(this);
}

void GraphEvent::Wait()
{
    TaskGraphImpl::WaitEvent(this);
}

GraphEvent* TaskGraphImpl::CreateEvent(int32 completionCount)
{
    MX_ASSERT(m_inited);
    LockFreePool* pool = s_eventPool;
    if (!m_inited.load(std::memory_order_acquire) || pool == nullptr)
        return nullptr;
    void* storage = pool->Alloc();
    if (storage == nullptr)
        return nullptr;
    return new (storage) GraphEvent(completionCount);
}

void TaskGraphImpl::DestroyEvent(GraphEvent* event)
{
    // The subsequents list asserts, as it is destroyed, that it is closed or empty.
    event->~GraphEvent();
    if (s_eventPool)
        s_eventPool->Free(event);
}

void TaskGraphImpl::CompleteEvent(GraphEvent* event)
{
    int32 remaining = event->m_completionCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    MX_ASSERT(remaining >= 0);
    if (remaining != 0)
        return;
    MX_ASSERT(event->m_reentrancyCounter.fetch_add(1, std::memory_order_relaxed) == 0);
    event->AddRef();

    // Ready tasks per named thread, in the order they were set up (the chain is last-in first-out,
    // and prepending reverses it), queued with one lock and one wake-up per queue.
    Task* readyFirst[kNumNamedThreads] = {};
    Task* readyLast[kNumNamedThreads] = {};
    uint32 readyCount[kNumNamedThreads] = {};
    uint32 numSubsequents = 0;
    uint32 link = event->m_subsequents.PopAllAndClose();
    while (link)
    {
        // The tasks were written by the threads that set them up. Collected a batch at a time with
        // their lines requested together, they arrive in the time of one miss; the decrements (each a
        // full barrier) would otherwise take the misses one after another.
        constexpr uint32 kBatch = 16;
        Task* batch[kBatch];
        uint32 numInBatch = 0;
        while (link && numInBatch < kBatch)
        {
            LockFree::Link& l = LockFree::GetLink(link);
            uint32 next = l.m_next.load(std::memory_order_relaxed);
            auto* task = reinterpret_cast<Task*>(l.m_payload);
            LockFree::FreeLink(link);
            link = next;
            ++numSubsequents;
            MX_ASSERT(task);
            if (task == nullptr)
                continue;
            __builtin_prefetch(&task->m_numOfPrerequistitesOutstanding, 1);
            batch[numInBatch++] = task;
        }
        for (uint32 i = 0; i < numInBatch; ++i)
        {
            Task* task = batch[i];
            if (task->m_numOfPrerequistitesOutstanding.fetch_sub(1, std::memory_order_acq_rel) != 1)
                continue;
            uint32 thread = task->m_desiredThread < kNumNamedThreads ? task->m_desiredThread : 0;
            task->m_queueNext = readyFirst[thread];
            readyFirst[thread] = task;
            if (readyLast[thread] == nullptr)
                readyLast[thread] = task;
            ++readyCount[thread];
        }
    }
    for (uint32 thread = 0; thread < kNumNamedThreads; ++thread)
    {
        if (readyCount[thread])
            QueueList(readyFirst[thread], readyLast[thread], readyCount[thread]);
    }
    // The references of the subsequents; ours keeps the event alive until the end.
    if (numSubsequents)
        event->m_refCount.fetch_sub(numSubsequents, std::memory_order_acq_rel);
    event->m_reentrancyCounter.fetch_sub(1, std::memory_order_relaxed);
    event->Release();
}

void TaskGraphImpl::WaitEvent(GraphEvent* event)
{
    MX_PROFILE_ZONE("Morvex::GraphEvent::Wait");
    // A short task usually ends within the spin; only a longer wait pays for an OS event and a task.
    for (uint32 i = 0; i < kWaitSpinCount; ++i)
    {
        if (event->IsSignaled())
            return;
        CpuPause();
    }
    MX_ASSERT(m_inited);
    if (!m_inited.load(std::memory_order_acquire))
        return; // nothing would ever run the task that wakes us
    Threading::Event* osEvent = Threading::Event::Create(false, nullptr);
    GraphEvent* prerequisite = event;
    MX_ASSERT(prerequisite);
    Setup(new SendEventTask(osEvent), {&prerequisite, 1}, nullptr);
    Threading::Event::Wait(osEvent, Threading::kInfinite);
    // Woken by the task's Set: the worker no longer touches the OS event, only deletes the task.
    Threading::Event::Destroy(osEvent);
}

// --- Setup and queues -----------------------------------------------------------------------------

void TaskGraphImpl::Setup(Task* task, std::span<GraphEvent* const> prerequisites,
                          GraphEvent** eventToSignalSlot)
{
    MX_MEMORY_TAG_SCOPE("Core");
    MX_ASSERT(m_inited);
    MX_ASSERT(task);
    if (task == nullptr)
        return;
    if (!m_inited.load(std::memory_order_acquire))
    {
        delete task;
        return;
    }
    if (eventToSignalSlot)
    {
        GraphEvent* eventToSignal = *eventToSignalSlot;
        MX_ASSERT(!eventToSignal || !eventToSignal->IsSignaled());
        *eventToSignalSlot = task->m_eventToComplete;
        task->m_eventToComplete = eventToSignal;
    }

    uint32 numPrerequisites = static_cast<uint32>(prerequisites.size());
    uint32 expected = 0;
    // Release is more than needed (each push below publishes the count too) but costs nothing here.
    // A task set up twice is already on its way to a queue: nothing more may touch it.
    if (!MX_VERIFY(task->m_numOfPrerequistitesOutstanding.compare_exchange_strong(expected, numPrerequisites,
                                                                                  std::memory_order_release)))
        return;
    if (numPrerequisites == 0)
    {
        Queue(task);
        return;
    }

    uint32 done = 0;
    for (GraphEvent* dependency : prerequisites)
    {
        MX_ASSERT(dependency);
        if (dependency == nullptr)
        {
            ++done;
            continue;
        }
        // Completed already: the push below would fail. Saves the reference and the link.
        if (dependency->IsSignaled())
        {
            ++done;
            continue;
        }
        dependency->AddRef();
        uint32 link = LockFree::AllocLink();
        if (link)
        {
            LockFree::GetLink(link).m_payload = reinterpret_cast<uint64>(task);
            if (dependency->m_subsequents.PushIfNotClosed(link))
                continue;
            LockFree::FreeLink(link);
        }
        // Completed already (or no link to wait with): this prerequisite is done.
        dependency->Release();
        ++done;
    }
    // When every push succeeded, the last Complete queues the task, which may already have run and
    // been deleted: it must not be touched again. Otherwise the count cannot reach 0 before this
    // subtraction (each pending prerequisite takes one off, leaving at least `done`).
    if (done > 0 && task->m_numOfPrerequistitesOutstanding.fetch_sub(done, std::memory_order_acq_rel) == done)
        Queue(task);
}

void TaskGraphImpl::QueueList(Task* first, Task* last, uint32 count)
{
    MX_MEMORY_TAG_SCOPE("Core");
    Task* task = first;
    ENamedThread desiredThread =
        task ? static_cast<ENamedThread>(task->m_desiredThread) : ENamedThread::kCount;
    MX_ASSERT(desiredThread != ENamedThread::kCount);
    MX_ASSERT(task);
    if (task == nullptr)
        return;
    uint32 index = static_cast<uint32>(desiredThread);
    NamedThreadQueue& queue = QueueOf(index < kNumNamedThreads ? index : 0);
    {
        std::lock_guard<QueueSpinLock> lock(queue.lock);
        first->m_queuePrev = queue.m_queue.tail;
        for (Task* t = first; t != last; t = t->m_queueNext)
            t->m_queueNext->m_queuePrev = t;
        last->m_queueNext = nullptr;
        if (queue.m_queue.tail)
            queue.m_queue.tail->m_queueNext = first;
        else
            queue.m_queue.head = first;
        queue.m_queue.tail = last;
        queue.numQueued.store(queue.numQueued.load(std::memory_order_relaxed) + count,
                              std::memory_order_relaxed);
    }
    // A worker announces its sleep before it looks at the queue one last time under the lock; our
    // append came after that look (or the worker would have found the task), so the lock orders its
    // announcement before this read. Workers that spin or run tasks need no wake-up. The waker takes
    // the sleepers it wakes off the count, so that the producers that follow do not wake a worker
    // again (each a system call) while it is still on its way out of the wait.
    uint32 sleeping = queue.numSleeping.load(std::memory_order_relaxed);
    while (sleeping)
    {
        uint32 wake = count < sleeping ? count : sleeping;
        if (queue.numSleeping.compare_exchange_weak(sleeping, sleeping - wake, std::memory_order_relaxed))
        {
            queue.semaphore.Release(static_cast<int32>(wake));
            break;
        }
    }
}

Task* TaskGraphImpl::PopTask(NamedThreadQueue& queue, bool useHint)
{
    if (useHint && queue.numQueued.load(std::memory_order_relaxed) == 0)
        return nullptr; // a task appended right now is found by the next look
    std::lock_guard<QueueSpinLock> lock(queue.lock);
    Task* task = queue.m_queue.head;
    if (task)
    {
        queue.m_queue.head = task->m_queueNext;
        if (queue.m_queue.head)
            queue.m_queue.head->m_queuePrev = nullptr;
        else
            queue.m_queue.tail = nullptr;
        task->m_queueNext = nullptr;
        queue.numQueued.store(queue.numQueued.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        // The next task is likely run next: its line arrives while this one runs.
        if (queue.m_queue.head)
            __builtin_prefetch(queue.m_queue.head, 1);
    }
    return task;
}

void TaskGraphImpl::RunTask(Task* task)
{
    // Completed right after the body, and last written by the thread that set the task up.
    if (task->m_eventToComplete)
        __builtin_prefetch(task->m_eventToComplete, 1);
    task->Run();
    if (GraphEvent* event = task->m_eventToComplete)
    {
        task->m_eventToComplete = nullptr;
        event->Complete();
        event->Release();
    }
    delete task;
}

void TaskGraphImpl::WorkerEntry(void* userData)
{
    auto& queue = *static_cast<NamedThreadQueue*>(userData);
    for (;;)
    {
        Task* task = PopTask(queue);
        // The spin only reads the hint: a line that the producers write is read, not fought over.
        // Every round of the yields looks.
        for (uint32 i = 0; task == nullptr && i < kWorkerSpinCount + kWorkerYieldCount; ++i)
        {
            if (i < kWorkerSpinCount)
                CpuPause();
            else
                std::this_thread::yield();
            if (i % kWorkerPollInterval != 0 && i < kWorkerSpinCount)
                continue;
            if (queue.numQueued.load(std::memory_order_relaxed))
                task = PopTask(queue);
            else if (m_quit.load(std::memory_order_relaxed))
                break;
        }
        if (task)
        {
            RunTask(task);
            continue;
        }
        // The queue is drained before the workers go: only an empty queue lets a stop through.
        if (m_quit.load(std::memory_order_acquire))
            break;
        // The last look takes the lock: see QueueList for why that keeps a wake-up from being lost.
        queue.numSleeping.fetch_add(1, std::memory_order_relaxed);
        task = PopTask(queue, false);
        if (task == nullptr && !m_quit.load(std::memory_order_acquire))
        {
            // A waker took this worker off the count before it released the semaphore.
            queue.semaphore.Wait();
        }
        else
        {
            // Not asleep after all: take the announcement back unless a waker claimed it already,
            // in which case its release ends the next wait at once.
            uint32 sleeping = queue.numSleeping.load(std::memory_order_relaxed);
            while (sleeping && !queue.numSleeping.compare_exchange_weak(sleeping, sleeping - 1,
                                                                        std::memory_order_relaxed))
            {
            }
        }
        if (task)
            RunTask(task);
    }
}

bool TaskGraphImpl::Init(uint32 numWorkers)
{
    MX_MEMORY_TAG_SCOPE("Core");
    MX_ASSERT(!m_inited);
    if (m_inited.load(std::memory_order_acquire))
        return false;
    // Events and subsequents lists take their links from the kernel's links manager.
    MX_ASSERT(LockFree::GLinksManager);
    if (LockFree::GLinksManager == nullptr)
        return false;
    CreateTaskPools();
    // Each event on a cache line of its own: the worker that completes one must not take the line
    // from the thread that creates or sets up tasks on its neighbour.
    static_assert(sizeof(GraphEvent) <= kCacheLine);
    s_eventPool = new LockFreePool(kCacheLine, kMaxEvents, kEventsPerPageHint, "GraphEvent");
    m_quit.store(false, std::memory_order_relaxed);
    for (uint32 i = 0; i < kNumNamedThreads; ++i)
        new (&Queues()[i]) NamedThreadQueue();
    // Published before the first worker starts, so that workers and setups see a running graph.
    m_inited.store(true, std::memory_order_release);
    NamedThreadQueue& workers = QueueOf(static_cast<uint32>(ENamedThread::kWorker));
    if (numWorkers)
    {
        workers.workers = static_cast<ThreadHandle*>(Memory::Alloc(sizeof(ThreadHandle) * numWorkers));
        for (uint32 i = 0; i < numWorkers; ++i)
        {
            ThreadHandle handle = Threading::StartThread(kWorkerStackSize, ThreadPriority::Normal,
                                                         &WorkerEntry, &workers, "Worker");
            if (handle)
                workers.workers[workers.numWorkers++] = handle;
        }
    }
    return workers.numWorkers == numWorkers;
}

void TaskGraphImpl::Invalidate()
{
    MX_PROFILE_ZONE("Morvex::TaskGraphPrivate::Invalidate");
    MX_MEMORY_TAG_SCOPE("Core");
    if (!m_inited.load(std::memory_order_acquire))
        return;
    bool expected = false;
    MX_ASSERT(m_quit.compare_exchange_strong(expected, true, std::memory_order_release));
    for (uint32 i = 0; i < kNumNamedThreads; ++i)
    {
        NamedThreadQueue& queue = QueueOf(i);
        queue.semaphore.Release(static_cast<int32>(queue.numWorkers));
        Threading::WaitForThreads(queue.workers, static_cast<int32>(queue.numWorkers), Threading::kInfinite);
        // Tasks nobody ran (a graph without workers) still run, so that their events complete and
        // nothing they own is lost.
        if (!queue.CheckEmpty())
        {
            while (Task* task = PopTask(queue))
                RunTask(task);
        }
    }
    for (uint32 i = 0; i < kNumNamedThreads; ++i)
    {
        NamedThreadQueue& queue = QueueOf(i);
        if (queue.workers)
            Memory::Free(queue.workers, sizeof(ThreadHandle) * queue.numWorkers);
        queue.~NamedThreadQueue();
    }
    m_inited.store(false, std::memory_order_release);
    // After the workers are joined: their caches went back to the pool as they exited.
    delete s_eventPool;
    s_eventPool = nullptr;
    DestroyTaskPools();
    m_quit.store(false, std::memory_order_relaxed);
}

// --- Public interface -----------------------------------------------------------------------------

bool TaskGraph::Init(uint32 numWorkers)
{
    return TaskGraphImpl::Init(numWorkers);
}

bool TaskGraph::IsInited()
{
    return TaskGraphImpl::m_inited.load(std::memory_order_acquire);
}

void TaskGraph::Setup(Task* task, std::span<GraphEvent* const> prerequisites, GraphEvent** eventToSignal)
{
    TaskGraphImpl::Setup(task, prerequisites, eventToSignal);
}

void TaskGraph::Queue(Task* task)
{
    MX_MEMORY_TAG_SCOPE("Core");
    MX_ASSERT(task);
    MX_ASSERT(TaskGraphImpl::m_inited);
    if (task == nullptr)
        return;
    if (!TaskGraphImpl::m_inited.load(std::memory_order_acquire))
    {
        delete task;
        return;
    }
    TaskGraphImpl::Queue(task);
}

uint32 TaskGraph::GetNumQueuedTasks(ENamedThread thread)
{
    uint32 index = static_cast<uint32>(thread);
    if (!IsInited() || index >= kNumNamedThreads)
        return 0;
    TaskGraphImpl::NamedThreadQueue& queue = TaskGraphImpl::QueueOf(index);
    std::lock_guard<QueueSpinLock> lock(queue.lock);
    return queue.numQueued.load(std::memory_order_relaxed);
}

uint32 TaskGraph::RunQueuedTasks(ENamedThread thread)
{
    uint32 index = static_cast<uint32>(thread);
    if (!IsInited() || index >= kNumNamedThreads)
        return 0;
    uint32 count = 0;
    while (Task* task = TaskGraphImpl::PopTask(TaskGraphImpl::QueueOf(index)))
    {
        TaskGraphImpl::RunTask(task);
        ++count;
    }
    return count;
}

void TaskGraphPrivate::Invalidate()
{
    TaskGraphImpl::Invalidate();
}

// --- Console command ------------------------------------------------------------------------------

namespace
{
void TaskGraphTestCommand(const CmdArgs&)
{
    // The test brings up its own workers unless a graph runs already, and stops them before it
    // reports, so that it can run any number of times in one process.
    bool started = false;
    char reason[256] = "";
    bool passed = true;
    if (!TaskGraph::IsInited())
    {
        started = true;
        if (!TaskGraph::Init(kSelfTestWorkers))
        {
            passed = false;
            std::snprintf(reason, sizeof(reason), "not every worker thread could be started");
        }
    }
    if (passed)
        passed = TaskGraph::RunSelfTest(reason, sizeof(reason));
    if (started)
        TaskGraphPrivate::Invalidate();
    if (passed)
        MX_LOG_INFO("Core.TaskGraph.Test: passed");
    else
        MX_LOG_ERROR("Core.TaskGraph.Test: failed: %s", reason);
}
MX_CONSOLE_COMMAND("Core.TaskGraph.Test", "", TaskGraphTestCommand);
} // namespace
} // namespace Morvex
