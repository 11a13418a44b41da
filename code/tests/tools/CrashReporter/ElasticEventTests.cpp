#include "CrashReporter.h"

#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "Net/HTTPClient.h"
#include "Net/Network.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Morvex;

namespace
{
const char* const kTimestamp = "2022-12-14T10:20:30.123Z";

std::string Build(const std::string& product, const std::string& additional,
                  const char* timestamp = kTimestamp)
{
    const String doc = BuildElasticEventDocument(
        StrView(product.data(), static_cast<uint32>(product.size())),
        StrView(additional.data(), static_cast<uint32>(additional.size())), StrView(timestamp));
    return std::string(doc.c_str(), doc.length());
}

std::string Document(const std::string& tag1, const std::string& tag2, const std::string& product,
                     const std::string& suffix, const std::string& desc)
{
    return std::string("{\n") + "  \"@timestamp\": \"" + kTimestamp + "\",\n" + "  \"tags\" : [\"" + tag1 +
           "\", \"" + tag2 + "\", \"" + product + "\"],\n" + "  \"title\" : \"" + product + " " + suffix +
           "\",\n" + "  \"desc\" : \"" + desc + "\"\n}";
}

// The document as the original fixed formats produce it into a 512-character buffer, for texts that
// need no escaping beyond the description's.
std::string ReferenceDocument(const char* tag1, const char* tag2, const char* product, const char* suffix,
                              const char* escapedDesc)
{
    char buffer[513];
    std::snprintf(
        buffer, sizeof(buffer),
        "{\n  \"@timestamp\": \"%s\",\n  \"tags\" : [\"%s\", \"%s\", \"%s\"],\n  \"title\" : \"%s %s\",\n "
        " \"desc\" : \"%s\"\n}",
        kTimestamp, tag1, tag2, product, product, suffix, escapedDesc);
    return buffer;
}

std::string Repeat(const std::string& s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}
} // namespace

