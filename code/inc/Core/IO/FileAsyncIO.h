#pragma once
// FileAsyncRead: the engine's one entry for reading part or all of a file without blocking. The
// request goes to the asynchronous loader when that is initialised (it is served once the loader
// runs); it is read at once on the calling thread instead when it carries kSync, when the loader is
// not initialised, or when Client.DebugDisableAsyncReads is set. Both paths run the same callbacks
// in the same order.
//
// The console commands Test.FileReadingPerformanceBlocking and Test.FileReadingPerformanceAsync
// [folder] read every ".dds" and ".tfd" file below the folder (default "assets", found through the
// search directories; an absolute folder is walked directly) and log the throughput.

#include "Core/CVar.h"
#include "Core/IO/AsyncLoader.h"

namespace Morvex
{
// Any thread. Asserts "readRequest.filename" (and then does nothing). With `outControl` the caller
// receives a control with one reference of its own (give it up with DropRef): the loader's, or for
// a synchronous read a finished one whose status is kOk or kFailedToOpenFile. A synchronous read
// runs Allocate and both callbacks (as the flags allow) on the calling thread before returning; a
// buffer the read obtained itself is freed as soon as the callbacks return, and the control's
// request then no longer points at it.
void FileAsyncRead(const FileAsyncReadRequest& readRequest, FileAsyncControl** outControl);

// Phony controls not yet released (tests).
uint32 GetLivePhonyFileAsyncControlCount();

extern CVar Client_DebugDisableAsyncReads;
} // namespace Morvex
