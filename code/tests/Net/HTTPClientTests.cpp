// The HTTP client against a real server on 127.0.0.1.

#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include "NetTestServer.h"
#include "RawServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace Morvex::Test
{
using Net::HTTPClient;

namespace
{
HTTPClient::RequestParams SyncParams()
{
    HTTPClient::RequestParams p;
    p.synchronous = true;
    p.timeoutSec = 20;
    return p;
}

// Pumps the client until pred holds or 20 seconds pass.
template <class Pred>
bool PumpUntil(Pred pred)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        HTTPClient::Update();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void AddEchoHandlers(NetTestServer& s)
{
    auto& srv = s.server();
    auto record = [&s](const httplib::Request& req, httplib::Response& res)
    {
        s.Record(NetTestServer::FromRequest(req));
        res.set_content(req.method + ":" + req.body, "text/plain");
    };
    srv.Get("/status/(\\d+)",
            [](const httplib::Request& req, httplib::Response& res)
            {
                res.status = std::stoi(req.matches[1]);
                res.set_content("status body", "text/plain");
            });
    srv.Post("/status/(\\d+)",
             [&s](const httplib::Request& req, httplib::Response& res)
             {
                 s.Record(NetTestServer::FromRequest(req));
                 res.status = std::stoi(req.matches[1]);
                 res.set_content("{\"ok\":true}", "application/json");
             });
    // Bodies are read through a content reader: this server library answers 413 to larger
    // bodies for plain handlers.
    auto recordStreamed =
        [&s](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader)
    {
        SeenRequest seen = NetTestServer::ReadStreamed(req, reader);
        res.set_content(req.method + ":" + seen.body, "text/plain");
        s.Record(std::move(seen));
    };
    srv.Get("/echo", record);
    srv.Post("/echo", recordStreamed);
    srv.Put("/echo", recordStreamed);
    srv.Delete("/echo", recordStreamed);
    srv.Patch("/echo", recordStreamed);
    srv.Options("/echo", record);
    srv.Get("/redirect", [&s](const httplib::Request&, httplib::Response& res)
            { res.set_redirect(s.Url("/status/200"), 302); });
    srv.Post("/redirect",
             [&s](const httplib::Request& req, httplib::Response& res)
             {
                 s.Record(NetTestServer::FromRequest(req));
                 res.set_redirect(s.Url("/echo"), 302);
             });
    srv.Get("/slow",
            [](const httplib::Request&, httplib::Response& res)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                res.set_content("late", "text/plain");
            });
    srv.Get("/big",
            [](const httplib::Request&, httplib::Response& res)
            {
                std::string body(3 * 1024 * 1024 + 17, '\0');
                for (size_t i = 0; i < body.size(); ++i)
                    body[i] = static_cast<char>(i * 7);
                res.set_content(body, "application/octet-stream");
            });
}
} // namespace

class HTTPClientTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(Net::Init());
        s_server = new NetTestServer();
        AddEchoHandlers(*s_server);
        ASSERT_GT(s_server->Start(), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
        Net::Shutdown();
    }
    void SetUp() override { s_server->ClearSeen(); }
    void TearDown() override { EXPECT_FALSE(HTTPClient::IsActive()); }

    static NetTestServer* s_server;
};
NetTestServer* HTTPClientTest::s_server = nullptr;

