// The event-loop network service: callables, timers, name resolution and sockets on a real loop.

#include "Net/Async/AsyncService.h"

#include "Core/CmdSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace Morvex::Test
{
using async::AsyncSocket;
using async::CancelableThis;
using async::TimerContext;

namespace
{
// Polls until pred holds; false after 20 seconds (a safety net, never a measure).
template <class Pred>
bool PollUntil(Pred pred)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        AsyncService::Poll(5);
    }
    return true;
}

// A connected TCP pair on 127.0.0.1: `local` is handed to the service, `peer` stays with the test.
struct TcpPair
{
    int local = -1;
    int peer = -1;
    uint16 localPort = 0;

    TcpPair()
    {
        int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The peer's receive buffer is pinned well below the writes that must stall, whatever the
        // system's defaults.
        int receive = 64 * 1024;
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &receive, sizeof(receive));
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        listen(listener, 1);
        socklen_t len = sizeof(addr);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        local = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A small send buffer, so that a peer that does not read stalls a large write soon.
        int small = 4096;
        setsockopt(local, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
        connect(local, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        sockaddr_in mine{};
        len = sizeof(mine);
        getsockname(local, reinterpret_cast<sockaddr*>(&mine), &len);
        localPort = ntohs(mine.sin_port);
    }
    ~TcpPair()
    {
        if (peer >= 0)
            close(peer);
    }
    // Reads from the peer on a thread of its own until `count` bytes or the end arrived, while this
    // thread polls the service (which writes only while it is polled).
    std::string ReadPeer(size_t count)
    {
        std::string out;
        std::atomic<bool> done{false};
        std::thread reader(
            [&]
            {
                char buf[65536];
                while (out.size() < count)
                {
                    pollfd p{peer, POLLIN, 0};
                    if (poll(&p, 1, 20000) <= 0)
                        break;
                    ssize_t n = read(peer, buf, sizeof(buf));
                    if (n <= 0)
                        break;
                    out.append(buf, static_cast<size_t>(n));
                }
                done = true;
            });
        while (!done)
            AsyncService::Poll(1);
        reader.join();
        return out;
    }
};

class AsyncServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        AsyncService::Init();
        ASSERT_TRUE(AsyncService::IsInitialized());
    }
    void TearDown() override
    {
        AsyncService::Shutdown();
        EXPECT_FALSE(AsyncService::IsInitialized());
        const AsyncService::Stats stats = AsyncService::GetStats();
        EXPECT_EQ(stats.liveTimers + stats.liveSockets + stats.liveResolves, 0u);
    }
};
} // namespace

TEST_F(AsyncServiceTest, PostedCallablesRunOnTheNextPollAndTheirPostsOnTheOneAfter)
{
    std::vector<std::string> order;
    AsyncService::Post(
        [&]
        {
            order.push_back("first");
            AsyncService::Post([&] { order.push_back("posted by first"); });
        });
    AsyncService::Post([&] { order.push_back("second"); });
    AsyncService::Post(nullptr);
    EXPECT_TRUE(order.empty());

    AsyncService::Poll(0);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second"}));
    AsyncService::Poll(0);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "posted by first"}));
    EXPECT_EQ(AsyncService::GetStats().postedCallables, 0u);
}

TEST_F(AsyncServiceTest, DelayedCallablesRunWhenDueAndAllAtShutdown)
{
    std::vector<std::string> ran;
    AsyncService::PostDelayed(0, [&] { ran.push_back("due"); });
    AsyncService::PostDelayed(3600 * 1000, [&] { ran.push_back("next hour"); });
    AsyncService::Poll(0);
    EXPECT_EQ(ran, std::vector<std::string>{"due"});
    EXPECT_EQ(AsyncService::GetStats().delayedCallables, 1u);

    // Shutdown runs what is left whatever its time, and what those post while it drains.
    AsyncService::Post([&] { AsyncService::Post([&] { ran.push_back("posted while draining"); }); });
    AsyncService::Shutdown();
    EXPECT_EQ(ran, (std::vector<std::string>{"due", "posted while draining", "next hour"}))
        << "posted ones first, then the delayed ones";
    AsyncService::Init();
}

