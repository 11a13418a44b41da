// Platform file services on Linux.
//
// Mapping: attributes come from statx (following symbolic links; a dangling link is described as
// the link itself), the creation time is the birth time where the file system records it, else
// the status-change time; "read-only" means no write permission bit is set. Listings use
// opendir/readdir with one statx per entry, because d_type may be unknown. Directories reached
// through a symbolic link are reported but never descended into, so a link to an ancestor cannot
// make a recursive listing endless.

#include "Core/IO/PlatformFile.h"
#include "FileStamp_Linux.h"

#include "Core/Assert.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Str.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
// A NUL-terminated copy with '/' as the only separator. A text longer than a path is refused
// (empty): cut, it would name another file.
FilePath ToSystemPath(StrView path)
{
    return FilePath::Normalized(path);
}

DateTime ToDateTime(const statx_timestamp& ts)
{
    return TimeToUtcDateTime(static_cast<int64>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

void FillInfo(const struct statx& st, FileInfo& info)
{
    info = FileInfo();
    bool isDirectory = S_ISDIR(st.stx_mode);
    info.isDirectory = isDirectory ? 1 : 0;
    info.isReadOnly = (st.stx_mode & 0222) == 0 ? 1 : 0;
    info.exists = 1;
    info.size = isDirectory ? 0 : st.stx_size;
    info.creationTime = ToDateTime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime);
    info.lastAccessTime = ToDateTime(st.stx_atime);
    info.lastWriteTime = ToDateTime(st.stx_mtime);
}

// Describes `name` relative to `dirFd`; isLink tells whether the name itself is a symbolic link.
bool QueryInfo(int dirFd, const char* name, FileInfo& info, bool& isLink)
{
    struct statx st
    {
    };
    const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW, mask, &st) != 0)
        return false;
    isLink = S_ISLNK(st.stx_mode);
    if (isLink)
    {
        struct statx target
        {
        };
        if (statx(dirFd, name, 0, mask, &target) == 0)
            st = target;
    }
    FillInfo(st, info);
    return true;
}

// Entry callback of the shared listing; `isLink` marks entries reached through a symbolic link.
template <typename Fn>
bool ListDirectory(StrView dirView, Fn&& onEntry)
{
    FilePath dir = ToSystemPath(dirView);
    if (dir.empty() && !dirView.empty())
        return false;
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* d = fdopendir(fd);
    if (!d)
    {
        ::close(fd);
        return false;
    }
    while (true)
    {
        errno = 0;
        dirent* e = readdir(d);
        if (!e)
            break;
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        DirEntry entry;
        bool isLink = false;
        // An entry removed between readdir and statx is simply not reported.
        if (!QueryInfo(dirfd(d), name, entry.info, isLink))
            continue;
        entry.path = dir;
        // An entry whose full path would not fit a path cannot be named: it is left out.
        if (!entry.path.TryAppendPath(name))
            continue;
        if (!onEntry(dir, entry, isLink))
            break;
    }
    closedir(d);
    return true;
}

bool IterateRecursively(StrView dir, DirectoryVisitor& visitor)
{
    return ListDirectory(dir,
                         [&visitor](const FilePath& directory, const DirEntry& entry, bool isLink)
                         {
                             if (!visitor.Visit(directory, entry))
                                 return false;
                             if (!entry.info.isDirectory || isLink)
                                 return true;
                             if (visitor.SkipDirectory(entry))
                                 return true;
                             // A subdirectory that cannot be opened is left out; the parent's listing goes
                             // on.
                             IterateRecursively(entry.path, visitor);
                             return true;
                         });
}

class CallableVisitor final : public DirectoryVisitor
{
public:
    CallableVisitor(DirectoryVisitFn& visit, DirectorySkipFn& skip) : m_visit(visit), m_skip(skip) {}
    bool Visit(const FilePath& directory, const DirEntry& entry) override
    {
        return m_visit ? m_visit(directory, entry) : true;
    }
    bool SkipDirectory(const DirEntry& entry) override { return m_skip ? m_skip(entry) : false; }

private:
    DirectoryVisitFn& m_visit;
    DirectorySkipFn& m_skip;
};
} // namespace

bool Platform_PathExists(StrView path)
{
    FilePath p = ToSystemPath(path);
    struct stat st
    {
    };
    return !p.empty() && ::stat(p.c_str(), &st) == 0;
}

FileInfo Platform_GetFileInfo(StrView path)
{
    FileInfo info;
    FilePath p = ToSystemPath(path);
    bool isLink = false;
    if (p.empty() || !QueryInfo(AT_FDCWD, p.c_str(), info, isLink))
        return FileInfo();
    return info;
}

bool Platform_IsAbsolutePath(StrView path)
{
    if (path.length() >= 1 && FilePath::IsSeparator(path[0]))
        return true;
    return path.length() > 2 && path[1] == ':' && FilePath::IsSeparator(path[2]);
}

