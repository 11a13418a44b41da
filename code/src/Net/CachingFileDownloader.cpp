// Inert until the caching downloader lands.

#include "Net/CachingFileDownloader.h"

namespace Morvex
{
void CachingFileDownloader::Init()
{
}
void CachingFileDownloader::Shutdown()
{
}
} // namespace Morvex
