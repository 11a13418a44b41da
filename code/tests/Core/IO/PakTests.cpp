// Pak archives: the index checks, member lookup, block walking with on-demand decompression, the
// loader's decompression of ranges, and archives that are truncated, corrupt or lie about sizes.

#include "Core/IO/AsyncLoader.h"
#include "Core/IO/Compression.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PakFile.h"
#include "Core/Memory/MemoryTag.h"
#include "PakTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

using namespace Morvex;
using namespace Morvex::Test;

namespace
{
// A started file system (the on-demand context) and an archive file written to a folder.
class PakTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(IsFileSystemInitialized());
        InitFileSystem();
    }
    void TearDown() override
    {
        for (Pak::Archive* archive : m_archives)
            archive->DropRef();
        ShutdownFileSystem();
        EXPECT_EQ(PakFile::GetLiveCount(), 0u);
        EXPECT_EQ(Pak::Archive::GetLiveCount(), 0u);
        // The members' pool gives its pages back once none is alive.
        Memory::Pool::Info pool;
        if (FindPool("Core/PakFile:", &pool))
        {
            EXPECT_EQ(pool.numPages, 0u);
        }
    }

    // The archive over `bytes` written to a file (the index as built), or null when refused.
    Pak::Archive* Mount(const BuiltPak& pak, const std::string& bytes)
    {
        const std::string path = m_dir.Join("archive" + std::to_string(m_count++) + ".pak");
        WriteAll(path, bytes);
        RawFile* file = RawFile::Open(StrView(path.c_str()), EFileOpenMode::kRead);
        EXPECT_NE(file, nullptr);
        Pak::Archive* archive = Pak::Archive::Create(file, pak.Index());
        file->DropRef();
        if (archive)
            m_archives.push_back(archive);
        return archive;
    }
    Pak::Archive* Mount(const BuiltPak& pak) { return Mount(pak, pak.physical); }

    static std::string ReadMember(Pak::Archive& archive, const char* name, uint32 chunk = 4096)
    {
        File file;
        EXPECT_TRUE(archive.OpenFile(file, archive.FindEntry(name))) << name;
        std::string out;
        std::string buffer(chunk, '\0');
        while (true)
        {
            const uint32 n = file.Read(buffer.data(), chunk);
            out.append(buffer.data(), n);
            if (n < chunk)
                break;
        }
        return out;
    }

    // The loader's work for one request, done here: the physical read and PakFile::Decompress.
    static std::string LoaderRead(PakFile& member, uint64 offset, uint32 size,
                                  std::string* scratchAfter = nullptr, bool* failed = nullptr)
    {
        FileAsyncReadRequest request;
        request.filename = "member";
        request.offset = offset;
        request.size = size;
        AsyncLoaderEntry entry;
        member.CreateReadRequest(entry, request);
        std::string source(entry.readRequest.size, '\0');
        const uint32 read =
            entry.file->SeekReadBytes(source.data(), entry.readRequest.offset, entry.readRequest.size);
        if (!entry.compression.compressed)
            return source.substr(0, read);
        std::string destination(size, '\0');
        std::string scratch(0x80000, '#');
        DecompressParams params;
        params.asyncLoaderEntry = &entry;
        std::unique_ptr<DecompressionContext, void (*)(DecompressionContext*)> context(
            CreateDecompressionContext(), &ReleaseDecompressionContext);
        params.context = context.get();
        params.source = source.data();
        params.sourceSize = read;
        params.destination = destination.data();
        params.destinationSize = size;
        params.scratchpad = scratch.data();
        params.scratchpadSize = static_cast<uint32>(scratch.size());
        const uint32 produced = member.Decompress(params);
        if (scratchAfter)
            *scratchAfter = scratch;
        if (failed)
            *failed = params.failed;
        return destination.substr(0, produced);
    }

    TempDir m_dir;
    uint32 m_count = 0;
    std::vector<Pak::Archive*> m_archives;
};

PakFile* OpenMember(Pak::Archive& archive, const char* name)
{
    const int32 index = archive.FindEntry(name);
    EXPECT_GE(index, 0) << name;
    return PakFile::Create(&archive, index);
}
} // namespace

TEST(PakIndex, BlockSizeWidthFollowsTheBlockSize)
{
    const struct
    {
        uint32 blockSize;
        uint32 width;
    } cases[] = {{1, 2}, {0x10000, 2}, {0x10001, 3}, {0x1000000, 3}, {0x1000001, 4}, {0xFFFFFFFF, 4}};
    for (const auto& c : cases)
        EXPECT_EQ(Pak::BlockSizeWidth(c.blockSize), c.width) << std::hex << c.blockSize;
}