TEST(ElasticEventTest, DocumentFieldsFollowTheParameters)
{
    struct Case
    {
        const char* name;
        std::string product;
        std::string additional;
        std::string expected;
    };
    const Case cases[] = {
        {"release crash", "Demo", "version-type=release;script=;foo=bar",
         Document("crash", "release", "Demo", "crashed", "version-type=release<br>script=<br>foo=bar<br>")},
        {"script errors", "Demo", "script=errors.txt",
         Document("script-error", "unknown", "Demo", "had script errors", "script=errors.txt<br>")},
        {"empty additional", "Demo", "", Document("crash", "unknown", "Demo", "crashed", "")},
        {"runs of delimiters", "Demo", ";;a;;b;",
         Document("crash", "unknown", "Demo", "crashed", "a<br>b<br>")},
        {"key without '='", "Demo", "version-type;script",
         Document("crash", "unknown", "Demo", "crashed", "version-type<br>script<br>")},
        {"first parameter wins", "Demo", "version-type=beta;script=;version-type=rc;script=x",
         Document("crash", "beta", "Demo", "crashed",
                  "version-type=beta<br>script=<br>version-type=rc<br>script=x<br>")},
        {"value keeps later '='", "Demo", "version-type=a=b",
         Document("crash", "a=b", "Demo", "crashed", "version-type=a=b<br>")},
        {"empty version", "Demo",
         "version-type=", Document("crash", "", "Demo", "crashed", "version-type=<br>")},
        {"quoted items", "Demo", "\"x;y\";'p;q'z;w",
         Document("crash", "unknown", "Demo", "crashed", "x;y<br>p;q<br>z<br>w<br>")},
        {"unquoted item ends at a quote", "Demo", "ab\"cd\"ef;g'h",
         Document("crash", "unknown", "Demo", "crashed", "ab<br>cd<br>ef<br>g<br>h<br>")},
        {"quoted script parameter", "Game", "'script=a;b'",
         Document("script-error", "unknown", "Game", "had script errors", "script=a;b<br>")},
        {"empty product", "", "", Document("crash", "unknown", "", "crashed", "")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Build(c.product, c.additional), c.expected) << c.name;

    // Every document of these sizes stays byte for byte what the fixed formats give.
    EXPECT_EQ(Build("Demo", "version-type=release;script=;foo=bar"),
              ReferenceDocument("crash", "release", "Demo", "crashed",
                                "version-type=release<br>script=<br>foo=bar<br>"));
    EXPECT_EQ(
        Build("Demo", "script=errors.txt"),
        ReferenceDocument("script-error", "unknown", "Demo", "had script errors", "script=errors.txt<br>"));
}

TEST(ElasticEventTest, EveryStringValueIsEscaped)
{
    struct Case
    {
        const char* name;
        std::string product;
        std::string additional;
        std::string expected;
    };
    const Case cases[] = {
        {"line break and backslash in desc", "Demo", "a\nb;c\\d;e\tf\rg\bh",
         Document("crash", "unknown", "Demo", "crashed", "a\\nb<br>c\\\\d<br>e\\tf\\rg\\bh<br>")},
        {"double quote inside an apostrophe item", "Demo", "'say \"hi\"'",
         Document("crash", "unknown", "Demo", "crashed", "say \\\"hi\\\"<br>")},
        {"other control bytes", "Demo", std::string("x\x01y\x1f\x0c;\x7f", 7),
         Document("crash", "unknown", "Demo", "crashed", std::string("x\\u0001y\\u001F\\u000C<br>\x7f<br>"))},
        {"product with quote and backslash", "De\"mo\\", "",
         Document("crash", "unknown", "De\\\"mo\\\\", "crashed", "")},
        {"product with a line break", "A\nB", "", Document("crash", "unknown", "A\\nB", "crashed", "")},
        {"version tag with a quote", "Demo", "'version-type=x\"y'",
         Document("crash", "x\\\"y", "Demo", "crashed", "version-type=x\\\"y<br>")},
        {"apostrophe and UTF-8 kept", "D'é", "", Document("crash", "unknown", "D'é", "crashed", "")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Build(c.product, c.additional), c.expected) << c.name;

    String escaped;
    AppendJsonEscaped(escaped, StrView("\x00\x1f\"\\/", 5));
    EXPECT_EQ(std::string(escaped.c_str()), "\\u0000\\u001F\\\"\\\\/");
}

// The document is JSON, which is UTF-8: bytes that are not (a Latin-1 product name, a cut character,
// an overlong or surrogate form) become U+FFFD, one for each ill-formed part, while well-formed
// characters of every length pass unchanged.
TEST(ElasticEventTest, IllFormedUtf8BecomesTheReplacementCharacter)
{
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case
    {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"Latin-1 byte", "Caf\xe9", "Caf" + fffd},
        {"lone continuation bytes",
         "a\x80\xbf"
         "b",
         "a" + fffd + fffd + "b"},
        {"lead byte cut by the end", "x\xe2\x82", "x" + fffd},
        {"lead byte cut by another character",
         "\xe2\x82"
         "z",
         fffd + "z"},
        {"overlong slash", "\xc0\xaf", fffd + fffd},
        {"overlong three bytes", "\xe0\x80\xaf", fffd + fffd + fffd},
        {"surrogate", "\xed\xa0\x80", fffd + fffd + fffd},
        {"past U+10FFFF", "\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"bytes never used", "\xfe\xff", fffd + fffd},
        {"well-formed of every length", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf",
         "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(Build(c.in, ""), Document("crash", "unknown", c.out, "crashed", "")) << c.name;
        EXPECT_EQ(Build("Demo", c.in), Document("crash", "unknown", "Demo", "crashed", c.out + "<br>"))
            << c.name;
    }
    // A version tag cut inside a character by the 1024-byte window.
    EXPECT_EQ(Build("Demo", std::string(1000, ';') + "version-type=" + std::string(10, 'v') + "\xc3\xa9"),
              Document("crash", std::string(10, 'v') + fffd, "Demo", "crashed",
                       "version-type=" + std::string(10, 'v') + fffd + "<br>"));
}

TEST(ElasticEventTest, LimitsCutTheInputButNeverTheDocument)
{
    // 65 items: the 65th is dropped.
    std::string items;
    std::string desc;
    for (int i = 0; i < 65; ++i)
    {
        items += "i" + std::to_string(i) + ";";
        if (i < 64)
            desc += "i" + std::to_string(i) + "<br>";
    }
    EXPECT_EQ(Build("Demo", items), Document("crash", "unknown", "Demo", "crashed", desc));

    // Only the first 1024 bytes of additional are looked at.
    EXPECT_EQ(Build("Demo", std::string(1000, ';') + "script=x"),
              Document("script-error", "unknown", "Demo", "had script errors", "script=x<br>"));
    EXPECT_EQ(Build("Demo", std::string(1020, ';') + "script=x"),
              Document("crash", "unknown", "Demo", "crashed", "scri<br>"));

    // The description keeps 512 bytes; the document around it is complete, however long.
    const std::string longDoc = Build("Demo", std::string(600, 'x'));
    EXPECT_EQ(longDoc, Document("crash", "unknown", "Demo", "crashed", std::string(512, 'x')));
    EXPECT_GT(longDoc.size(), 512u);

    // The cut falls between whole UTF-8 characters.
    EXPECT_EQ(Build("Demo", std::string(511, 'x') + "\xc3\xa9"),
              Document("crash", "unknown", "Demo", "crashed", std::string(511, 'x')));

    // Escaping that grows the text past 512 characters still gives the whole document.
    const std::string quotes = Repeat("\\", 300);
    const std::string product = Repeat("\"", 200);
    const std::string doc = Build(product, "'" + quotes + "'");
    EXPECT_EQ(doc,
              Document("crash", "unknown", Repeat("\\\"", 200), "crashed", Repeat("\\\\", 300) + "<br>"));
    EXPECT_EQ(doc.substr(doc.size() - 3), "\"\n}");
}

TEST(ElasticEventTest, TimestampIsUtcWithMilliseconds)
{
    struct Case
    {
        int64 timeMs;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {1671013230123, "2022-12-14T10:20:30.123Z"},
        {951782400999, "2000-02-29T00:00:00.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
        {253402300799000, "9999-12-31T23:59:59.000Z"},
    };
    for (const Case& c : cases)
    {
        StaticString32_t out;
        FormatElasticTimestamp(c.timeMs, out);
        EXPECT_STREQ(out.c_str(), c.text) << c.timeMs;
    }
}

namespace
{
int ClosedLoopbackPort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// An index server on 127.0.0.1 that answers every POST with a chosen status and keeps what it got.
class IndexServer
{
public:
    struct Received
    {
        std::string method;
        std::string path;
        std::string contentType;
        std::string body;
    };

    IndexServer()
    {
        // "/moved/..." answers with a redirect to the index; GETs are recorded too, so that a
        // followed redirect would show.
        auto handler = [this](const httplib::Request& req, httplib::Response& res)
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(
                Received{req.method, req.path, req.get_header_value("Content-Type"), req.body});
            if (req.path.rfind("/moved/", 0) == 0)
            {
                res.set_redirect(Url("/events/prod/"), 302);
                return;
            }
            res.status = m_status;
            res.set_content("{\"result\":\"created\"}", "application/json");
        };
        m_server.Post(".*", handler);
        m_server.Get(".*", handler);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~IndexServer()
    {
        m_server.stop();
        m_thread.join();
    }

    void SetStatus(int status)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_status = status;
    }
    std::vector<Received> Take()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_received, {});
    }
    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    int m_status = 201;
    std::vector<Received> m_received;
};

class ElasticEventSendTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // Console variables take their defaults at registration, as in the reporter's start-up.
        if (!CmdSystem::IsInitialized())
            CmdSystem::Init();
        ASSERT_TRUE(Net::Init());
    }
    static void TearDownTestSuite() { Net::Shutdown(); }

    static std::vector<std::string> ErrorLines(const Morvex::Test::CapturingSink& sink)
    {
        std::vector<std::string> out;
        for (const auto& l : sink.Lines())
            if (l.level == Log::Error)
                out.push_back(l.text);
        return out;
    }

    IndexServer server;
    CrashReporterSettings m_settings;
    Morvex::Test::ScopedCVars m_vars;
};
} // namespace

