// The asynchronous loader and FileAsyncRead: request order, sizes, cancellation, finalisation, the
// loader's memory, misuse, archive members through the loader, and the synchronous fallback.

#include "Core/CmdSystem.h"
#include "Core/IO/AsyncLoader.h"
#include "Core/IO/FileAsyncIO.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PakFile.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Threading/Threading.h"
#include "PakTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using namespace Morvex::Test;

namespace
{
// What the callbacks saw, in order, from whichever thread.
class Recorder final : public FileAsyncCallbacks
{
public:
    struct Call
    {
        std::string stage;
        std::string name;
        EFileAsyncStatus status;
        std::string data;
        uint32 size;
        bool onMainThread;
    };

    void* Allocate(const FileAsyncReadRequest&, uint32 size) override
    {
        std::lock_guard lock(m_mutex);
        m_allocations.push_back(size);
        if (!m_giveBuffers)
            return nullptr;
        m_buffers.emplace_back(new char[size]);
        return m_buffers.back().get();
    }
    void OnAsyncIOCompleted_ProcessingThread(const FileAsyncReadRequest& request,
                                             EFileAsyncStatus status) override
    {
        Record("processing", request, status);
    }
    void OnAsyncIOCompleted_MainThread(const FileAsyncReadRequest& request, EFileAsyncStatus status) override
    {
        Record("main", request, status);
    }

    std::vector<Call> Calls()
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<std::string> Order(const std::string& stage)
    {
        std::vector<std::string> out;
        for (const Call& c : Calls())
            if (c.stage == stage)
                out.push_back(c.name);
        return out;
    }
    size_t AllocationCount()
    {
        std::lock_guard lock(m_mutex);
        return m_allocations.size();
    }
    bool m_giveBuffers = false;

private:
    void Record(const char* stage, const FileAsyncReadRequest& request, EFileAsyncStatus status)
    {
        std::string data;
        if (request.data && status == EFileAsyncStatus::kOk)
            data.assign(static_cast<const char*>(request.data), request.size);
        std::string name = request.filename ? request.filename : "";
        name = name.substr(name.find_last_of('/') + 1);
        std::lock_guard lock(m_mutex);
        m_calls.push_back({stage, name, status, data, request.size, Threading::IsMainThread()});
    }
    std::mutex m_mutex;
    std::vector<Call> m_calls;
    std::vector<size_t> m_allocations;
    std::vector<std::unique_ptr<char[]>> m_buffers;
};

// A started file system (and so a started, paused loader) with a folder of files.
class AsyncLoaderTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(IsFileSystemInitialized());
        InitFileSystem();
        ASSERT_TRUE(AsyncLoader::IsInitialized());
        ASSERT_FALSE(AsyncLoader::IsRunning());
        m_dir.WriteFile("hundred.bin", Digits(100));
    }
    void TearDown() override
    {
        ShutdownFileSystem();
        for (uint32 p = 0; p < 5; ++p)
            EXPECT_FALSE(AsyncLoader::HasActiveRequests(static_cast<EFileAsyncPriority>(p)));
    }

    static std::string Digits(size_t n)
    {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s += static_cast<char>('0' + i % 10);
        return s;
    }

    FileAsyncControl* Read(const std::string& name, uint64 offset, uint32 size, FileAsyncCallbacks* callbacks,
                           EFileAsyncPriority priority = EFileAsyncPriority::kNormal, uint16 subpriority = 0,
                           EFileAsyncFlags flags = EFileAsyncFlags::kNone)
    {
        m_names.push_back(name.front() == '/' ? name : m_dir.Join(name));
        FileAsyncReadRequest request;
        request.filename = m_names.back().c_str();
        request.offset = offset;
        request.size = size;
        request.callbacks = callbacks;
        request.priority = priority;
        request.subpriority = subpriority;
        request.flags = flags;
        FileAsyncControl* control = nullptr;
        FileAsyncRead(request, &control);
        return control;
    }

    TempDir m_dir;
    std::list<std::string> m_names;
};
} // namespace

