#pragma once
// The search-path file system.

#include "Core/Types.h"

namespace Morvex
{
// Kernel post-initialisation and shutdown; each runs once.
void InitFileSystem();
void ShutdownFileSystem();
} // namespace Morvex
