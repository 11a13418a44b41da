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
#include "Net/HTTPClient.h"
#include "Net/Network.h"
#include "StringTablesBuiltIn.h"

#include <cerrno>
#include <cstdio>
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
CVar crash_sendOnCancel(CVarType::Int, "crash_sendOnCancel", CVAR_ARCHIVE, "1",
                        "1: Cancel in the dialog sends the report without the player's text; 0: Cancel "
                        "sends nothing and keeps the report folder",
                        0, 1);

#ifndef MORVEX_VERSION
#define MORVEX_VERSION "0.0.0"
#endif
const char* const kReporterVersion = MORVEX_VERSION;
const char* const kReporterUserAgent = "MorvexCrashReporter/" MORVEX_VERSION " (Linux)";

namespace
{
// Runs a configuration script; false when it does not open.
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

// "scheme://" and something after it.
bool LooksLikeUrl(StrView text)
{
    uint32 i = 0;
    while (i < text.length() && ((text[i] >= 'a' && text[i] <= 'z') || (text[i] >= 'A' && text[i] <= 'Z') ||
                                 (i > 0 && ((text[i] >= '0' && text[i] <= '9') || text[i] == '+' ||
                                            text[i] == '-' || text[i] == '.'))))
        ++i;
    return i > 0 && text.substr(i).starts_with("://") && text.length() > i + 3;
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

int32 PrintHelpOrVersion(FILE* out)
{
    // A switch's value is never read as --help or --version: a player's comment "--help" must not
    // turn a crash report into a usage text.
    static const char* const kValueSwitches[] = {
        "--id",         "--dump-path", "--user-path",     "--wc",       "--product",
        "--additional", "--lang",      "--script-errors", "--comments", "--launcher-path"};
    uint32 count = 0;
    const StrView* tokens = CommandLine::GetTokens(count);
    bool help = false;
    bool version = false;
    for (uint32 i = 1; i < count; ++i)
    {
        bool isValue = false;
        for (const char* name : kValueSwitches)
            isValue = isValue || tokens[i - 1] == StrView(name);
        if (isValue)
            continue;
        help = help || tokens[i] == StrView("--help");
        version = version || tokens[i] == StrView("--version");
    }
    if (!help && !version)
        return -1;
    if (version)
    {
        const auto buildId = Platform_GetBuildId();
        std::fprintf(out, "Morvex Crash Reporter %s (build-id %s)\n", kReporterVersion,
                     buildId.empty() ? "none" : buildId.c_str());
    }
    if (help)
        std::fputs(
            "Usage: CrashReporter --id ID --dump-path DIR [options]   send the report of one crash\n"
            "       CrashReporter --send-pending --user-path DIR      send what earlier runs kept\n"
            "       CrashReporter --test [--lang NAME] [--io-crash]   show the dialog, send nothing\n"
            "\n"
            "  --id ID               the crash's id; the dump is DIR/ID.dmp (required)\n"
            "  --dump-path DIR       the folder that holds the dump (required)\n"
            "  --user-path DIR       the game's per-user folder; reports are kept in DIR/Exceptions\n"
            "  --wc PATTERN          more files to send, '*' and '?' in the last part (repeatable)\n"
            "  --product NAME        the product name sent with the report (default Application)\n"
            "  --additional K=V;...  key=value items sent with the report; 'version-type' tags the event\n"
            "  --comments TEXT       a description sent with the report (the dialog appends the player's)\n"
            "  --silent              no dialog; failed uploads are retried (background mode)\n"
            "  --lang NAME           the dialog's language: english, german, french, italian, spanish, "
            "russian,\n"
            "                        chinese, tchinese, japanese, korean, thai, indonesian, vietnamese\n"
            "  --script-errors FILE  a script-errors report, sent to script_errors_url\n"
            "  --io-crash            the game stopped on a read or write failure: the dialog offers Repair\n"
            "  --launcher-path PROG  the program the dialog's Repair button starts\n"
            "  --send-pending        send the kept reports of --user-path that are due, then exit\n"
            "  --test                a test run: the dialog without a report; nothing is sent\n"
            "  --help                this text\n"
            "  --version             the version and build id\n"
            "\n"
            "Settings: crash-reporter.cfg in the working directory, else beside this program.\n"
            "Exit codes: 0 sent or finished, 1 start-up failed, 2 --id or --dump-path missing,\n"
            "            3 nothing to send (or a kept report could not be read).\n",
            out);
    std::fflush(out);
    return kExitOk;
}

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
    // Set before the configuration script runs, so that a studio may still name its own.
    Net::http_userAgent.SetS(StrView(kReporterUserAgent));
    return true;
}

FilePath RunConfiguration()
{
    FilePath ran;
    FilePath besideExecutable = Platform_GetExecutableFolder();
    if (ExecuteConfigScript(kConfigFileName))
        ran.Assign(kConfigFileName);
    else if (!besideExecutable.empty() && besideExecutable.TryAppendPath(kConfigFileName) &&
             ExecuteConfigScript(besideExecutable.c_str()))
        ran = besideExecutable;
    return ran;
}

void ReportConfiguration(const FilePath& ran)
{
    if (ran.empty())
        MX_LOG_INFO("No %s in the working directory or beside the executable: the built-in settings are used",
                    kConfigFileName);
    else
        MX_LOG_INFO("Settings read from %s", ran.c_str());

    CVar* const urls[] = {&crash_url, &script_errors_url, &ElasticsearchUrl};
    for (CVar* url : urls)
    {
        const StrView value(url->GetS());
        if (!value.empty() && !LooksLikeUrl(value))
            MX_LOG_WARNING("%s is '%s', which is not a URL: write the value in double quotes "
                           "(set %s \"http://...\"), since an unquoted // starts a comment",
                           url->GetName(), url->GetS(), url->GetName());
    }
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
    const FilePath configuration = RunConfiguration();

    CrashReporterSettings settings;
    const int32 read = ReadRunSettings(settings);
    if (read != kExitOk)
        return read;
    // Said only once the run goes on: a run without its switches ends without a word.
    ReportConfiguration(configuration);

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
    bool declined = false;
    std::unique_ptr<PreparedArchive> prepared;
    if (!settings.silent)
    {
        // The player takes a while to read and type: the archive is built meanwhile, so that
        // sending is only the upload (rebuilt at the send if the report folder changed).
        if (!settings.test && !report.reportFiles.empty())
        {
            prepared = std::make_unique<PreparedArchive>(report);
            if (!prepared->Start())
                prepared.reset();
        }
        const DialogResult dialog = ShowCrashDialog(settings, report, prepared.get());
        sent = dialog == DialogResult::Sent;
        background = dialog == DialogResult::FailedToOpen;
        // A studio may honour the player's Cancel as a refusal: the report stays on the player's
        // disk and no later run sends it.
        declined = dialog == DialogResult::Cancelled && !crash_sendOnCancel.GetBool();
    }
    if (declined)
    {
        prepared.reset();
        if (report.tracked)
            DeclineReport(report.reportFolder);
        if (report.reportFolder.empty())
            MX_LOG_INFO("The player declined to send the report; nothing is sent");
        else
            MX_LOG_INFO("The player declined to send the report; it stays in '%s' and is not sent",
                        report.reportFolder.c_str());
    }
    else if (!sent)
    {
        MX_LOG_INFO("Product: '%s' Params: '%s'", settings.product.c_str(), settings.additional.c_str());
        RunSenderThread(settings, report, background, prepared.get());
        MX_LOG_INFO("Sending finished");
    }
    prepared.reset();
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
    if (Localize::GetNumEntries(kEnglish) == 0)
    {
        // A dialog of raw keys helps nobody: the English texts are built in for this case.
        MX_LOG_ERROR("No string tables in '%s/%s': the dialog shows its built-in English texts",
                     directory.c_str(), folder.c_str());
        Localize::LoadText(kEnglish, "built-in English texts", StrView(kBuiltInEnglishStrings));
    }
    const uint32 current = Localize::GetLanguage();
    if (current != kEnglish)
    {
        folder.Format("strings/%s", Localize::GetLanguageInfo(current).name);
        Localize::LoadLanguage(current, folder);
        if (Localize::GetNumEntries(current) == 0)
            MX_LOG_WARNING("No string tables in '%s/%s': the dialog shows English texts", directory.c_str(),
                           folder.c_str());
    }
}

int32 CrashReporterEntry()
{
    const int32 printed = PrintHelpOrVersion(stdout);
    if (printed >= 0)
    {
        CmdSystem::Shutdown();
        return printed;
    }
    if (!InitCrashReporter())
        return kExitInitFailed;
    int32 result;
    {
        MX_MEMORY_TAG_SCOPE("CrashReporter");
        result = CrashReporterMain();
    }
    Localize::Shutdown();
    Net::Shutdown();
    // The console sink stays: what the kernel reports while it shuts down (leaked events, open
    // files, memory) must still reach the terminal. The log file ends with the run.
    Log::RemoveSink(&GFileLog);
    GFileLog.Close();
    CmdSystem::Shutdown();
    return result;
}
} // namespace Morvex
