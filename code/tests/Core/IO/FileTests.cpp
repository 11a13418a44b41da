// Raw and buffered files: open modes, buffer boundaries, write failures and misuse.

#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/Memory/MemoryTag.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::TempDir;

namespace
{
// Our path views from test strings.
StrView S(const std::string& s)
{
    return StrView(s.data(), static_cast<uint32>(s.size()));
}

// Size on disk as another reader sees it.
long long DiskSize(const std::string& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

File OpenFile(const std::string& path, EFileOpenMode mode)
{
    File f;
    FileSystem::OpenRaw(f, S(path), mode);
    return f;
}

std::vector<char> Bytes(size_t n, char c)
{
    return std::vector<char>(n, c);
}
} // namespace

TEST(File, SmallWritesStayBufferedUntilCloseOrSize)
{
    TempDir tmp;
    std::string path = tmp.Join("ten.bin");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Write("0123456789", 10), 10u);
    EXPECT_EQ(DiskSize(path), 0);
    EXPECT_EQ(f.GetSize(), 10u);
    EXPECT_EQ(DiskSize(path), 10);
    EXPECT_TRUE(f.WriteText("ab"));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(tmp.ReadFile("ten.bin"), "0123456789ab");
}

TEST(File, BufferBoundaries)
{
    TempDir tmp;
    std::string path = tmp.Join("b.bin");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    ASSERT_TRUE(f.IsOpen());
    auto first = Bytes(65535, 'a');
    EXPECT_EQ(f.Write(first.data(), 65535), 65535u);
    EXPECT_EQ(f.Write("b", 1), 1u);
    EXPECT_EQ(DiskSize(path), 0) << "65536 bytes fill the buffer exactly";
    EXPECT_EQ(f.Write("c", 1), 1u);
    EXPECT_EQ(DiskSize(path), 65536) << "the full buffer went out first";
    EXPECT_TRUE(f.Close());
    std::string content = tmp.ReadFile("b.bin");
    ASSERT_EQ(content.size(), 65537u);
    EXPECT_EQ(content.substr(65534), "abc");
}

TEST(File, WritesOfTheBufferSizeGoStraightOut)
{
    TempDir tmp;
    std::string path = tmp.Join("big.bin");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    auto block = Bytes(65536, 'x');
    EXPECT_EQ(f.Write(block.data(), 65536), 65536u);
    EXPECT_EQ(DiskSize(path), 65536);
    // Pending bytes precede a direct write, so the file keeps call order.
    EXPECT_EQ(f.Write("12", 2), 2u);
    auto big = Bytes(70000, 'y');
    EXPECT_EQ(f.Write(big.data(), 70000), 70000u);
    EXPECT_EQ(DiskSize(path), 65536 + 2 + 70000);
    f.Close();
    std::string content = tmp.ReadFile("big.bin");
    EXPECT_EQ(content.substr(65536, 3), "12y");
}

TEST(File, UnbufferedAndResizedBuffers)
{
    TempDir tmp;
    std::string path = tmp.Join("u.bin");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    f.Write("pending", 7);
    f.SetBufferSize(0);
    EXPECT_EQ(DiskSize(path), 7) << "changing the size writes out pending bytes";
    for (int i = 1; i <= 3; ++i)
    {
        EXPECT_EQ(f.Write("z", 1), 1u);
        EXPECT_EQ(DiskSize(path), 7 + i);
    }
    f.SetBufferSize(4);
    EXPECT_EQ(f.Write("abc", 3), 3u);
    EXPECT_EQ(DiskSize(path), 10);
    EXPECT_EQ(f.Write("defg", 4), 4u) << "a write of the capacity bypasses the buffer";
    EXPECT_EQ(DiskSize(path), 17);
    f.SetBufferSize(4); // same size: nothing happens
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(f.GetBufferSize(), File::kDefaultBufferSize);
    EXPECT_EQ(tmp.ReadFile("u.bin"), "pendingzzzabcdefg");
}

TEST(File, PrintfCutsAt2047Bytes)
{
    TempDir tmp;
    File f = OpenFile(tmp.Join("p.txt"), EFileOpenMode::kWrite);
    EXPECT_TRUE(f.Printf("%s=%d\n", "value", 42));
    std::string longText(3000, 'L');
    EXPECT_TRUE(f.Printf("%s", longText.c_str()));
    f.Close();
    std::string content = tmp.ReadFile("p.txt");
    EXPECT_EQ(content.size(), 9u + 2047u);
    EXPECT_EQ(content.substr(0, 9), "value=42\n");
}

