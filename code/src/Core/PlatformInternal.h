#pragma once
// Hooks between the portable platform module and its per-system part. Not for other modules.

#include "Core/StaticString.h"

namespace Morvex
{
// Fills the OS facts, the local application data folder, the user name and the processor counts.
void Platform_PostInit_Native();
// Creates a new empty temporary file (mode 0600) and returns its path; empty when that fails.
// A new, empty file of mode 0600 made exclusively in the temporary folder (or, with
// inWorkingDirectory, as "morvextmp_XXXXXX.tmp" in the working directory); empty when it cannot be.
FilePath Platform_CreateTempFile(bool inWorkingDirectory);
} // namespace Morvex
