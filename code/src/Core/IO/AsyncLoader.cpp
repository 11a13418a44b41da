// The asynchronous file loader: the request records, the FileIO and Decompress threads, the
// finalize queue and the loader's buffers.

#include "Core/IO/AsyncLoader.h"

#include "ByteSpinLock.h"
#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/IO/Compression.h"
#include "Core/IO/FileAsyncIO.h"
#include "Core/IO/FileMemory.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PakFile.h"
#include "Core/IO/RawFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Threading/Threading.h"
#include "Core/Threading/ThreadingEvent.h"
#include "FileAsyncIOCommands.h"
#include "SpinningMutex.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace Morvex
{
// The read requests' setting and commands are declared with the loader, which the file system's
// start-up always links in: declared beside FileAsyncRead, they would be left out of programs that
// never call it.
CVar Client_DebugDisableAsyncReads(CVarType::Int, "Client.DebugDisableAsyncReads", 8, "0",
                                   "Debug: all FileAsyncRead() calls will stall/read/callback immediately", 0,
                                   1);
MX_CONSOLE_COMMAND("Test.FileReadingPerformanceBlocking",
                   "Reads every .dds and .tfd file below a folder, one by one",
                   FileReadingPerformanceBlocking);
MX_CONSOLE_COMMAND("Test.FileReadingPerformanceAsync",
                   "Reads every .dds and .tfd file below a folder through the asynchronous loader",
                   FileReadingPerformanceAsync);

// The loader's way into the control's fields.
struct AsyncLoaderAccess
{
    static FileAsyncControl* NewControl(void* storage);
    static void InitControl(FileAsyncControl& control, AsyncLoaderEntry& entry)
    {
        const FileAsyncReadRequest& read = entry.originalRequest;
        control.m_refCount.store(1, std::memory_order_relaxed);
        control.m_status.store(EFileAsyncStatus::kQueued);
        control.m_entry = &entry;
        control.m_priority.store(static_cast<uint16>(read.priority), std::memory_order_relaxed);
        // A name longer than a path is not cut into another file's name: it stays empty and fails
        // to open.
        control.m_name = FilePath::Normalized(entry.filename);
        control.m_request = read;
        control.m_request.filename = control.m_name.c_str();
        entry.filename = control.m_name.view();
    }
    static void RunProcessingThreadCallback(FileAsyncControl& control);
    static void RunMainThreadStage(FileAsyncControl& control);
    static void Finish(FileAsyncControl& control);
    static void ReadStep(AsyncLoaderEntry& entry);
    static void ProcessDecompressRequest(AsyncLoaderEntry& entry, DecompressParams* params);
    static void Recycle(AsyncLoaderEntry* entry);
    static void CancelEntry(AsyncLoaderEntry* entry);
    static EFileAsyncPriority PriorityOf(const AsyncLoaderEntry& entry)
    {
        return static_cast<EFileAsyncPriority>(entry.control->m_priority.load(std::memory_order_relaxed));
    }
    static uint32 KeyOf(const AsyncLoaderEntry& entry)
    {
        return uint32(entry.control->m_priority.load(std::memory_order_relaxed)) * 65536u +
               entry.control->m_request.subpriority;
    }
};

namespace
{
constexpr uint64 kReadBufferBudget = 0x10000000;
constexpr uint64 kDecompressionBudget = 0x14000000;
constexpr uint64 kMemoryWaitThreshold = 0x10000000;
constexpr uint32 kScratchSize = 0x80000;
constexpr uint32 kWorkerStackSize = 0x20000;
constexpr uint32 kOpenFileCacheSize = 16;
constexpr uint32 kOpenFileIdleLimit = 100;
constexpr double kSluggishCallbackMs = 50.0;
constexpr uint32 kPriorityCount = static_cast<uint32>(EFileAsyncPriority::Count);

enum class EState : uint32
{
    kRunning = 0,
    kPaused = 2,
    kQuit = 3,
};

// What a zero-byte loader buffer points at: never allocated, never freed.
alignas(16) uint8 GEmptyBuffer[16];

double ElapsedMs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

// The FileIO thread's open files, kept across requests (that thread alone uses it).
class OpenFileCache
{
public:
    // A new reference to the file of that name, opened through the file system on a miss; null
    // when it cannot be opened.
    RawFile* Open(StrView name)
    {
        MX_PROFILE_ZONE("OpenFileCache::Open");
        ++m_tick;
        {
            MX_PROFILE_ZONE("Search");
            for (uint32 i = m_count; i-- > 0;)
            {
                if (m_entries[i].name.view() == name)
                {
                    m_entries[i].lastUse = m_tick;
                    std::swap(m_entries[i], m_entries[m_count - 1]);
                    m_entries[m_count - 1].file->AddRef();
                    return m_entries[m_count - 1].file;
                }
            }
        }
        File file;
        if (name.empty() || !FileSystem::Open(file, name, EFileOpenMode::kRead))
            return nullptr;
        RawFile* raw = file.GetRawFile();
        raw->AddRef();
        file.Close();
        uint32 slot = 0;
        if (m_count < kOpenFileCacheSize)
            slot = m_count++;
        else
            m_entries[0].file->DropRef();
        m_entries[slot].file = raw;
        // The name asked for, not the file's stored name: a name found through a search directory is
        // longer, and only the requested form is compared.
        m_entries[slot].name.Assign(name);
        m_entries[slot].lastUse = m_tick;
        raw->AddRef();
        return raw;
    }

    void CollectGarbage()
    {
        MX_PROFILE_ZONE("OpenFileCache::CollectGarbage");
        uint32 kept = 0;
        for (uint32 i = 0; i < m_count; ++i)
        {
            if (m_tick - m_entries[i].lastUse > kOpenFileIdleLimit)
            {
                m_entries[i].file->DropRef();
                m_entries[i].file = nullptr;
                continue;
            }
            if (kept != i)
                std::swap(m_entries[kept], m_entries[i]);
            ++kept;
        }
        m_count = kept;
    }

    void CloseAll()
    {
        for (uint32 i = 0; i < m_count; ++i)
        {
            m_entries[i].file->DropRef();
            m_entries[i].file = nullptr;
        }
        m_count = 0;
    }

private:
    struct Entry
    {
        RawFile* file = nullptr;
        FilePath name;
        uint32 lastUse = 0;
    };
    Entry m_entries[kOpenFileCacheSize];
    uint32 m_count = 0;
    uint32 m_tick = 0;
};

struct Loader
{
    bool initialized = false;
    ThreadHandle fileIOThread = nullptr;
    ThreadHandle decompressThread = nullptr;
    Threading::Event* ioEvent = nullptr;
    Threading::Event* decompressEvent = nullptr;
    std::atomic<uint8> ioQueueLock{0};
    std::atomic<uint8> decompressQueueLock{0};
    std::atomic<uint8> finalizeQueueLock{0};
    std::atomic<uint32> numActiveRequests[kPriorityCount] = {};
    std::vector<AsyncLoaderEntry*> ioQueue;
    std::vector<AsyncLoaderEntry*> decompressQueue;
    std::vector<AsyncLoaderEntry*> finalizeQueue;
    std::atomic<EState> state{EState::kRunning};
    std::atomic<uint32> maxIOQueueLength{0};
    std::atomic<double> memoryWaitMs{0.0};
    std::atomic<uint32> tempBuffersInFlight{0};
    OpenFileCache openFiles;
};
Loader GLoader;

// The records of requests: entries and controls come from two pools under one lock, so that a
// request costs no heap allocation beyond its file buffer. Both outlive every static object: a
// caller may drop its control after the loader's shutdown, even during static destruction.
constexpr uint64 kRecordPageSize = 0x40000;
constexpr uint64 kRecordAlignment = 8;
static_assert(alignof(AsyncLoaderEntry) <= kRecordAlignment && alignof(FileAsyncControl) <= kRecordAlignment);
constinit NeverDestroyed<SpinningMutex> GRecordPoolsLock(500u);
constinit NeverDestroyed<Memory::Pool> GEntryPool;
constinit NeverDestroyed<Memory::Pool> GControlPool;

// Called with GRecordPoolsLock held.
void SetUpRecordPools()
{
    if (GEntryPool.value.IsSetUp())
        return;
    const int16 tag = static_cast<int16>(MemoryTags::Register("Core/AsyncIO").m_index);
    GEntryPool.value.Setup(MX_HEAP_NAME("Core/AsyncLoaderEntry"), sizeof(AsyncLoaderEntry), kRecordPageSize,
                           tag, kRecordAlignment);
    GControlPool.value.Setup(MX_HEAP_NAME("Core/FileAsyncControl"), sizeof(FileAsyncControl), kRecordPageSize,
                             tag, kRecordAlignment);
}

// A new entry and the storage of its control, taken together.
AsyncLoaderEntry* AllocRecords(void*& controlStorage)
{
    std::lock_guard lock(GRecordPoolsLock.value);
    SetUpRecordPools();
    controlStorage = GControlPool.value.Alloc();
    return new (GEntryPool.value.Alloc()) AsyncLoaderEntry();
}

void FreeEntry(AsyncLoaderEntry* entry)
{
    entry->~AsyncLoaderEntry();
    std::lock_guard lock(GRecordPoolsLock.value);
    GEntryPool.value.Free(entry);
}

void FreeControlStorage(void* storage)
{
    std::lock_guard lock(GRecordPoolsLock.value);
    GControlPool.value.Free(storage);
}

// Gives the pools' pages back once no record is alive; records still held keep them.
void ClearRecordPools()
{
    std::lock_guard lock(GRecordPoolsLock.value);
    if (!GEntryPool.value.IsSetUp())
        return;
    const uint64 entries = GEntryPool.value.GetNumElements();
    const uint64 controls = GControlPool.value.GetNumElements();
    if (entries != 0 || controls != 0)
    {
        MX_LOG_ERROR("AsyncLoader::Shutdown: %u request records and %u controls were never released",
                     static_cast<uint32>(entries), static_cast<uint32>(controls));
        return;
    }
    GEntryPool.value.Clear(true);
    GControlPool.value.Clear(true);
}

void AddActive(EFileAsyncPriority priority)
{
    const uint32 before = GLoader.numActiveRequests[static_cast<uint32>(priority)].fetch_add(1);
    MX_ASSERT_MSG(before + 1 < 0xFFFFu, "numActiveRequests < 0xffffui16");
}

void RemoveActive(EFileAsyncPriority priority)
{
    const uint32 before = GLoader.numActiveRequests[static_cast<uint32>(priority)].fetch_sub(1);
    MX_ASSERT_MSG(before != 0, "numActiveRequests < 0xffffui16");
}

void AssertNoMemoryTagScope()
{
    MemoryTagSystem* tags = GMemoryTagSystem.load(std::memory_order_acquire);
    if (tags)
        MX_ASSERT(tags->GetScope().m_handle.m_index == tags->m_unknownTag.m_index);
}

// Front for urgent requests (the latest urgent one first), back for every other.
void PushByPriority(std::vector<AsyncLoaderEntry*>& queue, std::atomic<uint8>& lock, AsyncLoaderEntry* entry)
{
    ByteSpinLock guard(lock);
    if (AsyncLoaderAccess::PriorityOf(*entry) == EFileAsyncPriority::kUrgent)
        queue.insert(queue.begin(), entry);
    else
        queue.push_back(entry);
}

AsyncLoaderEntry* PopFront(std::vector<AsyncLoaderEntry*>& queue, std::atomic<uint8>& lock)
{
    ByteSpinLock guard(lock);
    if (queue.empty())
        return nullptr;
    AsyncLoaderEntry* entry = queue.front();
    queue.erase(queue.begin());
    return entry;
}

void WaitFileIORequest()
{
    GLoader.openFiles.CloseAll();
    MX_PROFILE_ZONE("Wait request");
    Threading::Event::Wait(GLoader.ioEvent, Threading::kInfinite);
}

bool IOQueueIsEmpty()
{
    ByteSpinLock guard(GLoader.ioQueueLock);
    return GLoader.ioQueue.empty();
}

void FileIOThread(void*)
{
    AssertNoMemoryTagScope();
    while (GLoader.state.load(std::memory_order_acquire) != EState::kQuit)
    {
        if (GLoader.state.load(std::memory_order_acquire) == EState::kPaused)
        {
            MX_PROFILE_ZONE("Paused");
            WaitFileIORequest();
            continue;
        }
        AsyncLoaderEntry* entry = nullptr;
        size_t queued = 0;
        {
            ByteSpinLock guard(GLoader.ioQueueLock);
            queued = GLoader.ioQueue.size();
            if (queued != 0)
            {
                GLoader.openFiles.CollectGarbage();
                auto best = GLoader.ioQueue.begin();
                for (auto it = best + 1; it != GLoader.ioQueue.end(); ++it)
                {
                    if (AsyncLoaderAccess::KeyOf(**it) > AsyncLoaderAccess::KeyOf(**best))
                        best = it;
                }
                entry = *best;
                GLoader.ioQueue.erase(best);
            }
        }
        if (entry)
        {
            {
                MX_PROFILE_ZONE("Request");
                AsyncLoaderAccess::ReadStep(*entry);
            }
            if (entry->compression.compressed)
            {
                PushByPriority(GLoader.decompressQueue, GLoader.decompressQueueLock, entry);
                Threading::Event::Set(GLoader.decompressEvent);
            }
            else
            {
                AsyncLoaderAccess::ProcessDecompressRequest(*entry, nullptr);
                AsyncLoaderAccess::RunProcessingThreadCallback(*entry->control);
                PushByPriority(GLoader.finalizeQueue, GLoader.finalizeQueueLock, entry);
            }
        }
        // Requests added during the read keep the thread going with its files still open: it only
        // closes them and sleeps once the queue has really run dry.
        if (queued < 2 && IOQueueIsEmpty())
            WaitFileIORequest();
    }
    GLoader.openFiles.CloseAll();
}

void DecompressionThread(void*)
{
    // No engine task scheduler exists for this thread to join.
    void* scratch = FileMemory::Alloc(kScratchSize);
    DecompressParams params;
    params.context = CreateDecompressionContext();
    MX_ASSERT(params.context);
    params.scratchpad = scratch;
    params.scratchpadSize = kScratchSize;
    AssertNoMemoryTagScope();
    while (GLoader.state.load(std::memory_order_acquire) != EState::kQuit)
    {
        if (GLoader.state.load(std::memory_order_acquire) == EState::kPaused)
        {
            MX_PROFILE_ZONE("Paused");
            Threading::Event::Wait(GLoader.decompressEvent, Threading::kInfinite);
            continue;
        }
        AsyncLoaderEntry* entry = PopFront(GLoader.decompressQueue, GLoader.decompressQueueLock);
        if (!entry)
        {
            Threading::Event::Wait(GLoader.decompressEvent, Threading::kInfinite);
            continue;
        }
        AsyncLoaderAccess::ProcessDecompressRequest(*entry, params.context ? &params : nullptr);
        AsyncLoaderAccess::RunProcessingThreadCallback(*entry->control);
        PushByPriority(GLoader.finalizeQueue, GLoader.finalizeQueueLock, entry);
    }
    if (params.context)
        ReleaseDecompressionContext(params.context);
    FileMemory::Free(scratch);
}
} // namespace

const char* GetFileAsyncPriorityName(EFileAsyncPriority priority)
{
    static const char* const kNames[kPriorityCount] = {"Low", "kBelowNormal", "Normal", "High", "Urgent"};
    if (!MX_VERIFY(priority < EFileAsyncPriority::Count))
        return "?";
    return kNames[static_cast<uint32>(priority)];
}

// ---------------------------------------------------------------------------------------------
// Requests and their stages.

FileAsyncControl* AsyncLoaderAccess::NewControl(void* storage)
{
    return new (storage) FileAsyncControl();
}

void AsyncLoaderAccess::Finish(FileAsyncControl& control)
{
    ByteSpinLock guard(control.m_lock);
    if (control.m_finished.load(std::memory_order_relaxed))
        return;
    RemoveActive(static_cast<EFileAsyncPriority>(control.m_priority.load(std::memory_order_relaxed)));
    control.m_finished.store(1, std::memory_order_release);
}

void AsyncLoaderAccess::RunProcessingThreadCallback(FileAsyncControl& control)
{
    if (control.m_cancelRequested.load(std::memory_order_acquire))
    {
        control.m_status.store(EFileAsyncStatus::kCancelled);
        control.ReleaseTempBuffers();
    }
    if (control.m_processingStageDone.exchange(1))
        return;
    const FileAsyncReadRequest& request = control.m_request;
    if (!HasFlag(request.flags, EFileAsyncFlags::kSkipProcessingThreadCallback) && request.callbacks)
    {
        MX_PROFILE_ZONE("OnAsyncIOCompleted_ProcessingThread");
        control.AddRef();
        const auto start = std::chrono::steady_clock::now();
        request.callbacks->OnAsyncIOCompleted_ProcessingThread(request, control.m_status.load());
        const double ms = ElapsedMs(start);
        if (ms > kSluggishCallbackMs)
            MX_LOG_WARNING("Sluggish OnAsyncIOCompleted_ProcessingThread() detected: %.1f ms", ms);
        control.DropRef();
    }
    if (HasFlag(request.flags, EFileAsyncFlags::kFinishOnProcessingThread))
        Finish(control);
}

void AsyncLoaderAccess::RunMainThreadStage(FileAsyncControl& control)
{
    if (control.m_cancelRequested.load(std::memory_order_acquire))
    {
        control.m_status.store(EFileAsyncStatus::kCancelled);
        control.ReleaseTempBuffers();
    }
    if (control.m_mainStageDone.exchange(1))
        return;
    const FileAsyncReadRequest& request = control.m_request;
    if (!HasFlag(request.flags, EFileAsyncFlags::kFinishOnProcessingThread) && request.callbacks)
    {
        control.AddRef();
        request.callbacks->OnAsyncIOCompleted_MainThread(request, control.m_status.load());
        control.DropRef();
    }
    Finish(control);
}

void AsyncLoaderAccess::ReadStep(AsyncLoaderEntry& entry)
{
    FileAsyncControl& control = *entry.control;
    if (control.m_cancelRequested.load(std::memory_order_acquire))
        return;
    control.m_status.store(EFileAsyncStatus::kReading);
    if (!entry.file)
    {
        RawFile* opened = GLoader.openFiles.Open(entry.filename);
        if (!opened)
        {
            control.m_status.store(EFileAsyncStatus::kFailedToOpenFile);
            return;
        }
        FileAsyncReadRequest& request = control.m_request;
        if (request.size == 0)
        {
            const uint64 fileSize = opened->GetSize();
            if (fileSize >= request.offset)
            {
                // A request holds at most 4 GiB - 1 bytes: the rest of a larger file is refused, not
                // wrapped into a small size.
                if (fileSize - request.offset > 0xFFFFFFFFull)
                {
                    MX_LOG_ERROR("AsyncLoader: '%s' from %llu is too large for one request",
                                 control.m_name.c_str(), static_cast<unsigned long long>(request.offset));
                    control.m_status.store(EFileAsyncStatus::kFailedToRead);
                    opened->DropRef();
                    return;
                }
                request.size = static_cast<uint32>(fileSize - request.offset);
            }
        }
        AsyncLoaderEntry made;
        opened->CreateReadRequest(made, request);
        entry.file = made.file;
        entry.file->AddRef();
        entry.originalRequest = made.originalRequest;
        entry.readRequest = made.readRequest;
        entry.pakFile = made.pakFile;
        if (entry.pakFile)
            entry.pakFile->AddRef();
        entry.compression = made.compression;
        opened->DropRef();
    }

    const uint32 working = entry.readRequest.size;
    if (working != 0)
    {
        void* buffer = nullptr;
        if (entry.compression.compressed)
        {
            buffer = AsyncLoader::AllocTempMemory(working, kReadBufferBudget);
            control.m_tempReadBuffer = buffer;
        }
        else
        {
            buffer = control.m_request.data;
            if (!buffer)
                buffer = AllocateForRequest(control.m_request, working);
            if (!buffer)
            {
                buffer = AsyncLoader::AllocTempMemory(working, kReadBufferBudget);
                control.m_tempReadBuffer = buffer;
            }
            control.m_request.data = buffer;
        }
        if (!buffer)
        {
            entry.readRequest.size = 0;
            control.m_status.store(EFileAsyncStatus::kFailedToRead);
        }
        else
            entry.readRequest.size = entry.file->SeekReadBytes(buffer, entry.readRequest.offset, working);
    }
    entry.file->DropRef();
    entry.file = nullptr;
}

void AsyncLoaderAccess::ProcessDecompressRequest(AsyncLoaderEntry& entry, DecompressParams* params)
{
    FileAsyncControl& control = *entry.control;
    if (control.m_cancelRequested.load(std::memory_order_acquire) ||
        control.m_status.load() != EFileAsyncStatus::kReading)
        return;
    if (!entry.compression.compressed)
    {
        control.m_request.size = entry.readRequest.size;
        control.m_status.store(EFileAsyncStatus::kOk);
        return;
    }
    MX_PROFILE_ZONE("Request");
    MX_ASSERT(entry.readRequest.data == nullptr);
    MX_ASSERT(entry.pakFile);
    bool failed = !entry.pakFile || !params;
    uint32 produced = 0;
    if (!failed)
    {
        const uint32 size = control.m_request.size;
        void* destination = control.m_request.data;
        if (!destination)
            destination = AllocateForRequest(control.m_request, size);
        if (!destination)
        {
            destination = AsyncLoader::AllocTempMemory(size, kDecompressionBudget);
            control.m_tempDecompressionBuffer = destination;
        }
        control.m_request.data = destination;
        if (!destination)
            failed = true;
        else
        {
            params->asyncLoaderEntry = &entry;
            params->source = control.m_tempReadBuffer;
            params->sourceSize = entry.readRequest.size;
            params->destination = destination;
            params->destinationSize = size;
            produced = entry.pakFile->Decompress(*params);
            failed = params->failed;
        }
    }
    control.m_request.size = produced;
    if (entry.pakFile)
    {
        entry.pakFile->DropRef();
        entry.pakFile = nullptr;
    }
    AsyncLoader::FreeTempMemory(control.m_tempReadBuffer);
    control.m_tempReadBuffer = nullptr;
    control.m_status.store(failed ? EFileAsyncStatus::kFailedToRead : EFileAsyncStatus::kOk);
}

void AsyncLoaderAccess::Recycle(AsyncLoaderEntry* entry)
{
    MX_ASSERT(Threading::IsMainThread());
    if (entry->pakFile)
        entry->pakFile->DropRef();
    if (entry->file)
        entry->file->DropRef();
    FileAsyncControl* control = entry->control;
    control->m_entry = nullptr;
    control->ReleaseTempBuffers();
    control->DropRef();
    FreeEntry(entry);
}

void AsyncLoaderAccess::CancelEntry(AsyncLoaderEntry* entry)
{
    FileAsyncControl& control = *entry->control;
    control.m_cancelRequested.store(1, std::memory_order_release);
    RunProcessingThreadCallback(control);
    control.m_status.store(EFileAsyncStatus::kCancelled);
    RunMainThreadStage(control);
    Recycle(entry);
}

// ---------------------------------------------------------------------------------------------
// The control.

void FileAsyncControl::DropRef()
{
    if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        Release();
}

void FileAsyncControl::Release()
{
    MX_ASSERT(m_tempReadBuffer == nullptr);
    MX_ASSERT(m_tempDecompressionBuffer == nullptr);
    ReleaseTempBuffers();
    this->~FileAsyncControl();
    FreeControlStorage(this);
}

bool FileAsyncControl::IsDone() const
{
    return m_finished.load(std::memory_order_acquire) != 0;
}

StrView FileAsyncControl::GetName() const
{
    return m_name.view();
}

EFileAsyncStatus FileAsyncControl::GetStatus() const
{
    return m_status.load();
}

void FileAsyncControl::SetPriority(EFileAsyncPriority priority)
{
    if (!MX_VERIFY(priority < EFileAsyncPriority::Count))
        return;
    ByteSpinLock guard(m_lock);
    const auto old = static_cast<EFileAsyncPriority>(m_priority.load(std::memory_order_relaxed));
    if (m_finished.load(std::memory_order_relaxed) || old == priority)
        return;
    RemoveActive(old);
    AddActive(priority);
    m_priority.store(static_cast<uint16>(priority), std::memory_order_relaxed);
}

void FileAsyncControl::Cancel()
{
    m_cancelRequested.store(1, std::memory_order_release);
}

void FileAsyncControl::Wait()
{
    AddRef();
    const bool onProcessingThread = HasFlag(m_request.flags, EFileAsyncFlags::kFinishOnProcessingThread);
    while (!IsDone())
    {
        if (!onProcessingThread)
            AsyncLoader::MainThread_Finalize(5.0);
        if (IsDone() || !AsyncLoader::IsRunning())
            break;
        std::this_thread::yield();
    }
    DropRef();
}

void FileAsyncControl::ReleaseTempBuffers()
{
    if (m_request.data && (m_request.data == m_tempReadBuffer || m_request.data == m_tempDecompressionBuffer))
        m_request.data = nullptr;
    AsyncLoader::FreeTempMemory(m_tempReadBuffer);
    AsyncLoader::FreeTempMemory(m_tempDecompressionBuffer);
    m_tempReadBuffer = nullptr;
    m_tempDecompressionBuffer = nullptr;
}

// A plain file reads itself: no archive, no decompression.
void RawFile::CreateReadRequest(AsyncLoaderEntry& out, const FileAsyncReadRequest& readRequest)
{
    out = AsyncLoaderEntry();
    out.file = this;
    out.filename = GetName();
    out.originalRequest = readRequest;
    out.readRequest = readRequest;
}

// ---------------------------------------------------------------------------------------------
// The loader.

void AsyncLoader::Init()
{
    MX_ASSERT(Threading::IsMainThread());
    MX_MEMORY_TAG_SCOPE("Core/AsyncIO");
    if (GLoader.initialized)
        return;
    GLoader.initialized = true;
    GLoader.state.store(EState::kPaused, std::memory_order_release);
    GLoader.ioEvent = Threading::Event::Create(false, "AsyncLoader/IORequestEvent");
    GLoader.decompressEvent = Threading::Event::Create(false, "AsyncLoader/decompressRequestEvent");
    GLoader.ioQueue.reserve(64);
    GLoader.decompressQueue.reserve(64);
    GLoader.finalizeQueue.reserve(64);
    GLoader.fileIOThread =
        Threading::StartThread(kWorkerStackSize, ThreadPriority::Normal, &FileIOThread, &GLoader, "FileIO");
    GLoader.decompressThread = Threading::StartThread(kWorkerStackSize, ThreadPriority::Normal,
                                                      &DecompressionThread, &GLoader, "Decompress");
    // The statistics group "Async Loader" has no statistics manager to go to in this program.
}

void AsyncLoader::Shutdown()
{
    MX_ASSERT(Threading::IsMainThread());
    if (!GLoader.initialized)
        return;
    CancelAllRequests();
    Threading::Event::Destroy(GLoader.ioEvent);
    Threading::Event::Destroy(GLoader.decompressEvent);
    GLoader.ioEvent = nullptr;
    GLoader.decompressEvent = nullptr;
    ClearRecordPools();
    ClearPhonyControlPool();
    GLoader.initialized = false;
    GLoader.state.store(EState::kRunning, std::memory_order_release);
}

bool AsyncLoader::IsInitialized()
{
    return GLoader.initialized;
}

void AsyncLoader::Resume()
{
    if (!MX_VERIFY(GLoader.initialized) || GLoader.state.load() == EState::kQuit)
        return;
    GLoader.state.store(EState::kRunning, std::memory_order_release);
    Threading::Event::Set(GLoader.ioEvent);
    Threading::Event::Set(GLoader.decompressEvent);
}

void AsyncLoader::Pause()
{
    if (!MX_VERIFY(GLoader.initialized) || GLoader.state.load() == EState::kQuit)
        return;
    GLoader.state.store(EState::kPaused, std::memory_order_release);
    Threading::Event::Set(GLoader.ioEvent);
    Threading::Event::Set(GLoader.decompressEvent);
}

bool AsyncLoader::IsRunning()
{
    return GLoader.initialized && GLoader.state.load(std::memory_order_acquire) == EState::kRunning;
}

void AsyncLoader::AddRequest(const AsyncLoaderEntry& request, FileAsyncControl** outControl)
{
    MX_MEMORY_TAG_SCOPE("Core/AsyncIO");
    if (outControl)
        *outControl = nullptr;
    const FileAsyncReadRequest& read = request.originalRequest;
    // Every check comes before the priority is used as an index.
    if (!MX_VERIFY(GLoader.initialized) || !MX_VERIFY(GLoader.state.load() != EState::kQuit) ||
        !MX_VERIFY_MSG(read.subpriority < 0xFFFFu, "request.readRequest.subpriority < 0xffffui16") ||
        !MX_VERIFY_MSG(!HasFlag(read.flags, EFileAsyncFlags::kSync),
                       "(request.readRequest.flags & EFileAsyncFlags::kSync) == 0") ||
        !MX_VERIFY_MSG(read.priority < EFileAsyncPriority::Count, "priority < EFileAsyncPriority::Count"))
        return;
    if (request.file)
    {
        if (!MX_VERIFY_MSG(request.readRequest.size != 0, "request.readRequest.size != 0") ||
            !MX_VERIFY_MSG(request.file->GetSize() >= request.readRequest.offset,
                           "request.file->GetSize() >= request.readRequest.offset"))
            return;
    }
    else if (!MX_VERIFY_MSG(!request.filename.empty(), "entry.file || !entry.filename.empty()"))
        return;

    void* controlStorage = nullptr;
    AsyncLoaderEntry* entry = AllocRecords(controlStorage);
    FileAsyncControl* control = AsyncLoaderAccess::NewControl(controlStorage);
    *entry = request;
    entry->control = control;
    if (entry->file)
        entry->file->AddRef();
    if (entry->pakFile)
        entry->pakFile->AddRef();
    AsyncLoaderAccess::InitControl(*control, *entry);
    if (outControl)
    {
        control->AddRef();
        *outControl = control;
    }
    {
        ByteSpinLock guard(GLoader.ioQueueLock);
        GLoader.ioQueue.push_back(entry);
        AddActive(read.priority);
        const uint32 length = static_cast<uint32>(GLoader.ioQueue.size());
        if (length > GLoader.maxIOQueueLength.load(std::memory_order_relaxed))
            GLoader.maxIOQueueLength.store(length, std::memory_order_relaxed);
    }
    if (GLoader.state.load(std::memory_order_acquire) != EState::kPaused)
        Threading::Event::Set(GLoader.ioEvent);
}

bool AsyncLoader::MainThread_Finalize(double budgetSeconds)
{
    MX_PROFILE_ZONE("Morvex::AsyncLoader::MainThread_Finalize");
    if (!GLoader.initialized)
        return true;
    MX_ASSERT(Threading::IsMainThread());
    {
        ByteSpinLock guard(GLoader.finalizeQueueLock);
        if (GLoader.finalizeQueue.empty())
            return true;
    }
    const double budgetMs = budgetSeconds * 1000.0;
    const auto start = std::chrono::steady_clock::now();
    if (ElapsedMs(start) >= budgetMs)
        return false;
    uint32 done = 0;
    while (true)
    {
        AsyncLoaderEntry* entry = PopFront(GLoader.finalizeQueue, GLoader.finalizeQueueLock);
        if (!entry)
            return true;
        AsyncLoaderAccess::RunMainThreadStage(*entry->control);
        AsyncLoaderAccess::Recycle(entry);
        ++done;
        const double elapsed = ElapsedMs(start);
        if (elapsed + elapsed / done >= budgetMs)
            return false;
    }
}

void AsyncLoader::CancelAllRequests()
{
    MX_PROFILE_ZONE("Morvex::AsyncLoader::CancelAllRequests");
    MX_ASSERT(Threading::IsMainThread());
    if (!GLoader.initialized)
        return;
    GLoader.state.store(EState::kQuit, std::memory_order_release);
    Threading::Event::Set(GLoader.ioEvent);
    Threading::Event::Set(GLoader.decompressEvent);
    if (GLoader.fileIOThread)
        Threading::WaitForThreads(&GLoader.fileIOThread, 1, Threading::kInfinite);
    if (GLoader.decompressThread)
        Threading::WaitForThreads(&GLoader.decompressThread, 1, Threading::kInfinite);
    GLoader.fileIOThread = nullptr;
    GLoader.decompressThread = nullptr;

    std::vector<AsyncLoaderEntry*>* queues[] = {&GLoader.ioQueue, &GLoader.decompressQueue,
                                                &GLoader.finalizeQueue};
    for (std::vector<AsyncLoaderEntry*>* queue : queues)
    {
        for (AsyncLoaderEntry* entry : *queue)
            AsyncLoaderAccess::CancelEntry(entry);
        queue->clear();
    }
    bool active = false;
    for (uint32 i = 0; i < kPriorityCount; ++i)
        active = active || GLoader.numActiveRequests[i].load() != 0;
    MX_ASSERT_MSG(!active, "HasActiveRequests(EFileAsyncPriority::kLow) == false");
}

bool AsyncLoader::MemoryWaitEnds(uint64 used, uint64 size, uint64 budget, uint32 otherBuffersInFlight)
{
    (void)budget;
    if (used + size < kMemoryWaitThreshold)
        return true;
    // A request that large could never fit below the threshold: it goes once it is alone.
    return size >= kMemoryWaitThreshold && otherBuffersInFlight == 0;
}

void* AsyncLoader::AllocTempMemory(uint64 size, uint64 budget)
{
    MX_PROFILE_ZONE("Morvex::AsyncLoader::AllocTempMemory");
    if (size == 0)
        return GEmptyBuffer;
    if (size >= budget)
    {
        MX_ASSERT_MSG(size < budget, "Temp allocator us unable to allocate such a huge amount of memory.");
        return nullptr;
    }
    if (FileMemory::GetUsedBytes() + size >= budget)
    {
        MX_PROFILE_ZONE("Memory starved");
        const auto start = std::chrono::steady_clock::now();
        while (GLoader.state.load(std::memory_order_acquire) != EState::kQuit)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (MemoryWaitEnds(FileMemory::GetUsedBytes(), size, budget, GLoader.tempBuffersInFlight.load()))
                break;
        }
        const double waited = ElapsedMs(start);
        double total = GLoader.memoryWaitMs.load(std::memory_order_relaxed);
        while (!GLoader.memoryWaitMs.compare_exchange_weak(total, total + waited, std::memory_order_relaxed))
        {
        }
    }
    void* buffer = FileMemory::Alloc(static_cast<size_t>(size));
    GLoader.tempBuffersInFlight.fetch_add(1);
    return buffer;
}

void AsyncLoader::FreeTempMemory(void* buffer)
{
    if (!buffer || buffer == GEmptyBuffer)
        return;
    FileMemory::Free(buffer);
    GLoader.tempBuffersInFlight.fetch_sub(1);
}

bool AsyncLoader::HasActiveRequests(EFileAsyncPriority priority)
{
    if (priority >= EFileAsyncPriority::Count)
        return false;
    return GLoader.numActiveRequests[static_cast<uint32>(priority)].load() != 0;
}

uint32 AsyncLoader::GetMaxIOQueueLength()
{
    return GLoader.maxIOQueueLength.load(std::memory_order_relaxed);
}

double AsyncLoader::GetMemoryWaitMilliseconds()
{
    return GLoader.memoryWaitMs.load(std::memory_order_relaxed);
}
void* AllocateForRequest(const FileAsyncReadRequest& request, uint32 size)
{
    if (!request.callbacks)
        return nullptr;
    // -1 asks for no scope; tag 0 opens none.
    MemoryTagScope scope(request.memoryTag >= 0 ? MemoryTag{static_cast<uint16>(request.memoryTag)}
                                                : MemoryTag{});
    return request.callbacks->Allocate(request, size);
}
} // namespace Morvex
