#pragma once
// Network start-up: sockets, the HTTP client and the network services. Main thread only.

namespace Morvex
{
namespace Net
{
// Probes that a socket can be created, then starts the network services and the HTTP client.
// Returns false when no socket could be created: nothing is started, and later HTTP requests
// complete at once with ErrorCode::NETWORK. Asserts "GNetInit == false" when already started.
bool Init();
// Undoes Init; does nothing when Init did not succeed.
void Shutdown();
bool IsInitialized();
} // namespace Net
} // namespace Morvex