TEST_F(AsyncLoaderTest, SizesFollowTheFileAndTheOffset)
{
    AsyncLoader::Resume();
    const struct
    {
        uint64 offset;
        uint32 size;
        uint32 delivered;
        const char* name;
    } cases[] = {{40, 0, 60, "hundred.bin"},
                 {120, 0, 0, "hundred.bin"},
                 {0, 10, 10, "hundred.bin"},
                 {95, 10, 5, "hundred.bin"},
                 {0, 0, 0, "missing.bin"}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size) + " " + c.name);
        Recorder recorder;
        FileAsyncControl* control = Read(c.name, c.offset, c.size, &recorder);
        ASSERT_NE(control, nullptr);
        control->Wait();
        ASSERT_TRUE(control->IsDone());
        const bool missing = std::string(c.name) == "missing.bin";
        EXPECT_EQ(control->GetStatus(),
                  missing ? EFileAsyncStatus::kFailedToOpenFile : EFileAsyncStatus::kOk);
        const auto calls = recorder.Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].stage, "processing");
        EXPECT_FALSE(calls[0].onMainThread);
        EXPECT_EQ(calls[1].stage, "main");
        EXPECT_TRUE(calls[1].onMainThread);
        EXPECT_EQ(calls[1].size, missing ? 0u : c.delivered);
        EXPECT_EQ(calls[0].data,
                  missing || c.delivered == 0 ? "" : Digits(100).substr(c.offset, c.delivered));
        EXPECT_EQ(recorder.AllocationCount(), missing || c.delivered == 0 ? 0u : 1u)
            << "no buffer is obtained for nothing";
        // The loader's own buffer is gone with the record; the control no longer points at it.
        EXPECT_EQ(control->GetRequest().data, nullptr);
        control->DropRef();
    }
}

TEST_F(AsyncLoaderTest, PriorityAndSubpriorityChooseTheOrder)
{
    for (const char* name : {"a", "b", "c", "d", "e"})
        m_dir.WriteFile(name, name);
    Recorder recorder;
    std::vector<FileAsyncControl*> controls = {Read("a", 0, 0, &recorder), Read("b", 0, 0, &recorder),
                                               Read("c", 0, 0, &recorder, EFileAsyncPriority::kNormal, 5),
                                               Read("d", 0, 0, &recorder, EFileAsyncPriority::kLow),
                                               Read("e", 0, 0, &recorder, EFileAsyncPriority::kHigh)};
    controls[3]->SetPriority(EFileAsyncPriority::kUrgent);
    EXPECT_TRUE(AsyncLoader::HasActiveRequests(EFileAsyncPriority::kUrgent));
    EXPECT_FALSE(AsyncLoader::HasActiveRequests(EFileAsyncPriority::kLow));
    EXPECT_GE(AsyncLoader::GetMaxIOQueueLength(), 5u);
    AsyncLoader::Resume();
    for (FileAsyncControl* control : controls)
    {
        control->Wait();
        EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kOk);
        control->DropRef();
    }
    EXPECT_EQ(recorder.Order("processing"), (std::vector<std::string>{"d", "e", "c", "a", "b"}));
}

TEST_F(AsyncLoaderTest, NamesAreStoredWithForwardSlashes)
{
    m_dir.WriteFile("sub/x.txt", "x");
    const std::string back = m_dir.Path() + "\\sub\\x.txt";
    FileAsyncControl* control = Read(back, 0, 0, nullptr);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(std::string(control->GetName().data(), control->GetName().length()), m_dir.Join("sub/x.txt"));
    AsyncLoader::Resume();
    control->Wait();
    EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kOk);
    control->DropRef();
}

TEST_F(AsyncLoaderTest, CancelledRequestsRunBothStagesWithCancelled)
{
    Recorder recorder;
    FileAsyncControl* kept = Read("hundred.bin", 0, 0, &recorder);
    FileAsyncControl* cancelled = Read("hundred.bin", 0, 0, &recorder);
    cancelled->Cancel();
    EXPECT_EQ(cancelled->GetStatus(), EFileAsyncStatus::kQueued) << "Cancel only asks";
    AsyncLoader::Resume();
    kept->Wait();
    cancelled->Wait();
    EXPECT_EQ(kept->GetStatus(), EFileAsyncStatus::kOk);
    EXPECT_EQ(cancelled->GetStatus(), EFileAsyncStatus::kCancelled);
    int cancelledCalls = 0;
    for (const auto& call : recorder.Calls())
        cancelledCalls += call.status == EFileAsyncStatus::kCancelled;
    EXPECT_EQ(cancelledCalls, 2);
    kept->DropRef();
    cancelled->DropRef();
}

