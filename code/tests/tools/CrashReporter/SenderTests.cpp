// The report sender against a real HTTP server on 127.0.0.1: fields, archive, retries, clean-up.

#include "CrashDialogModule.h"
#include "CrashReporter.h"
#include "PendingReports.h"

#include "Core/IO/PlatformFile.h"

#include "Net/Network.h"

#include "NetTestServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Morvex;
using Morvex::Test::NetTestServer;

namespace
{
int CountEntries(const std::string& dir)
{
    int n = 0;
    if (DIR* d = opendir(dir.c_str()))
    {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        closedir(d);
    }
    return n;
}

// A collector stand-in: answers uploads with `status` and records them; takes events with 201.
class SenderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Net::Init()); }
    static void TearDownTestSuite() { Net::Shutdown(); }

    void SetUp() override
    {
        m_server.server().Post(
            "/submit/",
            [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
            {
                m_server.Record(NetTestServer::ReadStreamed(req, reader));
                res.status = m_status.load();
                res.set_content("report-" + std::to_string(m_server.Seen().size()), "text/plain");
            });
        m_server.server().Post(
            "/submit_script_errors/",
            [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
            {
                m_server.Record(NetTestServer::ReadStreamed(req, reader));
                res.status = m_status.load();
            });
        m_server.server().Post("/events/prod/",
                               [this](const httplib::Request& req, httplib::Response& res)
                               {
                                   ++m_events;
                                   m_lastEvent = req.body;
                                   res.status = 201;
                                   res.set_content("{\"result\":\"created\"}", "application/json");
                               });
        // One request per connection: the client keeps idle connections, and the server would
        // otherwise wait for them to time out when the test stops it.
        m_server.server().set_keep_alive_max_count(1);
        m_server.Start();

        m_tmpdir = std::make_unique<Morvex::Test::ScopedEnvironment>("TMPDIR", m_tmp.Path());

        m_settings.id = "42";
        m_settings.product = "Demo";
        m_settings.comments = "it broke";
        m_settings.additional = "version-type=release;script=";
        m_settings.silent = true;

        // The report lives where the reporter makes them: a folder below the user path's
        // "Exceptions", which keeps the reports' states beside them.
        m_settings.userPath = m_user.Path().c_str();
        m_folder.WriteFile("42.dmp", std::string("MDMP\0\1\2\3", 8) + std::string(300000, 'd'));
        m_folder.WriteFile("game.log", "line one\nline two\n");
        m_report.reportFolder = m_folder.Path().c_str();
        m_report.reportFiles = {FilePath("42.dmp"), FilePath("game.log")};

        m_vars.Set(crash_url, m_server.Url("/submit/"));
        m_vars.Set(script_errors_url, m_server.Url("/submit_script_errors/"));
        m_vars.Set(ElasticsearchUrl, m_server.Url("/events/prod/"));
        m_vars.Set(retry_count, "3");
        m_vars.Set(retry_wait_sec, "0");
        // These tests make many uploads in a row; the hourly allowance has tests of its own.
        m_vars.Set(reports_maxPerHour, "1000");
    }

    // Lists an uploaded archive with an independent reader: one "name<TAB>size<TAB>crc" line each.
    std::string ListArchive(const std::string& bytes)
    {
        std::string path = m_folder.Join("received.zip");
        std::ofstream(path, std::ios::binary) << bytes;
        auto r = Morvex::Test::RunProcess(
            {"/usr/bin/python3", "-c",
             "import sys,zipfile,zlib\n"
             "z=zipfile.ZipFile(sys.argv[1])\n"
             "for i in z.infolist():\n"
             "  d=z.read(i)\n"
             "  assert zlib.crc32(d)==i.CRC\n"
             "  print('%s\\t%d\\t%d\\t%d'%(i.filename,i.file_size,i.compress_type,zlib.crc32(d)))\n",
             path});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    NetTestServer m_server;
    std::atomic<int> m_status{200};
    std::atomic<int> m_events{0};
    std::string m_lastEvent;
    Morvex::Test::TempDir m_user;
    Morvex::Test::SubDir m_folder{m_user, "Exceptions/2024.03.05 12.34.56"};
    Morvex::Test::TempDir m_tmp;
    // Run the sender as the reporter does, with this test's settings and report.
    SendResult Send() { return RunSenderThread(m_settings, m_report, m_settings.silent); }

    CrashReporterSettings m_settings;
    Morvex::Report m_report;
    Morvex::Test::ScopedCVars m_vars;
    std::unique_ptr<Morvex::Test::ScopedEnvironment> m_tmpdir;
};
} // namespace

TEST_F(SenderTest, DeliversTheFieldsInOrderAndTheFilesAsOneArchive)
{
    Morvex::Test::CapturingSink log;
    const SendResult result = Send();
    EXPECT_TRUE(result.archiveBuilt);
    EXPECT_EQ(result.attempts, 1u);
    EXPECT_TRUE(result.last.Delivered());
    EXPECT_EQ(result.last.httpStatus, 200);
    EXPECT_EQ(result.last.transportError, ErrorCode::OK);
    EXPECT_EQ(result.last.body, "report-1") << "the server's answer travels with the outcome";

    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    const auto& parts = seen[0].parts;
    ASSERT_EQ(parts.size(), 6u);
    const char* names[] = {"Id", "Comments", "ProductName", "Platform", "Additional", "upload_file_minidump"};
    const char* values[] = {"42", "it broke", "Demo", "Linux64", "version-type=release;script="};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(parts[i].name, names[i]);
    for (size_t i = 0; i < 5; ++i)
    {
        EXPECT_EQ(parts[i].content, values[i]);
        EXPECT_EQ(parts[i].filename, "");
    }

    std::string listing = ListArchive(parts[5].content);
    std::string dump = m_folder.ReadFile("42.dmp");
    EXPECT_NE(listing.find("42.dmp\t" + std::to_string(dump.size()) + "\t8\t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("game.log\t18\t8\t"), std::string::npos) << listing;
    EXPECT_LT(listing.find("42.dmp"), listing.find("game.log"));

    EXPECT_EQ(m_events.load(), 1);
    EXPECT_TRUE(log.Contains(Log::Info, "Sent successfully"));
    EXPECT_EQ(CountEntries(m_tmp.Path()), 0) << "the temporary archive stays behind";
    // The report folder and its copies are never touched.
    EXPECT_EQ(CountEntries(m_folder.Path()), 3); // the two copies and the test's received.zip
}

TEST_F(SenderTest, TwoFilesOfTheSameNameBecomeTwoEntries)
{
    m_folder.WriteFile("x.log", "same");
    m_report.reportFiles = {FilePath("x.log"), FilePath("x.log"), FilePath("missing.log")};
    Send();
    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    std::string listing = ListArchive(seen[0].parts.back().content);
    EXPECT_EQ(listing, "x.log\t4\t8\t" + std::to_string(4233163076u) + "\nx.log\t4\t8\t" +
                           std::to_string(4233163076u) + "\n");
}

TEST_F(SenderTest, ServerErrorsAreRetriedOnlyInBackgroundMode)
{
    struct Case
    {
        bool silent;
        int status;
        bool reachable;
        size_t attempts;
        bool notBackgroundLine;
    };
    const Case cases[] = {
        {true, 500, true, 3, false}, {false, 500, true, 1, true}, {true, 201, true, 3, false},
        {true, 302, true, 3, false}, {true, 0, false, 3, false},  {false, 0, false, 1, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::Message()
                     << "silent " << c.silent << " status " << c.status << " reachable " << c.reachable);
        m_server.ClearSeen();
        m_status = c.status;
        m_settings.silent = c.silent;
        int closed = Morvex::Test::ClosedPort();
        if (!c.reachable)
            m_vars.Set(crash_url, "http://127.0.0.1:" + std::to_string(closed) + "/submit/");
        else
            m_vars.Set(crash_url, m_server.Url("/submit/"));

        Morvex::Test::CapturingSink log;
        const SendResult result = Send();
        EXPECT_EQ(result.attempts, c.attempts);
        EXPECT_EQ(result.last.result, Net::HTTPClient::UploadOutcome::Result::Retry);
        EXPECT_EQ(result.last.httpStatus, c.reachable ? c.status : 0);
        EXPECT_EQ(result.last.transportError, c.reachable ? ErrorCode::OK : ErrorCode::SERVER_UNAVAILABLE);
        if (c.reachable)
        {
            EXPECT_EQ(m_server.Seen().size(), c.attempts);
        }
        EXPECT_EQ(log.CountContaining("Failed to send. Waiting..."), c.attempts);
        EXPECT_EQ(log.Contains(Log::Info, "Not in a background mode. Will not retry sending."),
                  c.notBackgroundLine);
        EXPECT_FALSE(log.Contains("Sent successfully"));
        EXPECT_EQ(CountEntries(m_tmp.Path()), 0);
    }
}

TEST_F(SenderTest, NoAttemptsAndTestRunsSendNothing)
{
    m_vars.Set(retry_count, "0");
    {
        Morvex::Test::CapturingSink log;
        Send();
        EXPECT_EQ(m_server.Seen().size(), 0u);
        EXPECT_FALSE(log.Contains("Sent successfully"));
        EXPECT_FALSE(log.Contains("Failed to send"));
        EXPECT_EQ(CountEntries(m_tmp.Path()), 0);
    }
    m_vars.Set(retry_count, "3");
    m_settings.test = true;
    Send();
    EXPECT_EQ(m_server.Seen().size(), 0u);
    EXPECT_EQ(m_events.load(), 1) << "only the first run posts an event";
}

TEST_F(SenderTest, ScriptErrorsModeUsesItsOwnAddressAndField)
{
    m_settings.scriptErrorsPath = "/home/player/errors.txt";
    Send();
    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/submit_script_errors/");
    ASSERT_EQ(seen[0].parts.size(), 7u);
    EXPECT_EQ(seen[0].parts[5].name, "ScriptErrorsFile");
    EXPECT_EQ(seen[0].parts[5].content, "/home/player/errors.txt");
    EXPECT_EQ(seen[0].parts[6].name, "upload_file_minidump");
}

// A temporary folder that cannot take the archive no longer stops the report: the archive is built
// in the report folder instead, without a name there either.
TEST_F(SenderTest, ArchiveFallsBackToTheReportFolder)
{
    Morvex::Test::ScopedEnvironment unusable("TMPDIR", "/proc/no-such-folder");
    Morvex::Test::CapturingSink log;
    Send();
    EXPECT_TRUE(log.Contains(Log::Warning, "Could not build the archive in '/proc/no-such-folder'"));
    EXPECT_TRUE(log.Contains(Log::Info, "Sent successfully"));
    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    std::string listing = ListArchive(seen[0].parts.back().content);
    EXPECT_NE(listing.find("42.dmp\t"), std::string::npos) << listing;
    EXPECT_EQ(CountEntries(m_folder.Path()), 3) << "the two copies and the test's received.zip: no archive";
}

// Files that could not be copied travel from their sources; a copy the player removed from the
// folder stays out.
TEST_F(SenderTest, UncopiedFilesAreReadFromTheirSources)
{
    Morvex::Test::TempDir elsewhere;
    elsewhere.WriteFile("big.dmp", "from the source");
    Morvex::ReportFile uncopied;
    uncopied.name = "big.dmp";
    uncopied.source = elsewhere.Join("big.dmp").c_str();
    m_report.reportFiles = {FilePath("game.log"), uncopied, FilePath("removed.log")};
    Send();
    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    std::string listing = ListArchive(seen[0].parts.back().content);
    EXPECT_NE(listing.find("game.log\t18\t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("big.dmp\t15\t"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("removed.log"), std::string::npos) << listing;
}

// A file sent from where it was found is read at send time, maybe minutes after it was checked: if
// its path has been pointed at another file meanwhile (a link to the player's private files), it is
// left out rather than followed.
TEST_F(SenderTest, ASourceSwappedAfterItWasListedIsLeftOut)
{
    Morvex::Test::TempDir elsewhere;
    elsewhere.WriteFile("game.log", "the game's log");
    elsewhere.WriteFile("secret", "the player's private key");
    Morvex::ReportFile uncopied;
    uncopied.name = "game.log";
    uncopied.source = elsewhere.Join("game.log").c_str();
    uncopied.identity = Platform_GetFileIdentity(uncopied.source);
    ASSERT_TRUE(uncopied.identity.valid);
    m_report.reportFiles = {FilePath("42.dmp"), uncopied};
    ASSERT_EQ(unlink(elsewhere.Join("game.log").c_str()), 0);
    ASSERT_EQ(symlink(elsewhere.Join("secret").c_str(), elsewhere.Join("game.log").c_str()), 0);

    Morvex::Test::CapturingSink log;
    Send();
    auto seen = m_server.Seen();
    ASSERT_EQ(seen.size(), 1u);
    std::string listing = ListArchive(seen[0].parts.back().content);
    EXPECT_NE(listing.find("42.dmp\t"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("game.log"), std::string::npos) << listing;
    EXPECT_TRUE(log.Contains(Log::Warning, "is no longer the file that was listed; it is left out"));
}

TEST_F(SenderTest, ArchiveThatCannotBeCreatedAnywhereIsReportedAndNothingIsUploaded)
{
    // Neither the temporary folder nor the report folder can take a file: /proc refuses new files
    // even to root (and this process has no user data folder).
    Morvex::Test::ScopedEnvironment unusable("TMPDIR", "/proc/no-such-folder");
    m_report.reportFolder = "/proc";
    Morvex::Test::CapturingSink log;
    Send();
    EXPECT_TRUE(log.Contains(Log::Error, "Could not create archive"));
    EXPECT_FALSE(log.Contains("Failed to send"));
    EXPECT_EQ(m_server.Seen().size(), 0u);
    EXPECT_EQ(m_events.load(), 1) << "the event goes out before the archive is built";
    EXPECT_EQ(CountEntries(m_folder.Path()), 2) << "the report folder keeps its copies";
}

TEST_F(SenderTest, DialogSenderNotifiesWhenDoneInATestRunToo)
{
    static std::atomic<uint64> notified{0};
    static std::atomic<int> outcome{-1};
    notified = 0;
    m_settings.test = true;
    auto record = [](uint64 dialog, int sendOutcome)
    {
        outcome = sendOutcome;
        notified = dialog;
    };
    ASSERT_TRUE(StartDialogSender(m_settings, m_report, record, 77));
    EXPECT_EQ(JoinDialogSender(), MX_CRASH_DIALOG_SEND_DELIVERED);
    EXPECT_EQ(notified.load(), 77u);
    EXPECT_EQ(outcome.load(), MX_CRASH_DIALOG_SEND_DELIVERED) << "a test run closes as sent";
    EXPECT_EQ(m_server.Seen().size(), 0u);
    EXPECT_EQ(JoinDialogSender(), -1) << "nothing left to join";

    // A send that did not deliver says whether the report was kept for a later run: only when its
    // state is kept and the server did not refuse it for good.
    m_settings.test = false;
    struct Case
    {
        bool tracked;
        int status;
        int expected;
    };
    const Case cases[] = {
        {true, 200, MX_CRASH_DIALOG_SEND_DELIVERED},
        {true, 503, MX_CRASH_DIALOG_SEND_KEPT},
        {true, 413, MX_CRASH_DIALOG_SEND_FAILED},
        {false, 503, MX_CRASH_DIALOG_SEND_FAILED},
    };
    uint64 dialog = 78;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.status);
        SCOPED_TRACE(c.tracked);
        Morvex::Test::SubDir folder(m_user, "Exceptions/r" + std::to_string(dialog));
        folder.WriteFile("42.dmp", "dump");
        m_report.reportFolder = folder.Path().c_str();
        m_report.reportFiles = {FilePath("42.dmp")};
        ReportLock lock(m_report.reportFolder);
        ASSERT_TRUE(lock.Held());
        m_report.tracked = c.tracked && TrackNewReport(m_settings, m_report);
        m_status = c.status;
        notified = 0;
        ASSERT_TRUE(StartDialogSender(m_settings, m_report, record, dialog));
        EXPECT_EQ(JoinDialogSender(), c.expected);
        EXPECT_EQ(notified.load(), dialog);
        EXPECT_EQ(outcome.load(), c.expected);
        ++dialog;
    }
}

// A tracked report's state decides: one the dialog's sender delivered before the player cancelled is
// not sent again; a pending one keeps its attempts and its event, and gets the player's text.
TEST_F(SenderTest, ATrackedReportIsSentOnceWithItsStateKeptUpToDate)
{
    ReportLock lock(m_report.reportFolder);
    ASSERT_TRUE(lock.Held());
    m_report.tracked = TrackNewReport(m_settings, m_report);
    ASSERT_TRUE(m_report.tracked);
    ReportState state;
    ASSERT_TRUE(LoadReportState(m_report.reportFolder, state));
    state.attempts = 2;
    state.eventPosted = true;
    ASSERT_TRUE(SaveReportState(m_report.reportFolder, state));

    m_settings.comments = "it broke\n\ntyped in the dialog";
    m_status = 503;
    m_vars.Set(retry_count, "1");
    SendResult result = Send();
    EXPECT_TRUE(result.kept);
    EXPECT_EQ(m_events.load(), 0) << "the event went out before";
    ASSERT_TRUE(LoadReportState(m_report.reportFolder, state));
    EXPECT_EQ(state.status, ReportStatus::Pending);
    EXPECT_EQ(state.attempts, 3u);
    EXPECT_EQ(state.settings.comments.view(), StrView("it broke\n\ntyped in the dialog"));
    EXPECT_EQ(state.lastError, "HTTP 503");

    m_status = 200;
    result = Send();
    EXPECT_TRUE(result.last.Delivered());
    EXPECT_FALSE(result.kept);
    const size_t uploads = m_server.Seen().size();
    Morvex::Test::CapturingSink sink;
    result = Send();
    EXPECT_TRUE(result.last.Delivered());
    EXPECT_EQ(result.attempts, 0u);
    EXPECT_EQ(m_server.Seen().size(), uploads) << "delivered already: not sent again";
    EXPECT_TRUE(sink.Contains(Log::Info, "The report was delivered already"));
}

// The dialog's archive is built while the player reads; what goes out is still what the report
// folder holds at the send. Each case's upload is compared with a fresh build's of the same folder.
TEST_F(SenderTest, AnArchiveBuiltAheadIsSentOnlyWhileItsFilesAreAsItReadThem)
{
    enum class Change
    {
        None,
        RewrittenSameSizeSameDate,
        Removed,
        PutBack,
        RenamedOver,
    };
    struct Case
    {
        const char* name;
        Change change;
    };
    const Case cases[] = {
        {"untouched", Change::None},
        {"rewritten in place, same size, date put back", Change::RewrittenSameSizeSameDate},
        {"removed", Change::Removed},
        {"a missing file put back", Change::PutBack},
        {"another file renamed over it", Change::RenamedOver},
    };
    // The dump is large enough to be deflated in pieces, on its own helper threads.
    const std::string dump = std::string("MDMP") + std::string(3u << 20, 'd');
    m_report.reportFiles = {FilePath("42.dmp"), FilePath("game.log"), FilePath("later.log")};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        m_folder.WriteFile("42.dmp", dump);
        m_folder.WriteFile("game.log", "line one\nline two\n");
        unlink(m_folder.Join("later.log").c_str());
        const std::string log = m_folder.Join("game.log");

        PreparedArchive prepared(m_report);
        ASSERT_TRUE(prepared.Start());
        prepared.Wait();
        // The system's file times move in ticks of a few milliseconds: a change must land in a
        // later tick than the build's reads to be seen, as any change a player makes does.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        struct stat before = {};
        ASSERT_EQ(stat(log.c_str(), &before), 0);
        switch (c.change)
        {
        case Change::None:
            break;
        case Change::RewrittenSameSizeSameDate:
        {
            m_folder.WriteFile("game.log", "line ONE\nline two\n");
            const timespec times[2] = {before.st_atim, before.st_mtim};
            ASSERT_EQ(utimensat(AT_FDCWD, log.c_str(), times, 0), 0);
            break;
        }
        case Change::Removed:
            ASSERT_EQ(unlink(log.c_str()), 0);
            break;
        case Change::PutBack:
            m_folder.WriteFile("later.log", "written later");
            break;
        case Change::RenamedOver:
            m_folder.WriteFile("other", "line one\nline two\n");
            ASSERT_EQ(rename(m_folder.Join("other").c_str(), log.c_str()), 0);
            break;
        }

        const size_t uploads = m_server.Seen().size();
        {
            Morvex::Test::CapturingSink sink;
            const SendResult result = RunSenderThread(m_settings, m_report, true, &prepared);
            EXPECT_TRUE(result.last.Delivered());
            const bool rebuilt = c.change != Change::None;
            EXPECT_EQ(sink.Contains(Log::Info, "The archive built while the dialog was open is sent"),
                      !rebuilt);
            EXPECT_EQ(
                sink.Contains(Log::Info, "changed while the dialog was open; the archive is built again"),
                rebuilt);
        }
        Send();
        const auto seen = m_server.Seen();
        ASSERT_EQ(seen.size(), uploads + 2);
        const std::string sent = ListArchive(seen[uploads].parts.back().content);
        EXPECT_EQ(sent, ListArchive(seen[uploads + 1].parts.back().content));
        EXPECT_EQ(sent.find("later.log") != std::string::npos, c.change == Change::PutBack) << sent;
        EXPECT_EQ(sent.find("game.log") != std::string::npos, c.change != Change::Removed) << sent;

        FilePath where;
        EXPECT_EQ(prepared.Take(where), nullptr) << "an archive is handed over once";
    }
    EXPECT_EQ(CountEntries(m_tmp.Path()), 0) << "no archive stays behind";
}

// A dialog closed without sending (the player declined) drops the build, finished or not, quietly and
// without leaving anything behind.
TEST_F(SenderTest, APreparedArchiveDroppedMidBuildLeavesNothing)
{
    m_folder.WriteFile("42.dmp", std::string(24u << 20, 'x'));
    Morvex::Test::CapturingSink sink;
    {
        PreparedArchive prepared(m_report);
        ASSERT_TRUE(prepared.Start());
    }
    {
        PreparedArchive notStarted(m_report);
    }
    EXPECT_FALSE(sink.Contains("Could not build the archive"));
    EXPECT_FALSE(sink.Contains(Log::Error, ""));
    EXPECT_EQ(CountEntries(m_tmp.Path()), 0);
    EXPECT_EQ(m_server.Seen().size(), 0u);
}

TEST(SenderRules, UploadAddress)
{
    struct Case
    {
        const char* crashUrl;
        const char* scriptUrl;
        bool scriptErrors;
        const char* expected;
    };
    const Case cases[] = {
        {"http://h:1/submit/", "http://h:1/s/", false, "http://h:1/submit/"},
        {"http://h:1/submit", "", false, "http://h:1/submit/"},
        {"", "", false, "http://localhost/submit/"},
        {"http://h:1/submit/", "http://h:1/errors", true, "http://h:1/errors/"},
        {"http://h:1/submit/", "", true, "http://localhost/submit/"},
        // The slash ends the path, before a query or a fragment.
        {"http://h:1/submit?key=abc", "", false, "http://h:1/submit/?key=abc"},
        {"http://h:1/submit/?key=a/b", "", false, "http://h:1/submit/?key=a/b"},
        {"http://h:1/submit#top", "", false, "http://h:1/submit/#top"},
        {"http://h:1/submit/", "http://h:1/errors?k=1&j=2", true, "http://h:1/errors/?k=1&j=2"},
    };
    for (const Case& c : cases)
    {
        Morvex::Test::ScopedCVar crash(crash_url, c.crashUrl);
        Morvex::Test::ScopedCVar script(script_errors_url, c.scriptUrl);
        EXPECT_STREQ(ChooseUploadUrl(c.scriptErrors).c_str(), c.expected)
            << c.crashUrl << " " << c.scriptErrors;
    }
}

TEST(SenderRules, RetryWaitIsClampedToAnHour)
{
    const std::pair<int32, uint32> cases[] = {
        {-5, 0u},     {0, 0u}, {20, 20000u}, {3600, 3600000u}, {100000, 3600000u}, {INT_MAX, 3600000u},
        {INT_MIN, 0u}};
    for (auto [seconds, ms] : cases)
        EXPECT_EQ(RetryWaitMs(seconds), ms) << seconds;
}
