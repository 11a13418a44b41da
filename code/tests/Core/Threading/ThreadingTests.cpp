#include "Core/CmdSystem.h"
#include "Core/Threading/ThreadBase.h"
#include "Core/Threading/Threading.h"

#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
// A gate the test opens when it wants the thread under test to go on.
struct Gate
{
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;

    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        cv.notify_all();
    }
    void Pass()
    {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return open; });
    }
};

struct Probe
{
    Gate gate;
    std::atomic<int> runs{0};
    std::atomic<uint32> threadId{0};
    std::atomic<int> nice{0};
    std::atomic<bool> wasMainThread{true};
    ThreadInfo* info = nullptr;
    char osName[32] = {};
};

void ProbeEntry(void* p)
{
    auto* probe = static_cast<Probe*>(p);
    probe->threadId = Threading::GetCurrentThreadId();
    probe->info = Threading::GetCurrentThreadInfo();
    probe->wasMainThread = Threading::IsMainThread();
    errno = 0;
    probe->nice = getpriority(PRIO_PROCESS, 0);
    pthread_getname_np(pthread_self(), probe->osName, sizeof(probe->osName));
    probe->runs++;
    probe->gate.Pass();
}

ThreadInfo* FindRecord(const ThreadInfo* wanted)
{
    Threading::LockRegistry();
    ThreadInfo* found = nullptr;
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
    {
        if (info == wanted)
            found = info;
    }
    Threading::UnlockRegistry();
    return found;
}

std::string ExpectedRow(const ThreadInfo& info)
{
    char row[512];
    if (info.IsThirdParty())
        std::snprintf(row, sizeof(row), "%-16d  %-32s  %-8s  %-16s  %-7s  %-8s",
                      static_cast<int>(info.threadId), info.name, "N/A", "N/A", "Yes",
                      info.IsFinished() ? "Yes" : "No");
    else
        std::snprintf(row, sizeof(row), "%-16d  %-32s  %-8s  %-16llx  %-7s  %-8s",
                      static_cast<int>(info.threadId), info.name, Threading::GetPriorityName(info.priority),
                      static_cast<unsigned long long>(info.affinityMask), "No",
                      info.IsFinished() ? "Yes" : "No");
    return row;
}

std::vector<std::string> ListedLines()
{
    CapturingSink sink;
    Threading::ListThreads();
    std::vector<std::string> lines;
    for (const auto& line : sink.Lines())
    {
        EXPECT_EQ(line.level, Log::Info);
        lines.push_back(line.text);
    }
    return lines;
}

bool Listed(const std::vector<std::string>& lines, const std::string& row)
{
    for (const auto& line : lines)
    {
        if (line == row)
            return true;
    }
    return false;
}

class Worker : public ThreadBase
{
public:
    void Run() override
    {
        runs++;
        while (loop && !IsStopRequested())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sawStop = IsStopRequested();
        done = true;
    }
    std::atomic<int> runs{0};
    std::atomic<bool> loop{false};
    std::atomic<bool> sawStop{false};
    std::atomic<bool> done{false};
};
} // namespace

TEST(ThreadRegistry, MainThreadIsFirstAndNamed)
{
    Threading::LockRegistry();
    ThreadInfo* main = ThreadInfo::first;
    ASSERT_NE(main, nullptr);
    EXPECT_STREQ(main->name, "Main Thread");
    EXPECT_EQ(main->threadId, Threading::GetMainThreadId());
    EXPECT_EQ(main->threadId, static_cast<uint32>(getpid()));
    EXPECT_EQ(main->priority, ThreadPriority::Normal);
    EXPECT_EQ(main->affinityMask, Threading::kNoAffinity);
    EXPECT_TRUE(main->IsStarted());
    EXPECT_FALSE(main->IsThirdParty());
    EXPECT_FALSE(main->IsFinished());
    EXPECT_NE(main->threadHandle, nullptr);
    Threading::UnlockRegistry();

    EXPECT_EQ(Threading::GetCurrentThreadInfo(), main);
    EXPECT_TRUE(Threading::IsMainThread());
}

