// The memory-tag registry, the scope stacks and the charging of the global heap.

#include "Core/Memory/GroundZeroAllocator.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Threading/ThreadBase.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

using namespace Morvex;

namespace
{
// Made by a static initialiser, after the kernel (which every executable constructs first).
struct StaticBlock
{
    StaticBlock()
        : scope(GMemoryTagSystem.load() ? GMemoryTagSystem.load()->GetScope().m_handle.m_index : 0),
          block(Memory::Alloc(777))
    {
    }
    uint16 scope;
    void* block;
};
StaticBlock GStaticBlock;

MemoryTagSystem& Tags()
{
    MemoryTagSystem* tags = GMemoryTagSystem.load();
    EXPECT_NE(tags, nullptr);
    return *tags;
}

MemoryTagRecord& Record(const char* name)
{
    return *Tags().GetOrCreateTag(name, static_cast<uint32>(std::strlen(name)));
}

// Runs `body` on a thread the engine starts.
template <typename F>
void OnEngineThread(F body)
{
    struct Runner : ThreadBase
    {
        explicit Runner(F& f) : f(f) {}
        void Run() override { f(); }
        F& f;
    } runner(body);
    ASSERT_TRUE(runner.Start(0, ThreadPriority::Normal));
    runner.Join();
}
} // namespace

TEST(MemoryTags, FixedTagsAndTheHierarchyOfNames)
{
    MemoryTagSystem& tags = Tags();
    EXPECT_EQ(std::string(tags.GetTag(0)->name, tags.GetTag(0)->length), "Null");
    EXPECT_EQ(std::string(tags.GetTag(1)->name, tags.GetTag(1)->length), "UNKNOWN");
    EXPECT_EQ(std::string(tags.GetTag(2)->name, tags.GetTag(2)->length), "ThirdParty");

    MemoryTagRecord& root = Record("TagTest");
    const uint32 before = tags.GetNumTags();
    static const char kLeaf[] = "TagTest/Localize/Files";
    MemoryTagRecord& leaf = Record(kLeaf);
    ASSERT_EQ(tags.GetNumTags(), before + 2) << "the missing middle level and the leaf";
    MemoryTagRecord* middle = tags.GetTag(before);
    EXPECT_EQ(middle->length, 16u);
    EXPECT_EQ(middle->name, kLeaf) << "parents are views of the child's text";
    EXPECT_EQ(leaf.m_index, before + 1);
    EXPECT_EQ(leaf.length, 22u);
    EXPECT_EQ(&Record("TagTest/Localize"), middle);
    EXPECT_EQ(&Record("TagTest"), &root);
    EXPECT_EQ(tags.GetNumTags(), before + 2);
}

// Static initialisers that run after the kernel are charged to its start-up.
TEST(MemoryTags, StaticInitialisersAfterTheKernelAreChargedToPreKernel)
{
    EXPECT_EQ(GStaticBlock.scope, Record("Core/PreKernel").m_index);
    EXPECT_NE(GStaticBlock.block, nullptr);
}

TEST(MemoryTags, ThreadsRegisteringOneNameGetOneRecord)
{
    std::vector<MemoryTagRecord*> seen(8);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back(
            [&, i]
            {
                while (!go.load())
                    std::this_thread::yield();
                seen[i] = &Record("TagTest/Race/Same");
            });
    go = true;
    for (auto& t : threads)
        t.join();
    for (MemoryTagRecord* r : seen)
        EXPECT_EQ(r, seen[0]);
    uint32 copies = 0;
    for (uint32 i = 0; i < Tags().GetNumTags(); ++i)
        copies += std::string(Tags().GetTag(i)->name, Tags().GetTag(i)->length) == "TagTest/Race/Same";
    EXPECT_EQ(copies, 1u);
}