// Shutdown with a request still queued and one waiting for finalisation: every outstanding
// callback stage runs with kCancelled and the counters end at 0 (checked by TearDown).
TEST_F(AsyncLoaderTest, ShutdownCancelsEverythingOutstanding)
{
    Recorder recorder;
    FileAsyncControl* done = Read("hundred.bin", 0, 0, &recorder);
    AsyncLoader::Resume();
    while (recorder.Calls().empty())
        std::this_thread::yield();
    AsyncLoader::Pause();
    FileAsyncControl* queued = Read("hundred.bin", 0, 0, &recorder, EFileAsyncPriority::kUrgent);
    ShutdownFileSystem();
    InitFileSystem();
    const auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].status, EFileAsyncStatus::kOk);
    EXPECT_EQ(calls[1].stage, "processing");
    EXPECT_EQ(calls[1].status, EFileAsyncStatus::kCancelled);
    EXPECT_EQ(calls[2].stage, "main");
    EXPECT_EQ(calls[3].stage, "main");
    EXPECT_EQ(calls[2].status, EFileAsyncStatus::kCancelled);
    EXPECT_EQ(calls[3].status, EFileAsyncStatus::kCancelled);
    EXPECT_TRUE(done->IsDone());
    EXPECT_TRUE(queued->IsDone());
    done->DropRef();
    queued->DropRef();
}

TEST_F(AsyncLoaderTest, FinalizeBudgetAndWaitOnAPausedLoader)
{
    EXPECT_TRUE(AsyncLoader::MainThread_Finalize(0.0)) << "an empty queue";
    Recorder recorder;
    FileAsyncControl* control = Read("hundred.bin", 0, 0, &recorder);
    control->Wait();
    EXPECT_FALSE(control->IsDone()) << "a paused loader finishes nothing: Wait returns";
    AsyncLoader::Resume();
    while (recorder.Calls().empty())
        std::this_thread::yield();
    AsyncLoader::Pause();
    // Budget 0: true while the queue is empty, false (finalising nothing) once the request is in it.
    while (AsyncLoader::MainThread_Finalize(0.0))
        std::this_thread::yield();
    EXPECT_EQ(recorder.Calls().size(), 1u) << "a budget of 0 finalises nothing";
    EXPECT_TRUE(AsyncLoader::MainThread_Finalize(5.0));
    EXPECT_TRUE(control->IsDone());
    EXPECT_EQ(recorder.Calls().size(), 2u);
    control->DropRef();
}

TEST_F(AsyncLoaderTest, FinishOnProcessingThreadAndSkippedCallbacks)
{
    AsyncLoader::Resume();
    const struct
    {
        EFileAsyncFlags flags;
        std::vector<std::string> stages;
    } cases[] = {
        {EFileAsyncFlags::kFinishOnProcessingThread, {"processing"}},
        {EFileAsyncFlags::kSkipProcessingThreadCallback, {"main"}},
        {EFileAsyncFlags::kSkipProcessingThreadCallback | EFileAsyncFlags::kFinishOnProcessingThread, {}},
    };
    for (const auto& c : cases)
    {
        Recorder recorder;
        FileAsyncControl* control =
            Read("hundred.bin", 0, 0, &recorder, EFileAsyncPriority::kNormal, 0, c.flags);
        control->Wait();
        EXPECT_TRUE(control->IsDone());
        while (!AsyncLoader::MainThread_Finalize(1.0))
        {
        }
        std::vector<std::string> stages;
        for (const auto& call : recorder.Calls())
            stages.push_back(call.stage);
        EXPECT_EQ(stages, c.stages) << static_cast<uint32>(c.flags);
        control->DropRef();
    }
}

