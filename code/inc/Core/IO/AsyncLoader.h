#pragma once
// The asynchronous file loader: prioritised background reads on the thread "FileIO", decompression
// of archive members on the thread "Decompress", and a finalize queue that the main thread empties
// (MainThread_Finalize) to run the callers' main-thread callbacks and recycle the records.
//
// The file system's start-up initialises the loader paused: its threads sleep and requests stay
// queued until Resume. Shutdown cancels what is left. Requests normally come through FileAsyncRead
// (Core/IO/FileAsyncIO.h).

#include "Core/IO/Pak.h"
#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class RawFile;
class PakFile;
class FileAsyncCallbacks;

enum class EFileAsyncPriority : uint16
{
    kLow = 0,
    kBelowNormal = 1,
    kNormal = 2,
    kHigh = 3,
    kUrgent = 4,
    Count = 5,
};
// "Low", "kBelowNormal", "Normal", "High", "Urgent". Asserts "priority < EFileAsyncPriority::Count"
// and answers "?" for other values.
const char* GetFileAsyncPriorityName(EFileAsyncPriority priority);

enum class EFileAsyncFlags : uint32
{
    kNone = 0,
    kSync = 1,                         // read at once on the calling thread (FileAsyncRead only)
    kSkipProcessingThreadCallback = 2, // OnAsyncIOCompleted_ProcessingThread is not called
    // Finished when the processing-thread stage is over: no main-thread callback, IsDone turns true
    // before main-thread finalisation.
    kFinishOnProcessingThread = 4,
};
constexpr EFileAsyncFlags operator|(EFileAsyncFlags a, EFileAsyncFlags b)
{
    return static_cast<EFileAsyncFlags>(static_cast<uint32>(a) | static_cast<uint32>(b));
}
constexpr bool HasFlag(EFileAsyncFlags flags, EFileAsyncFlags flag)
{
    return (static_cast<uint32>(flags) & static_cast<uint32>(flag)) != 0;
}

enum class EFileAsyncStatus : uint32
{
    kOk = 0,               // data delivered (possibly fewer bytes than asked, at the end of a file)
    kQueued = 1,           // accepted, not yet started
    kReading = 2,          // the FileIO thread has taken it
    kFailedToOpenFile = 3, // the file failed to open
    kCancelled = 4,        // cancelled before it finished
    // The data could not be read whole: a corrupt or truncated archive member, a read too large for
    // one request (4 GiB or more) or for the loader's buffers. `size` is what was delivered.
    kFailedToRead = 5,
};

// The caller's description of one read.
struct FileAsyncReadRequest
{
    const char* filename = nullptr; // NUL-terminated; found through the search directories
    const char* typeName = nullptr; // label for the profiler, or null
    void* data = nullptr;           // destination, or null: the loader obtains one (Allocate, else its own)
    uint64 offset = 0;
    uint32 size = 0; // 0: from offset to the end of the file; on completion the bytes delivered
    FileAsyncCallbacks* callbacks = nullptr; // not owned; must outlive the request
    int16 memoryTag = -1;                    // tag index whose scope is open around Allocate; -1 none
    EFileAsyncFlags flags = EFileAsyncFlags::kNone;
    EFileAsyncPriority priority = EFileAsyncPriority::kNormal;
    uint16 subpriority = 0; // below 0xFFFF; larger first among equal priorities
    uint64 userData[4] = {};
};

// Hooks of a caller. The request passed is the control's copy: its `data` points at the delivered
// bytes and its `size` is the number delivered. A buffer the loader allocated itself lives only
// until the request's record is recycled: take the data during the callbacks.
class FileAsyncCallbacks
{
public:
    virtual ~FileAsyncCallbacks() = default;
    // The destination for `size` bytes, or null to let the loader use a buffer of its own. Called
    // on a worker thread (or the calling thread of a synchronous read).
    virtual void* Allocate(const FileAsyncReadRequest& request, uint32 size)
    {
        (void)request;
        (void)size;
        return nullptr;
    }
    // On the worker thread that finished the request (or the calling thread when synchronous).
    virtual void OnAsyncIOCompleted_ProcessingThread(const FileAsyncReadRequest& request,
                                                     EFileAsyncStatus status)
    {
        (void)request;
        (void)status;
    }
    // On the main thread, from MainThread_Finalize or CancelAllRequests (or the calling thread when
    // synchronous).
    virtual void OnAsyncIOCompleted_MainThread(const FileAsyncReadRequest& request, EFileAsyncStatus status)
    {
        (void)request;
        (void)status;
    }
};

// The request's callbacks asked for a destination of `size` bytes, inside the scope of the
// request's memory tag when it names one; null without callbacks or when they give none.
void* AllocateForRequest(const FileAsyncReadRequest& request, uint32 size);

struct AsyncLoaderEntry;

// The handle of one request, reference-counted: the loader's record holds one reference and a
// caller that asked for the control holds another, given up with DropRef. Control operations may be
// called from any thread (Wait: see there).
class FileAsyncControl
{
public:
    FileAsyncControl() = default;
    FileAsyncControl(const FileAsyncControl&) = delete;
    FileAsyncControl& operator=(const FileAsyncControl&) = delete;

