// Placeholder localization until string tables land.

#include "Core/Utils/Localize.h"

namespace Morvex
{
void Localize::Init() {}
void Localize::Shutdown() {}
} // namespace Morvex
