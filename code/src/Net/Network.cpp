// Placeholder network start-up until the HTTP client lands.

#include "Net/Network.h"

#include "Net/Async/AsyncService.h"
#include "Net/CachingFileDownloader.h"

namespace Morvex
{
bool Net::Init()
{
    AsyncService::Init();
    CachingFileDownloader::Init();
    return true;
}

void Net::Shutdown()
{
    CachingFileDownloader::Shutdown();
    AsyncService::Shutdown();
}
} // namespace Morvex
