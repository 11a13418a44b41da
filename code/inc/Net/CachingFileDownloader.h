#pragma once
// HTTP downloads cached on disk; started with the network.

namespace Morvex
{
namespace CachingFileDownloader
{
void Init();
void Shutdown();
} // namespace CachingFileDownloader
} // namespace Morvex
