#pragma once
// Localization: languages and string tables.

#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
namespace Localize
{
void Init();
void Shutdown();
} // namespace Localize
} // namespace Morvex
