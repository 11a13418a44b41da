#ifndef MORVEX_CRASH_DIALOG_MODULE_H
#define MORVEX_CRASH_DIALOG_MODULE_H
/* The seam between the crash reporter and its dialog module (libCrashReporterDialog.so, loaded at
 * run time from the executable's directory so that the reporter itself never links a toolkit).
 * Plain C: no toolkit type crosses this boundary. The reporter fills an MxCrashDialogDesc, looks
 * up MX_CRASH_DIALOG_ENTRY and calls it on its main thread; the call runs the modal dialog and
 * returns one of the MX_CRASH_DIALOG_* results. */

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#define MX_CRASH_DIALOG_MODULE_FILE "libCrashReporterDialog.so"
#define MX_CRASH_DIALOG_ENTRY "MxCrashDialog_Run"
/* Bumped whenever MxCrashDialogDesc changes; a module refuses a description of another version. */
#define MX_CRASH_DIALOG_VERSION 3

    enum
    {
        MX_CRASH_DIALOG_FAILED_TO_OPEN = 0, /* no display, toolkit start failed, bad description */
        MX_CRASH_DIALOG_SENT = 1,           /* the sender reported done while the dialog was open */
        MX_CRASH_DIALOG_CANCELLED = 2,      /* cancel button, Escape or the close box, in any state */
        MX_CRASH_DIALOG_REPAIR = 3          /* repair button (I/O-failure mode); the launcher, if any, has
                                               been started (or failed to start, which is only logged) */
    };

    /* What a finished sender tells the dialog (see MxCrashDialogNotifyFn). */
    enum
    {
        MX_CRASH_DIALOG_SEND_KEPT = 0,      /* not delivered; kept, and sent by a later run */
        MX_CRASH_DIALOG_SEND_DELIVERED = 1, /* delivered */
        MX_CRASH_DIALOG_SEND_FAILED = 2     /* not delivered, and it will not be sent later (refused
                                               for good, or it could not be kept) */
    };

    /* Log levels passed to the log callback; the values are the reporter's own level bits. */
    enum
    {
        MX_CRASH_DIALOG_LOG_INFO = 2,
        MX_CRASH_DIALOG_LOG_WARNING = 4,
        MX_CRASH_DIALOG_LOG_ERROR = 8
    };

    /* Localized UTF-8 texts, already looked up by the caller. A null pointer counts as an empty text;
     * invalid UTF-8 is shown with replacement characters; no text is ever read as markup. */
    typedef struct MxCrashDialogTexts
    {
        const char* windowTitle;       /* "WINDOW_TITLE" */
        const char* crashDesc;         /* "CRASH_DESC" */
        const char* ioCrashDesc;       /* "IO_CRASH_DESC" */
        const char* pleaseDescribe;    /* "PLEASE_DESCRIBE" */
        const char* pressRepairDesc;   /* "PRESS_REPAIR_DESC" */
        const char* sendReportButton;  /* "SEND_REPORT_BUTTON" */
        const char* repairButton;      /* "REPAIR_BUTTON" */
        const char* cancelButton;      /* "CANCEL_BUTTON" */
        const char* sorryText;         /* "SORRY_TEXT" */
        const char* progressText;      /* "PROGRESS_TEXT" */
        const char* reportContentLink; /* "REPORT_CONTENT_LINK" */
        const char* headerText;        /* "HEADER_TEXT" */
        const char* sendFailedText;    /* "SEND_FAILED_TEXT" */
        const char* sendNotSentText;   /* "SEND_NOT_SENT_TEXT" */
    } MxCrashDialogTexts;

    /* Tells an open dialog that its sender has finished, and how (an MX_CRASH_DIALOG_SEND_* value);
     * the dialog then closes with MX_CRASH_DIALOG_SENT, at once when the report was delivered, else
     * after it has shown sendFailedText (kept for later) or sendNotSentText (anything else) for a
     * moment. Safe from any thread, any number of times, and also after the dialog has closed (a
     * stale `dialog` value is ignored). */
    typedef void (*MxCrashDialogNotifyFn)(uint64_t dialog, int outcome);

    /* Called on the dialog's (main) thread once, when the user presses send. `userText` is the
     * description box's UTF-8 text (never null, possibly empty), valid only during the call. The
     * callee appends it to its comments, starts its sender and returns at once; when the sender is
     * done it calls notifyDone(dialog) from whatever thread it is on. Returns non-zero when the sender
     * started; zero means notifyDone will never be called, and the dialog then closes with
     * MX_CRASH_DIALOG_CANCELLED so that the caller sends the report itself. */
    typedef int (*MxCrashDialogStartSendingFn)(void* context, const char* userText,
                                               MxCrashDialogNotifyFn notifyDone, uint64_t dialog);

    /* Log callback: level is one of MX_CRASH_DIALOG_LOG_*, text a finished UTF-8 line. May be called
     * on the dialog's thread only. */
    typedef void (*MxCrashDialogLogFn)(void* context, int level, const char* text);

    typedef struct MxCrashDialogDesc
    {
        uint32_t version; /* MX_CRASH_DIALOG_VERSION */
        uint32_t size;    /* sizeof(MxCrashDialogDesc) */
        MxCrashDialogTexts texts;
        int ioCrash;              /* non-zero: I/O-failure mode (repair button, no description box) */
        const char* reportFolder; /* opened by the link; null or empty: the link opens nothing */
        const char* launcherPath; /* started by the repair button; null or empty: nothing starts */
        MxCrashDialogStartSendingFn startSending; /* required */
        MxCrashDialogLogFn log;                   /* optional */
        void* context;                            /* handed back to every callback */
    } MxCrashDialogDesc;

    /* The entry point's type. Runs the modal dialog on the calling thread and returns an
     * MX_CRASH_DIALOG_* result; a null or mismatched description returns FAILED_TO_OPEN. Not
     * re-entrant: one dialog at a time per process. */
    typedef int (*MxCrashDialogRunFn)(const MxCrashDialogDesc* desc);

#ifdef __cplusplus
}
#endif

#endif /* MORVEX_CRASH_DIALOG_MODULE_H */
