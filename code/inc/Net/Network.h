#pragma once
// Network start-up: sockets, the HTTP client and the network services.

namespace Morvex
{
namespace Net
{
// Returns false when the network could not be started; later HTTP use then fails at once.
bool Init();
void Shutdown();
} // namespace Net
} // namespace Morvex
