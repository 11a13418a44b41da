// Report preparation against real temporary folders: what is copied, in which order, under which
// names, and what happens with unreadable, oversized or uncopyable files.

#include "CrashReporter.h"

#include "Core/IO/PlatformFile.h"
#include "Core/Timing/PlatformTime.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

// Fresh settings, report and working directory for each case.
class ReportData : public testing::Test
{
protected:
    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        m_oldCwd = cwd;
        ASSERT_EQ(chdir(m_work.Path().c_str()), 0);
        m_settings.userPath.Assign(S(m_work.Join("U")));
        m_settings.dumpPath.Assign(S(m_work.Join("D")));
        m_settings.id.Assign("42");
    }
    void TearDown() override { ASSERT_EQ(chdir(m_oldCwd.c_str()), 0); }

    uint32 Prepare() { return PrepareReportData(m_settings, m_report); }

    void AddWildcard(const std::string& entry) { m_settings.wildcards.emplace_back(S(entry)); }

    std::vector<std::string> Reported() const
    {
        std::vector<std::string> out;
        for (const Morvex::ReportFile& f : m_report.reportFiles)
            out.emplace_back(f.name.c_str());
        return out;
    }

    std::string ReportFile(const std::string& name) const
    {
        std::string path = std::string(m_report.reportFolder.c_str()) + "/" + name;
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
    CrashReporterSettings m_settings;
    Morvex::Report m_report;
};

const std::regex kStamp("\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}\\.\\d{2}\\.\\d{2}");
} // namespace

TEST_F(ReportData, DumpAloneGivesOneCopyInADatedFolder)
{
    m_work.WriteFile("D/42.dmp", "dump");
    EXPECT_EQ(Prepare(), 1u);
    std::string folder = m_report.reportFolder.c_str();
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
    m_settings.scriptErrorsPath.Assign("x.txt");
    EXPECT_EQ(Prepare(), 0u);
    EXPECT_TRUE(m_report.reportFiles.empty());
    m_work.WriteFile("L/errors.txt", "e");
    AddWildcard(m_work.Join("L/*.txt"));
    EXPECT_EQ(Prepare(), 1u);
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
    EXPECT_EQ(Prepare(), 6u);
    EXPECT_EQ(Reported(),
              (std::vector<std::string>{"42.dmp", "B.log", "a.log", "a.log.1", "b.log", "c.log"}));
    EXPECT_EQ(ReportFile("a.log"), "L/a.log");
}

TEST_F(ReportData, DuplicatesAndSameNamesFromTwoFolders)
{
    m_work.WriteFile("X/same.log", "from X");
    m_work.WriteFile("Y/same.log", "from Y");
    m_work.WriteFile("Z/same.log", "from Z");
    // The same file through the same spelled path counts once; a second spelling is a new path.
    AddWildcard(m_work.Join("X/*.log"));
    AddWildcard(m_work.Join("X/same.log"));
    AddWildcard(m_work.Join("Y/*.log"));
    AddWildcard(m_work.Join("Z/same.log"));
    EXPECT_EQ(Prepare(), 3u);
    // Each file keeps its own copy and entry: none overwrites another.
    EXPECT_EQ(Reported(), (std::vector<std::string>{"same.log", "same (2).log", "same (3).log"}));
    EXPECT_EQ(ReportFile("same.log"), "from X");
    EXPECT_EQ(ReportFile("same (2).log"), "from Y");
    EXPECT_EQ(ReportFile("same (3).log"), "from Z");
}

TEST_F(ReportData, PatternMatchingTheDumpCopiesItTwice)
{
    m_work.WriteFile("D/42.dmp", "dump");
    AddWildcard(m_work.Join("D/*.dmp"));
    EXPECT_EQ(Prepare(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"42.dmp", "42 (2).dmp"}));
    EXPECT_EQ(ReportFile("42 (2).dmp"), "dump");
}