TEST_F(HTTPClientTest, SynchronousStatusesAndPromiseMapping)
{
    struct Case
    {
        int status;
        ErrorCode failOnErrorResult; // OK: resolved
    };
    const Case cases[] = {{200, ErrorCode::OK},
                          {201, ErrorCode::OK},
                          {302, ErrorCode::OK},
                          {400, ErrorCode::SERVER_MISUNDERSTOOD_REQUEST},
                          {404, ErrorCode::SERVER_MISUNDERSTOOD_REQUEST},
                          {499, ErrorCode::SERVER_MISUNDERSTOOD_REQUEST},
                          {500, ErrorCode::SERVER_INTERNAL},
                          {503, ErrorCode::SERVER_INTERNAL}};
    const char* json = "{\"event\":\"crash\"}";
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.status);
        std::string url = s_server->Url("/status/" + std::to_string(c.status));
        HTTPClient::RequestParams params = SyncParams();
        params.body = json;
        params.headers.emplace_back("Content-Type: application/json");

        bool ran = false;
        HTTPClient::Response seen;
        uint32 id = HTTPClient::Request(url.c_str(), params,
                                        [&](const HTTPClient::Response& r)
                                        {
                                            ran = true;
                                            seen = r;
                                        });
        ASSERT_TRUE(ran) << "a synchronous completion runs before Request returns";
        EXPECT_NE(id, 0u);
        EXPECT_EQ(seen.reqId, id);
        EXPECT_EQ(seen.errorCode, ErrorCode::OK) << "an HTTP status is not a transport failure";
        EXPECT_EQ(seen.httpCode, c.status);
        EXPECT_EQ(seen.body, "{\"ok\":true}");

        params.failOnError = true;
        HTTPClient::ResponsePromise strict = HTTPClient::Request(url.c_str(), params, nullptr);
        const ttl::Result<HTTPClient::Response>* result = strict.GetResult();
        ASSERT_NE(result, nullptr) << "settled before the wrapper returns";
        EXPECT_EQ(result->GetError(), c.failOnErrorResult);
        if (result->IsOk())
        {
            EXPECT_EQ(result->GetValue().httpCode, c.status);
        }

        params.failOnError = false;
        HTTPClient::ResponsePromise lenient = HTTPClient::Request(url.c_str(), params, nullptr);
        bool continued = false;
        lenient.SetCallback(
            [&](const ttl::Result<HTTPClient::Response>& r)
            {
                continued = true;
                ASSERT_TRUE(r.IsOk());
                EXPECT_EQ(r.GetValue().httpCode, c.status);
            });
        EXPECT_TRUE(continued) << "a continuation attached after the result runs at once";
    }
    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, json);
    EXPECT_EQ(seen[0].contentType, "application/json");
}

TEST_F(HTTPClientTest, VerbsAndBodies)
{
    static const char kBinary[] = {'a', 0, 'b', '\n', 'c'};
    struct Case
    {
        HTTPClient::Verb verb;
        const void* body;
        uint32 bodySize;
        const char* method;
        std::string sentBody;
    };
    const Case cases[] = {
        {HTTPClient::Verb::Auto, nullptr, 0, "GET", ""},
        {HTTPClient::Verb::GET, nullptr, 0, "GET", ""},
        {HTTPClient::Verb::POST, nullptr, 0, "GET", ""},  // no body: sent as GET
        {HTTPClient::Verb::GET, "x=1", 0, "POST", "x=1"}, // a body makes it a POST
        {HTTPClient::Verb::Auto, "text", 0, "POST", "text"},
        {HTTPClient::Verb::POST, kBinary, sizeof(kBinary), "POST", std::string(kBinary, sizeof(kBinary))},
        {HTTPClient::Verb::DELETE, "gone", 0, "DELETE", "gone"},
        {HTTPClient::Verb::DELETE, nullptr, 0, "DELETE", ""},
        {HTTPClient::Verb::PUT, "{\"a\":1}", 0, "PUT", "{\"a\":1}"},
        {HTTPClient::Verb::PATCH, "p", 0, "PATCH", "p"},
        {HTTPClient::Verb::OPTIONS, nullptr, 0, "OPTIONS", ""},
    };
    std::string url = s_server->Url("/echo");
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.method);
        s_server->ClearSeen();
        HTTPClient::RequestParams params = SyncParams();
        params.verb = c.verb;
        params.body = c.body;
        params.bodySize = c.bodySize;
        HTTPClient::Response got;
        HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
        EXPECT_EQ(got.errorCode, ErrorCode::OK);
        EXPECT_EQ(got.httpCode, 200);
        std::vector<SeenRequest> seen = s_server->Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, c.method);
        EXPECT_EQ(seen[0].body, c.sentBody);
    }
}

TEST_F(HTTPClientTest, CallerBodyNeedNotOutliveAsyncRequest)
{
    std::string url = s_server->Url("/echo");
    HTTPClient::RequestParams params;
    params.maxBodyBytes = 200000; // the echo of the body below
    params.verb = HTTPClient::Verb::PUT;
    std::string body(100000, 'q');
    params.body = body.data();
    params.bodySize = static_cast<uint32>(body.size());
    bool done = false;
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), params,
                        [&](const HTTPClient::Response& r)
                        {
                            got = r;
                            done = true;
                        });
    std::fill(body.begin(), body.end(), 'X');
    EXPECT_FALSE(done) << "an asynchronous completion waits for Update";
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_EQ(got.body, "PUT:" + std::string(100000, 'q'));
}