// Misuse is reported and refused: nothing is queued and no counter is touched (the priority is
// checked before it is used as an index).
TEST_F(AsyncLoaderTest, MisusedRequestsAreRefused)
{
    struct Case
    {
        const char* assertion;
        void (*spoil)(AsyncLoaderEntry&);
    };
    const Case cases[] = {
        {"priority < EFileAsyncPriority::Count",
         [](AsyncLoaderEntry& e) { e.originalRequest.priority = static_cast<EFileAsyncPriority>(7); }},
        {"request.readRequest.subpriority < 0xffffui16",
         [](AsyncLoaderEntry& e) { e.originalRequest.subpriority = 0xFFFF; }},
        {"(request.readRequest.flags & EFileAsyncFlags::kSync) == 0",
         [](AsyncLoaderEntry& e) { e.originalRequest.flags = EFileAsyncFlags::kSync; }},
        {"entry.file || !entry.filename.empty()", [](AsyncLoaderEntry& e) { e.filename = StrView(); }},
    };
    for (const Case& c : cases)
    {
        AssertRecorder asserts;
        AsyncLoaderEntry entry;
        entry.filename = StrView("x");
        c.spoil(entry);
        FileAsyncControl* control = reinterpret_cast<FileAsyncControl*>(1);
        AsyncLoader::AddRequest(entry, &control);
        EXPECT_EQ(control, nullptr) << c.assertion;
        ASSERT_EQ(asserts.Count(), 1u) << c.assertion;
        EXPECT_EQ(asserts.Records()[0].message, c.assertion);
    }
    AssertRecorder asserts;
    EXPECT_STREQ(GetFileAsyncPriorityName(EFileAsyncPriority::Count), "?");
    EXPECT_STREQ(GetFileAsyncPriorityName(EFileAsyncPriority::kBelowNormal), "kBelowNormal");
    EXPECT_EQ(asserts.Count(), 1u);
}

TEST_F(AsyncLoaderTest, ZeroBytesComeFromTheSharedEmptyBuffer)
{
    void* empty = AsyncLoader::AllocTempMemory(0, 0x10000000);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(AsyncLoader::AllocTempMemory(0, 1), empty);
    AsyncLoader::FreeTempMemory(empty);
    AsyncLoader::FreeTempMemory(empty);
    AssertRecorder asserts;
    EXPECT_EQ(AsyncLoader::AllocTempMemory(0x10000000, 0x10000000), nullptr);
    EXPECT_TRUE(asserts.Saw("size < budget"));
}

