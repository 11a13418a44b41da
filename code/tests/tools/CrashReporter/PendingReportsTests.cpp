// Kept reports: their state files (written atomically, read whatever they hold), the backoff, the
// hourly allowance and the bounds of the store, against real folders.

#include "PendingReports.h"

#include "Core/IO/PlatformFile.h"
#include "Core/Timing/PlatformTime.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

using namespace Morvex;
using Morvex::Test::CapturingSink;
using Morvex::Test::ScopedCVars;
using Morvex::Test::TempDir;
namespace fs = std::filesystem;

namespace
{
StrView S(const std::string& s)
{
    return StrView(s.data(), static_cast<uint32>(s.size()));
}

ReportState SampleState(const std::string& folder)
{
    ReportState state;
    state.status = ReportStatus::Pending;
    state.settings.userPath = "/home/player/game";
    state.settings.id = "42";
    state.settings.comments = "it broke\n\nwhile loading \"level 3\"\\ \t tab";
    state.settings.product = "Demo Game";
    state.settings.additional = "version-type=release;script=";
    state.report.reportFolder = folder.c_str();
    state.report.reportFiles = {FilePath("42.dmp"), FilePath("game log.txt")};
    ReportFile uncopied;
    uncopied.name = "big (2).dmp";
    uncopied.source = "/var/dumps/big dump.dmp";
    uncopied.identity = FileIdentity{12, UINT64_MAX, true}; // inode numbers use the whole range
    state.report.reportFiles.push_back(uncopied);
    state.eventPosted = true;
    state.attempts = 3;
    state.lastError = "HTTP 503";
    state.serverReportId = "";
    state.createdMs = 1700000000123LL;
    state.nextAttemptMs = 1700000900123LL;
    return state;
}

void ExpectSameState(const ReportState& a, const ReportState& b)
{
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.settings.userPath.view(), b.settings.userPath.view());
    EXPECT_EQ(a.settings.id.view(), b.settings.id.view());
    EXPECT_EQ(a.settings.comments.view(), b.settings.comments.view());
    EXPECT_EQ(a.settings.product.view(), b.settings.product.view());
    EXPECT_EQ(a.settings.additional.view(), b.settings.additional.view());
    EXPECT_EQ(a.settings.scriptErrorsPath.view(), b.settings.scriptErrorsPath.view());
    EXPECT_EQ(a.eventPosted, b.eventPosted);
    EXPECT_EQ(a.attempts, b.attempts);
    EXPECT_EQ(a.lastError, b.lastError);
    EXPECT_EQ(a.serverReportId, b.serverReportId);
    EXPECT_EQ(a.createdMs, b.createdMs);
    EXPECT_EQ(a.nextAttemptMs, b.nextAttemptMs);
    ASSERT_EQ(a.report.reportFiles.size(), b.report.reportFiles.size());
    for (size_t i = 0; i < a.report.reportFiles.size(); ++i)
    {
        EXPECT_EQ(a.report.reportFiles[i].name.view(), b.report.reportFiles[i].name.view());
        EXPECT_EQ(a.report.reportFiles[i].source.view(), b.report.reportFiles[i].source.view());
        EXPECT_EQ(a.report.reportFiles[i].copied, b.report.reportFiles[i].copied);
        EXPECT_TRUE(a.report.reportFiles[i].identity == b.report.reportFiles[i].identity);
    }
}
} // namespace

TEST(ReportStateText, RoundTripsEveryField)
{
    const ReportState state = SampleState("/u/Exceptions/r");
    const std::string text = WriteReportState(state);
    ReportState back;
    std::string problem;
    ReadReportState(S(text), back, problem);
    EXPECT_EQ(problem, "");
    ExpectSameState(state, back);
    // Every value stays on its own line, whatever bytes it holds.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 19);
}

