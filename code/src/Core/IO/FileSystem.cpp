// The search-path file system: lookups through the search directories, whole-file reads, opens and
// the merged wildcard search.

#include "Core/IO/FileSystem.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/IO/AsyncLoader.h"
#include "Core/IO/FileMemory.h"
#include "Core/IO/Pak.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/LockedHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Str.h"
#include "Core/Threading/Threading.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace Morvex
{
void RawFile_ClearPool();

namespace
{
struct SearchEntry
{
    int32 id;
    FilePath path;
};

// Reader/writer lock that lets a waiting writer in before new readers: with the reader-first
// locks of the C library, a steady stream of lookups kept AddSearchDirectory waiting for minutes.
// Not recursive.
class SearchPathsLock
{
public:
    void lock_shared()
    {
        std::unique_lock guard(m_mutex);
        m_changed.wait(guard, [this] { return !m_writing && m_waitingWriters == 0; });
        ++m_readers;
    }
    void unlock_shared()
    {
        std::lock_guard guard(m_mutex);
        if (--m_readers == 0)
            m_changed.notify_all();
    }
    void lock()
    {
        std::unique_lock guard(m_mutex);
        ++m_waitingWriters;
        m_changed.wait(guard, [this] { return !m_writing && m_readers == 0; });
        --m_waitingWriters;
        m_writing = true;
    }
    void unlock()
    {
        std::lock_guard guard(m_mutex);
        m_writing = false;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint32 m_readers = 0;
    uint32 m_waitingWriters = 0;
    bool m_writing = false;
};

template <typename Lock>
class SharedGuard
{
public:
    explicit SharedGuard(Lock& lock) : m_lock(lock) { m_lock.lock_shared(); }
    ~SharedGuard() { m_lock.unlock_shared(); }
    SharedGuard(const SharedGuard&) = delete;
    SharedGuard& operator=(const SharedGuard&) = delete;

private:
    Lock& m_lock;
};

SearchPathsLock SearchPathsMutex;
std::vector<SearchEntry> GSearchPaths;
int32 GNextSearchId = 0;
bool GFileSystemInitialized = false;

void InsertSorted(std::vector<FilePath>& files, const FilePath& path)
{
    auto it = std::lower_bound(files.begin(), files.end(), path);
    if (it != files.end() && it->view() == path.view())
        return;
    files.insert(it, path);
}

// Calls test(candidate) for each search directory joined with `relative`, newest first, until it
// answers true. Runs under the caller's shared lock.
template <typename Fn>
bool WalkSearchPaths(const FilePath& relative, Fn&& test)
{
    MX_PROFILE_ZONE("FileSystem::SearchFileEntry");
    for (auto it = GSearchPaths.rbegin(); it != GSearchPaths.rend(); ++it)
    {
        FilePath candidate = it->path;
        if (!candidate.TryAppendPath(relative))
            continue;
        if (test(candidate))
            return true;
    }
    return false;
}

bool OpenInto(File& out, const FilePath& path, EFileOpenMode mode)
{
    out = File(RawFile::Open(path, mode));
    return out.IsOpen();
}

// Whole files read into memory come from a heap of their own: they are large and short-lived, and
// the memory report shows them apart.
LockedHeap& FileMemoryHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::General, MX_HEAP_NAME("FileMemory"));
    return heap;
}

// Kept beside the heap's own statistics, which are not safe to read from another thread: the
// loader's wait for memory reads it on its worker threads.
std::atomic<uint64> GFileMemoryUsed{0};

bool ReadWhole(const FilePath& path, RawFile& file, char*& data, uint32* sizeOut, uint64* lastWriteTime)
{
    uint64 size = file.GetSize();
    // The buffer holds size + 1 bytes and reads take 32-bit sizes: beyond that it cannot be read whole.
    if (size >= 0xFFFFFFFFull)
    {
        MX_LOG_ERROR("FileSystem::ReadFile: '%s' is too large to read whole (%llu bytes)", path.c_str(),
                     static_cast<unsigned long long>(size));
        return false;
    }
    char* buffer = static_cast<char*>(FileMemory::Alloc(static_cast<size_t>(size) + 1));
    uint32 read = size ? file.ReadBytes(buffer, static_cast<uint32>(size)) : 0;
    if (read != size)
    {
        FileMemory::Free(buffer);
        return false;
    }
    buffer[size] = 0;
    data = buffer;
    if (sizeOut)
        *sizeOut = static_cast<uint32>(size);
    if (lastWriteTime)
        *lastWriteTime = file.GetLastWriteTime();
    return true;
}

// Leading separators stay as a prefix; "." and ".." segments are resolved. Leaves the path as it
// was when a ".." finds nothing it may remove. A ".." never cancels a leading "..", which would
// change what the path names.
void CollapseDotSegments(FilePath& path)
{
    StrView text = path.view();
    uint32 prefixLength = 0;
    while (prefixLength < text.length() && text[prefixLength] == '/')
        ++prefixLength;

    struct Segment
    {
        uint32 begin;
        uint32 length;
        bool leadingParent;
    };
    std::vector<Segment> kept;
    bool changed = false;
    bool first = true;
    bool inLeadingParents = true;
    uint32 pos = prefixLength;
    while (pos < text.length())
    {
        uint32 end = pos;
        while (end < text.length() && text[end] != '/')
            ++end;
        StrView segment(text.data() + pos, end - pos);
        uint32 begin = pos;
        pos = end + 1;
        if (segment.empty())
            continue;
        bool isParent = segment == StrView("..");
        if (inLeadingParents && isParent)
        {
            kept.push_back({begin, segment.length(), true});
            first = false;
            continue;
        }
        inLeadingParents = false;
        if (isParent)
        {
            if (kept.empty() || kept.back().leadingParent)
                return;
            kept.pop_back();
            changed = true;
        }
        else if (segment == StrView(".") && !first)
            changed = true;
        else
            kept.push_back({begin, segment.length(), false});
        first = false;
    }
    if (!changed)
        return;
    FilePath result(StrView(text.data(), prefixLength));
    for (size_t i = 0; i < kept.size(); ++i)
    {
        if (i != 0)
            result.Append('/');
        result.Append(StrView(text.data() + kept[i].begin, kept[i].length));
    }
    path = result;
}

// Visitor of FindFiles over one search directory.
class FindFilesVisitor final : public DirectoryVisitor
{
public:
    FindFilesVisitor(std::vector<FilePath>& files, const FilePath& root, const FilePath& pattern,
                     StrView dirName, uint32 maxCount)
        : m_files(files), m_root(root), m_pattern(pattern), m_dirName(dirName), m_maxCount(maxCount)
    {
    }

    bool Visit(const FilePath&, const DirEntry& entry) override
    {
        if (m_files.size() >= m_maxCount)
            return false;
        if (entry.info.isDirectory)
            return true;
        FilePath relative(Relative(entry.path));
        if (Str::WildcardMatch(relative.c_str(), m_pattern.c_str()))
            InsertSorted(m_files, relative);
        return true;
    }

    bool SkipDirectory(const DirEntry& entry) override
    {
        StrView r = Relative(entry.path);
        StrView d = m_dirName;
        if (d.empty() || r == d)
            return false;
        if (d.starts_with(r) && (r.ends_with("/") || d[r.length()] == '/'))
            return false;
        if (r.starts_with(d) && (d.ends_with("/") || r[d.length()] == '/'))
            return false;
        return true;
    }

private:
    StrView Relative(const FilePath& path) const
    {
        StrView p = path.view();
        return p.starts_with(m_root.view()) ? p.substr(m_root.length()) : p;
    }

    std::vector<FilePath>& m_files;
    const FilePath& m_root;
    const FilePath& m_pattern;
    StrView m_dirName;
    uint32 m_maxCount;
};
} // namespace