TEST_F(AsyncServiceTest, OneShotTimerFiresOnceAndIsFreed)
{
    const AsyncService::Stats before = AsyncService::GetStats();
    int owner = 0;
    int calls = 0;
    void* seenOwner = nullptr;
    TimerContext* timer = AsyncService::SetTimer(
        &owner,
        [&](TimerContext* t)
        {
            ++calls;
            seenOwner = AsyncService::GetTimerOwner(t);
        },
        10, false);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(AsyncService::GetStats().liveTimers, before.liveTimers + 1);
    ASSERT_TRUE(PollUntil([&] { return AsyncService::GetStats().liveTimers == before.liveTimers; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seenOwner, &owner);
    AsyncService::Poll(30);
    EXPECT_EQ(calls, 1);
    const AsyncService::Stats after = AsyncService::GetStats();
    EXPECT_EQ(after.timersAllocated - before.timersAllocated, 1u);
    EXPECT_EQ(after.timersFreed - before.timersFreed, 1u);
}

// The callable that cancels its own repeating timer keeps running on intact captures.
TEST_F(AsyncServiceTest, RepeatingTimerCancelledFromItsOwnCallback)
{
    const std::string capture(200, 'x'); // on the heap: a destroyed callable would free it
    int calls = 0;
    std::string seenAfterCancel;
    TimerContext* timer = AsyncService::SetTimer(
        nullptr,
        [&, capture](TimerContext* self)
        {
            if (++calls == 3)
            {
                AsyncService::CancelTimer(self);
                seenAfterCancel = capture;
            }
        },
        10, true);
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(PollUntil([&] { return AsyncService::GetStats().liveTimers == 0; }));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(seenAfterCancel, capture);
}

TEST_F(AsyncServiceTest, RefusedTimers)
{
    struct Case
    {
        const char* name;
        bool withFn;
        int64 timeout;
        bool repeat;
        const char* assertion;
    };
    const Case cases[] = {
        {"no callable", false, 10, false, "!!fn"},
        {"negative", true, -1, false, "timeout >= 0"},
        {"repeating every 0 ms", true, 0, true, "timeout > 0"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        AssertRecorder asserts;
        AsyncService::TimerFn fn;
        if (c.withFn)
            fn = [](TimerContext*) {};
        EXPECT_EQ(AsyncService::SetTimer(nullptr, std::move(fn), c.timeout, c.repeat), nullptr);
        EXPECT_TRUE(asserts.Saw(c.assertion));
    }
    EXPECT_EQ(AsyncService::GetStats().liveTimers, 0u);

    // A timer cancelled twice is reported and left alone.
    TimerContext* timer = AsyncService::SetTimer(
        nullptr, [](TimerContext*) {}, 1000, false);
    ASSERT_NE(timer, nullptr);
    AsyncService::CancelTimer(timer);
    {
        AssertRecorder asserts;
        AsyncService::CancelTimer(timer);
        EXPECT_TRUE(asserts.Saw("!canceled"));
    }
    ASSERT_TRUE(PollUntil([] { return AsyncService::GetStats().liveTimers == 0; }));
}

TEST(AsyncServiceStopped, TimersAndResolutionsWithoutALoopAreRefused)
{
    ASSERT_FALSE(AsyncService::IsInitialized());
    CapturingSink sink;
    bool called = false;
    EXPECT_EQ(AsyncService::SetTimer(
                  nullptr, [&](TimerContext*) { called = true; }, 10, false),
              nullptr);
    EXPECT_TRUE(sink.Contains(Log::Error, "AsyncService::SetTimer: the service is not initialised"));
    AsyncService::AddressPromise p = AsyncService::DNSResolve("localhost");
    ASSERT_NE(p.GetResult(), nullptr);
    EXPECT_EQ(p.GetResult()->GetError(), ErrorCode::NETWORK);
    AsyncService::Poll(0);
    AsyncService::Poll(-10);
    AsyncService::Shutdown();
    EXPECT_FALSE(called);
}

TEST_F(AsyncServiceTest, NameResolution)
{
    struct Case
    {
        const char* text;
        ErrorCode error;
        const char* address; // with OK
        bool atOnce;
    };
    const Case cases[] = {
        {"", ErrorCode::INVALID_PARAMS, nullptr, true},
        {nullptr, ErrorCode::INVALID_PARAMS, nullptr, true},
        {":8080", ErrorCode::INVALID_PARAMS, nullptr, true},
        {"localhost:", ErrorCode::INVALID_PARAMS, nullptr, true},
        {"localhost:65536", ErrorCode::INVALID_PARAMS, nullptr, true},
        {"localhost:80x", ErrorCode::INVALID_PARAMS, nullptr, true},
        {"localhost:8080", ErrorCode::OK, "127.0.0.1:8080", false},
        {"localhost", ErrorCode::OK, "127.0.0.1:0", false},
        {"127.0.0.1:65535", ErrorCode::OK, "127.0.0.1:65535", false},
        {"no-such-host.invalid", ErrorCode::NETWORK, nullptr, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        AsyncService::AddressPromise p = AsyncService::DNSResolve(c.text);
        if (c.atOnce)
        {
            ASSERT_NE(p.GetResult(), nullptr);
        }
        ASSERT_TRUE(PollUntil([&] { return p.GetResult() != nullptr; }));
        const auto* result = p.GetResult();
        EXPECT_EQ(result->GetError(), c.error);
        if (c.address)
        {
            EXPECT_EQ(std::string(result->GetValue().ToString(true).c_str()), c.address);
        }
    }
    std::string longHost(257, 'a');
    EXPECT_EQ(AsyncService::DNSResolve(longHost.c_str()).GetResult()->GetError(), ErrorCode::INVALID_PARAMS);
}

// A resolution still pending at shutdown is cancelled or finished, and its future always settles.
TEST_F(AsyncServiceTest, ShutdownSettlesPendingResolutions)
{
    std::vector<AsyncService::AddressPromise> pending;
    for (int i = 0; i < 8; ++i)
        pending.push_back(AsyncService::DNSResolve("localhost:1"));
    AsyncService::Shutdown();
    for (const auto& p : pending)
    {
        ASSERT_NE(p.GetResult(), nullptr);
        EXPECT_TRUE(p.GetResult()->GetError() == ErrorCode::OK ||
                    p.GetResult()->GetError() == ErrorCode::NETWORK);
    }
    EXPECT_EQ(AsyncService::GetStats().liveResolves, 0u);
    AsyncService::Init();
}

TEST_F(AsyncServiceTest, DnsResolveCommand)
{
    CapturingSink sink;
    const char* const name[] = {"async_dnsResolve"};
    AsyncService::CmdDnsResolve(CmdArgs{1, name});
    EXPECT_TRUE(sink.Contains(Log::Console, "Usage: /async_dnsResolve <hostname>"));
    EXPECT_EQ(AsyncService::GetStats().liveResolves, 0u);

    const char* const argv[] = {"async_dnsResolve", "localhost:8080"};
    AsyncService::CmdDnsResolve(CmdArgs{2, argv});
    ASSERT_TRUE(PollUntil([&] { return sink.Contains("async_dnsResolve: localhost:8080: "); }));
    EXPECT_TRUE(sink.Contains(Log::Info, "async_dnsResolve: localhost:8080: 127.0.0.1:8080"));

    const char* const bad[] = {"async_dnsResolve", "localhost:x"};
    AsyncService::CmdDnsResolve(CmdArgs{2, bad});
    EXPECT_TRUE(sink.Contains(Log::Error, "async_dnsResolve: INVALID_PARAMS"));
}

TEST_F(AsyncServiceTest, SocketWritesReadsAndDescription)
{
    TcpPair pair;
    AsyncSocket* socket = AsyncService::OpenExternalSocket(pair.local, "test");
    ASSERT_NE(socket, nullptr);
    EXPECT_TRUE(socket->IsConnected());

    const std::string description = AsyncService::Describe(socket).c_str();
    EXPECT_TRUE(std::regex_match(description,
                                 std::regex("ASC@0x[0-9a-f]+\\[test,0x0,fd " + std::to_string(pair.local) +
                                            ",127\\.0\\.0\\.1:\\d+\\(external\\)\\]")))
        << description;
    {
        CapturingSink sink;
        AsyncService::CmdDumpSockets(CmdArgs{});
        EXPECT_TRUE(sink.Contains(Log::Info, "Dumping AsyncSocket's:"));
        EXPECT_TRUE(sink.Contains(Log::Info, description));
        AsyncService::DumpHandles();
        EXPECT_TRUE(sink.Contains(Log::Debug, "async::DumpHandles:"));
        EXPECT_TRUE(sink.Contains(Log::Info, "tcp      "));
        EXPECT_TRUE(sink.Contains(Log::Info, description));
    }

    // The caller's buffer goes at once: the write keeps its own copy.
    int status = 1;
    {
        std::string text = "hello over the loop";
        AsyncService::SocketWrite(socket, {static_cast<uint32>(text.size()), text.data()}, 5000,
                                  [&](AsyncSocket* s, int32 st)
                                  {
                                      EXPECT_EQ(s, socket);
                                      status = st;
                                  });
        text.assign(text.size(), '#');
    }
    EXPECT_EQ(pair.ReadPeer(19), "hello over the loop");
    ASSERT_TRUE(PollUntil([&] { return status != 1; }));
    EXPECT_EQ(status, 0);

    std::string received;
    int64 endStatus = 0;
    ASSERT_TRUE(AsyncService::SocketRead(socket,
                                         [&](AsyncSocket*, int64 n, const char* data)
                                         {
                                             if (n > 0)
                                                 received.append(data, static_cast<size_t>(n));
                                             else
                                                 endStatus = n;
                                         }));
    ASSERT_EQ(write(pair.peer, "ping", 4), 4);
    ASSERT_TRUE(PollUntil([&] { return received == "ping"; }));
    AsyncService::SocketStopRead(socket);
    ASSERT_EQ(write(pair.peer, "more", 4), 4);
    AsyncService::Poll(20);
    EXPECT_EQ(received, "ping") << "nothing is delivered after SocketStopRead";
    EXPECT_EQ(endStatus, 0);

    // The last reference shuts the stream down: the peer sees the end.
    AsyncSocket* second = socket;
    second->AddRef();
    AsyncService::FreeSocket(second);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(socket->IsConnected());
    AsyncService::FreeSocket(socket);
    EXPECT_EQ(socket, nullptr);
    EXPECT_EQ(pair.ReadPeer(1000), "");
    ASSERT_TRUE(PollUntil([] { return AsyncService::GetStats().liveSockets == 0; }));
}

// A write that times out stays in the system's hands: a second write must not overlap it, the late
// completion must not call anything, and the first write's bytes arrive unmixed.
TEST_F(AsyncServiceTest, WriteTimeoutThenSecondWriteNeverOverlaps)
{
    TcpPair pair;
    AsyncSocket* socket = AsyncService::OpenExternalSocket(pair.local, "stalled");
    ASSERT_NE(socket, nullptr);
    CapturingSink sink;

    const std::string big(1024 * 1024, 'a');
    std::vector<int32> firstCalls;
    AsyncService::SocketWrite(socket, {static_cast<uint32>(big.size()), big.data()}, 100,
                              [&](AsyncSocket*, int32 st) { firstCalls.push_back(st); });
    ASSERT_TRUE(PollUntil([&] { return !firstCalls.empty(); }));
    EXPECT_EQ(firstCalls, std::vector<int32>{async::kWriteTimeoutStatus});
    EXPECT_EQ(async::kWriteTimeoutStatus, -110) << "libuv's time-out on this system";
    EXPECT_TRUE(sink.Contains(Log::Error, "AsyncService::SocketWrite: write/timeout: error -110 ("));

    std::vector<int32> secondCalls;
    const std::string tail(1000, 'b');
    AsyncService::SocketWrite(socket, {static_cast<uint32>(tail.size()), tail.data()}, 0,
                              [&](AsyncSocket*, int32 st) { secondCalls.push_back(st); });
    ASSERT_TRUE(PollUntil([&] { return !secondCalls.empty(); }));
    EXPECT_EQ(secondCalls, std::vector<int32>{async::kWriteBusyStatus});

    // The peer reads everything: exactly the first write, which then completes without a call.
    // (A larger send buffer only speeds the drain up.)
    int large = 1 << 20;
    setsockopt(pair.local, SOL_SOCKET, SO_SNDBUF, &large, sizeof(large));
    const std::string got = pair.ReadPeer(big.size());
    EXPECT_EQ(got.size(), big.size());
    EXPECT_EQ(got.find('b'), std::string::npos);
    ASSERT_TRUE(PollUntil(
        [&] {
            return (AsyncService::Describe(socket).c_str() + std::string()).find(",0x0,") !=
                   std::string::npos;
        }));
    EXPECT_EQ(firstCalls.size(), 1u);
    EXPECT_EQ(secondCalls.size(), 1u);

    // Now a write goes through again.
    int32 third = 1;
    AsyncService::SocketWrite(socket, {4, "done"}, 5000, [&](AsyncSocket*, int32 st) { third = st; });
    EXPECT_EQ(pair.ReadPeer(4), "done");
    ASSERT_TRUE(PollUntil([&] { return third != 1; }));
    EXPECT_EQ(third, 0);
    AsyncService::FreeSocket(socket);
    ASSERT_TRUE(PollUntil([] { return AsyncService::GetStats().liveSockets == 0; }));
}

TEST_F(AsyncServiceTest, SocketMisuseIsReportedAndHarmless)
{
    TcpPair pair;
    AsyncSocket* socket = AsyncService::OpenExternalSocket(pair.local, "misuse");
    ASSERT_NE(socket, nullptr);
    int calls = 0;
    {
        AssertRecorder asserts;
        EXPECT_FALSE(AsyncService::SocketWrite(socket, {0, "x"}, 0, [&](AsyncSocket*, int32) { ++calls; }));
        EXPECT_TRUE(asserts.Saw("buff.buf && buff.len > 0"));
    }
    // One write at a time: the second, while the first is pending, is refused.
    const std::string big(1024 * 1024, 'a');
    AsyncService::SocketWrite(socket, {static_cast<uint32>(big.size()), big.data()}, 0,
                              [&](AsyncSocket*, int32) { ++calls; });
    {
        AssertRecorder asserts;
        AsyncService::SocketWrite(socket, {1, "x"}, 0, [&](AsyncSocket*, int32) { calls += 100; });
        EXPECT_TRUE(asserts.Saw("!as->m_context->m_writeFn"));
    }
    // Released with the write pending: closed at once, the pending write's callable is dropped.
    AsyncService::FreeSocket(socket);
    ASSERT_TRUE(PollUntil([] { return AsyncService::GetStats().liveSockets == 0; }));
    EXPECT_EQ(calls, 0);
}

TEST_F(AsyncServiceTest, ShutdownWithAnArmedOneShotTimerRunsItAndReportsTheCounts)
{
    bool fired = false;
    AsyncService::SetTimer(
        nullptr, [&](TimerContext*) { fired = true; }, 20, false);
    CapturingSink sink;
    AsyncService::Shutdown();
    EXPECT_TRUE(fired);
    EXPECT_TRUE(sink.Contains(Log::Debug, "AsyncService::Shutdown: ..."));
    EXPECT_TRUE(sink.Contains(Log::Debug, "freed/allocd: sockets: "));
    EXPECT_TRUE(sink.Contains(Log::Debug, "AsyncService::Shutdown: complete"));
    EXPECT_FALSE(sink.Contains("timeout! Stop the loop!"));
    AsyncService::Init();
}

// A repeating timer never cancelled keeps the loop alive: the watchdog stops it, the leak is
// reported, and the timer is still closed before the loop's memory goes.
TEST_F(AsyncServiceTest, ShutdownWatchdogStopsALoopThatWillNotDrain)
{
    int calls = 0;
    ASSERT_NE(AsyncService::SetTimer(
                  nullptr, [&](TimerContext*) { ++calls; }, 50, true),
              nullptr);
    CapturingSink sink;
    AssertRecorder asserts;
    AsyncService::Shutdown();
    EXPECT_TRUE(sink.Contains(Log::Error, "AsyncService::Shutdown: timeout! Stop the loop!"));
    EXPECT_TRUE(asserts.Saw("m_list.empty()"));
    EXPECT_GT(calls, 0);
    EXPECT_EQ(AsyncService::GetStats().liveTimers, 0u);
    AsyncService::Init();
}

TEST(CancelableThis, ContinuationsRunOnlyWhileTheObjectLives)
{
    int object = 0;
    int runs = 0;
    auto cancelable = std::make_unique<CancelableThis>();
    cancelable->Create(&object);
    auto early = cancelable->Bind([&](int add) { runs += add; });
    auto late = cancelable->Bind([&](int add) { runs += add; });
    CancelableThis copy(*cancelable);
    EXPECT_TRUE(copy.IsCopy());
    EXPECT_EQ(copy.Get(), &object);

    early(1);
    EXPECT_EQ(runs, 1);
    {
        AssertRecorder asserts;
        copy.Cancel(ErrorCode::GENERIC);
        EXPECT_TRUE(asserts.Saw("!IsCopy()"));
        cancelable->Create(&object);
        EXPECT_TRUE(asserts.Saw("!GetCtx()"));
    }
    cancelable->Cancel(ErrorCode::OPERATION_CANCELLED);
    cancelable.reset();
    late(10);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(copy.Get(), nullptr);
    EXPECT_EQ(copy.GetCancelCode(), ErrorCode::OPERATION_CANCELLED);

    CancelableThis never;
    AssertRecorder asserts;
    auto unbound = never.Bind([&] { ++runs; });
    EXPECT_TRUE(asserts.Saw("rv.GetCtx() != nullptr"));
    unbound();
    EXPECT_EQ(runs, 1);
}

TEST(ErrorCodeNames, TheServicesCodes)
{
    const std::pair<ErrorCode, const char*> cases[] = {
        {ErrorCode::GENERIC, "GENERIC"},
        {ErrorCode::INVALID_PARAMS, "INVALID_PARAMS"},
        {ErrorCode::OPERATION_CANCELLED, "OPERATION_CANCELLED"},
        {ErrorCode::PROMISE_BROKEN, "PROMISE_BROKEN"},
        {ErrorCode::CONTENT_UPDATE_WRITE_FILE_FAILED, "CONTENT_UPDATE_WRITE_FILE_FAILED"},
    };
    for (const auto& [code, name] : cases)
    {
        EXPECT_STREQ(ErrorCodeName(code), name);
        EXPECT_EQ(std::string(ErrorCodeQualifiedName(code)), std::string("ErrorCode::") + name);
    }
}
} // namespace Morvex::Test
