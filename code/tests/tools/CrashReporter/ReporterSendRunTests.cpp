// Runs the real reporter against the real collector: what arrives, the retries, what is left behind.

#include "CollectorProcess.h"
#include "RawServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace Morvex::Test;
using Morvex::Test::ChildProcess;
namespace fs = std::filesystem;

namespace
{
std::string Slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<fs::path> Reports(const std::string& data)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(data) / "reports", ec))
        out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string Hex(const std::string& s)
{
    std::string out;
    char b[3];
    for (unsigned char c : s)
    {
        std::snprintf(b, sizeof(b), "%02x", c);
        out += b;
    }
    return out;
}

// The upload's archive as "name hex-content" lines, read by Python's zipfile (an independent reader).
std::string ListUpload(const fs::path& report)
{
    fs::path archive;
    for (const auto& e : fs::directory_iterator(report))
        if (e.path().extension() != ".json")
            archive = e.path();
    if (archive.empty())
        return "<no archive>";
    ProcessResult list = RunProcess({"/usr/bin/python3", "-c",
                                     "import sys,zipfile\n"
                                     "z=zipfile.ZipFile(sys.argv[1])\n"
                                     "for i in z.infolist(): print(i.filename, z.read(i).hex())\n",
                                     archive.string()});
    return list.exitCode == 0 ? list.out : "<unreadable archive> " + list.err;
}

bool Hidden(const fs::path& path)
{
    return path.filename().string()[0] == '.';
}

// The files a player sees below a folder: the reporter's hidden bookkeeping is left out.
size_t CountFiles(const fs::path& dir)
{
    size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
    {
        if (Hidden(it->path()))
        {
            if (it->is_directory())
                it.disable_recursion_pending();
            continue;
        }
        n += it->is_regular_file() ? 1 : 0;
    }
    return n;
}

std::vector<fs::path> Folders(const fs::path& dir)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_directory() && !Hidden(e.path()))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

class ReporterSend : public testing::Test
{
protected:
    void SetUp() override
    {
        m_in.WriteFile("dumps/42.dmp", std::string("MDMP\0\x01\xff", 7) + std::string(70000, 'x'));
        m_in.WriteFile("logs/a.log", "first log\n");
        m_in.WriteFile("logs/b.log", std::string("second log\r\n\0binary", 19));
    }

    void StartCollector(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--port", "0", "--data", m_received.Path()};
        args.insert(args.end(), extra.begin(), extra.end());
        m_collector = std::make_unique<CollectorProcess>(COLLECTOR_PATH, args);
        ASSERT_GT(m_collector->port(), 0) << m_collector->output();
        m_work.WriteFile("crash-reporter.cfg", "set crash_url \"" + m_collector->Url("/submit/") +
                                                   "\"\nset ElasticsearchUrl \"" +
                                                   m_collector->Url("/events/prod/") +
                                                   "\"\nset retry_count 3\nset retry_wait_sec 1\n");
    }

    ProcessResult Run(bool silent)
    {
        std::vector<std::string> args = {
            "--id",        "42",          "--dump-path",  m_in.Join("dumps"),
            "--user-path", m_user.Path(), "--wc",         m_in.Join("logs") + "/*.log",
            "--product",   "Demo",        "--additional", "version-type=release;script="};
        if (silent)
            args.push_back("--silent");
        return RunArgs(args);
    }

    // The reporter with these switches in the work folder, its data and temporary folders private to
    // the test and no display; `env` adds to (or overrides) that environment, `prefix` runs it
    // through another program.
    ProcessResult RunArgs(std::vector<std::string> args, std::vector<std::string> env = {},
                          std::vector<std::string> prefix = {})
    {
        args.insert(args.begin(), CRASH_REPORTER_PATH);
        args.insert(args.begin(), prefix.begin(), prefix.end());
        std::vector<std::string> base = {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(),
                                         "DISPLAY=", "WAYLAND_DISPLAY="};
        base.insert(base.end(), env.begin(), env.end());
        return RunProcess(args, m_work.Path(), base);
    }

    TempDir m_in, m_user, m_work, m_data, m_tmp, m_received;
    std::unique_ptr<CollectorProcess> m_collector;
};
} // namespace

TEST_F(ReporterSend, SilentRunDeliversOneReportAndOneEvent)
{
    StartCollector();
    ProcessResult r = Run(true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "Sent successfully"), 1u) << r.out;

    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out;
    EXPECT_EQ(Slurp(reports[0] / "fields.json"),
              "{\"Id\": \"42\", \"Comments\": \"\", \"ProductName\": \"Demo\", \"Platform\": \"Linux64\", "
              "\"Additional\": \"version-type=release;script=\"}\n");

    // The archive holds the three files byte for byte, the dump first, then the logs in name order.
    EXPECT_EQ(ListUpload(reports[0]), "42.dmp " + Hex(m_in.ReadFile("dumps/42.dmp")) + "\na.log " +
                                          Hex(m_in.ReadFile("logs/a.log")) + "\nb.log " +
                                          Hex(m_in.ReadFile("logs/b.log")) + "\n");

    // One event, exactly the document for this product and these parameters.
    std::string events = Slurp(fs::path(m_received.Path()) / "events" / "0001.json");
    std::regex document("\\{\n  \"@timestamp\": \"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\",\n"
                        "  \"tags\" : \\[\"crash\", \"release\", \"Demo\"\\],\n"
                        "  \"title\" : \"Demo crashed\",\n"
                        "  \"desc\" : \"version-type=release<br>script=<br>\"\n\\}");
    EXPECT_TRUE(std::regex_match(events, document)) << events;
    EXPECT_FALSE(fs::exists(fs::path(m_received.Path()) / "events" / "0002.json"));

    // The temporary archive is gone; the report folder keeps its copies.
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
    EXPECT_EQ(CountFiles(fs::path(m_user.Path()) / "Exceptions"), 3u);
}

namespace
{
time_t MTime(const fs::path& path)
{
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}
} // namespace

