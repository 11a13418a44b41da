// Inert until an adapter enumerator for Linux exists: the adapter and monitor lists stay empty.

#include "Core/VideoOutput/VideoOutput.h"

namespace Morvex
{
void VideoAdapter::Init()
{
}
void VideoAdapter::Shutdown()
{
}
} // namespace Morvex