TEST(MemoryTags, EngineThreadsStartAtUnknownAndForeignThreadsAtThirdParty)
{
    uint16 engine = 0, foreign = 0;
    OnEngineThread([&] { engine = Tags().GetScope().m_handle.m_index; });
    std::thread([&] { foreign = Tags().GetScope().m_handle.m_index; }).join();
    EXPECT_EQ(engine, Tags().m_unknownTag.m_index);
    EXPECT_EQ(foreign, Tags().m_thirdPartyTag.m_index);
}

TEST(MemoryTags, TheStackHoldsFortySevenScopesAboveItsRootAndNeverClosesTheRoot)
{
    std::thread(
        [&]
        {
            MemoryTagSystem& tags = Tags();
            const uint16 tag = Record("TagTest/Deep").m_index;
            Morvex::Test::AssertRecorder asserts;
            for (int i = 0; i < 47; ++i)
                EXPECT_TRUE(tags.OpenScope(tag));
            EXPECT_EQ(asserts.Count(), 0u);
            EXPECT_FALSE(tags.OpenScope(Tags().m_unknownTag.m_index));
            EXPECT_TRUE(asserts.Saw("data->stackTop < ThreadData::kMaxTagsStackDepth"));
            EXPECT_EQ(tags.GetScope().m_handle.m_index, tag) << "the refused scope left the stack as it was";
            for (int i = 0; i < 47; ++i)
                tags.CloseScope();
            EXPECT_EQ(tags.GetScope().m_handle.m_index, tags.m_thirdPartyTag.m_index);
            asserts.Clear();
            tags.CloseScope();
            EXPECT_TRUE(asserts.Saw("data->stackTop > 1"));
            EXPECT_EQ(tags.GetScope().m_handle.m_index, tags.m_thirdPartyTag.m_index);
        })
        .join();
}

// A block is charged to the tag it was allocated under, whichever thread frees it and whatever scope
// is open then; a reallocation is one deallocation and one allocation.
TEST(MemoryTags, BlocksAreChargedToTheirAllocatingTag)
{
    MemoryTagRecord& tag = Record("TagTest/Charge");
    const uint32 allocs = tag.allocs, deallocs = tag.deallocs;
    void* block = nullptr;
    {
        MX_MEMORY_TAG_SCOPE("TagTest/Charge");
        block = Memory::Alloc(100);
    }
    MemoryTags::FlushThreadCharges();
    EXPECT_EQ(tag.used.load(), 100u);
    EXPECT_EQ(tag.allocs.load(), allocs + 1);
    OnEngineThread(
        [&]
        {
            MX_MEMORY_TAG_SCOPE("TagTest/Other");
            block = Memory::Realloc(block, 40); // shrinks in place
            MemoryTags::FlushThreadCharges();
            EXPECT_EQ(tag.used.load(), 40u);
            block = Memory::Realloc(block, 5000); // moves
            Memory::Free(block);
        });
    // Charged: the allocation, then the in-place realloc (one of each), then the free of the block
    // the move left. The moved copy and its free belong to the realloc's scope.
    MemoryTags::FlushThreadCharges();
    EXPECT_EQ(tag.used.load(), 0u);
    EXPECT_EQ(tag.allocs.load(), allocs + 2);
    EXPECT_EQ(tag.deallocs.load(), deallocs + 2);
    MemoryTagRecord& other = Record("TagTest/Other");
    EXPECT_EQ(other.used.load(), 0u);
    EXPECT_EQ(other.allocs.load(), 1u);
    EXPECT_EQ(other.deallocs.load(), 1u);
}

TEST(MemoryTags, OperatorNewOfZeroAndOverAlignedBlocks)
{
    char* a = new char[0];
    char* b = new char[0];
    EXPECT_NE(a, nullptr);
    EXPECT_NE(a, b);
    delete[] a;
    delete[] b;
    for (size_t alignment : {32u, 64u, 4096u})
    {
        void* p = ::operator new(100, std::align_val_t(alignment));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment;
        std::memset(p, 0xAB, 100);
        ::operator delete(p, std::align_val_t(alignment));
        void* q = Memory::Alloc(10, alignment);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % alignment, 0u) << alignment;
        q = Memory::Realloc(q, 20000);
        Memory::Free(q);
    }
}