TEST_F(HTTPClientTest, TransportFailures)
{
    CapturingSink sink;
    std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
    HTTPClient::Response got;
    HTTPClient::Request(closed.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::SERVER_UNAVAILABLE);
    EXPECT_EQ(got.httpCode, 0);
    EXPECT_TRUE(sink.Contains(Log::Warning, "HTTPClient::Request(Sync): result = 7"));

    HTTPClient::RequestParams params = SyncParams();
    params.timeoutSec = 1;
    std::string slow = s_server->Url("/slow");
    HTTPClient::Request(slow.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::TIMEOUT);
    EXPECT_EQ(got.httpCode, 0);

    // The same failures asynchronously, logged at Error by Update.
    params.synchronous = false;
    bool done = false;
    HTTPClient::Request(slow.c_str(), params,
                        [&](const HTTPClient::Response& r)
                        {
                            got = r;
                            done = true;
                        });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(got.errorCode, ErrorCode::TIMEOUT);
    EXPECT_TRUE(sink.Contains(Log::Error, "HTTPClient: message->data.result = 28"));

    HTTPClient::ResponsePromise p = HTTPClient::Request(closed.c_str(), SyncParams(), nullptr);
    ASSERT_NE(p.GetResult(), nullptr);
    EXPECT_TRUE(p.GetResult()->IsOk()) << "without failOnError a transport failure still resolves";
    EXPECT_EQ(p.GetResult()->GetValue().errorCode, ErrorCode::SERVER_UNAVAILABLE);
    params = SyncParams();
    params.failOnError = true;
    p = HTTPClient::Request(closed.c_str(), params, nullptr);
    EXPECT_EQ(p.GetResult()->GetError(), ErrorCode::SERVER_UNAVAILABLE);
}

TEST_F(HTTPClientTest, UnexpectedErrorSwitchesDebugOutputOn)
{
    ScopedCVar debug(Net::curl_enableDebugFunc, "0");
    CapturingSink sink;
    HTTPClient::RequestParams params;
    bool done = false;
    HTTPClient::Response got;
    // An unsupported scheme is not one of the expected failures (resolve, connect, time-out).
    HTTPClient::Request("nope://127.0.0.1/", params,
                        [&](const HTTPClient::Response& r)
                        {
                            got = r;
                            done = true;
                        });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(got.errorCode, ErrorCode::NETWORK);
    EXPECT_EQ(Net::curl_enableDebugFunc.GetInt(), 1);
    EXPECT_TRUE(
        sink.Contains(Log::Warning, "curl_enableDebugFuncOnUnexpectedErrors: 1 -> curl_enableDebugFunc"));

    // A refused connection is expected and leaves the variable alone.
    ScopedCVar off(Net::curl_enableDebugFunc, "0");
    done = false;
    std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
    HTTPClient::Request(closed.c_str(), params, [&](const HTTPClient::Response&) { done = true; });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(Net::curl_enableDebugFunc.GetInt(), 0);
}

TEST_F(HTTPClientTest, RedirectsAreFollowed)
{
    std::string url = s_server->Url("/redirect");
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_EQ(got.body, "status body");
}

TEST_F(HTTPClientTest, LargeBodiesAskForContinueAndLargeAnswersArriveWhole)
{
    std::string url = s_server->Url("/echo");
    for (uint32 size : {1000u, 1024u * 1024u + 1u, 2u * 1024u * 1024u})
    {
        SCOPED_TRACE(size);
        s_server->ClearSeen();
        std::string body(size, 'z');
        HTTPClient::RequestParams params = SyncParams();
        params.body = body.data();
        params.bodySize = size;
        HTTPClient::Response got;
        HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
        EXPECT_EQ(got.httpCode, 200);
        std::vector<SeenRequest> seen = s_server->Seen();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].body.size(), size);
        EXPECT_EQ(seen[0].expect, size > 1024u * 1024u ? "100-continue" : "");
    }

    std::string big = s_server->Url("/big");
    HTTPClient::Response got;
    HTTPClient::RequestParams params = SyncParams();
    params.maxBodyBytes = 4u * 1024u * 1024u; // more than the default is asked for explicitly
    HTTPClient::Request(big.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_FALSE(got.bodyTruncated);
    ASSERT_EQ(got.body.size(), 3u * 1024u * 1024u + 17u);
    bool same = true;
    for (size_t i = 0; i < got.body.size() && same; ++i)
        same = got.body[i] == static_cast<char>(i * 7);
    EXPECT_TRUE(same);
    EXPECT_EQ(got.body.c_str()[got.body.size()], 0) << "a 0 byte follows the body";
}