void* FileMemory::Alloc(size_t size)
{
    LockedHeap& heap = FileMemoryHeap();
    void* p = heap.Alloc(size);
    GFileMemoryUsed.fetch_add(heap.GetSize(p), std::memory_order_relaxed);
    return p;
}

void FileMemory::Free(void* p)
{
    if (!p)
        return;
    LockedHeap& heap = FileMemoryHeap();
    GFileMemoryUsed.fetch_sub(heap.GetSize(p), std::memory_order_relaxed);
    heap.Free(p);
}

uint64 FileMemory::GetUsedBytes()
{
    return GFileMemoryUsed.load(std::memory_order_relaxed);
}

void InitFileSystem()
{
    MX_ASSERT(!GFileSystemInitialized);
    if (GFileSystemInitialized)
        return;
    MX_MEMORY_TAG_SCOPE("Core/File");
    MX_ASSERT(Threading::IsMainThread());
    Memory::RegisterHeap(&FileMemoryHeap());
    Pak::Init();
    AsyncLoader::Init();
    GFileSystemInitialized = true;
}

void ShutdownFileSystem()
{
    if (GFileSystemInitialized)
        Memory::UnregisterHeap(&FileMemoryHeap());
    GFileSystemInitialized = false;
    AsyncLoader::Shutdown();
    FileSystem::ClearSearchPaths();
    {
        std::unique_lock lock(SearchPathsMutex);
        // Storage of files still open must stay valid; only a clean pool is given back.
        uint32 live = RawFile::GetLiveCount();
        if (live != 0)
            MX_LOG_ERROR("ShutdownFileSystem: %u raw files were never released", live);
        else
            RawFile_ClearPool();
        Pak::Shutdown();
    }
}

