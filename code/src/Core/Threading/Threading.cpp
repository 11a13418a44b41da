// Placeholder thread registry; threads arrive with the threading module.

#include "Core/Threading/Threading.h"

namespace Morvex
{
void Threading::Init(const char*) {}
void Threading::Shutdown() {}
} // namespace Morvex
