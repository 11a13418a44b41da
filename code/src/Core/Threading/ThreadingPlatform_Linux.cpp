// Linux side of the thread registry: pthreads, nice values, CPU sets and thread names.
//
// Mapping of the engine's thread model:
// - A handle is our own record (never freed while the process runs) around the pthread. Windows lets
//   any number of waits hit one thread handle; pthread_join may run once, so the first waiter joins
//   and caches the result, later and concurrent waiters read or wait for that result.
// - Thread ids are gettid() values, not pthread_t (which glibc reuses at once).
// - Priorities map to the thread's nice value relative to the main thread's at start-up:
//   High = one less, Normal = the same, Low = one more. A refused raise (EPERM/EACCES without
//   CAP_SYS_NICE) is reported by the caller.
// - The debugger naming exception has no Linux meaning; pthread_setname_np is what tools (ps, top,
//   gdb) show, limited to 15 bytes.
// - The thread exit hook is a pthread key destructor, which also runs for threads we did not start.
// - Events are a mutex, a monotonic condition variable and a signalled flag; semaphores are sem_t
//   (SEM_VALUE_MAX is the 0x7FFFFFFF maximum).

#include "ThreadingPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace Morvex
{
struct ThreadHandleImpl
{
    pthread_mutex_t mutex;
    pthread_cond_t cond; // CLOCK_MONOTONIC
    pthread_t thread;
    ThreadInfo* info;
    uint32 threadId;
    bool idPublished; // the new thread has stored threadId
    bool joinable;    // false for the main thread's handle
    bool joining;     // a waiter is inside pthread_join right now
    bool ended;       // joined (or, for the main thread, closed)
};

namespace
{
pthread_mutex_t GRegistryMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
pthread_once_t GKeyOnce = PTHREAD_ONCE_INIT;
pthread_key_t GExitKey;
int GBaseNice = 0;
ThreadHandleImpl GMainThreadHandle;

void OnKeyDestroyed(void* value)
{
    Threading_OnThreadExit(static_cast<ThreadInfo*>(value));
}

void CreateKey()
{
    if (pthread_key_create(&GExitKey, OnKeyDestroyed) != 0)
        std::abort(); // only fails when the process is out of keys at start-up
}

void InitHandle(ThreadHandleImpl* h)
{
    pthread_mutex_init(&h->mutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&h->cond, &attr);
    pthread_condattr_destroy(&attr);
}

void DestroyHandle(ThreadHandleImpl* h)
{
    pthread_cond_destroy(&h->cond);
    pthread_mutex_destroy(&h->mutex);
}

timespec ToTimespec(uint64 ms)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    return ts;
}

void* ThreadMain(void* arg)
{
    auto* h = static_cast<ThreadHandleImpl*>(arg);
    ThreadInfo* info = h->info;
    pthread_mutex_lock(&h->mutex);
    h->threadId = static_cast<uint32>(syscall(SYS_gettid));
    h->idPublished = true;
    pthread_cond_broadcast(&h->cond);
    pthread_mutex_unlock(&h->mutex);

    Threading_RunThreadEntry(info);
    return nullptr;
}

// Cuts to what the kernel keeps (15 bytes) without splitting a UTF-8 sequence.
void OsName(char (&out)[16], const char* name)
{
    size_t n = std::strlen(name);
    if (n > 15)
    {
        n = 15;
        while (n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(out, name, n);
    out[n] = 0;
}

// Joins the thread; when the remaining time is limited, in slices of at most a second on the
// wall clock so that a clock change cannot stretch the monotonic deadline.
int JoinThread(pthread_t thread, bool infinite, uint64 deadlineMs)
{
    if (infinite)
        return pthread_join(thread, nullptr);
    for (;;)
    {
        uint64 now = ThreadingPlatform::MonotonicMs();
        if (now >= deadlineMs)
        {
            int rc = pthread_tryjoin_np(thread, nullptr);
            return rc == EBUSY ? ETIMEDOUT : rc;
        }
        uint64 slice = deadlineMs - now;
        if (slice > 1000)
            slice = 1000;
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += static_cast<time_t>(slice / 1000);
        until.tv_nsec += static_cast<long>((slice % 1000) * 1000000);
        if (until.tv_nsec >= 1000000000)
        {
            until.tv_nsec -= 1000000000;
            ++until.tv_sec;
        }
        int rc = pthread_timedjoin_np(thread, nullptr, &until);
        if (rc != ETIMEDOUT)
            return rc;
    }
}
} // namespace

void ThreadingPlatform::Lock()
{
    pthread_mutex_lock(&GRegistryMutex);
}

void ThreadingPlatform::Unlock()
{
    pthread_mutex_unlock(&GRegistryMutex);
}

uint32 ThreadingPlatform::CurrentThreadId()
{
    return static_cast<uint32>(syscall(SYS_gettid));
}

void ThreadingPlatform::SetExitHook(ThreadInfo* info)
{
    pthread_once(&GKeyOnce, CreateKey);
    pthread_setspecific(GExitKey, info);
}

ThreadInfo* ThreadingPlatform::GetExitHook()
{
    pthread_once(&GKeyOnce, CreateKey);
    return static_cast<ThreadInfo*>(pthread_getspecific(GExitKey));
}

void ThreadingPlatform::InitMainThread()
{
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, 0);
    GBaseNice = errno == 0 ? nice : 0;
}

ThreadHandle ThreadingPlatform::OpenMainThreadHandle()
{
    ThreadHandleImpl* h = &GMainThreadHandle;
    static bool initialised = false;
    if (!initialised)
    {
        InitHandle(h);
        initialised = true;
    }
    pthread_mutex_lock(&h->mutex);
    h->thread = pthread_self();
    h->threadId = CurrentThreadId();
    h->idPublished = true;
    h->joinable = false;
    h->joining = false;
    h->ended = false;
    pthread_mutex_unlock(&h->mutex);
    return h;
}

void ThreadingPlatform::CloseMainThreadHandle(ThreadHandle h)
{
    pthread_mutex_lock(&h->mutex);
    h->ended = true;
    pthread_cond_broadcast(&h->cond);
    pthread_mutex_unlock(&h->mutex);
}

ThreadHandle ThreadingPlatform::CreateThread(uint32 stackSize, ThreadInfo* info, uint32* threadId, int* error)
{
    // The C heap, not an engine heap: the caller holds the registry lock. The handle is never freed
    // once its thread exists, so that late waits on it stay valid.
    auto* h = static_cast<ThreadHandleImpl*>(std::calloc(1, sizeof(ThreadHandleImpl)));
    if (h == nullptr)
    {
        *error = ENOMEM;
        return nullptr;
    }
    new (h) ThreadHandleImpl{};
    InitHandle(h);
    h->info = info;
    h->joinable = true;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int rc = 0;
    if (stackSize != 0)
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t size = stackSize < static_cast<size_t>(PTHREAD_STACK_MIN) ? PTHREAD_STACK_MIN : stackSize;
        size = (size + page - 1) / page * page;
        rc = pthread_attr_setstacksize(&attr, size);
    }
    if (rc == 0)
        rc = pthread_create(&h->thread, &attr, ThreadMain, h);
    pthread_attr_destroy(&attr);
    if (rc != 0)
    {
        DestroyHandle(h);
        std::free(h);
        *error = rc;
        return nullptr;
    }

    // The priority and the id the registry records need the new thread's kernel id.
    pthread_mutex_lock(&h->mutex);
    while (!h->idPublished)
        pthread_cond_wait(&h->cond, &h->mutex);
    *threadId = h->threadId;
    pthread_mutex_unlock(&h->mutex);
    *error = 0;
    return h;
}

