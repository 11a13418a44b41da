#pragma once
// NetAddress: an IPv4 address with host-name resolution.

#include "Core/StaticString.h"
#include "Core/Types.h"

namespace Morvex
{
struct NetAddress
{
    // Network byte order; the all-ones value after a failed SetHost.
    uint32 ip = 0;
    // Host byte order.
    uint16 port = 0;

    // Sets `ip` from a dotted quad (no resolver call) or from the first public IPv4 address the
    // system resolver gives for the name; without a public one, the best-ranked private one
    // (see RankPrivateAddress). Returns false when nothing parsed or resolved to IPv4; `port` is
    // never touched. Blocks for the resolution; callable from any thread.
    bool SetHost(const char* host);
    // "a.b.c.d" or "a.b.c.d:port".
    StaticString256_t ToString(bool withPort) const;

    // Rank of an address (network byte order) among private ones: -1 public, 0 loopback,
    // 1 link-local, 2 other private, 3 the preferred networks below.
    static int32 RankPrivateAddress(uint32 ipNetworkOrder);
    // Picks from IPv4 candidates in resolver order: the first public one, else the first of the
    // highest rank. Returns the index, or -1 for an empty list.
    static int32 ChooseAddress(const uint32* ipsNetworkOrder, uint32 count);
};
} // namespace Morvex
