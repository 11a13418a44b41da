// Multipart uploads and the hand-built multipart writer, against a real server on 127.0.0.1.

#include "Core/Containers/Dict.h"
#include "Core/IO/RawFile.h"
#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include "NetTestServer.h"
#include "RawServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace Morvex::Test
{
using Net::HTTPClient;
using Net::HTTPFormField;

namespace
{
std::atomic<int> g_answerStatus{200};

void AddUploadHandlers(NetTestServer& s)
{
    auto upload =
        [&s](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
    {
        s.Record(NetTestServer::ReadStreamed(req, reader));
        res.status = g_answerStatus.load();
        if (res.status != 204) // a 204 answer carries no body
            res.set_content("stored", "text/plain");
    };
    s.server().Post("/submit/", upload);
    s.server().Post("/moved/", [&s](const httplib::Request&, httplib::Response& res)
                    { res.set_redirect(s.Url("/submit/"), 302); });
}

std::string Bytes(size_t n)
{
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<char>((i * 131) ^ (i >> 8));
    return b;
}
} // namespace

class HTTPUploadTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(Net::Init());
        s_server = new NetTestServer();
        AddUploadHandlers(*s_server);
        ASSERT_GT(s_server->Start(), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
        Net::Shutdown();
    }
    void SetUp() override
    {
        s_server->ClearSeen();
        g_answerStatus = 200;
    }
    void TearDown() override { EXPECT_FALSE(HTTPClient::IsActive()); }

    TempDir m_dir;
    static NetTestServer* s_server;
};
NetTestServer* HTTPUploadTest::s_server = nullptr;

TEST_F(HTTPUploadTest, FieldsThenFileInOrder)
{
    std::string content = Bytes(70000);
    m_dir.WriteFile("report.zip", content);
    std::string path = m_dir.Join("report.zip");
    const HTTPFormField fields[] = {{"Id", "x"},
                                    {"Comments", ""},
                                    {"ProductName", "Demo \"quoted\" \xC3\xA9"},
                                    {"Additional", "a=1;b=2"}};
    std::string url = s_server->Url("/submit/");
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", path.c_str(), fields, 4));

    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].contentType.rfind("multipart/form-data; boundary=", 0), 0u) << seen[0].contentType;
    const auto& parts = seen[0].parts;
    ASSERT_EQ(parts.size(), 5u);
    const char* names[] = {"Id", "Comments", "ProductName", "Additional", "upload_file_minidump"};
    const char* values[] = {"x", "", "Demo \"quoted\" \xC3\xA9", "a=1;b=2"};
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_EQ(parts[i].name, names[i]);
        EXPECT_EQ(parts[i].filename, "");
        EXPECT_EQ(parts[i].contentType, "");
        EXPECT_EQ(parts[i].content, values[i]);
    }
    EXPECT_EQ(parts[4].name, names[4]);
    EXPECT_EQ(parts[4].filename, "report.zip") << "the last path component";
    EXPECT_EQ(parts[4].contentType, "application/octet-stream");
    EXPECT_TRUE(parts[4].content == content) << "the file arrives byte for byte";
}

TEST_F(HTTPUploadTest, DictionaryFieldsInInsertionOrder)
{
    m_dir.WriteFile("r.zip", "zip");
    Dict fields;
    fields.Set("Id", "42");
    fields.Set("Comments", "");
    fields.Set("Count", int32(3));
    fields.Set("Aaa", true);
    fields.Set("Id", "43"); // an existing key keeps its place
    std::string url = s_server->Url("/submit/");
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", m_dir.Join("r.zip").c_str(),
                                           &fields));
    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_EQ(seen.size(), 1u);
    const auto& parts = seen[0].parts;
    ASSERT_EQ(parts.size(), 5u);
    const std::pair<const char*, const char*> expected[] = {
        {"Id", "43"}, {"Comments", ""}, {"Count", "3"}, {"Aaa", "true"}, {"upload_file_minidump", "zip"}};
    for (size_t i = 0; i < 5; ++i)
    {
        EXPECT_EQ(parts[i].name, expected[i].first);
        EXPECT_EQ(parts[i].content, expected[i].second);
    }

    s_server->ClearSeen();
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("r.zip").c_str(),
                                           static_cast<const Dict*>(nullptr)));
    ASSERT_EQ(s_server->Seen().size(), 1u);
    EXPECT_EQ(s_server->Seen()[0].parts.size(), 1u) << "no dictionary: only the file part";
}

