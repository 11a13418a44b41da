/* The crash hook: signal handlers that hand a crash to the dump writer.
 *
 * Everything the handler needs is made at install time: the writer's whole argument list, the
 * alternate stack. At crash time the handler only makes system calls (pipe, clone, execve, prctl,
 * write, waitpid, sigaction, tgkill): it never allocates and takes no lock, so a crash inside the
 * heap's own work, or with the heap's lock held, is handled like any other. */

#define _GNU_SOURCE
#include "CrashHook/CrashHook.h"

#include "CrashHook/CrashRecord.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

extern char** environ;

enum
{
    kMaxText = 4096,
    kMaxWildcards = 64,
    kMaxArgs = 24 + 2 * kMaxWildcards,
    kAltStackBytes = 64 * 1024,
};

static const int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP};
#define SIGNAL_COUNT ((int)(sizeof(kSignals) / sizeof(kSignals[0])))

/* The writer's command line, made at install time. Replaced by a later install; the old one is
 * kept (a crash on another thread may be reading it). */
static char** volatile g_argv;
static struct sigaction g_previous[SIGNAL_COUNT];
static int g_installed;
/* The thread whose crash is being handled (0: none). */
static volatile pid_t g_crashingTid;
static pthread_key_t g_stackKey;
/* Where the writer's child stops closing descriptors when the system cannot close a range. */
static int g_maxDescriptors = 1024;
static pthread_once_t g_keyOnce = PTHREAD_ONCE_INIT;

static char* CopyText(const char* text)
{
    const size_t length = strlen(text);
    char* copy = (char*)malloc(length + 1);
    if (copy != NULL)
        memcpy(copy, text, length + 1);
    return copy;
}

/* A path as given when absolute, else made absolute against the working directory now: the writer
 * starts the reporter from the reporter's own folder. */
static char* CopyPath(const char* path)
{
    if (path[0] == '/')
        return CopyText(path);
    char cwd[kMaxText + 1];
    if (getcwd(cwd, sizeof(cwd)) == NULL)
        return CopyText(path);
    const size_t a = strlen(cwd);
    const size_t b = strlen(path);
    char* copy = (char*)malloc(a + 1 + b + 1);
    if (copy != NULL)
    {
        memcpy(copy, cwd, a);
        copy[a] = '/';
        memcpy(copy + a + 1, path, b + 1);
    }
    return copy;
}

static int Given(const char* text)
{
    return text != NULL && text[0] != 0;
}

static int TooLong(const char* text)
{
    return text != NULL && strnlen(text, kMaxText + 1) > kMaxText;
}

static void FreeArgs(char** argv)
{
    if (argv == NULL)
        return;
    for (char** arg = argv; *arg != NULL; ++arg)
        free(*arg);
    free(argv);
}

/* CrashDumpWriter --record-fd 3 --dump-path D --max-bytes N --reporter R -- <the reporter's
 * switches but --id, which the writer adds with the dump's fresh id>. */
static char** BuildArgs(const MxCrashHookConfig* c)
{
    char** argv = (char**)calloc(kMaxArgs + 1, sizeof(char*));
    if (argv == NULL)
        return NULL;
    int n = 0;
    int ok = 1;
#define ADD(text) (ok = ok && (argv[n] = CopyText(text)) != NULL, ++n)
#define ADD_PATH(text) (ok = ok && (argv[n] = CopyPath(text)) != NULL, ++n)
    char* reporter = CopyPath(c->reporterPath);
    if (reporter == NULL)
    {
        free(argv);
        return NULL;
    }
    if (Given(c->writerPath))
        ADD_PATH(c->writerPath);
    else
    {
        /* Beside the reporter. */
        const char* slash = strrchr(reporter, '/');
        const size_t folder = slash ? (size_t)(slash - reporter + 1) : 0;
        char* path = (char*)malloc(folder + sizeof("CrashDumpWriter"));
        if (path != NULL)
        {
            memcpy(path, reporter, folder);
            memcpy(path + folder, "CrashDumpWriter", sizeof("CrashDumpWriter"));
        }
        argv[n++] = path;
        ok = path != NULL;
    }
    char bytes[32];
    const unsigned long long maxBytes = c->maxDumpBytes ? (unsigned long long)c->maxDumpBytes : 64ull << 20;
    {
        /* Decimal, without stdio. */
        char reversed[32];
        int r = 0;
        unsigned long long v = maxBytes;
        do
        {
            reversed[r++] = (char)('0' + v % 10);
            v /= 10;
        } while (v != 0);
        for (int i = 0; i < r; ++i)
            bytes[i] = reversed[r - 1 - i];
        bytes[r] = 0;
    }
    ADD("--record-fd");
    ADD("3");
    ADD("--dump-path");
    ADD_PATH(c->dumpFolder);
    ADD("--max-bytes");
    ADD(bytes);
    ADD("--reporter");
    ADD(reporter);
    ADD("--");
    ADD("--dump-path");
    ADD_PATH(c->dumpFolder);
    if (Given(c->userPath))
    {
        ADD("--user-path");
        ADD_PATH(c->userPath);
    }
    if (Given(c->product))
    {
        ADD("--product");
        ADD(c->product);
    }
    for (uint32_t i = 0; i < c->wildcardCount; ++i)
    {
        if (!Given(c->wildcards[i]))
            continue;
        ADD("--wc");
        ADD_PATH(c->wildcards[i]);
    }
    if (Given(c->additional))
    {
        ADD("--additional");
        ADD(c->additional);
    }
    if (c->silent)
        ADD("--silent");
#undef ADD
#undef ADD_PATH
    free(reporter);
    if (!ok)
    {
        FreeArgs(argv);
        return NULL;
    }
    return argv;
}