TEST_F(PakTest, FindEntryMatchesWholeNamesOnly)
{
    BuiltPak pak = BuildPak({{"a", "1"}, {"a/b", "2"}, {"ab", "3"}, {"b\xC3\xA9", "4"}}, 256);
    Pak::Archive* archive = Mount(pak);
    ASSERT_NE(archive, nullptr);
    const struct
    {
        const char* name;
        int32 index;
    } cases[] = {{"a", 0},   {"a/b", 1},  {"ab", 2}, {"b\xC3\xA9", 3}, {"", -1},
                 {"a/", -1}, {"abc", -1}, {"0", -1}, {"c", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(archive->FindEntry(c.name), c.index) << c.name;
    EXPECT_EQ(ReadMember(*archive, "ab"), "3");
}

TEST_F(PakTest, InconsistentIndexesAreRefused)
{
    const BuiltPak good = BuildPak({{"a", Compressible(1000, 1)}, {"b", "plain", false}}, 256);
    struct Case
    {
        const char* what;
        void (*spoil)(BuiltPak&);
    };
    const Case cases[] = {
        {"block size 0", [](BuiltPak& p) { p.blockSize = 0; }},
        {"block size too large", [](BuiltPak& p) { p.blockSize = Pak::Archive::kMaxBlockSize + 1; }},
        {"unsorted", [](BuiltPak& p) { std::swap(p.entries[0], p.entries[1]); }},
        {"duplicate", [](BuiltPak& p) { p.entries[1].name = p.entries[0].name; }},
        {"empty name", [](BuiltPak& p) { p.entries[0].nameLength = 0; }},
        {"table too short", [](BuiltPak& p) { p.blockSizes.resize(p.blockSizes.size() - 2); }},
        {"flag without blocks", [](BuiltPak& p) { p.entries[0].firstBlock = TInvalidIndex; }},
        {"blocks without flag", [](BuiltPak& p) { p.entries[1].firstBlock = 0; }},
        {"one piece past 2^63", [](BuiltPak& p) { p.entries[1].size = 0x8000000000000000ull; }},
    };
    for (const Case& c : cases)
    {
        BuiltPak pak = good;
        for (size_t i = 0; i < pak.entries.size(); ++i)
            pak.entries[i].name = pak.names[i].c_str();
        c.spoil(pak);
        CapturingSink sink;
        EXPECT_EQ(Mount(pak), nullptr) << c.what;
        EXPECT_EQ(sink.CountContaining("Pak: "), 1u) << c.what;
    }
    EXPECT_NE(Mount(good), nullptr);
}

// 150,000 bytes in blocks of 65,536: 65,536 + 65,536 + 18,928; only the blocks touched are loaded.
TEST_F(PakTest, SeeksLoadOnlyTheBlocksTheyReach)
{
    const std::string content = Compressible(150000, 7);
    Pak::Archive* archive = Mount(BuildPak({{"big", content}}, 65536));
    ASSERT_NE(archive, nullptr);
    PakFile* member = OpenMember(*archive, "big");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(member->GetSize(), 150000u);

    char buffer[16];
    EXPECT_EQ(member->SeekReadBytes(buffer, 70000, 10), 10u);
    EXPECT_EQ(std::string(buffer, 10), content.substr(70000, 10));
    EXPECT_EQ(member->GetDecompressedBlockCount(), 1u) << "only the second block";
    EXPECT_EQ(member->SeekReadBytes(buffer, 70100, 10), 10u);
    EXPECT_EQ(member->GetDecompressedBlockCount(), 1u) << "the same block again";

    EXPECT_EQ(member->SeekReadBytes(buffer, 131070, 16), 16u);
    EXPECT_EQ(std::string(buffer, 16), content.substr(131070, 16));
    EXPECT_EQ(member->GetDecompressedBlockCount(), 2u) << "on into the third block";
    EXPECT_EQ(member->Tell(), 131086u);

    // Beyond the end: the position stops at the size and nothing more comes.
    member->Seek(1000000);
    EXPECT_EQ(member->Tell(), 150000u);
    EXPECT_EQ(member->ReadBytes(buffer, 16), 0u);
    member->DropRef();
}

TEST_F(PakTest, MembersReadBackWholeInEveryLayout)
{
    const std::string text = Compressible(10000, 1);
    const std::string noise = Incompressible(10000, 2);
    const std::string mixed = Compressible(3000, 3) + Incompressible(3000, 4) + Compressible(3000, 5);
    BuiltPak pak = BuildPak(
        {{"empty", ""}, {"mixed", mixed}, {"noise", noise}, {"plain", text, false}, {"text", text}}, 1024);
    Pak::Archive* archive = Mount(pak);
    ASSERT_NE(archive, nullptr);
    for (uint32 chunk : {1u, 1000u, 1024u, 65536u})
    {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(ReadMember(*archive, "empty", chunk), "");
        EXPECT_EQ(ReadMember(*archive, "mixed", chunk), mixed);
        EXPECT_EQ(ReadMember(*archive, "noise", chunk), noise);
        EXPECT_EQ(ReadMember(*archive, "plain", chunk), text);
        EXPECT_EQ(ReadMember(*archive, "text", chunk), text);
    }
}

// A block kept raw (stored size 0) is copied as it is, and the next block starts one block size on.
TEST_F(PakTest, RawBlocksAreCopiedAndSkippedByTheBlockSize)
{
    const std::string content = Incompressible(2500, 9);
    BuiltPak pak = BuildPak({{"raw", content}}, 1000, true);
    ASSERT_EQ(pak.blockSizes, std::vector<uint8>(6, 0));
    Pak::Archive* archive = Mount(pak);
    ASSERT_NE(archive, nullptr);
    PakFile* member = OpenMember(*archive, "raw");
    char buffer[20];
    EXPECT_EQ(member->SeekReadBytes(buffer, 1990, 20), 20u);
    EXPECT_EQ(std::string(buffer, 20), content.substr(1990, 20));
    EXPECT_EQ(member->GetDecompressedBlockCount(), 0u);
    EXPECT_EQ(LoaderRead(*member, 900, 1600), content.substr(900, 1600));
    member->DropRef();
}

// The loader decompresses whole blocks straight into the destination and goes through the
// scratchpad only for a block wanted in part.
TEST_F(PakTest, LoaderRangesUseTheScratchpadOnlyForPartialBlocks)
{
    const std::string content = Compressible(5000, 11);
    Pak::Archive* archive = Mount(BuildPak({{"m", content}}, 1024));
    ASSERT_NE(archive, nullptr);
    PakFile* member = OpenMember(*archive, "m");
    std::string scratch;
    EXPECT_EQ(LoaderRead(*member, 0, 5000, &scratch), content);
    EXPECT_EQ(scratch, std::string(0x80000, '#')) << "whole blocks went straight to the destination";
    EXPECT_EQ(LoaderRead(*member, 1500, 100, &scratch), content.substr(1500, 100));
    EXPECT_NE(scratch, std::string(0x80000, '#'));
    EXPECT_EQ(LoaderRead(*member, 4000, 5000), content.substr(4000)) << "cut at the member's end";

    FileAsyncReadRequest request;
    request.offset = 6000;
    request.size = 10;
    AsyncLoaderEntry entry;
    member->CreateReadRequest(entry, request);
    EXPECT_EQ(entry.readRequest.size, 0u) << "an offset beyond the member leaves nothing to read";
    EXPECT_EQ(entry.compression.compressed, 0u);
    member->DropRef();
}

// Every truncation of an archive: each read gives the correct bytes or stops short with
// "CriticalIOError.", never reads out of bounds, never asserts.
TEST_F(PakTest, TruncatedArchivesFailReadByRead)
{
    const std::string a = Compressible(700, 1);
    const std::string b = Incompressible(300, 2);
    const std::string c = Compressible(500, 3);
    BuiltPak pak = BuildPak({{"a", a}, {"b", b}, {"c", c, false}}, 256);
    const std::vector<std::pair<const char*, const std::string*>> members = {{"a", &a}, {"b", &b}, {"c", &c}};
    for (size_t length = 0; length <= pak.physical.size(); ++length)
    {
        SCOPED_TRACE(length);
        Pak::Archive* archive = Mount(pak, pak.physical.substr(0, length));
        ASSERT_NE(archive, nullptr);
        AssertRecorder asserts;
        for (const auto& [name, expected] : members)
        {
            CapturingSink sink;
            const std::string got = ReadMember(*archive, name, 100);
            EXPECT_EQ(got, expected->substr(0, got.size())) << name;
            if (got.size() != expected->size())
            {
                EXPECT_TRUE(sink.Contains(Log::Error, "CriticalIOError.")) << name;
            }

            PakFile* member = OpenMember(*archive, name);
            bool failed = false;
            const std::string ranged =
                LoaderRead(*member, 10, static_cast<uint32>(expected->size()), nullptr, &failed);
            EXPECT_EQ(ranged, expected->substr(10, ranged.size())) << name;
            member->DropRef();
        }
        EXPECT_EQ(asserts.Count(), 0u);
        archive->DropRef();
        m_archives.pop_back();
    }
}

// A corrupt frame, a block that decompresses to another size, and a stored size no block can have:
// an error for that read, the rest of the archive unharmed.
TEST_F(PakTest, CorruptBlocksAreErrorsOfTheirRead)
{
    const std::string content = Compressible(3000, 5);
    BuiltPak pak = BuildPak({{"bad", content}, {"good", content}}, 1024);
    const uint32 width = Pak::BlockSizeWidth(1024);
    const uint32 firstStored = pak.blockSizes[0] | (pak.blockSizes[1] << 8);

    struct Case
    {
        const char* what;
        std::function<void(BuiltPak&, std::string&)> spoil;
    };
    const Case cases[] = {
        {"corrupt frame",
         [&](BuiltPak& p, std::string& bytes)
         {
             for (uint32 i = 4; i < firstStored; ++i)
                 bytes[p.entries[0].dataOffset + i] ^= 0x5A;
         }},
        {"stored size beyond any block",
         [&](BuiltPak& p, std::string&)
         {
             p.blockSizes[0] = 0xFF;
             p.blockSizes[1] = 0xFF;
         }},
        {"stored size one short",
         [&](BuiltPak& p, std::string&)
         {
             const uint32 s = firstStored - 1;
             p.blockSizes[0] = static_cast<uint8>(s);
             p.blockSizes[1] = static_cast<uint8>(s >> 8);
         }},
    };
    (void)width;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        BuiltPak spoilt = pak;
        for (size_t i = 0; i < spoilt.entries.size(); ++i)
            spoilt.entries[i].name = spoilt.names[i].c_str();
        std::string bytes = spoilt.physical;
        c.spoil(spoilt, bytes);
        Pak::Archive* archive = Mount(spoilt, bytes);
        ASSERT_NE(archive, nullptr);
        AssertRecorder asserts;
        CapturingSink sink;
        EXPECT_EQ(ReadMember(*archive, "bad"), "");
        EXPECT_TRUE(sink.Contains(Log::Error, "CriticalIOError."));
        PakFile* member = OpenMember(*archive, "bad");
        bool failed = false;
        EXPECT_EQ(LoaderRead(*member, 0, 3000, nullptr, &failed), "");
        EXPECT_TRUE(failed);
        member->DropRef();
        EXPECT_EQ(ReadMember(*archive, "good"), content);
        EXPECT_EQ(asserts.Count(), 0u);
    }
}

// Members come from the pool "Core/PakFile", charged to "Core/Pak".
TEST_F(PakTest, MembersComeFromTheirPool)
{
    BuiltPak pak = BuildPak({{"a", std::string(100, 'a')}, {"b", std::string(100, 'b')}}, 0x10000);
    Pak::Archive* archive = Mount(pak);
    ASSERT_NE(archive, nullptr);
    PakFile* a = OpenMember(*archive, "a");
    PakFile* b = OpenMember(*archive, "b");
    Memory::Pool::Info pool;
    ASSERT_TRUE(FindPool("Core/PakFile:", &pool));
    EXPECT_EQ(pool.numElements, 2u);
    EXPECT_EQ(pool.numPages, 1u);
    EXPECT_EQ(pool.tag, static_cast<int16>(MemoryTags::Register("Core/Pak").m_index));
    EXPECT_EQ(PakFile::GetLiveCount(), 2u);
    a->DropRef();
    b->DropRef();
    EXPECT_EQ(PakFile::GetLiveCount(), 0u);
}

// The two contexts of the file system's start-up: the on-demand one and the decompression
// thread's; both are gone after the shutdown.
TEST(PakLifecycle, StartUpMakesTwoContextsAndShutdownFreesThem)
{
    ASSERT_FALSE(IsFileSystemInitialized());
    for (int round = 0; round < 3; ++round)
    {
        EXPECT_EQ(GetLiveDecompressionContextCount(), 0u);
        InitFileSystem();
        for (int i = 0; i < 500 && GetLiveDecompressionContextCount() < 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(GetLiveDecompressionContextCount(), 2u);
        ShutdownFileSystem();
        EXPECT_EQ(GetLiveDecompressionContextCount(), 0u);
    }
}
