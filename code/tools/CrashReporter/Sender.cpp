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

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace Morvex
{
CVar zip_threads(CVarType::Int, "zip_threads", CVAR_ARCHIVE, "0",
                 "threads that deflate large report files (0: one per processor)", 0, 64);

// What an archive build read of one report file.
struct ArchivedFile
{
    bool opened = false; // false: left out (missing, unreadable)
    bool stable = true;  // false: the file changed while it was read
    FileStamp stamp;     // as it was opened
};

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

// The file an archive entry is read from: its copy in the report folder, or the file it came from
// when it could not be copied. Empty when no path can be formed.
FilePath ArchiveSourcePath(const FilePath& folder, const ReportFile& report)
{
    if (!report.copied)
        return report.source;
    FilePath path = folder;
    if (!path.TryAppendPath(report.name.view()))
        path.Clear();
    return path;
}

// Takes the archive's bytes, or refuses them once a build is asked to stop: the refusal ends the
// build as a full disk would, and the caller, knowing why, says nothing of it.
struct ArchiveSink
{
    SimpleZip& zip;
    const std::atomic<bool>* stop;

    static bool Write(void* context, const char* data, uint32 length)
    {
        ArchiveSink& sink = *static_cast<ArchiveSink*>(context);
        if (sink.stop != nullptr && sink.stop->load(std::memory_order_relaxed))
            return false;
        return sink.zip.Write(data, static_cast<int32>(length));
    }
};

// Adds one report file to the archive. A file that cannot be opened is left out without a message,
// as is usual for files that vanish after a crash (or that the player removed from the folder); a
// read that fails half-way leaves the entry with what was read and says so. When `seen` is given
// it receives what was read: the file's stamp as it was opened, marked unstable when the file
// changed while it was read. False only when the archive refused a write (a full disk, or a stop):
// the archive is then unusable.
bool AddFileToArchive(SimpleZip& zip, const FilePath& folder, const ReportFile& report, char* buffer,
                      const std::atomic<bool>* stop, ArchivedFile* seen)
{
    const FilePath path = ArchiveSourcePath(folder, report);
    File file;
    if (path.empty() || !FileSystem::OpenRaw(file, path.view(), EFileOpenMode::kRead))
        return true;
    // A source read at send time, perhaps minutes after it was listed: it must still be the file
    // that was checked, not something its path was pointed at meanwhile.
    if (!report.copied && report.identity.valid && !(file.GetRawFile()->GetIdentity() == report.identity))
    {
        MX_LOG_WARNING("'%s' is no longer the file that was listed; it is left out", path.c_str());
        if (seen != nullptr)
            *seen = ArchivedFile{true, true, file.GetRawFile()->GetStamp()};
        return true;
    }
    const FileStamp opened = file.GetRawFile()->GetStamp();
    const uint64 size = file.GetSize();
    ArchiveSink sink{zip, stop};
    bool written;
    bool readShort = false;
    uint64 done;
    if (size > kDeflatePieceBytes)
    {
        // Large files (the dump) are deflated in pieces on every core, still as one stream.
        if (!zip.BeginRawFile(report.name.c_str(), SimpleZip::Fastest, size, file.GetLastWriteTime()))
            return false;
        const DeflateResult deflated = DeflateInPieces(
            size, SimpleZip::DeflateLevel(SimpleZip::Fastest), CompressionThreads(),
            [](void* context, char* into, uint32 length)
            { return static_cast<File*>(context)->Read(into, length); },
            &file, ArchiveSink::Write, &sink);
        readShort = deflated.readShort;
        done = deflated.bytesIn;
        const bool ended = zip.EndRawFile(deflated.bytesIn, deflated.crc32);
        written = deflated.ok && ended;
    }
    else
    {
        // The entry is dated by the file it holds (a copy keeps its source's date).
        if (!zip.BeginFile(report.name.c_str(), SimpleZip::Fastest, size, file.GetLastWriteTime()))
            return false;
        done = StreamFileContent(file, size, buffer, ArchiveSink::Write, &sink, &readShort);
        const bool ended = zip.EndFile();
        written = (readShort || done == size) && ended;
    }
    if (readShort)
        MX_LOG_ERROR("Could not read '%s' whole (%llu of %llu bytes)", path.c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(size));
    if (seen != nullptr)
    {
        // A file written to while it was read never matches: the archive may hold a mix.
        const bool stable = !readShort && file.GetRawFile()->GetStamp() == opened;
        *seen = ArchivedFile{true, stable, opened};
    }
    file.Close();
    return written;
}

// Builds the archive into an anonymous file in `folder`: it has no name on disk, so nothing is left
// behind however the process ends, and no other process can open or replace it. Returns a handle
// that reads the finished archive, or null when the folder cannot hold it whole (or on a stop).
RawFile* BuildArchiveIn(StrView folder, const Report& report, char* buffer, const std::atomic<bool>* stop,
                        std::vector<ArchivedFile>* seen)
{
    RawFile* writer = RawFile::CreateAnonymous(folder);
    if (writer == nullptr)
        return nullptr;
    if (seen != nullptr)
        seen->assign(report.reportFiles.size(), ArchivedFile());
    bool ok;
    {
        SimpleZip zip;
        ok = zip.Create(*writer);
        for (size_t i = 0; ok && i < report.reportFiles.size(); ++i)
            ok = AddFileToArchive(zip, report.reportFolder, report.reportFiles[i], buffer, stop,
                                  seen != nullptr ? &(*seen)[i] : nullptr);
        ok = zip.Close() && ok;
    }
    RawFile* reader = ok ? writer->OpenReader() : nullptr;
    writer->DropRef();
    return reader;
}

// The archive goes to the temporary folder, else the report folder, else the user data folder: a
// full or unwritable temporary folder must not keep the report from being sent.
RawFile* BuildArchive(const Report& report, FilePath& where, const std::atomic<bool>* stop = nullptr,
                      std::vector<ArchivedFile>* seen = nullptr)
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
        if (RawFile* archive = BuildArchiveIn(folder, report, buffer.get(), stop, seen))
        {
            where = folder;
            return archive;
        }
        if (stop != nullptr && stop->load(std::memory_order_relaxed))
            return nullptr;
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

// The build ahead of the send, on a low-priority thread of its own.
class PreparedArchive::Builder : public ThreadBase
{
public:
    explicit Builder(const Report& report) : report(report) { SetName("ArchiveBuilder"); }
    void Run() override
    {
        MX_MEMORY_TAG_SCOPE("SenderThread");
        archive = BuildArchive(report, folder, &stop, &seen);
    }

    const Report& report;
    std::atomic<bool> stop{false};
    RawFile* archive = nullptr;
    FilePath folder;
    std::vector<ArchivedFile> seen;
    bool taken = false;
};

PreparedArchive::PreparedArchive(const Report& report) : m_builder(std::make_unique<Builder>(report))
{
}

PreparedArchive::~PreparedArchive()
{
    m_builder->stop.store(true, std::memory_order_relaxed);
    m_builder->Join();
    if (m_builder->archive != nullptr)
        m_builder->archive->DropRef();
}

bool PreparedArchive::Start()
{
    return m_builder->Start(kSenderStackSize, ThreadPriority::Low);
}

void PreparedArchive::Wait()
{
    m_builder->Join();
}

RawFile* PreparedArchive::Take(FilePath& where)
{
    Builder& b = *m_builder;
    if (b.taken)
        return nullptr;
    b.taken = true;
    b.Join();
    RawFile* archive = b.archive;
    b.archive = nullptr;
    if (archive == nullptr)
        return nullptr;
    // What goes out is what the folder holds now: the player may have opened it meanwhile and
    // removed, edited or put back a file.
    const Report& report = b.report;
    for (size_t i = 0; i < report.reportFiles.size(); ++i)
    {
        const ArchivedFile& seen = b.seen[i];
        const FilePath path = ArchiveSourcePath(report.reportFolder, report.reportFiles[i]);
        const FileStamp now = path.empty() ? FileStamp() : Platform_GetFileStamp(path.view());
        const bool same = seen.opened ? seen.stable && now == seen.stamp : !now.identity.valid;
        if (!same)
        {
            MX_LOG_INFO("'%s' changed while the dialog was open; the archive is built again",
                        report.reportFiles[i].name.c_str());
            archive->DropRef();
            return nullptr;
        }
    }
    MX_LOG_INFO("The archive built while the dialog was open is sent");
    where = b.folder;
    return archive;
}

SendResult DeliverReport(const CrashReporterSettings& s, const Report& report, const DeliveryOptions& options)
{
    SendResult result;
    result.eventPosted = options.postEvent ? AddElasticEvent(s) : false;

    RawFile* archive = options.prepared != nullptr ? options.prepared->Take(result.archiveFolder) : nullptr;
    if (archive == nullptr)
        archive = BuildArchive(report, result.archiveFolder);
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
    options.prepared = prepared;
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

SendResult RunSenderThread(const CrashReporterSettings& settings, const Report& report, bool background,
                           PreparedArchive* prepared)
{
    SenderThread sender(settings, report);
    sender.background = background;
    sender.prepared = prepared;
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
                       uint64 dialog, PreparedArchive* prepared)
{
    MX_ASSERT(GDialogSender == nullptr);
    if (GDialogSender != nullptr)
        return false;
    auto* sender = new DialogSenderThread(settings, report);
    // The player is at the dialog: a failed upload is not retried.
    sender->background = false;
    sender->notify = notify;
    sender->dialog = dialog;
    sender->prepared = prepared;
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
