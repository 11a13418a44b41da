#pragma once
// The search-path file system: the engine's entry point for opening and reading files by name.
// A relative name is looked up in the search directories, the most recently added first; an
// absolute name bypasses them. Lookups may run on any thread in parallel (shared lock); adding
// directories and clearing them take the lock exclusively, so visitors and whole-file reads must
// not call them. Every operation is valid between InitFileSystem and ShutdownFileSystem.

#include "Core/IO/File.h"
#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <vector>

namespace Morvex
{
// Kernel post-initialisation and shutdown; each runs once. InitFileSystem asserts
// "!GFileSystemInitialized" and "Threading::IsMainThread()"; the shutdown clears the search list
// and reports RawFile objects never released.
void InitFileSystem();
void ShutdownFileSystem();
bool IsFileSystemInitialized();

namespace FileSystem
{
// The new entry's id (ids count up from 0 and are never reused), or -1 when `directory` is empty,
// already listed, or names an existing non-directory. A missing directory is accepted.
int32 AddSearchDirectory(StrView directory);
// Empties the search list.
void ClearSearchPaths();

// True when the path (found through the search list) exists, a directory included.
bool FileExists(StrView path);

// Reads a whole file found through the search list. On success `data` receives a buffer of
// size + 1 bytes ending in 0, owned by the caller (give it back with FreeFileData), and the
// optional outputs the size and the last-write time (100-ns ticks since 1601 UTC). On failure
// nothing is allocated, `data` is null. Files of 0xFFFFFFFF bytes or more are refused with an
// Error naming the file.
bool ReadFile(StrView path, char*& data, uint32* size = nullptr, uint64* lastWriteTime = nullptr);
// The same for exactly `path` (relative to the working directory), no search list.
bool ReadRawFile(StrView path, char*& data, uint32* size = nullptr);
// Null is ignored.
void FreeFileData(char* data);
// ReadFile in the form of the command system's script reader (`exec` finds scripts through the
// search directories); the kernel hands it to the command system at post-initialisation.
bool ReadScriptFile(const char* path, char*& data, uint32& size);

// Opens through the search list: kRead takes the first candidate that opens; kWrite and kAppend
// take the first candidate that exists, else the path itself under the working directory. A path
// with "//" after its first byte is logged ("Duplicate slashes: %s") and still opened. `out` is
// closed first; the result is out.IsOpen().
bool Open(File& out, StrView path, EFileOpenMode mode);
// Opens exactly `path` (relative to the working directory), no search list, no logging.
bool OpenRaw(File& out, StrView path, EFileOpenMode mode);

// Inserts into `files` every file of every search directory (subdirectories included) whose path
// relative to its search directory matches `fullWildcards` ('*' also matches '/'); `files` stays
// sorted by byte order and free of duplicates. At most `maxCount` names are collected (~0: no
// cap). Asserts "!fullWildcards.empty()" and that wildcards appear only in the last component.
void FindFiles(std::vector<FilePath>& files, StrView fullWildcards, uint32 maxCount = ~0u);

// The position of the first '*' or '?' in `text`, or text.end().
const char* FindWildcards(StrView text);

// The absolute, normalised form of a directory: joined to the working directory when relative,
// '\\' turned into '/', runs of '/' collapsed (a leading "//" survives), "." and ".." resolved
// (left alone when a ".." has nothing to remove), a drive letter upper-cased. Empty when the
// absolute form is longer than a path.
FilePath MakeAbsolutePath(StrView directory);

// Logs "CriticalIOError." at Error.
void ReportCriticalIOError();
} // namespace FileSystem
} // namespace Morvex
