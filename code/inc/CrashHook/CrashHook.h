#ifndef MORVEX_CRASH_HOOK_H
#define MORVEX_CRASH_HOOK_H
/*
 * The game's side of crash reporting on Linux. One call at start-up, MxCrashHook_Install, makes
 * every crash of the process (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, on any thread)
 * end like this:
 *
 *   1. the crashing thread's handler, on an alternate signal stack, starts the dump writer
 *      (CrashDumpWriter, beside the reporter unless named) and hands it the crash: signal, fault
 *      address and the thread's registers. It allocates nothing and takes no lock: everything it
 *      needs was prepared by the install call;
 *   2. the writer reads the stopped process from outside (ptrace and /proc) and writes
 *      <dumpFolder>/<fresh id>.dmp, a minidump that debuggers read, then starts the crash reporter
 *      from the reporter's folder with --id, --dump-path and the switches given here;
 *   3. the handlers that were installed before are called, and the process ends with its original
 *      signal.
 *
 * A second crash while the first is handled (another thread) waits for the first; a crash inside
 * the handling itself ends the process at once. Without the writer, no dump is made and the game
 * still ends with its signal; without the reporter, the dump is still written.
 *
 * A C interface with no dependency on the rest of the engine. x86-64 Linux.
 */

#include <stdint.h>

#ifdef __cplusplus
extern "C"
{
#endif

#if defined(__GNUC__)
#define MX_CRASH_HOOK_API __attribute__((visibility("default")))
#else
#define MX_CRASH_HOOK_API
#endif

    /* What the install call takes. Every text is copied; none need outlive the call. Null or empty
     * optional texts leave their switch out. */
    typedef struct MxCrashHookConfig
    {
        /* sizeof(MxCrashHookConfig): lets later versions grow the structure. */
        uint32_t size;
        /* The crash reporter executable (required). */
        const char* reporterPath;
        /* Where dumps are written (required); made (0700) when missing. */
        const char* dumpFolder;
        /* The reporter's --user-path, --product and --additional ("k=v;k=v"). */
        const char* userPath;
        const char* product;
        const char* additional;
        /* The reporter's --wc patterns (for instance "/path/logs/" followed by "*.log"), wildcardCount of
         * them. */
        const char* const* wildcards;
        uint32_t wildcardCount;
        /* Non-zero: --silent (no dialog; the reporter retries on its own). */
        int silent;
        /* The most bytes of memory (thread stacks first) a dump may hold; 0: 64 MiB. */
        uint64_t maxDumpBytes;
        /* The dump writer; null: "CrashDumpWriter" in the reporter's folder. */
        const char* writerPath;
    } MxCrashHookConfig;

    /* Results of MxCrashHook_Install. */
    enum
    {
        MX_CRASH_HOOK_OK = 0,
        MX_CRASH_HOOK_BAD_CONFIG = 1,   /* a required field is missing, or a text is too long */
        MX_CRASH_HOOK_NO_MEMORY = 2,    /* the install-time buffers or the alternate stack */
        MX_CRASH_HOOK_SYSTEM_ERROR = 3, /* sigaction or sigaltstack refused */
        MX_CRASH_HOOK_UNSUPPORTED = 4   /* not an x86-64 Linux build */
    };

    /* Installs the handlers (once: a second call replaces the settings) and an alternate signal stack
     * for the calling thread. Call it early on the main thread, before other threads start. */
    MX_CRASH_HOOK_API int MxCrashHook_Install(const MxCrashHookConfig* config);

    /* Gives the calling thread an alternate signal stack, so that a stack overflow on it is caught
     * too (every thread catches every other crash without it). Call it first thing in each thread the
     * game starts; the stack is freed when the thread ends. Returns MX_CRASH_HOOK_OK or
     * MX_CRASH_HOOK_NO_MEMORY / MX_CRASH_HOOK_SYSTEM_ERROR. */
    MX_CRASH_HOOK_API int MxCrashHook_InitThread(void);

    /* Puts back the handlers that were there before the install. Not for use during a crash. */
    MX_CRASH_HOOK_API void MxCrashHook_Uninstall(void);

#ifdef __cplusplus
}
#endif

#endif