DirCreateResult Platform_CreateSingleDirectory(StrView path, uint32 mode)
{
    FilePath p = ToSystemPath(path);
    if (p.empty())
        return DirCreateResult::Failed;
    if (::mkdir(p.c_str(), static_cast<mode_t>(mode)) == 0)
        return DirCreateResult::Ok;
    return errno == EEXIST ? DirCreateResult::AlreadyExists : DirCreateResult::Failed;
}

DirCreateResult Platform_CreateParentDirectories(StrView path, uint32 mode)
{
    const uint32 length = path.length();
    // Refused before anything is made: no directory of a path that cannot be used is left behind.
    if (length > FilePath::kCapacity)
        return DirCreateResult::PathTooLong;
    uint32 start = 0;
    if (length >= 1 && path[0] == '/' && !(length >= 2 && path[1] == '/'))
        start = 1;
    if (length >= 3 && path[1] == ':' && FilePath::IsSeparator(path[2]))
        start += 3;
    if (length >= 2 && ((path[0] == '/' && path[1] == '/') || (path[0] == '\\' && path[1] == '\\')))
    {
        // Network form: "//server/" is a root that is never created.
        start += 2;
        while (start < length && !FilePath::IsSeparator(path[start]))
            ++start;
        if (start < length)
            ++start;
        if (start >= FilePath::kCapacity)
            return DirCreateResult::PathTooLong;
    }
    if (start > length)
        start = length;

    char buffer[FilePath::kCapacity + 1];
    std::memcpy(buffer, path.data(), start);
    uint32 pos = start;
    for (uint32 i = start; i < length; ++i)
    {
        if (pos >= FilePath::kCapacity)
            return DirCreateResult::PathTooLong;
        char c = path[i];
        if (FilePath::IsSeparator(c))
        {
            buffer[pos] = 0;
            if (pos > 0)
            {
                FileInfo info = Platform_GetFileInfo(StrView(buffer, pos));
                if (info.exists && !info.isDirectory)
                    return DirCreateResult::Failed;
                if (!info.exists &&
                    Platform_CreateSingleDirectory(StrView(buffer, pos), mode) == DirCreateResult::Failed)
                    return DirCreateResult::Failed;
            }
            c = '/';
        }
        buffer[pos++] = c;
    }
    return DirCreateResult::Ok;
}

DirCreateResult Platform_CreateDirectory(StrView dirView, uint32 mode)
{
    FilePath path;
    if (!path.TryAssign(dirView))
        return DirCreateResult::PathTooLong;
    const char* dir = path.c_str();
    MX_ASSERT(!Str::Empty(dir));
    if (Str::Empty(dir))
        return DirCreateResult::Failed;
    const DirCreateResult parents = Platform_CreateParentDirectories(path, mode);
    if (parents != DirCreateResult::Ok)
        return parents;
    return Platform_CreateSingleDirectory(path, mode);
}

FileIdentity Platform_GetFileIdentity(StrView path)
{
    FilePath p = ToSystemPath(path);
    struct stat st
    {
    };
    FileIdentity identity;
    if (p.empty() || ::stat(p.c_str(), &st) != 0)
        return identity;
    identity.device = static_cast<uint64>(st.st_dev);
    identity.inode = static_cast<uint64>(st.st_ino);
    identity.valid = true;
    return identity;
}

FileStamp Platform_GetFileStamp(StrView path)
{
    FilePath p = ToSystemPath(path);
    struct stat st
    {
    };
    if (p.empty() || ::stat(p.c_str(), &st) != 0)
        return FileStamp();
    return StampOf(st);
}

PathKind Platform_GetPathKind(StrView path)
{
    FilePath p = ToSystemPath(path);
    struct stat st
    {
    };
    if (p.empty() || ::lstat(p.c_str(), &st) != 0)
        return PathKind::Missing;
    if (S_ISREG(st.st_mode))
        return PathKind::Regular;
    if (S_ISDIR(st.st_mode))
        return PathKind::Directory;
    if (S_ISLNK(st.st_mode))
        return PathKind::SymbolicLink;
    return PathKind::Other;
}

FilePath Platform_ResolvePath(StrView path)
{
    FilePath p = ToSystemPath(path);
    char resolved[PATH_MAX];
    if (p.empty() || ::realpath(p.c_str(), resolved) == nullptr)
        return FilePath();
    FilePath out;
    out.TryAssign(StrView(resolved));
    return out;
}

bool Platform_RenameFile(StrView from, StrView to)
{
    const FilePath a = ToSystemPath(from);
    const FilePath b = ToSystemPath(to);
    return !a.empty() && !b.empty() && ::rename(a.c_str(), b.c_str()) == 0;
}

namespace
{
// Removes what a directory descriptor holds, then the entry `name` of `parentFd` itself. Links are
// unlinked, never followed; a subdirectory is opened with O_NOFOLLOW so that it cannot be swapped
// for a link to somewhere else.
bool RemoveTreeAt(int parentFd, const char* name)
{
    int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    DIR* d = fdopendir(fd);
    if (!d)
    {
        ::close(fd);
        return false;
    }
    bool ok = true;
    while (dirent* e = readdir(d))
    {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        struct stat st
        {
        };
        if (::fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode))
            ok = RemoveTreeAt(dirfd(d), e->d_name) && ok;
        else
            ok = ::unlinkat(dirfd(d), e->d_name, 0) == 0 && ok;
    }
    closedir(d);
    return ::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 && ok;
}
} // namespace

