#pragma once
// The handlers of Test.FileReadingPerformanceBlocking and Test.FileReadingPerformanceAsync
// (defined with FileAsyncRead, declared as commands with the loader), and the loader's way to the
// synchronous reads' pool.

#include "Core/CmdSystem.h"

namespace Morvex
{
void FileReadingPerformanceBlocking(const CmdArgs& args);
void FileReadingPerformanceAsync(const CmdArgs& args);

// Gives the phony controls' pages back when none is alive (else reports the ones still held);
// called by the loader's shutdown. Any thread.
void ClearPhonyControlPool();
} // namespace Morvex
