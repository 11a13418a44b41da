// Process starts for the crash dialog. The repair button used to hand the quoted launcher path to
// the system as a whole command line with the caller's environment and directory; posix_spawn with
// argv = { path } is the direct equivalent, and since nothing here goes through a shell the path is
// never parsed, so quotes, spaces or shell characters in it cannot change what runs.

#include "Launcher.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace Morvex::CrashDialog
{
int SpawnProgram(const char* program, const char* const* argv, bool searchPath, int* pidOut)
{
    if (program == nullptr || program[0] == 0 || argv == nullptr || argv[0] == nullptr)
        return ENOENT;

    posix_spawnattr_t attr;
    int rc = posix_spawnattr_init(&attr);
    if (rc != 0)
        return rc;
    // Ignored signals survive exec: the reporter ignores SIGPIPE process-wide, and a started
    // program should not inherit that, nor the signal mask of the thread that starts it.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noMask;
    sigemptyset(&noMask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &noMask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = 0;
    // posix_spawn takes char* const[] for historical reasons; it does not modify the strings.
    char* const* args = const_cast<char* const*>(argv);
    // glibc's posix_spawn reports exec failures (missing file, no execute permission) through its
    // result, so a program that cannot run is told apart from one that started.
    rc = searchPath ? posix_spawnp(&pid, program, nullptr, &attr, args, environ)
                    : posix_spawn(&pid, program, nullptr, &attr, args, environ);
    posix_spawnattr_destroy(&attr);
    if (rc == 0 && pidOut != nullptr)
        *pidOut = pid;
    return rc;
}

int StartLauncher(const char* path)
{
    const char* argv[] = {path, nullptr};
    return SpawnProgram(path, argv, false, nullptr);
}
} // namespace Morvex::CrashDialog
