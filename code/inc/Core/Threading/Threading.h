#pragma once
// The thread registry: one record per thread the engine knows (the main thread, every thread started
// through Threading::StartThread, and foreign threads registered when they first touch engine
// services). Thread-safe: the registry is guarded by one recursive lock.

#include "Core/Types.h"

namespace Morvex
{
// Index into the display-name table and the scheduling table. Only these three values exist.
enum class ThreadPriority : uint32
{
    High = 0,
    Normal = 1,
    Low = 2,
};

// Opaque, process-lifetime handle of a started thread (or of the main thread). Handles are never
// freed while the process runs, so a stale handle can always be waited on safely; a handle the
// registry does not know makes the wait fail (see WaitForThreads).
struct ThreadHandleImpl;
using ThreadHandle = ThreadHandleImpl*;

// The per-thread memory-tag stack, owned by the memory-tag system.
struct ThreadData;

using ThreadEntry = void (*)(void* userData);

// One record per known thread. Fields after creation are written only under the registry lock.
struct ThreadInfo
{
    enum Flags : uint8
    {
        kThirdParty = 1, // not started by StartThread nor registered by Init
        kStarted = 2,    // has begun running engine code
        kFinished = 4,   // the entry function has returned (or a foreign thread is gone)
    };
    static constexpr uint32 kNameCapacity = 32; // 31 bytes and the NUL

    uint32 threadId;           // OS thread id (gettid)
    ThreadHandle threadHandle; // null for lazily registered foreign threads
    ThreadData* threadData;    // created lazily by the memory-tag system
    uint8 flags;
    ThreadEntry entry; // null for registered threads
    void* userData;
    char name[kNameCapacity];
    ThreadPriority priority;
    uint64 affinityMask; // all ones: not set
    ThreadInfo* prev;
    ThreadInfo* next; // doubles as the free-list link

    bool IsThirdParty() const { return (flags & kThirdParty) != 0; }
    bool IsStarted() const { return (flags & kStarted) != 0; }
    bool IsFinished() const { return (flags & kFinished) != 0; }

    // Ends of the registry list in registration order (the main thread is first) and the recycled
    // records. Read them only under Threading::LockRegistry.
    static ThreadInfo* first;
    static ThreadInfo* last;
    static ThreadInfo* freeList;
};

namespace Threading
{
constexpr uint32 kInfinite = 0xFFFFFFFFu;
constexpr uint64 kNoAffinity = ~uint64(0);
constexpr uint32 kMaxNameLength = ThreadInfo::kNameCapacity - 1;

// Kernel construction: registers the calling thread as the main thread under `mainThreadName`.
// Must run before any other thread registers (asserts "ThreadInfo::first == pThreadInfo" otherwise).
void Init(const char* mainThreadName);
// Process teardown, after every started thread was joined: marks the main thread finished and
// drops its handle. Threads that exit later still clean up safely.
void Shutdown();

// Creates a thread that runs entry(userData). stackSize 0 takes the system default; other sizes are
// rounded up to the page size and the system minimum. name: UTF-8, cut to 31 bytes (at a character
// boundary) for the registry and to 15 bytes for the OS. Priority and affinity failures are logged at
// Error and the thread runs with the defaults. Result: the thread's handle (owned by the registry,
// never closed by the caller), null after the assertion "hThread" when the thread could not be
// created. Any thread.
ThreadHandle StartThread(uint32 stackSize, ThreadPriority priority, ThreadEntry entry, void* userData,
                         const char* name, uint64 affinityMask = kNoAffinity);

// The calling thread's record; registers a foreign thread on first use (named "Not registered",
// flagged third party; its record is recycled when the thread exits). Never null.
ThreadInfo* GetCurrentThreadInfo();

// First record in list order whose id matches and that belongs to a live thread (records of threads
// that have finished keep their ids, which the OS reuses, so they never match). Null when none.
// The caller holds the registry lock.
ThreadInfo* FindThreadInfoByThreadId(uint32 threadId);

// Waits until every handle's thread has ended or timeoutMs passes (kInfinite: no limit). Returns false
// only when the time-out passed; any other outcome returns true, a failed wait included (null or
// unknown handle, count <= 0, a thread waiting for itself). Waiting again on an ended thread, or from
// several threads at once, is safe. Any thread.
bool WaitForThreads(const ThreadHandle* handles, int32 count, uint32 timeoutMs);

// Names a thread for debuggers and tools (the OS name, cut to 15 bytes). The main thread keeps the
// process name: renaming it would rename the process in ps and /proc. Unknown handles are ignored.
void SetThreadName(ThreadHandle handle, const char* name);

bool IsMainThread();
uint32 GetCurrentThreadId();
uint32 GetMainThreadId();
// "High", "Normal", "Low"; "?" for values outside the enumeration.
const char* GetPriorityName(ThreadPriority priority);

// The registry lock (recursive). Hold it to walk ThreadInfo::first..next or to call
// FindThreadInfoByThreadId. Do not start threads or wait for them while holding it.
void LockRegistry();
void UnlockRegistry();

// Logs the registry as a table at Info (the Core.ListThreads console command).
void ListThreads();

// Called with a recycled foreign thread's memory-tag data, under the registry lock. Installed by the
// memory-tag system; null (the default) leaves the data alone.
using ThreadDataRelease = void (*)(ThreadData* data);
void SetThreadDataRelease(ThreadDataRelease release);
} // namespace Threading
} // namespace Morvex
