#pragma once
// Helpers shared by the test suites.

#include "Core/Assert.h"
#include "Core/CVar.h"
#include "Core/Log.h"
#include "Core/Memory/Pool.h"

#include <string>
#include <vector>

namespace Morvex::Test
{
// Records every failed assertion instead of ending the process, for the life of the object.
class AssertRecorder
{
public:
    struct Record
    {
        std::string file;
        int line;
        std::string expression;
        std::string message; // empty when none was given
        bool hasMessage;
    };

    AssertRecorder();
    ~AssertRecorder();
    AssertRecorder(const AssertRecorder&) = delete;
    AssertRecorder& operator=(const AssertRecorder&) = delete;

    const std::vector<Record>& Records() const { return m_records; }
    size_t Count() const { return m_records.size(); }
    bool Saw(const std::string& expression) const;
    void Clear() { m_records.clear(); }

private:
    static void Handler(const char* file, int32 line, const char* expression, const char* message);
    AssertHandler m_previous;
    AssertRecorder* m_outer;
    std::vector<Record> m_records;
};

// A sink that keeps what it receives, registered for its lifetime with the given mask.
class CapturingSink : public LogSink
{
public:
    struct Line
    {
        uint32 level;
        std::string file;
        int32 line;
        std::string text;
    };

    explicit CapturingSink(uint32 mask = Log::kMaskAll, bool registerNow = true);
    ~CapturingSink() override;
    void Write(uint32 level, const char* file, int32 line, const char* text) override;

    const std::vector<Line>& Lines() const { return m_lines; }
    bool Contains(const std::string& text) const;
    bool Contains(uint32 level, const std::string& text) const;
    size_t CountContaining(const std::string& text) const;
    void Clear() { m_lines.clear(); }

private:
    bool m_registered;
    std::vector<Line> m_lines;
};

// Runs a program (argv[0] is its path) in `workingDirectory` (empty: the current one), with extra
// environment entries "NAME=value" added to ours, and collects its exit code and output. exitCode is
// the exit status, or 128 + signal number when a signal ended it.
struct ProcessResult
{
    int exitCode = -1;
    std::string out;
    std::string err;
};
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory = "",
                         const std::vector<std::string>& extraEnvironment = {});

// The same program started without waiting for it: Signal it, then Wait for its result. The
// destructor kills and collects a child that is still running.
class ChildProcess
{
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& workingDirectory = "",
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    int Pid() const { return m_pid; }
    void Signal(int signal);
    ProcessResult Wait();

private:
    int m_pid = -1;
    void* m_out = nullptr; // FILE*
    void* m_err = nullptr;
    ProcessResult m_result;
};

// The argv prefix that runs a program as the unprivileged user "nobody" when this process is root
// (setpriv), and nothing otherwise: permission tests then hold for root too.
std::vector<std::string> AsUnprivilegedUser();

// A local calendar time as seconds since 1970 (daylight saving time as the system says).
int64 LocalCalendarTime(int year, int month, int day, int hour, int minute, int second);
// Sets a file's last-write (and last-access) time; false when the system refuses.
bool SetFileTime(const std::string& path, int64 secondsSince1970);

// A small tmpfs mounted at a fresh folder for the life of the object, to make a full disk. Active()
// is false where mounting is not allowed (not root, or no mount namespace rights): tests skip then.
class ScopedTmpfs
{
public:
    explicit ScopedTmpfs(uint64 bytes);
    ~ScopedTmpfs();
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
    bool Active() const { return m_active; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    bool m_active = false;
};

// Sets a console variable from text for the life of the object, then restores its previous text.
class ScopedCVar
{
public:
    ScopedCVar(CVar& var, const char* value) : m_var(var), m_old(var.GetS()) { m_var.SetS(StrView(value)); }
    ~ScopedCVar() { m_var.SetS(StrView(m_old.c_str())); }
    ScopedCVar(const ScopedCVar&) = delete;
    ScopedCVar& operator=(const ScopedCVar&) = delete;

private:
    CVar& m_var;
    std::string m_old;
};

// Console variables set from text for the life of the object; each keeps the text it had before,
// and they are restored in the reverse order (so a variable set twice ends as it began).
class ScopedCVars
{
public:
    ScopedCVars() = default;
    ~ScopedCVars();
    ScopedCVars(const ScopedCVars&) = delete;
    ScopedCVars& operator=(const ScopedCVars&) = delete;
    void Set(CVar& var, const std::string& value);

private:
    std::vector<std::pair<CVar*, std::string>> m_saved;
};

// Sets an environment variable for the life of the object, then restores it (or removes it again).
class ScopedEnvironment
{
public:
    ScopedEnvironment(const char* name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::string m_old;
    bool m_had = false;
};

// Limits the size of files this process may write (RLIMIT_FSIZE) for the life of the object, with
// SIGXFSZ ignored, so that writes past the limit fail short the way a full disk makes them fail.
// Active() is false when the limit could not be set.
class ScopedFileSizeLimit
{
public:
    explicit ScopedFileSizeLimit(uint64 bytes);
    ~ScopedFileSizeLimit();
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;
    bool Active() const { return m_active; }

private:
    bool m_active = false;
    uint64 m_savedCurrent = 0;
    void (*m_savedHandler)(int) = nullptr;
};

// A fresh temporary directory, removed with everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string Join(const std::string& name) const { return m_path + "/" + name; }
    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;

private:
    std::string m_path;
};

// A folder inside a TempDir (created with its parents), with the same helpers; removed with it.
class SubDir
{
public:
    SubDir(const TempDir& parent, const std::string& relative);
    const std::string& Path() const { return m_path; }
    std::string Join(const std::string& name) const { return m_path + "/" + name; }
    void WriteFile(const std::string& name, const std::string& content) const;
    std::string ReadFile(const std::string& name) const;

private:
    std::string m_path;
};

// The newest pool of the global pool list whose name starts with `prefix` ("Core/RawFile:"), copied
// into `out` when given; false when no pool of that name is listed.
bool FindPool(const std::string& prefix, Memory::Pool::Info* out = nullptr);
} // namespace Morvex::Test
