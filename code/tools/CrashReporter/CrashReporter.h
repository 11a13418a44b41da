#pragma once
// The crash reporter's run settings and phases. Each phase says what it takes and gives: the main
// flow reads the settings (CrashReporterMain), preparation gives the report (PrepareReportData),
// the dialog shows it and may append the player's text to the settings' comments, and a sender is
// made with the settings and the report. The settings are written on the main thread before any
// other thread starts (the dialog appends the user's text to `comments` before it starts its own
// sender) and are only read afterwards.

#include "Core/CVar.h"
#include "Core/Containers/Dict.h"
#include "Core/IO/File.h"
#include "Core/IO/PlatformFile.h"
#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/String.h"
#include "Core/Threading/ThreadBase.h"
#include "Core/Types.h"
#include "Net/HTTPClient.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace Morvex
{
struct CrashReporterSettings
{
    bool test = false;
    FilePath id;
    FilePath product;
    FilePath dumpPath;
    FilePath userPath;
    FilePath launcherPath;
    FilePath scriptErrorsPath;
    std::vector<FilePath> wildcards;
    bool ioCrash = false;
    bool silent = false;
    // --send-pending: send what earlier runs kept, nothing of its own.
    bool sendPending = false;
    StaticString2048_t comments;
    StaticString1024_t additional;
};

// One file of the report. Its entry name is unique within the report (a second "a.log" from another
// folder becomes "a (2).log") and names both the archive entry and the copy in the report folder.
// A file that could not be copied (full disk, unwritable or unusable folder, a name the folder
// cannot hold) is still sent, read from where it was found.
struct ReportFile
{
    ReportFile() = default;
    // A file whose copy is in the report folder under `entryName`.
    ReportFile(const FilePath& entryName) : name(entryName), copied(true) {}

    FilePath name;
    // The file the report took it from; the archive reads it when there is no copy, and only while
    // `source` still names the file that was checked (`identity`, when valid).
    FilePath source;
    FileIdentity identity;
    bool copied = false;
};

// What report preparation gives: the dated report folder (empty when none could be made) and the
// report's files in copy order. Read-only once prepared; the dialog and the sender only read it.
struct Report
{
    FilePath reportFolder;
    std::vector<ReportFile> reportFiles;
    // Set when the report has a state file and this run holds its lock (see PendingReports.h):
    // the sender then keeps the state up to date.
    bool tracked = false;
};

extern CVar crash_url;
extern CVar script_errors_url;
extern CVar ElasticsearchUrl;
extern CVar retry_count;
extern CVar retry_wait_sec;
extern CVar ElasticsearchTimeoutSec;
extern CVar crash_sendOnCancel;
extern CVar zip_threads;

// The reporter's version ("major.minor.patch") and the User-Agent its requests carry
// ("MorvexCrashReporter/<version> (Linux)").
extern const char* const kReporterVersion;
extern const char* const kReporterUserAgent;

// The configuration script's name; it is looked for in the working directory, then beside the
// executable.
constexpr const char* kConfigFileName = "crash-reporter.cfg";

// Exit codes of the process.
enum : int32
{
    kExitOk = 0,
    kExitInitFailed = 1,
    kExitMissingArguments = 2,
    kExitNothingToSend = 3,
};

int32 CrashReporterEntry();
// `--help` or `--version` (any token that is not the value of another switch): prints the usage or
// the version with the executable's build id to `out` and returns kExitOk; -1 when neither was asked
// for. Nothing else happens in such a run (no folder, no log file, no report).
int32 PrintHelpOrVersion(FILE* out);
bool InitCrashReporter();
// Runs the configuration script: "crash-reporter.cfg" in the working directory, else the one beside
// the executable. Returns the path of the script that ran (empty: none).
FilePath RunConfiguration();
// Says at Info which script ran (`ran`), or that none was found, and gives every URL variable whose
// value is no URL a Warning (an unquoted "//" starts a comment in scripts, so `set crash_url
// http://...` leaves "http:").
void ReportConfiguration(const FilePath& ran);
int32 CrashReporterMain();
// Fills the settings from the command line: kExitOk, or kExitMissingArguments when --id or
// --dump-path is missing outside a test run. Selects the language as a side effect.
int32 ReadRunSettings(CrashReporterSettings& settings);
void SelectLanguage(StrView language);

// Report preparation: makes a report folder of this run's own (0700, "<date time>" or, when another
// run took that name, "<date time> (2)" and so on; under the user data folder when the one under
// --user-path cannot be made) and copies the dump and the --wc matches into it (0600 each). Takes
// only regular files from the patterns, and a symbolic link only when its target lies inside the
// pattern's folder (others are skipped with a Warning). Returns the number of files the report
// holds, copied or to be read from their sources: 0 only when nothing could be read.
uint32 PrepareReportData(const CrashReporterSettings& settings, Report& report);
// Hands the first `size` bytes of an open file to `sink` in pieces of at most kReportCopyChunk bytes
// through `buffer` (that large), so that a dump of any size needs only that much memory. Returns the
// number of bytes the sink took; less than `size` when the file ended early or the sink refused a
// piece (*readShort tells which, when given).
constexpr uint32 kReportCopyChunk = 1u << 20;
using ReportChunkSink = bool (*)(void* context, const char* data, uint32 length);
uint64 StreamFileContent(File& file, uint64 size, char* buffer, ReportChunkSink sink, void* context,
                         bool* readShort = nullptr);

// Copies one whole file through a 1 MiB buffer into a new file of mode 0600. False without a
// message when the source cannot be opened (*sourceOpened, when given, tells that case apart);
// false with an Error when it is too large, cannot be read whole, or the copy cannot be created
// (anything of that name exists already, a symbolic link included) or written (a partial copy is
// removed).
// With `expected`, a source that is no longer that file (its path was pointed elsewhere since it was
// checked) is left out with a Warning, as if it could not be opened.
bool CopyReportFile(StrView source, StrView destination, bool* sourceOpened = nullptr,
                    const FileIdentity* expected = nullptr);

// The entry name for a file called `name` that is not taken by any of `taken`: the name itself, else
// "stem (2).ext", "stem (3).ext" and so on (the extension is what follows the last '.', when the
// name has one after its first character).
FilePath UniqueReportName(StrView name, const std::vector<ReportFile>& taken);

// Shows the crash dialog (modal). Returns kDialogSent when the report was sent from the dialog.
enum class DialogResult
{
    FailedToOpen,
    Sent,
    Cancelled,
};
// The report's archive built ahead, while the player reads the dialog, so that "Send report" only
// uploads. Start begins the build on a low-priority thread of its own (false when no thread could
// start; Take then returns null). Take waits for that build and hands its archive over (the caller
// owns the reference; `where` gets the folder it was built in) only when every file it read is still
// as it was read; it returns null, and the caller builds afresh, when a file was changed, removed
// or put back in the meantime (the player may open the report folder from the dialog), when the
// build failed, or when the archive was taken already. The report must outlive the object. Start
// and the destructor on one thread; Take on one thread at a time, never during the destructor,
// which stops a build still running and drops an archive nobody took.
class PreparedArchive
{
public:
    explicit PreparedArchive(const Report& report);
    ~PreparedArchive();
    PreparedArchive(const PreparedArchive&) = delete;
    PreparedArchive& operator=(const PreparedArchive&) = delete;
    bool Start();
    // Waits for the build to end, without taking its archive.
    void Wait();
    RawFile* Take(FilePath& where);

private:
    class Builder;
    std::unique_ptr<Builder> m_builder;
};

// Shows `report` and, when the player sends, appends the typed text to settings.comments before its
// sender starts. The sender uses `prepared` (may be null) for its archive.
DialogResult ShowCrashDialog(CrashReporterSettings& settings, const Report& report,
                             PreparedArchive* prepared);

// Runs the report sender on a thread of its own (stack 0x20000 bytes, low priority) and joins it.
// background: failed uploads are retried (a silent run, or one whose dialog could not open, where
// nobody watches).
// What a delivery did.
struct SendResult
{
    bool eventPosted = false;
    bool archiveBuilt = false;
    // The folder the archive was built in (the archive itself has no name on disk).
    FilePath archiveFolder;
    // Upload attempts made, and the outcome of the last one.
    uint32 attempts = 0;
    Net::HTTPClient::UploadOutcome last;
    // Non-zero when the hourly allowance stopped it: when the next upload is allowed.
    int64 limitedUntilMs = 0;
    // Some attempt was answered with a refusal for good (a later one may still have delivered).
    bool rejected = false;
    // After the attempts: the report is kept as pending in its state file, to be sent later.
    bool kept = false;
};

// How one report is delivered; the run's own report and a pending one differ only here.
struct DeliveryOptions
{
    bool postEvent = true;
    int32 maxAttempts = 1;
    // Retry failed uploads (background mode), waiting retry_wait_sec (or what the server's
    // Retry-After asks, within the same clamp) between attempts; never after the last one.
    bool background = false;
    // The archive built ahead, when there is one and it still matches the report's files.
    PreparedArchive* prepared = nullptr;
};

// Posts the event (when asked), builds the archive and uploads it with the report fields, attempt
// by attempt, each upload taken from the hourly allowance of the settings' user path. Drives the
// HTTP client on the calling thread.
SendResult DeliverReport(const CrashReporterSettings& settings, const Report& report,
                         const DeliveryOptions& options);
SendResult RunSenderThread(const CrashReporterSettings& settings, const Report& report, bool background,
                           PreparedArchive* prepared = nullptr);

// Tells the crash dialog that its sender has finished and how (an MX_CRASH_DIALOG_SEND_* value; the
// dialog then closes, after saying so when the report was not delivered).
using DialogNotifyFn = void (*)(uint64 dialog, int outcome);

// The report sender: posts the event, packs the report's files into an anonymous temporary zip
// archive (in the temporary folder, else the report folder, else the user data folder), uploads it
// with the report fields (retrying in background mode) and drops it. Reads the settings, the report
// and the reporter's console variables; nothing may change them while it runs, and both must
// outlive the sender (it is joined before they go).
class SenderThread : public ThreadBase
{
public:
    SenderThread(const CrashReporterSettings& settings, const Report& report)
        : settings(settings), report(report)
    {
        SetName("SenderThread");
    }
    void Run() override;

    const CrashReporterSettings& settings;
    const Report& report;

    // The folder the archive of this run was built in (the archive itself has no name on disk).
    FilePath archivePath;
    // Retry failed uploads (background mode).
    bool background = false;
    // The archive built ahead (may be null).
    PreparedArchive* prepared = nullptr;
    // What the run did; complete once Run has returned.
    SendResult result;
};

// The dialog's sender: the run above, then notify(dialog, outcome) so that the dialog closes.
class DialogSenderThread : public SenderThread
{
public:
    DialogSenderThread(const CrashReporterSettings& settings, const Report& report)
        : SenderThread(settings, report)
    {
        SetName("DialogSenderThread");
    }
    void Run() override;
    // What the dialog is told: an MX_CRASH_DIALOG_SEND_* value (delivered in a test run).
    int DialogOutcome() const;

    DialogNotifyFn notify = nullptr;
    uint64 dialog = 0;
};

// The stack size and priority every sender thread starts with.
constexpr uint32 kSenderStackSize = 0x20000;

// The upload address: script_errors_url in script-errors mode, else crash_url; the built-in fallback
// when that is empty; always ending with '/'.
String ChooseUploadUrl(bool scriptErrors);
// The upload fields in their order: Id, Comments, ProductName, Platform, Additional, and
// ScriptErrorsFile in script-errors mode.
void BuildReportFields(const CrashReporterSettings& settings, Dict& out);
// The wait between attempts in milliseconds: retry_wait_sec clamped to 0 ... 3600 seconds.
uint32 RetryWaitMs(int32 seconds);
// The platform name sent with every report.
constexpr const char* kReportPlatform = "Linux64";

// The dialog's sender. StartDialogSender starts it on a thread of its own and returns at once (false
// when the thread could not start, and then notify is never called); when the sender has finished it
// calls notify(dialog) on its own thread, in a test run too. The caller appends the user's text to
// settings.comments before the call; settings and report must stay until JoinDialogSender, which
// waits for the sender and returns what it told the dialog (an MX_CRASH_DIALOG_SEND_* value), or
// -1 when none was started. Main thread only; at most one dialog sender per run.
bool StartDialogSender(const CrashReporterSettings& settings, const Report& report, DialogNotifyFn notify,
                       uint64 dialog, PreparedArchive* prepared = nullptr);
int JoinDialogSender();

// The Elasticsearch event. AddElasticEvent posts one document built from settings.product and
// settings.additional to ElasticsearchUrl (nothing when the variable is empty) and logs a failure
// at Error; sender thread only, never in a test run. The pieces are separate for tests:
// FormatElasticTimestamp writes "2022-12-14T10:20:30.123Z" (UTC) for a time in ms since 1970;
// BuildElasticEventDocument returns the whole document, every string value JSON-escaped and never
// cut; SendElasticEvent posts it synchronously through the HTTP client (the caller's thread drives
// the client) and logs "AddElasticEvent: <ErrorCode::...>" and the document when the request fails
// or the server answers 400 or above, and "AddElasticEvent: the server answered %d (a redirect, not
// followed)" and the document for a 3xx answer; the whole request is limited to
// ElasticsearchTimeoutSec seconds. AppendJsonEscaped appends text escaped for a JSON string, with
// every ill-formed UTF-8 part replaced by U+FFFD.
// True when the event reached the index (or none is configured), so that it need not be posted again.
bool AddElasticEvent(const CrashReporterSettings& settings);
void FormatElasticTimestamp(int64 timeMs, StaticString32_t& out);
String BuildElasticEventDocument(StrView product, StrView additional, StrView timestamp);
bool SendElasticEvent(StrView url, StrView document);
void AppendJsonEscaped(String& out, StrView text);
} // namespace Morvex
