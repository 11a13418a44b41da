// Linux side of the platform module. There is no timer resolution or COM to set up on Linux.

#include "Core/Platform.h"

namespace Morvex
{
void Platform_PreInit() {}
void Platform_Shutdown() {}
} // namespace Morvex
