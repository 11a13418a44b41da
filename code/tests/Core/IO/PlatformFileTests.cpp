// Platform file services against real temporary folders.

#include "Core/IO/PlatformFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::ScopedTmpfs;
using Morvex::Test::TempDir;

namespace
{
// Our path views from test strings.
StrView S(const std::string& s)
{
    return StrView(s.data(), static_cast<uint32>(s.size()));
}

bool IsDir(const std::string& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st
    {
    };
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Names(const std::vector<FilePath>& paths)
{
    std::vector<std::string> out;
    for (const FilePath& p : paths)
        out.emplace_back(p.c_str());
    std::sort(out.begin(), out.end());
    return out;
}

// Keeps every visited path in order.
class RecordingVisitor final : public DirectoryVisitor
{
public:
    bool Visit(const FilePath& directory, const DirEntry& entry) override
    {
        directories.emplace_back(directory.c_str());
        paths.emplace_back(entry.path.c_str());
        infos.push_back(entry.info);
        return stopAfter == 0 || paths.size() < stopAfter;
    }
    bool SkipDirectory(const DirEntry& entry) override
    {
        return std::string(entry.path.c_str()).find("skip") != std::string::npos;
    }

    size_t stopAfter = 0;
    std::vector<std::string> directories;
    std::vector<std::string> paths;
    std::vector<FileInfo> infos;
};

size_t IndexOf(const std::vector<std::string>& v, const std::string& s)
{
    return static_cast<size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}
} // namespace

TEST(PlatformFile, IsAbsolutePath)
{
    const struct
    {
        const char* path;
        bool absolute;
    } cases[] = {
        {"/x", true},
        {"/", true},
        {"\\x", true},
        {"//server/share", true},
        {"\\\\server\\share", true},
        {"C:/x", true},
        {"c:\\x", true},
        {"C:", false},
        {"C:x", false},
        {"x/y", false},
        {"", false},
        {"./x", false},
        {"x:/", true},
        {"..", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Platform_IsAbsolutePath(c.path), c.absolute) << c.path;
}

TEST(PlatformFile, CreateDirectoryMakesEveryParent)
{
    TempDir tmp;
    std::string abc = tmp.Join("a/b/c");
    EXPECT_EQ(Platform_CreateDirectory(S(abc)), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(tmp.Join("a")));
    EXPECT_TRUE(IsDir(tmp.Join("a/b")));
    EXPECT_TRUE(IsDir(abc));
    EXPECT_EQ(Platform_CreateDirectory(S(abc)), DirCreateResult::AlreadyExists);
    EXPECT_EQ(Platform_CreateSingleDirectory(S(abc)), DirCreateResult::AlreadyExists);

    // Backslashes separate too; what is built uses '/'.
    std::string mixed = tmp.Path() + "\\d\\e";
    EXPECT_EQ(Platform_CreateDirectory(S(mixed)), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(tmp.Join("d/e")));
}

TEST(PlatformFile, CreateDirectoryStopsAtARegularFile)
{
    TempDir tmp;
    tmp.WriteFile("a/b", "file");
    EXPECT_EQ(Platform_CreateDirectory(S(tmp.Join("a/b/c/d"))), DirCreateResult::Failed);
    EXPECT_FALSE(Exists(tmp.Join("a/b/c")));
    EXPECT_EQ(tmp.ReadFile("a/b"), "file");
    EXPECT_EQ(Platform_CreateParentDirectories(S(tmp.Join("a/b/x.txt"))), DirCreateResult::Failed);
}

TEST(PlatformFile, CreateParentsLeavesTheFileName)
{
    TempDir tmp;
    EXPECT_EQ(Platform_CreateParentDirectories(S(tmp.Join("a/b/file.txt"))), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(tmp.Join("a/b")));
    EXPECT_FALSE(Exists(tmp.Join("a/b/file.txt")));
    // A trailing separator makes the last component a directory.
    EXPECT_EQ(Platform_CreateParentDirectories(S(tmp.Join("x/y/"))), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(tmp.Join("x/y")));
}

TEST(PlatformFile, LongPathsWorkAndOverlongOnesAreRefusedNotCut)
{
    TempDir tmp;
    // Paths far past the Windows limit but within Linux's are created whole.
    std::string longPath = tmp.Path() + "/" + std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                           std::string(200, 'c') + "/f.txt";
    EXPECT_EQ(Platform_CreateParentDirectories(S(longPath)), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(longPath.substr(0, longPath.size() - 6)));
    EXPECT_EQ(Platform_CreateDirectory(S(longPath)), DirCreateResult::Ok);
    EXPECT_TRUE(IsDir(longPath));

    // Longer than a path can be: refused, and nothing of a cut name is created.
    std::string overlong = tmp.Path() + "/x";
    while (overlong.size() <= FilePath::kCapacity + 10)
        overlong += "/" + std::string(100, 'z');
    EXPECT_EQ(Platform_CreateParentDirectories(S(overlong + "/f")), DirCreateResult::PathTooLong);
    EXPECT_EQ(Platform_CreateDirectory(S(overlong)), DirCreateResult::PathTooLong);
    EXPECT_FALSE(Platform_PathExists(S(overlong)));
    EXPECT_FALSE(Platform_GetFileInfo(S(overlong)).exists);
    EXPECT_FALSE(
        Platform_IterateDirectory(S(overlong), [](const FilePath&, const DirEntry&) { return true; }));
    EXPECT_FALSE(Platform_DeleteFile(S(overlong)));
}

TEST(PlatformFile, CreateDirectoryOfAnEmptyPathIsAnAssertion)
{
    AssertRecorder asserts;
    EXPECT_EQ(Platform_CreateDirectory(""), DirCreateResult::Failed);
    EXPECT_TRUE(asserts.Saw("!Str::Empty(dir)"));
}

TEST(PlatformFile, FileInfoOfFilesDirectoriesAndNothing)
{
    TempDir tmp;
    tmp.WriteFile("f.txt", "12345");
    int64 now = GetTimeMs();
    FileInfo f = Platform_GetFileInfo(S(tmp.Join("f.txt")));
    EXPECT_TRUE(f.exists);
    EXPECT_FALSE(f.isDirectory);
    EXPECT_FALSE(f.isReadOnly);
    EXPECT_EQ(f.size, 5u);
    EXPECT_LE(std::llabs(UtcDateTimeToTime(f.lastWriteTime) - now), 10000);
    EXPECT_LE(std::llabs(UtcDateTimeToTime(f.creationTime) - now), 10000);

    chmod(tmp.Join("f.txt").c_str(), 0444);
    EXPECT_TRUE(Platform_GetFileInfo(S(tmp.Join("f.txt"))).isReadOnly);

    FileInfo d = Platform_GetFileInfo(S(tmp.Path()));
    EXPECT_TRUE(d.exists);
    EXPECT_TRUE(d.isDirectory);
    EXPECT_EQ(d.size, 0u);

    FileInfo none = Platform_GetFileInfo(S(tmp.Join("missing")));
    EXPECT_FALSE(none.exists);
    EXPECT_EQ(none.size, 0u);
    EXPECT_EQ(none.lastWriteTime.year, 0);
    EXPECT_TRUE(Platform_PathExists(S(tmp.Join("f.txt"))));
    EXPECT_TRUE(Platform_PathExists(S(tmp.Path())));
    EXPECT_FALSE(Platform_PathExists(S(tmp.Join("missing"))));
    EXPECT_FALSE(Platform_PathExists(""));
}

TEST(PlatformFile, ListingReportsHiddenEntriesButNotDots)
{
    TempDir tmp;
    tmp.WriteFile(".hidden", "h");
    tmp.WriteFile("file.txt", "abc");
    Platform_CreateDirectory(S(tmp.Join("sub")));
    tmp.WriteFile("sub/inner.txt", "x");

    RecordingVisitor visitor;
    EXPECT_TRUE(Platform_IterateDirectory(S(tmp.Path()), visitor));
    std::vector<std::string> sorted = visitor.paths;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{tmp.Join(".hidden"), tmp.Join("file.txt"), tmp.Join("sub")}));
    for (size_t i = 0; i < visitor.paths.size(); ++i)
    {
        EXPECT_EQ(visitor.directories[i], tmp.Path());
        EXPECT_TRUE(visitor.infos[i].exists);
        bool isSub = visitor.paths[i] == tmp.Join("sub");
        EXPECT_EQ(static_cast<bool>(visitor.infos[i].isDirectory), isSub);
        if (isSub)
        {
            EXPECT_EQ(visitor.infos[i].size, 0u);
        }
        if (visitor.paths[i] == tmp.Join("file.txt"))
        {
            EXPECT_EQ(visitor.infos[i].size, 3u);
        }
    }

