// The search-path file system: precedence, ids, normalisation, opens, whole-file reads and the
// merged wildcard search.

#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;
using Morvex::Test::TempDir;

namespace
{
// Our path views from test strings.
StrView S(const std::string& s)
{
    return StrView(s.data(), static_cast<uint32>(s.size()));
}

// A fresh search list and working directory for each test; both are restored afterwards.
class FileSystemTest : public testing::Test
{
protected:
    void SetUp() override
    {
        FileSystem::ClearSearchPaths();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_work.Path().c_str()), 0);
    }
    void TearDown() override
    {
        FileSystem::ClearSearchPaths();
        ASSERT_EQ(chdir(m_oldCwd.c_str()), 0);
    }

    std::string Read(const std::string& path)
    {
        char* data = nullptr;
        uint32 size = 0;
        if (!FileSystem::ReadFile(path.c_str(), data, &size))
            return "<none>";
        std::string out(data, size);
        EXPECT_EQ(data[size], 0);
        FileSystem::FreeFileData(data);
        return out;
    }

    static std::vector<std::string> Names(const std::vector<FilePath>& files)
    {
        std::vector<std::string> out;
        for (const FilePath& f : files)
            out.emplace_back(f.c_str());
        return out;
    }

    TempDir m_work;
    std::string m_oldCwd;
};

// Creates a sparse file of `size` bytes.
bool MakeSparse(const std::string& path, off_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok;
}
} // namespace

TEST_F(FileSystemTest, NewerSearchDirectoriesWin)
{
    m_work.WriteFile("A/x.txt", "from A");
    m_work.WriteFile("B/x.txt", "from B");
    m_work.WriteFile("A/only-a.txt", "a");
    EXPECT_GE(FileSystem::AddSearchDirectory(S(m_work.Join("A"))), 0);
    EXPECT_GE(FileSystem::AddSearchDirectory(S(m_work.Join("B"))), 0);
    EXPECT_EQ(Read("x.txt"), "from B");
    EXPECT_EQ(Read("/x.txt"), "<none>") << "a rooted name is absolute here";
    EXPECT_EQ(Read("only-a.txt"), "a");
    EXPECT_TRUE(FileSystem::FileExists("x.txt"));
    EXPECT_TRUE(FileSystem::FileExists("only-a.txt"));

    File f;
    EXPECT_TRUE(FileSystem::Open(f, "x.txt", EFileOpenMode::kRead));
    EXPECT_EQ(std::string(f.GetName().data()), m_work.Join("B/x.txt"));
    f.Close();

    unlink(m_work.Join("B/x.txt").c_str());
    EXPECT_EQ(Read("x.txt"), "from A");
    EXPECT_EQ(Read("missing.txt"), "<none>");
    EXPECT_FALSE(FileSystem::FileExists("missing.txt"));
}

TEST_F(FileSystemTest, RelativeNamesNeedASearchDirectory)
{
    m_work.WriteFile("here.txt", "cwd");
    EXPECT_EQ(Read("here.txt"), "<none>");
    EXPECT_FALSE(FileSystem::FileExists("here.txt"));
    EXPECT_EQ(Read(m_work.Join("here.txt")), "cwd");
    EXPECT_TRUE(FileSystem::FileExists(S(m_work.Path())));
    File raw;
    EXPECT_TRUE(FileSystem::OpenRaw(raw, "here.txt", EFileOpenMode::kRead))
        << "exactly the path, no search list";
    EXPECT_FALSE(FileSystem::OpenRaw(raw, "", EFileOpenMode::kRead));
    EXPECT_EQ(Read(""), "<none>");
}

