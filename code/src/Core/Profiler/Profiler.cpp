// Inert profiler hooks until the profiler lands; the kernel already calls them in their places.

#include "Core/Profiler/Profiler.h"

namespace Morvex
{
void Profiler::Init()
{
}
void Profiler::Shutdown()
{
}
bool Profiler::IsActive()
{
    return false;
}
} // namespace Morvex