// What a studio's server sees beyond the fields: the address as configured (a query string kept
// after the path's slash), who is calling, and archive entries dated by the files they hold.
TEST_F(ReporterSend, QueryStringUserAgentAndFileDatesArrive)
{
    StartCollector();
    m_work.WriteFile("crash-reporter.cfg", "set crash_url \"" + m_collector->Url("/submit?key=abc") +
                                               "\"\nset ElasticsearchUrl \"" +
                                               m_collector->Url("/events/prod/") + "\"\nset retry_count 1\n");
    ASSERT_TRUE(SetFileTime(m_in.Join("dumps/42.dmp"), LocalCalendarTime(2024, 3, 15, 10, 20, 30)));
    ASSERT_TRUE(SetFileTime(m_in.Join("logs/a.log"), LocalCalendarTime(2023, 12, 31, 23, 59, 58)));
    ASSERT_TRUE(SetFileTime(m_in.Join("logs/b.log"), LocalCalendarTime(2021, 6, 1, 8, 0, 0)));

    ProcessResult r = Run(true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out;
    const std::string meta = Slurp(reports[0] / "meta.json");
    EXPECT_NE(meta.find("\"path\": \"/submit/\", \"query\": \"key=abc\""), std::string::npos) << meta;
    const std::regex agent("\"userAgent\": \"MorvexCrashReporter/\\d+\\.\\d+\\.\\d+ \\(Linux\\)\"");
    EXPECT_TRUE(std::regex_search(meta, agent)) << meta;
    const std::string events = Slurp(fs::path(m_received.Path()) / "events.jsonl");
    EXPECT_TRUE(std::regex_search(events, agent)) << events;

    // Read by Python's zipfile: the entries carry the files' own local times (DOS keeps even seconds).
    fs::path archive;
    for (const auto& e : fs::directory_iterator(reports[0]))
        if (e.path().extension() != ".json")
            archive = e.path();
    ProcessResult dates =
        RunProcess({"/usr/bin/python3", "-c",
                    "import sys,zipfile\n"
                    "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                    "    print(i.filename, '%04d-%02d-%02d %02d:%02d:%02d' % i.date_time)\n",
                    archive.string()});
    EXPECT_EQ(dates.out, "42.dmp 2024-03-15 10:20:30\na.log 2023-12-31 23:59:58\nb.log 2021-06-01 08:00:00\n")
        << dates.err;

    // The copies in the report folder keep their sources' times too.
    auto folders = Folders(fs::path(m_user.Path()) / "Exceptions");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(MTime(folders[0] / "42.dmp"), LocalCalendarTime(2024, 3, 15, 10, 20, 30));
    EXPECT_EQ(MTime(folders[0] / "b.log"), LocalCalendarTime(2021, 6, 1, 8, 0, 0));
}

// A dump larger than a deflate piece is compressed on several threads into one entry that any
// reader takes whole: Python's zipfile (which checks the CRC) and unzip -t.
TEST_F(ReporterSend, LargeDumpsArriveWholeFromTheParallelDeflate)
{
    std::string dump;
    uint32_t x = 12345;
    for (size_t i = 0; i < 3 * 1024 * 1024; ++i) // random memory...
        dump += static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    for (size_t i = 0; dump.size() < 6 * 1024 * 1024 + 777; ++i) // ...then text
        dump += "thread " + std::to_string(i % 7) + " frame " + std::to_string(i) + "\n";
    m_in.WriteFile("dumps/42.dmp", dump);
    StartCollector();
    m_work.WriteFile("crash-reporter.cfg",
                     Slurp(fs::path(m_work.Path()) / "crash-reporter.cfg") + "set zip_threads 3\n");
    ProcessResult r = Run(true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out;
    fs::path archive;
    for (const auto& e : fs::directory_iterator(reports[0]))
        if (e.path().extension() != ".json")
            archive = e.path();
    ProcessResult check = RunProcess({"/usr/bin/python3", "-c",
                                      "import sys,zipfile,hashlib\n"
                                      "z=zipfile.ZipFile(sys.argv[1])\n"
                                      "print(z.testzip(), hashlib.sha256(z.read('42.dmp')).hexdigest(), "
                                      "z.getinfo('42.dmp').compress_size < 4700000)\n",
                                      archive.string()});
    ProcessResult expected = RunProcess({"/usr/bin/sha256sum", m_in.Join("dumps/42.dmp")});
    EXPECT_EQ(check.out, "None " + expected.out.substr(0, 64) + " True\n") << check.err;
    ProcessResult unzip = RunProcess({"/usr/bin/unzip", "-t", archive.string()});
    EXPECT_EQ(unzip.exitCode, 0) << unzip.out;
}

// The network service advances only while the sender polls it during the upload: a resolution
// asked for by the configuration script completes there, on a slow collector.
TEST_F(ReporterSend, NetworkServiceCommandsFromTheScriptRunWhileTheSenderPolls)
{
    StartCollector({"--delay-ms", "1500"});
    m_work.WriteFile("crash-reporter.cfg", Slurp(fs::path(m_work.Path()) / "crash-reporter.cfg") +
                                               "async_dnsResolve localhost\nasync_dbgDumpSockets\n"
                                               "async_dnsResolve\n");
    ProcessResult r = Run(true);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "Sent successfully"), 1u) << r.out;
    EXPECT_EQ(Count(r.out, "async_dnsResolve: localhost: 127.0.0.1:0"), 1u) << r.out << r.err;
    EXPECT_LT(r.out.find("async_dnsResolve: localhost: "), r.out.find("Sent successfully"))
        << "resolved during the upload, not at shutdown";
    EXPECT_EQ(Count(r.out, "Dumping AsyncSocket's:"), 1u) << r.out;
    EXPECT_EQ(Count(r.out + r.err, "Usage: /async_dnsResolve <hostname>"), 1u) << r.out << r.err;
}

TEST_F(ReporterSend, RefusedUploadsAreRetriedOnlyInBackgroundMode)
{
    StartCollector({"--status", "500"});
    ProcessResult silent = Run(true);
    EXPECT_EQ(silent.exitCode, 0) << silent.out;
    EXPECT_EQ(Count(silent.err, "Failed to send. Waiting..."), 3u) << silent.out;
    EXPECT_EQ(Count(silent.out + silent.err, "Not in a background mode"), 0u);
    EXPECT_EQ(Reports(m_received.Path()).size(), 3u);

    // Without --silent and without a display the dialog does not open: nobody is there to see a
    // failure, so the run retries as in background mode.
    ProcessResult interactive = Run(false);
    EXPECT_EQ(interactive.exitCode, 0) << interactive.out;
    EXPECT_EQ(Count(interactive.err, "Failed to send. Waiting..."), 3u) << interactive.out;
    EXPECT_EQ(Count(interactive.out, "Not in a background mode"), 0u);
    EXPECT_EQ(Reports(m_received.Path()).size(), 6u);
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
}