// An upload from an open file that has no name on disk: the same part on the wire as a file read from
// a path, sent whole (also when it is large enough for libcurl to wait for "100 Continue"), and the
// same file can go out again for a retry.
TEST_F(HTTPUploadTest, OpenAnonymousFileGoesOutLikeAPath)
{
    RawFile* writer = RawFile::CreateAnonymous(StrView(m_dir.Path().c_str()));
    ASSERT_NE(writer, nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path())) << "the file has no name in its folder";
    const std::string content = Bytes(3 * 1024 * 1024 + 5);
    ASSERT_EQ(writer->WriteBytes(content.data(), static_cast<uint32>(content.size())), content.size());
    RawFile* reader = writer->OpenReader();
    writer->DropRef();
    ASSERT_NE(reader, nullptr);
    Dict fields;
    fields.Set("Id", "7");
    std::string url = s_server->Url("/submit/");
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        s_server->ClearSeen();
        ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", *reader,
                                               "morvextmpAbC123", &fields));
        std::vector<SeenRequest> seen = s_server->Seen();
        ASSERT_EQ(seen.size(), 1u);
        ASSERT_EQ(seen[0].parts.size(), 2u);
        EXPECT_EQ(seen[0].parts[0].content, "7");
        EXPECT_EQ(seen[0].parts[1].name, "upload_file_minidump");
        EXPECT_EQ(seen[0].parts[1].filename, "morvextmpAbC123");
        EXPECT_EQ(seen[0].parts[1].contentType, "application/octet-stream");
        EXPECT_TRUE(seen[0].parts[1].content == content) << "attempt " << attempt;
        EXPECT_EQ(seen[0].expect, "100-continue");
    }
    reader->DropRef();
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.Path()));

    // A handle that cannot be read from is refused before anything is sent.
    RawFile* writeOnly = RawFile::CreateAnonymous(StrView(m_dir.Path().c_str()));
    ASSERT_NE(writeOnly, nullptr);
    CapturingSink sink;
    EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", *writeOnly, "x", nullptr));
    EXPECT_TRUE(sink.Contains(Log::Error, "cannot read the file"));
    writeOnly->DropRef();
}

TEST_F(HTTPUploadTest, FileNameAndTypeFromPath)
{
    m_dir.WriteFile("dump.bin", "abc");
    // '\\' is accepted as a separator on input.
    std::string backslashed = m_dir.Path() + "\\dump.bin";
    std::string url = s_server->Url("/submit/");
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", backslashed.c_str(), nullptr, 0));
    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].parts.size(), 1u);
    EXPECT_EQ(seen[0].parts[0].filename, "dump.bin");
    EXPECT_EQ(seen[0].parts[0].contentType, "application/octet-stream");
    EXPECT_EQ(seen[0].parts[0].content, "abc");
}

TEST_F(HTTPUploadTest, OnlyStatus200IsSuccess)
{
    m_dir.WriteFile("r.zip", "zip");
    std::string path = m_dir.Join("r.zip");
    std::string url = s_server->Url("/submit/");
    for (int status : {200, 201, 204, 302, 413, 500, 503})
    {
        SCOPED_TRACE(status);
        g_answerStatus = status;
        CapturingSink sink;
        bool ok = HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", path.c_str(), nullptr, 0);
        EXPECT_EQ(ok, status == 200);
        EXPECT_EQ(sink.Contains(Log::Error,
                                "HTTPClient::UploadFileSync failed with error " + std::to_string(status)),
                  status != 200);
    }
}

