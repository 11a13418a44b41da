// Runs the real reporter against the real collector: what arrives, the retries, what is left behind.

#include "CollectorProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace Morvex::Test;
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
        std::vector<std::string> args = {CRASH_REPORTER_PATH,
                                         "--id",
                                         "42",
                                         "--dump-path",
                                         m_in.Join("dumps"),
                                         "--user-path",
                                         m_user.Path(),
                                         "--wc",
                                         m_in.Join("logs") + "/*.log",
                                         "--product",
                                         "Demo",
                                         "--additional",
                                         "version-type=release;script="};
        if (silent)
            args.push_back("--silent");
        return RunProcess(
            args, m_work.Path(),
            {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
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
    fs::path archive;
    for (const auto& e : fs::directory_iterator(reports[0]))
        if (e.path().extension() != ".json")
            archive = e.path();
    ASSERT_FALSE(archive.empty());
    ProcessResult list = RunProcess({"/usr/bin/python3", "-c",
                                     "import sys,zipfile\n"
                                     "z=zipfile.ZipFile(sys.argv[1])\n"
                                     "for i in z.infolist(): print(i.filename, z.read(i).hex())\n",
                                     archive.string()});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    auto hex = [](const std::string& s)
    {
        std::string out;
        char b[3];
        for (unsigned char c : s)
        {
            std::snprintf(b, sizeof(b), "%02x", c);
            out += b;
        }
        return out;
    };
    EXPECT_EQ(list.out, "42.dmp " + hex(m_in.ReadFile("dumps/42.dmp")) + "\na.log " +
                            hex(m_in.ReadFile("logs/a.log")) + "\nb.log " + hex(m_in.ReadFile("logs/b.log")) +
                            "\n");

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
    size_t copies = 0;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(m_user.Path()) / "Exceptions"))
        copies += e.is_regular_file();
    EXPECT_EQ(copies, 3u);
}

TEST_F(ReporterSend, RefusedUploadsAreRetriedOnlyInBackgroundMode)
{
    StartCollector({"--status", "500"});
    ProcessResult silent = Run(true);
    EXPECT_EQ(silent.exitCode, 0) << silent.out;
    EXPECT_EQ(Count(silent.err, "Failed to send. Waiting..."), 3u) << silent.out;
    EXPECT_EQ(Count(silent.out + silent.err, "Not in a background mode"), 0u);
    EXPECT_EQ(Reports(m_received.Path()).size(), 3u);

    // Without --silent and without a display the dialog does not open, and nothing is retried.
    ProcessResult interactive = Run(false);
    EXPECT_EQ(interactive.exitCode, 0) << interactive.out;
    EXPECT_EQ(Count(interactive.err, "Failed to send. Waiting..."), 1u) << interactive.out;
    EXPECT_EQ(Count(interactive.out, "Not in a background mode. Will not retry sending."), 1u);
    EXPECT_EQ(Reports(m_received.Path()).size(), 4u);
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
