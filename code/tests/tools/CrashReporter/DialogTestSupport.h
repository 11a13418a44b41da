#pragma once
// Helpers of the crash dialog's tests: a private X server, programs started in the background,
// screenshots and small file utilities.

#include <string>
#include <sys/types.h>
#include <vector>

namespace Morvex::Test
{
// Path of `name` found in PATH, or empty.
std::string FindProgram(const std::string& name);

// A private Xvfb started for the life of the object. Ok() is false when Xvfb is missing or did not
// come up; Display() is then empty. The server picks a free display number itself.
class XServer
{
public:
    XServer();
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    bool Ok() const { return m_pid > 0 && !m_display.empty(); }
    const std::string& Display() const { return m_display; }
    const std::string& Error() const { return m_error; }

private:
    pid_t m_pid = -1;
    std::string m_display;
    std::string m_error;
};

// A program running in the background with its output collected into files of `logDirectory`.
class BackgroundProcess
{
public:
    // Starts argv (argv[0] a path) in `workingDirectory` with `extraEnvironment` ("NAME=value",
    // overriding ours). Started() tells whether it runs.
    BackgroundProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                      const std::vector<std::string>& extraEnvironment, const std::string& logDirectory);
    ~BackgroundProcess(); // kills a process still running
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    bool Started() const { return m_pid > 0; }
    // Waits up to `timeoutMs` for the exit; false on time-out (the process keeps running).
    bool Wait(int timeoutMs);
    bool Running();
    int ExitCode() const { return m_exitCode; } // exit status, 128 + signal, -1 while running
    std::string Out() const;
    std::string Err() const;

private:
    pid_t m_pid = -1;
    int m_exitCode = -1;
    std::string m_outPath;
    std::string m_errPath;
};

// Runs `command` (argv, argv[0] looked up in PATH) with DISPLAY set; returns its exit code.
int RunOnDisplay(const std::string& display, std::vector<std::string> argv, std::string* output = nullptr);
// Saves the window `windowId` (an X window id; "root" for the whole screen) of `display` as a PNG;
// true when the file was written.
bool Screenshot(const std::string& display, const std::string& pngPath, const std::string& windowId = "root");
// Waits until a window whose title matches `titleRegex` is mapped; returns its id or "".
std::string WaitForWindow(const std::string& display, const std::string& titleRegex, int timeoutMs);

std::string ReadWholeFile(const std::string& path);
bool WaitForFile(const std::string& path, int timeoutMs);
// A small executable shell script at `path`.
void WriteScript(const std::string& path, const std::string& body);
// The folder that collects the screenshots of the dialog tests: <build>/dialog-screenshots.
std::string ScreenshotFolder();
} // namespace Morvex::Test
