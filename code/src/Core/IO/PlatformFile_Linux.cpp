// Placeholder bodies; the listing and creation code follows.
#include "Core/IO/PlatformFile.h"

namespace Morvex
{
bool Platform_PathExists(StrView)
{
    return false;
}
FileInfo Platform_GetFileInfo(StrView)
{
    return FileInfo();
}
bool Platform_IsAbsolutePath(StrView path)
{
    return path.length() > 0 && path[0] == '/';
}
DirCreateResult Platform_CreateSingleDirectory(StrView)
{
    return DirCreateResult::Failed;
}
DirCreateResult Platform_CreateParentDirectories(StrView)
{
    return DirCreateResult::Failed;
}
DirCreateResult Platform_CreateDirectory(StrView)
{
    return DirCreateResult::Failed;
}
FilePath Platform_GetCurrentDirectory()
{
    return FilePath();
}
FilePath Platform_GetExecutablePath()
{
    return FilePath();
}
bool Platform_IterateDirectory(StrView, DirectoryVisitor&)
{
    return false;
}
bool Platform_IterateDirectory(StrView, DirectoryVisitFn, DirectorySkipFn)
{
    return false;
}
bool Platform_IterateDirectoryRecursively(StrView, DirectoryVisitor&)
{
    return false;
}
bool Platform_IterateDirectoryRecursively(StrView, DirectoryVisitFn, DirectorySkipFn)
{
    return false;
}
void Platform_FindFilesInDirectory(std::vector<FilePath>&, StrView, const char*)
{
}
} // namespace Morvex
