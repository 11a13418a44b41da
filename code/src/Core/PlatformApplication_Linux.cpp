#include "Core/PlatformApplication.h"

#include "Core/CommandLine.h"
#include "Core/Kernel.h"
#include "Core/Memory/Memory.h"
#include "Core/VideoOutput/VideoOutput.h"

namespace Morvex
{
namespace
{
PlatformApplication* GApplication = nullptr;
}

PlatformApplication::PlatformApplication()
{
    GApplication = this;
    Kernel::PostInit();
    // Only a process that ran as an application reports its leaks at exit.
    Memory::SetLeakCheck(true);
    VideoAdapter::Init();
}

PlatformApplication::~PlatformApplication()
{
    VideoAdapter::Shutdown();
    Kernel::Shutdown();
    GApplication = nullptr;
}

PlatformApplication* PlatformApplication::Get()
{
    return GApplication;
}

// The Windows frame registers a window class, saves and disables the accessibility shortcut keys
// and initialises OLE. None of these exist for a Linux process without windows, so the derived
// object only keeps its place between kernel post-initialisation and shutdown.
LinuxApplication::LinuxApplication() = default;
LinuxApplication::~LinuxApplication() = default;

int32 RunApplication(int argc, const char* const* argv, ApplicationCallback callback)
{
    Kernel::EnsureConstructed();
    CommandLine::SetTokens(argc, argv);
    int32 result;
    {
        LinuxApplication application;
        result = callback();
    }
    return result;
}
} // namespace Morvex
