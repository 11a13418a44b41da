#pragma once
// The socket layer under the network start-up and addresses, one implementation per platform.
// Addresses are IPv4 in network byte order. Any thread; nothing is kept between calls.

#include "Core/Types.h"

namespace Morvex
{
namespace NetPlatform
{
// 0 when a socket can be created, else the system's error number.
int32 ProbeSocket();
// The system's description of an error number.
const char* ErrorText(int32 error);
uint32 NetworkToHostOrder(uint32 value);
// A dotted IPv4 text; false for anything else (names included).
bool ParseIPv4(const char* text, uint32& address);
// Resolves a host name to its IPv4 addresses in the resolver's order, at most `capacity` of them.
// False with the resolver's error code in `error` when the name does not resolve.
bool ResolveIPv4(const char* host, uint32* addresses, uint32 capacity, uint32& count, int32& error);
// The dotted form of an address into `text` (at least 16 bytes).
void FormatIPv4(uint32 address, char* text, uint32 size);
} // namespace NetPlatform
} // namespace Morvex
