// Report preparation: gathering the dump and the --wc matches into the dated report folder.

#include "CrashReporter.h"

#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Timing/PlatformTime.h"

#include <algorithm>
#include <cstring>

namespace Morvex
{
namespace
{
// Splits one --wc entry into its directory part and its name pattern.
void SplitWildcard(StrView entry, FilePath& directory, FilePath& pattern)
{
    uint32 sep = entry.length();
    while (sep > 0 && !FilePath::IsSeparator(entry[sep - 1]))
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

// A pattern's match is taken when it is a regular file, or a symbolic link whose target is a
// regular file inside the pattern's folder: a link planted in a game's log folder must not make the
// player's other files travel to the crash server. Returns the path to read (the link's target), or
// empty after a Warning naming the match; `identity` is the file that was checked, so that a later
// open can tell when the path has been pointed elsewhere since.
FilePath AcceptMatch(const FilePath& match, const FilePath& directory, FileIdentity& identity)
{
    const PathKind kind = Platform_GetPathKind(match);
    if (kind == PathKind::Regular)
    {
        identity = Platform_GetFileIdentity(match);
        return match;
    }
    if (kind == PathKind::SymbolicLink)
    {
        const FilePath target = Platform_ResolvePath(match);
        FilePath folder = Platform_ResolvePath(directory);
        if (!target.empty() && !folder.empty() && Platform_GetPathKind(target) == PathKind::Regular)
        {
            if (!folder.view().ends_with("/"))
                folder.Append('/');
            if (target.view().starts_with(folder.view()))
            {
                identity = Platform_GetFileIdentity(target);
                return target;
            }
        }
        MX_LOG_WARNING("Skipping '%s': a link to '%s', outside '%s'", match.c_str(),
                       target.empty() ? "(nothing)" : target.c_str(), directory.c_str());
        return FilePath();
    }
    if (kind != PathKind::Missing)
        MX_LOG_WARNING("Skipping '%s': not a regular file", match.c_str());
    return FilePath();
}

struct Candidate
{
    FilePath path;   // the match as listed, which orders the candidates and names the entry
    FilePath source; // what is read
    FileIdentity identity;
};

void CollectMatches(StrView entry, std::vector<Candidate>& candidates)
{
    FilePath directory;
    FilePath pattern;
    SplitWildcard(entry, directory, pattern);
    if (!Platform_IsAbsolutePath(directory))
    {
        FilePath absolute = Platform_GetCurrentDirectory();
        if (!absolute.TryAppendPath(directory))
        {
            MX_LOG_ERROR("Pattern '%.*s': its folder is too long for a path",
                         static_cast<int>(entry.length()), entry.data());
            return;
        }
        directory = absolute;
    }
    std::vector<FilePath> matches;
    Platform_FindFilesInDirectory(matches, directory, pattern.c_str());
    for (const FilePath& match : matches)
    {
        auto it = std::lower_bound(candidates.begin(), candidates.end(), match,
                                   [](const Candidate& c, const FilePath& path) { return c.path < path; });
        if (it != candidates.end() && it->path.view() == match.view())
            continue;
        FileIdentity identity;
        FilePath source = AcceptMatch(match, directory, identity);
        if (!source.empty())
            candidates.insert(it, Candidate{match, source, identity});
    }
}

// Makes the report folder under `base` exclusively: "<stamp>", or "<stamp> (n)" when another run
// made that one first. Empty when no folder could be made there (the reason is logged by the caller).
FilePath MakeReportFolder(const FilePath& base, StrView stamp, DirCreateResult& failure)
{
    failure = DirCreateResult::Failed;
    for (uint32 n = 1; n <= 1000; ++n)
    {
        StaticString64_t name(stamp);
        if (n > 1)
            name.AppendFormat(" (%u)", n);
        FilePath folder = base;
        if (!folder.TryAppendPath(name))
        {
            failure = DirCreateResult::PathTooLong;
            return FilePath();
        }
        folder.Normalize();
        failure = Platform_CreateDirectory(folder, kDirModePrivate);
        if (failure == DirCreateResult::Ok)
            return folder;
        if (failure != DirCreateResult::AlreadyExists)
            return FilePath();
    }
    return FilePath();
}

const char* FolderFailureText(DirCreateResult result)
{
    return result == DirCreateResult::PathTooLong ? "the path would be too long" : "it cannot be created";
}

// The report folder: under --user-path, else under the user data folder, else none (the files are
// then sent from where they are).
FilePath ChooseReportFolder(const FilePath& userPath, StrView stamp)
{
    FilePath base = userPath;
    DirCreateResult failure = DirCreateResult::PathTooLong;
    FilePath folder;
    if (base.TryAppendPath("Exceptions"))
        folder = MakeReportFolder(base, stamp, failure);
    if (!folder.empty())
        return folder;
    // The user data folder exists once the platform is up (always in the reporter itself).
    FilePath fallbackBase = Platform_IsPostInited() ? Platform_GetUserDataFolder() : FilePath();
    DirCreateResult fallbackFailure = DirCreateResult::PathTooLong;
    FilePath fallback;
    if (!fallbackBase.empty() && fallbackBase.TryAppendPath("exceptions"))
        fallback = MakeReportFolder(fallbackBase, stamp, fallbackFailure);
    if (!fallback.empty())
    {
        MX_LOG_ERROR("Could not make the report folder in '%s' (%s); the report goes to '%s'", base.c_str(),
                     FolderFailureText(failure), fallback.c_str());
        return fallback;
    }
    MX_LOG_ERROR(
        "Could not make the report folder in '%s' (%s) nor in '%s' (%s); the files are sent from where "
        "they are",
        base.c_str(), FolderFailureText(failure), fallbackBase.c_str(), FolderFailureText(fallbackFailure));
    return FilePath();
}

// Adds one file to the report under a name of its own, copied into the report folder when there is
// one; a file that cannot be copied is sent from its source. A source that cannot be opened is left
// out without a message.
void AddReportFile(Report& report, const FilePath& source, StrView baseName, const FileIdentity& identity)
{
    ReportFile file;
    file.name = UniqueReportName(baseName, report.reportFiles);
    file.source = source;
    file.identity = identity;
    bool opened = true;
    if (!report.reportFolder.empty())
    {
        FilePath destination = report.reportFolder;
        if (!destination.TryAppendPath(file.name))
            MX_LOG_ERROR("The copy of '%s' would not fit in a path under '%s'; it is sent from where it is",
                         source.c_str(), report.reportFolder.c_str());
        else if (CopyReportFile(source, destination, &opened, &identity))
            file.copied = true;
        else if (opened)
            MX_LOG_WARNING("'%s' could not be copied into the report; it is sent from where it is",
                           source.c_str());
    }
    else
    {
        File probe;
        opened = FileSystem::OpenRaw(probe, source, EFileOpenMode::kRead) &&
                 (!identity.valid || probe.GetRawFile()->GetIdentity() == identity);
    }
    if (opened)
        report.reportFiles.push_back(file);
}
} // namespace

FilePath UniqueReportName(StrView name, const std::vector<ReportFile>& taken)
{
    auto isTaken = [&taken](StrView candidate)
    {
        for (const ReportFile& f : taken)
            if (f.name.view() == candidate)
                return true;
        return false;
    };
    if (!isTaken(name))
        return FilePath(name);
    uint32 dot = name.length();
    for (uint32 i = name.length(); i > 1; --i)
    {
        if (name[i - 1] == '.')
        {
            dot = i - 1;
            break;
        }
    }
    const StrView stem = name.substr(0, dot);
    const StrView extension = name.substr(dot);
    for (uint32 n = 2;; ++n)
    {
        FilePath candidate(stem);
        candidate.AppendFormat(" (%u)", n);
        candidate.Append(extension);
        if (!isTaken(candidate))
            return candidate;
    }
}

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

bool CopyReportFile(StrView sourcePath, StrView destinationPath, bool* sourceOpened,
                    const FileIdentity* expected)
{
    if (sourceOpened)
        *sourceOpened = false;
    File source;
    if (!FileSystem::OpenRaw(source, sourcePath, EFileOpenMode::kRead))
        return false;
    if (expected != nullptr && expected->valid && !(source.GetRawFile()->GetIdentity() == *expected))
    {
        MX_LOG_WARNING("'%.*s' is no longer the file that was listed; it is left out",
                       static_cast<int>(sourcePath.length()), sourcePath.data());
        return false;
    }
    if (sourceOpened)
        *sourceOpened = true;
    const uint64 size = source.GetSize();
    // Report files travel with 32-bit sizes.
    if (size >= 0xFFFFFFFFull)
    {
        MX_LOG_ERROR("File '%.*s' is too large for the report (%llu bytes); it is left out",
                     static_cast<int>(sourcePath.length()), sourcePath.data(),
                     static_cast<unsigned long long>(size));
        if (sourceOpened)
            *sourceOpened = false;
        return false;
    }

    FilePath destinationName;
    destinationName.TryAssign(destinationPath);
    File destination;
    // A new file, private to the player: never one that exists (a link planted in its place, or
    // another run's copy).
    if (destinationName.empty() ||
        !FileSystem::OpenRaw(destination, destinationPath, EFileOpenMode::kCreateNew))
    {
        MX_LOG_ERROR("Failed to create file '%.*s'", static_cast<int>(destinationPath.length()),
                     destinationPath.data());
        return false;
    }
    // The copy goes through a fixed piece of memory rather than the whole file: dumps run to
    // gigabytes, and the machine that just crashed may be short of memory. Direct writes and a flush
    // make a full disk show here, not as a silently short copy in the archive.
    destination.SetBufferSize(0);
    bool readShort = false;
    bool writeOk = false;
    // Inside the system first: no pass through this process's memory, and a reflink where the
    // file system shares blocks.
    uint64 copied = 0;
    const CopyDataResult inSystem = Platform_CopyFileData(
        source.GetRawFile()->GetHandle(), destination.GetRawFile()->GetHandle(), size, copied);
    if (inSystem == CopyDataResult::Unsupported)
    {
        char* buffer = static_cast<char*>(Memory::Alloc(kReportCopyChunk));
        copied = StreamFileContent(
            source, size, buffer,
            [](void* context, const char* data, uint32 length)
            { return static_cast<File*>(context)->Write(data, length) == length; },
            &destination, &readShort);
        Memory::Free(buffer, kReportCopyChunk);
        // A short read stops the copy before any write could fail.
        writeOk = readShort || copied == size;
    }
    else
    {
        readShort = inSystem == CopyDataResult::SourceShort;
        writeOk = inSystem == CopyDataResult::Copied || readShort;
    }
    const uint64 lastWrite = source.GetLastWriteTime();
    source.Close();
    writeOk = writeOk && destination.GetRawFile()->Flush();
    // The copy says when its source was last written (when the game last wrote a log), not when the
    // report was made; the archive entry takes its date from it.
    if (writeOk)
        destination.GetRawFile()->SetLastWriteTime(lastWrite);
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

uint32 PrepareReportData(const CrashReporterSettings& s, Report& report)
{
    MX_MEMORY_TAG_SCOPE("PrepareReportData");
    report = Report();

    DateTime now = GetLocalDateTime();
    StaticString64_t stamp;
    stamp.Format("%04d.%02d.%02d %02d.%02d.%02d", now.year, now.month, now.day, now.hour, now.minute,
                 now.second);
    report.reportFolder = ChooseReportFolder(s.userPath, stamp);

    if (s.scriptErrorsPath.empty())
    {
        FilePath name = s.id;
        name.Append(".dmp");
        FilePath source = s.dumpPath;
        // An id with separators still names its dump below --dump-path, but the copy stays inside
        // the report folder.
        if (name.length() == s.id.length() + 4 && source.TryAppendPath(name))
            AddReportFile(report, source, FilePath::FileNameOf(name), Platform_GetFileIdentity(source));
        else
            MX_LOG_ERROR("The dump '%s.dmp' in '%s' cannot be named: the path is too long", s.id.c_str(),
                         s.dumpPath.c_str());
    }

    std::vector<Candidate> candidates;
    for (const FilePath& entry : s.wildcards)
    {
        if (!entry.empty())
            CollectMatches(entry, candidates);
    }
    for (const Candidate& candidate : candidates)
        AddReportFile(report, candidate.source, FilePath::FileNameOf(candidate.path), candidate.identity);
    return static_cast<uint32>(report.reportFiles.size());
}
} // namespace Morvex
