#pragma once
// Profiler zones. The profiler is not built yet: zones compile to nothing, and the start-up and
// shutdown hooks the kernel calls are inert.

namespace Morvex
{
namespace Profiler
{
void Init();     // kernel post-initialisation: reads --profiler / --hostpc
void Shutdown(); // kernel shutdown
bool IsActive();
} // namespace Profiler
} // namespace Morvex

#define MX_PROFILE_ZONE(name) ((void)0)