static void SendAll(int fd, const void* data, size_t size)
{
    const char* p = (const char*)data;
    while (size > 0)
    {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        size -= (size_t)n;
    }
}

static void FillRecord(MxCrashRecord* record, int sig, const siginfo_t* info, const ucontext_t* context,
                       pid_t tid)
{
    memset(record, 0, sizeof(*record));
    record->magic = MX_CRASH_RECORD_MAGIC;
    record->version = MX_CRASH_RECORD_VERSION;
    record->size = sizeof(*record);
    record->pid = getpid();
    record->tid = tid;
    record->signal = sig;
    record->code = info ? info->si_code : 0;
    /* Only a signal the kernel raised for a fault has an address; for one sent by a process
     * (abort, raise) the same bytes hold the sender's ids. */
    record->faultAddress = info && info->si_code > 0 ? (uint64_t)(uintptr_t)info->si_addr : 0;
#if defined(__x86_64__)
    if (context != NULL)
    {
        for (int i = 0; i < 23; ++i)
            record->gregs[i] = (uint64_t)context->uc_mcontext.gregs[i];
        if (context->uc_mcontext.fpregs != NULL)
        {
            memcpy(record->floatState, context->uc_mcontext.fpregs, sizeof(record->floatState));
            record->hasFloatState = 1;
        }
    }
#else
    (void)context;
#endif
}

/* Starts the writer, hands it the crash and waits until it has written the dump and started the
 * reporter. */
static void HandleCrash(int sig, siginfo_t* info, ucontext_t* context, pid_t tid)
{
    char** argv = g_argv;
    if (argv == NULL || argv[0] == NULL)
        return;
    MxCrashRecord record;
    FillRecord(&record, sig, info, context, tid);

    /* A socket rather than a pipe: a writer that never started closes its end, and a send with
     * MSG_NOSIGNAL then fails instead of killing the game with SIGPIPE. */
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    /* A raw clone: fork() would run the process's fork handlers, which may take locks the crash
     * left held. */
    const long child = syscall(SYS_clone, (unsigned long)SIGCHLD, 0, 0, 0, 0);
    if (child == 0)
    {
        /* The writer starts clean: no signal blocked (the crash signal is, here) or ignored (an
         * ignored SIGALRM would disable its time limit), and none of the game's descriptors but
         * the record's (the reporter it starts would hold the game's sockets and locks). */
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, NULL);
        struct sigaction defaults;
        memset(&defaults, 0, sizeof(defaults));
        defaults.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            if (sig != SIGKILL && sig != SIGSTOP)
                sigaction(sig, &defaults, NULL);
        if (fds[0] == 3)
            fcntl(3, F_SETFD, 0);
        else if (dup2(fds[0], 3) != 3)
            syscall(SYS_exit_group, 126);
        if (syscall(SYS_close_range, 4u, ~0u, 0u) != 0)
            for (int fd = 4; fd < g_maxDescriptors; ++fd)
                close(fd);
        execve(argv[0], argv, environ);
        syscall(SYS_exit_group, 127);
    }
    close(fds[0]);
    if (child > 0)
    {
        /* The writer reads this process with ptrace: allowed here even where only ancestors may
         * trace (Yama ptrace_scope 1). The record goes only once the permission is there. */
        prctl(PR_SET_PTRACER, (unsigned long)child, 0, 0, 0);
        SendAll(fds[1], &record, sizeof(record));
        close(fds[1]);
        int status;
        while (waitpid((pid_t)child, &status, 0) < 0 && errno == EINTR)
        {
        }
        prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    }
    else
        close(fds[1]);
}

static int SignalIndex(int sig)
{
    for (int i = 0; i < SIGNAL_COUNT; ++i)
        if (kSignals[i] == sig)
            return i;
    return -1;
}

static void Chain(int sig, siginfo_t* info, void* context)
{
    const int index = SignalIndex(sig);
    if (index < 0)
        return;
    const struct sigaction* previous = &g_previous[index];
    if (previous->sa_flags & SA_SIGINFO)
    {
        if (previous->sa_sigaction != NULL)
            previous->sa_sigaction(sig, info, context);
    }
    else if (previous->sa_handler != SIG_DFL && previous->sa_handler != SIG_IGN &&
             previous->sa_handler != NULL)
        previous->sa_handler(sig);
}