// Stacks of threads that ended are reused: a thousand short-lived threads cost the early allocator
// nothing after the first few.
TEST(MemoryTags, StacksOfEndedThreadsAreReused)
{
    auto burst = []
    {
        for (int i = 0; i < 250; ++i)
        {
            std::thread(
                []
                {
                    MX_MEMORY_TAG_SCOPE("TagTest/Short");
                    delete new int(1);
                })
                .join();
        }
    };
    burst();
    const uint64 used = GroundZeroAllocator::GetUsed();
    burst();
    burst();
    EXPECT_EQ(GroundZeroAllocator::GetUsed(), used);
}

TEST(MemoryTags, ReportListsTagsByDecreasingUse)
{
    void* block;
    {
        MX_MEMORY_TAG_SCOPE("TagTest/Report");
        block = Memory::Alloc(1536);
    }
    Morvex::Test::CapturingSink log;
    Tags().LogReport();
    EXPECT_TRUE(log.Contains(Log::Info, "TAG                                        used  alloc dealloc"));
    char row[128];
    std::snprintf(row, sizeof(row), "%-40s %6s", "TagTest/Report", "1.50Kb");
    EXPECT_TRUE(log.Contains(Log::Info, row));
    Memory::Free(block);
}

// An application that leaks reports it at exit on standard error, with the count and the bytes in
// full; one that freed everything says nothing.
TEST(MemoryLeakCheck, ALeakIsReportedAtExitAndACleanRunSaysNothing)
{
    // The sanitizers' own leak check would end the probe first.
    const std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};
    // The same with the debug heap under the global heap.
    for (const char* heap : {"--default-heap", "--debug-heap"})
    {
        SCOPED_TRACE(heap);
        auto leaky = Morvex::Test::RunProcess({LEAK_PROBE_PATH, "100", heap}, "", env);
        EXPECT_EQ(leaky.exitCode, 0) << leaky.err;
        EXPECT_NE(leaky.err.find("Memory leaks detected. Count: 1, total size: 100 bytes"), std::string::npos)
            << leaky.err;
        auto clean = Morvex::Test::RunProcess({LEAK_PROBE_PATH, "0", heap}, "", env);
        EXPECT_EQ(clean.exitCode, 0) << clean.err;
        EXPECT_EQ(clean.err.find("Memory leaks"), std::string::npos) << clean.err;
    }
}

namespace
{
// Runs `argv` as a tracee of this process, as a debugger would: the child's TracerPid is ours.
// Returns its standard error; `traced` is false when the system does not allow tracing here.
std::string RunUnderTracer(const std::vector<std::string>& argv, bool& traced)
{
    traced = false;
    char path[] = "/tmp/leak-probe-XXXXXX";
    const int out = mkstemp(path);
    if (out < 0)
        return {};
    unlink(path);
    const pid_t pid = fork();
    if (pid == 0)
    {
        dup2(out, 2);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 1);
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(97);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        execv(args[0], args.data());
        _exit(98);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status))
    {
        // The stop at exec is the tracer's own; every other signal goes on to the child.
        const int sig = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
        ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(sig)));
    }
    traced = WIFEXITED(status) && WEXITSTATUS(status) != 97;
    std::string text;
    char buffer[4096];
    ssize_t n;
    lseek(out, 0, SEEK_SET);
    while ((n = read(out, buffer, sizeof(buffer))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(out);
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 97)) << text;
    return text;
}
} // namespace

