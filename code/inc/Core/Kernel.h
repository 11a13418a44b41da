#pragma once
// The kernel: the process-wide core object. It is constructed during static initialisation before
// any other initialiser of the engine allocates or declares console variables (and on first use,
// if something asks for it even earlier), post-initialised by the application object, shut down by
// it, and destroyed during static destruction after every other static object of the engine.

namespace Morvex
{
namespace Kernel
{
// Constructs the kernel if that has not happened yet; idempotent. Static initialisers and tests
// may call it to make sure the log system and the thread registry exist.
void EnsureConstructed();
bool IsConstructed();
// Called exactly once by the PlatformApplication constructor: registers console variables and
// commands, platform post-initialisation, profiler start, file system start.
void PostInit();
bool IsPostInited();
// Called exactly once by the PlatformApplication destructor: file system, task graph, command
// system, profiler.
void Shutdown();
} // namespace Kernel
} // namespace Morvex