// Without asking for more, an answer is kept up to its default limit: the prefix is exact, the rest is
// dropped, and an answer that never ends no longer grows until memory runs out.
TEST_F(HTTPClientTest, AnswersAreKeptUpToTheirLimit)
{
    CapturingSink sink;
    std::string big = s_server->Url("/big");
    HTTPClient::Response got;
    HTTPClient::Request(big.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_TRUE(got.bodyTruncated);
    ASSERT_EQ(got.body.size(), HTTPClient::kDefaultMaxBodyBytes);
    bool same = true;
    for (size_t i = 0; i < got.body.size() && same; ++i)
        same = got.body[i] == static_cast<char>(i * 7);
    EXPECT_TRUE(same);
    EXPECT_TRUE(sink.Contains(Log::Warning, "was longer than 65536 bytes; the rest was not read"));

    // A small limit asked for by the caller; the rest of a short answer is read and dropped.
    HTTPClient::RequestParams params = SyncParams();
    params.maxBodyBytes = 4;
    std::string url = s_server->Url("/status/200");
    HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.body, "stat");
    EXPECT_TRUE(got.bodyTruncated);
    EXPECT_TRUE(sink.Contains(Log::Warning, "the rest was dropped"));

    // An endless answer, synchronously and asynchronously: each ends with what was kept.
    RawServer endless(RawServer::Mode::Endless);
    std::string endlessUrl = endless.Url("/");
    HTTPClient::Request(endlessUrl.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_EQ(got.body, std::string(HTTPClient::kDefaultMaxBodyBytes, 'e'));
    params = HTTPClient::RequestParams{};
    bool done = false;
    HTTPClient::Request(endlessUrl.c_str(), params,
                        [&](const HTTPClient::Response& r)
                        {
                            got = r;
                            done = true;
                        });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.body.size(), HTTPClient::kDefaultMaxBodyBytes);
    EXPECT_LT(endless.BodyBytesSent(), 256u * 1024u * 1024u);
}

// A server that accepts and never answers, or trickles, is given up at the stall limit, well before
// the request's overall limit.
TEST_F(HTTPClientTest, StalledAnswersEndAtTheStallLimit)
{
    ScopedCVar stall(Net::curl_lowSpeedTimeSec, "1");
    for (RawServer::Mode mode : {RawServer::Mode::Silent, RawServer::Mode::Trickle})
    {
        SCOPED_TRACE(static_cast<int>(mode));
        RawServer server(mode);
        std::string url = server.Url("/");
        HTTPClient::RequestParams params = SyncParams();
        params.timeoutSec = 120;
        HTTPClient::Response got;
        CapturingSink sink;
        HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
        EXPECT_EQ(got.errorCode, ErrorCode::TIMEOUT);
        // libcurl names the limit that ended it: the stall limit, not the 120 s overall one.
        EXPECT_TRUE(sink.Contains(Log::Warning, "Operation too slow. Less than 1024 bytes/sec"));
    }
}

// A redirected POST is not followed: libcurl would send it on as an empty GET, and the caller would
// take the GET's answer for the POST's.
TEST_F(HTTPClientTest, RedirectedPostIsNotFollowed)
{
    std::string url = s_server->Url("/redirect");
    HTTPClient::RequestParams params = SyncParams();
    params.verb = HTTPClient::Verb::POST;
    params.body = "{\"a\":1}";
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 302);
    std::vector<SeenRequest> seen = s_server->Seen();
    ASSERT_EQ(seen.size(), 1u) << "nothing reached the redirect's target";
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/redirect");
}

