// Inert until the asynchronous loader lands: no threads, no requests.

#include "Core/IO/AsyncLoader.h"

namespace Morvex
{
void AsyncLoader::Init()
{
}
void AsyncLoader::Shutdown()
{
}
} // namespace Morvex
