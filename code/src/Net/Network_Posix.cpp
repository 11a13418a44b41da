// The socket layer on Linux: BSD sockets and the C library's resolver. There is no start-up to do
// (Windows Sockets' start and stop have no equivalent), so the start-up only probes that a socket
// can be made.

#include "NetworkPlatform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Morvex
{
int32 NetPlatform::ProbeSocket()
{
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return errno != 0 ? errno : -1;
    ::close(probe);
    return 0;
}

const char* NetPlatform::ErrorText(int32 error)
{
    return std::strerror(error);
}

uint32 NetPlatform::NetworkToHostOrder(uint32 value)
{
    return ntohl(value);
}

bool NetPlatform::ParseIPv4(const char* text, uint32& address)
{
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    address = parsed.s_addr;
    return true;
}

bool NetPlatform::ResolveIPv4(const char* host, uint32* addresses, uint32 capacity, uint32& count,
                              int32& error)
{
    count = 0;
    addrinfo* list = nullptr;
    error = getaddrinfo(host, nullptr, nullptr, &list);
    if (error != 0)
        return false;
    for (addrinfo* ai = list; ai && count < capacity; ai = ai->ai_next)
    {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr)
            addresses[count++] = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
    }
    freeaddrinfo(list);
    return true;
}

void NetPlatform::FormatIPv4(uint32 address, char* text, uint32 size)
{
    in_addr addr{};
    addr.s_addr = address;
    if (size == 0 || inet_ntop(AF_INET, &addr, text, size) == nullptr)
    {
        if (size != 0)
            text[0] = 0;
    }
}
} // namespace Morvex
