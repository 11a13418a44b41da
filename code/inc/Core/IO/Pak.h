#pragma once
// Pak archives and their block decompression; started with the file system.

namespace Morvex
{
namespace Pak
{
void Init();
void Shutdown();
} // namespace Pak
} // namespace Morvex