    // A trailing separator or backslashes do not double the separator in entry paths.
    RecordingVisitor trailing;
    std::string withBackslash = tmp.Path() + "\\sub\\";
    EXPECT_TRUE(Platform_IterateDirectory(S(withBackslash), trailing));
    EXPECT_EQ(trailing.paths, std::vector<std::string>{tmp.Path() + "/sub/inner.txt"});
    EXPECT_EQ(trailing.directories, std::vector<std::string>{tmp.Path() + "/sub/"});
}

TEST(PlatformFile, ListingAMissingDirectoryCallsNothing)
{
    TempDir tmp;
    RecordingVisitor visitor;
    EXPECT_FALSE(Platform_IterateDirectory(S(tmp.Join("missing")), visitor));
    EXPECT_FALSE(Platform_IterateDirectoryRecursively(S(tmp.Join("missing")), visitor));
    tmp.WriteFile("plain", "x");
    EXPECT_FALSE(Platform_IterateDirectory(S(tmp.Join("plain")), visitor));
    EXPECT_TRUE(visitor.paths.empty());
}

TEST(PlatformFile, VisitorStopsTheListingEarly)
{
    TempDir tmp;
    for (const char* name : {"a", "b", "c", "d"})
        tmp.WriteFile(name, name);
    RecordingVisitor visitor;
    visitor.stopAfter = 2;
    EXPECT_TRUE(Platform_IterateDirectory(S(tmp.Path()), visitor));
    EXPECT_EQ(visitor.paths.size(), 2u);
}

