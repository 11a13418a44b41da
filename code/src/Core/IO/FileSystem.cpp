// Placeholder file system start-up; search directories and lookups arrive with the file system.

#include "Core/IO/FileSystem.h"

#include "Core/IO/AsyncLoader.h"
#include "Core/IO/Pak.h"

namespace Morvex
{
void InitFileSystem()
{
    Pak::Init();
    AsyncLoader::Init();
}

void ShutdownFileSystem()
{
    AsyncLoader::Shutdown();
    Pak::Shutdown();
}
} // namespace Morvex
