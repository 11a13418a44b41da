// Process and X server plumbing for the dialog tests. Programs are started with posix_spawn and
// an explicit environment, so no shell ever parses a test's arguments.

#include "DialogTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace Morvex::Test
{
namespace
{
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
    {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool overridden = false;
        for (const auto& x : extra)
            overridden = overridden || x.substr(0, x.find('=')) == name;
        if (!overridden)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int DecodeStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Spawns with stdout/stderr to the given files (or /dev/null) and an extra fd mapping.
pid_t Spawn(std::vector<std::string> argv, const std::string& cwd, const std::vector<std::string>& extraEnv,
            const std::string& outPath, const std::string& errPath, int passFd = -1, int passAs = -1)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.empty() ? "/dev/null" : outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, errPath.empty() ? "/dev/null" : errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (passFd >= 0)
        posix_spawn_file_actions_adddup2(&fa, passFd, passAs);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<std::string> env = MergedEnvironment(extraEnv);
    auto args = Pointers(argv);
    auto envp = Pointers(env);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0].c_str(), &fa, &attr, args.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

bool WaitPid(pid_t pid, int timeoutMs, int& exitCode)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true)
    {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
        {
            exitCode = DecodeStatus(status);
            return true;
        }
        if (r < 0 && errno != EINTR)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
} // namespace

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
    {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

XServer::XServer()
{
    std::string xvfb = FindProgram("Xvfb");
    if (xvfb.empty())
    {
        m_error = "Xvfb is not installed";
        return;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
    {
        m_error = "pipe failed";
        return;
    }
    // -displayfd makes the server choose a free display and write its number once it accepts
    // connections, so parallel test runs never collide and no polling is needed.
    constexpr int kDisplayFd = 63;
    m_pid = Spawn({xvfb, "-displayfd", std::to_string(kDisplayFd), "-screen", "0", "1600x1200x24",
                   "-nolisten", "tcp", "-noreset"},
                  "", {}, "", "", fds[1], kDisplayFd);
    ::close(fds[1]);
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (m_pid > 0 && std::chrono::steady_clock::now() < deadline)
    {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 200) > 0)
        {
            char c = 0;
            ssize_t n = ::read(fds[0], &c, 1);
            if (n == 1 && c != '\n')
            {
                number += c;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    }
    ::close(fds[0]);
    if (number.empty())
    {
        m_error = "Xvfb did not start";
        return;
    }
    m_display = ":" + number;
}

XServer::~XServer()
{
    if (m_pid > 0)
    {
        ::kill(m_pid, SIGTERM);
        int code = 0;
        if (!WaitPid(m_pid, 5000, code))
        {
            ::kill(m_pid, SIGKILL);
            WaitPid(m_pid, 5000, code);
        }
    }
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv,
                                     const std::string& workingDirectory,
                                     const std::vector<std::string>& extraEnvironment,
                                     const std::string& logDirectory)
    : m_outPath(logDirectory + "/stdout.txt"), m_errPath(logDirectory + "/stderr.txt")
{
    m_pid = Spawn(argv, workingDirectory, extraEnvironment, m_outPath, m_errPath);
}

BackgroundProcess::~BackgroundProcess()
{
    if (Running())
    {
        ::kill(m_pid, SIGKILL);
        Wait(5000);
    }
}

bool BackgroundProcess::Wait(int timeoutMs)
{
    if (m_pid <= 0)
        return true;
    if (m_exitCode != -1)
        return true;
    return WaitPid(m_pid, timeoutMs, m_exitCode);
}

bool BackgroundProcess::Running()
{
    return m_pid > 0 && !Wait(0);
}

std::string BackgroundProcess::Out() const
{
    return ReadWholeFile(m_outPath);
}

std::string BackgroundProcess::Err() const
{
    return ReadWholeFile(m_errPath);
}

int RunOnDisplay(const std::string& display, std::vector<std::string> argv, std::string* output)
{
    char pattern[] = "/tmp/dialog-test-out-XXXXXX";
    int fd = ::mkstemp(pattern);
    if (fd < 0)
        return -1;
    ::close(fd);
    // A UTF-8 locale, so that xdotool matches and prints window titles that are not ASCII.
    pid_t pid = Spawn(argv, "", {"DISPLAY=" + display, "LC_ALL=C.UTF-8"}, pattern, "");
    int code = -1;
    if (pid > 0 && !WaitPid(pid, 30000, code))
    {
        ::kill(pid, SIGKILL);
        WaitPid(pid, 5000, code);
    }
    if (output != nullptr)
        *output = ReadWholeFile(pattern);
    ::unlink(pattern);
    return code;
}

bool Screenshot(const std::string& display, const std::string& pngPath, const std::string& windowId)
{
    ::mkdir(ScreenshotFolder().c_str(), 0755);
    ::unlink(pngPath.c_str());
    if (FindProgram("import").empty())
        return false;
    return RunOnDisplay(display, {"import", "-window", windowId, pngPath}) == 0 &&
           ::access(pngPath.c_str(), R_OK) == 0;
}

std::string WaitForWindow(const std::string& display, const std::string& titleRegex, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline)
    {
        std::string out;
        if (RunOnDisplay(display, {"xdotool", "search", "--onlyvisible", "--name", titleRegex}, &out) == 0 &&
            !out.empty())
            return out.substr(0, out.find('\n'));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return std::string();
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitForFile(const std::string& path, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (::access(path.c_str(), F_OK) != 0)
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

void WriteScript(const std::string& path, const std::string& body)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
    }
    ::chmod(path.c_str(), 0755);
}

std::string ScreenshotFolder()
{
    return DIALOG_SCREENSHOT_DIR;
}
} // namespace Morvex::Test
