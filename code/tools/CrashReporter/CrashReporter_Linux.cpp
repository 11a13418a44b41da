// The crash dialog on Linux.

#include "CrashReporter.h"

namespace Morvex
{
DialogResult ShowCrashDialog()
{
    // No dialog module yet: the dialog counts as failed to open and the main flow sends.
    return DialogResult::FailedToOpen;
}
} // namespace Morvex
