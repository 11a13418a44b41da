#pragma once
// Graphics adapters and monitors. Linux has no DXGI; the lists stay empty until an enumerator for
// this platform exists.

namespace Morvex
{
namespace VideoAdapter
{
void Init();
void Shutdown();
} // namespace VideoAdapter
} // namespace Morvex