TEST(PlatformFile, RecursiveListingIsPreOrderAndHonoursSkip)
{
    TempDir tmp;
    tmp.WriteFile("d/sub/x.txt", "x");
    tmp.WriteFile("d/sub/deeper/y.txt", "y");
    tmp.WriteFile("d/skipme/z.txt", "z");
    tmp.WriteFile("d/top.txt", "t");

    RecordingVisitor visitor;
    EXPECT_TRUE(Platform_IterateDirectoryRecursively(S(tmp.Join("d")), visitor));
    const auto& p = visitor.paths;
    EXPECT_LT(IndexOf(p, tmp.Join("d/sub")), IndexOf(p, tmp.Join("d/sub/x.txt")));
    EXPECT_LT(IndexOf(p, tmp.Join("d/sub/deeper")), IndexOf(p, tmp.Join("d/sub/deeper/y.txt")));
    EXPECT_LT(IndexOf(p, tmp.Join("d/sub/deeper/y.txt")), p.size());
    EXPECT_LT(IndexOf(p, tmp.Join("d/top.txt")), p.size());
    // The skipped directory is visited itself, but not entered.
    EXPECT_LT(IndexOf(p, tmp.Join("d/skipme")), p.size());
    EXPECT_EQ(IndexOf(p, tmp.Join("d/skipme/z.txt")), p.size());
    EXPECT_EQ(p.size(), 6u);
    // Each entry names the directory being listed.
    EXPECT_EQ(visitor.directories[IndexOf(p, tmp.Join("d/sub/x.txt"))], tmp.Join("d/sub"));
}

