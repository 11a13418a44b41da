// The thread registry: records, registration, thread entry and exit, and the listing command.

#include "Core/Threading/Threading.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/StaticString.h"
#include "ThreadingPlatform.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace Morvex
{
ThreadInfo* ThreadInfo::first = nullptr;
ThreadInfo* ThreadInfo::last = nullptr;
ThreadInfo* ThreadInfo::freeList = nullptr;

namespace
{
uint32 GMainThreadId = 0;
Threading::ThreadDataRelease GThreadDataRelease = nullptr;

// The calling thread's record. A plain pointer: it must stay readable inside the thread exit hook.
thread_local ThreadInfo* GTLSThreadInfo = nullptr;
// The record a started thread kept after its exit hook ran, so that engine code running later in the
// same thread's teardown finds its own record again instead of a dead one with a reused id.
thread_local ThreadInfo* GTLSRetiredThreadInfo = nullptr;

const char* const kPriorityNames[] = {"High", "Normal", "Low"};

class RegistryLock
{
public:
    RegistryLock() { ThreadingPlatform::Lock(); }
    ~RegistryLock() { ThreadingPlatform::Unlock(); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
};

// Records are never returned to a heap. The first ones come from static storage so that the main
// thread's record exists before any heap does; later ones come from the C heap, never from an engine
// heap, because the engine heaps may themselves take the registry lock.
constexpr uint32 kStaticRecords = 32;
alignas(16) unsigned char GStaticRecordStorage[kStaticRecords * sizeof(ThreadInfo)];
uint32 GStaticRecordsUsed = 0;

// Caller holds the lock.
ThreadInfo* TakeRecord()
{
    ThreadInfo* info = ThreadInfo::freeList;
    if (info)
        ThreadInfo::freeList = info->next;
    else if (GStaticRecordsUsed < kStaticRecords)
        info =
            reinterpret_cast<ThreadInfo*>(GStaticRecordStorage + sizeof(ThreadInfo) * GStaticRecordsUsed++);
    else
    {
        info = static_cast<ThreadInfo*>(std::calloc(1, sizeof(ThreadInfo)));
        if (info == nullptr)
        {
            // Nothing sensible can run without a record; report it the way the heap reports exhaustion.
            MX_ASSERT_FAIL("Out of memory for thread records");
            std::abort();
        }
    }
    std::memset(static_cast<void*>(info), 0, sizeof(ThreadInfo));
    return new (info) ThreadInfo{};
}

void LinkRecord(ThreadInfo* info)
{
    info->prev = ThreadInfo::last;
    info->next = nullptr;
    if (ThreadInfo::last)
        ThreadInfo::last->next = info;
    else
        ThreadInfo::first = info;
    ThreadInfo::last = info;
}

void UnlinkRecord(ThreadInfo* info)
{
    if (info->prev)
        info->prev->next = info->next;
    else if (ThreadInfo::first == info)
        ThreadInfo::first = info->next;
    if (info->next)
        info->next->prev = info->prev;
    else if (ThreadInfo::last == info)
        ThreadInfo::last = info->prev;
    info->prev = nullptr;
    info->next = nullptr;
}

void RecycleRecord(ThreadInfo* info)
{
    UnlinkRecord(info);
    if (info->threadData && GThreadDataRelease)
        GThreadDataRelease(info->threadData);
    info->threadData = nullptr;
    info->next = ThreadInfo::freeList;
    ThreadInfo::freeList = info;
}

// Copies at most 31 bytes and never splits a UTF-8 sequence, so that names stay valid text in the
// listing and the log.
void CopyName(char (&dst)[ThreadInfo::kNameCapacity], const char* src)
{
    if (src == nullptr)
        src = "";
    size_t n = std::strlen(src);
    if (n > Threading::kMaxNameLength)
    {
        n = Threading::kMaxNameLength;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(dst, src, n);
    std::memset(dst + n, 0, sizeof(dst) - n);
}

void ListThreadsCommand(const CmdArgs&)
{
    Threading::ListThreads();
}
MX_CONSOLE_COMMAND("Core.ListThreads", "Display list of explicitly created/registered threads",
                   ListThreadsCommand);
} // namespace

void Threading::Init(const char* mainThreadName)
{
    RegistryLock lock;
    ThreadInfo* pThreadInfo = TakeRecord();
    LinkRecord(pThreadInfo);
    MX_ASSERT(ThreadInfo::first == pThreadInfo);
    MX_ASSERT(GTLSThreadInfo == nullptr);
    if (GTLSThreadInfo != nullptr)
    {
        // This thread registered already (a second Init, or engine code before the first): keep its
        // record, so that one thread never owns two, and make that record the main thread's.
        RecycleRecord(pThreadInfo);
        pThreadInfo = GTLSThreadInfo;
        pThreadInfo->flags &= ~(ThreadInfo::kThirdParty | ThreadInfo::kFinished);
    }

    GTLSThreadInfo = pThreadInfo;
    ThreadingPlatform::SetExitHook(pThreadInfo);
    pThreadInfo->flags |= ThreadInfo::kStarted;
    MemoryTags::MarkEngineThread();

    pThreadInfo->threadId = ThreadingPlatform::CurrentThreadId();
    GMainThreadId = pThreadInfo->threadId;
    ThreadingPlatform::InitMainThread();
    pThreadInfo->threadHandle = ThreadingPlatform::OpenMainThreadHandle();

    CopyName(pThreadInfo->name, mainThreadName);
    SetThreadName(pThreadInfo->threadHandle, pThreadInfo->name);

    pThreadInfo->priority = ThreadPriority::Normal;
    pThreadInfo->affinityMask = kNoAffinity;
}

void Threading::Shutdown()
{
    // The lock itself is constant-initialised and never destroyed: library threads that exit after
    // teardown still run their exit hook through it.
    RegistryLock lock;
    ThreadInfo* mainInfo = nullptr;
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
    {
        if (info->threadId == GMainThreadId && !info->IsThirdParty())
        {
            mainInfo = info;
            break;
        }
    }
    if (mainInfo == nullptr)
        return;
    mainInfo->flags |= ThreadInfo::kFinished;
    if (mainInfo->threadHandle)
    {
        ThreadingPlatform::CloseMainThreadHandle(mainInfo->threadHandle);
        mainInfo->threadHandle = nullptr;
    }
}

ThreadHandle Threading::StartThread(uint32 stackSize, ThreadPriority priority, ThreadEntry entry,
                                    void* userData, const char* name, uint64 affinityMask)
{
    MX_ASSERT(entry != nullptr);
    MX_ASSERT(static_cast<uint32>(priority) < 3);
    if (entry == nullptr)
        return nullptr;
    if (static_cast<uint32>(priority) >= 3)
        priority = ThreadPriority::Normal;

    RegistryLock lock;
    ThreadInfo* pThreadInfo = TakeRecord();
    LinkRecord(pThreadInfo);
    pThreadInfo->flags &= ~ThreadInfo::kThirdParty;
    pThreadInfo->entry = entry;
    pThreadInfo->userData = userData;
    CopyName(pThreadInfo->name, name);
    pThreadInfo->affinityMask = affinityMask;
    pThreadInfo->priority = priority;

    uint32 threadId = 0;
    int error = 0;
    ThreadHandle hThread = ThreadingPlatform::CreateThread(stackSize, pThreadInfo, &threadId, &error);
    MX_ASSERT_MSG(hThread, Str::Va("CreateThread() failed: %d", error));
    if (hThread == nullptr)
    {
        // The record never belonged to a thread: give it back rather than list a thread that never ran.
        RecycleRecord(pThreadInfo);
        return nullptr;
    }

    if (int err = ThreadingPlatform::SetPriority(hThread, priority); err != 0)
        MX_LOG_ERROR("SetThreadPriority() failed for '%s': %d", pThreadInfo->name, err);
    if (affinityMask != kNoAffinity)
    {
        if (int err = ThreadingPlatform::SetAffinity(hThread, affinityMask); err != 0)
            MX_LOG_ERROR("SetThreadAffinityMask() failed for '%s': %d", pThreadInfo->name, err);
    }
    ThreadingPlatform::SetName(hThread, pThreadInfo->name);

    pThreadInfo->threadHandle = hThread;
    pThreadInfo->threadId = threadId;
    MX_ASSERT(FindThreadInfoByThreadId(pThreadInfo->threadId) == pThreadInfo);
    return hThread;
}

void Threading_RunThreadEntry(ThreadInfo* info)
{
    MX_ASSERT(GTLSThreadInfo == nullptr && ThreadingPlatform::GetExitHook() == nullptr);
    GTLSThreadInfo = info;
    ThreadingPlatform::SetExitHook(info);
    MemoryTags::MarkEngineThread();
    {
        RegistryLock lock;
        info->flags |= ThreadInfo::kStarted;
    }
    {
        // Registers the tag on the first thread start; nothing is charged to it.
        MX_MEMORY_TAG_SCOPE("Core/Superluminal");
    }
    info->entry(info->userData);
    {
        RegistryLock lock;
        info->flags |= ThreadInfo::kFinished;
    }
}

void Threading_OnThreadExit(ThreadInfo* threadInfo)
{
    ThreadInfo* pThreadInfo = GTLSThreadInfo;
    if (pThreadInfo == nullptr)
        return;
    if (pThreadInfo->threadId == GMainThreadId && !pThreadInfo->IsThirdParty())
        return;
    MX_ASSERT(pThreadInfo == threadInfo);

    RegistryLock lock;
    if (pThreadInfo->threadHandle)
    {
        MX_ASSERT(pThreadInfo->IsStarted());
        pThreadInfo->flags |= ThreadInfo::kFinished;
        GTLSRetiredThreadInfo = pThreadInfo;
    }
    else
        RecycleRecord(pThreadInfo);
    GTLSThreadInfo = nullptr;
}

ThreadInfo* Threading::GetCurrentThreadInfo()
{
    if (ThreadInfo* info = GTLSThreadInfo)
        return info;

    RegistryLock lock;
    MX_ASSERT(GTLSThreadInfo == nullptr);
    uint32 threadId = ThreadingPlatform::CurrentThreadId();
    ThreadInfo* pThreadInfo = GTLSRetiredThreadInfo;
    if (pThreadInfo == nullptr)
        pThreadInfo = FindThreadInfoByThreadId(threadId);
    if (pThreadInfo == nullptr)
    {
        pThreadInfo = TakeRecord();
        LinkRecord(pThreadInfo);
        pThreadInfo->entry = nullptr;
        pThreadInfo->userData = nullptr;
        pThreadInfo->threadHandle = nullptr;
        pThreadInfo->threadId = threadId;
        pThreadInfo->flags &= ~ThreadInfo::kFinished;
        pThreadInfo->flags |= ThreadInfo::kThirdParty;
        pThreadInfo->priority = ThreadPriority::Normal;
        pThreadInfo->affinityMask = kNoAffinity;
        CopyName(pThreadInfo->name, "Not registered");
        ThreadingPlatform::SetName(nullptr, "Not registered");
    }
    GTLSThreadInfo = pThreadInfo;
    pThreadInfo->flags |= ThreadInfo::kStarted;
    MX_ASSERT(ThreadingPlatform::GetExitHook() == nullptr);
    ThreadingPlatform::SetExitHook(pThreadInfo);
    return pThreadInfo;
}

ThreadInfo* Threading::FindThreadInfoByThreadId(uint32 threadId)
{
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
    {
        if (info->threadId == threadId && !info->IsFinished())
            return info;
    }
    return nullptr;
}

bool Threading::WaitForThreads(const ThreadHandle* handles, int32 count, uint32 timeoutMs)
{
    if (handles == nullptr || count <= 0)
        return true;
    {
        // A handle the registry does not know fails the whole wait before anything is waited on.
        RegistryLock lock;
        for (int32 i = 0; i < count; ++i)
        {
            bool known = false;
            for (ThreadInfo* info = ThreadInfo::first; info && !known; info = info->next)
                known = handles[i] != nullptr && info->threadHandle == handles[i];
            if (!known)
                return true;
        }
    }
    bool infinite = timeoutMs == kInfinite;
    // The clock reads whole milliseconds: one more keeps a limited wait from ending early.
    uint64 deadline = infinite ? 0 : ThreadingPlatform::MonotonicMs() + timeoutMs + (timeoutMs ? 1 : 0);
    for (int32 i = 0; i < count; ++i)
    {
        int r = ThreadingPlatform::Wait(handles[i], infinite, deadline);
        if (r == 0)
            return false;
        if (r < 0)
            return true;
    }
    return true;
}

void Threading::SetThreadName(ThreadHandle handle, const char* name)
{
    if (handle == nullptr)
        return;
    RegistryLock lock;
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
    {
        if (info->threadHandle == handle)
        {
            ThreadingPlatform::SetName(handle, name ? name : "");
            return;
        }
    }
}

bool Threading::IsMainThread()
{
    return GMainThreadId != 0 && ThreadingPlatform::CurrentThreadId() == GMainThreadId;
}

uint32 Threading::GetCurrentThreadId()
{
    return ThreadingPlatform::CurrentThreadId();
}

uint32 Threading::GetMainThreadId()
{
    return GMainThreadId;
}

const char* Threading::GetPriorityName(ThreadPriority priority)
{
    uint32 index = static_cast<uint32>(priority);
    return index < 3 ? kPriorityNames[index] : "?";
}

void Threading::LockRegistry()
{
    ThreadingPlatform::Lock();
}

void Threading::UnlockRegistry()
{
    ThreadingPlatform::Unlock();
}

void Threading::SetThreadDataRelease(ThreadDataRelease release)
{
    RegistryLock lock;
    GThreadDataRelease = release;
}

void Threading::ListThreads()
{
    MX_LOG_INFO("%-16s  %-32s  %-8s  %-16s  %-7s  %-8s", "Thread ID", "Name", "Priority", "Affinity",
                "3dparty", "Finished");
    // The sum of the column widths and the gaps between them.
    MX_LOG_INFO("%s", "------------------------------------------------"
                      "-------------------------------------------------");
    RegistryLock lock;
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
    {
        StaticString<512> line;
        line.AppendFormat("%-16d", static_cast<int32>(info->threadId));
        line.AppendFormat("  %-32s", info->name);
        if (info->IsThirdParty())
        {
            line.AppendFormat("  %-8s", "N/A");
            line.AppendFormat("  %-16s", "N/A");
        }
        else
        {
            MX_ASSERT(static_cast<uint32>(info->priority) < 3);
            line.AppendFormat("  %-8s", GetPriorityName(info->priority));
            line.AppendFormat("  %-16llx", static_cast<unsigned long long>(info->affinityMask));
        }
        line.AppendFormat("  %-7s", info->IsThirdParty() ? "Yes" : "No");
        line.AppendFormat("  %-8s", info->IsFinished() ? "Yes" : "No");
        MX_LOG_INFO("%s", line.c_str());
    }
}
} // namespace Morvex
