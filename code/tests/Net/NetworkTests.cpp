// Network start-up and IPv4 addresses.

#include "Net/HTTPClient.h"
#include "Net/NetAddress.h"
#include "Net/Network.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

namespace Morvex::Test
{
namespace
{
uint32 Ip(const char* text)
{
    return inet_addr(text);
}
} // namespace

TEST(NetAddress, DottedQuadAndText)
{
    NetAddress a;
    a.port = 8080;
    EXPECT_TRUE(a.SetHost("10.1.2.3"));
    EXPECT_EQ(a.ip, Ip("10.1.2.3"));
    EXPECT_EQ(a.port, 8080) << "the port is not touched";
    EXPECT_EQ(std::string(a.ToString(true).c_str()), "10.1.2.3:8080");
    EXPECT_EQ(std::string(a.ToString(false).c_str()), "10.1.2.3");

    EXPECT_TRUE(a.SetHost("localhost"));
    EXPECT_EQ(std::string(a.ToString(false).c_str()), "127.0.0.1");
}

TEST(NetAddress, FailuresKeepAllOnes)
{
    struct Case
    {
        const char* host;
        const char* logged;
    };
    // "::1" resolves to IPv6 only; ".invalid" never resolves.
    const Case cases[] = {{"::1", nullptr},
                          {"no-such-host.invalid", "NetAddress::SetHost: getaddrinfo failed with error"}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.host);
        CapturingSink sink;
        NetAddress a;
        a.ip = 1;
        EXPECT_FALSE(a.SetHost(c.host));
        EXPECT_EQ(a.ip, 0xFFFFFFFFu);
        if (c.logged)
        {
            EXPECT_TRUE(sink.Contains(Log::Error, c.logged));
        }
    }
}

TEST(NetAddress, RanksAndChoice)
{
    struct Rank
    {
        const char* ip;
        int32 rank;
    };
    const Rank ranks[] = {{"8.8.8.8", -1},    {"127.0.0.1", 0},    {"127.255.0.9", 0},  {"169.254.3.4", 1},
                          {"10.0.0.1", 2},    {"172.16.0.1", 2},   {"172.31.255.1", 2}, {"172.32.0.1", -1},
                          {"192.168.7.1", 2}, {"192.168.1.20", 3}, {"192.168.0.5", 3},  {"192.169.0.1", -1}};
    for (const Rank& r : ranks)
        EXPECT_EQ(NetAddress::RankPrivateAddress(Ip(r.ip)), r.rank) << r.ip;

    struct Choice
    {
        std::vector<const char*> list;
        int32 chosen;
    };
    const Choice choices[] = {
        {{}, -1},
        {{"10.0.0.1", "8.8.8.8", "1.1.1.1"}, 1}, // the first public address wins
        {{"127.0.0.1", "10.0.0.1"}, 1},          // rank 2 beats rank 0
        {{"10.0.0.1", "172.16.0.1"}, 0},         // equal rank: the earliest stays
        {{"127.0.0.1", "169.254.1.1", "192.168.1.2", "10.0.0.9"}, 2},
        {{"127.0.0.1", "127.0.0.2"}, 0},
    };
    for (const Choice& c : choices)
    {
        std::vector<uint32> ips;
        for (const char* s : c.list)
            ips.push_back(Ip(s));
        EXPECT_EQ(NetAddress::ChooseAddress(ips.data(), static_cast<uint32>(ips.size())), c.chosen);
    }
}

// Without sockets (no file descriptors left) the start-up fails, starts nothing, and HTTP use then
// ends at once instead of hanging. Runs in a child so the descriptor limit stays there.
TEST(NetInitDeathTest, NoSocketsMeansNoClient)
{
    GTEST_FLAG_SET(death_test_style, "fast");
    auto child = []
    {
        CapturingSink sink;
        // Every sink is called once while descriptors are still there: the undefined-behaviour
        // checker needs a descriptor to verify a virtual call it has not seen before.
        MX_LOG_ERROR("descriptors are about to run out");
        rlimit none{0, 0};
        setrlimit(RLIMIT_NOFILE, &none);
        bool started = Net::Init();
        bool logged = sink.Contains(Log::Error, "Net::Init: socket allocation failed with err 24");
        bool noClient = !Net::HTTPClient::IsInitialized();
        Net::HTTPClient::RequestParams params;
        params.synchronous = true;
        Net::HTTPClient::Response got;
        Net::HTTPClient::Request("http://127.0.0.1:1/", params,
                                 [&](const Net::HTTPClient::Response& r) { got = r; });
        bool network = got.errorCode == ErrorCode::NETWORK && got.httpCode == 0;
        bool upload =
            Net::HTTPClient::UploadFileSync("http://127.0.0.1:1/", "f", "/etc/hostname", nullptr, 0);
        Net::Shutdown(); // does nothing after a failed start
        _exit((started ? 1 : 0) | (logged ? 0 : 2) | (noClient ? 0 : 4) | (network ? 0 : 8) |
              (upload ? 16 : 0));
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST(NetInit, StartStopAndDoubleStart)
{
    ASSERT_TRUE(Net::Init());
    EXPECT_TRUE(Net::IsInitialized());
    EXPECT_TRUE(Net::HTTPClient::IsInitialized());
    {
        AssertRecorder asserts;
        EXPECT_TRUE(Net::Init());
        EXPECT_TRUE(asserts.Saw("GNetInit == false"));
    }
    Net::Shutdown();
    EXPECT_FALSE(Net::IsInitialized());
    EXPECT_FALSE(Net::HTTPClient::IsInitialized());
    Net::Shutdown(); // a second stop does nothing
}
} // namespace Morvex::Test
