#include "Localize_Files.h"

#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Memory/Memory.h"

#include <algorithm>
#include <cstring>

namespace Morvex
{
void LocalizeFiles::ListTableFiles(const FilePath& folder, std::vector<FilePath>& out)
{
    if (folder.empty())
        return;
    std::vector<FilePath> found;
    if (Platform_IsAbsolutePath(folder))
    {
        // An absolute folder bypasses the search directories, as absolute file names do.
        Platform_FindFilesInDirectory(found, folder, "*.txt");
        std::sort(found.begin(), found.end(),
                  [](const FilePath& a, const FilePath& b) { return std::strcmp(a.c_str(), b.c_str()) < 0; });
    }
    else
    {
        FilePath pattern = folder;
        pattern.AppendPath("*.txt");
        FileSystem::FindFiles(found, pattern);
    }
    out.insert(out.end(), found.begin(), found.end());
}

bool LocalizeFiles::ReadTableFile(const char* path, char*& buffer, size_t& length)
{
    buffer = nullptr;
    length = 0;
    File file;
    if (path == nullptr || !FileSystem::Open(file, StrView(path), EFileOpenMode::kRead))
        return false;
    const uint64 size = file.GetSize();
    // Reads take 32-bit sizes and the buffer needs one byte more.
    if (size >= 0xFFFFFFFFull)
        return false;
    char* data = static_cast<char*>(Memory::Alloc(static_cast<size_t>(size) + 1, 1));
    const uint32 read = size ? file.Read(data, static_cast<uint32>(size)) : 0;
    if (read != size)
    {
        Memory::Free(data, static_cast<size_t>(size) + 1);
        return false;
    }
    data[size] = 0;
    buffer = data;
    length = static_cast<size_t>(size);
    return true;
}

bool LocalizeFiles::WriteWholeFile(const char* path, const void* data, size_t size)
{
    File file;
    if (!FileSystem::Open(file, StrView(path), EFileOpenMode::kWrite))
        return false;
    bool ok = size < 0xFFFFFFFFull &&
              file.WriteText(StrView(static_cast<const char*>(data), static_cast<uint32>(size)));
    return file.Close() && ok;
}
} // namespace Morvex