TEST_F(ElasticEventSendTest, PostsTheDocumentAsJson)
{
    Morvex::Test::CapturingSink sink;
    m_settings.product = "Demo";
    m_settings.additional = "version-type=release;script=";
    m_vars.Set(ElasticsearchUrl, server.Url("/events/prod/"));
    AddElasticEvent(m_settings);

    const std::vector<IndexServer::Received> got = server.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].path, "/events/prod/");
    EXPECT_EQ(got[0].contentType, "application/json");
    // The body is the document with the time of the call.
    const std::string& body = got[0].body;
    ASSERT_GT(body.size(), 40u);
    const std::string timestamp = body.substr(19, 24);
    EXPECT_EQ(body,
              ReferenceDocument("crash", "release", "Demo", "crashed", "version-type=release<br>script=<br>")
                  .replace(19, 24, timestamp));
    EXPECT_EQ(timestamp.size(), 24u);
    EXPECT_EQ(timestamp.back(), 'Z');
    EXPECT_TRUE(ErrorLines(sink).empty()) << "a 201 answer logs nothing";
}

TEST_F(ElasticEventSendTest, FailuresLogTheErrorCodeAndTheDocument)
{
    struct Case
    {
        int status; // 0: nobody listens
        const char* firstLine;
    };
    const Case cases[] = {
        {400, "AddElasticEvent: ErrorCode::SERVER_MISUNDERSTOOD_REQUEST"},
        {413, "AddElasticEvent: ErrorCode::SERVER_MISUNDERSTOOD_REQUEST"},
        {500, "AddElasticEvent: ErrorCode::SERVER_INTERNAL"},
        {503, "AddElasticEvent: ErrorCode::SERVER_INTERNAL"},
        {0, "AddElasticEvent: ErrorCode::SERVER_UNAVAILABLE"},
        {200, nullptr},
        {204, nullptr},
        {302, "AddElasticEvent: the server answered 302 (a redirect, not followed)"},
        {308, "AddElasticEvent: the server answered 308 (a redirect, not followed)"},
    };
    const std::string doc = Build("Demo", "a;b");
    for (const Case& c : cases)
    {
        Morvex::Test::CapturingSink sink;
        std::string url = server.Url("/events/prod/");
        if (c.status == 0)
            url = "http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()) + "/events/prod/";
        else
            server.SetStatus(c.status);
        SendElasticEvent(StrView(url.c_str()), StrView(doc.data(), static_cast<uint32>(doc.size())));
        const std::vector<std::string> errors = ErrorLines(sink);
        if (c.firstLine == nullptr)
        {
            EXPECT_TRUE(errors.empty()) << c.status;
        }
        else
        {
            ASSERT_EQ(errors.size(), 2u) << c.status;
            EXPECT_EQ(errors[0], c.firstLine);
            EXPECT_EQ(errors[1], doc);
        }
        EXPECT_EQ(server.Take().size(), c.status == 0 ? 0u : 1u) << c.status;
    }
}