TEST_F(ReporterSend, UnreachableServerIsRetriedAndTheReportStaysOnDisk)
{
    StartCollector();
    std::string url = m_collector->Url("/submit/");
    m_collector->Stop();
    ProcessResult r = Run(true);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(Count(r.err, "Failed to send. Waiting..."), 3u) << r.out;
    EXPECT_EQ(Count(r.out, "Sent successfully"), 0u);
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
    EXPECT_TRUE(fs::exists(fs::path(m_user.Path()) / "Exceptions"));
}

namespace
{
// Bytes that do not compress, so that an archive of them is as large as they are.
std::string Incompressible(size_t n)
{
    std::string s(n, '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < n; ++i)
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x);
    }
    return s;
}

std::string Stamp(int64_t secondsFromNow, const char* format)
{
    time_t t = time(nullptr) + secondsFromNow;
    tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof(text), format, &local);
    return text;
}

// The reporter in situations players' machines produce: each case was a lost or wrong report before.
class ReporterFieldFaults : public ReporterSend
{
protected:
    std::vector<std::string> Standard(const std::string& id = "42")
    {
        return {"--id",        id,
                "--dump-path", m_in.Join("dumps"),
                "--user-path", m_user.Path(),
                "--wc",        m_in.Join("logs") + "/*.log",
                "--product",   "Demo",
                "--silent"};
    }
    fs::path Exceptions() const { return fs::path(m_user.Path()) / "Exceptions"; }
    std::string Expected(std::initializer_list<std::pair<std::string, std::string>> entries)
    {
        std::string out;
        for (const auto& [name, content] : entries)
            out += name + " " + Hex(content) + "\n";
        return out;
    }
};
} // namespace

// Paths past the old 260-byte limit: a 1000-byte --user-path, a 300-byte --dump-path and a 250-byte
// log name. Before, the dump's and the log's copies were cut to one name and the dump was lost. Two
// logs of the same name from two folders both arrive, under distinct names.
TEST_F(ReporterFieldFaults, LongPathsAndSameNamesArriveWhole)
{
    StartCollector();
    std::string user = "u";
    while (user.size() < 1000)
        user += "/" + std::string(150, 'u');
    std::string dumps = "d";
    while (dumps.size() < 300)
        dumps += "/" + std::string(100, 'd');
    const std::string logName = std::string(246, 'l') + ".log";
    m_in.WriteFile(dumps + "/42.dmp", "long dump");
    m_in.WriteFile("logs/" + logName, "long log");
    m_in.WriteFile("other/a.log", "the other a.log");
    ProcessResult r =
        RunArgs({"--id", "42", "--dump-path", m_in.Join(dumps), "--user-path", m_user.Join(user), "--wc",
                 m_in.Join("logs") + "/*.log", "--wc", m_in.Join("other") + "/*.log", "--silent"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out << r.err;
    EXPECT_EQ(ListUpload(reports[0]), Expected({{"42.dmp", "long dump"},
                                                {"a.log", m_in.ReadFile("logs/a.log")},
                                                {"b.log", m_in.ReadFile("logs/b.log")},
                                                {logName, "long log"},
                                                {"a (2).log", "the other a.log"}}));
    auto folders = Folders(fs::path(m_user.Join(user)) / "Exceptions");
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(CountFiles(folders[0]), 5u);
}

// Two crashes reported in the same second: each run keeps its own report folder and its own log file,
// and each upload carries its own dump. Folders and logs that exist already are never reused.
TEST_F(ReporterFieldFaults, TwoReportersAtOnceKeepTheirOwnFoldersAndLogs)
{
    StartCollector();
    m_in.WriteFile("dumps/43.dmp", "the other crash");
    const fs::path logs = fs::path(m_data.Path()) / "Morvex" / "Morvex Crash Reporter" / "logs";
    std::vector<fs::path> planted;
    for (int64_t s = 0; s < 4; ++s)
    {
        fs::create_directories(logs);
        planted.push_back(logs / ("crashreport_" + Stamp(s, "%Y-%m-%d_%H-%M-%S") + ".log"));
        std::ofstream(planted.back()) << "an earlier run's log";
        m_user.WriteFile("Exceptions/" + Stamp(s, "%Y.%m.%d %H.%M.%S") + "/marker", "someone else's");
    }
    std::vector<std::string> env = {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY="};
    std::vector<std::string> first = Standard("42"), second = Standard("43");
    first.insert(first.begin(), CRASH_REPORTER_PATH);
    second.insert(second.begin(), CRASH_REPORTER_PATH);
    ChildProcess a(first, m_work.Path(), env), b(second, m_work.Path(), env);
    ProcessResult ra = a.Wait(), rb = b.Wait();
    EXPECT_EQ(ra.exitCode, 0) << ra.out << ra.err;
    EXPECT_EQ(rb.exitCode, 0) << rb.out << rb.err;

    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 2u);
    std::set<std::string> dumps;
    for (const fs::path& report : reports)
    {
        std::string listing = ListUpload(report);
        const bool is42 = listing.find("42.dmp " + Hex(m_in.ReadFile("dumps/42.dmp"))) != std::string::npos;
        const bool is43 = listing.find("43.dmp " + Hex("the other crash")) != std::string::npos;
        EXPECT_NE(is42, is43) << listing;
        dumps.insert(is42 ? "42" : "43");
        EXPECT_EQ(Count(listing, ".dmp "), 1u) << "one crash's files only: " << listing;
    }
    EXPECT_EQ(dumps.size(), 2u);
    for (const fs::path& log : planted)
        EXPECT_EQ(Slurp(log), "an earlier run's log") << log;
    size_t logsNow = 0;
    for (const auto& e : fs::directory_iterator(logs))
        logsNow += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(logsNow, planted.size() + 2);
    size_t withMarker = 0, withDump = 0;
    for (const fs::path& folder : Folders(Exceptions()))
    {
        withMarker += fs::exists(folder / "marker");
        withDump += fs::exists(folder / "42.dmp") || fs::exists(folder / "43.dmp");
        EXPECT_FALSE(fs::exists(folder / "marker") && CountFiles(folder) != 1) << folder;
    }
    EXPECT_EQ(withMarker, 4u);
    EXPECT_EQ(withDump, 2u);
}

// A full disk under the report folder (a 1 MiB tmpfs): the dump cannot be copied, and is sent from
// where it is. Before, the upload went out without the dump.
TEST_F(ReporterFieldFaults, FullReportDiskStillSendsTheDump)
{
    StartCollector();
    // Everywhere: a file-size limit makes every write past 1 MiB fail as a full disk does; the dump
    // compresses, so the archive still fits.
    std::string dump;
    for (int i = 0; dump.size() < (3u << 20); ++i)
        dump += "frame " + std::to_string(i % 1000) + " of a compressible dump\n";
    m_in.WriteFile("dumps/42.dmp", dump);
    {
        Morvex::Test::ScopedFileSizeLimit limit(1 << 20);
        ASSERT_TRUE(limit.Active());
        ProcessResult r = RunArgs(Standard());
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("could not be copied into the report; it is sent from where it is"),
                  std::string::npos)
            << r.out;
    }
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(ListUpload(reports[0]), Expected({{"42.dmp", dump},
                                                {"a.log", m_in.ReadFile("logs/a.log")},
                                                {"b.log", m_in.ReadFile("logs/b.log")}}));

    // Where a small file system can be mounted: the report folder's disk is full, the temporary
    // folder is not, and the dump does not compress.
    Morvex::Test::ScopedTmpfs disk(1 << 20);
    if (!disk.Active())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string incompressible = Incompressible(3 << 20);
    m_in.WriteFile("dumps/42.dmp", incompressible);
    std::vector<std::string> args = Standard();
    args[5] = disk.Path() + "/user";
    ProcessResult r = RunArgs(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(ListUpload(reports[1]), Expected({{"42.dmp", incompressible},
                                                {"a.log", m_in.ReadFile("logs/a.log")},
                                                {"b.log", m_in.ReadFile("logs/b.log")}}));
}

// Where the dialog cannot open because its module is not beside the reporter (a studio shipped the
// binary alone), the run counts as unattended and retries, as a silent one does.
TEST_F(ReporterFieldFaults, NoDialogModuleRetriesLikeASilentRun)
{
    StartCollector({"--status", "503"});
    m_tmp.WriteFile("alone/placeholder", "");
    const std::string alone = m_tmp.Join("alone/CrashReporter");
    fs::copy_file(CRASH_REPORTER_PATH, alone);
    fs::permissions(alone, fs::perms::owner_all);
    std::vector<std::string> args = Standard();
    args.pop_back(); // not --silent
    args.insert(args.begin(), alone);
    ProcessResult r = RunProcess(args, m_work.Path(),
                                 {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY=:0"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Crash dialog not available"), std::string::npos) << r.out;
    // Three attempts, as in background mode (a connection the server dropped may keep one of them
    // from reaching it, so the log counts them).
    EXPECT_EQ(Count(r.err, "Failed to send. Waiting..."), 3u) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "Not in a background mode"), 0u);
    EXPECT_GE(Reports(m_received.Path()).size(), 1u);
}

