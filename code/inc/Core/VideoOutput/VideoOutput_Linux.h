#pragma once
// The Linux enumerator with its sources named, for tests that lay out a DRM tree of their own.

#include "Core/VideoOutput/VideoOutput.h"

namespace Morvex
{
// Adapters from `drmRoot` (laid out as /sys/class/drm), driver versions from `moduleRoot` (as
// /sys/module); monitors from the X server named by $DISPLAY when `askDisplay`. Null when a root is
// null.
std::unique_ptr<VideoEnumerator> CreateLinuxVideoEnumerator(const char* drmRoot, const char* moduleRoot,
                                                            bool askDisplay);
} // namespace Morvex
