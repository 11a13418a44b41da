// Throughput of interning, copying and dictionary building, beside the standard containers doing
// the same work.

#include "Core/Containers/Dict.h"
#include "Core/Kernel.h"
#include "Core/SharedString.h"

#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

using namespace Morvex;

namespace
{
std::vector<std::string> MakeKeys(int n, const std::string& prefix)
{
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i)
        keys.push_back(prefix + std::to_string(i));
    return keys;
}

// Interning a text that is already live: hash, one chain walk under one stripe, one increment.
void BM_InternLive(benchmark::State& state)
{
    static const std::vector<std::string> keys = MakeKeys(1024, "bench-live-");
    static const std::vector<SharedString> held = []
    {
        std::vector<SharedString> v;
        for (const std::string& k : keys)
            v.emplace_back(StrView(k.c_str()));
        return v;
    }();
    benchmark::DoNotOptimize(held.data());
    size_t i = static_cast<size_t>(state.thread_index()) * 97;
    for (auto _ : state)
    {
        SharedString s(StrView(keys[i++ & 1023].c_str()));
        benchmark::DoNotOptimize(s.GetEntry());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternLive)->Threads(1)->Threads(2)->Threads(4);

// Interning, releasing and interning again: the dead entry is revived in place.
void BM_InternRevive(benchmark::State& state)
{
    const std::vector<std::string> keys =
        MakeKeys(1024, "bench-revive-" + std::to_string(state.thread_index()) + "-");
    size_t i = 0;
    for (auto _ : state)
    {
        SharedString s(StrView(keys[i++ & 1023].c_str()));
        benchmark::DoNotOptimize(s.GetEntry());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InternRevive)->Threads(1)->Threads(4);

void BM_CopyRelease(benchmark::State& state)
{
    SharedString s("bench-copy");
    for (auto _ : state)
    {
        SharedString copy(s);
        benchmark::DoNotOptimize(copy.GetEntry());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyRelease)->Threads(1)->Threads(4);

void BM_StdStringCopy(benchmark::State& state)
{
    const std::string s = "bench-copy-of-a-text-longer-than-the-inline-buffer";
    for (auto _ : state)
    {
        std::string copy(s);
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdStringCopy);

// Building a dictionary of n integer entries from keys already interned, then dropping it.
void BM_DictBuild(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<std::string> keys = MakeKeys(n, "bench-key-");
    std::vector<SharedString> held;
    for (const std::string& k : keys)
        held.emplace_back(StrView(k.c_str()));
    for (auto _ : state)
    {
        Dict d;
        for (int i = 0; i < n; ++i)
            d.Set(StrView(keys[i].c_str(), static_cast<uint32>(keys[i].size())), i);
        benchmark::DoNotOptimize(d.Size());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DictBuild)->Arg(5)->Arg(33)->Arg(1000);

void BM_StdMapBuild(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<std::string> keys = MakeKeys(n, "bench-key-");
    for (auto _ : state)
    {
        std::unordered_map<std::string, int> m;
        for (int i = 0; i < n; ++i)
            m[keys[i]] = i;
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_StdMapBuild)->Arg(5)->Arg(33)->Arg(1000);

// Looking keys up by text: linear up to 32 entries, through the hash table above.
void BM_DictFind(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    const std::vector<std::string> keys = MakeKeys(n, "bench-key-");
    Dict d;
    for (int i = 0; i < n; ++i)
        d.Set(StrView(keys[i].c_str()), i);
    int i = 0;
    for (auto _ : state)
    {
        const std::string& k = keys[i];
        benchmark::DoNotOptimize(d.Find(StrView(k.data(), static_cast<uint32>(k.size()))));
        if (++i == n)
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DictFind)->Arg(5)->Arg(32)->Arg(33)->Arg(1000);
} // namespace

int main(int argc, char** argv)
{
    Kernel::EnsureConstructed();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
