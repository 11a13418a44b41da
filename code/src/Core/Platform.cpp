// Application identity, start-up state and the per-user data folder (portable part).

#include "Core/Platform.h"

#include "Core/Assert.h"
#include "PlatformInternal.h"

#include <cstdlib>
#include <cstring>

namespace Morvex
{
namespace
{
char GApplicationName[128] = "UNKNOWN_APPLICATION";
uint32 GApplicationKind = 0;
bool GPostInited = false;
FilePath GUserDataFolder;
} // namespace

void Platform_PostInit()
{
    MX_ASSERT(!GPostInited);
    if (GPostInited)
        return;
    Platform_PostInit_Native();
    GPostInited = true;
}

bool Platform_IsPostInited()
{
    return GPostInited;
}

void Platform_SetApplicationName(const char* name)
{
    std::strncpy(GApplicationName, name ? name : "", sizeof(GApplicationName) - 1);
    GApplicationName[sizeof(GApplicationName) - 1] = 0;
}

const char* Platform_GetApplicationName()
{
    return GApplicationName;
}

void Platform_SetApplicationKind(uint32 kind)
{
    GApplicationKind = kind;
}

uint32 Platform_GetApplicationKind()
{
    return GApplicationKind;
}

bool Platform_IsDefaultApplicationKind()
{
    return GApplicationKind == 0;
}

bool Platform_IsApplicationKind1Or2()
{
    return GApplicationKind == 1 || GApplicationKind == 2;
}

const FilePath& Platform_GetUserDataFolder()
{
    MX_ASSERT(GPostInited);
    if (GUserDataFolder.empty())
    {
        GUserDataFolder = Platform_GetLocalAppDataFolder();
        GUserDataFolder.AppendPath("Morvex");
        GUserDataFolder.AppendPath(GApplicationName);
    }
    return GUserDataFolder;
}

FilePath Platform_GetTempFileName()
{
    FilePath path = Platform_CreateTempFile(false);
    if (!path.empty())
        return path;
    // No writable temporary folder: a file in the working directory, made the same safe way. A
    // predictable name made later by whoever opens it could be a link planted by someone else.
    return Platform_CreateTempFile(true);
}
} // namespace Morvex