// A state file is untrusted input: whatever it holds, reading gives what could be read and says what
// was wrong, and never anything outside its report folder.
TEST(ReportStateText, DamagedOrHostileTextIsReadAsFarAsItGoes)
{
    const std::string good = WriteReportState(SampleState("/u/Exceptions/r"));
    struct Case
    {
        const char* name;
        std::string text;
        const char* problem; // part of the problem text; "" for none
        size_t files;
    };
    const Case cases[] = {
        {"empty", "", "empty", 0},
        {"another format", "PK\x03\x04 zip bytes\n", "not a report state file", 0},
        {"cut short", good.substr(0, good.size() / 2), "cut short", 0},
        {"cut inside the last line", good.substr(0, good.size() - 3), "cut short", 3},
        {"a file escaping its folder", "morvex-report 1\nfile 1 0 0 ../../etc/passwd /x\nend\n", "malformed",
         0},
        {"a file named dot-dot", "morvex-report 1\nfile 1 0 0 .. /x\nend\n", "malformed", 0},
        {"a file with too few values", "morvex-report 1\nfile 1 0\nend\n", "", 0},
        {"numbers that are not",
         "morvex-report 1\nattempts 1e9\ncreated -5\nnext 99999999999999999999\nend\n", "", 0},
        {"unknown lines and NULs", std::string("morvex-report 1\nwhat\0ever\n\n\nend\n", 32), "", 0},
        {"too large", "morvex-report 1\n" + std::string(kMaxReportStateBytes, 'x'), "too large", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ReportState state;
        std::string problem;
        ReadReportState(S(c.text), state, problem);
        if (c.problem[0] == 0)
        {
            EXPECT_EQ(problem, "");
        }
        else
        {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        }
        EXPECT_EQ(state.report.reportFiles.size(), c.files);
        EXPECT_EQ(state.status, ReportStatus::Pending);
        for (const ReportFile& f : state.report.reportFiles)
            EXPECT_EQ(std::string(f.name.c_str()).find('/'), std::string::npos);
    }
}

// On disk: written atomically, loaded back; a missing or damaged state keeps the report as pending with
// the files its folder holds; a full disk while writing keeps the previous state.
TEST(ReportStateFile, SavedAtomicallyAndLoadedWhateverHappened)
{
    TempDir user;
    const std::string folder = user.Join("Exceptions/2024.03.05 12.34.56");
    user.WriteFile("Exceptions/2024.03.05 12.34.56/42.dmp", "dump");
    user.WriteFile("Exceptions/2024.03.05 12.34.56/b.log", "log");
    const FilePath f(folder.c_str());
    ReportState state = SampleState(folder);
    ASSERT_TRUE(SaveReportState(f, state));
    EXPECT_TRUE(fs::exists(user.Join("Exceptions/.morvex-state/2024.03.05 12.34.56.report")));
    EXPECT_EQ(fs::status(user.Join("Exceptions/.morvex-state/2024.03.05 12.34.56.report")).permissions() &
                  fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    ReportState loaded;
    ASSERT_TRUE(LoadReportState(f, loaded));
    ExpectSameState(state, loaded);
    EXPECT_EQ(loaded.report.reportFolder.view(), f.view());

    // The disk fills up while the next state is written: the previous one survives whole.
    state.attempts = 4;
    {
        Morvex::Test::ScopedFileSizeLimit limit(64);
        ASSERT_TRUE(limit.Active());
        CapturingSink sink;
        EXPECT_FALSE(SaveReportState(f, state));
        EXPECT_TRUE(sink.Contains(Log::Error, "its previous state is kept"));
    }
    ASSERT_TRUE(LoadReportState(f, loaded));
    EXPECT_EQ(loaded.attempts, 3u);
    for (const auto& e : fs::directory_iterator(user.Join("Exceptions/.morvex-state")))
        EXPECT_EQ(e.path().extension(), ".report") << "no temporary file is left: " << e.path();

    // Damaged: pending, with the folder's files and what could still be read.
    user.WriteFile("Exceptions/.morvex-state/2024.03.05 12.34.56.report",
                   "morvex-report 1\nid 42\nattempts 7\n");
    CapturingSink sink;
    ASSERT_TRUE(LoadReportState(f, loaded));
    EXPECT_TRUE(sink.Contains(Log::Warning, "it is kept as pending with the files its folder holds"));
    EXPECT_EQ(loaded.status, ReportStatus::Pending);
    EXPECT_EQ(loaded.settings.id.view(), StrView("42"));
    EXPECT_EQ(loaded.attempts, 0u) << "a damaged state's counts are not trusted";
    ASSERT_EQ(loaded.report.reportFiles.size(), 2u);
    EXPECT_EQ(loaded.report.reportFiles[0].name.view(), StrView("42.dmp"));
    EXPECT_TRUE(loaded.report.reportFiles[0].copied);

    // Missing: the same, with the folder's name as the id.
    fs::remove(user.Join("Exceptions/.morvex-state/2024.03.05 12.34.56.report"));
    ASSERT_TRUE(LoadReportState(f, loaded));
    EXPECT_EQ(loaded.settings.id.view(), StrView("2024.03.05 12.34.56"));
    EXPECT_EQ(loaded.settings.product.view(), StrView("Application"));

    // No state and no file: no report at all.
    fs::create_directories(user.Join("Exceptions/empty"));
    EXPECT_FALSE(LoadReportState(FilePath(user.Join("Exceptions/empty").c_str()), loaded));
}

TEST(PendingBackoff, DoublesFromItsBaseUpToADay)
{
    ScopedCVars vars;
    vars.Set(pending_backoffBaseSec, "900");
    EXPECT_EQ(PendingBackoffMs(0), 0);
    EXPECT_EQ(PendingBackoffMs(1), 900000);
    EXPECT_EQ(PendingBackoffMs(2), 1800000);
    EXPECT_EQ(PendingBackoffMs(5), 14400000);
    EXPECT_EQ(PendingBackoffMs(8), 86400000) << "capped at a day";
    EXPECT_EQ(PendingBackoffMs(1000000), 86400000);
    vars.Set(pending_backoffBaseSec, "0");
    EXPECT_EQ(PendingBackoffMs(7), 0) << "a base of 0 sends at once";
}

// The allowance counts uploads of the last hour per user path, across processes (a ledger kept
// under a lock), and says when the next one is allowed.
TEST(UploadAllowance, AtMostSoManyUploadsAnHour)
{
    ScopedCVars vars;
    vars.Set(reports_maxPerHour, "3");
    TempDir user, other;
    const FilePath userPath(user.Path().c_str());
    int64 retryAt = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(TakeUploadSlot(userPath, retryAt)) << i;
    const int64 now = GetTimeMs();
    EXPECT_FALSE(TakeUploadSlot(userPath, retryAt));
    EXPECT_GT(retryAt, now + 3500 * 1000);
    EXPECT_LE(retryAt, now + 3600 * 1000 + 1000);
    EXPECT_TRUE(TakeUploadSlot(FilePath(other.Path().c_str()), retryAt)) << "another user path has its own";

    // Entries older than an hour no longer count; a damaged ledger counts what it can read.
    const int64 old = now - 2 * 3600 * 1000;
    user.WriteFile("Exceptions/.morvex-uploads", std::to_string(old) + "\n" + std::to_string(old) +
                                                     "\ngarbage\n\n" + std::to_string(now) + "\n");
    EXPECT_TRUE(TakeUploadSlot(userPath, retryAt));
    EXPECT_TRUE(TakeUploadSlot(userPath, retryAt));
    EXPECT_FALSE(TakeUploadSlot(userPath, retryAt));
}

// Beyond the limits, delivered and rejected reports go first, oldest first, then abandoned ones;
// pending ones go last, each named; the run's own report and one another reporter holds stay.
TEST(ReportStore, KeptWithinItsLimitsOldestAndLeastNeededFirst)
{
    ScopedCVars vars;
    vars.Set(reports_maxKept, "5");
    vars.Set(reports_maxTotalMB, "1024");
    vars.Set(pending_maxAttempts, "10");
    vars.Set(pending_maxAgeDays, "30");
    TempDir user;
    const FilePath userPath(user.Path().c_str());
    struct Made
    {
        const char* name;
        ReportStatus status;
        int64 created;
    };
    const Made made[] = {
        {"a-delivered-old", ReportStatus::Delivered, 1000},
        {"b-pending-oldest", ReportStatus::Pending, 10},
        {"c-rejected", ReportStatus::Rejected, 2000},
        {"d-abandoned", ReportStatus::Abandoned, 500},
        {"e-delivered-new", ReportStatus::Delivered, 9000},
        {"f-pending", ReportStatus::Pending, 3000},
        {"g-current", ReportStatus::Pending, 1},
        {"h-delivered", ReportStatus::Delivered, 5000},
    };
    const int64 base = GetTimeMs() - 100000; // recent: none is old enough to be abandoned
    for (const Made& m : made)
    {
        const std::string folder = user.Join(std::string("Exceptions/") + m.name);
        user.WriteFile(std::string("Exceptions/") + m.name + "/file.dmp", "x");
        ReportState state;
        state.status = m.status;
        state.createdMs = base + m.created;
        state.settings.userPath = userPath;
        state.report.reportFiles = {FilePath("file.dmp")};
        ASSERT_TRUE(SaveReportState(FilePath(folder.c_str()), state));
    }
    CapturingSink sink;
    {
        // Another reporter holds the oldest delivered one (the lock is taken on a descriptor of
        // its own, as another process's would be): the next ones go instead.
        ReportLock held(FilePath(user.Join("Exceptions/a-delivered-old").c_str()));
        ASSERT_TRUE(held.Held());
        EnforceStoreLimits(userPath, FilePath(user.Join("Exceptions/g-current").c_str()));
    }
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(user.Join("Exceptions")))
        if (e.path().filename().string()[0] != '.')
            left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a-delivered-old", "b-pending-oldest", "d-abandoned",
                                              "f-pending", "g-current"}));
    EXPECT_FALSE(sink.Contains(Log::Warning, "removing pending report"));
    EXPECT_FALSE(fs::exists(user.Join("Exceptions/.morvex-state/c-rejected.report")));

    // Tighter still: the abandoned one, then pending ones (oldest first, named), never the current.
    vars.Set(reports_maxKept, "2");
    EnforceStoreLimits(userPath, FilePath(user.Join("Exceptions/g-current").c_str()));
    left.clear();
    for (const auto& e : fs::directory_iterator(user.Join("Exceptions")))
        if (e.path().filename().string()[0] != '.')
            left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"f-pending", "g-current"}));
    EXPECT_TRUE(
        sink.Contains(Log::Warning, "removing pending report '" + user.Join("Exceptions/b-pending-oldest")))
        << [&sink]
    {
        std::string all;
        for (const auto& line : sink.Lines())
            all += line.text + "\n";
        return all;
    }();
}

