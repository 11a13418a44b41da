#pragma once
// Platform file services: existence, size, times and attributes of paths, directory creation,
// directory listings with a visitor, and the process's working directory and executable path.
//
// Paths are UTF-8 with '/' as separator; '\\' is accepted as a separator on input, and every path
// these functions build or return uses '/'. A path longer than a FilePath holds is refused (the
// call fails), never cut into the name of another file; a listed entry whose path would not fit is
// left out.
// Nothing here keeps state, takes a lock or logs: failures show only in the results. Any thread
// may call these functions; visitors run synchronously on the calling thread.

#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/Timing/PlatformTime.h"
#include "Core/Types.h"

#include <functional>
#include <vector>

namespace Morvex
{
// The description of one path. All zeros (exists false) when the path cannot be queried. Times
// are in UTC. On Linux the creation time is the birth time where the file system records it,
// else the status-change time.
struct FileInfo
{
    uint64 size = 0; // always 0 for a directory
    DateTime creationTime;
    DateTime lastAccessTime;
    DateTime lastWriteTime;
    uint8 isDirectory : 1 = 0;
    uint8 isReadOnly : 1 = 0; // no write permission bit set at all
    uint8 exists : 1 = 0;
};

// One entry of a listing: the listed directory, a '/' and the entry's name, then its description.
struct DirEntry
{
    FilePath path;
    FileInfo info;
};

enum class DirCreateResult : uint32
{
    Ok = 0,
    Failed = 1,
    AlreadyExists = 2,
    PathTooLong = 3,
};

// Receives the entries of a listing. Not owned by the listing; must outlive the call.
class DirectoryVisitor
{
public:
    // `directory` is the directory being listed, as passed in with '\\' turned into '/'. Return
    // false to stop listing this directory.
    virtual bool Visit(const FilePath& directory, const DirEntry& entry) = 0;
    // Asked only by the recursive listing, for a directory entry whose Visit returned true: true
    // means the listing does not descend into it.
    virtual bool SkipDirectory(const DirEntry& entry) = 0;

protected:
    ~DirectoryVisitor() = default;
};

using DirectoryVisitFn = std::function<bool(const FilePath& directory, const DirEntry& entry)>;
using DirectorySkipFn = std::function<bool(const DirEntry& entry)>;

// True when the system reports anything (file, directory, other) at the path.
bool Platform_PathExists(StrView path);
FileInfo Platform_GetFileInfo(StrView path);

// True for a path beginning with '/' (or '\\'), and, so that paths written for Windows keep
// their meaning, for the drive form ("C:/x", "c:\\x") longer than 2 bytes. "C:", "C:x" and
// "x/y" are relative.
bool Platform_IsAbsolutePath(StrView path);

// Directories are created with `mode` (before the process's umask); 0700 keeps a folder private to
// its owner. Existing directories keep theirs.
constexpr uint32 kDirModeDefault = 0777;
constexpr uint32 kDirModePrivate = 0700;

// One directory creation: Ok, AlreadyExists when something of that name exists already, Failed
// otherwise. Creating is exclusive: Ok means this call made the directory.
DirCreateResult Platform_CreateSingleDirectory(StrView path, uint32 mode = kDirModeDefault);
// Creates every missing directory along the path up to its last separator; the last component is
// taken as a file name and not created. Ok, Failed (a component exists and is not a directory, or
// could not be made) or PathTooLong (a path's capacity reached before the end of the path).
DirCreateResult Platform_CreateParentDirectories(StrView path, uint32 mode = kDirModeDefault);
// Asserts "!Str::Empty(dir)" (and then answers Failed). Creates the parents, then the directory
// itself: Ok, AlreadyExists for an existing directory, Failed, PathTooLong.
DirCreateResult Platform_CreateDirectory(StrView dir, uint32 mode = kDirModeDefault);

// Which file a path or an open file is: equal identities are the same file, whatever the names.
struct FileIdentity
{
    uint64 device = 0;
    uint64 inode = 0;
    bool valid = false;
    bool operator==(const FileIdentity& other) const = default;
};
// The identity of the file a path names (symbolic links followed); not valid when it cannot be
// told.
FileIdentity Platform_GetFileIdentity(StrView path);

// A file's identity together with its size and its modification and status-change times: any write,
// truncation, rename over it or change of its metadata gives another stamp (within the system's
// time resolution). Not valid when the file cannot be queried.
struct FileStamp
{
    FileIdentity identity;
    uint64 size = 0;
    int64 modifiedNs = 0;
    int64 changedNs = 0;
    bool operator==(const FileStamp& other) const = default;
};
// The stamp of the file a path names (symbolic links followed).
FileStamp Platform_GetFileStamp(StrView path);

// What is at a path itself; a symbolic link is reported as one, not followed.
enum class PathKind : uint32
{
    Missing = 0,
    Regular = 1,
    Directory = 2,
    SymbolicLink = 3,
    Other = 4, // a device, a pipe, a socket
};
PathKind Platform_GetPathKind(StrView path);

// The canonical absolute form of an existing path: every symbolic link followed, "." and ".."
// resolved, '/' only. Empty when the path does not exist or cannot be resolved.
FilePath Platform_ResolvePath(StrView path);

// Renames `from` to `to`, replacing a file of that name in one step (the rename is atomic: a reader
// sees the old file or the new one). False when it cannot be done.
bool Platform_RenameFile(StrView from, StrView to);

// Writes a directory's entries to disk (after a rename or a file made in it), so that they survive
// the machine being switched off. False when it cannot be done.
bool Platform_SyncDirectory(StrView dir);

// Copies `size` bytes from the current position of one open file to the current position of another
// inside the system (a reflink or an in-kernel copy where the file systems allow), advancing both;
// `copied` tells how many bytes went. Unsupported (nothing copied) when the system cannot do it for
// these two files: the caller copies through memory instead. SourceShort when the source ended
// first; Failed on an error (a full disk, a failing device).
enum class CopyDataResult
{
    Copied,
    Unsupported,
    SourceShort,
    Failed,
};
CopyDataResult Platform_CopyFileData(int64 fromHandle, int64 toHandle, uint64 size, uint64& copied);

// Removes a directory and everything below it. Symbolic links inside are removed, never followed;
// nothing outside the directory is touched. False when anything could not be removed.
bool Platform_RemoveDirectoryTree(StrView dir);

// An advisory lock on a file (created when missing, mode 0600), held until Platform_UnlockFile or
// until the process ends, however it ends: a lock of a process that died never blocks. With wait
// false, a lock another process holds is not waited for. Returns a handle (>= 0), kLockBusy when
// another process holds the lock, or kLockFailed when the file cannot be opened or locked at all
// (a folder without rights, a path that is not a file); a lock file this process may only read is
// still locked.
constexpr int64 kLockBusy = -1;
constexpr int64 kLockFailed = -2;
int64 Platform_LockFile(StrView path, bool wait);
void Platform_UnlockFile(int64 handle);

// Removes a regular file (or a symbolic link). Refuses directories and devices; false when nothing
// was removed.
bool Platform_DeleteFile(StrView path);

// Empty when the system cannot tell (or the path does not fit in 260 bytes).
FilePath Platform_GetCurrentDirectory();
FilePath Platform_GetExecutablePath();
// The folder of the executable (without a trailing '/', "/" for the root); empty when unknown.
FilePath Platform_GetExecutableFolder();

// Lists one directory, never reporting "." and "..". Returns false when the directory cannot be
// opened (the visitor is then never called), true otherwise, also when the visitor stopped early.
bool Platform_IterateDirectory(StrView dir, DirectoryVisitor& visitor);
bool Platform_IterateDirectory(StrView dir, DirectoryVisitFn visit, DirectorySkipFn skip = {});
// Depth-first, pre-order: a directory's entry is visited before its contents. A Visit that
// returns false inside a subdirectory ends only that subdirectory's listing. A subdirectory that
// cannot be opened is left out and the listing of its parent goes on. An empty skip callable
// skips nothing. The callables are destroyed before the call returns.
bool Platform_IterateDirectoryRecursively(StrView dir, DirectoryVisitor& visitor);
bool Platform_IterateDirectoryRecursively(StrView dir, DirectoryVisitFn visit, DirectorySkipFn skip = {});

// Appends the full path of every non-directory entry of `dir` whose name matches `pattern`
// (Str::WildcardMatch: '*', '?', case-sensitive; null matches every name). Not recursive; the
// order is the system's listing order.
void Platform_FindFilesInDirectory(std::vector<FilePath>& files, StrView dir, const char* pattern);
} // namespace Morvex
