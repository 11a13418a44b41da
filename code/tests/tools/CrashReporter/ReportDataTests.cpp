// Report preparation against real temporary folders: what is copied, in which order, under which
// names, and what happens with unreadable, oversized or uncopyable files.

#include "CrashReporter.h"

#include "Core/IO/PlatformFile.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::CapturingSink;
using Morvex::Test::TempDir;

namespace
{
StrView S(const std::string& s)
{
    return StrView(s.data(), static_cast<uint32>(s.size()));
}

bool Exists(const std::string& path)
{
    struct stat st
    {
    };
    return lstat(path.c_str(), &st) == 0;
}

// Fresh settings, results and working directory for each case.
class ReportData : public testing::Test
{
protected:
    void SetUp() override
    {
        GSettings = CrashReporterSettings();
        GReportFiles.clear();
        GReportFolder.Clear();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_work.Path().c_str()), 0);
        GSettings.userPath.Assign(S(m_work.Join("U")));
        GSettings.dumpPath.Assign(S(m_work.Join("D")));
        GSettings.id.Assign("42");
    }
    void TearDown() override
    {
        ASSERT_EQ(chdir(m_oldCwd.c_str()), 0);
        GSettings = CrashReporterSettings();
        GReportFiles.clear();
    }

    void AddWildcard(const std::string& entry) { GSettings.wildcards.emplace_back(S(entry)); }

    std::vector<std::string> Reported() const
    {
        std::vector<std::string> out;
        for (const FilePath& f : GReportFiles)
            out.emplace_back(f.c_str());
        return out;
    }

    std::string ReportFile(const std::string& name) const
    {
        std::string path = std::string(GReportFolder.c_str()) + "/" + name;
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f)
            return "<missing>";
        std::string out;
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
            out.append(buffer, n);
        std::fclose(f);
        return out;
    }

    TempDir m_work;
    std::string m_oldCwd;
};

const std::regex kStamp("\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}\\.\\d{2}\\.\\d{2}");
} // namespace

TEST_F(ReportData, DumpAloneGivesOneCopyInADatedFolder)
{
    m_work.WriteFile("D/42.dmp", "dump");
    EXPECT_EQ(PrepareReportData(), 1u);
    std::string folder = GReportFolder.c_str();
    std::string prefix = m_work.Join("U/Exceptions/");
    ASSERT_EQ(folder.rfind(prefix, 0), 0u) << folder;
    EXPECT_TRUE(std::regex_match(folder.substr(prefix.size()), kStamp)) << folder;
    EXPECT_EQ(Reported(), std::vector<std::string>{"42.dmp"});
    EXPECT_EQ(ReportFile("42.dmp"), "dump");
    EXPECT_EQ(m_work.ReadFile("D/42.dmp"), "dump") << "the source stays as it was";
}

TEST_F(ReportData, ScriptErrorsModeDoesNotLookForTheDump)
{
    m_work.WriteFile("D/42.dmp", "dump");
    GSettings.scriptErrorsPath.Assign("x.txt");
    EXPECT_EQ(PrepareReportData(), 0u);
    EXPECT_TRUE(GReportFiles.empty());
    m_work.WriteFile("L/errors.txt", "e");
    AddWildcard(m_work.Join("L/*.txt"));
    EXPECT_EQ(PrepareReportData(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"errors.txt"});
}

TEST_F(ReportData, MatchesAreCopiedInByteOrder)
{
    // Created in reverse so the listing order differs from the byte order.
    for (const char* name : {"L/c.log", "L/b.log", "L/B.log", "L/a.log", "L/a.log.1", "L/skip.txt"})
        m_work.WriteFile(name, name);
    Platform_CreateDirectory(S(m_work.Join("L/dir.log")));
    m_work.WriteFile("D/42.dmp", "dump");
    AddWildcard(m_work.Join("L/*.log"));
    AddWildcard(m_work.Join("L/*.log*"));
    EXPECT_EQ(PrepareReportData(), 6u);
    EXPECT_EQ(Reported(),
              (std::vector<std::string>{"42.dmp", "B.log", "a.log", "a.log.1", "b.log", "c.log"}));
    EXPECT_EQ(ReportFile("a.log"), "L/a.log");
}

TEST_F(ReportData, DuplicatesAndSameNamesFromTwoFolders)
{
    m_work.WriteFile("X/same.log", "from X");
    m_work.WriteFile("Y/same.log", "from Y");
    // The same file through the same spelled path counts once; a second spelling is a new path.
    AddWildcard(m_work.Join("X/*.log"));
    AddWildcard(m_work.Join("X/same.log"));
    AddWildcard(m_work.Join("Y/*.log"));
    EXPECT_EQ(PrepareReportData(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"same.log", "same.log"}));
    EXPECT_EQ(ReportFile("same.log"), "from Y") << "the later copy overwrites the earlier";
}

