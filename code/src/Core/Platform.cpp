// Application identity and start-up state of the platform module (portable part).

#include "Core/Platform.h"

#include "Core/Assert.h"

#include <cstring>

namespace Morvex
{
namespace
{
char GApplicationName[128] = "UNKNOWN_APPLICATION";
uint32 GApplicationKind = 0;
bool GPostInited = false;
} // namespace

void Platform_PostInit()
{
    MX_ASSERT(!GPostInited);
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
} // namespace Morvex
