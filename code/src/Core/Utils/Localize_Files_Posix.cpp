#include "Localize_Files.h"

#include "Core/Memory/Memory.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
// Relative table names are looked up beside the executable, the place the reporter ships its
// tables and the one data directory it adds to the file system's search list.
const FilePath& ExecutableDirectory()
{
    static const FilePath directory = []
    {
        FilePath result;
        char path[4096];
        ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof(path) - 1)
            return result;
        path[n] = 0;
        char* slash = std::strrchr(path, '/');
        if (slash == nullptr)
            return result;
        *(slash == path ? slash + 1 : slash) = 0;
        result.Assign(path);
        return result;
    }();
    return directory;
}

bool IsAbsolute(const char* path)
{
    // '/' (and with it "//"), a drive letter and a backslash root all count as absolute.
    if (path[0] == '/' || path[0] == '\\')
        return true;
    return ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')) && path[1] == ':';
}

FilePath Normalise(StrView path)
{
    FilePath result(path);
    for (uint32 i = 0; i < result.length(); ++i)
        if (result.data()[i] == '\\')
            result.data()[i] = '/';
    return result;
}

int OpenForRead(const char* path)
{
    int fd;
    do
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

int OpenFound(const char* path)
{
    FilePath name = Normalise(StrView(path));
    if (name.empty())
        return -1;
    if (IsAbsolute(name.c_str()))
        return OpenForRead(name.c_str());
    if (ExecutableDirectory().empty())
        return -1;
    FilePath candidate = ExecutableDirectory();
    candidate.AppendPath(name);
    return OpenForRead(candidate.c_str());
}

void ListDirectory(const FilePath& directory, const FilePath& prefix, std::vector<FilePath>& out)
{
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr)
        return;
    while (dirent* entry = ::readdir(dir))
    {
        if (::fnmatch("*.txt", entry->d_name, 0) != 0)
            continue;
        FilePath full = directory;
        full.AppendPath(StrView(entry->d_name));
        struct stat st;
        if (::stat(full.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        FilePath name = prefix;
        name.AppendPath(StrView(entry->d_name));
        out.push_back(name);
    }
    ::closedir(dir);
}
} // namespace

void LocalizeFiles::ListTableFiles(const FilePath& folder, std::vector<FilePath>& out)
{
    FilePath relative = Normalise(folder);
    if (relative.empty())
        return;
    std::vector<FilePath> found;
    if (IsAbsolute(relative.c_str()))
        ListDirectory(relative, relative, found);
    else if (!ExecutableDirectory().empty())
    {
        FilePath full = ExecutableDirectory();
        full.AppendPath(relative);
        ListDirectory(full, relative, found);
    }
    auto less = [](const FilePath& a, const FilePath& b) { return std::strcmp(a.c_str(), b.c_str()) < 0; };
    std::sort(found.begin(), found.end(), less);
    found.erase(std::unique(found.begin(), found.end(),
                            [](const FilePath& a, const FilePath& b) { return a.view() == b.view(); }),
                found.end());
    out.insert(out.end(), found.begin(), found.end());
}

bool LocalizeFiles::ReadTableFile(const char* path, char*& buffer, size_t& length)
{
    buffer = nullptr;
    length = 0;
    if (path == nullptr)
        return false;
    int fd = OpenFound(path);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
    {
        ::close(fd);
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    char* data = static_cast<char*>(Memory::Alloc(size + 1, 1));
    size_t done = 0;
    while (done < size)
    {
        ssize_t n = ::read(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (done != size)
    {
        Memory::Free(data, size + 1);
        return false;
    }
    data[size] = 0;
    buffer = data;
    length = size;
    return true;
}

bool LocalizeFiles::WriteWholeFile(const char* path, const void* data, size_t size)
{
    int fd;
    do
        fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size)
    {
        ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == size;
    if (::close(fd) != 0)
        ok = false;
    return ok;
}
} // namespace Morvex
