// Placeholder shared-string storage until interning lands.

#include "Core/SharedString.h"

namespace Morvex
{
void SharedStrings::Init() {}
void SharedStrings::Shutdown() {}
} // namespace Morvex