// The wait for memory ends below 256 MiB; a request that large can never get there and goes once
// no other loader buffer is in flight.
TEST(AsyncLoaderMemory, TheWaitEndsForLargeRequestsOnceAlone)
{
    const uint64 MiB = 1 << 20;
    const struct
    {
        uint64 used, size, budget;
        uint32 others;
        bool ends;
    } cases[] = {
        {10 * MiB, 100 * MiB, 320 * MiB, 3, true},   {200 * MiB, 100 * MiB, 320 * MiB, 3, false},
        {200 * MiB, 100 * MiB, 320 * MiB, 0, false}, {64 * MiB, 300 * MiB, 320 * MiB, 1, false},
        {64 * MiB, 300 * MiB, 320 * MiB, 0, true},   {1 * MiB, 256 * MiB, 0xFFFFFFFF, 0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AsyncLoader::MemoryWaitEnds(c.used, c.size, c.budget, c.others), c.ends)
            << c.used / MiB << " + " << c.size / MiB << " others " << c.others;
}

TEST_F(AsyncLoaderTest, ALargeRequestGoesOnceTheOtherBuffersAreFreed)
{
    void* other = AsyncLoader::AllocTempMemory(64 << 20, 0x14000000);
    std::atomic<bool> got{false};
    std::thread large(
        [&]
        {
            void* big = AsyncLoader::AllocTempMemory(300u << 20, 0x14000000);
            got = big != nullptr;
            AsyncLoader::FreeTempMemory(big);
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(got.load()) << "waits while another buffer is in flight";
    AsyncLoader::FreeTempMemory(other);
    large.join();
    EXPECT_TRUE(got.load());
    EXPECT_GT(AsyncLoader::GetMemoryWaitMilliseconds(), 50.0);
}

// Files of 4 GiB or more: a size that would wrap is refused, on both paths.
TEST_F(AsyncLoaderTest, SizesBeyondFourGigabytesAreRefusedNotWrapped)
{
    const std::string path = m_dir.Join("huge.bin");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const bool sparse = ftruncate(fd, (off_t(1) << 32) + 10) == 0;
    close(fd);
    if (!sparse)
        GTEST_SKIP() << "no sparse files here";
    AsyncLoader::Resume();
    for (const char* disable : {"0", "1"})
    {
        ScopedCVar sync(Client_DebugDisableAsyncReads, disable);
        Recorder recorder;
        CapturingSink sink;
        FileAsyncControl* control = Read("huge.bin", 0, 0, &recorder);
        control->Wait();
        EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kFailedToRead) << disable;
        EXPECT_EQ(recorder.AllocationCount(), 0u);
        EXPECT_TRUE(sink.Contains(Log::Error, "too large for one request"));
        control->DropRef();
        // The last 10 bytes fit.
        FileAsyncControl* tail = Read("huge.bin", (uint64(1) << 32), 0, &recorder);
        tail->Wait();
        EXPECT_EQ(tail->GetStatus(), EFileAsyncStatus::kOk);
        EXPECT_EQ(tail->GetRequest().size, 10u);
        tail->DropRef();
    }
}

// An archive member through the loader: compressed blocks read on FileIO, decompressed on
// Decompress; a truncated archive ends that read with kFailedToRead.
TEST_F(AsyncLoaderTest, ArchiveMembersAreDecompressedByTheLoader)
{
    const std::string content = Compressible(200000, 3);
    // The compressed member last, so that cutting the archive cuts it.
    BuiltPak pak = BuildPak({{"a", content, false}, {"m", content}}, 65536);
    for (size_t length : {pak.physical.size(), pak.physical.size() - 100})
    {
        SCOPED_TRACE(length);
        const std::string path = m_dir.Join("a" + std::to_string(length) + ".pak");
        WriteAll(path, pak.physical.substr(0, length));
        RawFile* file = RawFile::Open(StrView(path.c_str()), EFileOpenMode::kRead);
        Pak::Archive* archive = Pak::Archive::Create(file, pak.Index());
        file->DropRef();
        ASSERT_NE(archive, nullptr);
        AsyncLoader::Resume();
        for (const char* name : {"a", "m"})
        {
            for (uint64 offset : {uint64(0), uint64(70000)})
            {
                PakFile* member = PakFile::Create(archive, archive->FindEntry(name));
                Recorder recorder;
                FileAsyncReadRequest request;
                request.offset = offset;
                request.size = static_cast<uint32>(content.size());
                request.callbacks = &recorder;
                AsyncLoaderEntry entry;
                member->CreateReadRequest(entry, request);
                FileAsyncControl* control = nullptr;
                AsyncLoader::AddRequest(entry, &control);
                member->DropRef();
                ASSERT_NE(control, nullptr);
                control->Wait();
                const auto calls = recorder.Calls();
                ASSERT_EQ(calls.size(), 2u);
                if (length == pak.physical.size())
                {
                    EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kOk);
                    EXPECT_EQ(calls[0].data, content.substr(offset)) << name;
                }
                else if (std::string(name) == "m")
                {
                    EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kFailedToRead);
                }
                control->DropRef();
            }
        }
        archive->DropRef();
    }
}