TEST(PlatformFile, StoppingInsideASubdirectoryEndsOnlyThatListing)
{
    TempDir tmp;
    tmp.WriteFile("d/sub/a.txt", "a");
    tmp.WriteFile("d/sub/b.txt", "b");
    tmp.WriteFile("d/sub/c.txt", "c");
    for (const char* name : {"d/p.txt", "d/q.txt", "d/r.txt"})
        tmp.WriteFile(name, "x");

    std::vector<std::string> seen;
    bool stoppedInSub = false;
    Platform_IterateDirectoryRecursively(S(tmp.Join("d")),
                                         [&](const FilePath& dir, const DirEntry& entry)
                                         {
                                             seen.emplace_back(entry.path.c_str());
                                             if (std::string(dir.c_str()) == tmp.Join("d/sub") &&
                                                 !stoppedInSub)
                                             {
                                                 stoppedInSub = true;
                                                 return false;
                                             }
                                             return true;
                                         });
    size_t inSub = std::count_if(seen.begin(), seen.end(),
                                 [&](const std::string& s) { return s.rfind(tmp.Join("d/sub/"), 0) == 0; });
    EXPECT_EQ(inSub, 1u);
    EXPECT_EQ(seen.size(), 5u) << "sub, one of its files, and the three files of d";
}

TEST(PlatformFile, UnopenableSubdirectoryDoesNotEndTheParentListing)
{
    TempDir tmp;
    for (const char* name : {"d/a.txt", "d/b.txt", "d/c.txt", "d/e.txt", "d/gone/x.txt", "d/ok/y.txt"})
        tmp.WriteFile(name, "x");

    // The visitor removes "gone" when it is reported, so the descent into it cannot open it,
    // whatever order the listing has.
    std::vector<std::string> seen;
    bool result = Platform_IterateDirectoryRecursively(S(tmp.Join("d")),
                                                       [&](const FilePath&, const DirEntry& entry)
                                                       {
                                                           std::string path = entry.path.c_str();
                                                           seen.push_back(path);
                                                           if (path == tmp.Join("d/gone"))
                                                               std::filesystem::remove_all(path);
                                                           return true;
                                                       });
    EXPECT_TRUE(result);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{tmp.Join("d/a.txt"), tmp.Join("d/b.txt"), tmp.Join("d/c.txt"),
                                              tmp.Join("d/e.txt"), tmp.Join("d/gone"), tmp.Join("d/ok"),
                                              tmp.Join("d/ok/y.txt")}));
}

TEST(PlatformFile, UnreadableSubdirectoryIsSkipped)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permission bits do not stop root";
    TempDir tmp;
    tmp.WriteFile("d/locked/x.txt", "x");
    tmp.WriteFile("d/z.txt", "z");
    tmp.WriteFile("d/a.txt", "a");
    chmod(tmp.Join("d/locked").c_str(), 0);
    std::vector<std::string> seen;
    Platform_IterateDirectoryRecursively(S(tmp.Join("d")),
                                         [&](const FilePath&, const DirEntry& entry)
                                         {
                                             seen.emplace_back(entry.path.c_str());
                                             return true;
                                         });
    EXPECT_EQ(seen.size(), 3u);
}

TEST(PlatformFile, LinkedDirectoriesAreReportedButNotEntered)
{
    TempDir tmp;
    tmp.WriteFile("d/real/x.txt", "x");
    ASSERT_EQ(symlink(tmp.Join("d").c_str(), tmp.Join("d/real/loop").c_str()), 0);
    ASSERT_EQ(symlink(tmp.Join("nowhere").c_str(), tmp.Join("d/dangling").c_str()), 0);
    RecordingVisitor visitor;
    EXPECT_TRUE(Platform_IterateDirectoryRecursively(S(tmp.Join("d")), visitor));
    const auto& p = visitor.paths;
    ASSERT_LT(IndexOf(p, tmp.Join("d/real/loop")), p.size());
    EXPECT_TRUE(visitor.infos[IndexOf(p, tmp.Join("d/real/loop"))].isDirectory);
    EXPECT_LT(IndexOf(p, tmp.Join("d/dangling")), p.size());
    EXPECT_EQ(p.size(), 4u);
}

