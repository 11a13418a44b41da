// Throughput of pak members compressed with zstd: read whole on demand (decompressed on the calling
// thread) and through the asynchronous loader (read on "FileIO", decompressed on "Decompress").
//
//   PakBenchmarks [--input=<file>] [--mb=<size of the generated input>] [--block-kb=<block size>]
//                 [--keep-frames] [benchmark flags]
//
// The input (generated in $TMPDIR or /tmp without --input) is split into members of 4 MiB, each
// compressed block by block at zstd's default level 3 into "<scratch>.pak". The same compressed
// blocks, concatenated, are written to "<scratch>.zst": `zstd -d -c <scratch>.zst >/dev/null`
// decompresses exactly the bytes that the benchmarks read, for comparison. Both paths are printed;
// the frames are removed at the end unless --keep-frames is given.

#include "Core/IO/AsyncLoader.h"
#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/Pak.h"
#include "Core/IO/PakFile.h"
#include "Core/Kernel.h"

#include <benchmark/benchmark.h>
#include <zstd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Morvex;

namespace
{
constexpr size_t kMemberSize = 4 * 1024 * 1024;

std::string GInput;
size_t GMegabytes = 256;
bool GKeepFrames = false;
uint32 GBlockSize = 0x40000;

struct Built
{
    std::string archivePath;
    std::string framesPath;
    std::vector<std::string> names;
    std::vector<Pak::PakEntry> entries;
    std::vector<uint8> blockSizes;
    uint64 totalSize = 0;
    uint64 storedSize = 0;
};
Built GBuilt;
Pak::Archive* GArchive = nullptr;

std::string ScratchBase()
{
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/morvex-pakbench-" + std::to_string(getpid());
}

// Log lines and partly random binary pages, as in the zip benchmark: compressible, not trivially.
std::string Generate(size_t bytes)
{
    std::mt19937 rng(1234);
    std::string out;
    out.reserve(bytes);
    int line = 0;
    while (out.size() < bytes)
    {
        for (int i = 0; i < 4000; ++i, ++line)
            out += "2026.12.10 11:20:" + std::to_string(line % 60) + " INFO   : Worker " +
                   std::to_string(rng() % 16) + " processed item " + std::to_string(line) + " in " +
                   std::to_string(rng() % 1000) + " us\n";
        for (int i = 0; i < 64 * 1024; ++i)
            out.push_back(static_cast<char>((rng() % 4 == 0) ? rng() & 0xFF : i & 0x0F));
    }
    out.resize(bytes);
    return out;
}

std::string ReadInput(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every block is compressed (a block that would not shrink makes the build fail): then the member
// bytes are exactly a sequence of zstd frames, which the command decompresses as well.
bool Build(const std::string& content)
{
    const std::string base = ScratchBase();
    GBuilt.archivePath = base + ".pak";
    GBuilt.framesPath = base + ".zst";
    std::ofstream archive(GBuilt.archivePath, std::ios::binary | std::ios::trunc);
    std::ofstream frames(GBuilt.framesPath, std::ios::binary | std::ios::trunc);
    const uint32 width = Pak::BlockSizeWidth(GBlockSize);
    uint64 offset = 0;
    std::string packed(ZSTD_compressBound(GBlockSize), '\0');
    for (size_t at = 0, member = 0; at < content.size(); at += kMemberSize, ++member)
    {
        char name[32];
        std::snprintf(name, sizeof(name), "m%05zu.bin", member);
        GBuilt.names.push_back(name);
        const size_t size = std::min(kMemberSize, content.size() - at);
        Pak::PakEntry entry;
        entry.size = size;
        entry.dataOffset = offset;
        entry.flags = Pak::kEntryCompressed;
        entry.firstBlock = static_cast<int32>(GBuilt.blockSizes.size() / width);
        for (size_t b = 0; b < size; b += GBlockSize)
        {
            const size_t n = std::min<size_t>(GBlockSize, size - b);
            const size_t stored = ZSTD_compress(packed.data(), packed.size(), content.data() + at + b, n, 3);
            if (ZSTD_isError(stored) || stored >= n)
            {
                std::fprintf(stderr, "a block of the input does not compress: give another --input\n");
                return false;
            }
            archive.write(packed.data(), static_cast<std::streamsize>(stored));
            frames.write(packed.data(), static_cast<std::streamsize>(stored));
            offset += stored;
            for (uint32 i = 0; i < width; ++i)
                GBuilt.blockSizes.push_back(static_cast<uint8>(stored >> (8 * i)));
        }
        GBuilt.entries.push_back(entry);
    }
    for (size_t i = 0; i < GBuilt.entries.size(); ++i)
    {
        GBuilt.entries[i].name = GBuilt.names[i].c_str();
        GBuilt.entries[i].nameLength = static_cast<uint32>(GBuilt.names[i].size());
    }
    GBuilt.totalSize = content.size();
    GBuilt.storedSize = offset;
    return archive.good() && frames.good();
}

bool Mount()
{
    RawFile* file = RawFile::Open(StrView(GBuilt.archivePath.c_str()), EFileOpenMode::kRead);
    if (!file)
        return false;
    Pak::Archive::Index index;
    index.archiveBlockSize = GBlockSize;
    index.entries = GBuilt.entries.data();
    index.entryCount = static_cast<uint32>(GBuilt.entries.size());
    index.blockSizes = GBuilt.blockSizes.data();
    index.blockSizesLength = GBuilt.blockSizes.size();
    GArchive = Pak::Archive::Create(file, index);
    file->DropRef();
    return GArchive != nullptr;
}

// Each member read whole through File, decompressed block by block on this thread.
void BM_PakReadOnDemand(benchmark::State& state)
{
    std::vector<uint8> buffer(kMemberSize);
    for (auto _ : state)
    {
        for (uint32 i = 0; i < GArchive->GetEntryCount(); ++i)
        {
            File file;
            GArchive->OpenFile(file, static_cast<int32>(i));
            const uint32 size = static_cast<uint32>(GArchive->GetEntry(static_cast<int32>(i)).size);
            if (file.Read(buffer.data(), size) != size)
                state.SkipWithError("short read");
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * GBuilt.totalSize));
}
BENCHMARK(BM_PakReadOnDemand)->Unit(benchmark::kMillisecond)->UseRealTime();

class CountingCallbacks final : public FileAsyncCallbacks
{
public:
    void OnAsyncIOCompleted_ProcessingThread(const FileAsyncReadRequest& request,
                                             EFileAsyncStatus status) override
    {
        if (status != EFileAsyncStatus::kOk)
            m_failed.store(true, std::memory_order_relaxed);
        m_bytes.fetch_add(request.size, std::memory_order_relaxed);
        m_done.fetch_add(1, std::memory_order_release);
        m_done.notify_one();
    }
    std::atomic<uint32> m_done{0};
    std::atomic<uint64> m_bytes{0};
    std::atomic<bool> m_failed{false};
};

// Every member queued at once into a buffer of its own: "FileIO" reads the compressed blocks while
// "Decompress" expands the ones read before.
void BM_PakReadThroughLoader(benchmark::State& state)
{
    const uint32 count = GArchive->GetEntryCount();
    std::vector<std::unique_ptr<uint8[]>> buffers;
    for (uint32 i = 0; i < count; ++i)
        buffers.push_back(std::make_unique<uint8[]>(kMemberSize));
    AsyncLoader::Resume();
    for (auto _ : state)
    {
        CountingCallbacks callbacks;
        for (uint32 i = 0; i < count; ++i)
        {
            PakFile* member = PakFile::Create(GArchive, static_cast<int32>(i));
            FileAsyncReadRequest request;
            request.data = buffers[i].get();
            request.size = static_cast<uint32>(GArchive->GetEntry(static_cast<int32>(i)).size);
            request.callbacks = &callbacks;
            request.flags = EFileAsyncFlags::kFinishOnProcessingThread;
            AsyncLoaderEntry entry;
            member->CreateReadRequest(entry, request);
            AsyncLoader::AddRequest(entry, nullptr);
            member->DropRef();
        }
        for (uint32 done = callbacks.m_done.load(std::memory_order_acquire); done < count;
             done = callbacks.m_done.load(std::memory_order_acquire))
        {
            AsyncLoader::MainThread_Finalize(0.001);
            callbacks.m_done.wait(done, std::memory_order_acquire);
        }
        while (!AsyncLoader::MainThread_Finalize(1.0))
        {
        }
        if (callbacks.m_failed.load() || callbacks.m_bytes.load() != GBuilt.totalSize)
            state.SkipWithError("a member was not read whole");
    }
    AsyncLoader::Pause();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * GBuilt.totalSize));
}
BENCHMARK(BM_PakReadThroughLoader)->Unit(benchmark::kMillisecond)->UseRealTime();

