#pragma once
// The event-loop network service; runs only while a thread polls it.

#include "Core/Types.h"

namespace Morvex
{
namespace AsyncService
{
void Init();
void Shutdown();
// Runs ready work for at most timeoutMs milliseconds (0: only what is ready now).
void Poll(uint32 timeoutMs);
} // namespace AsyncService
} // namespace Morvex