TEST_F(HTTPUploadTest, RedirectIsNotFollowed)
{
    m_dir.WriteFile("r.zip", "zip");
    std::string url = s_server->Url("/moved/");
    CapturingSink sink;
    EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("r.zip").c_str(), nullptr, 0));
    EXPECT_TRUE(sink.Contains(Log::Error, "HTTPClient::UploadFileSync failed with error 302"));
    EXPECT_TRUE(s_server->Seen().empty());
}

// A failure without an HTTP answer is a failure: the report has not arrived and must be retried.
TEST_F(HTTPUploadTest, TransportFailuresAreNotSuccess)
{
    m_dir.WriteFile("r.zip", "zip");
    std::string path = m_dir.Join("r.zip");
    {
        CapturingSink sink;
        std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/submit/";
        EXPECT_FALSE(HTTPClient::UploadFileSync(closed.c_str(), "f", path.c_str(), nullptr, 0));
        EXPECT_TRUE(sink.Contains(Log::Error, "HTTPClient: message->data.result = 7"));
        EXPECT_TRUE(sink.Contains(
            Log::Error, "HTTPClient::UploadFileSync failed with error 0 (ErrorCode::SERVER_UNAVAILABLE)"));
    }
    {
        CapturingSink sink;
        EXPECT_FALSE(
            HTTPClient::UploadFileSync("http://name.invalid/submit/", "f", path.c_str(), nullptr, 0));
        EXPECT_TRUE(sink.Contains(Log::Error, "HTTPClient::UploadFileSync failed with error 0"));
    }
    {
        CapturingSink sink;
        std::string url = s_server->Url("/submit/");
        std::string missing = m_dir.Join("missing.zip");
        EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", missing.c_str(), nullptr, 0));
        EXPECT_TRUE(sink.Contains(Log::Error, "cannot read the file '" + missing + "'"));
        EXPECT_TRUE(s_server->Seen().empty()) << "nothing is sent for a missing file";
    }
}

// Servers that break the exchange: the upload fails (nothing reported as delivered) and nothing hangs.
TEST_F(HTTPUploadTest, MisbehavingServers)
{
    m_dir.WriteFile("big.zip", Bytes(4 * 1024 * 1024));
    for (RawServer::Mode mode : {RawServer::Mode::CloseMidUpload, RawServer::Mode::GarbageAnswer})
    {
        SCOPED_TRACE(static_cast<int>(mode));
        RawServer server(mode);
        CapturingSink sink;
        std::string url = server.Url();
        EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("big.zip").c_str(), nullptr, 0));
        EXPECT_TRUE(
            sink.Contains(Log::Error, "HTTPClient::UploadFileSync failed with error 0 (ErrorCode::NETWORK)"));
    }
}

// A server that accepts and never answers, or answers at a byte a second, no longer holds an upload
// for minutes: the stall limit ends it. Before, each attempt waited out a 300-second limit.
TEST_F(HTTPUploadTest, StalledServersEndTheUploadAtTheStallLimit)
{
    // Small, so that libcurl's speed average (over the last few seconds) falls below the limit at once.
    m_dir.WriteFile("report.zip", Bytes(2048));
    ScopedCVar stall(Net::curl_lowSpeedTimeSec, "2");
    for (RawServer::Mode mode : {RawServer::Mode::Silent, RawServer::Mode::Trickle})
    {
        SCOPED_TRACE(static_cast<int>(mode));
        RawServer server(mode);
        CapturingSink sink;
        std::string url = server.Url();
        EXPECT_FALSE(
            HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("report.zip").c_str(), nullptr, 0));
        EXPECT_TRUE(sink.Contains(Log::Error, "(ErrorCode::TIMEOUT)"));
        // libcurl names the limit that ended it: the stall limit, not a whole-transfer one.
        EXPECT_TRUE(sink.Contains(Log::Error, "Operation too slow. Less than 1024 bytes/sec"));
    }
}

