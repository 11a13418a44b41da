#include "TestSupport.h"

#include <sys/resource.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Morvex::Test
{
namespace
{
AssertRecorder* GCurrentRecorder = nullptr;
}

AssertRecorder::AssertRecorder() : m_previous(SetAssertHandler(&Handler)), m_outer(GCurrentRecorder)
{
    GCurrentRecorder = this;
}

AssertRecorder::~AssertRecorder()
{
    GCurrentRecorder = m_outer;
    SetAssertHandler(m_previous);
}

void AssertRecorder::Handler(const char* file, int32 line, const char* expression, const char* message)
{
    if (GCurrentRecorder == nullptr)
        return;
    GCurrentRecorder->m_records.push_back(Record{file ? file : "", line, expression ? expression : "",
                                                 message ? message : "", message != nullptr});
}

bool AssertRecorder::Saw(const std::string& expression) const
{
    for (const Record& r : m_records)
        if (r.expression == expression)
            return true;
    return false;
}

CapturingSink::CapturingSink(uint32 mask, bool registerNow) : m_registered(registerNow)
{
    if (registerNow)
        Log::AddSink(this, mask);
}

CapturingSink::~CapturingSink()
{
    if (m_registered)
        Log::RemoveSink(this);
}

void CapturingSink::Write(uint32 level, const char* file, int32 line, const char* text)
{
    m_lines.push_back(Line{level, file ? file : "", line, text ? text : ""});
}

bool CapturingSink::Contains(const std::string& text) const
{
    return CountContaining(text) > 0;
}

bool CapturingSink::Contains(uint32 level, const std::string& text) const
{
    for (const Line& l : m_lines)
        if (l.level == level && l.text.find(text) != std::string::npos)
            return true;
    return false;
}

size_t CapturingSink::CountContaining(const std::string& text) const
{
    size_t n = 0;
    for (const Line& l : m_lines)
        if (l.text.find(text) != std::string::npos)
            ++n;
    return n;
}

namespace
{
std::string ReadAll(int fd)
{
    std::string s;
    char buf[65536];
    while (true)
    {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}
} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                         const std::vector<std::string>& extraEnvironment)
{
    ChildProcess child(argv, workingDirectory, extraEnvironment);
    return child.Wait();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                           const std::vector<std::string>& extraEnvironment)
{
    // Output goes to temporary files rather than pipes so that a chatty child can never block.
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    m_out = out;
    m_err = err;
    pid_t pid = fork();
    if (pid == 0)
    {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, 0);
        if (!workingDirectory.empty() && chdir(workingDirectory.c_str()) != 0)
            _exit(126);
        for (const std::string& entry : extraEnvironment)
            putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    m_pid = pid;
}

ChildProcess::~ChildProcess()
{
    if (m_pid > 0)
    {
        Signal(SIGKILL);
        Wait();
    }
}

void ChildProcess::Signal(int signal)
{
    if (m_pid > 0)
        kill(m_pid, signal);
}

ProcessResult ChildProcess::Wait()
{
    if (m_pid <= 0)
        return m_result;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    m_pid = -1;
    if (WIFEXITED(status))
        m_result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        m_result.exitCode = 128 + WTERMSIG(status);
    FILE* out = static_cast<FILE*>(m_out);
    FILE* err = static_cast<FILE*>(m_err);
    std::rewind(out);
    std::rewind(err);
    m_result.out = ReadAll(fileno(out));
    m_result.err = ReadAll(fileno(err));
    std::fclose(out);
    std::fclose(err);
    return m_result;
}

int64 LocalCalendarTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<int64>(std::mktime(&tm));
}

bool SetFileTime(const std::string& path, int64 secondsSince1970)
{
    timespec times[2] = {{static_cast<time_t>(secondsSince1970), 0},
                         {static_cast<time_t>(secondsSince1970), 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::vector<std::string> AsUnprivilegedUser()
{
    if (geteuid() != 0)
        return {};
    return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
}

ScopedTmpfs::ScopedTmpfs(uint64 bytes)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvex-tmpfs-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
        return;
    m_path = buffer.data();
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    m_active = geteuid() == 0 && mount("tmpfs", m_path.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

ScopedTmpfs::~ScopedTmpfs()
{
    if (m_active)
        umount2(m_path.c_str(), MNT_DETACH);
    if (!m_path.empty())
        rmdir(m_path.c_str());
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/morvex-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_path = buffer.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Restore permissions a test may have taken away so that removal succeeds.
    for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(m_path, ec);
}

void TempDir::WriteFile(const std::string& name, const std::string& content) const
{
    std::filesystem::path p = std::filesystem::path(m_path) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << content;
}

SubDir::SubDir(const TempDir& parent, const std::string& relative) : m_path(parent.Join(relative))
{
    std::filesystem::create_directories(m_path);
}

void SubDir::WriteFile(const std::string& name, const std::string& content) const
{
    std::filesystem::path p = std::filesystem::path(m_path) / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << content;
}

std::string SubDir::ReadFile(const std::string& name) const
{
    std::ifstream in(std::filesystem::path(m_path) / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string TempDir::ReadFile(const std::string& name) const
{
    std::ifstream in(std::filesystem::path(m_path) / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
ScopedCVars::~ScopedCVars()
{
    while (!m_saved.empty())
    {
        auto& [var, text] = m_saved.back();
        var->SetS(StrView(text.c_str()));
        m_saved.pop_back();
    }
}

void ScopedCVars::Set(CVar& var, const std::string& value)
{
    m_saved.emplace_back(&var, var.GetS());
    var.SetS(value.c_str(), static_cast<uint32>(value.size()));
}

ScopedEnvironment::ScopedEnvironment(const char* name, const std::string& value) : m_name(name)
{
    const char* old = std::getenv(name);
    m_had = old != nullptr;
    if (old)
        m_old = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment()
{
    if (m_had)
        setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        unsetenv(m_name.c_str());
}

ScopedFileSizeLimit::ScopedFileSizeLimit(uint64 bytes)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return;
    m_savedCurrent = limit.rlim_cur;
    m_savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

ScopedFileSizeLimit::~ScopedFileSizeLimit()
{
    if (m_active)
    {
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = m_savedCurrent;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (m_savedHandler != nullptr)
        std::signal(SIGXFSZ, m_savedHandler);
}

bool FindPool(const std::string& prefix, Memory::Pool::Info* out)
{
    struct Search
    {
        const std::string& prefix;
        Memory::Pool::Info* out;
        bool found;
    } search{prefix, out, false};
    Memory::Pool::VisitAll(
        [](const Memory::Pool::Info& info, void* context)
        {
            auto* s = static_cast<Search*>(context);
            if (s->found || std::strncmp(info.name, s->prefix.c_str(), s->prefix.size()) != 0)
                return;
            s->found = true;
            if (s->out != nullptr)
                *s->out = info;
        },
        &search);
    return search.found;
}
} // namespace Morvex::Test