namespace
{
// A report folder with one file and a state, below `user`'s "Exceptions".
FilePath MakeReport(const TempDir& user, const std::string& name, ReportState state, uint64 bytes = 1)
{
    const std::string folder = user.Join("Exceptions/" + name);
    user.WriteFile("Exceptions/" + name + "/file.dmp", std::string(bytes, 'x'));
    state.settings.userPath = user.Path().c_str();
    if (state.report.reportFiles.empty())
        state.report.reportFiles = {FilePath("file.dmp")};
    EXPECT_TRUE(SaveReportState(FilePath(folder.c_str()), state));
    return FilePath(folder.c_str());
}

std::vector<std::string> FoldersOf(const TempDir& user)
{
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(user.Join("Exceptions")))
        if (e.is_directory() && e.path().filename().string()[0] != '.')
            left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    return left;
}

struct QueueVars
{
    QueueVars()
    {
        vars.Set(pending_maxPerRun, "5");
        vars.Set(pending_backoffBaseSec, "0");
        vars.Set(pending_maxAttempts, "10");
        vars.Set(pending_maxAgeDays, "30");
        vars.Set(reports_maxKept, "50");
        vars.Set(reports_maxTotalMB, "1024");
        vars.Set(reports_maxPerHour, "10");
    }
    ScopedCVars vars;
};
} // namespace