TEST_F(ReportData, PatternMatchingTheDumpCopiesItTwice)
{
    m_work.WriteFile("D/42.dmp", "dump");
    AddWildcard(m_work.Join("D/*.dmp"));
    EXPECT_EQ(PrepareReportData(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"42.dmp", "42.dmp"}));
}

TEST_F(ReportData, RelativePatternsAndAnEmptyUserPath)
{
    m_work.WriteFile("notes.txt", "n");
    m_work.WriteFile("logs/run.log", "r");
    GSettings.userPath.Clear();
    AddWildcard("*.txt");
    AddWildcard("logs\\*.log");
    AddWildcard("");
    EXPECT_EQ(PrepareReportData(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"run.log", "notes.txt"}));
    std::string folder = GReportFolder.c_str();
    ASSERT_EQ(folder.rfind("Exceptions/", 0), 0u) << folder;
    EXPECT_TRUE(std::regex_match(folder.substr(11), kStamp));
    EXPECT_TRUE(Exists(m_work.Join(folder + "/notes.txt")));
}

TEST_F(ReportData, PatternsThatListNothing)
{
    m_work.WriteFile("L/a.log", "a");
    m_work.WriteFile("L1/x.log", "x");
    for (const std::string& entry : {m_work.Join("missing/*.log"), m_work.Join("L*/x.log"),
                                     m_work.Join("L/*.none"), std::string("C:/"), m_work.Join("L/")})
        AddWildcard(entry);
    EXPECT_EQ(PrepareReportData(), 0u);
}

TEST_F(ReportData, RootedPatternsListTheRootHere)
{
    // A leading separator is the file system's root: "/name" is looked up there, not in the
    // working directory.
    m_work.WriteFile("morvex-none.log", "x");
    AddWildcard("/morvex-none.log");
    EXPECT_EQ(PrepareReportData(), 0u);
}

TEST_F(ReportData, NamesWithSpacesQuotesAndUtf8)
{
    const std::vector<std::string> names = {"a space.log", "q'\"uote.log", "\xC3\xA9t\xC3\xA9.log"};
    for (const std::string& n : names)
        m_work.WriteFile("L dir/" + n, n);
    GSettings.userPath.Assign(S(m_work.Join("user \xE2\x82\xAC")));
    AddWildcard(m_work.Join("L dir/*.log"));
    EXPECT_EQ(PrepareReportData(), 3u);
    for (const std::string& n : names)
        EXPECT_EQ(ReportFile(n), n);
}

TEST_F(ReportData, DumpNameWithSeparatorsStaysInTheReportFolder)
{
    m_work.WriteFile("D/sub/7.dmp", "nested");
    GSettings.id.Assign("sub/7");
    EXPECT_EQ(PrepareReportData(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"7.dmp"});
    EXPECT_EQ(ReportFile("7.dmp"), "nested");

    m_work.WriteFile("D/../escape.dmp", "outside");
    GSettings.id.Assign("../escape");
    GReportFiles.clear();
    EXPECT_EQ(PrepareReportData(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"escape.dmp"});
    EXPECT_FALSE(Exists(m_work.Join("U/Exceptions/escape.dmp")));
}

TEST_F(ReportData, UserPathThatIsARegularFile)
{
    m_work.WriteFile("D/42.dmp", "dump");
    m_work.WriteFile("userfile", "mine");
    GSettings.userPath.Assign(S(m_work.Join("userfile")));
    CapturingSink sink;
    EXPECT_EQ(PrepareReportData(), 0u);
    EXPECT_TRUE(sink.Contains(Log::Error, "Failed to create file '" + m_work.Join("userfile/Exceptions/")));
    EXPECT_EQ(m_work.ReadFile("userfile"), "mine");
    EXPECT_EQ(m_work.ReadFile("D/42.dmp"), "dump");
}

TEST_F(ReportData, ReadOnlyUserPath)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permission bits do not stop root";
    m_work.WriteFile("D/42.dmp", "dump");
    Platform_CreateDirectory(S(m_work.Join("ro")));
    chmod(m_work.Join("ro").c_str(), 0555);
    GSettings.userPath.Assign(S(m_work.Join("ro")));
    CapturingSink sink;
    EXPECT_EQ(PrepareReportData(), 0u);
    EXPECT_TRUE(sink.Contains(Log::Error, "Failed to create file"));
}

TEST_F(ReportData, OverlongIdNamesNoFile)
{
    std::string longId(300, 'i');
    GSettings.id.Assign(S(longId));
    EXPECT_EQ(GSettings.id.length(), 300u);
    m_work.WriteFile("D/x.dmp", "x");
    // No file name can be 304 bytes long: nothing is copied, and nothing crashes.
    EXPECT_EQ(PrepareReportData(), 0u);
}