bool Platform_RemoveDirectoryTree(StrView dir)
{
    const FilePath p = ToSystemPath(dir);
    if (p.empty())
        return false;
    return RemoveTreeAt(AT_FDCWD, p.c_str());
}

int64 Platform_LockFile(StrView path, bool wait)
{
    const FilePath p = ToSystemPath(path);
    if (p.empty())
        return kLockFailed;
    int fd;
    do
        fd = ::open(p.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    // flock needs no write access: a lock file left by another user (or in a folder now read-only)
    // still serves as one.
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
    {
        do
            fd = ::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
    }
    if (fd < 0)
        return kLockFailed;
    // flock belongs to the open file description: it goes with the descriptor, also when the
    // process is killed, so a dead holder never blocks the next reporter.
    int rc;
    do
        rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (rc != 0 && errno == EINTR);
    if (rc != 0)
    {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? kLockBusy : kLockFailed;
    }
    return fd;
}

CopyDataResult Platform_CopyFileData(int64 fromHandle, int64 toHandle, uint64 size, uint64& copied)
{
    copied = 0;
    const int from = static_cast<int>(fromHandle);
    const int to = static_cast<int>(toHandle);
    if (from < 0 || to < 0)
        return CopyDataResult::Failed;
    while (copied < size)
    {
        const uint64 left = size - copied;
        const size_t piece = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
        const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, piece, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            // Kernels and file systems without the call (or without it between these two files)
            // say so at once; anything later is a real error.
            if (copied == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                                errno == EBADF || errno == EPERM || errno == ETXTBSY))
                return CopyDataResult::Unsupported;
            return CopyDataResult::Failed;
        }
        if (n == 0)
            // Some file systems (proc, sys) answer 0 for what they cannot copy: only a source that
            // already gave bytes has really ended.
            return copied == 0 ? CopyDataResult::Unsupported : CopyDataResult::SourceShort;
        copied += static_cast<uint64>(n);
    }
    return CopyDataResult::Copied;
}

bool Platform_SyncDirectory(StrView dir)
{
    const FilePath p = ToSystemPath(dir);
    if (p.empty())
        return false;
    int fd;
    do
        fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    int rc;
    do
        rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    ::close(fd);
    return rc == 0;
}

void Platform_UnlockFile(int64 handle)
{
    if (handle >= 0)
        ::close(static_cast<int>(handle));
}

bool Platform_DeleteFile(StrView path)
{
    FilePath p = ToSystemPath(path);
    struct stat st
    {
    };
    if (p.empty() || ::lstat(p.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
        return false;
    return ::unlink(p.c_str()) == 0;
}

FilePath Platform_GetCurrentDirectory()
{
    char buffer[PATH_MAX];
    // A working directory longer than a FilePath cannot be named honestly: answer empty.
    if (!::getcwd(buffer, sizeof(buffer)) || std::strlen(buffer) > FilePath::kCapacity)
        return FilePath();
    return FilePath(buffer);
}

FilePath Platform_GetExecutableFolder()
{
    const FilePath path = Platform_GetExecutablePath();
    return FilePath(path.Directory());
}

FilePath Platform_GetExecutablePath()
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0 || static_cast<size_t>(n) > FilePath::kCapacity)
        return FilePath();
    return FilePath(StrView(buffer, static_cast<uint32>(n)));
}

bool Platform_IterateDirectory(StrView dir, DirectoryVisitor& visitor)
{
    return ListDirectory(dir, [&visitor](const FilePath& directory, const DirEntry& entry, bool)
                         { return visitor.Visit(directory, entry); });
}

bool Platform_IterateDirectory(StrView dir, DirectoryVisitFn visit, DirectorySkipFn skip)
{
    CallableVisitor visitor(visit, skip);
    return Platform_IterateDirectory(dir, visitor);
}

bool Platform_IterateDirectoryRecursively(StrView dir, DirectoryVisitor& visitor)
{
    MX_PROFILE_ZONE("Platform_IterateDirectoryRecursively");
    return IterateRecursively(dir, visitor);
}

bool Platform_IterateDirectoryRecursively(StrView dir, DirectoryVisitFn visit, DirectorySkipFn skip)
{
    CallableVisitor visitor(visit, skip);
    return Platform_IterateDirectoryRecursively(dir, visitor);
}

void Platform_FindFilesInDirectory(std::vector<FilePath>& files, StrView dir, const char* pattern)
{
    Platform_IterateDirectory(dir,
                              [&files, pattern](const FilePath&, const DirEntry& entry)
                              {
                                  if (entry.info.isDirectory)
                                      return true;
                                  FilePath name(entry.path.FileName());
                                  if (pattern == nullptr || Str::WildcardMatch(name.c_str(), pattern))
                                      files.push_back(entry.path);
                                  return true;
                              });
}
} // namespace Morvex
