#pragma once
// The Linux enumerator with its sources named, for tests that lay out a DRM tree of their own.

#include "Core/VideoOutput/VideoOutput.h"

namespace Morvex
{
// Adapters from `drmRoot` (laid out as /sys/class/drm), driver versions from `moduleRoot` (as
// /sys/module); monitors from the X server named by $DISPLAY when `askDisplay`, given up with a
// warning when the display has not answered within `displayTimeoutMs`. Null when a root is null.
std::unique_ptr<VideoEnumerator> CreateLinuxVideoEnumerator(const char* drmRoot, const char* moduleRoot,
                                                            bool askDisplay, uint32 displayTimeoutMs = 2000);
} // namespace Morvex