// The synchronous fallback: everything has happened when FileAsyncRead returns.
TEST_F(AsyncLoaderTest, DisabledAsyncReadsCompleteBeforeReturning)
{
    ScopedCVar sync(Client_DebugDisableAsyncReads, "1");
    const struct
    {
        const char* name;
        uint64 offset;
        EFileAsyncStatus status;
        uint32 size;
    } cases[] = {{"hundred.bin", 40, EFileAsyncStatus::kOk, 60},
                 {"hundred.bin", 120, EFileAsyncStatus::kOk, 0},
                 {"missing.bin", 0, EFileAsyncStatus::kFailedToOpenFile, 0}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name + std::string(" ") + std::to_string(c.offset));
        Recorder recorder;
        FileAsyncControl* control = Read(c.name, c.offset, 0, &recorder);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(control->IsDone());
        EXPECT_EQ(control->GetStatus(), c.status);
        const auto calls = recorder.Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_TRUE(calls[0].onMainThread && calls[1].onMainThread);
        EXPECT_EQ(calls[0].status, c.status);
        EXPECT_EQ(calls[0].size, c.size);
        if (c.size)
        {
            EXPECT_EQ(calls[0].data, Digits(100).substr(c.offset));
        }
        // The buffer the read took for itself is freed: the control does not keep pointing at it.
        EXPECT_EQ(control->GetRequest().data, nullptr);
        control->Cancel();
        EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kCancelled);
        control->Wait();
        control->DropRef();
    }
    EXPECT_EQ(GetLivePhonyFileAsyncControlCount(), 0u);

    // A caller's buffer: a failed open leaves it as it was; a read fills it.
    char buffer[8] = "keep";
    FileAsyncReadRequest request;
    const std::string missing = m_dir.Join("missing.bin");
    request.filename = missing.c_str();
    request.data = buffer;
    request.size = 4;
    FileAsyncRead(request, nullptr);
    EXPECT_STREQ(buffer, "keep");
    const std::string hundred = m_dir.Join("hundred.bin");
    request.filename = hundred.c_str();
    request.flags =
        EFileAsyncFlags::kSkipProcessingThreadCallback | EFileAsyncFlags::kFinishOnProcessingThread;
    Recorder silent;
    request.callbacks = &silent;
    FileAsyncRead(request, nullptr);
    EXPECT_STREQ(buffer, "0123");
    EXPECT_TRUE(silent.Calls().empty());
}

// The FileIO thread's cache of open files, seen from outside: a file unlinked after its first read
// can be read again only while the cache still holds it open.
class UnlinkAfterFirstRead final : public FileAsyncCallbacks
{
public:
    explicit UnlinkAfterFirstRead(std::string path) : m_path(std::move(path)) {}
    void OnAsyncIOCompleted_ProcessingThread(const FileAsyncReadRequest&, EFileAsyncStatus) override
    {
        if (m_calls++ == 0)
        {
            ::unlink(m_path.c_str());
            if (m_then)
                m_then();
        }
    }
    std::function<void()> m_then;

private:
    std::string m_path;
    int m_calls = 0;
};

TEST_F(AsyncLoaderTest, TheOpenFileCacheHoldsSixteenFilesAndClosesIdleOnes)
{
    const struct
    {
        const char* what;
        int others; // distinct files read between the two reads of the target
        int hits;   // further reads of the last of them
        EFileAsyncStatus second;
    } cases[] = {
        {"15 other files: still open", 15, 0, EFileAsyncStatus::kOk},
        {"16 other files: the 17th took its place", 16, 0, EFileAsyncStatus::kFailedToOpenFile},
        {"unused during the last 100 opens: still open", 1, 99, EFileAsyncStatus::kOk},
        {"unused during the last 101 opens: closed", 1, 100, EFileAsyncStatus::kFailedToOpenFile},
    };
    AsyncLoader::Resume();
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        AsyncLoader::Pause();
        m_dir.WriteFile("target.bin", "target");
        for (int i = 0; i < c.others; ++i)
            m_dir.WriteFile("other" + std::to_string(i) + ".bin", "other");
        UnlinkAfterFirstRead unlinker(m_dir.Join("target.bin"));
        std::vector<FileAsyncControl*> controls;
        // Everything is queued before the thread wakes, so that the queue never runs dry between.
        controls.push_back(Read("target.bin", 0, 0, &unlinker));
        for (int i = 0; i < c.others; ++i)
            controls.push_back(Read("other" + std::to_string(i) + ".bin", 0, 0, nullptr));
        for (int i = 0; i < c.hits; ++i)
            controls.push_back(Read("other" + std::to_string(c.others - 1) + ".bin", 0, 0, nullptr));
        Recorder recorder;
        controls.push_back(Read("target.bin", 0, 0, &recorder));
        AsyncLoader::Resume();
        for (FileAsyncControl* control : controls)
            control->Wait();
        EXPECT_EQ(controls.front()->GetStatus(), EFileAsyncStatus::kOk);
        EXPECT_EQ(controls.back()->GetStatus(), c.second);
        if (c.second == EFileAsyncStatus::kOk)
        {
            ASSERT_EQ(recorder.Calls().size(), 2u);
            EXPECT_EQ(recorder.Calls()[0].data, "target");
        }
        for (FileAsyncControl* control : controls)
            control->DropRef();
    }
}