/* Ends the process with `sig`: the default action, sent to this thread, arrives as soon as the
 * handler returns (the signal is blocked until then). */
static void DieWith(int sig, pid_t tid)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, NULL);
    syscall(SYS_tgkill, getpid(), tid, sig);
}

static void Handler(int sig, siginfo_t* info, void* context)
{
    const int savedErrno = errno;
    const pid_t tid = (pid_t)syscall(SYS_gettid);
    pid_t expected = 0;
    if (!__atomic_compare_exchange_n(&g_crashingTid, &expected, tid, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST))
    {
        if (expected != tid)
        {
            /* Another thread is handling its crash; the process ends with it. */
            for (;;)
            {
                struct timespec second = {1, 0};
                nanosleep(&second, NULL);
            }
        }
        /* A crash within the handling of this thread's crash: no second attempt. */
        DieWith(sig, tid);
        errno = savedErrno;
        return;
    }
    HandleCrash(sig, info, (ucontext_t*)context, tid);
    Chain(sig, info, context);
    DieWith(sig, tid);
    errno = savedErrno;
}

static void FreeThreadStack(void* stack)
{
    stack_t disable;
    memset(&disable, 0, sizeof(disable));
    disable.ss_flags = SS_DISABLE;
    sigaltstack(&disable, NULL);
    munmap(stack, kAltStackBytes);
}

static void MakeStackKey(void)
{
    pthread_key_create(&g_stackKey, FreeThreadStack);
}

int MxCrashHook_InitThread(void)
{
#if !defined(__x86_64__)
    return MX_CRASH_HOOK_UNSUPPORTED;
#else
    stack_t current;
    if (sigaltstack(NULL, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
        current.ss_size >= kAltStackBytes)
        return MX_CRASH_HOOK_OK;
    pthread_once(&g_keyOnce, MakeStackKey);
    void* stack = mmap(NULL, kAltStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return MX_CRASH_HOOK_NO_MEMORY;
    stack_t alternate;
    memset(&alternate, 0, sizeof(alternate));
    alternate.ss_sp = stack;
    alternate.ss_size = kAltStackBytes;
    if (sigaltstack(&alternate, NULL) != 0)
    {
        munmap(stack, kAltStackBytes);
        return MX_CRASH_HOOK_SYSTEM_ERROR;
    }
    /* Freed by the key's destructor when the thread ends (never for the main thread). */
    pthread_setspecific(g_stackKey, stack);
    return MX_CRASH_HOOK_OK;
#endif
}

int MxCrashHook_Install(const MxCrashHookConfig* config)
{
#if !defined(__x86_64__)
    (void)config;
    return MX_CRASH_HOOK_UNSUPPORTED;
#else
    if (config == NULL || config->size < sizeof(MxCrashHookConfig) || !Given(config->reporterPath) ||
        !Given(config->dumpFolder) || config->wildcardCount > kMaxWildcards ||
        (config->wildcardCount > 0 && config->wildcards == NULL))
        return MX_CRASH_HOOK_BAD_CONFIG;
    if (TooLong(config->reporterPath) || TooLong(config->dumpFolder) || TooLong(config->userPath) ||
        TooLong(config->product) || TooLong(config->additional) || TooLong(config->writerPath))
        return MX_CRASH_HOOK_BAD_CONFIG;
    for (uint32_t i = 0; i < config->wildcardCount; ++i)
        if (TooLong(config->wildcards[i]))
            return MX_CRASH_HOOK_BAD_CONFIG;

    char** argv = BuildArgs(config);
    if (argv == NULL)
        return MX_CRASH_HOOK_NO_MEMORY;
    const int stack = MxCrashHook_InitThread();
    if (stack != MX_CRASH_HOOK_OK)
    {
        FreeArgs(argv);
        return stack;
    }
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
        g_maxDescriptors = files.rlim_cur > 65536 ? 65536 : (int)files.rlim_cur;
    /* The calls the handler makes through the C library are bound now, not at crash time. */
    (void)syscall(SYS_gettid);
    (void)getpid();

    g_argv = argv; /* the previous list stays: a crash on another thread may be reading it */
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = Handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < SIGNAL_COUNT; ++i)
    {
        struct sigaction previous;
        if (sigaction(kSignals[i], &action, &previous) != 0)
            return MX_CRASH_HOOK_SYSTEM_ERROR;
        /* A second install keeps the handlers from before the first. */
        if (!g_installed)
            g_previous[i] = previous;
    }
    g_installed = 1;
    return MX_CRASH_HOOK_OK;
#endif
}

void MxCrashHook_Uninstall(void)
{
    if (!g_installed)
        return;
    for (int i = 0; i < SIGNAL_COUNT; ++i)
        sigaction(kSignals[i], &g_previous[i], NULL);
    g_installed = 0;
}
