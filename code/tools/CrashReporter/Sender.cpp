// The report sender: the event, the archive, the upload with its retries.

#include "CrashReporter.h"

#include "CrashDialogModule.h"

#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/IO/RawFile.h"
#include "Core/IO/SimpleZip.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Timing/PlatformTime.h"
#include "Net/HTTPClient.h"
#include "ParallelDeflate.h"
#include "PendingReports.h"

#include <chrono>
#include <memory>
#include <thread>

namespace Morvex
{
CVar zip_threads(CVarType::Int, "zip_threads", CVAR_ARCHIVE, "0",
                 "threads that deflate large report files (0: one per processor)", 0, 64);

namespace
{
// Used when the configured address is empty. Reports then go to a collector on this machine, which
// is where a developer build expects one; deployments always configure their own.
constexpr const char* kFallbackUploadUrl = "http://localhost/submit/";

constexpr int32 kMaxRetryWaitSec = 3600;

// Helper threads for deflating large files: zip_threads, or one per processor.
uint32 CompressionThreads()
{
    const int32 configured = zip_threads.GetInt();
    if (configured > 0)
        return static_cast<uint32>(configured);
    const int32 processors = Platform_GetLogicalProcessorCount();
    return processors > 0 ? static_cast<uint32>(processors) : 1u;
}

// Adds one report file to the archive: its copy in the report folder, or the file it came from when
// it could not be copied. A file that cannot be opened is left out without a message, as is usual for
// files that vanish after a crash (or that the player removed from the folder); a read that fails
// half-way leaves the entry with what was read and says so. False only when the archive itself
// refused a write (a full disk): the archive is then unusable.
bool AddFileToArchive(SimpleZip& zip, const FilePath& folder, const ReportFile& report, char* buffer)
{
    FilePath path;
    if (report.copied)
    {
        path = folder;
        if (!path.TryAppendPath(report.name.view()))
            return true;
    }
    else
        path = report.source;
    File file;
    if (path.empty() || !FileSystem::OpenRaw(file, path.view(), EFileOpenMode::kRead))
        return true;
    // A source read at send time, perhaps minutes after it was listed: it must still be the file
    // that was checked, not something its path was pointed at meanwhile.
    if (!report.copied && report.identity.valid && !(file.GetRawFile()->GetIdentity() == report.identity))
    {
        MX_LOG_WARNING("'%s' is no longer the file that was listed; it is left out", path.c_str());
        return true;
    }
    const uint64 size = file.GetSize();
    if (size > kDeflatePieceBytes)
    {
        // Large files (the dump) are deflated in pieces on every core, still as one stream.
        if (!zip.BeginRawFile(report.name.c_str(), SimpleZip::Fastest, size, file.GetLastWriteTime()))
            return false;
        const DeflateResult deflated = DeflateInPieces(
            size, SimpleZip::DeflateLevel(SimpleZip::Fastest), CompressionThreads(),
            [](void* context, char* into, uint32 length)
            { return static_cast<File*>(context)->Read(into, length); },
            &file,
            [](void* context, const char* data, uint32 length)
            { return static_cast<SimpleZip*>(context)->Write(data, static_cast<int32>(length)); },
            &zip);
        if (deflated.readShort)
            MX_LOG_ERROR("Could not read '%s' whole (%llu of %llu bytes)", path.c_str(),
                         static_cast<unsigned long long>(deflated.bytesIn),
                         static_cast<unsigned long long>(size));
        const bool ended = zip.EndRawFile(deflated.bytesIn, deflated.crc32);
        file.Close();
        return deflated.ok && ended;
    }
    // The entry is dated by the file it holds (a copy keeps its source's date).
    if (!zip.BeginFile(report.name.c_str(), SimpleZip::Fastest, size, file.GetLastWriteTime()))
        return false;
    bool readShort = false;
    const uint64 done = StreamFileContent(
        file, size, buffer,
        [](void* context, const char* data, uint32 length)
        { return static_cast<SimpleZip*>(context)->Write(data, static_cast<int32>(length)); },
        &zip, &readShort);
    if (readShort)
        MX_LOG_ERROR("Could not read '%s' whole (%llu of %llu bytes)", path.c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(size));
    const bool written = readShort || done == size;
    const bool ended = zip.EndFile();
    file.Close();
    return written && ended;
}

// Builds the archive into an anonymous file in `folder`: it has no name on disk, so nothing is left
// behind however the process ends, and no other process can open or replace it. Returns a handle
// that reads the finished archive, or null when the folder cannot hold it whole.
RawFile* BuildArchiveIn(StrView folder, const Report& report, char* buffer)
{
    RawFile* writer = RawFile::CreateAnonymous(folder);
    if (writer == nullptr)
        return nullptr;
    bool ok;
    {
        SimpleZip zip;
        ok = zip.Create(*writer);
        for (const ReportFile& file : report.reportFiles)
        {
            if (!ok)
                break;
            ok = AddFileToArchive(zip, report.reportFolder, file, buffer);
        }
        ok = zip.Close() && ok;
    }
    RawFile* reader = ok ? writer->OpenReader() : nullptr;
    writer->DropRef();
    return reader;
}

// The archive goes to the temporary folder, else the report folder, else the user data folder: a
// full or unwritable temporary folder must not keep the report from being sent.
RawFile* BuildArchive(const Report& report, FilePath& where)
{
    std::unique_ptr<char[]> buffer(new char[kReportCopyChunk]);
    FilePath folders[3];
    folders[0] = Platform_GetTempFolder();
    folders[1] = report.reportFolder;
    if (Platform_IsPostInited())
        folders[2] = Platform_GetUserDataFolder();
    for (const FilePath& folder : folders)
    {
        if (folder.empty())
            continue;
        if (RawFile* archive = BuildArchiveIn(folder, report, buffer.get()))
        {
            where = folder;
            return archive;
        }
        MX_LOG_WARNING("Could not build the archive in '%s'", folder.c_str());
    }
    return nullptr;
}

void SleepMs(uint32 ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

DialogSenderThread* GDialogSender = nullptr;
} // namespace

String ChooseUploadUrl(bool scriptErrors)
{
    const char* configured = scriptErrors ? script_errors_url.GetS() : crash_url.GetS();
    const StrView text(Str::Empty(configured) ? kFallbackUploadUrl : configured);
    // The slash ends the path: it goes before a query ("...?key=abc") or a fragment, never after.
    uint32 pathEnd = 0;
    while (pathEnd < text.length() && text[pathEnd] != '?' && text[pathEnd] != '#')
        ++pathEnd;
    const StrView path = text.substr(0, pathEnd);
    String url(path);
    if (!path.ends_with("/"))
        url.Append('/');
    url.Append(text.substr(pathEnd));
    return url;
}

void BuildReportFields(const CrashReporterSettings& settings, Dict& out)
{
    out.Set("Id", settings.id.view());
    out.Set("Comments", settings.comments.view());
    out.Set("ProductName", settings.product.view());
    out.Set("Platform", kReportPlatform);
    out.Set("Additional", settings.additional.view());
    if (!settings.scriptErrorsPath.empty())
        out.Set("ScriptErrorsFile", settings.scriptErrorsPath.view());
}

uint32 RetryWaitMs(int32 seconds)
{
    // A negative or huge value would wrap in milliseconds; an hour is already longer than any
    // server outage a player's machine should wait for.
    if (seconds < 0)
        seconds = 0;
    if (seconds > kMaxRetryWaitSec)
        seconds = kMaxRetryWaitSec;
    return static_cast<uint32>(seconds) * 1000u;
}

SendResult DeliverReport(const CrashReporterSettings& s, const Report& report, const DeliveryOptions& options)
{
    SendResult result;
    result.eventPosted = options.postEvent ? AddElasticEvent(s) : false;

    RawFile* archive = BuildArchive(report, result.archiveFolder);
    if (archive == nullptr)
    {
        MX_LOG_ERROR("Could not create archive");
        return result;
    }
    result.archiveBuilt = true;

    Dict fields;
    BuildReportFields(s, fields);
    String url = ChooseUploadUrl(!s.scriptErrorsPath.empty());
    uint32 waitMs = RetryWaitMs(retry_wait_sec.GetInt());
    // The file part is named as a temporary file of ours would be; the archive itself has no name.
    StaticString64_t partName;
    partName.Format("morvextmp%06u", static_cast<unsigned>(GetTimeMs() % 1000000));

    for (int32 attempt = 0; attempt < options.maxAttempts;)
    {
        // A crash loop must not flood the server: beyond the hourly allowance the report waits.
        int64 retryAtMs = 0;
        int64 slot = 0;
        if (!TakeUploadSlot(s.userPath, retryAtMs, &slot))
        {
            MX_LOG_WARNING("%d uploads were made in the last hour; the report is kept and sent later",
                           reports_maxPerHour.GetInt());
            result.limitedUntilMs = retryAtMs;
            break;
        }
        result.last = Net::HTTPClient::UploadFile(url.c_str(), "upload_file_minidump", *archive,
                                                  partName.c_str(), &fields);
        ++result.attempts;
        if (!result.last.requestSent)
            ReturnUploadSlot(s.userPath, slot); // nothing reached a server
        result.rejected =
            result.rejected || result.last.result == Net::HTTPClient::UploadOutcome::Result::Rejected;
        if (result.last.Delivered())
        {
            MX_LOG_INFO("Sent successfully");
            break;
        }
        MX_LOG_ERROR("Failed to send. Waiting...");
        if (!options.background)
        {
            MX_LOG_INFO("Not in a background mode. Will not retry sending.");
            break;
        }
        // After the last attempt there is nothing to wait for.
        if (attempt + 1 >= options.maxAttempts)
            break;
        uint32 wait = waitMs;
        if (result.last.retryAfterSec >= 0)
        {
            // The server knows best when it can take the report again (within the usual clamp).
            wait = RetryWaitMs(result.last.retryAfterSec);
            MX_LOG_INFO("The server asked to wait %u s before the next attempt", wait / 1000);
        }
        SleepMs(wait);
        ++attempt;
    }

    // The archive has no name: dropping the last handle deletes it.
    archive->DropRef();
    return result;
}

void SenderThread::Run()
{
    MX_MEMORY_TAG_SCOPE("SenderThread");
    if (settings.test)
        return;
    DeliveryOptions options;
    options.postEvent = true;
    options.maxAttempts = retry_count.GetInt();
    options.background = background;
    if (!report.tracked)
    {
        result = DeliverReport(settings, report, options);
        archivePath = result.archiveFolder;
        return;
    }
    // The run holds the report's lock and recorded it as pending before the dialog; the state is
    // brought up to date (the player's text) before anything goes out, and records the outcome, so
    // that a later run sends the report if this one cannot. On the heap: the state holds several
    // paths, and this thread's stack is small.
    auto state = std::make_unique<ReportState>();
    LoadReportState(report.reportFolder, *state, true);
    if (state->status == ReportStatus::Delivered || state->status == ReportStatus::Rejected)
    {
        // The dialog's sender got there before the player cancelled.
        MX_LOG_INFO("The report was %s already", ReportStatusName(state->status));
        result.last.result = state->status == ReportStatus::Delivered
                                 ? Net::HTTPClient::UploadOutcome::Result::Delivered
                                 : Net::HTTPClient::UploadOutcome::Result::Rejected;
        return;
    }
    state->status = ReportStatus::Pending;
    state->settings = settings;
    state->report.reportFiles = report.reportFiles;
    SaveReportState(report.reportFolder, *state);
    options.postEvent = !state->eventPosted;
    result = DeliverReport(settings, report, options);
    archivePath = result.archiveFolder;
    const bool saved = RecordOutcome(report.reportFolder, *state, result);
    result.kept = saved && state->status == ReportStatus::Pending;
}

void DialogSenderThread::Run()
{
    uint64 dlg = dialog;
    MX_ASSERT(dlg != 0);
    SenderThread::Run();
    // Posted in a test run too, so that the dialog closes the same way; it tells the player when
    // the report was kept for later, or could not be sent at all, instead of delivered.
    if (notify && dlg != 0)
        notify(dlg, DialogOutcome());
}

int DialogSenderThread::DialogOutcome() const
{
    if (settings.test || result.last.Delivered())
        return MX_CRASH_DIALOG_SEND_DELIVERED;
    return result.kept ? MX_CRASH_DIALOG_SEND_KEPT : MX_CRASH_DIALOG_SEND_FAILED;
}

SendResult RunSenderThread(const CrashReporterSettings& settings, const Report& report, bool background)
{
    SenderThread sender(settings, report);
    sender.background = background;
    if (!sender.Start(kSenderStackSize, ThreadPriority::Low))
    {
        // Without a thread the report still goes out: the main thread has nothing else to do.
        MX_LOG_WARNING("Could not start the sender thread; sending from the main thread");
        sender.Run();
        return sender.result;
    }
    sender.Join();
    return sender.result;
}

bool StartDialogSender(const CrashReporterSettings& settings, const Report& report, DialogNotifyFn notify,
                       uint64 dialog)
{
    MX_ASSERT(GDialogSender == nullptr);
    if (GDialogSender != nullptr)
        return false;
    auto* sender = new DialogSenderThread(settings, report);
    // The player is at the dialog: a failed upload is not retried.
    sender->background = false;
    sender->notify = notify;
    sender->dialog = dialog;
    if (!sender->Start(kSenderStackSize, ThreadPriority::Low))
    {
        delete sender;
        return false;
    }
    GDialogSender = sender;
    return true;
}

int JoinDialogSender()
{
    if (GDialogSender == nullptr)
        return -1;
    GDialogSender->Join();
    const int outcome = GDialogSender->DialogOutcome();
    delete GDialogSender;
    GDialogSender = nullptr;
    return outcome;
}
} // namespace Morvex