// A request added while the FileIO thread reads finds the files of the one before still open: the
// cache is closed only when the queue has run dry.
TEST_F(AsyncLoaderTest, ARequestAddedDuringAReadKeepsTheCacheOpen)
{
    m_dir.WriteFile("target.bin", "target");
    UnlinkAfterFirstRead unlinker(m_dir.Join("target.bin"));
    Recorder recorder;
    std::atomic<FileAsyncControl*> second{nullptr};
    const std::string path = m_dir.Join("target.bin");
    unlinker.m_then = [&]
    {
        FileAsyncReadRequest request;
        request.filename = path.c_str();
        request.callbacks = &recorder;
        FileAsyncControl* control = nullptr;
        FileAsyncRead(request, &control);
        second.store(control);
    };
    FileAsyncControl* first = Read("target.bin", 0, 0, &unlinker);
    AsyncLoader::Resume();
    first->Wait();
    ASSERT_NE(second.load(), nullptr);
    second.load()->Wait();
    EXPECT_EQ(second.load()->GetStatus(), EFileAsyncStatus::kOk);
    ASSERT_EQ(recorder.Calls().size(), 2u);
    EXPECT_EQ(recorder.Calls()[0].data, "target");
    first->DropRef();
    second.load()->DropRef();
}

// The loader's records and the synchronous reads' controls live in pools charged to
// "Core/AsyncIO"; a clean shutdown gives their pages back, and one that finds a control still held
// reports it and keeps the pages for its late release.
TEST_F(AsyncLoaderTest, RecordsComeFromPoolsThatAShutdownGivesBack)
{
    const int16 tag = static_cast<int16>(MemoryTags::Register("Core/AsyncIO").m_index);
    Recorder recorder;
    std::vector<FileAsyncControl*> controls;
    for (int i = 0; i < 3; ++i)
        controls.push_back(Read("hundred.bin", 0, 0, &recorder));
    struct Expected
    {
        const char* name;
        uint64 pageSize;
    };
    for (const Expected& e :
         {Expected{"Core/AsyncLoaderEntry:", 0x40000}, Expected{"Core/FileAsyncControl:", 0x40000}})
    {
        SCOPED_TRACE(e.name);
        Memory::Pool::Info pool;
        ASSERT_TRUE(FindPool(e.name, &pool));
        EXPECT_EQ(pool.numElements, 3u);
        EXPECT_EQ(pool.pageSizeInBytes, e.pageSize);
        EXPECT_EQ(pool.numPages, 1u) << "one page holds many records";
        EXPECT_EQ(pool.tag, tag);
    }
    {
        ScopedCVar sync(Client_DebugDisableAsyncReads, "1");
        FileAsyncControl* phony = Read("hundred.bin", 0, 0, &recorder);
        Memory::Pool::Info pool;
        ASSERT_TRUE(FindPool("Core/PhonyFileAsyncControl:", &pool));
        EXPECT_EQ(pool.numElements, 1u);
        EXPECT_EQ(pool.tag, tag);
        phony->DropRef();
        EXPECT_EQ(GetLivePhonyFileAsyncControlCount(), 0u);
    }
    AsyncLoader::Resume();
    for (FileAsyncControl* control : controls)
    {
        control->Wait();
        EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kOk);
    }
    // The pool list is only read while the FileIO thread is still (it closes files of another pool).
    for (size_t i = 1; i < controls.size(); ++i)
        controls[i]->DropRef();

    // One control still held: reported (the finalised entries went back), its page kept, and its
    // late release is harmless.
    {
        CapturingSink sink;
        ShutdownFileSystem();
        EXPECT_TRUE(sink.Contains(Log::Error, "0 request records and 1 controls were never released"));
        EXPECT_FALSE(sink.Contains("objects still alive"));
    }
    Memory::Pool::Info held;
    ASSERT_TRUE(FindPool("Core/FileAsyncControl:", &held));
    EXPECT_EQ(held.numElements, 1u);
    EXPECT_EQ(held.numPages, 1u);
    EXPECT_EQ(controls[0]->GetStatus(), EFileAsyncStatus::kOk);
    controls[0]->DropRef();

    InitFileSystem();
    {
        CapturingSink sink;
        ShutdownFileSystem();
        EXPECT_FALSE(sink.Contains("never released"));
        EXPECT_FALSE(sink.Contains("objects still alive"));
    }
    for (const char* name :
         {"Core/AsyncLoaderEntry:", "Core/FileAsyncControl:", "Core/PhonyFileAsyncControl:"})
    {
        SCOPED_TRACE(name);
        Memory::Pool::Info pool;
        ASSERT_TRUE(FindPool(name, &pool));
        EXPECT_EQ(pool.numElements, 0u);
        EXPECT_EQ(pool.numPages, 0u);
    }
    InitFileSystem();
}

