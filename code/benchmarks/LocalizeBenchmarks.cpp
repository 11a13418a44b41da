// Cost of loading a string table and of the three kinds of lookup: a hit, an English fallback and a
// miss that returns a key copy.

#include "Core/Kernel.h"
#include "Core/Utils/Localize.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

using namespace Morvex;

namespace
{
constexpr uint32 kRussian = 5;

std::string MakeTable(int keys)
{
    std::string text;
    for (int i = 0; i < keys; ++i)
        text += "\"KEY_" + std::to_string(i) + "\" \"Value number " + std::to_string(i) +
                " with \\\"quotes\\\"\"\r\n";
    return text;
}

std::vector<std::string> MakeKeys(int keys, const char* prefix)
{
    std::vector<std::string> out;
    for (int i = 0; i < keys; ++i)
        out.push_back(prefix + std::to_string(i));
    return out;
}

void BM_LoadTable(benchmark::State& state)
{
    const std::string text = MakeTable(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        Localize::LoadText(kEnglish, "bench.txt", StrView(text.data(), static_cast<uint32>(text.size())));
        state.PauseTiming();
        Localize::Shutdown();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadTable)->Arg(100)->Arg(10000);

template <uint32 Language, bool Missing>
void BM_GetString(benchmark::State& state)
{
    Localize::Shutdown();
    const std::string text = MakeTable(10000);
    Localize::LoadText(kEnglish, "bench.txt", StrView(text.data(), static_cast<uint32>(text.size())));
    const std::vector<std::string> keys = MakeKeys(10000, Missing ? "NOT_THERE_" : "KEY_");
    std::vector<StrView> views;
    for (const std::string& k : keys)
        views.emplace_back(k.data(), static_cast<uint32>(k.size()));
    size_t i = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(Localize::GetString(views[i], Language));
        i = (i + 1) % views.size();
    }
    state.SetItemsProcessed(state.iterations());
    Localize::Shutdown();
}
BENCHMARK(BM_GetString<kEnglish, false>)->Name("BM_GetString/hit");
BENCHMARK(BM_GetString<kRussian, false>)->Name("BM_GetString/englishFallback");
BENCHMARK(BM_GetString<kEnglish, true>)->Name("BM_GetString/keyCopy");
} // namespace

BENCHMARK_MAIN();
