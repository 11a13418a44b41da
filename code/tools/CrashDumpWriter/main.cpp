// CrashDumpWriter: started by a crashing game's crash hook. Reads the crash record the hook sends
// on --record-fd, writes <dump folder>/<fresh id>.dmp from the stopped game, lets the game go and
// starts the crash reporter with --id and the switches after "--", from the reporter's folder.
//
//   CrashDumpWriter --record-fd N --dump-path DIR [--max-bytes N] [--reporter PATH] -- <switches>
//   CrashDumpWriter --pid PID --dump-path DIR [--id ID] [--max-bytes N]     (a snapshot, no crash)
//
// It never waits long: after two minutes the system ends it, and the game's threads, seized rather
// than attached, run on by themselves.

#include "CrashHook/MinidumpWriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Morvex::CrashHook;

namespace
{
bool ReadAll(int fd, void* into, size_t size)
{
    auto* p = static_cast<char*>(into);
    while (size > 0)
    {
        const ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0)
    {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// 32 hex digits from the system's random source.
std::string FreshId()
{
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof(bytes))
    {
        const ssize_t n = getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof(bytes))
    {
        // No random source: the time and the process id still make it unique on this machine.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        std::snprintf(reinterpret_cast<char*>(bytes), sizeof(bytes), "%lx%x", static_cast<long>(now.tv_nsec),
                      static_cast<unsigned>(getpid()));
    }
    std::string id;
    char hex[3];
    for (unsigned char b : bytes)
    {
        std::snprintf(hex, sizeof(hex), "%02x", b);
        id += hex;
    }
    return id;
}

// mkdir -p, new folders private to the player.
bool MakeFolders(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at)
    {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st
    {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Written under a temporary name and renamed: the reporter never sees half a dump.
bool WriteDump(const std::string& path, const std::vector<uint8_t>& bytes)
{
    const std::string temporary = path + ".partial";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
}

// The reporter, in a session of its own (the game is about to end) and its own folder as the
// working directory, so that the crash-reporter.cfg beside it is read.
void StartReporter(const std::string& reporter, const std::string& id,
                   const std::vector<std::string>& switches)
{
    if (access(reporter.c_str(), X_OK) != 0)
    {
        std::fprintf(stderr, "CrashDumpWriter: the crash reporter '%s' cannot be started: %s\n",
                     reporter.c_str(), std::strerror(errno));
        return;
    }
    std::vector<std::string> args = {reporter, "--id", id};
    args.insert(args.end(), switches.begin(), switches.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string folder =
        reporter.find('/') == std::string::npos ? "." : reporter.substr(0, reporter.rfind('/') + 1);
    const pid_t child = fork();
    if (child == 0)
    {
        // Nothing of the game's terminal input: the reporter asks the player through its dialog.
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            dup2(null, 0);
        setsid();
        if (chdir(folder.c_str()) != 0)
            _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (child < 0)
        std::fprintf(stderr, "CrashDumpWriter: the crash reporter could not be started: %s\n",
                     std::strerror(errno));
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: CrashDumpWriter --record-fd N --dump-path DIR [--max-bytes N] [--reporter PATH] "
                 "-- <reporter switches>\n"
                 "       CrashDumpWriter --pid PID --dump-path DIR [--id ID] [--max-bytes N]\n");
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    // Never hold the game for long, whatever happens here.
    alarm(120);
    signal(SIGPIPE, SIG_IGN);
    int recordFd = -1;
    int pid = 0;
    std::string dumpFolder, reporter, id;
    DumpOptions options;
    std::vector<std::string> reporterSwitches;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--")
        {
            reporterSwitches.assign(argv + i + 1, argv + argc);
            break;
        }
        else if (arg == "--record-fd" && hasValue)
            recordFd = std::atoi(argv[++i]);
        else if (arg == "--pid" && hasValue)
            pid = std::atoi(argv[++i]);
        else if (arg == "--dump-path" && hasValue)
            dumpFolder = argv[++i];
        else if (arg == "--reporter" && hasValue)
            reporter = argv[++i];
        else if (arg == "--id" && hasValue)
            id = argv[++i];
        else if (arg == "--max-bytes" && hasValue)
            options.maxMemoryBytes = std::strtoull(argv[++i], nullptr, 10);
        else
            return Usage();
    }
    if (dumpFolder.empty() || (recordFd < 0) == (pid <= 0))
        return Usage();
    // For the tests: the writer dies with the game's threads stopped, as a writer that crashes would.
    if (const char* fail = std::getenv("MX_CRASH_DUMP_WRITER_TEST_FAIL");
        fail != nullptr && std::strcmp(fail, "after-stop") == 0)
        options.afterThreadsStopped = [] { _exit(70); };

    MxCrashRecord record{};
    const MxCrashRecord* crash = nullptr;
    if (recordFd >= 0)
    {
        // The record comes from our parent, the crashed game, and describes it.
        if (!ReadAll(recordFd, &record, sizeof(record)) || record.magic != MX_CRASH_RECORD_MAGIC ||
            record.version != MX_CRASH_RECORD_VERSION || record.size != sizeof(record) ||
            record.pid != getppid())
        {
            std::fprintf(stderr, "CrashDumpWriter: no valid crash record on descriptor %d\n", recordFd);
            return 3;
        }
        close(recordFd);
        crash = &record;
        pid = record.pid;
    }
    if (id.empty())
        id = FreshId();
    for (char c : id)
        if (c == '/' || c == 0)
            return Usage();

    std::vector<uint8_t> bytes;
    const DumpResult result = WriteMinidump(pid, crash, options, bytes);
    const std::string path = dumpFolder + "/" + id + ".dmp";
    bool written = false;
    if (!result.ok)
        std::fprintf(stderr, "CrashDumpWriter: no dump: %s\n", result.notes.c_str());
    else if (!MakeFolders(dumpFolder) || !WriteDump(path, bytes))
        std::fprintf(stderr, "CrashDumpWriter: could not write '%s': %s\n", path.c_str(),
                     std::strerror(errno));
    else
    {
        written = true;
        std::fprintf(stderr, "CrashDumpWriter: wrote %s (%u threads, %u modules, %llu bytes of memory)%s%s\n",
                     path.c_str(), result.threads, result.modules,
                     static_cast<unsigned long long>(result.memoryBytes), result.notes.empty() ? "" : "; ",
                     result.notes.c_str());
    }
    // Without a dump the reporter still sends the game's files.
    if (!reporter.empty())
        StartReporter(reporter, id, reporterSwitches);
    return written ? 0 : 1;
}