// Without /proc (a chroot or a sandbox), the archive, which has no name, is still read back for the
// upload.
TEST_F(ReporterFieldFaults, RunsWithoutProc)
{
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's runtime reads its options and the process's threads through /proc.
    GTEST_SKIP() << "the address sanitizer needs /proc";
#endif
    if (geteuid() != 0 || RunProcess({"/usr/bin/unshare", "--mount", "true"}).exitCode != 0)
        GTEST_SKIP() << "a private mount namespace needs root";
    StartCollector();
    std::vector<std::string> inner = {"mount -t tmpfs none /proc && exec \"$0\" \"$@\"", CRASH_REPORTER_PATH};
    std::vector<std::string> switches = Standard();
    inner.insert(inner.end(), switches.begin(), switches.end());
    std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--propagation", "private", "--",
                                     "/bin/sh",          "-c"};
    argv.insert(argv.end(), inner.begin(), inner.end());
    ProcessResult r = RunProcess(argv, m_work.Path(),
                                 {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY="});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out << r.err;
    EXPECT_NE(ListUpload(reports[0]).find("42.dmp " + Hex(m_in.ReadFile("dumps/42.dmp"))), std::string::npos);
}

// A --user-path that cannot hold a report folder (a file; and, for a user without root's rights, a
// read-only folder): the report folder moves to the user data folder. Before, exit 3 and nothing sent.
TEST_F(ReporterFieldFaults, UnusableUserPathStillSends)
{
    StartCollector();
    m_work.WriteFile("userfile", "mine");
    std::vector<std::string> args = Standard();
    args[5] = m_work.Join("userfile");
    ProcessResult r = RunArgs(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("Could not make the report folder in '" + m_work.Join("userfile/Exceptions")),
              std::string::npos)
        << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(ListUpload(reports[0]).find("42.dmp " + Hex(m_in.ReadFile("dumps/42.dmp"))), std::string::npos);
    const fs::path fallback = fs::path(m_data.Path()) / "Morvex" / "Morvex Crash Reporter" / "exceptions";
    ASSERT_EQ(Folders(fallback).size(), 1u);
    EXPECT_EQ(CountFiles(Folders(fallback)[0]), 3u);
    EXPECT_EQ(m_work.ReadFile("userfile"), "mine");

    // The same with a folder the player cannot write to, run without root's rights.
    std::vector<std::string> prefix = Morvex::Test::AsUnprivilegedUser();
    for (const std::string& dir : {m_in.Path(), m_work.Path(), m_in.Join("dumps"), m_in.Join("logs")})
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    for (const std::string& dir : {m_data.Path(), m_tmp.Path()})
        fs::permissions(dir, fs::perms::all);
    fs::create_directories(fs::path(m_data.Path()) / "Morvex");
    fs::permissions(fs::path(m_data.Path()) / "Morvex", fs::perms::all);
    fs::permissions(fallback.parent_path(), fs::perms::all);
    fs::permissions(fallback, fs::perms::all);
    fs::permissions(fallback.parent_path() / "logs", fs::perms::all);
    m_user.WriteFile("ro/keep", "x");
    fs::permissions(m_user.Path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(m_user.Join("ro"), fs::perms::owner_read | fs::perms::owner_exec |
                                           fs::perms::others_read | fs::perms::others_exec);
    args[5] = m_user.Join("ro");
    ProcessResult unprivileged = RunArgs(args, {}, prefix);
    EXPECT_EQ(unprivileged.exitCode, 0) << unprivileged.out << unprivileged.err;
    EXPECT_EQ(Reports(m_received.Path()).size(), 2u) << unprivileged.out << unprivileged.err;
    EXPECT_NE(unprivileged.err.find("Could not make the report folder"), std::string::npos)
        << unprivileged.err;
}

// A temporary folder that cannot take the archive (a file in its place; a full 64 KiB tmpfs): the
// archive is built in the report folder instead, and nothing is left in either. The old fallback, a
// predictable name in the working directory opened through any link planted there, is gone.
TEST_F(ReporterFieldFaults, UnusableTemporaryFolderStillSends)
{
    StartCollector();
    m_work.WriteFile("victim", "precious");
    for (int i = 0; i < 100; ++i)
        for (int j = 0; j < 100; ++j)
            symlink(m_work.Join("victim").c_str(),
                    m_work.Join("morvextmp_" + std::to_string(i) + std::to_string(j) + ".tmp").c_str());
    m_work.WriteFile("notafolder", "x");
    Morvex::Test::ScopedTmpfs full(64 << 10);
    std::vector<std::string> tmpdirs = {m_work.Join("notafolder")};
    if (full.Active())
    {
        tmpdirs.push_back(full.Path());
        m_in.WriteFile("dumps/42.dmp", Incompressible(1 << 20));
    }
    size_t expected = 0;
    for (const std::string& tmpdir : tmpdirs)
    {
        SCOPED_TRACE(tmpdir);
        ProcessResult r = RunArgs(Standard(), {"TMPDIR=" + tmpdir});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Sent successfully"), std::string::npos) << r.out << r.err;
        auto reports = Reports(m_received.Path());
        ASSERT_EQ(reports.size(), ++expected);
        EXPECT_NE(ListUpload(reports.back()).find("42.dmp " + Hex(m_in.ReadFile("dumps/42.dmp"))),
                  std::string::npos);
    }
    EXPECT_EQ(m_work.ReadFile("victim"), "precious");
    if (full.Active())
    {
        EXPECT_TRUE(fs::is_empty(full.Path()));
    }
    for (const fs::path& folder : Folders(Exceptions()))
        EXPECT_EQ(CountFiles(folder), 3u) << "copies only, no archive: " << folder;
}

// However the reporter ends during the upload (killed, terminated, out of CPU time), no archive is
// left behind: the archive never had a name.
TEST_F(ReporterFieldFaults, StoppedDuringTheUploadLeavesNoArchive)
{
    StartCollector({"--delay-ms", "4000"});
    m_work.WriteFile("crash-reporter.cfg", "set crash_url \"" + m_collector->Url("/submit/") +
                                               "\"\nset ElasticsearchUrl \"\"\nset retry_count 1\n");
    for (int signal : {SIGKILL, SIGTERM, SIGXCPU})
    {
        SCOPED_TRACE(signal);
        std::vector<std::string> argv = Standard();
        argv.insert(argv.begin(), CRASH_REPORTER_PATH);
        const size_t before = Reports(m_received.Path()).size();
        ChildProcess reporter(argv, m_work.Path(),
                              {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY="});
        for (int i = 0; i < 200 && Reports(m_received.Path()).size() == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_GT(Reports(m_received.Path()).size(), before) << "the upload never started";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        reporter.Signal(signal);
        ProcessResult r = reporter.Wait();
        EXPECT_EQ(r.exitCode, 128 + signal) << r.out << r.err;
        EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
    }
    for (const fs::path& folder : Folders(Exceptions()))
        EXPECT_EQ(CountFiles(folder), 3u) << folder;
}

// Bytes that are not UTF-8 in the fields: the upload keeps them byte for byte, the event stays valid
// JSON with U+FFFD in their place. An event answered with a redirect counts as not delivered.
TEST_F(ReporterFieldFaults, NonUtf8FieldsAndARedirectedEvent)
{
    StartCollector({"--event-status", "302"});
    std::vector<std::string> args = Standard();
    args[9] = "Caf\xe9";
    args.insert(args.end(), {"--additional", "version-type=\xff\xfe;k=\xc3"});
    ProcessResult r = RunArgs(args);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("AddElasticEvent: the server answered 302 (a redirect, not followed)"),
              std::string::npos)
        << r.err;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(Slurp(reports[0] / "fields.json").find("\"ProductName\": \"Caf\xe9\""), std::string::npos);
    ProcessResult check = RunProcess({"/usr/bin/python3", "-c",
                                      "import json,sys\n"
                                      "d=json.loads(open(sys.argv[1],'rb').read().decode('utf-8'))\n"
                                      "print(d['title']); print(d['tags'][1]); print(d['desc'])\n",
                                      (fs::path(m_received.Path()) / "events" / "0001.json").string()});
    EXPECT_EQ(check.exitCode, 0) << check.err;
    EXPECT_EQ(check.out, "Caf\xef\xbf\xbd crashed\n\xef\xbf\xbd\xef\xbf\xbd\n"
                         "version-type=\xef\xbf\xbd\xef\xbf\xbd<br>k=\xef\xbf\xbd<br>\n");
}

// An index server that answers without end, or never: the event is given up (a bounded answer, a
// limit of its own), and the report is delivered. Before, the endless answer exhausted memory and
// ended the process before anything was sent, and a silent one held the report for a minute.
TEST_F(ReporterFieldFaults, MisbehavingIndexServerDoesNotStopTheReport)
{
    StartCollector();
    for (Morvex::Test::RawServer::Mode mode :
         {Morvex::Test::RawServer::Mode::Endless, Morvex::Test::RawServer::Mode::Silent})
    {
        SCOPED_TRACE(static_cast<int>(mode));
        Morvex::Test::RawServer index(mode);
        m_work.WriteFile("crash-reporter.cfg",
                         "set crash_url \"" + m_collector->Url("/submit/") + "\"\nset ElasticsearchUrl \"" +
                             index.Url("/events/prod/") + "\"\nset ElasticsearchTimeoutSec 2\n");
        const size_t before = Reports(m_received.Path()).size();
        ProcessResult r = RunArgs(Standard());
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Reports(m_received.Path()).size(), before + 1) << r.out << r.err;
        if (mode == Morvex::Test::RawServer::Mode::Endless)
        {
            EXPECT_NE(r.out.find("the rest was not read"), std::string::npos) << r.out;
        }
        else
        {
            // The event's own limit ended it, not the client's default minute.
            EXPECT_NE(r.out.find("Operation timed out after 2"), std::string::npos) << r.out;
            EXPECT_NE(r.err.find("AddElasticEvent: ErrorCode::TIMEOUT"), std::string::npos) << r.err;
        }
    }
}

namespace
{
// Reports that could not be delivered are kept and sent by later runs: each case is a report that
// used to stay on disk unsent for ever, or that flooded the server.
class ReporterKeepsReports : public ReporterFieldFaults
{
protected:
    void WriteConfig(const std::string& uploadUrl, const std::string& eventUrl, const std::string& extra)
    {
        m_work.WriteFile("crash-reporter.cfg", "set crash_url \"" + uploadUrl +
                                                   "\"\nset ElasticsearchUrl \"" + eventUrl + "\"\n" + extra);
    }
    // A report folder's state file, as text.
    std::string StateOf(const fs::path& folder) const
    {
        return Slurp(folder.parent_path() / ".morvex-state" / (folder.filename().string() + ".report"));
    }
    ProcessResult SendPending() { return RunArgs({"--send-pending", "--user-path", m_user.Path()}); }
    // The collector's uploads that arrived whole.
    static size_t Complete(const std::vector<fs::path>& reports)
    {
        size_t n = 0;
        for (const fs::path& report : reports)
            n += Slurp(report / "meta.json").find("\"complete\": true") != std::string::npos;
        return n;
    }
    static bool Has(const std::string& text, const std::string& what)
    {
        return text.find(what) != std::string::npos;
    }
    // Waits (at most a minute) for a file to appear.
    static bool WaitFor(const fs::path& path)
    {
        for (int i = 0; i < 3000 && !fs::exists(path); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return fs::exists(path);
    }
};
} // namespace

// The server is down for the crash and up again at the next game start: the launcher's --send-pending
// delivers the kept report with the fields the player gave, posts the event the first run could not,
// and nothing is sent a third time.
TEST_F(ReporterKeepsReports, ServerDownThenUpDeliversTheKeptReportOnce)
{
    StartCollector({"--report-id", "R-2024-0001"});
    const int port = m_collector->port();
    WriteConfig(m_collector->Url("/submit/"), m_collector->Url("/events/prod/"),
                "set retry_count 2\nset retry_wait_sec 0\nset pending_backoffBaseSec 0\n");
    m_collector->Stop();
    const std::string comments = "it broke\n\nwhile loading \"level 3\" \\ with\ttabs";
    std::vector<std::string> args = Standard();
    args.insert(args.end(), {"--comments", comments, "--additional", "version-type=release;script="});
    ProcessResult first = RunArgs(args);
    EXPECT_EQ(first.exitCode, 0) << first.out << first.err;
    EXPECT_EQ(Count(first.err, "Failed to send. Waiting..."), 2u) << first.err;
    EXPECT_TRUE(Has(first.out, "The report is kept, not sent: '")) << first.out;
    auto folders = Folders(Exceptions());
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(CountFiles(folders[0]), 3u) << "the folder shows the report's files only";
    EXPECT_TRUE(Has(StateOf(folders[0]), "status pending\n")) << StateOf(folders[0]);
    EXPECT_TRUE(Has(StateOf(folders[0]), "attempts 2\n")) << StateOf(folders[0]);

    // Up again, where it was.
    m_collector = std::make_unique<CollectorProcess>(
        COLLECTOR_PATH, std::vector<std::string>{"--port", std::to_string(port), "--data", m_received.Path(),
                                                 "--report-id", "R-2024-0001"});
    ASSERT_EQ(m_collector->port(), port) << m_collector->output();
    ProcessResult second = SendPending();
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_TRUE(Has(second.out, "Sending pending report '" + folders[0].string() + "' (attempt 3)"))
        << second.out;
    EXPECT_TRUE(Has(second.out, "Server report id: R-2024-0001")) << second.out;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(
        Slurp(reports[0] / "fields.json"),
        "{\"Id\": \"42\", \"Comments\": \"it broke\\n\\nwhile loading \\\"level 3\\\" \\\\ with\\ttabs\", "
        "\"ProductName\": \"Demo\", \"Platform\": \"Linux64\", \"Additional\": "
        "\"version-type=release;script=\"}\n");
    EXPECT_EQ(ListUpload(reports[0]), Expected({{"42.dmp", m_in.ReadFile("dumps/42.dmp")},
                                                {"a.log", m_in.ReadFile("logs/a.log")},
                                                {"b.log", m_in.ReadFile("logs/b.log")}}));
    EXPECT_TRUE(fs::exists(fs::path(m_received.Path()) / "events" / "0001.json"));
    EXPECT_TRUE(Has(StateOf(folders[0]), "status delivered\n")) << StateOf(folders[0]);
    EXPECT_TRUE(Has(StateOf(folders[0]), "server-id R-2024-0001\n")) << StateOf(folders[0]);

    // Neither the launcher nor the next crash sends it again.
    EXPECT_EQ(SendPending().exitCode, 0);
    ProcessResult next = RunArgs(Standard("43"));
    EXPECT_EQ(next.exitCode, 0) << next.out << next.err;
    EXPECT_EQ(Reports(m_received.Path()).size(), 2u);
    EXPECT_FALSE(fs::exists(fs::path(m_received.Path()) / "events" / "0003.json")) << "one event per report";
    EXPECT_TRUE(fs::is_empty(m_tmp.Path()));
}

// The reporter is killed while the collector is still reading the upload: the next crash's run sends
// its own report and then the kept one, so the collector ends up with exactly one whole copy of it.
TEST_F(ReporterKeepsReports, KilledMidUploadIsSentWholeByTheNextRun)
{
    StartCollector({"--hold-after-bytes", "65536"});
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 1\nset pending_backoffBaseSec 0\n");
    m_in.WriteFile("dumps/42.dmp", Incompressible(4 << 20));
    std::vector<std::string> argv = Standard();
    argv.insert(argv.begin(), CRASH_REPORTER_PATH);
    ChildProcess reporter(argv, m_work.Path(),
                          {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY="});
    ASSERT_TRUE(WaitFor(m_received.Join("holding"))) << "the upload never started";
    reporter.Signal(SIGKILL);
    EXPECT_EQ(reporter.Wait().exitCode, 128 + SIGKILL);
    m_received.WriteFile("release", "");
    ASSERT_EQ(Reports(m_received.Path()).size(), 1u);
    ASSERT_TRUE(WaitFor(Reports(m_received.Path())[0] / "meta.json"));
    EXPECT_EQ(Complete(Reports(m_received.Path())), 0u) << Slurp(Reports(m_received.Path())[0] / "meta.json");

    TempDir received;
    CollectorProcess collector(COLLECTOR_PATH, {"--port", "0", "--data", received.Path()});
    ASSERT_GT(collector.port(), 0);
    WriteConfig(collector.Url("/submit/"), "", "set retry_count 1\nset pending_backoffBaseSec 0\n");
    m_in.WriteFile("dumps/43.dmp", "the next crash");
    ProcessResult r = RunArgs(Standard("43"));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto reports = Reports(received.Path());
    ASSERT_EQ(reports.size(), 2u) << r.out << r.err;
    EXPECT_EQ(Complete(reports), 2u);
    EXPECT_TRUE(Has(ListUpload(reports[0]), "43.dmp " + Hex("the next crash"))) << "its own report first";
    EXPECT_EQ(ListUpload(reports[1]), Expected({{"42.dmp", m_in.ReadFile("dumps/42.dmp")},
                                                {"a.log", m_in.ReadFile("logs/a.log")},
                                                {"b.log", m_in.ReadFile("logs/b.log")}}));
    EXPECT_EQ(SendPending().exitCode, 0);
    EXPECT_EQ(Reports(received.Path()).size(), 2u) << "sent once";
}

// An answer that says the report will never be taken ends its life: it is not sent again, by the
// launcher nor by later crashes.
TEST_F(ReporterKeepsReports, RejectedReportsAreNotSentAgain)
{
    for (const char* status : {"413", "400"})
    {
        SCOPED_TRACE(status);
        TempDir received;
        CollectorProcess collector(COLLECTOR_PATH,
                                   {"--port", "0", "--data", received.Path(), "--status", status});
        ASSERT_GT(collector.port(), 0);
        WriteConfig(collector.Url("/submit/"), "", "set retry_count 1\nset pending_backoffBaseSec 0\n");
        ProcessResult r = RunArgs(Standard());
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.err, std::string("The server refused the report for good (HTTP ") + status + ")"))
            << r.err;
        EXPECT_EQ(SendPending().exitCode, 0);
        EXPECT_EQ(Reports(received.Path()).size(), 1u);
    }
    for (const fs::path& folder : Folders(Exceptions()))
        EXPECT_TRUE(Has(StateOf(folder), "status rejected\n")) << StateOf(folder);
}

// A server that asks for a wait gets it: the in-run wait follows Retry-After, not retry_wait_sec.
TEST_F(ReporterKeepsReports, RetryAfterSetsTheInRunWait)
{
    StartCollector({"--status", "503", "--retry-after", "2"});
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 2\nset retry_wait_sec 600\n");
    ProcessResult r = RunArgs(Standard());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Count(r.out, "The server asked to wait 2 s before the next attempt"), 1u) << r.out;
    EXPECT_EQ(Reports(m_received.Path()).size(), 2u);
}

// A game that crashes in a loop: twenty crashes within the hour send ten reports; the other ten are
// kept, each with its files, for later.
TEST_F(ReporterKeepsReports, CrashLoopIsHeldToTheHourlyAllowance)
{
    StartCollector();
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 1\nset reports_maxPerHour 10\n");
    for (int i = 0; i < 20; ++i)
    {
        m_in.WriteFile("dumps/" + std::to_string(i) + ".dmp", "crash " + std::to_string(i));
        ProcessResult r = RunArgs(Standard(std::to_string(i)));
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(Has(r.out, "10 uploads were made in the last hour; the report is kept and sent later"),
                  i >= 10)
            << i << r.out;
    }
    EXPECT_EQ(Reports(m_received.Path()).size(), 10u);
    size_t pending = 0, delivered = 0;
    for (const fs::path& folder : Folders(Exceptions()))
    {
        pending += Has(StateOf(folder), "status pending\n");
        delivered += Has(StateOf(folder), "status delivered\n");
        EXPECT_EQ(CountFiles(folder), 3u) << folder;
    }
    EXPECT_EQ(pending, 10u);
    EXPECT_EQ(delivered, 10u);
}

// Two launchers work through the same queue at once: while the first is held in the middle of one
// report's upload, the second sends all the others and leaves that one alone; each arrives once.
TEST_F(ReporterKeepsReports, TwoReportersSendTheSameQueueOnce)
{
    StartCollector();
    const std::string down = m_collector->Url("/submit/");
    m_collector->Stop();
    WriteConfig(down, "", "set retry_count 1\nset pending_backoffBaseSec 0\n");
    for (int i = 0; i < 4; ++i)
    {
        m_in.WriteFile("dumps/" + std::to_string(i) + ".dmp", "crash " + std::to_string(i));
        EXPECT_EQ(RunArgs(Standard(std::to_string(i))).exitCode, 0);
    }
    StartCollector({"--hold-after-bytes", "200"});
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 1\nset pending_backoffBaseSec 0\n");
    std::vector<std::string> argv = {CRASH_REPORTER_PATH, "--send-pending", "--user-path", m_user.Path()};
    std::vector<std::string> env = {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY="};
    ChildProcess first(argv, m_work.Path(), env);
    ASSERT_TRUE(WaitFor(m_received.Join("holding")));
    ProcessResult second = RunArgs({"--send-pending", "--user-path", m_user.Path()});
    EXPECT_EQ(second.exitCode, 0) << second.out << second.err;
    EXPECT_EQ(Count(second.out, "Sending pending report"), 3u) << second.out;
    m_received.WriteFile("release", "");
    ProcessResult one = first.Wait();
    EXPECT_EQ(one.exitCode, 0) << one.out << one.err;
    EXPECT_EQ(Count(one.out, "Sending pending report"), 1u) << one.out;
    std::multiset<std::string> arrived;
    for (const fs::path& report : Reports(m_received.Path()))
        arrived.insert(ListUpload(report).substr(0, ListUpload(report).find('\n')));
    EXPECT_EQ(arrived, (std::multiset<std::string>{"0.dmp " + Hex("crash 0"), "1.dmp " + Hex("crash 1"),
                                                   "2.dmp " + Hex("crash 2"), "3.dmp " + Hex("crash 3")}));
    EXPECT_EQ(Complete(Reports(m_received.Path())), 4u);
}

// The store stays within reports_maxKept: of 60 delivered reports and a new one, the 11 oldest go.
TEST_F(ReporterKeepsReports, StoreKeepsItsNewestFifty)
{
    StartCollector();
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 1\n");
    std::string userPath;
    for (char c : m_user.Path())
        userPath += c == ' ' ? std::string("\\s") : c == '\\' ? std::string("\\\\") : std::string(1, c);
    const int64_t now = static_cast<int64_t>(time(nullptr)) * 1000;
    for (int i = 0; i < 60; ++i)
    {
        const std::string name = "old " + std::to_string(100 + i);
        m_user.WriteFile("Exceptions/" + name + "/" + std::to_string(i) + ".dmp", "delivered long ago");
        m_user.WriteFile("Exceptions/.morvex-state/" + name + ".report",
                         "morvex-report 1\nstatus delivered\nuser-path " + userPath + "\nid " +
                             std::to_string(i) + "\ncreated " + std::to_string(now - (60 - i) * 60000) +
                             "\nfile 1 0 0 " + std::to_string(i) + ".dmp \nend\n");
    }
    ProcessResult r = RunArgs(Standard());
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Reports(m_received.Path()).size(), 1u) << "delivered reports are not sent again";
    auto folders = Folders(Exceptions());
    ASSERT_EQ(folders.size(), 50u);
    EXPECT_EQ(CountFiles(folders[0]), 3u) << "the run's own report stays: " << folders[0];
    EXPECT_EQ(folders[1].filename(), "old 111") << "the eleven oldest went";
    EXPECT_EQ(folders.back().filename(), "old 159");
    EXPECT_FALSE(fs::exists(Exceptions() / ".morvex-state" / "old 110.report"));
    EXPECT_TRUE(fs::exists(Exceptions() / ".morvex-state" / "old 111.report"));
    EXPECT_FALSE(Has(r.out, "removing pending report"));
}

// Proxies: http_proxy (and https_proxy) from the environment, no_proxy's exceptions, and curl_proxy
// naming one in the configuration. The local proxy takes the requests itself.
TEST_F(ReporterKeepsReports, ProxiesAreHonoured)
{
    Morvex::Test::RawServer proxy(Morvex::Test::RawServer::Mode::Proxy);
    const std::string proxyUrl = proxy.Url("");
    WriteConfig("http://reports.invalid/submit/", "", "set retry_count 1\n");
    ProcessResult viaEnv = RunArgs(Standard(), {"http_proxy=" + proxyUrl, "no_proxy="});
    EXPECT_EQ(viaEnv.exitCode, 0) << viaEnv.out << viaEnv.err;
    EXPECT_TRUE(Has(viaEnv.out, "Server report id: proxied-id")) << viaEnv.out << viaEnv.err;

    WriteConfig("http://reports.invalid/submit/", "",
                "set retry_count 1\nset curl_proxy \"" + proxyUrl + "\"\n");
    ProcessResult viaCvar = RunArgs(Standard(), {"http_proxy=", "no_proxy="});
    EXPECT_EQ(viaCvar.exitCode, 0) << viaCvar.out << viaCvar.err;
    EXPECT_TRUE(Has(viaCvar.out, "Server report id: proxied-id")) << viaCvar.out << viaCvar.err;

    // https: the proxy is asked for a tunnel (it cannot give one: the report stays pending).
    WriteConfig("https://reports.invalid/submit/", "", "set retry_count 1\n");
    ProcessResult viaHttps = RunArgs(Standard(), {"https_proxy=" + proxyUrl, "no_proxy="});
    EXPECT_EQ(viaHttps.exitCode, 0) << viaHttps.out << viaHttps.err;
    EXPECT_TRUE(Has(viaHttps.out, "The report is kept, not sent")) << viaHttps.out << viaHttps.err;

    EXPECT_EQ(proxy.RequestLines(), (std::vector<std::string>{"POST http://reports.invalid/submit/ HTTP/1.1",
                                                              "POST http://reports.invalid/submit/ HTTP/1.1",
                                                              "CONNECT reports.invalid:443 HTTP/1.1"}));

    // no_proxy names the collector's host: it is reached directly.
    StartCollector();
    WriteConfig(m_collector->Url("/submit/"), "", "set retry_count 1\n");
    ProcessResult direct = RunArgs(Standard(), {"http_proxy=" + proxyUrl, "no_proxy=127.0.0.1"});
    EXPECT_EQ(direct.exitCode, 0) << direct.out << direct.err;
    EXPECT_EQ(Reports(m_received.Path()).size(), 1u);
    EXPECT_EQ(proxy.RequestLines().size(), 3u);
}

// What a launcher's --send-pending says: 2 without --user-path, 0 when all went well (or nothing
// was kept), 3 when a kept report could not be read whole; that report is still sent, with the files
// its folder holds.
TEST_F(ReporterKeepsReports, SendPendingExitCodesAndADamagedState)
{
    StartCollector();
    WriteConfig(m_collector->Url("/submit/"), "", "set pending_backoffBaseSec 0\n");
    EXPECT_EQ(RunArgs({"--send-pending"}).exitCode, 2);
    EXPECT_EQ(SendPending().exitCode, 0) << "nothing kept";

    m_user.WriteFile("Exceptions/2024.01.02 03.04.05/42.dmp", "the dump");
    m_user.WriteFile("Exceptions/.morvex-state/2024.01.02 03.04.05.report",
                     std::string("\0\xff garbage", 10));
    ProcessResult r = SendPending();
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "it is kept as pending with the files its folder holds")) << r.out;
    auto reports = Reports(m_received.Path());
    ASSERT_EQ(reports.size(), 1u) << r.out << r.err;
    EXPECT_EQ(ListUpload(reports[0]), Expected({{"42.dmp", "the dump"}}));
    EXPECT_TRUE(Has(Slurp(reports[0] / "fields.json"), "\"Id\": \"2024.01.02 03.04.05\""))
        << Slurp(reports[0] / "fields.json");
    EXPECT_EQ(SendPending().exitCode, 0) << "its state is whole again, and delivered";
    EXPECT_EQ(Reports(m_received.Path()).size(), 1u);
}