TEST_F(HTTPClientTest, CollectHeadersKeepsTrimmedLines)
{
    std::string url = s_server->Url("/redirect");
    HTTPClient::RequestParams params = SyncParams();
    params.collectHeaders = true;
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    ASSERT_GE(got.headers.size(), 4u);
    EXPECT_EQ(std::string(got.headers[0].c_str()), "HTTP/1.1 302 Found");
    int statusLines = 0, emptyLines = 0;
    for (const String& h : got.headers)
    {
        std::string line = h.c_str();
        EXPECT_TRUE(line.empty() || (line.back() != '\r' && line.back() != '\n' && line.back() != ' '))
            << line;
        statusLines += line.rfind("HTTP/1.1 ", 0) == 0;
        emptyLines += line.empty();
    }
    EXPECT_EQ(statusLines, 2) << "the lines of every response received accumulate";
    EXPECT_EQ(emptyLines, 2);

    params.collectHeaders = false;
    HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_TRUE(got.headers.empty());
}

TEST_F(HTTPClientTest, CompletionIssuingRequestsDuringUpdate)
{
    // Enough requests issued from a completion to grow the slot array past its reserve while the
    // completion runs: its response must stay intact, every request issued from it is performed
    // by a later Update, and each completion gets its own response. The chained requests go to a
    // closed port so that they finish quickly without loading the server.
    std::string url = s_server->Url("/echo");
    std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
    constexpr int kChained = 600;
    int completed = 0;
    int mismatches = 0;
    HTTPClient::RequestParams params;
    params.body = "first";
    bool firstDone = false;
    uint32 firstId = 0;
    firstId = HTTPClient::Request(
        url.c_str(), params,
        [&](const HTTPClient::Response& r)
        {
            firstDone = true;
            std::string before = r.body;
            for (int i = 0; i < kChained; ++i)
            {
                auto id = std::make_shared<uint32>(0);
                *id = HTTPClient::Request(closed.c_str(), HTTPClient::RequestParams{},
                                          [&, id](const HTTPClient::Response& rr)
                                          {
                                              mismatches += rr.reqId != *id ||
                                                            rr.errorCode != ErrorCode::SERVER_UNAVAILABLE;
                                              ++completed;
                                          });
            }
            EXPECT_EQ(HTTPClient::GetNumActiveRequests(), static_cast<uint32>(kChained + 1))
                << "new requests are appended behind the one completing";
            EXPECT_EQ(r.reqId, firstId);
            EXPECT_EQ(r.body, before) << "the response stays in place while the completion runs";
            EXPECT_EQ(r.body, "POST:first");
            HTTPClient::CancelRequest(firstId); // ignored: it is completing
        });
    ASSERT_TRUE(PumpUntil([&] { return firstDone; }));
    EXPECT_EQ(completed, 0) << "requests from a completion run in a later Update";
    ASSERT_TRUE(PumpUntil([&] { return completed == kChained; }));
    EXPECT_EQ(mismatches, 0);
    EXPECT_FALSE(HTTPClient::IsActive());
}

TEST_F(HTTPClientTest, CancelRequestDropsWithoutCompletion)
{
    std::string slow = s_server->Url("/slow");
    std::string fast = s_server->Url("/status/200");
    int slowRuns = 0;
    bool fastDone = false;
    HTTPClient::RequestParams params;
    uint32 slowId =
        HTTPClient::Request(slow.c_str(), params, [&](const HTTPClient::Response&) { ++slowRuns; });
    uint32 fastId =
        HTTPClient::Request(fast.c_str(), params, [&](const HTTPClient::Response&) { fastDone = true; });
    EXPECT_NE(slowId, fastId);
    EXPECT_EQ(HTTPClient::GetNumActiveRequests(), 2u);
    HTTPClient::CancelRequest(0xDEADBEEF); // unknown: ignored
    EXPECT_EQ(HTTPClient::GetNumActiveRequests(), 2u);
    HTTPClient::CancelRequest(slowId);
    EXPECT_EQ(HTTPClient::GetNumActiveRequests(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return fastDone; }));
    for (int i = 0; i < 50; ++i)
        HTTPClient::Update();
    EXPECT_EQ(slowRuns, 0);
}

