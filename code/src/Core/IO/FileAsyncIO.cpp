// File read requests: the hand-off to the loader, the synchronous fallback with its phony control,
// and the two reading benchmarks.

#include "Core/IO/FileAsyncIO.h"

#include "FileAsyncIOCommands.h"
#include "SpinningMutex.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Str.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace Morvex
{
namespace
{
// The control of a synchronous read: finished from the start.
class PhonyFileAsyncControl final : public FileAsyncControl
{
public:
    void Release() override;
    bool IsDone() const override { return true; }
    void SetPriority(EFileAsyncPriority) override {}
    void Cancel() override { m_status.store(EFileAsyncStatus::kCancelled); }
    void Wait() override {}
    void ReleaseTempBuffers() override {}

    void SetStatus(EFileAsyncStatus status) { m_status.store(status); }
    void SetName(const char* name) { m_name.Assign(name); }
    FileAsyncReadRequest& Request() { return m_request; }
    void SetRefCount(int32 count) { m_refCount.store(count, std::memory_order_relaxed); }
};

// Phony controls come from a pool of their own with its own lock: synchronous reads run on any
// thread, with or without the loader. The pool outlives every static object, like the loader's.
// A control holds a path, so a page of 4 KiB would not hold one: a page holds eight.
constexpr uint64 kPhonyAlignment = 8;
static_assert(alignof(PhonyFileAsyncControl) <= kPhonyAlignment);
constexpr uint64 kPhonyPageSize =
    8 * ((sizeof(PhonyFileAsyncControl) + kPhonyAlignment - 1) & ~(kPhonyAlignment - 1)) +
    sizeof(Memory::Pool::Page);
constinit NeverDestroyed<SpinningMutex> GPhonyPoolLock(500u);
constinit NeverDestroyed<Memory::Pool> GPhonyPool;

PhonyFileAsyncControl* AllocPhonyControl()
{
    void* storage = nullptr;
    {
        std::lock_guard lock(GPhonyPoolLock.value);
        Memory::Pool& pool = GPhonyPool.value;
        if (!pool.IsSetUp())
            pool.Setup(MX_HEAP_NAME("Core/PhonyFileAsyncControl"), sizeof(PhonyFileAsyncControl),
                       kPhonyPageSize, static_cast<int16>(MemoryTags::Register("Core/AsyncIO").m_index),
                       kPhonyAlignment);
        storage = pool.Alloc();
    }
    return new (storage) PhonyFileAsyncControl();
}

void FreePhonyControl(PhonyFileAsyncControl* control)
{
    control->~PhonyFileAsyncControl();
    std::lock_guard lock(GPhonyPoolLock.value);
    GPhonyPool.value.Free(control);
}

void PhonyFileAsyncControl::Release()
{
    FreePhonyControl(this);
}

void ReadSynchronously(const FileAsyncReadRequest& readRequest, FileAsyncControl** outControl)
{
    File file;
    FileSystem::Open(file, readRequest.filename, EFileOpenMode::kRead);

    PhonyFileAsyncControl* phony = nullptr;
    FileAsyncReadRequest local = readRequest;
    FileAsyncReadRequest* request = &local;
    if (outControl)
    {
        phony = AllocPhonyControl();
        phony->SetRefCount(2);
        phony->SetName(readRequest.filename);
        phony->Request() = readRequest;
        phony->Request().filename = phony->GetName().data();
        request = &phony->Request();
        *outControl = phony;
    }

    EFileAsyncStatus status = EFileAsyncStatus::kFailedToOpenFile;
    void* temp = nullptr;
    if (file.IsOpen())
    {
        status = EFileAsyncStatus::kOk;
        const uint64 fileSize = file.GetSize();
        if (request->size == 0 && fileSize >= request->offset)
        {
            // One request holds at most 4 GiB - 1 bytes: more is refused, not wrapped.
            if (fileSize - request->offset > 0xFFFFFFFFull)
            {
                MX_LOG_ERROR("FileAsyncRead: '%s' from %llu is too large for one request",
                             readRequest.filename, static_cast<unsigned long long>(request->offset));
                status = EFileAsyncStatus::kFailedToRead;
            }
            else
                request->size = static_cast<uint32>(fileSize - request->offset);
        }
        if (status == EFileAsyncStatus::kOk && request->size != 0)
        {
            void* destination = request->data;
            if (!destination)
                destination = AllocateForRequest(*request, request->size);
            if (!destination)
                destination = temp = AsyncLoader::AllocTempMemory(request->size, 0xFFFFFFFFull);
            if (!destination)
            {
                request->size = 0;
                status = EFileAsyncStatus::kFailedToRead;
            }
            else
            {
                request->data = destination;
                request->size = file.SeekRead(destination, request->offset, request->size);
            }
        }
    }
    file.Close();
    if (phony)
        phony->SetStatus(status);

    if (request->callbacks)
    {
        if (!HasFlag(request->flags, EFileAsyncFlags::kSkipProcessingThreadCallback))
            request->callbacks->OnAsyncIOCompleted_ProcessingThread(*request, status);
        if (!HasFlag(request->flags, EFileAsyncFlags::kFinishOnProcessingThread))
            request->callbacks->OnAsyncIOCompleted_MainThread(*request, status);
    }
    if (temp)
    {
        // The control outlives the buffer: it must not keep pointing at it.
        if (request->data == temp)
            request->data = nullptr;
        AsyncLoader::FreeTempMemory(temp);
    }
    if (phony)
        phony->DropRef();
}

// ---------------------------------------------------------------------------------------------
// The reading benchmarks.

// The path is kept at its own length: a folder of many files must not cost a full path buffer each.
struct BenchFile
{
    std::string path;
    uint64 size;
};

bool IsBenchFile(StrView name)
{
    return name.ends_with(".dds") || name.ends_with(".tfd");
}

// Every ".dds" and ".tfd" file below the folder, in the walk's order. The list would live on the
// linear heap "TestFilePerformance" (1 MiB); until the engine has linear heaps it is a vector.
bool GatherFiles(StrView folder, std::vector<BenchFile>& files)
{
    if (folder.empty())
        return false;
    if (Platform_IsAbsolutePath(folder))
    {
        return Platform_IterateDirectoryRecursively(
            folder,
            [&](const FilePath&, const DirEntry& entry)
            {
                if (!entry.info.isDirectory && IsBenchFile(entry.path.view()))
                    files.push_back({std::string(entry.path.c_str(), entry.path.length()), entry.info.size});
                return true;
            });
    }
    if (FileSystem::FindWildcards(folder) != folder.end())
    {
        MX_LOG_ERROR("TestFileReadingPerformance: '%.*s' is not a folder name",
                     static_cast<int>(folder.length()), folder.data());
        return false;
    }
    FilePath pattern;
    if (!pattern.TryAssign(folder) || !pattern.TryAppendPath("*"))
        return false;
    std::vector<FilePath> found;
    FileSystem::FindFiles(found, pattern);
    for (const FilePath& path : found)
    {
        File file;
        if (IsBenchFile(path.view()) && FileSystem::Open(file, path, EFileOpenMode::kRead))
            files.push_back({std::string(path.c_str(), path.length()), file.GetSize()});
    }
    return true;
}

void LogResult(const char* form, size_t files, uint64 bytes, double seconds)
{
    StaticString<32> thousands;
    StaticString<64> size;
    Str::FormatThousands(thousands, bytes);
    Str::FormatSize(size, bytes);
    const double rate = seconds > 0.0 ? static_cast<double>(bytes) / seconds / 1000000.0 : 0.0;
    MX_LOG_INFO("%s: %d files, %s (%s) size total read in %.1f seconds at %.1f MB/sec", form,
                static_cast<int>(files), thousands.c_str(), size.c_str(), seconds, rate);
}

const char* FolderArgument(const CmdArgs& args)
{
    return args.Count() > 1 ? args[1] : "assets";
}

// Files larger than this are read in pieces of it, so that no buffer needs the size of the file.
constexpr uint64 kBlockingBufferLimit = 0x4000000;

} // namespace

void FileReadingPerformanceBlocking(const CmdArgs& args)
{
    MX_PROFILE_ZONE("TestFileReadingPerformance");
    MX_MEMORY_TAG_SCOPE("Test");
    std::vector<BenchFile> files;
    GatherFiles(FolderArgument(args), files);
    // The buffer takes its final size before the clock starts: the benchmark times reading, not
    // the first touch of fresh memory.
    uint64 largest = 0;
    for (const BenchFile& bench : files)
        largest = std::max(largest, std::min(bench.size, kBlockingBufferLimit));
    std::vector<uint8> buffer(largest);
    uint64 total = 0;
    const auto start = std::chrono::steady_clock::now();
    for (const BenchFile& bench : files)
    {
        File file;
        if (!FileSystem::Open(file, StrView(bench.path.c_str()), EFileOpenMode::kRead))
            continue;
        const uint64 size = file.GetSize();
        const uint64 want = std::min(size, kBlockingBufferLimit);
        if (buffer.size() < want)
            buffer.resize(want);
        for (uint64 offset = 0; offset < size;)
        {
            const uint32 piece = static_cast<uint32>(std::min<uint64>(size - offset, buffer.size()));
            const uint32 read = file.SeekRead(buffer.data(), offset, piece);
            total += read;
            if (read != piece)
                break;
            offset += read;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    LogResult("Blocking", files.size(), total, seconds);
}

namespace
{
constexpr uint32 kAsyncSlots = 16;
// The slots' buffers together stay within this unless one file alone is larger: a folder of large
// files must not take sixteen of them into memory at once.
constexpr uint64 kAsyncBufferBudget = 0x10000000;

struct AsyncSlot
{
    void Grow(uint64 size)
    {
        if (capacity >= size || size > 0xFFFFFFFFull)
            return;
        buffer.reset();
        buffer = std::make_unique<uint8[]>(size);
        capacity = size;
    }

    std::unique_ptr<uint8[]> buffer;
    uint64 capacity = 0;
    std::atomic<bool> free{true};
};

class AsyncBenchCallbacks final : public FileAsyncCallbacks
{
public:
    explicit AsyncBenchCallbacks(AsyncSlot* slots) : m_slots(slots) {}
    void* Allocate(const FileAsyncReadRequest&, uint32) override { return nullptr; }
    void OnAsyncIOCompleted_ProcessingThread(const FileAsyncReadRequest& request,
                                             EFileAsyncStatus status) override
    {
        // A file that vanished since the walk is counted, not fatal: this runs from configuration
        // scripts.
        if (status == EFileAsyncStatus::kOk)
            m_total.fetch_add(request.size, std::memory_order_relaxed);
        else
            m_failed.fetch_add(1, std::memory_order_relaxed);
        m_slots[request.userData[0]].free.store(true, std::memory_order_release);
        m_completions.fetch_add(1, std::memory_order_release);
        m_completions.notify_one();
    }
    // Sleeps until a request completes after `seen` was read from m_completions.
    void WaitForCompletion(uint32 seen) { m_completions.wait(seen, std::memory_order_acquire); }

    std::atomic<uint64> m_total{0};
    std::atomic<uint32> m_failed{0};
    std::atomic<uint32> m_completions{0};

private:
    AsyncSlot* m_slots;
};

} // namespace

void FileReadingPerformanceAsync(const CmdArgs& args)
{
    MX_PROFILE_ZONE("TestFileReadingPerformance");
    MX_MEMORY_TAG_SCOPE("Test");
    std::vector<BenchFile> files;
    GatherFiles(FolderArgument(args), files);
    // The loader sleeps through the reporter's run: it serves the benchmark and goes back to sleep.
    const bool resumed = AsyncLoader::IsInitialized() && !AsyncLoader::IsRunning();
    if (resumed)
        AsyncLoader::Resume();
    auto slots = std::make_unique<AsyncSlot[]>(kAsyncSlots);
    AsyncBenchCallbacks callbacks(slots.get());
    auto heldBytes = [&]
    {
        uint64 held = 0;
        for (uint32 s = 0; s < kAsyncSlots; ++s)
            held += slots[s].capacity;
        return held;
    };
    // Each slot's first file is known: its buffer is grown and touched before the clock starts, as
    // the blocking form's buffer is, as far as the budget allows.
    for (uint32 s = 0; s < kAsyncSlots && s < files.size(); ++s)
        if (files[s].size <= 0xFFFFFFFFull && (s == 0 || heldBytes() + files[s].size <= kAsyncBufferBudget))
            slots[s].Grow(files[s].size);
    uint32 tooLarge = 0;
    const auto start = std::chrono::steady_clock::now();
    // The main thread sleeps while every slot is busy instead of yielding in a loop: on a machine
    // with few cores a spinning main thread takes the processor from the FileIO thread.
    auto anySlotFree = [&]
    {
        for (uint32 s = 0; s < kAsyncSlots; ++s)
            if (slots[s].free.load(std::memory_order_acquire))
                return true;
        return false;
    };
    auto waitForAllSlots = [&]
    {
        for (uint32 s = 0; s < kAsyncSlots; ++s)
        {
            while (true)
            {
                const uint32 seen = callbacks.m_completions.load(std::memory_order_acquire);
                if (slots[s].free.load(std::memory_order_acquire))
                    break;
                AsyncLoader::MainThread_Finalize(0.001);
                callbacks.WaitForCompletion(seen);
            }
        }
    };
    size_t next = 0;
    while (next < files.size())
    {
        const uint32 seen = callbacks.m_completions.load(std::memory_order_acquire);
        for (uint32 s = 0; s < kAsyncSlots && next < files.size(); ++s)
        {
            if (!slots[s].free.load(std::memory_order_acquire))
                continue;
            const BenchFile& bench = files[next++];
            if (bench.size > 0xFFFFFFFFull)
            {
                ++tooLarge;
                continue;
            }
            // An empty file has nothing to read. A request of size 0 would ask for the whole file as
            // it is when read: one that grew since the walk, past the slot's buffer or past what
            // the loader lends for one read.
            if (bench.size == 0)
                continue;
            if (bench.size > slots[s].capacity &&
                heldBytes() - slots[s].capacity + bench.size > kAsyncBufferBudget)
            {
                // A buffer beyond the budget is taken only once every other one is given back.
                waitForAllSlots();
                for (uint32 t = 0; t < kAsyncSlots; ++t)
                    if (t != s)
                    {
                        slots[t].buffer.reset();
                        slots[t].capacity = 0;
                    }
            }
            slots[s].Grow(bench.size);
            slots[s].free.store(false, std::memory_order_relaxed);
            FileAsyncReadRequest request;
            request.filename = bench.path.c_str();
            request.data = slots[s].buffer.get();
            request.size = static_cast<uint32>(bench.size);
            request.priority = EFileAsyncPriority::kHigh;
            request.flags = EFileAsyncFlags::kFinishOnProcessingThread;
            request.userData[0] = s;
            request.callbacks = &callbacks;
            FileAsyncRead(request, nullptr);
        }
        AsyncLoader::MainThread_Finalize(0.001);
        if (next < files.size() && !anySlotFree())
            callbacks.WaitForCompletion(seen);
    }
    waitForAllSlots();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    while (!AsyncLoader::MainThread_Finalize(1.0))
    {
    }
    if (resumed)
        AsyncLoader::Pause();
    LogResult("Async", files.size(), callbacks.m_total.load(), seconds);
    if (callbacks.m_failed.load() != 0 || tooLarge != 0)
        MX_LOG_ERROR(
            "Test.FileReadingPerformanceAsync: %u files could not be read, %u were too large for one request",
            callbacks.m_failed.load(), tooLarge);
}

void FileAsyncRead(const FileAsyncReadRequest& readRequest, FileAsyncControl** outControl)
{
    if (outControl)
        *outControl = nullptr;
    if (!MX_VERIFY(readRequest.filename))
        return;
    if (!HasFlag(readRequest.flags, EFileAsyncFlags::kSync) && AsyncLoader::IsInitialized() &&
        Client_DebugDisableAsyncReads.GetInt() == 0)
    {
        AsyncLoaderEntry entry;
        entry.filename = StrView(readRequest.filename);
        entry.originalRequest = readRequest;
        entry.readRequest = readRequest;
        AsyncLoader::AddRequest(entry, outControl);
        return;
    }
    ReadSynchronously(readRequest, outControl);
}

uint32 GetLivePhonyFileAsyncControlCount()
{
    std::lock_guard lock(GPhonyPoolLock.value);
    return static_cast<uint32>(GPhonyPool.value.GetNumElements());
}

void ClearPhonyControlPool()
{
    std::lock_guard lock(GPhonyPoolLock.value);
    Memory::Pool& pool = GPhonyPool.value;
    if (!pool.IsSetUp())
        return;
    if (pool.GetNumElements() != 0)
    {
        MX_LOG_ERROR("AsyncLoader::Shutdown: %u synchronous read controls were never released",
                     static_cast<uint32>(pool.GetNumElements()));
        return;
    }
    pool.Clear(true);
}
} // namespace Morvex
