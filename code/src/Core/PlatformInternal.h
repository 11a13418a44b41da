#pragma once
// Hooks between the portable platform module and its per-system part. Not for other modules.

#include "Core/StaticString.h"

namespace Morvex
{
// Fills the OS facts, the local application data folder, the user name and the processor counts.
void Platform_PostInit_Native();
// Creates a new empty temporary file (mode 0600) and returns its path; empty when that fails.
FilePath Platform_CreateTempFile();
} // namespace Morvex