TEST_F(HTTPClientTest, InjectResolvesReachFakeHost)
{
    struct Case
    {
        const char* text;
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        {"", {}},
        {"a.test:80:10.0.0.1", {"a.test:80:10.0.0.1"}},
        {"a.test:80:10.0.0.1;;b.test:443:10.0.0.2", {"a.test:80:10.0.0.1", "b.test:443:10.0.0.2"}},
        {";;;a:1:1.1.1.1;", {"a:1:1.1.1.1"}},
        {"'q;x:1:1.2.3.4';\"d:2:5.6.7.8\"", {"q;x:1:1.2.3.4", "d:2:5.6.7.8"}},
    };
    static StaticString<2048> out[32];
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        uint32 n = HTTPClient::SplitInjectResolves(c.text, out);
        ASSERT_EQ(n, c.entries.size());
        for (uint32 i = 0; i < n; ++i)
            EXPECT_EQ(std::string(out[i].c_str()), c.entries[i]);
    }
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "h" + std::to_string(i) + ":1:1.1.1.1;";
    EXPECT_EQ(HTTPClient::SplitInjectResolves(many.c_str(), out), 32u);

    std::string port = std::to_string(s_server->port());
    ScopedCVar inject(Net::curl_injectResolves,
                      ("other.test:1:10.9.9.9;;collector.test:" + port + ":127.0.0.1").c_str());
    std::string url = "http://collector.test:" + port + "/status/200";
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
}

TEST_F(HTTPClientTest, DebugOutputLevels)
{
    // (level, kind) -> printed; kinds: 0 text, 1/2 headers in/out, 3/4 data in/out, 5/6 TLS data.
    const bool expected[6][7] = {
        {true, false, false, false, false, false, false}, // 0 (never reached: no callback)
        {true, false, false, false, false, false, false}, // 1
        {true, true, true, false, false, false, false},   // 2
        {true, true, true, true, false, false, false},    // 3
        {true, true, true, true, true, false, false},     // 4
        {true, true, true, true, true, true, true},       // 5
    };
    for (int level = 0; level < 6; ++level)
        for (int kind = 0; kind < 7; ++kind)
            EXPECT_EQ(HTTPClient::DebugKindEnabled(level, kind), expected[level][kind])
                << level << "," << kind;

    std::string url = s_server->Url("/echo");
    HTTPClient::RequestParams params = SyncParams();
    params.body = "payload-123";
    for (const char* level : {"2", "4"})
    {
        SCOPED_TRACE(level);
        ScopedCVar debug(Net::curl_enableDebugFunc, level);
        CapturingSink sink;
        HTTPClient::Request(url.c_str(), params, nullptr);
        EXPECT_TRUE(sink.Contains(Log::Info, "CURLINFO_HEADER_OUT: POST /echo HTTP/1.1"));
        EXPECT_TRUE(sink.Contains(Log::Info, "CURLINFO_HEADER_IN : HTTP/1.1 200 OK"));
        bool four = std::string(level) == "4";
        EXPECT_EQ(sink.Contains("CURLINFO_DATA_OUT  : payload-123"), four);
        EXPECT_EQ(sink.Contains("CURLINFO_DATA_IN   : POST:payload-123"), four);
    }
    CapturingSink quiet;
    HTTPClient::Request(url.c_str(), params, nullptr);
    EXPECT_FALSE(quiet.Contains("CURLINFO_")) << "no debug output by default";
}

TEST_F(HTTPClientTest, RequestLogging)
{
    std::string url = s_server->Url("/status/201");
    HTTPClient::RequestParams params;
    params.body = "b";
    {
        CapturingSink sink;
        bool done = false;
        HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response&) { done = true; });
        ASSERT_TRUE(PumpUntil([&] { return done; }));
        EXPECT_TRUE(sink.Lines().empty()) << "nothing is logged for successful requests by default";
    }
    ScopedCVar log(Net::http_logClientRequests, "2");
    CapturingSink sink;
    bool done = false;
    uint32 id = HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response&) { done = true; });
    ASSERT_TRUE(PumpUntil([&] { return done; }));
    EXPECT_TRUE(sink.Contains(Log::NetLog, "HTTPClient::Request: 1 requests active"));
    EXPECT_TRUE(sink.Contains(Log::NetLog, "reqId=" + std::to_string(id) + ", url='" + url + "'"));
    EXPECT_TRUE(sink.Contains(Log::NetLog, "HTTPClient: completed reqIdx 0 of 1 active requests"));
    EXPECT_TRUE(sink.Contains(Log::NetLog, ", ip=127.0.0.1: [OK][201] size=11b: totalTime="));
}

