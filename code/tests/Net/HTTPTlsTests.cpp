// TLS: peer verification and client certificates against a real TLS server on 127.0.0.1.

#include "Core/IO/FileSystem.h"
#include "Core/Platform.h"
#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include "NetTestServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace Morvex::Test
{
using Net::HTTPClient;

namespace
{
HTTPClient::Response SyncGet(const std::string& url, HTTPClient::RequestParams params = {})
{
    params.synchronous = true;
    params.timeoutSec = 20;
    HTTPClient::Response got;
    HTTPClient::Request(url.c_str(), params, [&](const HTTPClient::Response& r) { got = r; });
    return got;
}
} // namespace

class HTTPTlsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(Net::Init());
        s_dir = new TempDir();
        ASSERT_TRUE(MakeSelfSignedCert(s_dir->Join("server.pem"), s_dir->Join("server.key"), "127.0.0.1"));
        ASSERT_TRUE(MakeSelfSignedCert(s_dir->Join("client.pem"), s_dir->Join("client.key"), "reporter"));
        s_server = new NetTestServer(s_dir->Join("server.pem"), s_dir->Join("server.key"));
        s_server->server().Get("/hello", [](const httplib::Request&, httplib::Response& res)
                               { res.set_content("secure", "text/plain"); });
        s_server->server().Post(
            "/submit/",
            [](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& r)
            {
                NetTestServer::ReadStreamed(req, r);
                res.set_content("stored", "text/plain");
            });
        ASSERT_GT(s_server->Start(), 0);
        // Accepts only clients presenting the self-signed client certificate.
        s_mutual = new NetTestServer(s_dir->Join("server.pem"), s_dir->Join("server.key"),
                                     s_dir->Join("client.pem"));
        s_mutual->server().Get("/hello", [](const httplib::Request&, httplib::Response& res)
                               { res.set_content("mutual", "text/plain"); });
        ASSERT_GT(s_mutual->Start(), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        delete s_mutual;
        delete s_dir;
        Net::Shutdown();
    }

    static TempDir* s_dir;
    static NetTestServer* s_server;
    static NetTestServer* s_mutual;
};
TempDir* HTTPTlsTest::s_dir = nullptr;
NetTestServer* HTTPTlsTest::s_server = nullptr;
NetTestServer* HTTPTlsTest::s_mutual = nullptr;

// Peers are verified by default, so a man in the middle with his own certificate is refused.
TEST_F(HTTPTlsTest, UntrustedServerRefusedByDefault)
{
    ASSERT_EQ(Net::curl_verifyPeer.GetInt(), 1);
    HTTPClient::Response got = SyncGet(s_server->Url("/hello", "https"));
    EXPECT_EQ(got.errorCode, ErrorCode::SERVER_CERT_UNTRUSTED);
    EXPECT_EQ(got.httpCode, 0);

    s_dir->WriteFile("r.zip", "zip");
    std::string url = s_server->Url("/submit/", "https");
    CapturingSink sink;
    EXPECT_FALSE(HTTPClient::UploadFileSync(url.c_str(), "f", s_dir->Join("r.zip").c_str(), nullptr, 0))
        << "uploads verify the peer too";
    EXPECT_TRUE(sink.Contains(Log::Error, "ErrorCode::SERVER_CERT_UNTRUSTED"));
}

TEST_F(HTTPTlsTest, VerifyPeerOffAcceptsSelfSigned)
{
    ScopedCVar off(Net::curl_verifyPeer, "0");
    HTTPClient::Response got = SyncGet(s_server->Url("/hello", "https"));
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.httpCode, 200);
    EXPECT_EQ(got.body, "secure");

    s_dir->WriteFile("r.zip", "zip");
    std::string url = s_server->Url("/submit/", "https");
    EXPECT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", s_dir->Join("r.zip").c_str(), nullptr, 0));
}

