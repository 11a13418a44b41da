// The report sender: the event, the archive, the upload with its retries.

#include "CrashReporter.h"

#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/IO/SimpleZip.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Net/HTTPClient.h"

#include <chrono>
#include <memory>
#include <thread>

namespace Morvex
{
namespace
{
// Used when the configured address is empty. Reports then go to a collector on this machine, which
// is where a developer build expects one; deployments always configure their own.
constexpr const char* kFallbackUploadUrl = "http://localhost/submit/";

constexpr int32 kMaxRetryWaitSec = 3600;

// Adds one report file to the archive. A file that cannot be opened is left out without a message,
// as is usual for files that vanish after a crash; a read that fails half-way leaves the entry with
// what was read and says so.
void AddFileToArchive(SimpleZip& zip, const FilePath& folder, const FilePath& name, char* buffer)
{
    FilePath path(folder);
    path.AppendPath(name.view());
    File file;
    if (!FileSystem::OpenRaw(file, path.view(), EFileOpenMode::kRead))
        return;
    const uint64 size = file.GetSize();
    if (!zip.BeginFile(name.c_str(), SimpleZip::Fastest, size))
        return;
    bool readShort = false;
    const uint64 done = StreamFileContent(
        file, size, buffer,
        [](void* context, const char* data, uint32 length)
        { return static_cast<SimpleZip*>(context)->Write(data, static_cast<int32>(length)); },
        &zip, &readShort);
    if (readShort)
        MX_LOG_ERROR("Could not read '%s' whole (%llu of %llu bytes)", path.c_str(),
                     static_cast<unsigned long long>(done), static_cast<unsigned long long>(size));
    zip.EndFile();
    file.Close();
}

bool BuildArchive(const FilePath& archivePath)
{
    SimpleZip zip;
    if (!zip.Create(archivePath.c_str(), false))
        return false;
    std::unique_ptr<char[]> buffer(new char[kReportCopyChunk]);
    for (const FilePath& name : GReportFiles)
        AddFileToArchive(zip, GReportFolder, name, buffer.get());
    return zip.Close();
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
    String url(Str::Empty(configured) ? kFallbackUploadUrl : configured);
    if (!url.ends_with("/"))
        url.Append('/');
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

void SenderThread::Run()
{
    MX_MEMORY_TAG_SCOPE("SenderThread");
    const CrashReporterSettings& s = GSettings;
    if (s.test)
        return;

    AddElasticEvent();

    archivePath = Platform_GetTempFileName();
    if (!BuildArchive(archivePath))
    {
        MX_LOG_ERROR("Could not create archive");
        // The temporary file may exist (created empty, or partly written): it is ours to remove.
        Platform_DeleteFile(archivePath.view());
        return;
    }

    Dict fields;
    BuildReportFields(s, fields);
    String url = ChooseUploadUrl(!s.scriptErrorsPath.empty());
    uint32 waitMs = RetryWaitMs(retry_wait_sec.GetInt());

    for (int32 attempt = 0; attempt < retry_count.GetInt();)
    {
        if (Net::HTTPClient::UploadFileSync(url.c_str(), "upload_file_minidump", archivePath.c_str(),
                                            &fields))
        {
            MX_LOG_INFO("Sent successfully");
            break;
        }
        MX_LOG_ERROR("Failed to send. Waiting...");
        if (!s.silent)
        {
            MX_LOG_INFO("Not in a background mode. Will not retry sending.");
            break;
        }
        SleepMs(waitMs);
        ++attempt;
    }

    Platform_DeleteFile(archivePath.view());
}

void DialogSenderThread::Run()
{
    uint64 dlg = dialog;
    MX_ASSERT(dlg != 0);
    SenderThread::Run();
    // Posted in a test run too, so that the dialog closes the same way.
    if (notify && dlg != 0)
        notify(dlg);
}

void RunSenderThread()
{
    SenderThread sender;
    if (!sender.Start(kSenderStackSize, ThreadPriority::Low))
    {
        // Without a thread the report still goes out: the main thread has nothing else to do.
        MX_LOG_WARNING("Could not start the sender thread; sending from the main thread");
        sender.Run();
        return;
    }
    sender.Join();
}

bool StartDialogSender(DialogNotifyFn notify, uint64 dialog)
{
    MX_ASSERT(GDialogSender == nullptr);
    if (GDialogSender != nullptr)
        return false;
    auto* sender = new DialogSenderThread;
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

void JoinDialogSender()
{
    if (GDialogSender == nullptr)
        return;
    GDialogSender->Join();
    delete GDialogSender;
    GDialogSender = nullptr;
}
} // namespace Morvex
