#pragma once
// The command system: registered console commands, aliases and the deferred command buffer from
// which console script text (configuration files, exec'd files, alias bodies) is executed one
// command at a time. Command names compare ignoring ASCII case, alias names exactly.
//
// Threads: main thread only; nothing is locked. Handlers run synchronously inside Execute.

#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
// The tokens of one command line; argv[0] is the command name as typed. The strings are
// NUL-terminated and valid until the handler returns.
struct CmdArgs
{
    uint32 argc = 0;
    const char* const* argv = nullptr;

    uint32 Count() const { return argc; }
    // The i-th token, or "" past the end.
    const char* operator[](uint32 i) const { return i < argc ? argv[i] : ""; }
};

using CmdHandler = void (*)(const CmdArgs& args);

// A statically declared command; links itself at the head of the declaration list. name and desc
// are not owned and must outlive the command. A command declared after CmdSystem::Init() is never
// registered.
class ConsoleCommand
{
public:
    ConsoleCommand(const char* name, const char* desc, CmdHandler handler);
    // Takes the command out of the declaration list or the registry, so that a command made at run
    // time may go away safely.
    ~ConsoleCommand();
    ConsoleCommand(const ConsoleCommand&) = delete;
    ConsoleCommand& operator=(const ConsoleCommand&) = delete;

    StrView name;
    StrView desc;
    CmdHandler handler;
    ConsoleCommand* next = nullptr;
};

namespace CmdSystem
{
// Largest number of alias expansions and exec'd files taken into the buffer during one (outermost)
// Execute call. Past it, further expansions are refused with a warning naming the alias or file,
// so that a self-invoking alias or a script that execs itself cannot run for ever.
constexpr uint32 kMaxExpansionsPerExecute = 1024;
// Characters of one command that are executed; the rest runs as a further command.
constexpr uint32 kMaxLineLength = 1023;

// Registers every declared command (a name already taken is skipped with a warning), then the
// console variables (CVar::RegisterCvars). A second call only warns.
void Init();
bool IsInitialized();
// Appends text to the back of the command buffer; null counts as empty. The text is copied.
void AddText(const char* text);
void AddText(const char* text, uint32 length);
// Executes buffered text until the buffer is empty or a `wait` pauses it (the frame number is
// below the wait frame). Handlers may add text; it runs in the same call.
void Execute();
// Empties buffer, aliases, commands and console variables; the initialised flag stays set, so a
// later Init is refused. Safe to call twice.
void Shutdown();

// How `exec` reads a script: the whole file as `size` bytes plus a NUL into `data`, owned by the
// caller until it hands it to the matching free function; false when the file cannot be read. The
// kernel installs the file system's reader at post-initialisation (the command system sits below
// the file system, so it cannot call it directly); without a reader every `exec` reports that it
// cannot read the file.
using ScriptReadFn = bool (*)(const char* path, char*& data, uint32& size);
using ScriptFreeFn = void (*)(char* data);
// Any thread, before scripts run; null functions remove the reader.
void SetScriptFileReader(ScriptReadFn read, ScriptFreeFn release);

// Drops every pending text and clears a pending `wait` (a console reset, or between fuzz inputs).
void ClearPending();
// Removes every alias.
void RemoveAllAliases();
uint32 GetNumAliases();
uint32 GetNumCommands();
// Pending texts in the buffer.
uint32 GetNumPending();
// The frame before which execution pauses (0 after Init).
uint32 GetWaitFrame();

// The application clock: frame number and elapsed run time in seconds, advanced by an application
// with a frame loop (the crash reporter has none: both stay 0). Read by `wait` and `uptime`.
uint32 GetFrameNumber();
void SetFrameNumber(uint32 frame);
double GetElapsedSeconds();
void SetElapsedSeconds(double seconds);
} // namespace CmdSystem
} // namespace Morvex

#define MX_CMD_CONCAT2(a, b) a##b
#define MX_CMD_CONCAT(a, b) MX_CMD_CONCAT2(a, b)
// Declares a console command at namespace scope: MX_CONSOLE_COMMAND("Core.ListThreads", "desc", Handler);
#define MX_CONSOLE_COMMAND(name, desc, handler)                                                              \
    static ::Morvex::ConsoleCommand MX_CMD_CONCAT(s_consoleCommand_, __LINE__)(name, desc, handler)