// Application kind 0 trusts the CA bundle of its game data, read into memory: no copy of it is left
// on disk.
TEST_F(HTTPTlsTest, KindZeroUsesExtractedBundle)
{
    ASSERT_EQ(Platform_GetApplicationKind(), 0u);
    TempDir data;
    if (!Platform_IsPostInited())
    {
        setenv("XDG_DATA_HOME", data.Path().c_str(), 1);
        Platform_PostInit();
    }
    std::string bundle = s_dir->ReadFile("server.pem");
    std::filesystem::create_directories(data.Join("game/gamedata"));
    data.WriteFile("game/gamedata/cacert.pem", bundle);
    std::string gameDir = data.Join("game");
    ASSERT_GE(FileSystem::AddSearchDirectory(gameDir.c_str()), 0);
    ASSERT_TRUE(HTTPClient::Init());
    HTTPClient::Response got = SyncGet(s_server->Url("/hello", "https"));
    EXPECT_EQ(got.errorCode, ErrorCode::OK) << "the server's certificate is in the bundle";
    EXPECT_EQ(got.body, "secure");
    int copies = 0;
    std::error_code ec;
    for (const auto& e :
         std::filesystem::recursive_directory_iterator(Platform_GetUserDataFolder().c_str(), ec))
        copies += e.is_regular_file() && std::filesystem::file_size(e.path()) == bundle.size();
    EXPECT_EQ(copies, 0);

    FileSystem::ClearSearchPaths();
    CapturingSink sink;
    ASSERT_TRUE(HTTPClient::Init());
    EXPECT_TRUE(sink.Contains(Log::Error, "HTTPClient: failed to extract CA bundle!"));
    EXPECT_EQ(SyncGet(s_server->Url("/hello", "https")).errorCode, ErrorCode::SERVER_CERT_UNTRUSTED)
        << "without a bundle the system's CA store decides";
}

// curl_caBundle adds a studio's own authority to those trusted anyway; a file that cannot be read
// adds nothing and says so.
TEST_F(HTTPTlsTest, ExtraBundleIsTrustedBesideTheUsualAuthorities)
{
    {
        ScopedCVar extra(Net::curl_caBundle, s_dir->Join("server.pem").c_str());
        HTTPClient::Response got = SyncGet(s_server->Url("/hello", "https"));
        EXPECT_EQ(got.errorCode, ErrorCode::OK);
        EXPECT_EQ(got.body, "secure");
        s_dir->WriteFile("r.zip", "zip");
        std::string url = s_server->Url("/submit/", "https");
        EXPECT_TRUE(HTTPClient::UploadFileSync(url.c_str(), "f", s_dir->Join("r.zip").c_str(), nullptr, 0));
    }
    const std::string missing = s_dir->Join("no-such-bundle.pem");
    ScopedCVar extra(Net::curl_caBundle, missing.c_str());
    CapturingSink sink;
    EXPECT_EQ(SyncGet(s_server->Url("/hello", "https")).errorCode, ErrorCode::SERVER_CERT_UNTRUSTED);
    EXPECT_TRUE(sink.Contains(Log::Error, "curl_caBundle '" + missing + "' cannot be read"));
}

TEST_F(HTTPTlsTest, ClientCertificates)
{
    ScopedCVar off(Net::curl_verifyPeer, "0");
    std::string url = s_mutual->Url("/hello", "https");
    EXPECT_NE(SyncGet(url).httpCode, 200) << "the server insists on a client certificate";

    // One PEM text: certificate first, then the key.
    std::string pem = s_dir->ReadFile("client.pem") + s_dir->ReadFile("client.key");
    HTTPClient::RequestParams params;
    params.clientCertPem = pem.c_str();
    HTTPClient::Response got = SyncGet(url, params);
    EXPECT_EQ(got.errorCode, ErrorCode::OK);
    EXPECT_EQ(got.body, "mutual");

    // The same from files.
    HTTPClient::RequestParams files;
    std::string cert = s_dir->Join("client.pem"), key = s_dir->Join("client.key");
    files.sslCertFile = cert.c_str();
    files.sslKeyFile = key.c_str();
    EXPECT_EQ(SyncGet(url, files).body, "mutual");

    struct Case
    {
        const char* what;
        std::string pem;
        const char* logged;
    };
    const Case bad[] = {
        {"garbage", "not a certificate", "PEM_read_bio_X509_AUX failed"},
        {"no key", s_dir->ReadFile("client.pem"), "SSL_CTX_use_PrivateKey failed"},
        {"wrong key", s_dir->ReadFile("client.pem") + s_dir->ReadFile("server.key"),
         "SSL_CTX_use_PrivateKey failed"},
    };
    for (const Case& c : bad)
    {
        SCOPED_TRACE(c.what);
        CapturingSink sink;
        HTTPClient::RequestParams p;
        p.clientCertPem = c.pem.c_str();
        got = SyncGet(url, p);
        EXPECT_EQ(got.errorCode, ErrorCode::NETWORK) << "a bad client certificate fails the transfer (77)";
        EXPECT_TRUE(sink.Contains(Log::Error, c.logged));
        EXPECT_TRUE(sink.Contains(Log::Warning, "HTTPClient::Request(Sync): result = 77"));
    }
}
} // namespace Morvex::Test
