// The command system: command and alias registries, the deferred buffer, the script syntax
// (command splitting, $(name) expansion, tokens) and the built-in commands.

#include "Core/CmdSystem.h"

#include "ConsoleContainers.h"
#include "Core/Assert.h"
#include "Core/CVar.h"
#include "Core/CmdStringList.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/ThreadTempAllocator.h"
#include "Core/Profiler/Profiler.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "Core/String.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace Morvex
{
namespace
{
constexpr uint32 kMaxAliases = 128;

struct Alias
{
    String name;
    String value;
};

constinit ConsoleCommand* GCommandDeclarations = nullptr;
constinit Console::NeverDestroyed<Console::PodArray<ConsoleCommand*>> GCommandStorage;
constinit Console::NeverDestroyed<Console::HashIndex> GCommandIndexStorage;
constinit Console::PodArray<ConsoleCommand*>& GCommands = GCommandStorage.value;
constinit Console::HashIndex& GCommandIndex = GCommandIndexStorage.value;
Alias GAliases[kMaxAliases];
uint32 GNumAliases = 0;
constinit Console::NeverDestroyed<Console::HashIndex> GAliasIndexStorage;
constinit Console::HashIndex& GAliasIndex = GAliasIndexStorage.value;
constinit Console::NeverDestroyed<CmdStringList> GBufferStorage;
constinit CmdStringList& GBuffer = GBufferStorage.value;
uint32 GWaitFrame = 0;
bool GInitialized = false;
uint32 GFrameNumber = 0;
double GElapsedSeconds = 0.0;
// Nesting of Execute calls (a handler may execute the buffer itself) and the expansions taken in
// the outermost one.
uint32 GExecuteDepth = 0;
uint32 GExpansions = 0;

bool IsTokenSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool StartsComment(const char* text, uint32 length, uint32 i)
{
    char c = text[i];
    if (c == '#')
        return true;
    return (c == '/' || c == '-') && i + 1 < length && text[i + 1] == c;
}

ConsoleCommand* FindCommand(const char* name, uint32 length)
{
    uint32 hash = Console::HashName(name, length, true);
    for (int32 i = GCommandIndex.First(hash); i != Console::HashIndex::kEnd; i = GCommandIndex.Next(i))
    {
        ConsoleCommand* cmd = GCommands[static_cast<uint32>(i)];
        if (cmd->name.length() == length && Console::EqualNoCase(cmd->name.data(), name, length))
            return cmd;
    }
    return nullptr;
}

int32 FindAlias(const char* name, uint32 length)
{
    uint32 hash = Console::HashName(name, length, false);
    for (int32 i = GAliasIndex.First(hash); i != Console::HashIndex::kEnd; i = GAliasIndex.Next(i))
    {
        const String& aliasName = GAliases[i].name;
        if (aliasName.length() == length && std::memcmp(aliasName.data(), name, length) == 0)
            return i;
    }
    return -1;
}

void RebuildAliasIndex()
{
    GAliasIndex.Clear();
    for (uint32 i = 0; i < GNumAliases; ++i)
        GAliasIndex.Add(Console::HashName(GAliases[i].name.data(), GAliases[i].name.length(), false), i);
}

void DefineAlias(const char* name, const char* value)
{
    MX_MEMORY_TAG_SCOPE("Core");
    if (*name == 0)
    {
        MX_LOG_WARNING("Empty alias name");
        return;
    }
    uint32 length = static_cast<uint32>(std::strlen(name));
    int32 existing = FindAlias(name, length);
    if (existing >= 0)
    {
        GAliases[existing].value.Assign(value);
        return;
    }
    if (GNumAliases >= kMaxAliases)
    {
        MX_LOG_WARNING("Max number of aliases is exceeded");
        return;
    }
    Alias& alias = GAliases[GNumAliases];
    alias.name.Assign(name, length);
    alias.value.Assign(value);
    GAliasIndex.Add(Console::HashName(name, length, false), GNumAliases);
    ++GNumAliases;
}

void RemoveAlias(const char* name)
{
    int32 index = FindAlias(name, static_cast<uint32>(std::strlen(name)));
    if (index < 0)
        return;
    for (uint32 i = static_cast<uint32>(index); i + 1 < GNumAliases; ++i)
    {
        GAliases[i].name.Swap(GAliases[i + 1].name);
        GAliases[i].value.Swap(GAliases[i + 1].value);
    }
    --GNumAliases;
    GAliases[GNumAliases].name.Release();
    GAliases[GNumAliases].value.Release();
    RebuildAliasIndex();
}

// Takes one more alias body or script into the buffer, unless this run of the buffer has taken too
// many already (recursion through aliases or exec).
bool TakeExpansion(const char* kind, const char* name)
{
    if (GExecuteDepth == 0)
        return true;
    if (GExpansions >= CmdSystem::kMaxExpansionsPerExecute)
    {
        MX_LOG_WARNING(
            "Too many alias and exec expansions in one run of the command buffer (%u), ignoring %s '%s'",
            CmdSystem::kMaxExpansionsPerExecute, kind, name);
        return false;
    }
    ++GExpansions;
    return true;
}

// Finds the end of the first command of text: the count of its characters, at most
// kMaxLineLength + 1 (what lies beyond the cut does not matter: the cut command loses one more
// character and its remainder runs as the next command either way).
uint32 FindCommandEnd(StrView text)
{
    const uint32 limit = CmdSystem::kMaxLineLength + 1;
    bool inQuotes = false;
    bool inComment = false;
    uint32 i = 0;
    for (; i < text.length() && i < limit; ++i)
    {
        char c = text[i];
        if (c == '\n' || c == '\r')
            break;
        if (c == '"')
        {
            inQuotes = !inQuotes;
            continue;
        }
        if (inQuotes || inComment)
            continue;
        if (StartsComment(text.data(), text.length(), i))
        {
            inComment = true;
            continue;
        }
        if (c == ';')
            break;
    }
    return i;
}

// Drops comments and replaces $(name) by the text of the console variable of that name.
void ExpandLine(StrView line, String& out)
{
    bool inQuotes = false;
    const char* p = line.data();
    uint32 n = line.length();
    for (uint32 i = 0; i < n; ++i)
    {
        char c = p[i];
        if (c == '"')
        {
            inQuotes = !inQuotes;
            out.Append(c);
            continue;
        }
        if (!inQuotes)
        {
            if (StartsComment(p, n, i))
                return;
            if (c == '$' && i + 1 < n && p[i + 1] == '(')
            {
                const char* close = static_cast<const char*>(std::memchr(p + i + 2, ')', n - i - 2));
                if (close == nullptr)
                {
                    out.Append("$(", 2);
                    return;
                }
                uint32 end = static_cast<uint32>(close - p);
                CVar* var = CVar::FindVar(p + i + 2, end - i - 2);
                if (var != nullptr)
                {
                    var->GetS();
                    out.Append(var->text.data(), var->text.length());
                }
                else
                    out.Append(p + i, end + 1 - i);
                i = end;
                continue;
            }
        }
        out.Append(c);
    }
}

// A growable array in a thread-temporary scope. Growing leaves the old storage to the scope, which
// releases everything at once.
template <typename T>
class TempArray
{
public:
    explicit TempArray(Allocator& allocator) : m_allocator(allocator) {}
    void PushBack(T value)
    {
        if (m_size == m_capacity)
        {
            const uint64 capacity = m_capacity == 0 ? 64 : uint64(m_capacity) * 2;
            T* grown = static_cast<T*>(m_allocator.Alloc(sizeof(T) * capacity, alignof(T)));
            if (m_size != 0)
                std::memcpy(grown, m_data, sizeof(T) * m_size);
            m_data = grown;
            m_capacity = static_cast<uint32>(capacity);
        }
        m_data[m_size++] = value;
    }
    uint32 Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    T* Data() { return m_data; }
    const T& operator[](uint32 i) const { return m_data[i]; }

private:
    Allocator& m_allocator;
    T* m_data = nullptr;
    uint32 m_size = 0;
    uint32 m_capacity = 0;
};

// Splits into tokens written one after another, each NUL-terminated, into `storage`; offsets of
// their starts go to `starts`.
template <typename Starts>
void Tokenize(const String& line, String& storage, Starts& starts)
{
    const char* p = line.data();
    uint32 n = line.length();
    uint32 i = 0;
    while (i < n)
    {
        while (i < n && IsTokenSeparator(p[i]))
            ++i;
        if (i >= n)
            break;
        uint32 begin;
        uint32 end;
        if (p[i] == '"' || p[i] == '\'')
        {
            char quote = p[i];
            begin = ++i;
            while (i < n && p[i] != quote)
                ++i;
            end = i;
            if (i < n)
                ++i;
        }
        else
        {
            begin = i;
            while (i < n && !IsTokenSeparator(p[i]) && p[i] != '"' && p[i] != '\'')
                ++i;
            end = i;
        }
        starts.PushBack(storage.length());
        storage.Append(p + begin, end - begin);
        storage.Append('\0');
    }
}

void ExecuteLine(StrView line)
{
    // The expansion, the tokens and their list live until the handler returns.
    ThreadTempAllocator temp(MX_THREAD_TEMP_NAME);
    String expanded;
    expanded.SetAllocator(&temp);
    ExpandLine(line, expanded);

    String storage;
    storage.SetAllocator(&temp);
    storage.Reserve(expanded.length() * 2 + 1);
    TempArray<uint32> starts(temp);
    Tokenize(expanded, storage, starts);
    if (starts.Empty())
        return;

    TempArray<const char*> argv(temp);
    for (uint32 i = 0; i < starts.Size(); ++i)
        argv.PushBack(storage.data() + starts[i]);
    CmdArgs args;
    args.argc = argv.Size();
    args.argv = argv.Data();

    const char* name = args.argv[0];
    uint32 nameLength = static_cast<uint32>(std::strlen(name));
    if (ConsoleCommand* cmd = FindCommand(name, nameLength))
    {
        MX_PROFILE_ZONE("CmdHandler");
        cmd->handler(args);
        return;
    }
    int32 alias = FindAlias(name, nameLength);
    if (alias >= 0 && TakeExpansion("alias", name))
    {
        const String& value = GAliases[alias].value;
        GBuffer.PushFront(value.data(), value.length());
    }
}

// --- Built-in commands --------------------------------------------------------------------------

void SetCommand(const CmdArgs& args, bool archive)
{
    if (args.Count() < 2 || args.Count() > 3)
    {
        if (archive)
            Log::ConsolePrintf("usage: /seta <cvar> [value]\n");
        else
            Log::ConsolePrintf("usage: /set <cvar> [value]\n");
        return;
    }
    CVar* var = CVar::FindVar(args[1]);
    if (var == nullptr)
    {
        MX_LOG_ERROR("cvar '%s' not found", args[1]);
        return;
    }
    if (var->GetFlags() & CVAR_READONLY)
    {
        MX_LOG_ERROR("Can't change '%s'. Keeping previous value '%s'", args[1], var->GetS());
        return;
    }
    if (args.Count() == 3)
        var->SetS(args[2]);
    else
        var->SetS(var->GetDefault());
    if (archive)
        var->AddFlags(CVAR_ARCHIVE);
}

void CmdSet(const CmdArgs& args)
{
    SetCommand(args, false);
}

void CmdSeta(const CmdArgs& args)
{
    SetCommand(args, true);
}

void CmdToggle(const CmdArgs& args)
{
    if (args.Count() < 2)
    {
        Log::ConsolePrintf("usage: /toggle <cvar> <values...>");
        return;
    }
    CVar* var = CVar::FindVar(args[1]);
    if (var == nullptr)
    {
        MX_LOG_ERROR("Can't find cvar '%s'", args[1]);
        return;
    }
    if (var->GetFlags() & CVAR_READONLY)
    {
        MX_LOG_ERROR("Can't change '%s'. Returning previous value \"%s\"\n", args[1], var->GetS());
        return;
    }
    if (args.Count() == 2)
    {
        switch (var->type)
        {
        case CVarType::Int:
            var->SetBool(var->value.i == 0);
            break;
        case CVarType::Float:
            var->SetFloat(var->value.f != 0.0f ? 0.0f : 1.0f);
            break;
        case CVarType::String:
            break;
        default:
            MX_LOG_ERROR("/toggle %s: unsupported cvar type", args[1]);
            break;
        }
        return;
    }
    const char* current = var->GetS();
    uint32 chosen = 2;
    for (uint32 i = 2; i < args.Count(); ++i)
    {
        if (std::strcmp(current, args[i]) == 0)
        {
            chosen = i + 1 < args.Count() ? i + 1 : 2;
            break;
        }
    }
    const char* value = args[chosen];
    if (var->type == CVarType::Int)
        var->SetInt(Str::ToInt(value));
    else if (var->type == CVarType::Float)
        var->SetFloat(Str::ToFloat(value));
    else
        var->SetS(value);
}

void CmdIncVar(const CmdArgs& args)
{
    if (args.Count() < 4 || args.Count() > 5)
    {
        Log::ConsolePrintf("usage: incVar <cvar> <startValue> <endValue> [<step>]");
        return;
    }
    CVar* var = CVar::FindVar(args[1]);
    if (var == nullptr)
    {
        MX_LOG_ERROR("Can't find cvar '%s'", args[1]);
        return;
    }
    if (var->type != CVarType::Int && var->type != CVarType::Float)
    {
        MX_LOG_ERROR("Only int/float cvars are supported");
        return;
    }
    if (var->GetFlags() & CVAR_READONLY)
    {
        MX_LOG_ERROR("Can't change '%s'. Returning previous value \"%s\"\n", args[1], var->GetS());
        return;
    }
    bool hasStep = args.Count() == 5;
    if (var->type == CVarType::Int)
    {
        // 64-bit arithmetic: value + step must not overflow.
        int64 start = Str::ToInt(args[2]);
        int64 end = Str::ToInt(args[3]);
        int64 step = hasStep ? Str::ToInt(args[4]) : 1;
        int64 v = static_cast<int64>(var->value.i) + step;
        int64 result = v > end ? start : (v < start ? end : v);
        var->SetInt(static_cast<int32>(result));
    }
    else
    {
        float start = Str::ToFloat(args[2]);
        float end = Str::ToFloat(args[3]);
        float step = hasStep ? Str::ToFloat(args[4]) : 1.0f;
        float v = var->value.f + step;
        float result = v > end ? start : (v < start ? end : v);
        var->SetFloat(result);
    }
}

void CmdAlias(const CmdArgs& args)
{
    if (args.Count() < 2)
    {
        Log::ConsolePrintf("usage: /alias <name> [<value>]");
        return;
    }
    if (args.Count() == 2)
    {
        int32 index = FindAlias(args[1], static_cast<uint32>(std::strlen(args[1])));
        if (index >= 0)
            Log::ConsolePrintf("%s ^5: %s", args[1], GAliases[index].value.c_str());
        else
            Log::ConsolePrintf("alias not found");
        return;
    }
    DefineAlias(args[1], args[2]);
}

void CmdUnalias(const CmdArgs& args)
{
    if (args.Count() != 2)
    {
        Log::ConsolePrintf("usage: /unalias <alias>\n");
        return;
    }
    RemoveAlias(args[1]);
}

const char* FilterOf(const CmdArgs& args)
{
    return args.Count() >= 2 ? args[1] : nullptr;
}

bool PassesFilter(const char* text, const char* filter)
{
    return filter == nullptr || Str::FindNoCase(text, filter) != nullptr;
}

void CmdAliasList(const CmdArgs& args)
{
    const char* filter = FilterOf(args);
    int32 printed = 0;
    for (uint32 i = 0; i < GNumAliases; ++i)
    {
        char line[513];
        Str::SNPrintf(line, "%s ^5: %s", GAliases[i].name.c_str(), GAliases[i].value.c_str());
        if (PassesFilter(line, filter))
        {
            Log::ConsolePrintf("%s", line);
            ++printed;
        }
    }
    Log::ConsolePrintf("%d aliases", printed);
}

void CmdCmdList(const CmdArgs& args)
{
    const char* filter = FilterOf(args);
    int32 printed = 0;
    for (uint32 i = 0; i < GCommands.Size(); ++i)
    {
        StaticString<256> name(GCommands[i]->name);
        if (PassesFilter(name.c_str(), filter))
        {
            Log::ConsolePrintf("%s", name.c_str());
            ++printed;
        }
    }
    Log::ConsolePrintf("\n%d commands", printed);
}

void CmdCvarList(const CmdArgs& args)
{
    const char* filter = FilterOf(args);
    int32 printed = 0;
    for (uint32 i = 0; i < CVar::GetNumCvars(); ++i)
    {
        CVar* var = CVar::GetCvar(i);
        char line[513];
        Str::SNPrintf(line, "%s ^5= \"%s\"", var->GetName(), var->GetS());
        if (PassesFilter(line, filter))
        {
            Log::ConsolePrintf("%s", line);
            ++printed;
        }
    }
    Log::ConsolePrintf("\n%d cvars", printed);
}

void CmdEcho(const CmdArgs& args)
{
    for (uint32 i = 1; i < args.Count(); ++i)
        Log::ConsolePrintf("%s ", args[i]);
}

// Installed by the file system's static initialisation; constant-initialised atomics, so the order
// of static initialisers does not matter. The free function is published before the reader.
constinit std::atomic<CmdSystem::ScriptReadFn> GScriptRead{nullptr};
constinit std::atomic<CmdSystem::ScriptFreeFn> GScriptFree{nullptr};

void CmdExec(const CmdArgs& args)
{
    if (args.Count() != 2)
    {
        Log::ConsolePrintf("usage: /exec <filename>");
        return;
    }
    const char* name = args[1];
    if (!TakeExpansion("exec", name))
        return;
    // A name longer than a path holds would be cut and could name another file: refuse it.
    char* data = nullptr;
    uint32 size = 0;
    const CmdSystem::ScriptReadFn read = GScriptRead.load(std::memory_order_acquire);
    const CmdSystem::ScriptFreeFn release = GScriptFree.load(std::memory_order_relaxed);
    if (std::strlen(name) > FilePath::kCapacity || read == nullptr || !read(name, data, size))
    {
        Log::ConsolePrintf("Failed to read file '%s'", name);
        return;
    }
    if (!Platform_IsDebuggerPresent())
        Log::ConsolePrintf("executing '%s'", name);
    const StrView script = Str::SkipByteOrderMark(StrView(data, size));
    const char* text = script.data();
    uint32 length = script.length();
    const void* nul = std::memchr(text, 0, length);
    if (nul != nullptr)
        length = static_cast<uint32>(static_cast<const char*>(nul) - text);
    GBuffer.PushBack(text, length);
    release(data);
}

void CmdWait(const CmdArgs& args)
{
    uint32 frames = args.Count() == 2 ? Str::ToUInt(args[1]) : 1;
    // Saturate: a huge count must pause for good, not wrap around to no pause at all.
    uint64 until = static_cast<uint64>(GFrameNumber) + frames;
    uint32 frame = until > UINT32_MAX ? UINT32_MAX : static_cast<uint32>(until);
    if (frame > GWaitFrame)
        GWaitFrame = frame;
}

void CmdUptime(const CmdArgs&)
{
    double seconds = GElapsedSeconds > 0.0 ? GElapsedSeconds : 0.0;
    uint64 ms = static_cast<uint64>(seconds * 1000.0);
    Log::ConsolePrintf("uptime %0d:%02d:%02d.%03d frame %d", static_cast<int>(ms / 3600000),
                       static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                       static_cast<int>(ms % 1000), static_cast<int>(GFrameNumber));
}

void CmdQuit(const CmdArgs&)
{
    // The quit request goes to the kernel's application event queue, which belongs to the event
    // system; this build has none, and the crash reporter has no frame loop to act on it.
}

void CmdCrash(const CmdArgs& args)
{
    const char* kind = args.Count() >= 2 ? args[1] : "";
    if (Str::EqualNoCase(kind, "assert"))
    {
        MX_ASSERT(0 > 1);
        return;
    }
    if (Str::EqualNoCase(kind, "memory"))
    {
        // Reserve 32 GiB blocks until the allocator's out-of-memory handling ends the process; the
        // blocks are never touched, so the machine is not actually filled. Deliberately leaked.
        constexpr size_t kBlock = size_t(32) << 30;
        for (;;)
        {
            void* volatile block = Memory::Alloc(kBlock, 16);
            (void)block;
        }
    }
    // The nearest Linux equivalent of an access violation: SIGSEGV on this thread, which reaches an
    // installed crash handler the same way a wild write would. Should a handler return, abort.
    std::raise(SIGSEGV);
    std::abort();
}

ConsoleCommand GCmdSet("set", "Set cvar value", CmdSet);
ConsoleCommand GCmdSeta("seta", "Set cvar value (and add CVAR_ARCHIVE flag so it will be saved)", CmdSeta);
ConsoleCommand GCmdToggle("toggle", "Cyclic toggle cvar value", CmdToggle);
ConsoleCommand GCmdIncVar("incVar", "Cyclic increment/decrement cvar value", CmdIncVar);
ConsoleCommand GCmdAlias("alias", "Add an alias", CmdAlias);
ConsoleCommand GCmdUnalias("unalias", "Remove an alias", CmdUnalias);
ConsoleCommand GCmdAliasList("aliasList", "List of aliases", CmdAliasList);
ConsoleCommand GCmdCmdList("cmdList", "List of registered commands", CmdCmdList);
ConsoleCommand GCmdCvarList("cvarList", "List of registered cvars", CmdCvarList);
ConsoleCommand GCmdEcho("echo", "Print command parameters", CmdEcho);
ConsoleCommand GCmdExec("exec", "Execute console script file", CmdExec);
ConsoleCommand GCmdWait("wait", "Delay command execution until next frame", CmdWait);
ConsoleCommand GCmdUptime("uptime", "Log application uptime", CmdUptime);
ConsoleCommand GCmdQuit("quit", "Shutdown application", CmdQuit);
ConsoleCommand GCmdCrash("crash", "Generate crash to test error handling (assert|io|memory)", CmdCrash);
} // namespace

ConsoleCommand::ConsoleCommand(const char* n, const char* d, CmdHandler h) : name(n), desc(d), handler(h)
{
    next = GCommandDeclarations;
    GCommandDeclarations = this;
}

ConsoleCommand::~ConsoleCommand()
{
    for (ConsoleCommand** link = &GCommandDeclarations; *link != nullptr; link = &(*link)->next)
    {
        if (*link == this)
        {
            *link = next;
            return;
        }
    }
    for (uint32 i = 0; i < GCommands.Size(); ++i)
    {
        if (GCommands[i] != this)
            continue;
        GCommands.Erase(i);
        GCommandIndex.Clear();
        for (uint32 j = 0; j < GCommands.Size(); ++j)
            GCommandIndex.Add(Console::HashName(GCommands[j]->name.data(), GCommands[j]->name.length(), true),
                              j);
        return;
    }
}

void CmdSystem::SetScriptFileReader(ScriptReadFn read, ScriptFreeFn release)
{
    if (read == nullptr || release == nullptr)
    {
        GScriptRead.store(nullptr, std::memory_order_release);
        return;
    }
    GScriptFree.store(release, std::memory_order_relaxed);
    GScriptRead.store(read, std::memory_order_release);
}

void CmdSystem::Init()
{
    if (GInitialized)
    {
        MX_LOG_WARNING("Don't call CmdSystem::Init() more than once");
        return;
    }
    GInitialized = true;
    GWaitFrame = 0;
    GBuffer.CheckEmpty();
    for (ConsoleCommand* cmd = GCommandDeclarations; cmd != nullptr; cmd = cmd->next)
    {
        if (cmd->handler == nullptr || cmd->name.empty())
            continue;
        if (FindCommand(cmd->name.data(), cmd->name.length()) != nullptr)
        {
            StaticString<256> name(cmd->name);
            MX_LOG_WARNING("ConCmdSystem: command '%s' already exists", name.c_str());
            continue;
        }
        MX_MEMORY_TAG_SCOPE("Core");
        GCommandIndex.Add(Console::HashName(cmd->name.data(), cmd->name.length(), true), GCommands.Size());
        GCommands.PushBack(cmd);
    }
    GCommandDeclarations = nullptr;
    CVar::RegisterCvars();
}

bool CmdSystem::IsInitialized()
{
    return GInitialized;
}

void CmdSystem::AddText(const char* text)
{
    AddText(text, text != nullptr ? static_cast<uint32>(std::strlen(text)) : 0);
}

void CmdSystem::AddText(const char* text, uint32 length)
{
    GBuffer.PushBack(text, length);
}

void CmdSystem::Execute()
{
    MX_PROFILE_ZONE("Morvex::CmdSystem::Execute");
    if (GExecuteDepth++ == 0)
        GExpansions = 0;
    char line[kMaxLineLength + 1];
    while (!GBuffer.IsEmpty() && !(GFrameNumber < GWaitFrame))
    {
        StrView text = GBuffer.Front();
        uint32 end = FindCommandEnd(text);
        uint32 copied = end < kMaxLineLength ? end : kMaxLineLength;
        std::memcpy(line, text.data(), copied);
        line[copied] = 0;
        if (end == text.length() && end <= kMaxLineLength)
            GBuffer.PopFront();
        else
            GBuffer.ConsumeFront(copied + 1);
        ExecuteLine(StrView(line, copied));
    }
    --GExecuteDepth;
}

void CmdSystem::Shutdown()
{
    GBuffer.Clear();
    RemoveAllAliases();
    GAliasIndex.Release();
    GCommands.Release();
    GCommandIndex.Release();
    CVar::ShutdownCvars();
}

void CmdSystem::ClearPending()
{
    GBuffer.Clear();
    GWaitFrame = 0;
}

void CmdSystem::RemoveAllAliases()
{
    for (uint32 i = 0; i < GNumAliases; ++i)
    {
        GAliases[i].name.Release();
        GAliases[i].value.Release();
    }
    GNumAliases = 0;
    GAliasIndex.Clear();
}

uint32 CmdSystem::GetNumAliases()
{
    return GNumAliases;
}

uint32 CmdSystem::GetNumCommands()
{
    return GCommands.Size();
}

uint32 CmdSystem::GetNumPending()
{
    return GBuffer.GetNumStrings();
}

uint32 CmdSystem::GetWaitFrame()
{
    return GWaitFrame;
}

uint32 CmdSystem::GetFrameNumber()
{
    return GFrameNumber;
}

void CmdSystem::SetFrameNumber(uint32 frame)
{
    GFrameNumber = frame;
}

double CmdSystem::GetElapsedSeconds()
{
    return GElapsedSeconds;
}

void CmdSystem::SetElapsedSeconds(double seconds)
{
    GElapsedSeconds = seconds;
}
} // namespace Morvex