TEST(ThreadRegistry, StartedThreadRunsRegistersAndCanBeWaitedOnRepeatedly)
{
    Probe probe;
    ThreadHandle h = Threading::StartThread(0x20000, ThreadPriority::Normal, ProbeEntry, &probe, "Worker");
    ASSERT_NE(h, nullptr);
    probe.gate.Open();
    EXPECT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    EXPECT_EQ(probe.runs, 1);
    EXPECT_FALSE(probe.wasMainThread);
    EXPECT_STREQ(probe.osName, "Worker");

    ASSERT_NE(FindRecord(probe.info), nullptr);
    Threading::LockRegistry();
    EXPECT_EQ(probe.info->threadHandle, h);
    EXPECT_EQ(probe.info->threadId, probe.threadId.load());
    EXPECT_TRUE(probe.info->IsStarted());
    EXPECT_TRUE(probe.info->IsFinished());
    EXPECT_FALSE(probe.info->IsThirdParty());
    Threading::UnlockRegistry();

    // Waits on a thread that has ended return at once, however often and from wherever they come.
    EXPECT_TRUE(Threading::WaitForThreads(&h, 1, 0));
    EXPECT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    std::thread other([&] { EXPECT_TRUE(Threading::WaitForThreads(&h, 1, 0)); });
    other.join();
}

TEST(ThreadRegistry, ConcurrentWaitersAllSeeTheEnd)
{
    Probe probe;
    ThreadHandle h = Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &probe, "Waited");
    ASSERT_NE(h, nullptr);
    std::atomic<int> ended{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i)
    {
        // Two infinite and two limited waiters, so that a limited joiner giving up hands the join on.
        uint32 timeout = i % 2 ? Threading::kInfinite : 20000;
        waiters.emplace_back([&, timeout] { ended += Threading::WaitForThreads(&h, 1, timeout) ? 1 : 0; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    probe.gate.Open();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(ended, 4);
}

TEST(ThreadRegistry, WaitTimeOuts)
{
    Probe slow;
    Probe quick;
    ThreadHandle handles[2] = {
        Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &slow, "Slow"),
        Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &quick, "Quick"),
    };
    ASSERT_NE(handles[0], nullptr);
    ASSERT_NE(handles[1], nullptr);
    quick.gate.Open();
    // One handle still running: waiting for all of them times out, with or without a limit of 0.
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(Threading::WaitForThreads(handles, 2, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(50));
    EXPECT_FALSE(Threading::WaitForThreads(&handles[0], 1, 0));
    EXPECT_TRUE(Threading::WaitForThreads(&handles[1], 1, 10000));

    // A time-out that does not expire: the thread ends well inside it.
    std::thread opener(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            slow.gate.Open();
        });
    EXPECT_TRUE(Threading::WaitForThreads(handles, 2, 60000));
    opener.join();
    EXPECT_EQ(slow.runs, 1);
    EXPECT_EQ(quick.runs, 1);
}

TEST(ThreadRegistry, FailedWaitsReturnTrue)
{
    int notAThread = 0;
    ThreadHandle bogus = reinterpret_cast<ThreadHandle>(&notAThread);
    ThreadHandle none = nullptr;
    EXPECT_TRUE(Threading::WaitForThreads(&bogus, 1, 0));
    EXPECT_TRUE(Threading::WaitForThreads(&none, 1, Threading::kInfinite));
    EXPECT_TRUE(Threading::WaitForThreads(nullptr, 1, 0));
    EXPECT_TRUE(Threading::WaitForThreads(&bogus, 0, 0));

    // A known handle beside an unknown one fails the whole wait at once, without waiting.
    Probe probe;
    ThreadHandle mixed[2] = {Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &probe, "Mixed"),
                             bogus};
    EXPECT_TRUE(Threading::WaitForThreads(mixed, 2, Threading::kInfinite));
    probe.gate.Open();
    EXPECT_TRUE(Threading::WaitForThreads(mixed, 1, Threading::kInfinite));

    // The main thread waiting for itself cannot succeed; it must not hang either.
    Threading::LockRegistry();
    ThreadHandle self = ThreadInfo::first->threadHandle;
    Threading::UnlockRegistry();
    EXPECT_TRUE(Threading::WaitForThreads(&self, 1, Threading::kInfinite));
}

