#pragma once
// The Collector program as a child process of a test: started, waited for until it listens, and
// stopped with SIGTERM.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace Morvex::Test
{
// A running Collector; stopped with SIGTERM when the object goes.
class CollectorProcess
{
public:
    CollectorProcess(const std::string& path, std::vector<std::string> args)
    {
        args.insert(args.begin(), path);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
        // Wait (at most 10 s) for the ready line.
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (m_pid > 0 && m_port == 0 && std::chrono::steady_clock::now() < end)
        {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[512];
            ssize_t n = read(m_out, buf, sizeof(buf));
            if (n <= 0)
                break;
            m_output.append(buf, static_cast<size_t>(n));
            size_t at = m_output.find("Collector listening on 127.0.0.1:");
            if (at != std::string::npos && m_output.find('\n', at) != std::string::npos)
                m_port = std::atoi(m_output.c_str() + at + 33);
        }
    }
    ~CollectorProcess() { Stop(); }

    // SIGTERM and wait; returns the exit code (-1 when it did not end normally).
    int Stop()
    {
        if (m_pid <= 0)
            return m_exit;
        kill(m_pid, SIGTERM);
        int status = 0;
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
        {
        }
        m_pid = -1;
        char buf[4096];
        ssize_t n;
        while ((n = read(m_out, buf, sizeof(buf))) > 0)
            m_output.append(buf, static_cast<size_t>(n));
        close(m_out);
        m_exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_exit;
    }
    int port() const { return m_port; }
    std::string Url(const std::string& path) const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    const std::string& output() const { return m_output; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_port = 0;
    int m_exit = -1;
    std::string m_output;
};
} // namespace Morvex::Test