TEST_F(FileSystemTest, AddSearchDirectoryIdsAndRefusals)
{
    Platform_CreateDirectory(S(m_work.Join("data")));
    m_work.WriteFile("plain.txt", "x");
    int32 first = FileSystem::AddSearchDirectory("data");
    EXPECT_GE(first, 0);
    EXPECT_EQ(FileSystem::AddSearchDirectory("./data/"), -1);
    EXPECT_EQ(FileSystem::AddSearchDirectory(S(m_work.Join("data"))), -1);
    EXPECT_EQ(FileSystem::AddSearchDirectory(S(m_work.Path() + "\\data\\.\\")), -1);
    EXPECT_EQ(FileSystem::AddSearchDirectory("plain.txt"), -1);
    EXPECT_EQ(FileSystem::AddSearchDirectory(""), -1);
    int32 missing = FileSystem::AddSearchDirectory("not-yet");
    EXPECT_EQ(missing, first + 1);

    FileSystem::ClearSearchPaths();
    int32 afterClear = FileSystem::AddSearchDirectory("data");
    EXPECT_EQ(afterClear, first + 2) << "ids are never reused";
}

TEST(FileSystemPaths, MakeAbsolutePath)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    const std::string here = cwd;
    const struct
    {
        std::string input;
        std::string expected;
    } cases[] = {
        {"c:\\a\\.\\b\\..\\c", "C:/a/c"},
        {"C:/../..", "C:/../.."}, // the second ".." finds nothing left
        {"/a//b///c", "/a/b/c"},
        {"/a/b/", "/a/b/"},  // untouched when nothing was dropped
        {"/a/./b/", "/a/b"}, // rebuilt without the trailing separator
        {"//server/share/x", "//server/share/x"},
        {"///x", "//x"},
        {"/a/b/../../c", "/c"},
        {"/a/..", "/"},
        {"/a/../..", "/a/../.."},
        {"d:/x", "D:/x"},
        {"x/./y", here + "/x/y"},
        {"x\\y", here + "/x/y"},
        {".", here},
        {"..", here.substr(0, here.rfind('/')).empty() ? "/" : here.substr(0, here.rfind('/'))},
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::string(FileSystem::MakeAbsolutePath(c.input.c_str()).c_str()), c.expected) << c.input;
}

TEST_F(FileSystemTest, DuplicateSlashesAreReportedAndStillOpened)
{
    m_work.WriteFile("a/b.txt", "ab");
    FileSystem::AddSearchDirectory(S(m_work.Path()));
    CapturingSink sink;
    File f;
    EXPECT_TRUE(FileSystem::Open(f, "a//b.txt", EFileOpenMode::kRead));
    EXPECT_TRUE(sink.Contains(Log::Error, "Duplicate slashes: a//b.txt"));
    sink.Clear();
    File g;
    FileSystem::Open(g, "//server/share/x", EFileOpenMode::kRead);
    EXPECT_FALSE(sink.Contains("Duplicate slashes"));
}

TEST_F(FileSystemTest, WritesGoToAnExistingCandidateOrTheWorkingDirectory)
{
    m_work.WriteFile("S/existing.log", "old");
    FileSystem::AddSearchDirectory(S(m_work.Join("S")));
    File f;
    ASSERT_TRUE(FileSystem::Open(f, "new/log.txt", EFileOpenMode::kWrite));
    f.WriteText("created");
    f.Close();
    EXPECT_EQ(m_work.ReadFile("new/log.txt"), "created");
    EXPECT_FALSE(Platform_PathExists(S(m_work.Join("S/new"))));

    ASSERT_TRUE(FileSystem::Open(f, "existing.log", EFileOpenMode::kAppend));
    f.WriteText("+1");
    f.Close();
    EXPECT_EQ(m_work.ReadFile("S/existing.log"), "old+1");
    EXPECT_FALSE(Platform_PathExists(S(m_work.Join("existing.log"))));
}

