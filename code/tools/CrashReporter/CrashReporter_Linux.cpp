// The crash dialog on Linux: the dialog itself lives in a GTK module beside the executable, loaded
// here with dlopen, so that the reporter never links a toolkit and still starts and sends where
// there is no GTK or no display. This side looks the texts up, runs the module's modal dialog,
// appends the user's text to the comments and starts the dialog's sender when asked, and waits for
// that sender before it returns.

#include "CrashDialogModule.h"
#include "CrashReporter.h"

#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Utils/Localize.h"

#include <cerrno>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

namespace Morvex
{
namespace
{
// The module stays loaded for the rest of the process: GTK cannot be unloaded safely, and a sender
// that outlives a cancelled dialog may still call the module's notify function.
MxCrashDialogRunFn LoadDialogModule()
{
    static MxCrashDialogRunFn entry = nullptr;
    static bool tried = false;
    if (tried)
        return entry;
    tried = true;
    FilePath path = Platform_GetExecutableFolder();
    if (path.empty() || !path.TryAppendPath(MX_CRASH_DIALOG_MODULE_FILE))
    {
        MX_LOG_WARNING("Crash dialog not available: the executable's directory is unknown");
        return nullptr;
    }
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
    {
        const char* why = ::dlerror();
        MX_LOG_WARNING("Crash dialog not available: %s", why ? why : path.c_str());
        return nullptr;
    }
    entry = reinterpret_cast<MxCrashDialogRunFn>(::dlsym(module, MX_CRASH_DIALOG_ENTRY));
    if (entry == nullptr)
        MX_LOG_WARNING("Crash dialog not available: %s has no entry point", path.c_str());
    return entry;
}

const char* Text(const char* key)
{
    return Localize::GetString(StrView(key), Localize::GetLanguage());
}

void LogFromDialog(void*, int level, const char* text)
{
    uint32 logLevel = Log::Info;
    if (level == MX_CRASH_DIALOG_LOG_WARNING)
        logLevel = Log::Warning;
    else if (level == MX_CRASH_DIALOG_LOG_ERROR)
        logLevel = Log::Error;
    Log::Printf(__FILE__, __LINE__, logLevel, "%s", text ? text : "");
}

// What the dialog's callbacks work on.
struct DialogContext
{
    CrashReporterSettings& settings;
    const Report& report;
    PreparedArchive* prepared;
};

// Two line feeds and then the typed text, each cut to what still fits; the two line feeds are
// added even when the box is empty. A cut never leaves half a character behind.
void AppendUserText(StaticString2048_t& comments, const char* userText)
{
    comments.Append("\n\n");
    comments.Append(userText ? userText : "");
    comments.Truncate(Str::Utf8PrefixLength(comments.view(), StaticString2048_t::kCapacity));
}

int StartSendingFromDialog(void* context, const char* userText, MxCrashDialogNotifyFn notifyDone,
                           uint64_t dialog)
{
    DialogContext& c = *static_cast<DialogContext*>(context);
    AppendUserText(c.settings.comments, userText);
    return StartDialogSender(c.settings, c.report, notifyDone, dialog, c.prepared) ? 1 : 0;
}
} // namespace

DialogResult ShowCrashDialog(CrashReporterSettings& settings, const Report& report, PreparedArchive* prepared)
{
    MxCrashDialogRunFn run = LoadDialogModule();
    if (run == nullptr)
        return DialogResult::FailedToOpen;

    const CrashReporterSettings& s = settings;
    DialogContext context{settings, report, prepared};
    MxCrashDialogDesc desc = {};
    desc.version = MX_CRASH_DIALOG_VERSION;
    desc.size = sizeof(desc);
    MxCrashDialogTexts& t = desc.texts;
    t.windowTitle = Text("WINDOW_TITLE");
    t.crashDesc = Text("CRASH_DESC");
    t.ioCrashDesc = Text("IO_CRASH_DESC");
    t.pleaseDescribe = Text("PLEASE_DESCRIBE");
    t.pressRepairDesc = Text("PRESS_REPAIR_DESC");
    t.sendReportButton = Text("SEND_REPORT_BUTTON");
    t.repairButton = Text("REPAIR_BUTTON");
    t.cancelButton = Text("CANCEL_BUTTON");
    t.sorryText = Text("SORRY_TEXT");
    t.progressText = Text("PROGRESS_TEXT");
    t.reportContentLink = Text("REPORT_CONTENT_LINK");
    t.headerText = Text("HEADER_TEXT");
    t.sendFailedText = Text("SEND_FAILED_TEXT");
    t.sendNotSentText = Text("SEND_NOT_SENT_TEXT");
    desc.ioCrash = s.ioCrash ? 1 : 0;
    desc.reportFolder = report.reportFolder.c_str();
    desc.launcherPath = s.launcherPath.c_str();
    desc.context = &context;
    desc.startSending = StartSendingFromDialog;
    desc.log = LogFromDialog;

    int result = run(&desc);
    // A sender still running after a cancel is waited for before the main flow sends on its own.
    const int sent = JoinDialogSender();
    switch (result)
    {
    case MX_CRASH_DIALOG_SENT:
        MX_LOG_INFO("Crash dialog closed: %s", sent == MX_CRASH_DIALOG_SEND_DELIVERED ? "report sent"
                                               : sent == MX_CRASH_DIALOG_SEND_KEPT ? "report kept, not sent"
                                                                                   : "report not sent");
        return DialogResult::Sent;
    case MX_CRASH_DIALOG_CANCELLED:
        MX_LOG_INFO("Crash dialog closed: cancelled");
        return DialogResult::Cancelled;
    case MX_CRASH_DIALOG_REPAIR:
        MX_LOG_INFO("Crash dialog closed: repair");
        return DialogResult::Cancelled;
    default:
        MX_LOG_WARNING("Crash dialog could not be shown");
        return DialogResult::FailedToOpen;
    }
}
} // namespace Morvex
