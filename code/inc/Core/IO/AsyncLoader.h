#pragma once
// Asynchronous file loader; started with the file system and dormant in this program.

namespace Morvex
{
namespace AsyncLoader
{
void Init();
void Shutdown();
} // namespace AsyncLoader
} // namespace Morvex
