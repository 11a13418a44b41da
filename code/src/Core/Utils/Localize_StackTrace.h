#pragma once
// The caller's stack as text, for reports of unknown localization keys.

#include "Core/StaticString.h"
#include "Core/Types.h"

namespace Morvex
{
namespace LocalizeStackTrace
{
// Appends at most `maxFrames` (capped at 16) frames of the calling thread's stack to `out`, one
// per line as "  <folder>/<file>(<line>): <function>\n", leaving out the localization module's own
// frames and frames without a function name. Any thread.
void FormatCallerStack(uint32 maxFrames, StaticString2048_t& out);
} // namespace LocalizeStackTrace
} // namespace Morvex
