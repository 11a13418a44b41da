// One zone (enter + leave) with the profiler off and on, and the send thread's throughput towards a
// viewer on the loopback interface.

#include "Core/Kernel.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Profiler/ProfilerConnection.h"
#include "ProfilerCore.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Morvex;

namespace
{
void BM_ZoneOff(benchmark::State& state)
{
    for (auto _ : state)
    {
        MX_PROFILE_ZONE("Bench::Off");
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ZoneOff);

// What the two time-stamp reads of a zone cost by themselves on this machine.
void BM_TwoTimestamps(benchmark::State& state)
{
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(Profiler::Core::ReadTimestamp());
        benchmark::DoNotOptimize(Profiler::Core::ReadTimestamp());
    }
}
BENCHMARK(BM_TwoTimestamps);

// The producer's cost alone: the benchmark empties its own ring now and then, as the send thread
// would, so that no zone is dropped.
void BM_ZoneOn(benchmark::State& state)
{
    Profiler::Core::SetRecording(true);
    {
        MX_PROFILE_ZONE("Bench::Warm");
    }
    Profiler::ThreadRecord* record = Profiler::Core::GetThreadRecord();
    uint32 n = 0;
    for (auto _ : state)
    {
        {
            MX_PROFILE_ZONE("Bench::On");
            benchmark::ClobberMemory();
        }
        if ((++n & 0x3FFF) == 0)
            record->released.store(record->published.load());
    }
    Profiler::Core::SetRecording(false);
    record->released.store(record->published.load());
    state.counters["dropped"] = double(record->dropped.load());
}
BENCHMARK(BM_ZoneOn);

// Events per second from a producer through the send thread to a viewer that reads and discards.
void BM_SendThroughput(benchmark::State& state)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
    std::atomic<uint64_t> received{0};
    std::thread viewer(
        [listener, &received]
        {
            int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            char buffer[1 << 16];
            ssize_t n;
            while ((n = recv(s, buffer, sizeof(buffer), 0)) > 0)
                received += uint64_t(n);
            close(s);
        });
    sem_t* announce = sem_open("/MorvexProfilerStarted", O_CREAT, 0644, 0);
    if (announce != SEM_FAILED)
        sem_close(announce);
    Profiler::SetTarget("127.0.0.1", ntohs(a.sin_port));
    Profiler::Activate(true);
    {
        MX_PROFILE_ZONE("Bench::Warm");
    }
    Profiler::ThreadRecord* record = Profiler::Core::GetThreadRecord();
    const uint32 batch = uint32(state.range(0));
    uint64 events = 0;
    for (auto _ : state)
    {
        for (uint32 i = 0; i < batch; ++i)
        {
            MX_PROFILE_ZONE("Bench::Sent");
        }
        events += 2 * batch;
        // Done when the send thread has taken everything.
        while (record->released.load() != record->published.load())
            std::this_thread::yield();
    }
    Profiler::Activate(false);
    viewer.join();
    close(listener);
    state.SetItemsProcessed(int64_t(events));
    state.counters["bytes/event"] = events ? double(received.load()) / double(events) : 0;
    state.counters["dropped"] = double(record->dropped.load());
}
BENCHMARK(BM_SendThroughput)->Arg(16384)->UseRealTime()->Unit(benchmark::kMillisecond);
} // namespace

int main(int argc, char** argv)
{
    // The kernel registers this thread as the main thread, which activation requires.
    Kernel::EnsureConstructed();
    Profiler::Init(Profiler::StartOptions{});
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