TEST(ThreadRegistry, NamesAreCutForTheRegistryAndTheOs)
{
    struct Case
    {
        std::string name;
        std::string stored; // registry and listing: 31 bytes
        std::string os;     // kernel: 15 bytes
    };
    const std::string k40 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
    // "é" is two bytes: placed across byte 31 (and byte 15) it must not be split.
    const std::string accent = std::string(30, 'x') + "\xC3\xA9" + "yz";
    const std::string accentOs = std::string(14, 'o') + "\xC3\xA9";
    const Case cases[] = {
        {"Short", "Short", "Short"},
        {"", "", ""},
        {k40.substr(0, 31), k40.substr(0, 31), k40.substr(0, 15)},
        {k40, k40.substr(0, 31), k40.substr(0, 15)},
        {accent, std::string(30, 'x'), std::string(15, 'x')},
        {accentOs, accentOs, std::string(14, 'o')},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Probe probe;
        ThreadHandle h =
            Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &probe, c.name.c_str());
        ASSERT_NE(h, nullptr);
        probe.gate.Open();
        ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
        EXPECT_EQ(std::string(probe.info->name), c.stored);
        if (!c.os.empty())
        {
            EXPECT_EQ(std::string(probe.osName), c.os);
        }
        EXPECT_TRUE(Listed(ListedLines(), ExpectedRow(*probe.info)));
    }

    Worker worker;
    worker.SetName(k40.c_str());
    EXPECT_EQ(std::string(worker.GetName()), k40.substr(0, 31));
    worker.SetName(nullptr);
    EXPECT_STREQ(worker.GetName(), "");
}

TEST(ThreadRegistry, PriorityMapsToNiceValue)
{
    errno = 0;
    int base = getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(errno, 0);

    Probe low;
    ThreadHandle h = Threading::StartThread(0x20000, ThreadPriority::Low, ProbeEntry, &low, "LowPrio");
    ASSERT_NE(h, nullptr);
    low.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    EXPECT_EQ(low.nice, base < 19 ? base + 1 : 19);
    EXPECT_EQ(low.info->priority, ThreadPriority::Low);

    // Raising needs privileges: either it works, or the refusal is logged and the thread still runs.
    CapturingSink sink;
    Probe high;
    h = Threading::StartThread(0, ThreadPriority::High, ProbeEntry, &high, "HighPrio");
    ASSERT_NE(h, nullptr);
    high.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    EXPECT_EQ(high.runs, 1);
    if (high.nice != base - 1)
    {
        EXPECT_TRUE(sink.Contains(Log::Error, "SetThreadPriority() failed for 'HighPrio': "));
    }
    else
    {
        EXPECT_EQ(sink.CountContaining("SetThreadPriority()"), 0u);
    }
}

TEST(ThreadRegistry, AffinityIsAppliedListedAndFailuresLogged)
{
    struct AffinityProbe
    {
        Gate gate;
        cpu_set_t set;
    };
    auto entry = [](void* p)
    {
        auto* probe = static_cast<AffinityProbe*>(p);
        CPU_ZERO(&probe->set);
        pthread_getaffinity_np(pthread_self(), sizeof(probe->set), &probe->set);
        probe->gate.Pass();
    };

    AffinityProbe pinned;
    ThreadHandle h = Threading::StartThread(0, ThreadPriority::Normal, entry, &pinned, "Pinned", 1);
    ASSERT_NE(h, nullptr);
    std::vector<std::string> lines = ListedLines();
    pinned.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    EXPECT_EQ(CPU_COUNT(&pinned.set), 1);
    EXPECT_TRUE(CPU_ISSET(0, &pinned.set));
    bool found = false;
    for (const auto& line : lines)
        found = found || (line.find("Pinned") != std::string::npos &&
                          line.find("  1                ") != std::string::npos);
    EXPECT_TRUE(found);

    // No CPU of this machine in the mask: the OS refuses, the thread runs with its default set.
    if (sysconf(_SC_NPROCESSORS_CONF) < 64)
    {
        CapturingSink sink;
        AffinityProbe refused;
        h = Threading::StartThread(0, ThreadPriority::Normal, entry, &refused, "Refused", uint64(1) << 63);
        ASSERT_NE(h, nullptr);
        refused.gate.Open();
        ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
        EXPECT_TRUE(sink.Contains(Log::Error, "SetThreadAffinityMask() failed for 'Refused': 22"));
        EXPECT_GE(CPU_COUNT(&refused.set), 1);
    }
}