bool ParseFlag(const char* arg, const char* name, std::string& value)
{
    const size_t n = std::strlen(name);
    if (std::strncmp(arg, name, n) != 0 || arg[n] != '=')
        return false;
    value = arg + n + 1;
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    Kernel::EnsureConstructed();
    int kept = 1;
    for (int i = 1; i < argc; ++i)
    {
        std::string value;
        if (ParseFlag(argv[i], "--input", value))
            GInput = value;
        else if (ParseFlag(argv[i], "--mb", value))
            GMegabytes = std::strtoul(value.c_str(), nullptr, 10);
        else if (std::strcmp(argv[i], "--keep-frames") == 0)
            GKeepFrames = true;
        else if (ParseFlag(argv[i], "--block-kb", value))
            GBlockSize = static_cast<uint32>(std::strtoul(value.c_str(), nullptr, 10) * 1024);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    // The loader's scratch buffer holds one block.
    if (GBlockSize == 0 || GBlockSize > 0x80000)
    {
        std::fprintf(stderr, "--block-kb: 1 to 512\n");
        return 2;
    }
    const std::string content = GInput.empty() ? Generate(GMegabytes * 1024 * 1024) : ReadInput(GInput);
    if (content.empty() || !Build(content))
        return 1;
    std::printf("archive %s: %llu bytes in %zu members, %llu stored (blocks of %u bytes)\n"
                "frames  %s (for: zstd -d -c %s >/dev/null)\n",
                GBuilt.archivePath.c_str(), static_cast<unsigned long long>(GBuilt.totalSize),
                GBuilt.entries.size(), static_cast<unsigned long long>(GBuilt.storedSize), GBlockSize,
                GBuilt.framesPath.c_str(), GBuilt.framesPath.c_str());
    InitFileSystem();
    int rc = 1;
    if (Mount())
    {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        GArchive->DropRef();
        rc = 0;
    }
    ShutdownFileSystem();
    std::remove(GBuilt.archivePath.c_str());
    if (!GKeepFrames)
        std::remove(GBuilt.framesPath.c_str());
    return rc;
}
