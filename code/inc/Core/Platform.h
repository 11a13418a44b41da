#pragma once
// Platform services: application identity, start-up and shutdown hooks of the kernel, per-user
// folders and operating-system facts.

#include "Core/StaticString.h"
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

void Platform_SetApplicationName(const char* name);
const char* Platform_GetApplicationName();
void Platform_SetApplicationKind(uint32 kind);
uint32 Platform_GetApplicationKind();
} // namespace Morvex