// Under a debugger the leaks are listed block by block on the debugger's output, heap by heap,
// instead of the summary line: the global heap's engine blocks (not the cells waiting in thread
// caches) and the kernel heaps' live blocks when they are unregistered.
TEST(MemoryLeakCheck, UnderADebuggerEveryLeakedBlockIsListed)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer builds serve the heaps from the C heap, which has no walk";
#endif
    for (const char* heap : {"--default-heap", "--debug-heap"})
    {
        SCOPED_TRACE(heap);
        bool traced = false;
        const std::string err = RunUnderTracer({LEAK_PROBE_PATH, "100", heap, "--leak-string"}, traced);
        if (!traced)
            GTEST_SKIP() << "tracing is not allowed here";
        EXPECT_EQ(err.find("Memory leaks detected"), std::string::npos) << err;
        const size_t global = err.find("---------- GlobalHeap:");
        ASSERT_NE(global, std::string::npos) << err;
        const size_t lost = err.find("100 bytes lost, alloc number: ", global);
        ASSERT_NE(lost, std::string::npos) << err;
        const unsigned number = static_cast<unsigned>(std::strtoul(err.c_str() + lost + 30, nullptr, 10));
        // Only the debug heap numbers its blocks.
        EXPECT_EQ(number != 0, std::strcmp(heap, "--debug-heap") == 0) << err;
        EXPECT_NE(err.find(std::string(52, '-') + "\n", lost), std::string::npos) << err;
        // The 64-byte block freed by the probe is no leak, wherever it waits.
        EXPECT_EQ(err.find("\n64 bytes lost", global), std::string::npos) << err;
        const size_t strings = err.find("---------- Strings:");
        ASSERT_NE(strings, std::string::npos) << err;
        EXPECT_NE(
            err.find(std::strcmp(heap, "--debug-heap") == 0 ? "\n40 bytes lost" : "\n64 bytes lost", strings),
            std::string::npos)
            << err;
    }
}

// A block freed twice, and an address the heap never handed out, are reported and change nothing:
// later blocks of the same sizes are all distinct.
TEST(GlobalHeap, DoubleAndForeignFreesAreRefused)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own allocator reports these";
#endif
    for (size_t size : {24u, 3000u, 200000u})
    {
        SCOPED_TRACE(size);
        Morvex::Test::AssertRecorder asserts;
        void* p = Memory::Alloc(size);
        Memory::Free(p);
        Memory::Free(p);
        EXPECT_EQ(asserts.Count(), 1u) << "the second free";
        alignas(16) char foreign[64] = {};
        asserts.Clear();
        Memory::Free(foreign + 16);
        EXPECT_EQ(asserts.Count(), 1u) << "a block of no heap";
        std::vector<void*> blocks;
        for (int i = 0; i < 64; ++i)
            blocks.push_back(Memory::Alloc(size));
        std::sort(blocks.begin(), blocks.end());
        EXPECT_EQ(std::adjacent_find(blocks.begin(), blocks.end()), blocks.end())
            << "a block handed out twice";
        for (void* b : blocks)
            Memory::Free(b);
    }
}

// Blocks allocated on one thread and freed on another go back through the freeing thread's cache and
// the heap; the tags balance once both threads' charges are in.
TEST(GlobalHeap, BlocksCrossThreads)
{
    std::vector<void*> blocks;
    blocks.reserve(5000);
    {
        MX_MEMORY_TAG_SCOPE("TagTest/Cross");
        for (int i = 0; i < 5000; ++i)
            blocks.push_back(Memory::Alloc(16 + static_cast<size_t>(i % 3000)));
    }
    std::thread(
        [&]
        {
            for (void* b : blocks)
                Memory::Free(b);
        })
        .join();
    MemoryTags::FlushThreadCharges();
    MemoryTagRecord& tag = Record("TagTest/Cross");
    EXPECT_EQ(tag.used.load(), 0u);
    EXPECT_EQ(tag.allocs.load(), 5000u);
    EXPECT_EQ(tag.deallocs.load(), 5000u);
}