// A report past its attempts or its days is marked abandoned and logged, and keeps its files; one
// whose files are gone is dropped with a Warning; a state file naming a file outside its folder
// without that file's identity does not get it sent. None of them reaches the network.
TEST(PendingQueue, ExpiredGoneAndHostileReportsAreHandledWithoutSending)
{
    QueueVars queue;
    TempDir user;
    const int64 now = GetTimeMs();
    ReportState tried;
    tried.attempts = 10;
    tried.createdMs = now - 1000;
    tried.lastError = "HTTP 503";
    ReportState old;
    old.createdMs = now - 31 * 86400000LL;
    ReportState gone;
    gone.createdMs = now - 1000;
    gone.report.reportFiles = {FilePath("vanished.dmp")};
    ReportState hostile;
    hostile.createdMs = now - 1000;
    ReportFile secret;
    secret.name = "id_rsa";
    secret.source = user.Join("secret").c_str();
    user.WriteFile("secret", "private key");
    hostile.report.reportFiles = {secret};
    const FilePath a = MakeReport(user, "tried", tried);
    const FilePath b = MakeReport(user, "old", old);
    const FilePath c = MakeReport(user, "gone", gone);
    const FilePath d = MakeReport(user, "hostile", hostile);

    CrashReporterSettings settings;
    settings.userPath = user.Path().c_str();
    CapturingSink sink;
    EXPECT_EQ(SendPendingReports(settings, FilePath()), 2u) << "two reports had nothing left to send";
    EXPECT_TRUE(
        sink.Contains(Log::Warning, "Report '" + std::string(a.c_str()) +
                                        "' abandoned after 10 attempts (0 days); last error: HTTP 503"));
    EXPECT_TRUE(sink.Contains(Log::Warning, "Report '" + std::string(b.c_str()) +
                                                "' abandoned after 0 attempts (31 days)"));
    EXPECT_TRUE(sink.Contains(Log::Warning, "Report '" + std::string(c.c_str()) + "': its files are gone"));
    EXPECT_TRUE(sink.Contains(Log::Warning, "'" + user.Join("secret") + "' cannot be told to be the file"));
    EXPECT_FALSE(sink.Contains("Sending pending report"));
    for (const FilePath& folder : {a, b, c, d})
    {
        ReportState state;
        ASSERT_TRUE(LoadReportState(folder, state));
        EXPECT_EQ(state.status, ReportStatus::Abandoned) << folder.c_str();
    }
    EXPECT_EQ(FoldersOf(user), (std::vector<std::string>{"gone", "hostile", "old", "tried"}))
        << "never deleted";
}

