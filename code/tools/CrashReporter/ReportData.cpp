// Report preparation: gathering the dump and the --wc matches into the dated report folder.

#include "CrashReporter.h"

#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Timing/PlatformTime.h"

#include <algorithm>
#include <cstring>

namespace Morvex
{
namespace
{
bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

// The text after the last separator (the whole text when there is none).
StrView FileNamePart(StrView path)
{
    uint32 start = path.length();
    while (start > 0 && !IsSeparator(path[start - 1]))
        --start;
    return path.substr(start);
}

bool PathLess(const FilePath& a, const FilePath& b)
{
    uint32 n = std::min(a.length(), b.length());
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    return c != 0 ? c < 0 : a.length() < b.length();
}

// Splits one --wc entry into its directory part and its name pattern.
void SplitWildcard(StrView entry, FilePath& directory, FilePath& pattern)
{
    uint32 sep = entry.length();
    while (sep > 0 && !IsSeparator(entry[sep - 1]))
        --sep;
    if (sep == 0)
    {
        directory.Clear();
        pattern.Assign(entry);
        return;
    }
    uint32 sepIndex = sep - 1;
    pattern.Assign(entry.substr(sep));
    if (sepIndex == 0)
    {
        // A leading separator is the file system's root here.
        directory.Assign("/");
        return;
    }
    if (entry[sepIndex - 1] == ':')
    {
        // "C:/x*" keeps its drive root; a bare root "C:/" names no folder at all.
        bool bareRoot = entry.length() >= 2 && entry[entry.length() - 2] == ':';
        if (bareRoot)
            directory.Clear();
        else
            directory.Assign(entry.substr(0, sep));
        return;
    }
    directory.Assign(entry.substr(0, sepIndex));
}

void CollectMatches(StrView entry, std::vector<FilePath>& candidates)
{
    FilePath directory;
    FilePath pattern;
    SplitWildcard(entry, directory, pattern);
    if (!Platform_IsAbsolutePath(directory))
    {
        FilePath absolute = Platform_GetCurrentDirectory();
        absolute.AppendPath(directory);
        directory = absolute;
    }
    std::vector<FilePath> matches;
    Platform_FindFilesInDirectory(matches, directory, pattern.c_str());
    for (const FilePath& match : matches)
    {
        auto it = std::lower_bound(candidates.begin(), candidates.end(), match, PathLess);
        if (it == candidates.end() || !(it->view() == match.view()))
            candidates.insert(it, match);
    }
}

void CopyIntoReport(StrView source, StrView name)
{
    FilePath destination = GReportFolder;
    destination.AppendPath(name);
    if (CopyReportFile(source, destination))
        GReportFiles.emplace_back(name);
}
} // namespace

uint64 StreamFileContent(File& file, uint64 size, char* buffer, ReportChunkSink sink, void* context,
                         bool* readShort)
{
    uint64 done = 0;
    while (done < size)
    {
        const uint32 want =
            size - done < kReportCopyChunk ? static_cast<uint32>(size - done) : kReportCopyChunk;
        const uint32 got = file.Read(buffer, want);
        if (got != 0 && !sink(context, buffer, got))
            break;
        done += got;
        if (got != want)
        {
            if (readShort)
                *readShort = true;
            break;
        }
    }
    return done;
}

bool CopyReportFile(StrView sourcePath, StrView destinationPath)
{
    File source;
    if (!FileSystem::OpenRaw(source, sourcePath, EFileOpenMode::kRead))
        return false;
    const uint64 size = source.GetSize();
    // Report files travel with 32-bit sizes.
    if (size >= 0xFFFFFFFFull)
    {
        MX_LOG_ERROR("File '%.*s' is too large for the report (%llu bytes); it is left out",
                     static_cast<int>(sourcePath.length()), sourcePath.data(),
                     static_cast<unsigned long long>(size));
        return false;
    }

    FilePath destinationName(destinationPath);
    // A pattern may match a copy already in the report folder; copying a file onto itself would
    // truncate it before it is read.
    if (FileSystem::MakeAbsolutePath(sourcePath) == FileSystem::MakeAbsolutePath(destinationPath).view())
        return true;
    File destination;
    if (!FileSystem::OpenRaw(destination, destinationPath, EFileOpenMode::kWrite))
    {
        MX_LOG_ERROR("Failed to create file '%s'", destinationName.c_str());
        return false;
    }
    // The copy goes through a fixed piece of memory rather than the whole file: dumps run to
    // gigabytes, and the machine that just crashed may be short of memory. Direct writes and a flush
    // make a full disk show here, not as a silently short copy in the archive.
    destination.SetBufferSize(0);
    char* buffer = static_cast<char*>(Memory::Alloc(kReportCopyChunk));
    bool readShort = false;
    const uint64 copied = StreamFileContent(
        source, size, buffer,
        [](void* context, const char* data, uint32 length)
        { return static_cast<File*>(context)->Write(data, length) == length; },
        &destination, &readShort);
    Memory::Free(buffer, kReportCopyChunk);
    // A short read stops the copy before any write could fail.
    bool writeOk = readShort || copied == size;
    source.Close();
    writeOk = writeOk && destination.GetRawFile()->Flush();
    writeOk = destination.Close() && writeOk;
    if (readShort || !writeOk)
    {
        if (readShort)
            MX_LOG_ERROR("Failed to read file '%.*s'", static_cast<int>(sourcePath.length()),
                         sourcePath.data());
        else
            MX_LOG_ERROR("Failed to write file '%s'", destinationName.c_str());
        Platform_DeleteFile(destinationName);
        return false;
    }
    return true;
}

uint32 PrepareReportData()
{
    MX_MEMORY_TAG_SCOPE("PrepareReportData");
    const CrashReporterSettings& s = GSettings;
    GReportFiles.clear();

    DateTime now = GetLocalDateTime();
    StaticString64_t stamp;
    stamp.Format("%04d.%02d.%02d %02d.%02d.%02d", now.year, now.month, now.day, now.hour, now.minute,
                 now.second);
    FilePath folder = s.userPath;
    folder.AppendPath("Exceptions");
    folder.AppendPath(stamp);
    for (uint32 i = 0; i < folder.length(); ++i)
    {
        if (folder.data()[i] == '\\')
            folder.data()[i] = '/';
    }
    Platform_CreateDirectory(folder);
    GReportFolder = folder;

    if (s.scriptErrorsPath.empty())
    {
        FilePath name = s.id;
        name.Append(".dmp");
        FilePath source = s.dumpPath;
        source.AppendPath(name);
        // An id with separators still names its dump below --dump-path, but the copy stays inside
        // the report folder.
        CopyIntoReport(source, FileNamePart(name));
    }

    std::vector<FilePath> candidates;
    for (const FilePath& entry : s.wildcards)
    {
        if (!entry.empty())
            CollectMatches(entry, candidates);
    }
    for (const FilePath& candidate : candidates)
        CopyIntoReport(candidate, FileNamePart(candidate));
    return static_cast<uint32>(GReportFiles.size());
}
} // namespace Morvex