// A redirect is not followed (libcurl would turn the POST into an empty GET and take its answer for
// a delivery): the event counts as not delivered and says so.
TEST_F(ElasticEventSendTest, RedirectIsAFailureNotAnEmptyGet)
{
    Morvex::Test::CapturingSink sink;
    const std::string doc = Build("Demo", "a");
    const std::string url = server.Url("/moved/");
    SendElasticEvent(StrView(url.c_str()), StrView(doc.data(), static_cast<uint32>(doc.size())));
    const std::vector<IndexServer::Received> got = server.Take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method, "POST");
    EXPECT_EQ(got[0].path, "/moved/");
    const std::vector<std::string> errors = ErrorLines(sink);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "AddElasticEvent: the server answered 302 (a redirect, not followed)");
    EXPECT_EQ(errors[1], doc);
}

// An index server that accepts and never answers holds the report back only for the event's own
// limit (ElasticsearchTimeoutSec), not for the client's default minute.
TEST_F(ElasticEventSendTest, SilentIndexServerIsGivenUpAtTheEventLimit)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(listener, 4), 0); // connections complete in the kernel and are never served
    socklen_t len = sizeof(addr);
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/events/prod/";

    Morvex::Test::ScopedCVar limit(ElasticsearchTimeoutSec, "1");
    Morvex::Test::CapturingSink sink;
    m_settings.product = "Demo";
    m_vars.Set(ElasticsearchUrl, url);
    AddElasticEvent(m_settings);
    close(listener);
    // libcurl names the limit that ended it: the event's own second, not the client's minute.
    EXPECT_TRUE(sink.Contains(Log::Warning, "Operation timed out after 1"));
    EXPECT_FALSE(sink.Contains(Log::Warning, "Operation timed out after 6"));
    const std::vector<std::string> errors = ErrorLines(sink);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "AddElasticEvent: ErrorCode::TIMEOUT");
}

TEST_F(ElasticEventSendTest, AnEmptyUrlSendsNothing)
{
    Morvex::Test::CapturingSink sink;
    m_settings.product = "Demo";
    m_vars.Set(ElasticsearchUrl, "");
    AddElasticEvent(m_settings);
    EXPECT_TRUE(server.Take().empty());
    EXPECT_TRUE(ErrorLines(sink).empty());
}