// An upload that keeps moving is never cut, however long it takes: here the server reads at about
// 64 KiB a second, far above the stall limit, for longer than the stall window.
TEST_F(HTTPUploadTest, SlowButMovingUploadIsNotCut)
{
    ScopedCVar stall(Net::curl_lowSpeedTimeSec, "1");
    ScopedCVar limit(Net::curl_lowSpeedLimit, "1024");
    NetTestServer slow;
    size_t received = 0;
    slow.server().Post(
        "/submit/",
        [&](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader)
        {
            reader([](const httplib::MultipartFormData&) { return true; },
                   [&](const char*, size_t n)
                   {
                       received += n;
                       std::this_thread::sleep_for(std::chrono::milliseconds(n / 64));
                       return true;
                   });
            res.set_content("stored", "text/plain");
        });
    ASSERT_GT(slow.Start(), 0);
    m_dir.WriteFile("slow.zip", Bytes(192 * 1024));
    std::string url = slow.Url("/submit/");
    EXPECT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("slow.zip").c_str(), nullptr, 0));
    EXPECT_EQ(received, 192u * 1024u);
}

// An answer that never ends is read only as far as its limit allows: once the upload has gone out
// whole it is delivered (the server said 200), nothing exhausts memory, and the transfer ends. An
// upload the server answered before reading it has not arrived, whatever the status said.
TEST_F(HTTPUploadTest, EndlessAnswerIsCutAndOnlyAWholeUploadCounts)
{
    m_dir.WriteFile("report.zip", Bytes(4096));
    {
        RawServer server(RawServer::Mode::Endless);
        CapturingSink sink;
        std::string url = server.Url();
        EXPECT_TRUE(
            HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("report.zip").c_str(), nullptr, 0));
        EXPECT_TRUE(sink.Contains(Log::Warning, "the rest was not read"));
        EXPECT_LT(server.BodyBytesSent(), 64u * 1024u * 1024u);
    }
    m_dir.WriteFile("large.zip", Bytes(32 * 1024 * 1024));
    RawServer unread(RawServer::Mode::EndlessUnread);
    CapturingSink sink;
    std::string url = unread.Url();
    EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("large.zip").c_str(), nullptr, 0));
    EXPECT_TRUE(sink.Contains(Log::Error, "was answered before its body went out"));
}

TEST_F(HTTPUploadTest, LargeUploadAsksForContinue)
{
    for (size_t size : {size_t(4096), size_t(3 * 1024 * 1024)})
    {
        SCOPED_TRACE(size);
        s_server->ClearSeen();
        std::string content = Bytes(size);
        m_dir.WriteFile("big.zip", content);
        std::string url = s_server->Url("/submit/");
        const HTTPFormField fields[] = {{"Id", "7"}};
        ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump",
                                               m_dir.Join("big.zip").c_str(), fields, 1));
        std::vector<SeenRequest> seen = s_server->Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].expect, size > 1024 * 1024 ? "100-continue" : "");
        ASSERT_EQ(seen[0].parts.size(), 2u);
        EXPECT_TRUE(seen[0].parts[1].content == content);
    }
}

TEST_F(HTTPUploadTest, AsyncUploadCompletesInUpdateBesideOtherRequests)
{
    m_dir.WriteFile("r.zip", "zip");
    std::string url = s_server->Url("/submit/");
    HTTPClient::Response got;
    bool done = false;
    uint32 id = HTTPClient::UploadFileAsync(
        url.c_str(), "f", m_dir.Join("r.zip").c_str(),
        [&](const HTTPClient::Response& r)
        {
            got = r;
            done = true;
        },
        nullptr, 0);
    EXPECT_FALSE(done);
    EXPECT_TRUE(HTTPClient::IsActive());
    // A synchronous upload pumps the client, so the other request completes inside it.
    ASSERT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("r.zip").c_str(), nullptr, 0));
    for (int i = 0; i < 5000 && !done; ++i)
    {
        HTTPClient::Update();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(done);
    EXPECT_EQ(got.reqId, id);
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_EQ(got.body, "stored");
}

