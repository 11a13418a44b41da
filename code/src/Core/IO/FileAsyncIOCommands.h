#pragma once
// The handlers of Test.FileReadingPerformanceBlocking and Test.FileReadingPerformanceAsync
// (defined with FileAsyncRead, declared as commands with the loader).

#include "Core/CmdSystem.h"

namespace Morvex
{
void FileReadingPerformanceBlocking(const CmdArgs& args);
void FileReadingPerformanceAsync(const CmdArgs& args);
} // namespace Morvex