TEST(File, OpenModes)
{
    TempDir tmp;
    tmp.WriteFile("existing.txt", "old");
    {
        File f = OpenFile(tmp.Join("existing.txt"), EFileOpenMode::kAppend);
        ASSERT_TRUE(f.IsOpen());
        EXPECT_EQ(f.GetRawFile()->Tell(), 3u);
        f.Write("x", 1);
    }
    EXPECT_EQ(tmp.ReadFile("existing.txt"), "oldx");
    {
        File f = OpenFile(tmp.Join("existing.txt"), EFileOpenMode::kWrite);
        ASSERT_TRUE(f.IsOpen());
        f.Write("new", 3);
    }
    EXPECT_EQ(tmp.ReadFile("existing.txt"), "new");
    {
        File f = OpenFile(tmp.Join("created.txt"), EFileOpenMode::kAppend);
        EXPECT_TRUE(f.IsOpen());
    }
    EXPECT_EQ(DiskSize(tmp.Join("created.txt")), 0);

    File missing = OpenFile(tmp.Join("missing.txt"), EFileOpenMode::kRead);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(DiskSize(tmp.Join("missing.txt")), -1) << "reading never creates";
}

TEST(File, WritingCreatesMissingDirectories)
{
    TempDir tmp;
    std::string path = tmp.Join("newdir/sub/file.txt");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    ASSERT_TRUE(f.IsOpen());
    f.WriteText("hi");
    f.Close();
    EXPECT_EQ(tmp.ReadFile("newdir/sub/file.txt"), "hi");
    File a = OpenFile(tmp.Join("other/app.log"), EFileOpenMode::kAppend);
    EXPECT_TRUE(a.IsOpen());
}

TEST(File, DirectoriesAndSpecialFilesDoNotOpenAsFiles)
{
    TempDir tmp;
    for (EFileOpenMode mode : {EFileOpenMode::kRead, EFileOpenMode::kWrite, EFileOpenMode::kAppend})
        EXPECT_FALSE(OpenFile(tmp.Path(), mode).IsOpen()) << static_cast<int>(mode);

    // A FIFO without a writer must not block the open, and reads as empty.
    ASSERT_EQ(mkfifo(tmp.Join("fifo").c_str(), 0600), 0);
    File fifo = OpenFile(tmp.Join("fifo"), EFileOpenMode::kRead);
    ASSERT_TRUE(fifo.IsOpen());
    char c;
    EXPECT_EQ(fifo.Read(&c, 1), 0u);
}

TEST(File, NamesAndClosedFiles)
{
    TempDir tmp;
    File closed;
    EXPECT_FALSE(closed.IsOpen());
    EXPECT_TRUE(closed.GetName().empty());
    EXPECT_EQ(closed.GetBufferSize(), File::kDefaultBufferSize);
    EXPECT_EQ(closed.Write("x", 1), 0u);
    EXPECT_EQ(closed.GetSize(), 0u);
    EXPECT_TRUE(closed.Close());

    std::string path = tmp.Join("named.txt");
    File f = OpenFile(path, EFileOpenMode::kWrite);
    EXPECT_EQ(std::string(f.GetName().data(), f.GetName().length()), path);
    EXPECT_EQ(*f.GetName().end(), 0);
}

TEST(File, MovingLeavesTheSourceClosed)
{
    TempDir tmp;
    File a = OpenFile(tmp.Join("m.txt"), EFileOpenMode::kWrite);
    a.Write("abc", 3);
    File b(std::move(a));
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(a.GetBufferSize(), 0u);
    EXPECT_TRUE(b.IsOpen());
    File c;
    c = std::move(b);
    EXPECT_FALSE(b.IsOpen());
    c.Write("d", 1);
    c.Close();
    a.Close();
    EXPECT_EQ(a.GetBufferSize(), File::kDefaultBufferSize);
    EXPECT_EQ(tmp.ReadFile("m.txt"), "abcd");
}

TEST(File, ReadsWholeAndPositioned)
{
    TempDir tmp;
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content.push_back(static_cast<char>('a' + i % 26));
    tmp.WriteFile("r.bin", content);
    File f = OpenFile(tmp.Join("r.bin"), EFileOpenMode::kRead);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.GetSize(), content.size());
    std::vector<char> buffer(content.size() + 10);
    EXPECT_EQ(f.Read(buffer.data(), static_cast<uint32>(buffer.size())), content.size());
    EXPECT_EQ(std::string(buffer.data(), content.size()), content);
    EXPECT_EQ(f.SeekRead(buffer.data(), 26 * 1000 + 3, 4), 4u);
    EXPECT_EQ(std::string(buffer.data(), 4), "defg");
    EXPECT_EQ(f.SeekRead(buffer.data(), content.size() + 5, 4), 0u);

    struct stat st
    {
    };
    stat(tmp.Join("r.bin").c_str(), &st);
    uint64 ticks = static_cast<uint64>(st.st_mtim.tv_sec) * 10000000ULL + st.st_mtim.tv_nsec / 100 +
                   116444736000000000ULL;
    EXPECT_EQ(f.GetLastWriteTime(), ticks);
}

