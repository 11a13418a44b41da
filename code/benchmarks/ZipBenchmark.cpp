// Throughput of SimpleZip on one large file at level 1, the way the report sender packs a file:
// the whole file read into memory, one entry, one write.
//
//   ZipBenchmark [--input=<file>] [--mb=<size of the generated input>] [benchmark flags]
//
// Without --input a file of mixed log text and binary data is generated in $TMPDIR (or /tmp).

#include "Core/IO/SimpleZip.h"
#include "Core/Kernel.h"

#include <benchmark/benchmark.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
std::string GInput;
std::string GArchive;

std::string TempDirPath()
{
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? dir : "/tmp";
}

// Roughly what a report holds: log lines (compressible) and a dump's binary pages (partly so).
void GenerateInput(const std::string& path, size_t megabytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937 rng(1234);
    std::string block;
    size_t written = 0;
    const size_t total = megabytes * 1024 * 1024;
    int line = 0;
    while (written < total)
    {
        block.clear();
        for (int i = 0; i < 4000; ++i, ++line)
            block += "2026.12.10 11:20:" + std::to_string(line % 60) + " INFO   : Worker " +
                     std::to_string(rng() % 16) + " processed item " + std::to_string(line) + " in " +
                     std::to_string(rng() % 1000) + " us\n";
        for (int i = 0; i < 64 * 1024; ++i)
            block.push_back(static_cast<char>((rng() % 4 == 0) ? rng() & 0xFF : i & 0x0F));
        size_t n = std::min(block.size(), total - written);
        out.write(block.data(), static_cast<std::streamsize>(n));
        written += n;
    }
}

// One sized read, as the file system's whole-file read does it.
std::string ReadAll(const std::string& path)
{
    std::string data;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    struct stat st;
    if (fstat(fd, &st) == 0)
    {
        data.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < data.size())
        {
            ssize_t n = ::read(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        data.resize(done);
    }
    ::close(fd);
    return data;
}

void BM_SimpleZipFastest(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::string data = ReadAll(GInput);
        Morvex::SimpleZip zip;
        bool ok = zip.Create(GArchive.c_str(), false) &&
                  zip.BeginFile("input.bin", Morvex::SimpleZip::Fastest) &&
                  zip.Write(data.data(), static_cast<Morvex::int32>(data.size())) && zip.EndFile();
        ok = zip.Close() && ok;
        if (!ok)
        {
            state.SkipWithError("SimpleZip failed");
            break;
        }
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(data.size()));
        std::ifstream archive(GArchive, std::ios::binary | std::ios::ate);
        state.counters["archive_bytes"] = static_cast<double>(archive.tellg());
    }
}
// The reading part alone, to tell it apart from the compression.
void BM_ReadInput(benchmark::State& state)
{
    for (auto _ : state)
    {
        std::string data = ReadAll(GInput);
        benchmark::DoNotOptimize(data.data());
        state.SetBytesProcessed(state.bytes_processed() + static_cast<int64_t>(data.size()));
    }
}
BENCHMARK(BM_ReadInput)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_SimpleZipFastest)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3)->UseRealTime();
} // namespace

int main(int argc, char** argv)
{
    Morvex::Kernel::EnsureConstructed();
    size_t megabytes = 100;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i)
    {
        if (std::strncmp(argv[i], "--input=", 8) == 0)
            GInput = argv[i] + 8;
        else if (std::strncmp(argv[i], "--mb=", 5) == 0)
            megabytes = static_cast<size_t>(std::strtoul(argv[i] + 5, nullptr, 10));
        else
            rest.push_back(argv[i]);
    }
    bool generated = GInput.empty();
    std::string base = TempDirPath() + "/zipbench-" + std::to_string(getpid());
    if (generated)
    {
        GInput = base + ".bin";
        GenerateInput(GInput, megabytes);
    }
    GArchive = base + ".zip";
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(GArchive.c_str());
    if (generated)
        std::remove(GInput.c_str());
    return 0;
}
