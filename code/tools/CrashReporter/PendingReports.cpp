// Reports that could not be delivered: their state files, their locks, the hourly allowance of
// uploads, re-sending on later runs and the bounds of the store.

#include "PendingReports.h"

#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Str.h"
#include "Core/Timing/PlatformTime.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace Morvex
{
CVar pending_maxPerRun(CVarType::Int, "pending_maxPerRun", CVAR_ARCHIVE, "5",
                       "pending reports a run sends after its own", 0, 1000);
CVar pending_backoffBaseSec(CVarType::Int, "pending_backoffBaseSec", CVAR_ARCHIVE, "900",
                            "wait before the first re-send; doubles with each failed attempt (0: at once)", 0,
                            86400);
CVar pending_maxAttempts(CVarType::Int, "pending_maxAttempts", CVAR_ARCHIVE, "10",
                         "attempts after which a pending report is abandoned", 1, 1000000);
CVar pending_maxAgeDays(CVarType::Int, "pending_maxAgeDays", CVAR_ARCHIVE, "30",
                        "age after which a pending report is abandoned", 1, 36500);
CVar reports_maxKept(CVarType::Int, "reports_maxKept", CVAR_ARCHIVE, "50",
                     "reports kept on disk per user path", 1, 1000000);
CVar reports_maxTotalMB(CVarType::Int, "reports_maxTotalMB", CVAR_ARCHIVE, "1024",
                        "megabytes of reports kept on disk per user path", 1, 1048576);
CVar reports_maxPerHour(CVarType::Int, "reports_maxPerHour", CVAR_ARCHIVE, "10",
                        "uploads per user path in any hour", 1, 1000000);

namespace
{
constexpr const char* kStateMagic = "morvex-report 1";
constexpr const char* kUploadLedgerFile = ".morvex-uploads";
constexpr const char* kUploadLedgerLock = ".morvex-uploads.lock";
constexpr int64 kHourMs = 3600 * 1000;
constexpr int64 kDayMs = 24 * kHourMs;
constexpr uint32 kMaxStateFiles = 10000;
constexpr uint32 kMaxLedgerEntries = 100000;

// --- the state file's text -------------------------------------------------------------------
// One item a line: a keyword, then values separated by single spaces. A value escapes '\\', space,
// tab, line feed and carriage return, so any byte string survives and no value can start a line.

void AppendEscaped(std::string& out, StrView value)
{
    for (uint32 i = 0; i < value.length(); ++i)
    {
        const char c = value[i];
        switch (c)
        {
        case '\\':
            out += "\\\\";
            break;
        case ' ':
            out += "\\s";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
}

std::string Unescape(StrView token)
{
    std::string out;
    out.reserve(token.length());
    for (uint32 i = 0; i < token.length(); ++i)
    {
        const char c = token[i];
        if (c != '\\' || i + 1 == token.length())
        {
            out += c;
            continue;
        }
        const char next = token[++i];
        switch (next)
        {
        case 's':
            out += ' ';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            out += next;
        }
    }
    return out;
}

std::vector<StrView> SplitTokens(StrView line)
{
    std::vector<StrView> tokens;
    uint32 start = 0;
    for (uint32 i = 0; i <= line.length(); ++i)
    {
        if (i == line.length() || line[i] == ' ')
        {
            tokens.push_back(line.substr(start, i - start));
            start = i + 1;
        }
    }
    return tokens;
}

// Decimal digits only; false for anything else and for values past UINT64_MAX (device and inode
// numbers use the whole range).
bool ParseUInt64(StrView text, uint64& out)
{
    if (text.empty() || text.length() > 20)
        return false;
    uint64 v = 0;
    for (uint32 i = 0; i < text.length(); ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return false;
        const uint64 digit = static_cast<uint64>(text[i] - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    out = v;
    return true;
}

// Times and counts: non-negative, at most INT64_MAX.
bool ParseInt64(StrView text, int64& out)
{
    uint64 v = 0;
    if (!ParseUInt64(text, v) || v > static_cast<uint64>(INT64_MAX))
        return false;
    out = static_cast<int64>(v);
    return true;
}

void AppendLine(std::string& out, const char* keyword, StrView value)
{
    out += keyword;
    out += ' ';
    AppendEscaped(out, value);
    out += '\n';
}

void AppendNumber(std::string& out, const char* keyword, int64 value)
{
    out += keyword;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

// --- the store --------------------------------------------------------------------------------

FilePath ExceptionsFolder(const FilePath& userPath)
{
    FilePath folder = userPath;
    if (!folder.TryAppendPath("Exceptions"))
        return FilePath();
    folder.Normalize();
    return folder;
}

// Every report folder of a user path: the folders below its "Exceptions", and, for reports whose
// folder had to be made in the user data folder, those below that one's "exceptions".
std::vector<FilePath> ReportFolders(const FilePath& userPath)
{
    std::vector<FilePath> folders;
    FilePath roots[2] = {ExceptionsFolder(userPath), FilePath()};
    if (Platform_IsPostInited())
    {
        roots[1] = Platform_GetUserDataFolder();
        if (!roots[1].TryAppendPath("exceptions"))
            roots[1].Clear();
    }
    for (const FilePath& root : roots)
    {
        if (root.empty())
            continue;
        Platform_IterateDirectory(root,
                                  [&folders](const FilePath&, const DirEntry& entry)
                                  {
                                      // Hidden folders are ours (the states), not reports.
                                      if (entry.info.isDirectory && !entry.path.FileName().starts_with(".") &&
                                          Platform_GetPathKind(entry.path) == PathKind::Directory &&
                                          folders.size() < kMaxStateFiles)
                                          folders.push_back(entry.path);
                                      return true;
                                  });
    }
    return folders;
}

bool SameUserPath(const FilePath& a, const FilePath& b)
{
    return FileSystem::MakeAbsolutePath(a).view() == FileSystem::MakeAbsolutePath(b).view();
}

// The user path whose "Exceptions" folder holds `folder`; empty for a folder elsewhere (the user
// data folder's "exceptions" holds reports of every user path).
FilePath UserPathOfFolder(const FilePath& folder)
{
    const FilePath parent(folder.Directory());
    if (parent.FileName() != StrView("Exceptions"))
        return FilePath();
    return FilePath(parent.Directory());
}

FilePath InFolder(const FilePath& folder, const char* name)
{
    FilePath path = folder;
    if (!path.TryAppendPath(name))
        return FilePath();
    return path;
}

// <parent>/.morvex-state/<folder name><suffix>
FilePath StateFolderPath(const FilePath& folder, const char* suffix)
{
    FilePath path(folder.Directory());
    if (path.empty() || !path.TryAppendPath(kReportStateFolder) || !path.TryAppendPath(folder.FileName()))
        return FilePath();
    const uint32 length = path.length();
    path.Append(suffix);
    return path.length() == length + std::strlen(suffix) ? path : FilePath();
}

uint64 FolderBytes(const FilePath& folder)
{
    uint64 total = 0;
    Platform_IterateDirectoryRecursively(folder,
                                         [&total](const FilePath&, const DirEntry& entry)
                                         {
                                             total += entry.info.size;
                                             return true;
                                         });
    return total;
}

// The report's files as the folder shows them (a state file that could not be read).
void FilesOfFolder(const FilePath& folder, Report& report)
{
    report.reportFolder = folder;
    report.reportFiles.clear();
    std::vector<FilePath> names;
    Platform_IterateDirectory(folder,
                              [&names](const FilePath&, const DirEntry& entry)
                              {
                                  const StrView name = entry.path.FileName();
                                  if (!entry.info.isDirectory &&
                                      Platform_GetPathKind(entry.path) == PathKind::Regular)
                                      names.emplace_back(name);
                                  return true;
                              });
    std::sort(names.begin(), names.end());
    for (const FilePath& name : names)
        report.reportFiles.emplace_back(name);
}

std::atomic<uint32> GTempCounter{0};
} // namespace

FilePath ReportStatePath(const FilePath& folder)
{
    return StateFolderPath(folder, ".report");
}

FilePath ReportLockPath(const FilePath& folder)
{
    return StateFolderPath(folder, ".lock");
}

const char* ReportStatusName(ReportStatus status)
{
    switch (status)
    {
    case ReportStatus::Pending:
        return "pending";
    case ReportStatus::Delivered:
        return "delivered";
    case ReportStatus::Rejected:
        return "rejected";
    case ReportStatus::Abandoned:
        return "abandoned";
    case ReportStatus::Declined:
        return "declined";
    }
    return "pending";
}

std::string WriteReportState(const ReportState& state)
{
    const CrashReporterSettings& s = state.settings;
    std::string out = kStateMagic;
    out += '\n';
    AppendLine(out, "status", ReportStatusName(state.status));
    AppendLine(out, "kind", s.scriptErrorsPath.empty() ? "crash" : "script-errors");
    AppendLine(out, "user-path", s.userPath.view());
    AppendLine(out, "id", s.id.view());
    AppendLine(out, "comments", s.comments.view());
    AppendLine(out, "product", s.product.view());
    AppendLine(out, "additional", s.additional.view());
    AppendLine(out, "script-errors", s.scriptErrorsPath.view());
    AppendNumber(out, "event", state.eventPosted ? 1 : 0);
    AppendNumber(out, "attempts", state.attempts);
    AppendNumber(out, "created", state.createdMs);
    AppendNumber(out, "next", state.nextAttemptMs);
    AppendLine(out, "error", StrView(state.lastError.data(), static_cast<uint32>(state.lastError.size())));
    AppendLine(out, "server-id",
               StrView(state.serverReportId.data(), static_cast<uint32>(state.serverReportId.size())));
    for (const ReportFile& file : state.report.reportFiles)
    {
        out += "file ";
        out += file.copied ? '1' : '0';
        out += ' ';
        out += std::to_string(file.identity.valid ? file.identity.device : 0);
        out += ' ';
        out += std::to_string(file.identity.valid ? file.identity.inode : 0);
        out += ' ';
        AppendEscaped(out, file.name.view());
        out += ' ';
        AppendEscaped(out, file.source.view());
        out += '\n';
    }
    out += "end\n";
    return out;
}

void ReadReportState(StrView text, ReportState& state, std::string& problem)
{
    problem.clear();
    if (text.length() > kMaxReportStateBytes)
    {
        problem = "the state file is too large";
        return;
    }
    bool sawMagic = false;
    bool sawEnd = false;
    uint32 start = 0;
    uint32 lineNumber = 0;
    while (start < text.length())
    {
        const void* nl = std::memchr(text.data() + start, '\n', text.length() - start);
        const uint32 end =
            nl ? static_cast<uint32>(static_cast<const char*>(nl) - text.data()) : text.length();
        const StrView line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (lineNumber == 1)
        {
            sawMagic = line == StrView(kStateMagic);
            if (!sawMagic)
            {
                problem = "not a report state file";
                return;
            }
            continue;
        }
        if (nl == nullptr)
            break; // a last line without its line feed was cut off
        const std::vector<StrView> tokens = SplitTokens(line);
        const StrView keyword = tokens[0];
        auto text1 = [&tokens]() { return tokens.size() >= 2 ? Unescape(tokens[1]) : std::string(); };
        auto number1 = [&tokens](int64& out) { return tokens.size() >= 2 && ParseInt64(tokens[1], out); };
        CrashReporterSettings& s = state.settings;
        int64 n = 0;
        if (keyword == StrView("end"))
        {
            sawEnd = true;
            break;
        }
        if (keyword == StrView("status"))
        {
            const std::string v = text1();
            state.status = v == "delivered"   ? ReportStatus::Delivered
                           : v == "rejected"  ? ReportStatus::Rejected
                           : v == "abandoned" ? ReportStatus::Abandoned
                           : v == "declined"  ? ReportStatus::Declined
                                              : ReportStatus::Pending;
        }
        else if (keyword == StrView("user-path"))
            s.userPath.TryAssign(StrView(text1().c_str()));
        else if (keyword == StrView("id"))
            s.id.TryAssign(StrView(text1().c_str()));
        else if (keyword == StrView("comments"))
        {
            const std::string v = text1();
            s.comments.Assign(v.data(), static_cast<uint32>(v.size()));
        }
        else if (keyword == StrView("product"))
            s.product.TryAssign(StrView(text1().c_str()));
        else if (keyword == StrView("additional"))
        {
            const std::string v = text1();
            s.additional.Assign(v.data(), static_cast<uint32>(v.size()));
        }
        else if (keyword == StrView("script-errors"))
            s.scriptErrorsPath.TryAssign(StrView(text1().c_str()));
        else if (keyword == StrView("event") && number1(n))
            state.eventPosted = n != 0;
        else if (keyword == StrView("attempts") && number1(n))
            state.attempts = n > 1000000 ? 1000000u : static_cast<uint32>(n);
        else if (keyword == StrView("created") && number1(n))
            state.createdMs = n;
        else if (keyword == StrView("next") && number1(n))
            state.nextAttemptMs = n;
        else if (keyword == StrView("error"))
            state.lastError = text1().substr(0, 1024);
        else if (keyword == StrView("server-id"))
            state.serverReportId = text1().substr(0, 256);
        else if (keyword == StrView("file") && tokens.size() == 6 &&
                 state.report.reportFiles.size() < kMaxStateFiles)
        {
            ReportFile file;
            file.copied = tokens[1] == StrView("1");
            uint64 device = 0, inode = 0;
            if (ParseUInt64(tokens[2], device) && ParseUInt64(tokens[3], inode) &&
                (device != 0 || inode != 0))
            {
                file.identity.device = device;
                file.identity.inode = inode;
                file.identity.valid = true;
            }
            const std::string name = Unescape(tokens[4]);
            const std::string source = Unescape(tokens[5]);
            // A name is a bare file name inside the report folder: a hostile one must not reach
            // outside it.
            const StrView bare = FilePath::FileNameOf(StrView(name.c_str()));
            if (bare.empty() || bare == StrView(".") || bare == StrView("..") ||
                bare.length() != name.size() || !file.name.TryAssign(bare) ||
                !file.source.TryAssign(StrView(source.c_str())))
            {
                problem = "a file entry is malformed";
                continue;
            }
            state.report.reportFiles.push_back(file);
        }
    }
    if (!sawMagic)
        problem = "the state file is empty";
    else if (!sawEnd && problem.empty())
        problem = "the state file is cut short";
}

bool LoadReportState(const FilePath& folder, ReportState& state, bool quiet, bool* damaged)
{
    state = ReportState();
    if (damaged != nullptr)
        *damaged = false;
    const FilePath path = ReportStatePath(folder);
    std::string problem;
    const FileInfo info = Platform_GetFileInfo(path);
    if (!info.exists)
        problem = "it has no state file";
    else if (info.size > kMaxReportStateBytes)
        problem = "the state file is too large";
    else
    {
        char* data = nullptr;
        uint32 size = 0;
        if (!FileSystem::ReadRawFile(path, data, &size))
            problem = "the state file cannot be read";
        else
        {
            ReadReportState(StrView(data, size), state, problem);
            FileSystem::FreeFileData(data);
        }
    }
    state.report.reportFolder = folder;
    if (!problem.empty())
    {
        // Whatever the state file says (or does not), the report's files are not lost: the report
        // is treated as pending with what could be read, the folder's files standing in for its
        // list.
        ReportState fallback;
        fallback.report.reportFolder = folder;
        FilesOfFolder(folder, fallback.report);
        if (fallback.report.reportFiles.empty() && !info.exists)
            return false;
        fallback.settings = state.settings;
        if (fallback.settings.id.empty())
            fallback.settings.id = FilePath(folder.FileName());
        if (fallback.settings.product.empty())
            fallback.settings.product = "Application";
        if (fallback.settings.userPath.empty())
            fallback.settings.userPath = UserPathOfFolder(folder);
        // The counts and times of a damaged state are not to be trusted (a bogus one would have the
        // report abandoned at once): it starts again as a report made when its folder was.
        fallback.createdMs = UtcDateTimeToTime(Platform_GetFileInfo(folder).lastWriteTime);
        if (!quiet)
            MX_LOG_WARNING("Report '%s': %s; it is kept as pending with the files its folder holds",
                           folder.c_str(), problem.c_str());
        if (damaged != nullptr)
            *damaged = true;
        state = fallback;
    }
    // A time from the future would keep the report from ever being due or old enough to abandon.
    const int64 now = GetTimeMs();
    if (state.createdMs > now)
        state.createdMs = now;
    if (state.nextAttemptMs > now + kDayMs)
        state.nextAttemptMs = now + kDayMs;
    return true;
}

bool SaveReportState(const FilePath& folder, const ReportState& state)
{
    const FilePath path = ReportStatePath(folder);
    FilePath temporary = path;
    temporary.AppendFormat(".%u.%u", Platform_GetProcessId(), GTempCounter.fetch_add(1));
    if (path.empty() || temporary.length() == path.length())
        return false;
    const FilePath stateFolder(path.Directory());
    if (Platform_CreateDirectory(stateFolder, kDirModePrivate) == DirCreateResult::Ok)
        Platform_SyncDirectory(stateFolder.Directory());
    // A name like this one may be left by a killed process that had this process id.
    Platform_DeleteFile(temporary.view());
    const std::string text = WriteReportState(state);
    File out;
    bool ok = FileSystem::OpenRaw(out, temporary.view(), EFileOpenMode::kCreateNew);
    if (ok)
    {
        out.SetBufferSize(0);
        ok = out.Write(text.data(), static_cast<uint32>(text.size())) == text.size();
        // On disk before it takes the state's name: a machine switched off after the rename must
        // not find an empty state.
        ok = ok && out.GetRawFile()->Flush();
        ok = out.Close() && ok;
    }
    if (ok)
        ok = Platform_RenameFile(temporary.view(), path.view());
    if (!ok)
    {
        Platform_DeleteFile(temporary.view());
        MX_LOG_ERROR("Could not save the state of report '%s'; its previous state is kept", folder.c_str());
        return false;
    }
    // The rename itself reaches the disk only with its folder.
    Platform_SyncDirectory(stateFolder);
    return true;
}

bool TrackNewReport(const CrashReporterSettings& settings, const Report& report)
{
    ReportState state;
    state.settings = settings;
    state.report = report;
    state.createdMs = GetTimeMs();
    return SaveReportState(report.reportFolder, state);
}

int64 PendingBackoffMs(uint32 attempts)
{
    const int64 base = static_cast<int64>(pending_backoffBaseSec.GetInt()) * 1000;
    if (base <= 0 || attempts == 0)
        return 0;
    int64 wait = base;
    for (uint32 i = 1; i < attempts && wait < kDayMs; ++i)
        wait *= 2;
    return wait < kDayMs ? wait : kDayMs;
}

ReportLock::ReportLock(const FilePath& folder)
{
    const FilePath path = ReportLockPath(folder);
    if (path.empty())
        return;
    Platform_CreateDirectory(FilePath(path.Directory()), kDirModePrivate);
    m_handle = Platform_LockFile(path.view(), false);
    if (m_handle == kLockFailed)
        MX_LOG_WARNING("The lock of report '%s' cannot be taken ('%s')", folder.c_str(), path.c_str());
}

ReportLock::~ReportLock()
{
    Platform_UnlockFile(m_handle);
}

namespace
{
// Rewrites the upload ledger of `userPath` under its lock: `update` gets the upload times of the
// last hour (oldest first) and the time now, and changes them as it needs. False when the ledger
// cannot be locked (then there is no allowance to keep).
template <typename Update>
bool UpdateUploadLedger(const FilePath& userPath, Update update)
{
    const FilePath root = ExceptionsFolder(userPath);
    const FilePath ledger = InFolder(root, kUploadLedgerFile);
    const FilePath lockPath = InFolder(root, kUploadLedgerLock);
    if (ledger.empty() || lockPath.empty())
        return false;
    Platform_CreateDirectory(root, kDirModePrivate);
    // Held while the ledger is read and rewritten, so that two reporters count each other.
    const int64 lock = Platform_LockFile(lockPath.view(), true);
    if (lock < 0)
    {
        MX_LOG_WARNING("The upload ledger '%s' cannot be locked; uploads are not counted", lockPath.c_str());
        return false;
    }
    const int64 now = GetTimeMs();
    std::vector<int64> times;
    char* data = nullptr;
    uint32 size = 0;
    if (Platform_GetFileInfo(ledger).size <= kMaxReportStateBytes &&
        FileSystem::ReadRawFile(ledger, data, &size))
    {
        const StrView text(data, size);
        uint32 start = 0;
        while (start < text.length() && times.size() < kMaxLedgerEntries)
        {
            const void* nl = std::memchr(text.data() + start, '\n', text.length() - start);
            const uint32 end =
                nl ? static_cast<uint32>(static_cast<const char*>(nl) - text.data()) : text.length();
            int64 t = 0;
            // Entries of the last hour count; one from the future (a clock set back) counts as now.
            if (ParseInt64(text.substr(start, end - start), t) && t > now - kHourMs)
                times.push_back(t < now ? t : now);
            start = end + 1;
        }
        FileSystem::FreeFileData(data);
    }
    std::sort(times.begin(), times.end());
    update(times, now);
    std::string out;
    for (int64 t : times)
        out += std::to_string(t) + "\n";
    FilePath temporary = ledger;
    temporary.AppendFormat(".%u", Platform_GetProcessId());
    // Held under the ledger's lock: a file of this name is a killed process's leftover.
    Platform_DeleteFile(temporary.view());
    File file;
    if (FileSystem::OpenRaw(file, temporary.view(), EFileOpenMode::kCreateNew))
    {
        const bool written = file.Write(out.data(), static_cast<uint32>(out.size())) == out.size();
        if (file.Close() && written)
            Platform_RenameFile(temporary.view(), ledger.view());
        else
            Platform_DeleteFile(temporary.view());
    }
    Platform_UnlockFile(lock);
    return true;
}
} // namespace

bool TakeUploadSlot(const FilePath& userPath, int64& retryAtMs, int64* takenAtMs)
{
    retryAtMs = 0;
    if (takenAtMs != nullptr)
        *takenAtMs = 0;
    bool allowed = true;
    UpdateUploadLedger(userPath,
                       [&](std::vector<int64>& times, int64 now)
                       {
                           const uint32 allowance = static_cast<uint32>(reports_maxPerHour.GetInt());
                           allowed = times.size() < allowance;
                           if (!allowed)
                           {
                               retryAtMs = times[times.size() - allowance] + kHourMs;
                               return;
                           }
                           times.push_back(now);
                           if (takenAtMs != nullptr)
                               *takenAtMs = now;
                       });
    return allowed;
}

void ReturnUploadSlot(const FilePath& userPath, int64 takenAtMs)
{
    if (takenAtMs == 0)
        return;
    UpdateUploadLedger(userPath,
                       [takenAtMs](std::vector<int64>& times, int64)
                       {
                           const auto it = std::find(times.begin(), times.end(), takenAtMs);
                           if (it != times.end())
                               times.erase(it);
                       });
}

bool DeclineReport(const FilePath& folder)
{
    ReportState state;
    if (!LoadReportState(folder, state, true) || state.status != ReportStatus::Pending || state.attempts > 0)
        return false;
    state.status = ReportStatus::Declined;
    return SaveReportState(folder, state);
}

namespace
{
struct QueuedReport
{
    FilePath folder;
    int64 createdMs;
};

// Marks a pending report abandoned (logged) once it has had its attempts or its days; the caller
// holds its lock. True when it was.
bool AbandonIfExpired(const FilePath& folder, ReportState& state)
{
    const int64 ageMs = GetTimeMs() - state.createdMs;
    if (state.status != ReportStatus::Pending ||
        (state.attempts < static_cast<uint32>(pending_maxAttempts.GetInt()) &&
         ageMs <= static_cast<int64>(pending_maxAgeDays.GetInt()) * kDayMs))
        return false;
    MX_LOG_WARNING("Report '%s' abandoned after %u attempts (%lld days); last error: %s", folder.c_str(),
                   state.attempts, static_cast<long long>(ageMs / kDayMs), state.lastError.c_str());
    state.status = ReportStatus::Abandoned;
    SaveReportState(folder, state);
    return true;
}

// What happens to one due report: sent (once), abandoned, or dropped. Returns false when its files
// are gone.
bool ResendReport(const FilePath& folder, const CrashReporterSettings& current)
{
    ReportLock lock(folder);
    if (lock.Busy())
        return true; // another reporter is sending it now
    // A lock file that cannot be used at all (a folder without rights) must not keep the report
    // from ever being sent: it goes without the lock.
    ReportState state;
    if (!LoadReportState(folder, state, true) || state.status != ReportStatus::Pending)
        return true;
    const int64 now = GetTimeMs();
    if (state.nextAttemptMs > now)
        return true;
    // A file outside the report folder goes only when it is still the file that was listed: the
    // state file is not to be trusted with the path of anything the player can read.
    std::vector<ReportFile> files;
    for (const ReportFile& file : state.report.reportFiles)
    {
        if (file.copied || file.identity.valid)
            files.push_back(file);
        else
            MX_LOG_WARNING("Report '%s': '%s' cannot be told to be the file that was listed; it is left out",
                           folder.c_str(), file.source.c_str());
    }
    state.report.reportFiles = std::move(files);
    // The files may have gone (the player emptied the folder): nothing is left to send.
    bool anyFile = false;
    for (const ReportFile& file : state.report.reportFiles)
    {
        const FilePath path = file.copied ? InFolder(folder, file.name.c_str()) : file.source;
        anyFile = anyFile || Platform_GetPathKind(path) == PathKind::Regular;
    }
    if (!anyFile)
    {
        MX_LOG_WARNING("Report '%s': its files are gone; it is dropped from the queue", folder.c_str());
        state.status = ReportStatus::Abandoned;
        state.lastError = "files gone";
        SaveReportState(folder, state);
        return false;
    }
    if (AbandonIfExpired(folder, state))
        return true;
    MX_LOG_INFO("Sending pending report '%s' (attempt %u)", folder.c_str(), state.attempts + 1);
    CrashReporterSettings settings = state.settings;
    settings.silent = true;
    // A report whose state was lost is sent, and counted, as one of this run's user path.
    if (settings.userPath.empty())
        settings.userPath = current.userPath;
    DeliveryOptions options;
    options.postEvent = !state.eventPosted;
    options.maxAttempts = 1;
    options.background = true;
    const SendResult result = DeliverReport(settings, state.report, options);
    RecordOutcome(folder, state, result);
    return true;
}

// The report files of a state folder's entries whose report folder is gone, and temporary files
// older than a day (left by a reporter killed while it wrote): removed.
void SweepStateFolder(const FilePath& root)
{
    FilePath stateFolder = root;
    if (!stateFolder.TryAppendPath(kReportStateFolder))
        return;
    const int64 now = GetTimeMs();
    std::vector<FilePath> orphans, leftovers;
    Platform_IterateDirectory(stateFolder,
                              [&](const FilePath&, const DirEntry& entry)
                              {
                                  if (entry.info.isDirectory)
                                      return true;
                                  const StrView name = entry.path.FileName();
                                  if (name.ends_with(".report"))
                                  {
                                      FilePath folder = root;
                                      if (folder.TryAppendPath(name.substr(0, name.length() - 7)) &&
                                          Platform_GetPathKind(folder) == PathKind::Missing)
                                          orphans.push_back(folder);
                                  }
                                  else if (!name.ends_with(".lock") &&
                                           now - UtcDateTimeToTime(entry.info.lastWriteTime) > kDayMs)
                                      leftovers.push_back(entry.path);
                                  return true;
                              });
    for (const FilePath& folder : orphans)
    {
        ReportLock lock(folder);
        if (!lock.Held() || Platform_GetPathKind(folder) != PathKind::Missing)
            continue;
        MX_LOG_INFO("The state of report '%s' is removed: its folder is gone", folder.c_str());
        Platform_DeleteFile(ReportStatePath(folder));
        Platform_DeleteFile(ReportLockPath(folder));
    }
    for (const FilePath& path : leftovers)
        Platform_DeleteFile(path);
}
} // namespace

bool RecordOutcome(const FilePath& folder, ReportState& state, const SendResult& result)
{
    state.eventPosted = state.eventPosted || result.eventPosted;
    state.attempts += result.attempts;
    const int64 now = GetTimeMs();
    int64 serverWaitMs = 0;
    if (result.attempts > 0)
    {
        const Net::HTTPClient::UploadOutcome& last = result.last;
        if (last.result == Net::HTTPClient::UploadOutcome::Result::Delivered)
        {
            state.status = ReportStatus::Delivered;
            state.lastError.clear();
            // The usual convention: the server answers with the id it gave the report.
            std::string id = last.body.substr(0, last.body.find_first_of("\r\n"));
            if (id.size() > 256)
                id.resize(256);
            for (char& c : id)
                if (static_cast<unsigned char>(c) < 0x20)
                    c = ' ';
            state.serverReportId = id;
            if (!id.empty())
                MX_LOG_INFO("Server report id: %s", id.c_str());
        }
        else
        {
            state.lastError = last.transportError != ErrorCode::OK
                                  ? std::string(ErrorCodeQualifiedName(last.transportError))
                                  : "HTTP " + std::to_string(last.httpStatus);
            // A refusal for good stays one, whatever a later attempt of the same run was answered.
            if (result.rejected || last.result == Net::HTTPClient::UploadOutcome::Result::Rejected)
            {
                state.status = ReportStatus::Rejected;
                MX_LOG_ERROR("The server refused the report for good (%s); it will not be sent again",
                             result.rejected &&
                                     last.result != Net::HTTPClient::UploadOutcome::Result::Rejected
                                 ? "an earlier attempt"
                                 : ("HTTP " + std::to_string(last.httpStatus)).c_str());
            }
            else if (last.retryAfterSec > 0)
                serverWaitMs = static_cast<int64>(last.retryAfterSec) * 1000;
        }
    }
    if (state.status == ReportStatus::Pending)
    {
        state.nextAttemptMs = now + PendingBackoffMs(state.attempts);
        // The server's own wait, within the longest backoff, and the hourly allowance.
        if (serverWaitMs > 0)
            state.nextAttemptMs = std::max(state.nextAttemptMs, now + std::min(serverWaitMs, kDayMs));
        if (result.limitedUntilMs > state.nextAttemptMs)
            state.nextAttemptMs = result.limitedUntilMs;
        MX_LOG_INFO("The report is kept, not sent: '%s'", folder.c_str());
    }
    return SaveReportState(folder, state);
}

uint32 SendPendingReports(const CrashReporterSettings& settings, const FilePath& exclude)
{
    MX_MEMORY_TAG_SCOPE("CrashReporter");
    uint32 unreadable = 0;
    std::vector<QueuedReport> queue;
    for (const FilePath& folder : ReportFolders(settings.userPath))
    {
        // A folder without a state is an older reporter's, or one whose state was removed: what
        // became of it is not known, so it is not sent again.
        if (folder.view() == exclude.view() || !Platform_PathExists(ReportStatePath(folder)))
            continue;
        ReportState state;
        bool damaged = false;
        if (!LoadReportState(folder, state, false, &damaged))
            continue;
        if (state.status != ReportStatus::Pending ||
            !(state.settings.userPath.empty() || SameUserPath(state.settings.userPath, settings.userPath)))
            continue;
        unreadable += damaged ? 1 : 0;
        queue.push_back(QueuedReport{folder, state.createdMs});
    }
    std::sort(queue.begin(), queue.end(),
              [](const QueuedReport& a, const QueuedReport& b)
              { return a.createdMs != b.createdMs ? a.createdMs < b.createdMs : a.folder < b.folder; });
    const uint32 limit = static_cast<uint32>(pending_maxPerRun.GetInt());
    uint32 tried = 0;
    for (const QueuedReport& queued : queue)
    {
        if (tried == limit)
            break;
        ReportState state;
        if (!LoadReportState(queued.folder, state, true) || state.nextAttemptMs > GetTimeMs())
            continue;
        ++tried;
        if (!ResendReport(queued.folder, settings))
            ++unreadable;
    }
    EnforceStoreLimits(settings.userPath, exclude);
    return unreadable;
}

void EnforceStoreLimits(const FilePath& userPath, const FilePath& exclude)
{
    struct Kept
    {
        FilePath folder;
        int64 createdMs;
        uint64 bytes;
        ReportStatus status;
    };
    std::vector<Kept> kept;
    uint64 total = 0;
    for (const FilePath& folder : ReportFolders(userPath))
    {
        Kept k{folder, 0, FolderBytes(folder), ReportStatus::Abandoned};
        ReportState state;
        if (Platform_PathExists(ReportStatePath(folder)) && LoadReportState(folder, state, true))
        {
            if (!state.settings.userPath.empty() && !SameUserPath(state.settings.userPath, userPath))
                continue;
            // A report past its attempts or its days is abandoned now, not when it is next due.
            if (state.status == ReportStatus::Pending && folder.view() != exclude.view())
            {
                ReportLock lock(folder);
                if (lock.Held())
                    AbandonIfExpired(folder, state);
            }
            k.status = state.status;
            k.createdMs = state.createdMs;
        }
        else
            k.createdMs = UtcDateTimeToTime(Platform_GetFileInfo(folder).lastWriteTime);
        total += k.bytes;
        kept.push_back(k);
    }
    // What was left behind beside the report folders goes whatever the limits.
    SweepStateFolder(ExceptionsFolder(userPath));
    if (Platform_IsPostInited())
    {
        FilePath shared = Platform_GetUserDataFolder();
        if (shared.TryAppendPath("exceptions"))
            SweepStateFolder(shared);
    }

    uint64 maxBytes = static_cast<uint64>(reports_maxTotalMB.GetInt()) << 20;
    const size_t maxKept = static_cast<size_t>(reports_maxKept.GetInt());
    if (kept.size() <= maxKept && total <= maxBytes)
        return;
    // The reports that may not be removed (the run's own, those another reporter holds) may be over
    // the size limit by themselves: removing every other report would not bring the store within it.
    uint64 fixedBytes = 0;
    for (const Kept& k : kept)
    {
        if (k.folder.view() == exclude.view())
            fixedBytes += k.bytes;
        else
        {
            ReportLock probe(k.folder);
            fixedBytes += probe.Busy() ? k.bytes : 0;
        }
    }
    if (fixedBytes > maxBytes)
    {
        MX_LOG_WARNING("Reports that cannot be removed now hold %llu MB, over reports_maxTotalMB; no report "
                       "is removed for size",
                       static_cast<unsigned long long>(fixedBytes >> 20));
        maxBytes = UINT64_MAX;
        if (kept.size() <= maxKept)
            return;
    }
    // Delivered, rejected and declined reports go first, oldest first; then abandoned ones (and folders of
    // older reporters, whose fate is unknown); pending ones last, each named.
    auto rank = [](ReportStatus s)
    {
        return s == ReportStatus::Delivered || s == ReportStatus::Rejected || s == ReportStatus::Declined ? 0
               : s == ReportStatus::Abandoned                                                             ? 1
                                                                                                          : 2;
    };
    std::sort(kept.begin(), kept.end(),
              [&rank](const Kept& a, const Kept& b)
              {
                  if (rank(a.status) != rank(b.status))
                      return rank(a.status) < rank(b.status);
                  return a.createdMs != b.createdMs ? a.createdMs < b.createdMs : a.folder < b.folder;
              });
    size_t count = kept.size();
    for (const Kept& k : kept)
    {
        if (count <= maxKept && total <= maxBytes)
            break;
        if (k.folder.view() == exclude.view())
            continue;
        ReportLock lock(k.folder);
        if (!lock.Held())
            continue;
        if (k.status == ReportStatus::Pending)
            MX_LOG_WARNING("The report store is over its limits; removing pending report '%s'",
                           k.folder.c_str());
        if (Platform_RemoveDirectoryTree(k.folder))
        {
            --count;
            total -= k.bytes < total ? k.bytes : total;
            Platform_DeleteFile(ReportStatePath(k.folder));
            Platform_DeleteFile(ReportLockPath(k.folder));
        }
        else
            MX_LOG_WARNING("Could not remove report '%s'", k.folder.c_str());
    }
}
} // namespace Morvex