TEST_F(HTTPClientTest, HttpRequestCommand)
{
    CapturingSink sink;
    std::string url = s_server->Url("/echo");
    const char* argv[] = {"http_request", url.c_str(), "put", "hello", "X-Test: 1"};
    HTTPClient::CmdRequest(CmdArgs{5, argv});
    EXPECT_TRUE(sink.Contains(Log::Debug, "Sending request to " + url + " ..."));
    ASSERT_TRUE(PumpUntil([&] { return sink.Contains("PUT:hello"); }));
    EXPECT_TRUE(sink.Contains(Log::Debug, "http_request:"));

    sink.Clear();
    std::string missing = s_server->Url("/status/404");
    const char* argv2[] = {"http_request", missing.c_str()};
    HTTPClient::CmdRequest(CmdArgs{2, argv2});
    ASSERT_TRUE(PumpUntil([&] { return sink.Contains("Error: ErrorCode::SERVER_MISUNDERSTOOD_REQUEST"); }));
}

// Without a client, requests end at once instead of waiting for an Update that can never finish them.
TEST_F(HTTPClientTest, NoClientCompletesAtOnceWithNetworkError)
{
    HTTPClient::Shutdown();
    ASSERT_FALSE(HTTPClient::IsInitialized());
    std::string url = s_server->Url("/status/200");
    for (bool sync : {true, false})
    {
        HTTPClient::RequestParams params;
        params.synchronous = sync;
        bool ran = false;
        HTTPClient::Response got;
        uint32 id = HTTPClient::Request(url.c_str(), params,
                                        [&](const HTTPClient::Response& r)
                                        {
                                            ran = true;
                                            got = r;
                                        });
        EXPECT_TRUE(ran);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(got.reqId, id);
        EXPECT_EQ(got.errorCode, ErrorCode::NETWORK);
        EXPECT_EQ(got.httpCode, 0);
        EXPECT_FALSE(HTTPClient::IsActive());
    }
    HTTPClient::ResponsePromise p = HTTPClient::Request(url.c_str(), HTTPClient::RequestParams{}, nullptr);
    ASSERT_NE(p.GetResult(), nullptr);
    HTTPClient::Update(); // harmless without a client
    ASSERT_TRUE(HTTPClient::Init());
}

// A request that nothing pumped (an http_request in a configuration script of a run that ends
// without an upload) is cancelled at shutdown and named in the log; it ends nothing.
TEST_F(HTTPClientTest, ShutdownCancelsRequestsInFlight)
{
    std::string slow = s_server->Url("/slow");
    int runs = 0;
    HTTPClient::Request(slow.c_str(), HTTPClient::RequestParams{},
                        [&](const HTTPClient::Response&) { ++runs; });
    {
        AssertRecorder asserts;
        CapturingSink sink;
        HTTPClient::Shutdown();
        EXPECT_EQ(asserts.Count(), 0u);
        EXPECT_TRUE(sink.Contains(Log::Warning, "1 requests still in flight at shutdown are cancelled"));
        EXPECT_TRUE(sink.Contains(Log::Warning, "HTTPClient: cancelled reqId="));
    }
    EXPECT_FALSE(HTTPClient::IsActive());
    EXPECT_EQ(runs, 0);
    ASSERT_TRUE(HTTPClient::Init());
    HTTPClient::Response got;
    std::string url = s_server->Url("/status/200");
    HTTPClient::Request(url.c_str(), SyncParams(), [&](const HTTPClient::Response& r) { got = r; });
    EXPECT_EQ(got.httpCode, 200) << "a client started again works";
}

TEST(HTTPClientMapping, CurlResultsToErrorCodes)
{
    const std::pair<int, ErrorCode> cases[] = {
        {0, ErrorCode::OK},       {7, ErrorCode::SERVER_UNAVAILABLE},
        {28, ErrorCode::TIMEOUT}, {60, ErrorCode::SERVER_CERT_UNTRUSTED},
        {6, ErrorCode::NETWORK},  {35, ErrorCode::NETWORK},
        {52, ErrorCode::NETWORK}, {77, ErrorCode::NETWORK},
        {-1, ErrorCode::NETWORK},
    };
    for (const auto& [curl, code] : cases)
        EXPECT_EQ(HTTPClient::MapCurlResult(curl), code) << curl;
}
} // namespace Morvex::Test