    virtual ~FileAsyncControl() = default;
    // Asserts "m_tempReadBuffer == nullptr" and "m_tempDecompressionBuffer == nullptr"; returns the
    // object to its store. Called by DropRef when the last reference goes.
    virtual void Release();
    virtual bool IsDone() const;
    // The file name with '/' separators.
    virtual StrView GetName() const;
    virtual EFileAsyncStatus GetStatus() const;
    // Moves a request that is not finished to another priority (asserts "priority <
    // EFileAsyncPriority::Count" and ignores other values). A request still in the IO queue is
    // picked by its new priority.
    virtual void SetPriority(EFileAsyncPriority priority);
    // Asks for the cancellation: the next stage sees it and ends the request with kCancelled.
    virtual void Cancel();
    // Main thread (any thread for kFinishOnProcessingThread): finalises and yields until the
    // request is finished. Returns early, the request not finished, when the loader is not running
    // (paused or stopped): nothing would finish it then.
    virtual void Wait();
    // Frees the loader's own buffers; a `data` pointing at one of them becomes null.
    virtual void ReleaseTempBuffers();

    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    void DropRef();
    int32 GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }
    // The control's copy of the request (data and size as delivered once finished).
    const FileAsyncReadRequest& GetRequest() const { return m_request; }

protected:
    friend struct AsyncLoaderAccess;

    std::atomic<int32> m_refCount{0};
    std::atomic<EFileAsyncStatus> m_status{EFileAsyncStatus::kQueued};
    std::atomic<uint8> m_cancelRequested{0};
    FilePath m_name;
    FileAsyncReadRequest m_request;
    // The priority the FileIO thread compares; the request copy keeps the one it was added with.
    std::atomic<uint16> m_priority{0};
    AsyncLoaderEntry* m_entry = nullptr;
    void* m_tempReadBuffer = nullptr;
    void* m_tempDecompressionBuffer = nullptr;
    std::atomic<uint8> m_lock{0};
    std::atomic<uint8> m_finished{0};
    std::atomic<uint8> m_processingStageDone{0};
    std::atomic<uint8> m_mainStageDone{0};
};

// A queued request. AddRequest takes one in this form (its control is ignored).
struct AsyncLoaderEntry
{
    RawFile* file = nullptr; // an open file holding a reference, or null when the request names one
    StrView filename;
    FileAsyncReadRequest originalRequest; // as the caller gave it
    FileAsyncReadRequest readRequest;     // the physical read: offset and size in the physical file
    PakFile* pakFile = nullptr;           // the archive member to decompress from, holding a reference
    PakCompression compression;
    FileAsyncControl* control = nullptr;
};

namespace AsyncLoader
{
// Main thread. Init starts the threads paused (inside the tag scope "Core/AsyncIO"); Shutdown
// cancels every request, joins the threads and frees the events. Each does nothing when already
// done.
void Init();
void Shutdown();
bool IsInitialized();

// Lets the workers serve their queues (kRunning), or puts them to sleep again after the request
// each is working on (kPaused). Asserts "m_initialized"; nothing happens after CancelAllRequests.
// The reporter keeps the loader paused; tests and the reading benchmark resume it. Any thread.
void Resume();
void Pause();
bool IsRunning();

// Queues a request; any thread. Asserts "m_initialized", "m_state != EState::kQuit", the
// subpriority below 0xFFFF, no kSync, a known priority and, with a file, a nonzero size and an
// offset within the file; a request that fails these is refused (no control, nothing queued).
// With `outControl` the caller receives the control with one reference of its own.
void AddRequest(const AsyncLoaderEntry& request, FileAsyncControl** outControl);

// Main thread: runs the main-thread stage of finished requests and recycles them, until the
// finalize queue is empty (true) or `budgetSeconds` is used up (false).
bool MainThread_Finalize(double budgetSeconds);

// Main thread: stops both threads and cancels everything queued (every outstanding callback stage
// runs with kCancelled).
void CancelAllRequests();

// A buffer of the "FileMemory" heap for the loader. Size 0 gives the shared empty buffer. Blocks
// while the heap's use plus `size` reaches `budget`, until the use drops below 0x10000000 or, for
// a request that large, until no other loader buffer is in flight. Asserts "size < allocationBudget"
// (then null). Any thread.
void* AllocTempMemory(uint64 size, uint64 budget);
// Null and the shared empty buffer do nothing.
void FreeTempMemory(void* buffer);
// Whether the memory wait of AllocTempMemory is over (the rule above; exposed for tests).
bool MemoryWaitEnds(uint64 used, uint64 size, uint64 budget, uint32 otherBuffersInFlight);

// Requests added and not yet finished at that priority (false for unknown priorities).
bool HasActiveRequests(EFileAsyncPriority priority);
// Diagnostics: the longest IO queue AddRequest saw; the total time spent waiting for memory.
uint32 GetMaxIOQueueLength();
double GetMemoryWaitMilliseconds();
} // namespace AsyncLoader
} // namespace Morvex