TEST(PlatformFile, FindFilesInDirectoryMatchesNamesOnly)
{
    TempDir tmp;
    for (const char* name :
         {"dumps/a.dmp", "dumps/b.dmp", "dumps/a.DMP", "dumps/notes.txt", "dumps/sub/c.dmp"})
        tmp.WriteFile(name, "x");
    Platform_CreateDirectory(S(tmp.Join("dumps/dir.dmp")));

    std::vector<FilePath> files;
    Platform_FindFilesInDirectory(files, S(tmp.Join("dumps")), "*.dmp");
    EXPECT_EQ(Names(files), (std::vector<std::string>{tmp.Join("dumps/a.dmp"), tmp.Join("dumps/b.dmp")}));

    // Appends; a null pattern takes every file.
    Platform_FindFilesInDirectory(files, S(tmp.Join("dumps")), nullptr);
    EXPECT_EQ(files.size(), 6u);

    std::vector<FilePath> single;
    Platform_FindFilesInDirectory(single, S(tmp.Join("dumps")), "?.dmp");
    EXPECT_EQ(single.size(), 2u);
    std::vector<FilePath> none;
    Platform_FindFilesInDirectory(none, S(tmp.Join("missing")), "*");
    EXPECT_TRUE(none.empty());
}

TEST(PlatformFile, NamesWithSpacesQuotesAndUtf8)
{
    TempDir tmp;
    const std::string names[] = {"with space.log", "quote'\"s.log", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.log"};
    for (const std::string& n : names)
        tmp.WriteFile(n, n);
    std::vector<FilePath> files;
    Platform_FindFilesInDirectory(files, S(tmp.Path()), "*.log");
    std::vector<std::string> expected;
    for (const std::string& n : names)
        expected.push_back(tmp.Join(n));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Names(files), expected);
}

TEST(PlatformFile, DeleteFileRemovesOnlyFiles)
{
    TempDir tmp;
    tmp.WriteFile("f", "x");
    Platform_CreateDirectory(S(tmp.Join("dir")));
    EXPECT_TRUE(Platform_DeleteFile(S(tmp.Join("f"))));
    EXPECT_FALSE(Exists(tmp.Join("f")));
    EXPECT_FALSE(Platform_DeleteFile(S(tmp.Join("f"))));
    EXPECT_FALSE(Platform_DeleteFile(S(tmp.Join("dir"))));
    EXPECT_TRUE(IsDir(tmp.Join("dir")));
    EXPECT_FALSE(Platform_DeleteFile("/dev/null"));
    EXPECT_TRUE(Exists("/dev/null"));
}

TEST(PlatformFile, WorkingDirectoryAndExecutable)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    if (std::string(cwd).size() <= 260)
    {
        EXPECT_STREQ(Platform_GetCurrentDirectory().c_str(), cwd);
    }
    std::string exe = Platform_GetExecutablePath().c_str();
    EXPECT_EQ(exe, std::filesystem::canonical("/proc/self/exe").string());
    EXPECT_TRUE(Platform_IsAbsolutePath(exe.c_str()));
}