TEST(ThreadRegistry, ForeignThreadRegistersLazilyAndVanishesOnExit)
{
    ThreadInfo* foreign = nullptr;
    uint32 tid = 0;
    Gate listed;
    Gate registered;
    std::thread t(
        [&]
        {
            foreign = Threading::GetCurrentThreadInfo();
            tid = Threading::GetCurrentThreadId();
            EXPECT_EQ(Threading::GetCurrentThreadInfo(), foreign);
            EXPECT_FALSE(Threading::IsMainThread());
            registered.Open();
            listed.Pass();
        });
    registered.Pass();
    ASSERT_NE(foreign, nullptr);
    EXPECT_STREQ(foreign->name, "Not registered");
    EXPECT_TRUE(foreign->IsThirdParty());
    EXPECT_TRUE(foreign->IsStarted());
    EXPECT_EQ(foreign->threadHandle, nullptr);
    EXPECT_EQ(foreign->threadId, tid);
    std::vector<std::string> lines = ListedLines();
    EXPECT_TRUE(Listed(lines, ExpectedRow(*foreign)));
    char expected[128];
    std::snprintf(expected, sizeof(expected), "%-16d  %-32s  N/A       N/A               Yes      No      ",
                  static_cast<int>(tid), "Not registered");
    EXPECT_TRUE(Listed(lines, expected));
    listed.Open();
    t.join();

    // Gone from the list, its record recycled for the next foreign thread.
    EXPECT_EQ(FindRecord(foreign), nullptr);
    ThreadInfo* next = nullptr;
    std::thread again([&] { next = Threading::GetCurrentThreadInfo(); });
    again.join();
    EXPECT_EQ(next, foreign);
    EXPECT_EQ(FindRecord(next), nullptr);
}

TEST(ThreadRegistry, DeadRecordWithReusedIdIsNotHandedToANewThread)
{
    Probe probe;
    ThreadHandle h = Threading::StartThread(0, ThreadPriority::Normal, ProbeEntry, &probe, "Dead");
    ASSERT_NE(h, nullptr);
    probe.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    ThreadInfo* dead = probe.info;
    uint32 deadId = dead->threadId;

    Threading::LockRegistry();
    EXPECT_EQ(Threading::FindThreadInfoByThreadId(deadId), nullptr);
    EXPECT_EQ(Threading::FindThreadInfoByThreadId(Threading::GetMainThreadId()), ThreadInfo::first);
    Threading::UnlockRegistry();

    // The kernel reuses thread ids. Give the finished record the id of a live foreign thread, as
    // reuse would: the foreign thread must get a record of its own, not the dead thread's.
    ThreadInfo* got = nullptr;
    Gate retagged;
    std::thread t(
        [&]
        {
            Threading::LockRegistry();
            dead->threadId = Threading::GetCurrentThreadId();
            Threading::UnlockRegistry();
            retagged.Open();
            got = Threading::GetCurrentThreadInfo();
        });
    retagged.Pass();
    t.join();
    EXPECT_NE(got, dead);
    EXPECT_TRUE(dead->IsFinished());
    EXPECT_FALSE(dead->IsThirdParty());
    Threading::LockRegistry();
    dead->threadId = deadId;
    Threading::UnlockRegistry();
}

TEST(ThreadRegistry, EngineCodeInALaterThreadDestructorFindsItsOwnRecord)
{
    struct Late
    {
        pthread_key_t key;
        ThreadInfo* before = nullptr;
        std::atomic<ThreadInfo*> after{nullptr};
    } late;
    // A key created now is destroyed after the registry's own exit hook on the same thread.
    ASSERT_EQ(pthread_key_create(&late.key, [](void* p)
                                 { static_cast<Late*>(p)->after = Threading::GetCurrentThreadInfo(); }),
              0);
    auto entry = [](void* p)
    {
        auto* l = static_cast<Late*>(p);
        l->before = Threading::GetCurrentThreadInfo();
        pthread_setspecific(l->key, l);
    };
    ThreadHandle h = Threading::StartThread(0, ThreadPriority::Normal, entry, &late, "LateExit");
    ASSERT_TRUE(Threading::WaitForThreads(&h, 1, Threading::kInfinite));
    EXPECT_NE(late.before, nullptr);
    EXPECT_EQ(late.after.load(), late.before);
    EXPECT_TRUE(late.before->IsFinished());
    pthread_key_delete(late.key);
}