// The queue is sent oldest first, at most pending_maxPerRun a run, each only when due; a damaged state
// is queued as pending (and counted) with the files its folder holds and this user path, as a report
// made when its folder was.
TEST(PendingQueue, OldestFirstAtMostSoManyARunOnlyWhenDue)
{
    QueueVars queue;
    queue.vars.Set(pending_maxPerRun, "2");
    queue.vars.Set(pending_backoffBaseSec, "3600");
    queue.vars.Set(crash_url, "http://127.0.0.1:1/submit/"); // nothing listens: each stays pending
    queue.vars.Set(ElasticsearchUrl, "");
    TempDir user;
    const int64 now = GetTimeMs();
    ReportState state;
    state.createdMs = now - 300000;
    MakeReport(user, "first", state);
    state.createdMs = now - 100000;
    MakeReport(user, "second", state);
    state.createdMs = now - 500000;
    state.nextAttemptMs = now + 3600000;
    MakeReport(user, "not-due", state);
    user.WriteFile("Exceptions/damaged/file.dmp", "x");
    user.WriteFile("Exceptions/.morvex-state/damaged.report", "morvex-report 1\ncreated 5\nattempts 99\nst");

    CrashReporterSettings settings;
    settings.userPath = user.Path().c_str();
    auto sentBy = [](const CapturingSink& sink)
    {
        std::vector<std::string> sent;
        for (const auto& line : sink.Lines())
            if (line.text.find("Sending pending report") != std::string::npos)
                sent.push_back(fs::path(line.text.substr(line.text.find('\'') + 1)).filename().string());
        return sent;
    };
    {
        CapturingSink sink;
        EXPECT_EQ(SendPendingReports(settings, FilePath()), 1u) << "the damaged state is counted";
        EXPECT_EQ(sentBy(sink), (std::vector<std::string>{"first' (attempt 1)", "second' (attempt 1)"}));
        EXPECT_EQ(sink.CountContaining("it is kept as pending with the files its folder holds"), 1u)
            << "said once";
    }
    CapturingSink sink;
    EXPECT_EQ(SendPendingReports(settings, FilePath()), 1u);
    EXPECT_EQ(sentBy(sink), (std::vector<std::string>{"damaged' (attempt 1)"})) << "the others are not due";
    ReportState damaged;
    ASSERT_TRUE(LoadReportState(FilePath(user.Join("Exceptions/damaged").c_str()), damaged));
    EXPECT_EQ(damaged.status, ReportStatus::Pending);
    EXPECT_EQ(damaged.attempts, 1u);
    EXPECT_EQ(damaged.settings.userPath.view(), StrView(user.Path().c_str()));
    EXPECT_EQ(damaged.settings.id.view(), StrView("damaged"));
}

