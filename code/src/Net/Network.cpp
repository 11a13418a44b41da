// Network start-up and IPv4 addresses.
//
// Linux mapping: the socket layer needs no start-up (the Windows Sockets start and stop have no
// equivalent), so Net::Init only probes that a socket can be created; the probe's error code comes
// from errno. This build has no networking heap, cluster API client or IP diagnostics component,
// so the start-up runs the services that exist in the order given for the full set.

#include "Net/Network.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Platform.h"
#include "Core/Profiler/Profiler.h"
#include "Net/Async/AsyncService.h"
#include "Net/CachingFileDownloader.h"
#include "Net/HTTPClient.h"
#include "Net/NetAddress.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

    int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
    {
        int err = errno;
        MX_LOG_ERROR("Net::Init: socket allocation failed with err %d", err);
        // Application kind 0 shows a message box on Windows; there is no desktop message box
        // here, so the error line (with its description) is all the report there is.
        if (Platform_GetApplicationKind() == 0)
            MX_LOG_ERROR("Network init failed, check your TCP/IP stack and permissions: %s",
                         std::strerror(err));
        GNetInit = false;
        return false;
    }
    close(probe);

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
    uint32 a = ntohl(ipNetworkOrder);
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
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1)
    {
        ip = parsed.s_addr;
        return true;
    }
    ip = 0xFFFFFFFFu;

    auto start = std::chrono::steady_clock::now();
    addrinfo* list = nullptr;
    int rc = getaddrinfo(host, nullptr, nullptr, &list);
    if (rc != 0)
    {
        MX_LOG_ERROR("NetAddress::SetHost: getaddrinfo failed with error %d (%s)", rc, "");
        return false;
    }
    uint32 candidates[64];
    uint32 count = 0;
    for (addrinfo* ai = list; ai && count < 64; ai = ai->ai_next)
    {
        if (ai->ai_family != AF_INET || ai->ai_addr == nullptr)
            continue;
        candidates[count++] = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        // The first public address ends the walk.
        if (RankPrivateAddress(candidates[count - 1]) < 0)
            break;
    }
    freeaddrinfo(list);
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
    in_addr addr{};
    addr.s_addr = ip;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    StaticString256_t out;
    if (withPort)
        out.Format("%.62s:%d", text, static_cast<int>(port));
    else
        out.Format("%.62s", text);
    return out;
}
} // namespace Morvex
