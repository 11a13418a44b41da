#pragma once
// Platform services: application identity, start-up and shutdown hooks of the kernel, per-user
// folders and operating-system facts.
//
// Start-up, shutdown and the setters run on the main thread before other threads exist. The
// queries read state that no longer changes, except the user data folder (cached on first use)
// and the computer name (refreshed on each call); neither is locked.

#include "Core/StaticString.h"
#include "Core/String.h"
#include "Core/Types.h"

namespace Morvex
{
// Kernel construction (before main): timer resolution and per-thread services.
void Platform_PreInit();
// Kernel post-initialisation: asserts "!GPostInited", reads processor counts, folders, OS facts.
void Platform_PostInit();
bool Platform_IsPostInited();
// Kernel destruction.
void Platform_Shutdown();

// Keeps at most 127 bytes of name (null counts as empty). Set it before the first call of
// Platform_GetUserDataFolder, which caches a folder built from it.
void Platform_SetApplicationName(const char* name);
// "UNKNOWN_APPLICATION" until set.
const char* Platform_GetApplicationName();
void Platform_SetApplicationKind(uint32 kind);
uint32 Platform_GetApplicationKind();
// Kind 0: the network start-up shows its failure message only then; the HTTP client tests it too.
bool Platform_IsDefaultApplicationKind();
// Kinds 1 and 2: the network start-up does extra work for them.
bool Platform_IsApplicationKind1Or2();

// The local application data folder read at post-initialisation: $XDG_DATA_HOME when it is an
// absolute path, else $HOME/.local/share; no trailing '/'. Empty when neither can be resolved.
const FilePath& Platform_GetLocalAppDataFolder();
// Asserts "GPostInited". <local application data>/Morvex/<application name>, computed on first use
// and cached for the rest of the process (relative to the working directory when the local
// application data folder is empty). Does not create the folder.
const FilePath& Platform_GetUserDataFolder();

// The folder for temporary files: $TMPDIR when set, else /tmp.
FilePath Platform_GetTempFolder();

// A new, empty, uniquely named file of mode 0600 in the temporary folder whose name begins with
// "morvextmp"; the caller owns (and deletes) it. When it cannot be created there, the same is tried
// in the working directory ("morvextmp_XXXXXX.tmp"); every such file is created exclusively, never
// through a symbolic link. Empty when neither place takes one.
FilePath Platform_GetTempFileName();

// Roots of the Windows registry. Linux has no registry: every lookup answers false.
enum class RegistryRoot : uint32
{
    kLocalMachine,
    kCurrentUser,
};
// Asserts "subKey" and "valueName" (non-null). Returns false, leaving `out` untouched, when the
// value cannot be read.
bool GetRegistryValue(RegistryRoot root, const char16_t* subKey, const char16_t* valueName, String& out);

struct OSVersion
{
    uint32 major = 0;
    uint32 minor = 0;
    uint32 build = 0;
    // "<distribution name> (<kernel release>)", at most 127 bytes; what could not be read is left out.
    char description[128] = {};
};
const OSVersion& Platform_GetOSVersion();

// The host name, at most 255 bytes; rewritten on each call (not thread-safe).
const char* Platform_GetComputerName();
// The account name of the effective user; empty when it cannot be resolved.
const char* Platform_GetUserName();

// Counters read at post-initialisation; 0 when the system could not tell.
int32 Platform_GetCoreCount();
int32 Platform_GetLogicalProcessorCount();
int32 Platform_GetProcessorPackageCount();
int32 Platform_GetProcessorGroupCount();

uint32 Platform_GetProcessId();

// The build id the linker stamped into the running executable, in lower-case hex (at most 64 bytes);
// empty when it carries none. It tells two builds of the same version apart, and names the symbols
// that belong to a binary.
StaticString<132> Platform_GetBuildId();
} // namespace Morvex