TEST(ThreadRegistry, ListingFormat)
{
    Probe running;
    Probe finished;
    ThreadHandle hRunning =
        Threading::StartThread(0, ThreadPriority::Low, ProbeEntry, &running, "Listed running");
    ThreadHandle hFinished =
        Threading::StartThread(0, ThreadPriority::High, ProbeEntry, &finished, "Listed finished");
    ASSERT_NE(hRunning, nullptr);
    ASSERT_NE(hFinished, nullptr);
    finished.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&hFinished, 1, Threading::kInfinite));
    while (running.runs == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::vector<std::string> lines = ListedLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(
        lines[0],
        "Thread ID         Name                              Priority  Affinity          3dparty  Finished");
    EXPECT_EQ(lines[1], std::string(97, '-'));
    char mainRow[256];
    std::snprintf(mainRow, sizeof(mainRow), "%-16d  %-32s  %-8s  %-16s  %-7s  %-8s",
                  static_cast<int>(Threading::GetMainThreadId()), "Main Thread", "Normal", "ffffffffffffffff",
                  "No", "No");
    EXPECT_EQ(lines[2], mainRow);

    // One row per record, in registry order.
    std::vector<std::string> expected;
    Threading::LockRegistry();
    for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
        expected.push_back(ExpectedRow(*info));
    Threading::UnlockRegistry();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), expected);
    EXPECT_TRUE(Listed(lines, ExpectedRow(*running.info)));
    EXPECT_NE(ExpectedRow(*finished.info).find("  High      ffffffffffffffff  No       Yes     "),
              std::string::npos);
    EXPECT_NE(ExpectedRow(*running.info).find("  Low       ffffffffffffffff  No       No      "),
              std::string::npos);

    running.gate.Open();
    ASSERT_TRUE(Threading::WaitForThreads(&hRunning, 1, Threading::kInfinite));
}

TEST(ThreadBaseTest, StartJoinStopAndRestart)
{
    Worker worker;
    worker.SetName("Sender");
    EXPECT_FALSE(worker.IsValid());
    worker.Stop(); // never started: nothing happens
    worker.Join();

    ASSERT_TRUE(worker.Start(0x20000, ThreadPriority::Low));
    EXPECT_TRUE(worker.IsValid());
    worker.Join();
    EXPECT_FALSE(worker.IsValid());
    EXPECT_EQ(worker.runs, 1);
    EXPECT_FALSE(worker.sawStop);

    // A looping Run ends when stopped; the object can be started again afterwards.
    worker.loop = true;
    ASSERT_TRUE(worker.Start(0x20000, ThreadPriority::Normal));
    worker.Stop();
    EXPECT_FALSE(worker.IsValid());
    EXPECT_EQ(worker.runs, 2);
    EXPECT_TRUE(worker.sawStop);

    // Start clears an earlier stop request.
    worker.loop = false;
    ASSERT_TRUE(worker.Start(0, ThreadPriority::Normal));
    worker.Join();
    EXPECT_FALSE(worker.sawStop);
    EXPECT_EQ(worker.runs, 3);
}

