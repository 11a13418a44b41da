// Network start-up and IPv4 addresses over the platform's socket layer (NetworkPlatform.h).
//
// The start-up probes that a socket can be created. This build has no networking heap, cluster API
// client or IP diagnostics component, so the start-up runs the services that exist in the order
// given for the full set.

#include "Net/Network.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Platform.h"
#include "Core/Profiler/Profiler.h"
#include "Net/Async/AsyncService.h"
#include "Net/CachingFileDownloader.h"
#include "Net/HTTPClient.h"
#include "Net/NetAddress.h"
#include "NetworkPlatform.h"

#include <chrono>

namespace Morvex
{
namespace
{
bool GNetInit = false;

// The two /24 networks inside 192.168.0.0/16 preferred among private addresses: the networks
// home and office routers hand out by default.
constexpr uint32 kPreferredNet1 = (192u << 24) | (168u << 16) | (1u << 8);
constexpr uint32 kPreferredNet2 = (192u << 24) | (168u << 16) | (0u << 8);
} // namespace

bool Net::Init()
{
    MX_PROFILE_ZONE("Morvex::Net::Init");
    MX_ASSERT(GNetInit == false);
    if (GNetInit)
        return true;
    GNetInit = true;

    const int32 err = NetPlatform::ProbeSocket();
    if (err != 0)
    {
        MX_LOG_ERROR("Net::Init: socket allocation failed with err %d", static_cast<int>(err));
        // Application kind 0 shows a message box on Windows; there is no desktop message box
        // here, so the error line (with its description) is all the report there is.
        if (Platform_GetApplicationKind() == 0)
            MX_LOG_ERROR("Network init failed, check your TCP/IP stack and permissions: %s",
                         NetPlatform::ErrorText(err));
        GNetInit = false;
        return false;
    }

    AsyncService::Init();
    Net::HTTPClient::Init();
    CachingFileDownloader::Init();
    return GNetInit;
}

void Net::Shutdown()
{
    MX_PROFILE_ZONE("Morvex::Net::Shutdown");
    if (!GNetInit)
        return;
    CachingFileDownloader::Shutdown();
    Net::HTTPClient::Shutdown();
    AsyncService::Shutdown();
    GNetInit = false;
}

bool Net::IsInitialized()
{
    return GNetInit;
}

int32 NetAddress::RankPrivateAddress(uint32 ipNetworkOrder)
{
    uint32 a = NetPlatform::NetworkToHostOrder(ipNetworkOrder);
    if ((a & 0xFF000000u) == 0x7F000000u)
        return 0;
    if ((a & 0xFFFF0000u) == 0xA9FE0000u)
        return 1;
    if ((a & 0xFFFFFF00u) == kPreferredNet1 || (a & 0xFFFFFF00u) == kPreferredNet2)
        return 3;
    if ((a & 0xFF000000u) == 0x0A000000u || (a & 0xFFFF0000u) == 0xC0A80000u ||
        (a & 0xFFF00000u) == 0xAC100000u)
        return 2;
    return -1;
}

int32 NetAddress::ChooseAddress(const uint32* ips, uint32 count)
{
    int32 best = -1;
    int32 bestRank = -1;
    for (uint32 i = 0; i < count; ++i)
    {
        int32 rank = RankPrivateAddress(ips[i]);
        if (rank < 0)
            return static_cast<int32>(i);
        if (best < 0 || rank > bestRank)
        {
            best = static_cast<int32>(i);
            bestRank = rank;
        }
    }
    return best;
}

bool NetAddress::SetHost(const char* host)
{
    if (host == nullptr)
        host = "";
    uint32 parsed = 0;
    if (NetPlatform::ParseIPv4(host, parsed))
    {
        ip = parsed;
        return true;
    }
    ip = 0xFFFFFFFFu;

    auto start = std::chrono::steady_clock::now();
    uint32 candidates[64];
    uint32 count = 0;
    int32 rc = 0;
    if (!NetPlatform::ResolveIPv4(host, candidates, 64, count, rc))
    {
        MX_LOG_ERROR("NetAddress::SetHost: getaddrinfo failed with error %d (%s)", static_cast<int>(rc), "");
        return false;
    }
    // The first public address is the choice, whatever follows it.
    int32 chosen = ChooseAddress(candidates, count);
    if (chosen >= 0)
        ip = candidates[chosen];

    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (ms > 300.0)
        MX_LOG_WARNING("NetAddress::SetHost: name resolution for '%s' was slow, took %.1lfms", host, ms);
    return chosen >= 0;
}

StaticString256_t NetAddress::ToString(bool withPort) const
{
    char text[16] = {};
    NetPlatform::FormatIPv4(ip, text, sizeof(text));
    StaticString256_t out;
    if (withPort)
        out.Format("%.62s:%d", text, static_cast<int>(port));
    else
        out.Format("%.62s", text);
    return out;
}
} // namespace Morvex