TEST_F(ReportData, OversizedSourceIsSkippedAndTheRunGoesOn)
{
    std::string huge = m_work.Join("L/huge.log");
    m_work.WriteFile("L/small.log", "s");
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    bool sparse = ftruncate(fd, 0x100000000LL) == 0;
    close(fd);
    if (!sparse)
        GTEST_SKIP() << "no sparse files here";
    AddWildcard(m_work.Join("L/*.log"));
    CapturingSink sink;
    EXPECT_EQ(PrepareReportData(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"small.log"});
    EXPECT_TRUE(sink.Contains(Log::Error, huge)) << "the error names the file";
    EXPECT_FALSE(Exists(std::string(GReportFolder.c_str()) + "/huge.log"));
}

TEST(CopyReportFile, CopiesWholeFilesAndEmptyOnes)
{
    TempDir tmp;
    std::string content(200000, 'c');
    content[12345] = 0;
    tmp.WriteFile("src.bin", content);
    tmp.WriteFile("empty", "");
    tmp.WriteFile("dst.bin", "previous content that is longer than nothing");
    EXPECT_TRUE(CopyReportFile(S(tmp.Join("src.bin")), S(tmp.Join("dst.bin"))));
    EXPECT_EQ(tmp.ReadFile("dst.bin"), content);
    EXPECT_TRUE(CopyReportFile(S(tmp.Join("empty")), S(tmp.Join("out/empty"))));
    EXPECT_TRUE(Exists(tmp.Join("out/empty")));
    EXPECT_EQ(tmp.ReadFile("out/empty"), "");

    CapturingSink sink;
    EXPECT_FALSE(CopyReportFile(S(tmp.Join("missing")), S(tmp.Join("never"))));
    EXPECT_TRUE(sink.Lines().empty()) << "a vanished source is skipped silently";
    EXPECT_FALSE(Exists(tmp.Join("never")));
    EXPECT_FALSE(CopyReportFile(S(tmp.Path()), S(tmp.Join("dir-copy"))));
}

TEST(CopyReportFile, LargeFilesAndCopiesOntoThemselvesStayWhole)
{
    // The copy streams through a small buffer: pieces must join up, and a file copied onto itself
    // (through another spelling of its path) must not be truncated before it is read.
    TempDir dir;
    std::string big;
    for (uint32 i = 0; i < (3u << 20) + 17; ++i)
        big += static_cast<char>('a' + i % 23);
    dir.WriteFile("big.dmp", big);
    EXPECT_TRUE(CopyReportFile(S(dir.Join("big.dmp")), S(dir.Join("copy.dmp"))));
    EXPECT_EQ(dir.ReadFile("copy.dmp"), big);
    EXPECT_TRUE(CopyReportFile(S(dir.Join("big.dmp")), S(dir.Path() + "/./sub/../big.dmp")));
    EXPECT_EQ(dir.ReadFile("big.dmp"), big);
}

TEST(CopyReportFile, FullDiskIsDetected)
{
    TempDir tmp;
    tmp.WriteFile("src.txt", "some report text");
    CapturingSink sink;
    EXPECT_FALSE(CopyReportFile(S(tmp.Join("src.txt")), "/dev/full"));
    EXPECT_TRUE(sink.Contains(Log::Error, "Failed to write file '/dev/full'"));
    EXPECT_TRUE(Exists("/dev/full")) << "only regular files are removed";
}

TEST(CopyReportFile, ShortWriteRemovesThePartialCopy)
{
    TempDir tmp;
    tmp.WriteFile("src.bin", std::string(100000, 'p'));
    CapturingSink sink;
    bool copied = false;
    {
        Morvex::Test::ScopedFileSizeLimit limit(4096);
        ASSERT_TRUE(limit.Active());
        copied = CopyReportFile(S(tmp.Join("src.bin")), S(tmp.Join("copy.bin")));
    }
    EXPECT_FALSE(copied);
    EXPECT_TRUE(sink.Contains(Log::Error, "Failed to write file '" + tmp.Join("copy.bin") + "'"));
    EXPECT_FALSE(Exists(tmp.Join("copy.bin")));
    EXPECT_EQ(tmp.ReadFile("src.bin").size(), 100000u);
}

TEST(CopyReportFile, UncreatableDestinationIsLogged)
{
    TempDir tmp;
    tmp.WriteFile("src.txt", "x");
    tmp.WriteFile("blocker", "file");
    CapturingSink sink;
    EXPECT_FALSE(CopyReportFile(S(tmp.Join("src.txt")), S(tmp.Join("blocker/copy.txt"))));
    EXPECT_TRUE(sink.Contains(Log::Error, "Failed to create file '" + tmp.Join("blocker/copy.txt") + "'"));
}