TEST_F(HTTPUploadTest, NoClientFailsAtOnce)
{
    m_dir.WriteFile("r.zip", "zip");
    HTTPClient::Shutdown();
    std::string url = s_server->Url("/submit/");
    CapturingSink sink;
    EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", m_dir.Join("r.zip").c_str(), nullptr, 0));
    EXPECT_TRUE(sink.Contains(Log::Warning, "fails at once: no HTTP client")) << "nothing to wait for";
    EXPECT_TRUE(s_server->Seen().empty());
    ASSERT_TRUE(HTTPClient::Init());
}

TEST_F(HTTPUploadTest, MultipartPostCommandSendsPartsAndTestField)
{
    m_dir.WriteFile("abc.txt", "abc");
    std::string path = m_dir.Join("abc.txt");
    std::string url = s_server->Url("/submit/");
    CapturingSink sink;
    const char* argv[] = {"http_multipartPost", url.c_str(), "f", path.c_str()};
    HTTPClient::CmdMultipartPost(CmdArgs{4, argv});
    for (int i = 0; i < 10000 && !sink.Contains("stored"); ++i)
    {
        HTTPClient::Update();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(sink.Contains(Log::Debug, "http_request:"));
    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].contentType,
              std::string("multipart/form-data; boundary=") + Net::MultipartForm::kBoundary);
    ASSERT_EQ(seen[0].parts.size(), 2u);
    EXPECT_EQ(seen[0].parts[0].name, "f");
    EXPECT_EQ(seen[0].parts[0].filename, path);
    EXPECT_EQ(seen[0].parts[0].content, "abc");
    EXPECT_EQ(seen[0].parts[1].name, "test_field");
    EXPECT_EQ(seen[0].parts[1].content, "test_field_value");

    sink.Clear();
    const char* few[] = {"http_multipartPost", url.c_str(), "f"};
    HTTPClient::CmdMultipartPost(CmdArgs{3, few});
    EXPECT_TRUE(sink.Contains(Log::Debug, "http_multipartPost <url> <name> <file>"));
    std::string missing = m_dir.Join("nope");
    const char* bad[] = {"http_multipartPost", url.c_str(), "f", missing.c_str()};
    HTTPClient::CmdMultipartPost(CmdArgs{4, bad});
    EXPECT_TRUE(sink.Contains(Log::Debug, "failed to read file '" + missing + "'"));
    EXPECT_FALSE(HTTPClient::IsActive());
}

// What an upload's answer means for a retry: 200 delivered, answers that can never change rejected,
// everything else (failures to reach the server included) worth another attempt.
TEST(UploadOutcome, ClassifiesAnswers)
{
    using Result = HTTPClient::UploadOutcome::Result;
    const std::pair<int32, Result> answers[] = {
        {200, Result::Delivered}, {201, Result::Retry},    {204, Result::Retry},    {302, Result::Retry},
        {400, Result::Rejected},  {401, Result::Rejected}, {403, Result::Rejected}, {404, Result::Rejected},
        {408, Result::Retry},     {413, Result::Rejected}, {422, Result::Rejected}, {429, Result::Retry},
        {500, Result::Retry},     {503, Result::Retry},    {0, Result::Retry},
    };
    for (const auto& [status, expected] : answers)
        EXPECT_EQ(HTTPClient::ClassifyUpload(ErrorCode::OK, status), expected) << status;
    for (ErrorCode failure : {ErrorCode::TIMEOUT, ErrorCode::NETWORK, ErrorCode::SERVER_UNAVAILABLE})
        EXPECT_EQ(HTTPClient::ClassifyUpload(failure, 0), Result::Retry);
}

