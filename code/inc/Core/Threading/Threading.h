#pragma once
// The thread registry.

#include "Core/Types.h"

namespace Morvex
{
namespace Threading
{
// Kernel construction: creates the registry and registers the calling thread under `mainThreadName`.
void Init(const char* mainThreadName);
// Kernel destruction.
void Shutdown();
} // namespace Threading
} // namespace Morvex
