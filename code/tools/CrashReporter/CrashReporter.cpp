#include "CrashReporter.h"
#include "PendingReports.h"

#include "Core/CmdSystem.h"
#include "Core/CommandLine.h"
#include "Core/FileLog.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Timing/PlatformTime.h"
#include "Core/Utils/Localize.h"
#include "Net/Network.h"

#include <cerrno>
#include <memory>
#include <string>

namespace Morvex
{
// The run's log file; opened by InitCrashReporter, closed at the end of CrashReporterEntry.
FileLog GFileLog;

// Deployment defaults; a "crash-reporter.cfg" beside the working directory overrides them.
CVar crash_url(CVarType::String, "crash_url", CVAR_ARCHIVE, "http://localhost:55080/submit", "");
CVar script_errors_url(CVarType::String, "script_errors_url", CVAR_ARCHIVE,
                       "http://localhost:55080/submit_script_errors", "");
CVar ElasticsearchUrl(CVarType::String, "ElasticsearchUrl", CVAR_ARCHIVE,
                      "http://localhost:9200/events/prod/", "");
CVar retry_count(CVarType::Int, "retry_count", CVAR_ARCHIVE, "3", "", INT32_MIN, INT32_MAX);
CVar retry_wait_sec(CVarType::Int, "retry_wait_sec", CVAR_ARCHIVE, "20", "", INT32_MIN, INT32_MAX);
CVar ElasticsearchTimeoutSec(CVarType::Int, "ElasticsearchTimeoutSec", CVAR_ARCHIVE, "10",
                             "seconds the event may take before the report goes on without it", 1, 3600);

namespace
{
// Runs the configuration script, named relative to the working directory (the search directories
// play no part); false when it does not open.
bool ExecuteConfigScript(const char* path)
{
    char* data = nullptr;
    uint32 size = 0;
    if (!FileSystem::ReadRawFile(path, data, &size))
        return false;
    // Editors on other systems save with a byte-order mark; it would spoil the first command.
    const StrView script = Str::SkipByteOrderMark(StrView(data, size));
    // Like any text, the script ends at its first NUL.
    CmdSystem::AddText(script.data());
    FileSystem::FreeFileData(data);
    CmdSystem::Execute();
    return true;
}

// Opens this run's own log file: "crashreport_<date>_<time>.log", or "..._<time>_2.log" and so on
// when another run started in the same second (each is created exclusively, so two reporters never
// share or truncate one file).
void OpenRunLog(const FilePath& folder, const DateTime& start)
{
    for (uint32 n = 1; n <= 100; ++n)
    {
        FilePath logName;
        logName.Format("crashreport_%04d-%02d-%02d_%02d-%02d-%02d", start.year, start.month, start.day,
                       start.hour, start.minute, start.second);
        if (n > 1)
            logName.AppendFormat("_%u", n);
        logName.Append(".log");
        FilePath logPath = folder;
        if (!logPath.TryAppendPath(logName))
            return;
        if (GFileLog.Open(logPath.c_str(), true))
            return;
        if (Platform_GetPathKind(logPath) == PathKind::Missing)
            return;
    }
}

void TakeSwitch(const char* name, FilePath& field)
{
    StrView value;
    if (CommandLine::GetSwitchValue(name, value))
        field.Assign(value);
}
} // namespace

bool InitCrashReporter()
{
    MX_MEMORY_TAG_SCOPE("CrashReporter");
    Platform_SetApplicationName("Morvex Crash Reporter");
    Platform_SetApplicationKind(4);
    // Folder failures are not fatal: without them the run simply has no log file. Both hold what
    // the player's reports and logs say, so they are the player's alone.
    FilePath exceptionsFolder = Platform_GetUserDataFolder();
    exceptionsFolder.AppendPath("exceptions");
    Platform_CreateDirectory(exceptionsFolder, kDirModePrivate);
    FilePath logsFolder = Platform_GetUserDataFolder();
    logsFolder.AppendPath("logs");
    Platform_CreateDirectory(logsFolder, kDirModePrivate);
    // One log file per run, named after its local start time. A file that cannot be created leaves
    // the run without a file log; the sink is registered all the same and writes nothing.
    OpenRunLog(logsFolder, GetLocalDateTime());
    Log::AddSink(&GFileLog, Log::kMaskAllButNetLog);
    Log::AddSink(Log::GetConsoleSink(), Log::kMaskAllButNetLog);
    Net::Init();
    return true;
}

int32 ReadRunSettings(CrashReporterSettings& s)
{
    s.product.Assign("Application");
    StrView language;
    if (CommandLine::HasSwitch("--send-pending"))
    {
        // A launcher sends what earlier runs kept: no report of its own, no dialog.
        s.sendPending = true;
        s.silent = true;
        StrView userPath;
        if (!CommandLine::GetSwitchValue("--user-path", userPath))
            return kExitMissingArguments;
        s.userPath.Assign(userPath);
        return kExitOk;
    }
    if (CommandLine::HasSwitch("--test"))
    {
        s.test = true;
        CommandLine::GetSwitchValue("--lang", language);
        SelectLanguage(language);
        s.ioCrash = CommandLine::HasSwitch("--io-crash");
        return kExitOk;
    }
    StrView value;
    if (!CommandLine::GetSwitchValue("--id", value))
        return kExitMissingArguments;
    s.id.Assign(value);
    value = StrView();
    if (!CommandLine::GetSwitchValue("--dump-path", value))
        return kExitMissingArguments;
    s.dumpPath.Assign(value);
    TakeSwitch("--user-path", s.userPath);
    s.silent = CommandLine::HasSwitch("--silent");
    TakeSwitch("--script-errors", s.scriptErrorsPath);
    s.ioCrash = CommandLine::HasSwitch("--io-crash");
    TakeSwitch("--launcher-path", s.launcherPath);
    StrView comments;
    if (CommandLine::GetSwitchValue("--comments", comments))
        s.comments.Assign(comments.data(), Str::Utf8PrefixLength(comments, StaticString2048_t::kCapacity));
    if (!s.silent)
    {
        CommandLine::GetSwitchValue("--lang", language);
        SelectLanguage(language);
    }
    uint32 count = 0;
    const StrView* tokens = CommandLine::GetTokens(count);
    for (uint32 i = 0; i + 1 < count; ++i)
    {
        if (tokens[i] == StrView("--wc"))
        {
            ++i;
            s.wildcards.emplace_back(tokens[i]);
        }
    }
    TakeSwitch("--product", s.product);
    StrView additional;
    if (CommandLine::GetSwitchValue("--additional", additional))
        s.additional.Assign(additional);
    return kExitOk;
}

int32 CrashReporterMain()
{
    ExecuteConfigScript("crash-reporter.cfg");

    CrashReporterSettings settings;
    const int32 read = ReadRunSettings(settings);
    if (read != kExitOk)
        return read;

    if (settings.sendPending)
    {
        const uint32 unreadable = SendPendingReports(settings, FilePath());
        MX_LOG_INFO("Sending finished");
        return unreadable == 0 ? kExitOk : kExitNothingToSend;
    }

    Report report;
    if (!settings.test && PrepareReportData(settings, report) == 0)
    {
        MX_LOG_ERROR("No files to send. Closing.");
        return kExitNothingToSend;
    }
    // The report is recorded as pending, under its lock, before the dialog: however long the
    // dialog stays open and however the run ends, another reporter neither sends nor removes it,
    // and a later run sends it if this one does not.
    std::unique_ptr<ReportLock> lock;
    if (!settings.test && !report.reportFolder.empty())
    {
        lock = std::make_unique<ReportLock>(report.reportFolder);
        report.tracked = lock->Held() && TrackNewReport(settings, report);
        if (!report.tracked)
            MX_LOG_WARNING("The report cannot be kept for a later run if this one cannot send it");
    }
    // Nobody watches a silent run, nor one whose dialog could not open (no display, no module):
    // both retry failed uploads. A player who cancelled the dialog is there: no retries.
    bool background = settings.silent;
    bool sent = false;
    if (!settings.silent)
    {
        const DialogResult dialog = ShowCrashDialog(settings, report);
        sent = dialog == DialogResult::Sent;
        background = dialog == DialogResult::FailedToOpen;
    }
    if (!sent)
    {
        MX_LOG_INFO("Product: '%s' Params: '%s'", settings.product.c_str(), settings.additional.c_str());
        RunSenderThread(settings, report, background);
        MX_LOG_INFO("Sending finished");
    }
    // What earlier runs could not deliver goes after this run's own report.
    if (!settings.test)
        SendPendingReports(settings, report.reportFolder);
    return kExitOk;
}

void SelectLanguage(StrView language)
{
    Localize::Init();
    if (!language.empty())
        Localize::SetLanguage(Localize::FindLanguage(language), false);

    // The string tables ship beside the executable, whatever the working directory is.
    const FilePath directory = Platform_GetExecutableFolder();
    FileSystem::AddSearchDirectory(directory);

    FilePath folder;
    folder.Format("strings/%s", Localize::GetLanguageInfo(kEnglish).name);
    Localize::LoadLanguage(kEnglish, folder);
    const uint32 current = Localize::GetLanguage();
    if (current != kEnglish)
    {
        folder.Format("strings/%s", Localize::GetLanguageInfo(current).name);
        Localize::LoadLanguage(current, folder);
    }
}

int32 CrashReporterEntry()
{
    if (!InitCrashReporter())
        return kExitInitFailed;
    int32 result;
    {
        MX_MEMORY_TAG_SCOPE("CrashReporter");
        result = CrashReporterMain();
    }
    Localize::Shutdown();
    Net::Shutdown();
    Log::RemoveSink(Log::GetConsoleSink());
    Log::RemoveSink(&GFileLog);
    GFileLog.Close();
    CmdSystem::Shutdown();
    return result;
}
} // namespace Morvex