// Retry-After is a server's answer, so untrusted: seconds or an HTTP date, anything else ignored.
TEST(UploadOutcome, RetryAfterIsSecondsOrADate)
{
    const int64 now = 1445412480000LL; // Wed, 21 Oct 2015 07:28:00 GMT
    const std::pair<const char*, int32> values[] = {
        {"120", 120},
        {"0", 0},
        {"7 \t", 7},
        {"99999999999999999999999", 31536000},
        {"Wed, 21 Oct 2015 07:30:00 GMT", 120},
        {"Wednesday, 21-Oct-15 07:29:00 GMT", 60},
        {"Wed Oct 21 07:28:30 2015", 30},
        {"Tue, 20 Oct 2015 07:28:00 GMT", 0},
        {"", -1},
        {"-5", -1},
        {"12abc", -1},
        {"soon", -1},
        {"1.5", -1},
    };
    for (const auto& [text, expected] : values)
        EXPECT_EQ(HTTPClient::ParseRetryAfter(StrView(text), now), expected) << '"' << text << '"';
    EXPECT_EQ(HTTPClient::ParseRetryAfter(StrView(std::string(200, '1').c_str()), now), -1) << "too long";
}

TEST(MultipartForm, BuildBytes)
{
    const std::string b = Net::MultipartForm::kBoundary;
    Net::MultipartPart parts[2];
    parts[0].name = "f";
    parts[0].fileName = "dir/a.txt";
    parts[0].content = "abc";
    parts[0].contentSize = 3;
    parts[1].name = "test_field";
    parts[1].content = "test_field_value";
    parts[1].contentSize = 16;
    StaticString<256> contentType;
    std::string body = Net::MultipartForm::Build(parts, 2, contentType);
    EXPECT_EQ(std::string(contentType.c_str()), "Content-Type: multipart/form-data; boundary=" + b);
    EXPECT_EQ(body,
              "--" + b +
                  "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"dir/a.txt\"\r\n"
                  "Content-Transfer-Encoding: binary\r\n\r\nabc\r\n--" +
                  b +
                  "\r\nContent-Disposition: form-data; name=\"test_field\"\r\n\r\ntest_field_value\r\n--" +
                  b + "--");

    // Extra header text gets its line end once; binary content and an empty part go through unchanged.
    const char binary[] = {0, 1, 2, '\r', '\n'};
    Net::MultipartPart extra[3];
    extra[0].name = "a";
    extra[0].extraHeader = "Content-Type: text/plain";
    extra[0].content = binary;
    extra[0].contentSize = sizeof(binary);
    extra[1].name = "b";
    extra[1].extraHeader = "X-One: 1\r\n";
    extra[2].name = "c";
    body = Net::MultipartForm::Build(extra, 3, contentType);
    EXPECT_EQ(body, "--" + b +
                        "\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\n" +
                        std::string(binary, sizeof(binary)) + "\r\n--" + b +
                        "\r\nContent-Disposition: form-data; name=\"b\"\r\nX-One: 1\r\n\r\n\r\n--" + b +
                        "\r\nContent-Disposition: form-data; name=\"c\"\r\n\r\n\r\n--" + b + "--");

    EXPECT_EQ(Net::MultipartForm::Build(nullptr, 0, contentType), "\r\n--" + b + "--");

    // Names are never cut (a 3000-byte file name), and a quote or a line break in one cannot end the
    // header: they are written as browsers write them.
    Net::MultipartPart odd[1];
    const std::string longName(3000, 'n');
    odd[0].name = "a\"b\r\nX-Injected: 1";
    odd[0].fileName = StrView(longName.c_str());
    body = Net::MultipartForm::Build(odd, 1, contentType);
    EXPECT_EQ(body, "--" + b +
                        "\r\nContent-Disposition: form-data; name=\"a%22b%0D%0AX-Injected: 1\"; filename=\"" +
                        longName + "\"\r\nContent-Transfer-Encoding: binary\r\n\r\n\r\n--" + b + "--");
}
} // namespace Morvex::Test
