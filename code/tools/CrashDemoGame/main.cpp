// CrashDemoGame: a small game that crashes on purpose, to show (and test) the crash hook. It keeps
// a log file that two threads write to, installs the hook, and crashes the way it is asked:
//
//   CrashDemoGame --reporter PATH --dumps DIR --user DIR [--writer PATH] [--silent]
//                 [--crash segv|stack-overflow|abort|fpe|ill|bus|trap|heap] [--thread main|worker|both]
//                 [--max-dump-bytes N] [--chain-marker FILE] [--ignore-sigalrm]
//
// --chain-marker installs a SIGSEGV and SIGABRT handler before the hook, which appends a line to FILE.
//
// The log is DIR/logs/game.log under --user, sent with the report through --wc.

#include "CrashHook/CrashHook.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
std::string g_mode = "segv";
std::FILE* g_log = nullptr;
std::atomic<int> g_ready{0};

void Log(const char* who, const char* text)
{
    if (g_log != nullptr)
    {
        std::fprintf(g_log, "[%s] %s\n", who, text);
        std::fflush(g_log);
    }
}

// Each way of crashing is a function of its own, so that backtraces name it.
__attribute__((noinline)) void CrashDemo_WriteThroughNull()
{
    volatile int* nowhere = nullptr;
    *nowhere = 42;
}

// Deeper than any stack: the guard page below the stack stops it.
__attribute__((noinline)) int CrashDemo_Recurse(int depth)
{
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth < 0)
        return frame[0];
    return CrashDemo_Recurse(depth + 1) + frame[0];
}

__attribute__((noinline)) int CrashDemo_DivideByZero()
{
    volatile int zero = 0;
    return 42 / zero;
}

__attribute__((noinline)) void CrashDemo_TouchTruncatedFile()
{
    char path[] = "/tmp/crash-demo-bus.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    unlink(path);
    if (ftruncate(fd, 4096) != 0)
        std::abort();
    auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (page == MAP_FAILED || ftruncate(fd, 0) != 0)
        std::abort();
    page[0] = 1; // the file no longer has this page: SIGBUS
}

__attribute__((noinline)) void CrashDemo_DoubleFree()
{
    // glibc notices and aborts from inside free(), with its heap lock held.
    char* volatile block = static_cast<char*>(std::malloc(64));
    std::free(block);
    std::free(block);
}

__attribute__((noinline)) void CrashDemo_Crash()
{
    if (g_mode == "segv")
        CrashDemo_WriteThroughNull();
    else if (g_mode == "stack-overflow")
        CrashDemo_Recurse(0);
    else if (g_mode == "abort")
        std::abort();
    else if (g_mode == "fpe")
        CrashDemo_DivideByZero();
    else if (g_mode == "ill")
        __builtin_trap();
    else if (g_mode == "bus")
        CrashDemo_TouchTruncatedFile();
    else if (g_mode == "trap")
        raise(SIGTRAP);
    else if (g_mode == "heap")
        CrashDemo_DoubleFree();
    std::fprintf(stderr, "CrashDemoGame: unknown --crash %s\n", g_mode.c_str());
    std::exit(2);
}

__attribute__((noinline)) void UpdateLevel(const char* who)
{
    Log(who, "updating level 3");
    CrashDemo_Crash();
}

// A handler the game had before the hook: the hook calls it after the dump.
const char* g_chainMarker = nullptr;
void PreviousHandler(int, siginfo_t*, void*)
{
    const int fd = open(g_chainMarker, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0)
    {
        const char text[] = "previous handler ran\n";
        if (write(fd, text, sizeof(text) - 1) < 0)
        {
        }
        close(fd);
    }
}

void RenderThread(bool crashHere, bool both)
{
    MxCrashHook_InitThread();
    for (int frame = 0;; ++frame)
    {
        char line[64];
        std::snprintf(line, sizeof(line), "frame %d", frame);
        Log("render", line);
        if (frame == 3)
            g_ready = 1;
        if (crashHere && frame == 5)
        {
            if (both)
                while (g_ready.load() < 2)
                {
                }
            UpdateLevel("render");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}
} // namespace

int main(int argc, char** argv)
{
    std::string reporter, dumps, user, writer, where = "main";
    bool silent = false;
    unsigned long long maxDumpBytes = 0;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--silent")
            silent = true;
        else if (arg == "--reporter")
            reporter = value, ++i;
        else if (arg == "--dumps")
            dumps = value, ++i;
        else if (arg == "--user")
            user = value, ++i;
        else if (arg == "--writer")
            writer = value, ++i;
        else if (arg == "--crash")
            g_mode = value, ++i;
        else if (arg == "--thread")
            where = value, ++i;
        else if (arg == "--ignore-sigalrm")
            signal(SIGALRM, SIG_IGN);
        else if (arg == "--chain-marker")
            g_chainMarker = value, ++i;
        else if (arg == "--max-dump-bytes")
            maxDumpBytes = std::strtoull(value, nullptr, 10), ++i;
        else
        {
            std::fprintf(stderr, "CrashDemoGame: unknown switch %s\n", arg.c_str());
            return 2;
        }
    }
    if (reporter.empty() || dumps.empty() || user.empty())
    {
        std::fprintf(stderr, "usage: CrashDemoGame --reporter PATH --dumps DIR --user DIR [--crash MODE] "
                             "[--thread main|worker|both] [--silent]\n");
        return 2;
    }
    const std::string logs = user + "/logs";
    mkdir(user.c_str(), 0700);
    mkdir(logs.c_str(), 0700);
    g_log = std::fopen((logs + "/game.log").c_str(), "w");
    Log("main", "CrashDemoGame started");

    if (g_chainMarker != nullptr)
    {
        struct sigaction action = {};
        action.sa_sigaction = PreviousHandler;
        action.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &action, nullptr);
        sigaction(SIGABRT, &action, nullptr);
    }

    // The one call a game makes.
    const std::string pattern = logs + "/*.log";
    const char* wildcards[] = {pattern.c_str()};
    MxCrashHookConfig config = {};
    config.size = sizeof(config);
    config.reporterPath = reporter.c_str();
    config.dumpFolder = dumps.c_str();
    config.userPath = user.c_str();
    config.product = "CrashDemoGame";
    config.additional = "version-type=demo;build=1";
    config.wildcards = wildcards;
    config.wildcardCount = 1;
    config.silent = silent ? 1 : 0;
    config.maxDumpBytes = maxDumpBytes;
    config.writerPath = writer.empty() ? nullptr : writer.c_str();
    const int installed = MxCrashHook_Install(&config);
    if (installed != MX_CRASH_HOOK_OK)
    {
        std::fprintf(stderr, "CrashDemoGame: the crash hook could not be installed (%d)\n", installed);
        return 1;
    }

    const bool both = where == "both";
    std::thread render(RenderThread, where == "worker" || both, both);
    while (g_ready.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (where == "main" || both)
    {
        if (both)
            g_ready = 2;
        UpdateLevel("main");
    }
    render.join();
    return 0;
}