TEST(AsyncLoaderLifecycle, StartsAndStopsRepeatedlyWithBothThreads)
{
    ASSERT_FALSE(IsFileSystemInitialized());
    for (int round = 0; round < 20; ++round)
    {
        InitFileSystem();
        std::vector<std::string> live;
        Threading::LockRegistry();
        for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
            if (!info->IsFinished())
                live.push_back(info->name);
        Threading::UnlockRegistry();
        EXPECT_NE(std::find(live.begin(), live.end(), "FileIO"), live.end());
        EXPECT_NE(std::find(live.begin(), live.end(), "Decompress"), live.end());
        if (round % 2)
            AsyncLoader::Resume();
        ShutdownFileSystem();
        EXPECT_FALSE(AsyncLoader::IsInitialized());
    }
    // Without a loader, reads are synchronous.
    TempDir dir;
    dir.WriteFile("f", "abc");
    const std::string path = dir.Join("f");
    FileAsyncReadRequest request;
    request.filename = path.c_str();
    FileAsyncControl* control = nullptr;
    FileAsyncRead(request, &control);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetStatus(), EFileAsyncStatus::kOk);
    control->DropRef();
}

// The asynchronous reading benchmark over files that are emptied and refilled while it runs: a file
// found empty by the walk and read after it has grown must not be read into a slot's smaller buffer
// (the sanitizer builds see any such overflow).
TEST_F(AsyncLoaderTest, ReadingBenchmarkSurvivesFilesGrowingBehindTheWalk)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    for (int i = 0; i < 16; ++i)
        m_dir.WriteFile("small" + std::to_string(i) + ".dds", std::string(4096, 's'));
    std::vector<int> growing;
    for (int i = 0; i < 8; ++i)
    {
        const std::string path = m_dir.Join("growing" + std::to_string(i) + ".dds");
        growing.push_back(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_GE(growing.back(), 0);
    }
    std::atomic<bool> stop{false};
    std::thread grower(
        [&]
        {
            while (!stop.load())
                for (int fd : growing)
                {
                    EXPECT_EQ(::ftruncate(fd, 0), 0);
                    EXPECT_EQ(::ftruncate(fd, 1 << 20), 0);
                }
        });
    const std::string script = "Test.FileReadingPerformanceAsync " + m_dir.Path() + "\n";
    for (const char* disable : {"0", "1"})
    {
        ScopedCVar sync(Client_DebugDisableAsyncReads, disable);
        for (int run = 0; run < 40; ++run)
        {
            CmdSystem::AddText(script.c_str());
            CmdSystem::Execute();
        }
    }
    stop.store(true);
    grower.join();
    for (int fd : growing)
        ::close(fd);
    EXPECT_EQ(GetLivePhonyFileAsyncControlCount(), 0u);
}
