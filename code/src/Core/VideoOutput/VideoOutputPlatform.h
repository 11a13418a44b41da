#pragma once
// What the video-output module asks of the platform beside its enumerator.

namespace Morvex
{
enum class RenderDocLoad
{
    Loaded,
    NoLibrary, // the library is not installed
    NoEntry,   // it has no RENDERDOC_GetAPI
    Refused,   // it refused API 1.6.0
};

// Loads the frame-capture library by its system name and asks it for API 1.6.0. A loaded library
// stays loaded for the rest of the process, as a capture layer must.
RenderDocLoad Platform_LoadRenderDoc();
} // namespace Morvex