bool IsFileSystemInitialized()
{
    return GFileSystemInitialized;
}

namespace FileSystem
{
FilePath MakeAbsolutePath(StrView directory)
{
    FilePath path;
    if (Platform_IsAbsolutePath(directory))
    {
        if (!path.TryAssign(directory))
            return FilePath();
    }
    else
    {
        path = Platform_GetCurrentDirectory();
        if (path.empty())
        {
            if (!path.TryAssign(directory))
                return FilePath();
        }
        else
        {
            if (!FilePath::IsSeparator(path[path.length() - 1]) && !path.full())
                path.Append('/');
            StrView rest = directory;
            if (!rest.empty() && FilePath::IsSeparator(rest[0]))
                rest.remove_prefix(1);
            if (path.length() + static_cast<uint64>(rest.length()) > FilePath::kCapacity)
                return FilePath();
            path.Append(rest);
        }
    }
    path = FilePath::Normalized(path);

    FilePath collapsed;
    for (uint32 i = 0; i < path.length(); ++i)
    {
        if (i >= 2 && path[i] == '/' && path[i - 1] == '/')
            continue;
        collapsed.Append(path[i]);
    }
    CollapseDotSegments(collapsed);
    if (collapsed.length() >= 2 && collapsed[1] == ':' && collapsed[0] >= 'a' && collapsed[0] <= 'z')
        collapsed.data()[0] = static_cast<char>(collapsed[0] - 'a' + 'A');
    return collapsed;
}

int32 AddSearchDirectory(StrView directory)
{
    if (directory.empty())
        return -1;
    MX_MEMORY_TAG_SCOPE("Core/File");
    std::unique_lock lock(SearchPathsMutex);
    FilePath path = MakeAbsolutePath(directory);
    if (!path.empty() && path[path.length() - 1] != '/' && !path.full())
        path.Append('/');
    for (const SearchEntry& entry : GSearchPaths)
    {
        if (entry.path.view() == path.view())
            return -1;
    }
    // Asked without the trailing '/', which Linux refuses for a regular file.
    StrView queried = path.view();
    if (queried.length() > 1 && queried.ends_with("/"))
        queried = StrView(queried.data(), queried.length() - 1);
    FileInfo info = Platform_GetFileInfo(queried);
    if (info.exists && !info.isDirectory)
        return -1;
    int32 id = GNextSearchId++;
    GSearchPaths.push_back({id, path});
    return id;
}

void ClearSearchPaths()
{
    std::unique_lock lock(SearchPathsMutex);
    GSearchPaths.clear();
}

bool FileExists(StrView pathView)
{
    FilePath path = FilePath::Normalized(pathView);
    if (path.empty())
        return false;
    if (Platform_IsAbsolutePath(path))
        return Platform_PathExists(path);
    SharedGuard lock(SearchPathsMutex);
    return WalkSearchPaths(path, [](const FilePath& candidate) { return Platform_PathExists(candidate); });
}

bool ReadFile(StrView pathView, char*& data, uint32* size, uint64* lastWriteTime)
{
    MX_PROFILE_ZONE("FileSystem::ReadFile");
    data = nullptr;
    FilePath path = FilePath::Normalized(pathView);
    if (path.empty())
        return false;
    SharedGuard lock(SearchPathsMutex);
    RawFile* file = nullptr;
    FilePath found;
    if (Platform_IsAbsolutePath(path))
    {
        file = RawFile::Open(path, EFileOpenMode::kRead);
        found = path;
    }
    else
    {
        WalkSearchPaths(path,
                        [&](const FilePath& candidate)
                        {
                            file = RawFile::Open(candidate, EFileOpenMode::kRead);
                            found = candidate;
                            return file != nullptr;
                        });
    }
    if (!file)
        return false;
    bool ok = ReadWhole(found, *file, data, size, lastWriteTime);
    file->DropRef();
    return ok;
}

bool ReadRawFile(StrView pathView, char*& data, uint32* size)
{
    data = nullptr;
    const FilePath path = FilePath::Normalized(pathView);
    if (path.empty())
        return false;
    RawFile* file = RawFile::Open(path, EFileOpenMode::kRead);
    if (!file)
        return false;
    const bool ok = ReadWhole(path, *file, data, size, nullptr);
    file->DropRef();
    return ok;
}

void FreeFileData(char* data)
{
    FileMemory::Free(data);
}

bool Open(File& out, StrView pathView, EFileOpenMode mode)
{
    MX_PROFILE_ZONE("FileSystem::Open");
    out.Close();
    FilePath path = FilePath::Normalized(pathView);
    if (path.empty())
        return false;
    if (std::strstr(path.c_str() + 1, "//") != nullptr)
        MX_LOG_ERROR("Duplicate slashes: %s", path.c_str());
    SharedGuard lock(SearchPathsMutex);
    if (Platform_IsAbsolutePath(path))
        return OpenInto(out, path, mode);
    if (mode != EFileOpenMode::kRead)
    {
        bool tried = WalkSearchPaths(path,
                                     [&](const FilePath& candidate)
                                     {
                                         if (!Platform_PathExists(candidate))
                                             return false;
                                         OpenInto(out, candidate, mode);
                                         return true;
                                     });
        // New files are never created inside a search directory unless the name is absolute.
        if (!tried)
            OpenInto(out, path, mode);
        return out.IsOpen();
    }
    WalkSearchPaths(path, [&](const FilePath& candidate) { return OpenInto(out, candidate, mode); });
    return out.IsOpen();
}

bool OpenRaw(File& out, StrView pathView, EFileOpenMode mode)
{
    out.Close();
    SharedGuard lock(SearchPathsMutex);
    FilePath path = FilePath::Normalized(pathView);
    if (path.empty())
        return false;
    return OpenInto(out, path, mode);
}

const char* FindWildcards(StrView text)
{
    for (const char* p = text.begin(); p != text.end(); ++p)
    {
        if (*p == '*' || *p == '?')
            return p;
    }
    return text.end();
}

void FindFiles(std::vector<FilePath>& files, StrView fullWildcardsView, uint32 maxCount)
{
    MX_PROFILE_ZONE("Morvex::FileSystem::FindFiles");
    MX_MEMORY_TAG_SCOPE("Core/FindFiles");
    FilePath fullWildcards = FilePath::Normalized(fullWildcardsView);
    MX_ASSERT(!fullWildcards.empty());
    if (fullWildcards.empty())
        return;
    StrView text = fullWildcards.view();
    uint32 slash = text.length();
    while (slash > 0 && text[slash - 1] != '/')
        --slash;
    StrView dirName;
    if (slash > 0)
    {
        uint32 dirLength = slash - 1;
        // Directly under a drive root ("C:/x*") the root keeps its separator.
        if (dirLength == 2 && text[1] == ':')
            dirLength = 3;
        dirName = StrView(text.data(), dirLength);
    }
    MX_ASSERT(FindWildcards(dirName) == dirName.end());

    SharedGuard lock(SearchPathsMutex);
    for (auto it = GSearchPaths.rbegin(); it != GSearchPaths.rend(); ++it)
    {
        FindFilesVisitor visitor(files, it->path, fullWildcards, dirName, maxCount);
        Platform_IterateDirectoryRecursively(it->path, visitor);
    }
}

void ReportCriticalIOError()
{
    MX_LOG_ERROR("CriticalIOError.");
}
bool ReadScriptFile(const char* path, char*& data, uint32& size)
{
    return ReadFile(StrView(path), data, &size);
}
} // namespace FileSystem
} // namespace Morvex
