// The Collector program, run as a child process and driven by the HTTP client.

#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include "CollectorProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Morvex::Test
{
using Net::HTTPClient;
using Net::HTTPFormField;

namespace
{
class CollectorTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(Net::Init()); }
    static void TearDownTestSuite() { Net::Shutdown(); }
    TempDir m_dir;
};
} // namespace

TEST_F(CollectorTest, StoresUploadsAndEvents)
{
    std::string data = m_dir.Join("data");
    CollectorProcess collector(COLLECTOR_PATH, {"--port", "0", "--data", data});
    ASSERT_GT(collector.port(), 0) << collector.output();

    std::string archive(300000, '\0');
    for (size_t i = 0; i < archive.size(); ++i)
        archive[i] = static_cast<char>(i * 31 + 7);
    m_dir.WriteFile("report.zip", archive);
    const HTTPFormField fields[] = {{"Id", "42"},
                                    {"Comments", ""},
                                    {"ProductName", "Demo"},
                                    {"Platform", "Linux64"},
                                    {"Additional", "version-type=release;script=\"x\"\n"}};
    std::string url = collector.Url("/submit/");
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump",
                                           m_dir.Join("report.zip").c_str(), fields, 5));
    std::string scriptUrl = collector.Url("/submit_script_errors/");
    ASSERT_TRUE(HTTPClient::UploadFileSync(scriptUrl.c_str(), "upload_file_minidump",
                                           m_dir.Join("report.zip").c_str(), fields, 1));

    const char* doc = "{\"product\":\"Demo\",\"id\":\"42\"}";
    HTTPClient::RequestParams params;
    params.synchronous = true;
    params.verb = HTTPClient::Verb::POST;
    params.body = doc;
    params.headers.emplace_back("Content-Type: application/json");
    HTTPClient::Response got;
    std::string eventUrl = collector.Url("/crashreports/_doc");
    HTTPClient::Request(eventUrl.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.httpCode, 201);
    EXPECT_NE(got.body.find("\"result\":\"created\""), std::string::npos) << got.body;
    EXPECT_NE(got.body.find("\"_index\":\"crashreports\""), std::string::npos) << got.body;

    HTTPClient::RequestParams index;
    index.synchronous = true;
    std::string root = collector.Url("/");
    HTTPClient::Request(root.c_str(), index, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_NE(got.body.find("<h2>Reports</h2>"), std::string::npos);
    EXPECT_NE(got.body.find("0002"), std::string::npos);

    EXPECT_EQ(collector.Stop(), 0);
    EXPECT_NE(collector.output().find("Collector stopped"), std::string::npos);

    TempDir& d = m_dir;
    EXPECT_TRUE(d.ReadFile("data/reports/0001/report.zip") == archive) << "the archive arrives byte for byte";
    EXPECT_EQ(d.ReadFile("data/reports/0001/fields.json"),
              "{\"Id\": \"42\", \"Comments\": \"\", \"ProductName\": \"Demo\", \"Platform\": \"Linux64\", "
              "\"Additional\": \"version-type=release;script=\\\"x\\\"\\n\"}\n");
    EXPECT_NE(d.ReadFile("data/reports/0001/meta.json").find("\"status\": 200"), std::string::npos);
    EXPECT_NE(d.ReadFile("data/reports/0002/meta.json").find("\"path\": \"/submit_script_errors/\""),
              std::string::npos);
    EXPECT_EQ(d.ReadFile("data/events/0001.json"), doc) << "the document is kept byte for byte";
    EXPECT_EQ(d.ReadFile("data/events.jsonl"),
              "{\"index\": \"crashreports\", \"method\": \"POST\", \"path\": \"/crashreports/_doc\", "
              "\"userAgent\": \"\", \"contentType\": \"application/json\", \"body\": "
              "\"{\\\"product\\\":\\\"Demo\\\",\\\"id\\\":\\\"42\\\"}\"}\n");
}

TEST_F(CollectorTest, AnswersWithChosenStatusAndKeepsEveryAttempt)
{
    std::string data = m_dir.Join("data");
    CollectorProcess collector(COLLECTOR_PATH, {"--data", data, "--status", "500", "--delay-ms", "50"});
    ASSERT_GT(collector.port(), 0) << collector.output();
    m_dir.WriteFile("r.zip", "zip");
    std::string url = collector.Url("/submit/");
    for (int i = 0; i < 2; ++i)
        EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump",
                                                m_dir.Join("r.zip").c_str(), nullptr, 0));
    collector.Stop();
    EXPECT_NE(m_dir.ReadFile("data/reports/0001/meta.json").find("\"status\": 500"), std::string::npos);
    EXPECT_NE(m_dir.ReadFile("data/reports/0002/meta.json").find("\"status\": 500"), std::string::npos);

    // A restart continues the numbering instead of overwriting.
    CollectorProcess again(COLLECTOR_PATH, {"--data", data});
    ASSERT_GT(again.port(), 0);
    std::string url2 = again.Url("/submit/");
    EXPECT_TRUE(HTTPClient::UploadFileSync(url2.c_str(), "f", m_dir.Join("r.zip").c_str(), nullptr, 0));
    again.Stop();
    EXPECT_NE(m_dir.ReadFile("data/reports/0003/meta.json").find("\"status\": 200"), std::string::npos);
}

TEST_F(CollectorTest, RejectsBadOptions)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--port"}, {"--port", "70000"}, {"--status", "abc"}, {"--delay-ms", "-1"}, {"--bogus", "1"}};
    for (const auto& args : cases)
    {
        std::vector<std::string> argv = {COLLECTOR_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessResult r = RunProcess(argv, m_dir.Path());
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("usage: Collector"), std::string::npos);
    }
}
} // namespace Morvex::Test
