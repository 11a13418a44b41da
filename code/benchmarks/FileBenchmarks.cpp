// Throughput of the buffered file against unbuffered writes, and of whole-file reads.

#include "Core/IO/FileSystem.h"
#include "Core/Kernel.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

using namespace Morvex;

namespace
{
std::string ScratchPath(const char* name)
{
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/morvex-bench-" + std::to_string(getpid()) + "-" + name;
}

// Log-line sized writes (arg: line length) through a File with the given buffer size.
void WriteLines(benchmark::State& state, uint32 bufferSize)
{
    const std::string path = ScratchPath("lines");
    const std::string line(static_cast<size_t>(state.range(0)), 'l');
    const int kLines = 4096;
    for (auto _ : state)
    {
        File f;
        FileSystem::OpenRaw(f, StrView(path.c_str()), EFileOpenMode::kWrite);
        f.SetBufferSize(bufferSize);
        for (int i = 0; i < kLines; ++i)
            f.Write(line.data(), static_cast<uint32>(line.size()));
        f.Close();
    }
    state.SetBytesProcessed(state.iterations() * kLines * static_cast<int64_t>(line.size()));
    std::remove(path.c_str());
}

void BM_WriteBuffered(benchmark::State& state)
{
    WriteLines(state, File::kDefaultBufferSize);
}
void BM_WriteUnbuffered(benchmark::State& state)
{
    WriteLines(state, 0);
}
BENCHMARK(BM_WriteBuffered)->Arg(16)->Arg(120)->Arg(1024);
BENCHMARK(BM_WriteUnbuffered)->Arg(16)->Arg(120)->Arg(1024);

// FileSystem::ReadFile of a whole file (arg: size in KiB).
void BM_ReadWholeFile(benchmark::State& state)
{
    const std::string path = ScratchPath("whole");
    {
        File f;
        FileSystem::OpenRaw(f, StrView(path.c_str()), EFileOpenMode::kWrite);
        std::string block(1024, 'r');
        for (int64_t i = 0; i < state.range(0); ++i)
            f.Write(block.data(), 1024);
    }
    for (auto _ : state)
    {
        char* data = nullptr;
        uint32 size = 0;
        FileSystem::ReadFile(StrView(path.c_str()), data, &size);
        benchmark::DoNotOptimize(data);
        FileSystem::FreeFileData(data);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * 1024);
    std::remove(path.c_str());
}
BENCHMARK(BM_ReadWholeFile)->Arg(4)->Arg(1024)->Arg(16384);
} // namespace

int main(int argc, char** argv)
{
    Kernel::EnsureConstructed();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
