#pragma once
// The command system: registered console commands, aliases and the deferred command buffer from
// which console script text (configuration files, exec'd files, alias bodies) is executed.
// Main thread only.

#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
// The tokens of one command line; argv[0] is the command name as typed. Valid until the handler
// returns.
struct CmdArgs
{
    uint32 argc = 0;
    const char* const* argv = nullptr;

    uint32 Count() const { return argc; }
    const char* operator[](uint32 i) const { return i < argc ? argv[i] : ""; }
};

using CmdHandler = void (*)(const CmdArgs& args);

// A statically declared command; links itself into the declaration list. Declared after
// CmdSystem::Init() it is never registered.
class ConsoleCommand
{
public:
    ConsoleCommand(const char* name, const char* desc, CmdHandler handler);
    ConsoleCommand(const ConsoleCommand&) = delete;
    ConsoleCommand& operator=(const ConsoleCommand&) = delete;

    StrView name;
    StrView desc;
    CmdHandler handler;
    ConsoleCommand* next = nullptr;
};

namespace CmdSystem
{
// Registers every declared command, then the console variables. A second call only warns.
void Init();
bool IsInitialized();
// Appends text to the back of the command buffer; null counts as empty.
void AddText(const char* text);
void AddText(const char* text, uint32 length);
// Executes buffered text until the buffer is empty or a `wait` pauses it.
void Execute();
// Empties buffer, aliases, commands and console variables; safe to call twice.
void Shutdown();
} // namespace CmdSystem
} // namespace Morvex

#define MX_CMD_CONCAT2(a, b) a##b
#define MX_CMD_CONCAT(a, b) MX_CMD_CONCAT2(a, b)
// Declares a console command at namespace scope: MX_CONSOLE_COMMAND("Core.ListThreads", "desc", Handler);
#define MX_CONSOLE_COMMAND(name, desc, handler)                                                          \
    static ::Morvex::ConsoleCommand MX_CMD_CONCAT(s_consoleCommand_, __LINE__)(name, desc, handler)