TEST_F(FileSystemTest, ReadFileResults)
{
    m_work.WriteFile("empty.txt", "");
    FileSystem::AddSearchDirectory(S(m_work.Path()));
    char* data = nullptr;
    uint32 size = 77;
    uint64 lastWrite = 0;
    ASSERT_TRUE(FileSystem::ReadFile("empty.txt", data, &size, &lastWrite));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(data[0], 0);
    FileSystem::FreeFileData(data);
    struct stat st
    {
    };
    stat(m_work.Join("empty.txt").c_str(), &st);
    EXPECT_EQ(lastWrite, static_cast<uint64>(st.st_mtim.tv_sec) * 10000000ULL + st.st_mtim.tv_nsec / 100 +
                             116444736000000000ULL);

    data = reinterpret_cast<char*>(1);
    EXPECT_FALSE(FileSystem::ReadFile("missing", data));
    EXPECT_EQ(data, nullptr);
    Platform_CreateDirectory(S(m_work.Join("adir")));
    EXPECT_FALSE(FileSystem::ReadFile("adir", data));
    FileSystem::FreeFileData(nullptr);
}

TEST_F(FileSystemTest, ReadFileRefusesFilesBeyondThe32BitSize)
{
    // 0xFFFFFFFF bytes would need a buffer of 2^32 bytes; 4 GiB does not fit the size at all.
    for (off_t size : {static_cast<off_t>(0xFFFFFFFFLL), static_cast<off_t>(0x100000005LL)})
    {
        std::string path = m_work.Join("huge.bin");
        if (!MakeSparse(path, size))
            GTEST_SKIP() << "no sparse files here";
        CapturingSink sink;
        char* data = reinterpret_cast<char*>(1);
        EXPECT_FALSE(FileSystem::ReadFile(path.c_str(), data));
        EXPECT_EQ(data, nullptr);
        EXPECT_TRUE(sink.Contains(Log::Error, path)) << "the error names the file";
        unlink(path.c_str());
    }
}

TEST_F(FileSystemTest, FindFilesMergesSortsAndDeduplicates)
{
    for (const char* name :
         {"A/z.cfg", "A/b.cfg", "A/sub/c.cfg", "A/note.txt", "B/b.cfg", "B/a.cfg", "B/deep/er/d.cfg"})
        m_work.WriteFile(name, "x");
    FileSystem::AddSearchDirectory(S(m_work.Join("A")));
    FileSystem::AddSearchDirectory(S(m_work.Join("B")));
    std::vector<FilePath> files;
    FileSystem::FindFiles(files, "*.cfg");
    EXPECT_EQ(Names(files),
              (std::vector<std::string>{"a.cfg", "b.cfg", "deep/er/d.cfg", "sub/c.cfg", "z.cfg"}));

    std::vector<FilePath> capped;
    FileSystem::FindFiles(capped, "*.cfg", 1);
    EXPECT_EQ(capped.size(), 1u);
    std::vector<FilePath> none;
    FileSystem::FindFiles(none, "*.nothing", ~0u);
    EXPECT_TRUE(none.empty());
}

TEST_F(FileSystemTest, FindFilesDescendsOnlyTowardsTheDirectoryPart)
{
    for (const char* name : {"S/strings/en/menu.txt", "S/strings/top.txt", "S/other/strings/x.txt",
                             "S/stringsX/y.txt", "S/root.txt"})
        m_work.WriteFile(name, "x");
    FileSystem::AddSearchDirectory(S(m_work.Join("S")));
    std::vector<FilePath> files;
    FileSystem::FindFiles(files, "strings/*.txt");
    EXPECT_EQ(Names(files), (std::vector<std::string>{"strings/en/menu.txt", "strings/top.txt"}));

    std::vector<FilePath> nested;
    FileSystem::FindFiles(nested, "strings\\en\\*.txt");
    EXPECT_EQ(Names(nested), std::vector<std::string>{"strings/en/menu.txt"});
}