// Beyond reports_maxTotalMB the oldest delivered reports go; the run's own report is never removed,
// and when it alone is over the limit nothing is removed for size. States whose folder is gone and
// temporaries left by a killed reporter are swept.
TEST(ReportStore, SizeLimitAndLeftovers)
{
    QueueVars queue;
    queue.vars.Set(reports_maxTotalMB, "1");
    TempDir user;
    const int64 now = GetTimeMs();
    ReportState delivered;
    delivered.status = ReportStatus::Delivered;
    for (int i = 0; i < 3; ++i)
    {
        delivered.createdMs = now - 10000 + i;
        MakeReport(user, "d" + std::to_string(i), delivered, 400 << 10);
    }
    ReportState current;
    current.createdMs = now;
    const FilePath own = MakeReport(user, "own", current, 100 << 10);
    user.WriteFile("Exceptions/.morvex-state/vanished.report", "morvex-report 1\nend\n");
    user.WriteFile("Exceptions/.morvex-state/own.report.123.0", "a killed reporter's");
    const fs::path leftover = user.Join("Exceptions/.morvex-state/own.report.123.0");
    fs::last_write_time(leftover, fs::file_time_type::clock::now() - std::chrono::hours(25));

    CapturingSink sink;
    EnforceStoreLimits(FilePath(user.Path().c_str()), own);
    EXPECT_EQ(FoldersOf(user), (std::vector<std::string>{"d1", "d2", "own"}));
    EXPECT_FALSE(fs::exists(user.Join("Exceptions/.morvex-state/vanished.report")));
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(sink.Contains(Log::Info, "The state of report '" + user.Join("Exceptions/vanished") +
                                             "' is removed: its folder is gone"));

    // The run's own report alone is over the limit: the others stay.
    user.WriteFile("Exceptions/own/big.dmp", std::string(2 << 20, 'x'));
    EnforceStoreLimits(FilePath(user.Path().c_str()), own);
    EXPECT_EQ(FoldersOf(user), (std::vector<std::string>{"d1", "d2", "own"}));
    EXPECT_TRUE(sink.Contains(Log::Warning, "no report is removed for size"));
}