TEST(ThreadBaseTest, MisuseIsAssertedAndSafe)
{
    AssertRecorder recorder;
    {
        Worker worker;
        worker.loop = true;
        ASSERT_TRUE(worker.Start(0, ThreadPriority::Normal));
        EXPECT_FALSE(worker.Start(0, ThreadPriority::Normal));
        EXPECT_TRUE(recorder.Saw("!m_threadHandle"));
        EXPECT_EQ(recorder.Count(), 1u);
        worker.Stop();
        EXPECT_EQ(worker.runs, 1);
    }
    EXPECT_EQ(recorder.Count(), 1u);

    // Destroyed while its thread is still known: asserted, and the thread is joined before the
    // memory goes (Run has returned, so nothing of the derived object is used any more).
    auto* worker = new Worker;
    ASSERT_TRUE(worker->Start(0, ThreadPriority::Normal));
    while (!worker->done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ThreadHandle h = worker->GetHandle();
    delete worker;
    EXPECT_TRUE(recorder.Saw("m_threadHandle == 0"));
    EXPECT_TRUE(Threading::WaitForThreads(&h, 1, 0));
}

TEST(ThreadRegistry, ListingIsTheConsoleCommand)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    std::vector<std::string> direct = ListedLines();
    CapturingSink sink;
    // Command names compare case-insensitively.
    CmdSystem::AddText("core.listthreads\n");
    CmdSystem::Execute();
    std::vector<std::string> viaCommand;
    for (const auto& line : sink.Lines())
        viaCommand.push_back(line.text);
    EXPECT_EQ(viaCommand, direct);
    CmdSystem::Shutdown();
}

TEST(ThreadRegistry, SecondInitIsAssertedAndKeepsOneMainRecord)
{
    AssertRecorder recorder;
    Threading::LockRegistry();
    ThreadInfo* main = ThreadInfo::first;
    Threading::UnlockRegistry();
    auto count = []
    {
        Threading::LockRegistry();
        size_t n = 0;
        for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
            ++n;
        Threading::UnlockRegistry();
        return n;
    };
    size_t before = count();

    Threading::Init("Again");
    EXPECT_TRUE(recorder.Saw("ThreadInfo::first == pThreadInfo"));
    EXPECT_TRUE(recorder.Saw("GTLSThreadInfo == nullptr"));
    EXPECT_EQ(count(), before);
    EXPECT_EQ(Threading::GetCurrentThreadInfo(), main);
    EXPECT_STREQ(main->name, "Again");
    EXPECT_TRUE(Threading::IsMainThread());

    // The main thread's handle still works: another thread's wait on it does not return early.
    Threading::LockRegistry();
    ThreadHandle mainHandle = main->threadHandle;
    Threading::UnlockRegistry();
    bool waited = true;
    std::thread t([&] { waited = Threading::WaitForThreads(&mainHandle, 1, 20); });
    t.join();
    EXPECT_FALSE(waited);

    Threading::Init("Main Thread");
    EXPECT_STREQ(main->name, "Main Thread");
    EXPECT_EQ(count(), before);
}

TEST(ThreadRegistry, FailedThreadCreationIsAssertedAndLeavesNoRecord)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' shadow memory does not live under an address-space limit";
#else
    auto count = []
    {
        Threading::LockRegistry();
        size_t n = 0;
        for (ThreadInfo* info = ThreadInfo::first; info; info = info->next)
            ++n;
        Threading::UnlockRegistry();
        return n;
    };
    size_t before = count();
    // An address-space limit far below the stack asked for makes the thread creation fail for real.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &old), 0);
    struct rlimit limited = old;
    limited.rlim_cur = 3ull << 30;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    Probe probe;
    ThreadHandle h;
    {
        AssertRecorder recorder;
        h = Threading::StartThread(0xFFFF0000u, ThreadPriority::Low, ProbeEntry, &probe, "Too big");
        setrlimit(RLIMIT_AS, &old);
        ASSERT_EQ(recorder.Count(), 1u);
        EXPECT_EQ(recorder.Records()[0].expression, "hThread");
        EXPECT_EQ(recorder.Records()[0].message.rfind("CreateThread() failed: ", 0), 0u)
            << recorder.Records()[0].message;
    }
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(count(), before);
    EXPECT_EQ(probe.runs, 0);

    // A ThreadBase whose start failed stays stopped: Join and Stop skip the wait.
    class Idle : public ThreadBase
    {
    public:
        void Run() override {}
    } idle;
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limited), 0);
    bool started;
    {
        AssertRecorder recorder;
        started = idle.Start(0xFFFF0000u, ThreadPriority::Normal);
    }
    setrlimit(RLIMIT_AS, &old);
    EXPECT_FALSE(started);
    EXPECT_FALSE(idle.IsValid());
    idle.Join();
    idle.Stop();
#endif
}
