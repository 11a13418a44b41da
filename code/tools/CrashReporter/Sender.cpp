// The report sender: Elasticsearch event, archive, upload with retries.

#include "CrashReporter.h"

namespace Morvex
{
void RunSenderThread()
{
    // A test run sends nothing; real sending arrives with threads, the zip writer and HTTP.
}

bool StartDialogSender(DialogNotifyFn notify, uint64 dialog)
{
    // Until the sender thread exists the dialog's send finishes at once.
    if (notify)
        notify(dialog);
    return true;
}

void JoinDialogSender() {}
} // namespace Morvex
