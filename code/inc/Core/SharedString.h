#pragma once
// Interned, reference-counted immutable strings.

namespace Morvex
{
namespace SharedStrings
{
// Kernel construction and destruction.
void Init();
void Shutdown();
} // namespace SharedStrings
} // namespace Morvex
