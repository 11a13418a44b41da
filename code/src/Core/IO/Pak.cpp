// Inert until pak archives land: no decompression context yet.

#include "Core/IO/Pak.h"

namespace Morvex
{
void Pak::Init()
{
}
void Pak::Shutdown()
{
}
} // namespace Morvex
