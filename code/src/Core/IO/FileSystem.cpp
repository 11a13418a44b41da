// Placeholder bodies; search directories and lookups follow.
#include "Core/IO/FileSystem.h"

#include "Core/IO/AsyncLoader.h"
#include "Core/IO/Pak.h"

namespace Morvex
{
namespace
{
bool GFileSystemInitialized = false;
}

void InitFileSystem()
{
    Pak::Init();
    AsyncLoader::Init();
    GFileSystemInitialized = true;
}

void ShutdownFileSystem()
{
    GFileSystemInitialized = false;
    AsyncLoader::Shutdown();
    Pak::Shutdown();
}

bool IsFileSystemInitialized()
{
    return GFileSystemInitialized;
}

namespace FileSystem
{
int32 AddSearchDirectory(StrView)
{
    return -1;
}
void ClearSearchPaths()
{
}
bool FileExists(StrView)
{
    return false;
}
bool ReadFile(StrView, char*& data, uint32*, uint64*)
{
    data = nullptr;
    return false;
}
void FreeFileData(char*)
{
}
bool Open(File& out, StrView, EFileOpenMode)
{
    out.Close();
    return false;
}
bool OpenRaw(File& out, StrView, EFileOpenMode)
{
    out.Close();
    return false;
}
void FindFiles(std::vector<FilePath>&, StrView, uint32)
{
}
const char* FindWildcards(StrView text)
{
    return text.end();
}
FilePath MakeAbsolutePath(StrView directory)
{
    return FilePath(directory);
}
void ReportCriticalIOError()
{
}
} // namespace FileSystem
} // namespace Morvex
