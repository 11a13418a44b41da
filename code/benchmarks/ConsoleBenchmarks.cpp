// Throughput of the command system: whole scripts through the buffer, name lookups, and the
// buffer's own insert and remove.

#include "Core/CVar.h"
#include "Core/CmdStringList.h"
#include "Core/CmdSystem.h"
#include "Core/Kernel.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

using namespace Morvex;

namespace
{
CVar bench_int(CVarType::Int, "bench_int", 0, "3", "");
CVar bench_url(CVarType::String, "bench_url", 0, "http://localhost:55080/submit", "");
CVar bench_float(CVarType::Float, "bench_float", 0, "0.5", "");

void EnsureInit()
{
    Kernel::EnsureConstructed();
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
}

// A configuration-like script: sets, quoted URLs, comments and substitutions, `lines` lines long.
std::string MakeScript(int lines)
{
    std::string script;
    for (int i = 0; i < lines; ++i)
    {
        script += "set bench_int " + std::to_string(i) +
                  "; set bench_url \"http://localhost:" + std::to_string(i) + "/submit\" // note\n";
        script += "set bench_float $(bench_int) # copied\n";
    }
    return script;
}

void BM_ExecuteScript(benchmark::State& state)
{
    EnsureInit();
    std::string script = MakeScript(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        CmdSystem::AddText(script.data(), static_cast<uint32>(script.size()));
        CmdSystem::Execute();
    }
    // Three commands per line pair.
    state.SetItemsProcessed(state.iterations() * state.range(0) * 3);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(script.size()));
}
BENCHMARK(BM_ExecuteScript)->Arg(100)->Arg(10000);

void BM_FindVarIgnoringCase(benchmark::State& state)
{
    EnsureInit();
    const char* names[] = {"bench_int", "BENCH_URL", "Bench_Float", "no_such_variable"};
    uint32 i = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(CVar::FindVar(names[i++ & 3]));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FindVarIgnoringCase);

void BM_BufferPushAndConsume(benchmark::State& state)
{
    auto list = std::make_unique<CmdStringList>();
    std::string text(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state)
    {
        for (int i = 0; i < 256; ++i)
            list->PushBack(text.data(), static_cast<uint32>(text.size()));
        while (!list->IsEmpty())
            list->PopFront();
    }
    state.SetItemsProcessed(state.iterations() * 256);
}
// Slots hold up to 128 characters; longer texts go to the heap.
BENCHMARK(BM_BufferPushAndConsume)->Arg(64)->Arg(512);
} // namespace

BENCHMARK_MAIN();