TEST_F(FileSystemTest, FindFilesAssertsOnWildcardsInTheDirectoryPart)
{
    m_work.WriteFile("S/d1/x.txt", "x");
    FileSystem::AddSearchDirectory(S(m_work.Join("S")));
    AssertRecorder asserts;
    std::vector<FilePath> files;
    FileSystem::FindFiles(files, "d*/x.txt");
    EXPECT_TRUE(asserts.Saw("FindWildcards(dirName) == dirName.end()"));
    FileSystem::FindFiles(files, "");
    EXPECT_TRUE(asserts.Saw("!fullWildcards.empty()"));
}

TEST(FileSystemPaths, FindWildcards)
{
    const char* text = "dir/a*b?";
    EXPECT_EQ(FileSystem::FindWildcards(text), text + 5);
    StrView plain("no/wild");
    EXPECT_EQ(FileSystem::FindWildcards(plain), plain.end());
    EXPECT_EQ(FileSystem::FindWildcards(StrView("?", 1)), FileSystem::FindWildcards(StrView("?", 1)));
}

TEST(FileSystemPaths, CriticalIOErrorIsLogged)
{
    CapturingSink sink;
    FileSystem::ReportCriticalIOError();
    EXPECT_TRUE(sink.Contains(Log::Error, "CriticalIOError."));
}

TEST(FileSystemLifecycle, StartStopAndTheLeakReport)
{
    if (IsFileSystemInitialized())
        GTEST_SKIP() << "started by the kernel in this process";
    TempDir tmp;
    tmp.WriteFile("kept.txt", "open");
    InitFileSystem();
    EXPECT_TRUE(IsFileSystemInitialized());
    {
        AssertRecorder asserts;
        InitFileSystem();
        EXPECT_TRUE(asserts.Saw("!GFileSystemInitialized"));
    }
    ASSERT_GE(FileSystem::AddSearchDirectory(S(tmp.Path())), 0);
    File kept;
    ASSERT_TRUE(FileSystem::Open(kept, "kept.txt", EFileOpenMode::kRead));
    {
        CapturingSink sink;
        ShutdownFileSystem();
        EXPECT_TRUE(sink.Contains(Log::Error, "raw files were never released"));
    }
    EXPECT_FALSE(IsFileSystemInitialized());
    EXPECT_FALSE(FileSystem::FileExists("kept.txt")) << "the search list is empty after shutdown";
    // The file that outlived the shutdown is still usable and closes cleanly.
    char buffer[4];
    EXPECT_EQ(kept.Read(buffer, 4), 4u);
    kept.Close();
    InitFileSystem();
    Memory::Pool::Info pool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/RawFile:", &pool));
    EXPECT_GE(pool.numPages, 1u);
    CapturingSink clean;
    ShutdownFileSystem();
    EXPECT_FALSE(clean.Contains("never released"));
    // A clean shutdown gives the raw files' pages back, with nothing to report.
    ASSERT_TRUE(Morvex::Test::FindPool("Core/RawFile:", &pool));
    EXPECT_EQ(pool.numPages, 0u);
    EXPECT_FALSE(clean.Contains("objects still alive"));
}

TEST_F(FileSystemTest, LookupsRunBesideAddingDirectories)
{
    m_work.WriteFile("base/common.txt", "common");
    FileSystem::AddSearchDirectory(S(m_work.Join("base")));
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
    {
        readers.emplace_back(
            [&]
            {
                while (!stop.load())
                {
                    char* data = nullptr;
                    if (!FileSystem::ReadFile("common.txt", data) || std::string(data) != "common")
                        failures.fetch_add(1);
                    FileSystem::FreeFileData(data);
                    std::vector<FilePath> files;
                    FileSystem::FindFiles(files, "*.txt");
                    if (files.empty())
                        failures.fetch_add(1);
                }
            });
    }
    for (int i = 0; i < 200; ++i)
        FileSystem::AddSearchDirectory(S(m_work.Join("extra" + std::to_string(i))));
    stop.store(true);
    for (std::thread& t : readers)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}
