#pragma once
// The application frame: RunApplication captures the command line, constructs the application
// object (which completes the kernel start-up), calls the callback, and tears everything down.

#include "Core/Types.h"

namespace Morvex
{
using ApplicationCallback = int32 (*)();

class PlatformApplication
{
public:
    // Records itself as the process-wide application, runs Kernel::PostInit, enables the memory
    // leak report and initialises the video adapter information.
    PlatformApplication();
    // Video adapter shutdown, then Kernel::Shutdown.
    virtual ~PlatformApplication();
    PlatformApplication(const PlatformApplication&) = delete;
    PlatformApplication& operator=(const PlatformApplication&) = delete;

    static PlatformApplication* Get();
};

// Linux has no window class, accessibility-key state or OLE to manage for a program without
// windows; the derived object keeps its place in the construction order and nothing else.
class LinuxApplication final : public PlatformApplication
{
public:
    LinuxApplication();
    ~LinuxApplication() override;
};

// argv as the process received it. Returns exactly the callback's result.
int32 RunApplication(int argc, const char* const* argv, ApplicationCallback callback);
} // namespace Morvex
