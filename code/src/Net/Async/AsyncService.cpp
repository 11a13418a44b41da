// Inert until the event-loop service lands: polling finds no work.

#include "Net/Async/AsyncService.h"

namespace Morvex
{
void AsyncService::Init()
{
}
void AsyncService::Shutdown()
{
}
void AsyncService::Poll(uint32)
{
}
} // namespace Morvex