int ThreadingPlatform::SetPriority(ThreadHandle h, ThreadPriority priority)
{
    int target = GBaseNice;
    if (priority == ThreadPriority::High)
        target -= 1;
    else if (priority == ThreadPriority::Low)
        target += 1;
    if (target < -20)
        target = -20;
    if (target > 19)
        target = 19;
    errno = 0;
    int current = getpriority(PRIO_PROCESS, static_cast<id_t>(h->threadId));
    if (errno == 0 && current == target)
        return 0;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(h->threadId), target) != 0)
        return errno;
    return 0;
}

int ThreadingPlatform::SetAffinity(ThreadHandle h, uint64 mask)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
    {
        if (mask & (uint64(1) << cpu))
            CPU_SET(cpu, &set);
    }
    return pthread_setaffinity_np(h->thread, sizeof(set), &set);
}

void ThreadingPlatform::SetName(ThreadHandle h, const char* name)
{
    char osName[16];
    OsName(osName, name);
    pid_t pid = getpid();
    if (h == nullptr)
    {
        // The process's first thread carries the process name; leave it alone.
        if (static_cast<pid_t>(CurrentThreadId()) != pid)
            pthread_setname_np(pthread_self(), osName);
        return;
    }
    pthread_mutex_lock(&h->mutex);
    if (!h->ended && static_cast<pid_t>(h->threadId) != pid)
        pthread_setname_np(h->thread, osName);
    pthread_mutex_unlock(&h->mutex);
}

