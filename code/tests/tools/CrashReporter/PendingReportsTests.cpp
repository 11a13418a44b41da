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
    EXPECT_EQ(loaded.attempts, 7u);
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
    EnforceStoreLimits(userPath, FilePath(user.Join("Exceptions/g-current").c_str()));
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(user.Join("Exceptions")))
        if (e.path().filename().string()[0] != '.')
            left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"b-pending-oldest", "d-abandoned", "e-delivered-new",
                                              "f-pending", "g-current"}));
    EXPECT_FALSE(sink.Contains(Log::Warning, "removing pending report"));
    EXPECT_FALSE(fs::exists(user.Join("Exceptions/.morvex-state/a-delivered-old.report")));

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