// A lock another holder has is busy; a path that cannot be a lock file at all is told apart from it;
// a lock file this process may only read still locks; a link is never followed.
TEST(PlatformFile, LockFileTellsBusyFromUnusable)
{
    Morvex::Test::TempDir dir;
    const std::string path = dir.Join("report.lock");
    const int64 first = Platform_LockFile(StrView(path.c_str()), false);
    ASSERT_GE(first, 0);
    // flock belongs to the open file description: a second open, here as in another process, waits.
    EXPECT_EQ(Platform_LockFile(StrView(path.c_str()), false), kLockBusy);
    Platform_UnlockFile(first);
    const int64 again = Platform_LockFile(StrView(path.c_str()), false);
    EXPECT_GE(again, 0) << "unlocked with its holder";
    Platform_UnlockFile(again);

    chmod(path.c_str(), 0400);
    const int64 readOnly = Platform_LockFile(StrView(path.c_str()), false);
    EXPECT_GE(readOnly, 0);
    EXPECT_EQ(Platform_LockFile(StrView(path.c_str()), false), kLockBusy);
    Platform_UnlockFile(readOnly);

    std::filesystem::create_directories(dir.Join("folder"));
    symlink(path.c_str(), dir.Join("link.lock").c_str());
    for (const std::string& unusable :
         {dir.Join("folder"), dir.Join("missing/x.lock"), dir.Join("link.lock")})
        EXPECT_EQ(Platform_LockFile(StrView(unusable.c_str()), false), kLockFailed) << unusable;
}

// Copies inside the system: exactly the bytes asked for from where each file stands, a source that
// ends early told apart from a full disk, and files the system cannot copy left to the caller.
TEST(PlatformFile, CopyFileDataInsideTheSystem)
{
    TempDir dir;
    std::string data(3 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131) >> 3);
    dir.WriteFile("source", data);
    auto open = [](const std::string& path, int flags)
    { return static_cast<int64>(::open(path.c_str(), flags | O_CLOEXEC, 0600)); };

    struct Case
    {
        const char* what;
        uint64 skip; // bytes of the source already read
        uint64 size;
        CopyDataResult expected;
        uint64 expectedCopied;
    };
    const Case cases[] = {
        {"whole", 0, data.size(), CopyDataResult::Copied, data.size()},
        {"from where the source stands", 1000, 5000, CopyDataResult::Copied, 5000},
        {"a source that ends first", 0, data.size() + 100, CopyDataResult::SourceShort, data.size()},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const int64 from = open(dir.Join("source"), O_RDONLY);
        const int64 to = open(dir.Join("copy"), O_WRONLY | O_CREAT | O_TRUNC);
        ASSERT_GE(from, 0);
        ASSERT_GE(to, 0);
        ASSERT_EQ(::lseek(static_cast<int>(from), static_cast<off_t>(c.skip), SEEK_SET),
                  static_cast<off_t>(c.skip));
        uint64 copied = 0;
        const CopyDataResult result = Platform_CopyFileData(from, to, c.size, copied);
        ::close(static_cast<int>(from));
        ::close(static_cast<int>(to));
        if (result == CopyDataResult::Unsupported)
            GTEST_SKIP() << "this file system copies only through memory";
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(copied, c.expectedCopied);
        EXPECT_TRUE(dir.ReadFile("copy") == data.substr(c.skip, c.expectedCopied));
    }

    // A file the system makes up as it is read: left to the caller, nothing written.
    {
        const int64 from = open("/proc/self/status", O_RDONLY);
        const int64 to = open(dir.Join("status"), O_WRONLY | O_CREAT | O_TRUNC);
        uint64 copied = 7;
        EXPECT_EQ(Platform_CopyFileData(from, to, 100, copied), CopyDataResult::Unsupported);
        EXPECT_EQ(copied, 0u);
        ::close(static_cast<int>(from));
        ::close(static_cast<int>(to));
    }

    // A full disk is an error, not a short source.
    ScopedTmpfs small(256 * 1024);
    if (small.Active())
    {
        const int64 from = open(dir.Join("source"), O_RDONLY);
        const int64 to = open(small.Path() + "/copy", O_WRONLY | O_CREAT | O_TRUNC);
        uint64 copied = 0;
        const CopyDataResult result = Platform_CopyFileData(from, to, data.size(), copied);
        EXPECT_TRUE(result == CopyDataResult::Failed || result == CopyDataResult::Unsupported)
            << static_cast<int>(result);
        EXPECT_LT(copied, data.size());
        ::close(static_cast<int>(from));
        ::close(static_cast<int>(to));
    }
}