TEST(ReportNames, SecondAndLaterNamesGetANumber)
{
    auto taken = [](std::initializer_list<const char*> names)
    {
        std::vector<Morvex::ReportFile> files;
        for (const char* n : names)
            files.emplace_back(FilePath(n));
        return files;
    };
    struct Case
    {
        std::vector<Morvex::ReportFile> taken;
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {taken({}), "a.log", "a.log"},
        {taken({"a.log"}), "a.log", "a (2).log"},
        {taken({"a.log", "a (2).log"}), "a.log", "a (3).log"},
        {taken({"a.log", "a (3).log"}), "a.log", "a (2).log"},
        {taken({"A.log"}), "a.log", "a.log"},
        {taken({"dump"}), "dump", "dump (2)"},
        {taken({".profile"}), ".profile", ".profile (2)"},
        {taken({"x.tar.gz"}), "x.tar.gz", "x.tar (2).gz"},
        {taken({"42.dmp"}), "42.dmp", "42 (2).dmp"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(UniqueReportName(StrView(c.name), c.taken).c_str(), c.expected) << c.name;
}

TEST_F(ReportData, RelativePatternsAndAnEmptyUserPath)
{
    m_work.WriteFile("notes.txt", "n");
    m_work.WriteFile("logs/run.log", "r");
    m_settings.userPath.Clear();
    AddWildcard("*.txt");
    AddWildcard("logs\\*.log");
    AddWildcard("");
    EXPECT_EQ(Prepare(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"run.log", "notes.txt"}));
    std::string folder = m_report.reportFolder.c_str();
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
    EXPECT_EQ(Prepare(), 0u);
}

TEST_F(ReportData, RootedPatternsListTheRootHere)
{
    // A leading separator is the file system's root: "/name" is looked up there, not in the
    // working directory.
    m_work.WriteFile("morvex-none.log", "x");
    AddWildcard("/morvex-none.log");
    EXPECT_EQ(Prepare(), 0u);
}

TEST_F(ReportData, NamesWithSpacesQuotesAndUtf8)
{
    const std::vector<std::string> names = {"a space.log", "q'\"uote.log", "\xC3\xA9t\xC3\xA9.log"};
    for (const std::string& n : names)
        m_work.WriteFile("L dir/" + n, n);
    m_settings.userPath.Assign(S(m_work.Join("user \xE2\x82\xAC")));
    AddWildcard(m_work.Join("L dir/*.log"));
    EXPECT_EQ(Prepare(), 3u);
    for (const std::string& n : names)
        EXPECT_EQ(ReportFile(n), n);
}

TEST_F(ReportData, DumpNameWithSeparatorsStaysInTheReportFolder)
{
    m_work.WriteFile("D/sub/7.dmp", "nested");
    m_settings.id.Assign("sub/7");
    EXPECT_EQ(Prepare(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"7.dmp"});
    EXPECT_EQ(ReportFile("7.dmp"), "nested");

    m_work.WriteFile("D/../escape.dmp", "outside");
    m_settings.id.Assign("../escape");
    EXPECT_EQ(Prepare(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"escape.dmp"});
    EXPECT_FALSE(Exists(m_work.Join("U/Exceptions/escape.dmp")));
}

// A report folder that cannot be made (here: --user-path is a file, and this process has no user
// data folder to fall back to) no longer loses the report: its files are sent from where they are.
TEST_F(ReportData, UserPathThatIsARegularFile)
{
    m_work.WriteFile("D/42.dmp", "dump");
    m_work.WriteFile("L/a.log", "log");
    m_work.WriteFile("userfile", "mine");
    m_settings.userPath.Assign(S(m_work.Join("userfile")));
    AddWildcard(m_work.Join("L/*.log"));
    CapturingSink sink;
    EXPECT_EQ(Prepare(), 2u);
    EXPECT_TRUE(m_report.reportFolder.empty());
    EXPECT_TRUE(sink.Contains(Log::Error,
                              "Could not make the report folder in '" + m_work.Join("userfile/Exceptions")));
    ASSERT_EQ(m_report.reportFiles.size(), 2u);
    EXPECT_FALSE(m_report.reportFiles[0].copied);
    EXPECT_EQ(std::string(m_report.reportFiles[0].source.c_str()), m_work.Join("D/42.dmp"));
    EXPECT_EQ(std::string(m_report.reportFiles[1].source.c_str()), m_work.Join("L/a.log"));
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
    m_settings.userPath.Assign(S(m_work.Join("ro")));
    CapturingSink sink;
    EXPECT_EQ(Prepare(), 1u);
    EXPECT_TRUE(sink.Contains(Log::Error, "Could not make the report folder"));
    ASSERT_EQ(m_report.reportFiles.size(), 1u);
    EXPECT_FALSE(m_report.reportFiles[0].copied);
}

// Every run makes a report folder of its own, even in the same second as another run: a folder that
// exists already is never shared (before, the second run's copies mixed into the first run's).
TEST_F(ReportData, AFolderThatExistsIsNeverShared)
{
    m_work.WriteFile("D/42.dmp", "dump");
    std::vector<std::string> folders;
    for (int run = 0; run < 3; ++run)
    {
        ASSERT_EQ(Prepare(), 1u);
        folders.emplace_back(m_report.reportFolder.c_str());
    }
    // Runs within one second get "<stamp>", "<stamp> (2)", "<stamp> (3)"; across a second boundary
    // a fresh stamp. Either way: three different folders, each with its own copy.
    std::sort(folders.begin(), folders.end());
    EXPECT_TRUE(std::unique(folders.begin(), folders.end()) == folders.end());
    for (const std::string& f : folders)
        EXPECT_EQ(m_work.ReadFile(f.substr(m_work.Path().size() + 1) + "/42.dmp"), "dump") << f;

    // A folder planted under the name of this second (and the next) is left alone.
    m_work.WriteFile("D/42.dmp", "second dump");
    DateTime now = GetLocalDateTime();
    for (int64 delta : {0, 1000})
    {
        DateTime t = TimeToLocalDateTime(LocalDateTimeToTime(now) + delta);
        char stamp[64];
        std::snprintf(stamp, sizeof(stamp), "%04d.%02d.%02d %02d.%02d.%02d", t.year, t.month, t.day, t.hour,
                      t.minute, t.second);
        m_work.WriteFile(std::string("U/Exceptions/") + stamp + "/42.dmp", "someone else's");
    }
    ASSERT_EQ(Prepare(), 1u);
    EXPECT_EQ(ReportFile("42.dmp"), "second dump");
    EXPECT_NE(std::string(m_report.reportFolder.c_str()).find(" ("), std::string::npos)
        << m_report.reportFolder.c_str();
}

// The report folder and the copies are the player's alone, whatever the umask and the sources' modes.
TEST_F(ReportData, FolderAndCopiesArePrivate)
{
    m_work.WriteFile("D/42.dmp", "dump");
    chmod(m_work.Join("D/42.dmp").c_str(), 0644);
    mode_t old = umask(022);
    EXPECT_EQ(Prepare(), 1u);
    umask(old);
    struct stat folder
    {
    }, copy{}, exceptions{};
    ASSERT_EQ(stat(m_report.reportFolder.c_str(), &folder), 0);
    ASSERT_EQ(stat((std::string(m_report.reportFolder.c_str()) + "/42.dmp").c_str(), &copy), 0);
    ASSERT_EQ(stat(m_work.Join("U/Exceptions").c_str(), &exceptions), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(exceptions.st_mode & 0777, 0700u);
    EXPECT_EQ(copy.st_mode & 0777, 0600u);
}

// A pattern's matches: regular files, and links whose target lies in the pattern's folder. A link to
// a file elsewhere (a player's private file) and anything that is not a file are skipped by name.
TEST_F(ReportData, LinksOutsideThePatternFolderAreNotFollowed)
{
    m_work.WriteFile("L/game.log", "game");
    m_work.WriteFile("L/old/rotated.log.txt", "rotated");
    m_work.WriteFile("private/secret.txt", "secret");
    ASSERT_EQ(symlink("game.log", m_work.Join("L/current.log").c_str()), 0);
    ASSERT_EQ(symlink(m_work.Join("L/old/rotated.log.txt").c_str(), m_work.Join("L/inner.log").c_str()), 0);
    ASSERT_EQ(symlink(m_work.Join("private/secret.txt").c_str(), m_work.Join("L/secret.log").c_str()), 0);
    ASSERT_EQ(symlink("../L/../private/secret.txt", m_work.Join("L/sneaky.log").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", m_work.Join("L/dangling.log").c_str()), 0);
    ASSERT_EQ(mkfifo(m_work.Join("L/pipe.log").c_str(), 0600), 0);
    AddWildcard(m_work.Join("L/*.log"));
    CapturingSink sink;
    EXPECT_EQ(Prepare(), 3u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"current.log", "game.log", "inner.log"}));
    EXPECT_EQ(ReportFile("current.log"), "game");
    EXPECT_EQ(ReportFile("inner.log"), "rotated");
    for (const char* skipped : {"L/secret.log", "L/sneaky.log"})
        EXPECT_TRUE(sink.Contains(Log::Warning, "Skipping '" + m_work.Join(skipped) + "': a link to"))
            << skipped;
    EXPECT_TRUE(
        sink.Contains(Log::Warning, "Skipping '" + m_work.Join("L/pipe.log") + "': not a regular file"));
    EXPECT_FALSE(sink.Contains("secret\n"));
}

// A copy that fails (here: a full disk, made with a file-size limit) no longer drops the file: it is
// sent from its source.
TEST_F(ReportData, AFileThatCannotBeCopiedIsSentFromItsSource)
{
    m_work.WriteFile("D/42.dmp", std::string(100000, 'd'));
    m_work.WriteFile("L/small.log", "small");
    AddWildcard(m_work.Join("L/*.log"));
    CapturingSink sink;
    {
        Morvex::Test::ScopedFileSizeLimit limit(4096);
        ASSERT_TRUE(limit.Active());
        EXPECT_EQ(Prepare(), 2u);
    }
    ASSERT_EQ(m_report.reportFiles.size(), 2u);
    EXPECT_FALSE(m_report.reportFiles[0].copied);
    EXPECT_EQ(std::string(m_report.reportFiles[0].source.c_str()), m_work.Join("D/42.dmp"));
    EXPECT_TRUE(m_report.reportFiles[1].copied);
    EXPECT_TRUE(sink.Contains(Log::Warning, "'" + m_work.Join("D/42.dmp") + "' could not be copied"));
    EXPECT_FALSE(Exists(std::string(m_report.reportFolder.c_str()) + "/42.dmp")) << "no partial copy is left";
}

// Paths far longer than the old fixed limit: a 1000-byte --user-path, a 300-byte --dump-path and a
// 250-byte log name are copied whole, each under its own name.
TEST_F(ReportData, LongPathsAreCopiedWhole)
{
    std::string user = "U";
    while (user.size() < 1000)
        user += "/" + std::string(200, 'u');
    std::string dumps = "D";
    while (dumps.size() < 300)
        dumps += "/" + std::string(100, 'd');
    const std::string logName = std::string(246, 'l') + ".log";
    m_work.WriteFile(dumps + "/42.dmp", "the dump");
    m_work.WriteFile("L/" + logName, "the log");
    m_settings.userPath.Assign(S(m_work.Join(user)));
    m_settings.dumpPath.Assign(S(m_work.Join(dumps)));
    AddWildcard(m_work.Join("L/*.log"));
    EXPECT_EQ(Prepare(), 2u);
    EXPECT_EQ(Reported(), (std::vector<std::string>{"42.dmp", logName}));
    EXPECT_EQ(std::string(m_report.reportFolder.c_str()).rfind(m_work.Join(user + "/Exceptions/"), 0), 0u);
    EXPECT_EQ(ReportFile("42.dmp"), "the dump");
    EXPECT_EQ(ReportFile(logName), "the log");
}

TEST_F(ReportData, OverlongIdNamesNoFile)
{
    std::string longId(300, 'i');
    m_settings.id.Assign(S(longId));
    EXPECT_EQ(m_settings.id.length(), 300u);
    m_work.WriteFile("D/x.dmp", "x");
    // No file name can be 304 bytes long: nothing is copied, and nothing crashes.
    EXPECT_EQ(Prepare(), 0u);
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
    EXPECT_EQ(Prepare(), 1u);
    EXPECT_EQ(Reported(), std::vector<std::string>{"small.log"});
    EXPECT_TRUE(sink.Contains(Log::Error, huge)) << "the error names the file";
    EXPECT_FALSE(Exists(std::string(m_report.reportFolder.c_str()) + "/huge.log"));
}

TEST(CopyReportFile, CopiesWholeFilesAndEmptyOnes)
{
    TempDir tmp;
    std::string content(200000, 'c');
    content[12345] = 0;
    tmp.WriteFile("src.bin", content);
    tmp.WriteFile("empty", "");
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
    CapturingSink sink;
    EXPECT_FALSE(CopyReportFile(S(dir.Join("big.dmp")), S(dir.Path() + "/./sub/../big.dmp")));
    EXPECT_EQ(dir.ReadFile("big.dmp"), big);
}

// A copy is always a new file: whatever exists under its name (another run's file, a device, a link
// planted to make the reporter write through it) is left alone.
TEST(CopyReportFile, NeverWritesThroughAnExistingName)
{
    TempDir tmp;
    tmp.WriteFile("src.txt", "some report text");
    tmp.WriteFile("victim", "precious");
    tmp.WriteFile("existing", "previous");
    ASSERT_EQ(symlink(tmp.Join("victim").c_str(), tmp.Join("link").c_str()), 0);
    for (const std::string& destination : {tmp.Join("link"), tmp.Join("existing"), std::string("/dev/full")})
    {
        CapturingSink sink;
        EXPECT_FALSE(CopyReportFile(S(tmp.Join("src.txt")), S(destination))) << destination;
        EXPECT_TRUE(sink.Contains(Log::Error, "Failed to create file '" + destination + "'")) << destination;
    }
    EXPECT_EQ(tmp.ReadFile("victim"), "precious");
    EXPECT_EQ(tmp.ReadFile("existing"), "previous");
    EXPECT_TRUE(Exists("/dev/full"));
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

// A copy made after the file was checked refuses a source whose path now names another file.
TEST(CopyReportFile, ASourceThatIsNoLongerTheListedFileIsLeftOut)
{
    TempDir tmp;
    tmp.WriteFile("listed.log", "listed");
    tmp.WriteFile("other", "something else");
    const FileIdentity listed = Platform_GetFileIdentity(S(tmp.Join("listed.log")));
    ASSERT_EQ(unlink(tmp.Join("listed.log").c_str()), 0);
    ASSERT_EQ(symlink(tmp.Join("other").c_str(), tmp.Join("listed.log").c_str()), 0);
    CapturingSink sink;
    bool opened = true;
    EXPECT_FALSE(CopyReportFile(S(tmp.Join("listed.log")), S(tmp.Join("copy.log")), &opened, &listed));
    EXPECT_FALSE(opened) << "treated like a file that cannot be read: it is not sent from its source either";
    EXPECT_FALSE(Exists(tmp.Join("copy.log")));
    EXPECT_TRUE(sink.Contains(Log::Warning, "is no longer the file that was listed"));
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