TEST(File, FailedWriteOutIsReported)
{
    // The device accepts the open and refuses every byte, like a full disk.
    File f = OpenFile("/dev/full", EFileOpenMode::kWrite);
    ASSERT_TRUE(f.IsOpen());
    EXPECT_EQ(f.Write("buffered", 8), 8u);
    auto block = Bytes(65536, 'x');
    EXPECT_EQ(f.Write(block.data(), 65536), 0u) << "pending bytes could not go out";
    EXPECT_EQ(f.Write("more", 4), 4u);
    EXPECT_FALSE(f.WriteText(std::string(65536, 'y').c_str()));
    EXPECT_EQ(f.Write("tail", 4), 4u);
    EXPECT_FALSE(f.Close()) << "pending bytes lost at close";

    File direct = OpenFile("/dev/full", EFileOpenMode::kWrite);
    direct.SetBufferSize(0);
    EXPECT_EQ(direct.Write("x", 1), 0u);
    EXPECT_FALSE(direct.Printf("%d", 1));
}

TEST(File, ShortWriteAtTheFileSizeLimit)
{
    TempDir tmp;
    uint32 written = 0;
    {
        Morvex::Test::ScopedFileSizeLimit limit(1000);
        ASSERT_TRUE(limit.Active());
        File f = OpenFile(tmp.Join("limit.bin"), EFileOpenMode::kWrite);
        f.SetBufferSize(0);
        auto block = Bytes(5000, 'q');
        written = f.Write(block.data(), 5000);
        f.Close();
    }
    EXPECT_EQ(written, 1000u) << "the bytes that did reach the file";
}

TEST(RawFile, ModeMisuseIsAnAssertion)
{
    TempDir tmp;
    tmp.WriteFile("r.txt", "abc");
    File reader = OpenFile(tmp.Join("r.txt"), EFileOpenMode::kRead);
    File writer = OpenFile(tmp.Join("w.txt"), EFileOpenMode::kWrite);
    ASSERT_TRUE(reader.IsOpen() && writer.IsOpen());
    AssertRecorder asserts;
    EXPECT_EQ(reader.GetRawFile()->WriteBytes("x", 1), 0u);
    EXPECT_TRUE(asserts.Saw("m_mode != EFileOpenMode::kRead"));
    char c;
    EXPECT_EQ(writer.GetRawFile()->ReadBytes(&c, 1), 0u);
    EXPECT_TRUE(asserts.Saw("m_mode == EFileOpenMode::kRead"));
    EXPECT_EQ(tmp.ReadFile("r.txt"), "abc");
}

TEST(RawFile, SharedReferencesReleaseOnce)
{
    TempDir tmp;
    uint32 before = RawFile::GetLiveCount();
    RawFile* raw = RawFile::Open(S(tmp.Join("shared.txt")), EFileOpenMode::kWrite);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->GetRefCount(), 1);
    EXPECT_EQ(RawFile::GetLiveCount(), before + 1);
    // Raw files are the elements of their pool.
    Memory::Pool::Info pool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/RawFile:", &pool));
    EXPECT_EQ(pool.numElements, before + 1);
    EXPECT_EQ(pool.tag, static_cast<int16>(MemoryTags::Register("Core/RawFiles").m_index));
    raw->AddRef();
    {
        File owner(raw);
        owner.Write("one", 3);
    }
    EXPECT_EQ(RawFile::GetLiveCount(), before + 1) << "the second reference keeps it";
    EXPECT_EQ(raw->WriteBytes("two", 3), 3u);
    raw->DropRef();
    EXPECT_EQ(RawFile::GetLiveCount(), before);
    EXPECT_EQ(tmp.ReadFile("shared.txt"), "onetwo");

    EXPECT_EQ(RawFile::Open(S(tmp.Join("missing")), EFileOpenMode::kRead), nullptr);
    EXPECT_EQ(RawFile::Open("", EFileOpenMode::kWrite), nullptr);
    EXPECT_EQ(RawFile::GetLiveCount(), before) << "failed opens are released at once";
}

TEST(RawFile, ConstructionChecksItsName)
{
    AssertRecorder asserts;
    char notTerminated[] = {'a', 'b', 'c'};
    RawFile* raw = new (RawFile::AllocateStorage()) RawFile(StrView(notTerminated, 2), EFileOpenMode::kRead);
    EXPECT_TRUE(asserts.Saw("*filename.end() == 0"));
    EXPECT_FALSE(raw->IsValid());
    EXPECT_TRUE(raw->GetName().empty());
    raw->Release();
}