int ThreadingPlatform::Wait(ThreadHandle h, bool infinite, uint64 deadlineMs)
{
    pthread_mutex_lock(&h->mutex);
    for (;;)
    {
        if (h->ended)
        {
            pthread_mutex_unlock(&h->mutex);
            return 1;
        }
        if (h->threadId == CurrentThreadId())
        {
            pthread_mutex_unlock(&h->mutex);
            return -1; // a thread cannot outlive itself
        }
        if (h->joinable && !h->joining)
        {
            h->joining = true;
            pthread_mutex_unlock(&h->mutex);
            int rc = JoinThread(h->thread, infinite, deadlineMs);
            pthread_mutex_lock(&h->mutex);
            h->joining = false;
            // Any result but a time-out means the pthread must never be joined again.
            if (rc != ETIMEDOUT)
                h->ended = true;
            // Wake the other waiters: with the result, or so that one of them takes over the join.
            pthread_cond_broadcast(&h->cond);
            pthread_mutex_unlock(&h->mutex);
            return rc == 0 ? 1 : (rc == ETIMEDOUT ? 0 : -1);
        }
        if (infinite)
            pthread_cond_wait(&h->cond, &h->mutex);
        else
        {
            if (MonotonicMs() >= deadlineMs)
            {
                pthread_mutex_unlock(&h->mutex);
                return 0;
            }
            timespec until = ToTimespec(deadlineMs);
            pthread_cond_timedwait(&h->cond, &h->mutex, &until);
        }
    }
}

uint64 ThreadingPlatform::MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64>(ts.tv_sec) * 1000 + static_cast<uint64>(ts.tv_nsec) / 1000000;
}

namespace
{
struct OsEvent
{
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    bool manualReset;
    bool signalled;
};
} // namespace

void* ThreadingPlatform::EventCreate(bool manualReset)
{
    auto* e = static_cast<OsEvent*>(std::calloc(1, sizeof(OsEvent)));
    if (e == nullptr)
        return nullptr;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    int rc = pthread_cond_init(&e->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (rc == 0 && pthread_mutex_init(&e->mutex, nullptr) != 0)
    {
        pthread_cond_destroy(&e->cond);
        rc = -1;
    }
    if (rc != 0)
    {
        std::free(e);
        return nullptr;
    }
    e->manualReset = manualReset;
    e->signalled = false;
    return e;
}

void ThreadingPlatform::EventClose(void* event)
{
    auto* e = static_cast<OsEvent*>(event);
    if (e == nullptr)
        return;
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->mutex);
    std::free(e);
}

int ThreadingPlatform::EventSet(void* event)
{
    auto* e = static_cast<OsEvent*>(event);
    pthread_mutex_lock(&e->mutex);
    e->signalled = true;
    // A manual event releases every waiter; an auto-reset one lets exactly one through.
    if (e->manualReset)
        pthread_cond_broadcast(&e->cond);
    else
        pthread_cond_signal(&e->cond);
    pthread_mutex_unlock(&e->mutex);
    return 0;
}

int ThreadingPlatform::EventReset(void* event)
{
    auto* e = static_cast<OsEvent*>(event);
    pthread_mutex_lock(&e->mutex);
    e->signalled = false;
    pthread_mutex_unlock(&e->mutex);
    return 0;
}

bool ThreadingPlatform::EventWait(void* event, uint32 timeoutMs)
{
    auto* e = static_cast<OsEvent*>(event);
    bool infinite = timeoutMs == Threading::kInfinite;
    // The clock reads whole milliseconds: one more keeps a limited wait from ending early.
    uint64 deadline = infinite ? 0 : MonotonicMs() + timeoutMs + (timeoutMs ? 1 : 0);
    pthread_mutex_lock(&e->mutex);
    while (!e->signalled)
    {
        if (infinite)
            pthread_cond_wait(&e->cond, &e->mutex);
        else
        {
            if (MonotonicMs() >= deadline)
                break;
            timespec until = ToTimespec(deadline);
            pthread_cond_timedwait(&e->cond, &e->mutex, &until);
        }
    }
    bool signalled = e->signalled;
    if (signalled && !e->manualReset)
        e->signalled = false;
    pthread_mutex_unlock(&e->mutex);
    return signalled;
}

void* ThreadingPlatform::SemaphoreCreate()
{
    auto* s = static_cast<sem_t*>(std::calloc(1, sizeof(sem_t)));
    if (s == nullptr)
        return nullptr;
    if (sem_init(s, 0, 0) != 0)
    {
        std::free(s);
        return nullptr;
    }
    return s;
}

void ThreadingPlatform::SemaphoreClose(void* semaphore)
{
    if (semaphore == nullptr)
        return;
    sem_destroy(static_cast<sem_t*>(semaphore));
    std::free(semaphore);
}

int ThreadingPlatform::SemaphoreWait(void* semaphore)
{
    while (sem_wait(static_cast<sem_t*>(semaphore)) != 0)
    {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

int ThreadingPlatform::SemaphoreRelease(void* semaphore, int32 count)
{
    for (int32 i = 0; i < count; ++i)
    {
        if (sem_post(static_cast<sem_t*>(semaphore)) != 0)
            return errno;
    }
    return 0;
}
} // namespace Morvex
