// Feeds arbitrary text to the command buffer and executes it: splitting, expansion, tokens, aliases,
// the built-in commands and the console variables of every type must neither crash nor hang.

#include "Core/Assert.h"
#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/Log.h"
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace Morvex;

namespace
{
bool RejectOdd(CVar* var, void*)
{
    return (var->value.i & 1) == 0;
}

CVar fuzz_int(CVarType::Int, "fuzz_int", 0, "1", "");
CVar fuzz_range(CVarType::Int, "fuzz_range", 0, "5", "", 0, 10);
CVar fuzz_float(CVarType::Float, "fuzz_float", 0, "0.5", "");
CVar fuzz_string(CVarType::String, "fuzz_string", 0, "text", "");
CVar fuzz_color(CVarType::Color, "fuzz_color", 0, "1 2 3 4", "");
CVar fuzz_locked(CVarType::Int, "fuzz_locked", CVAR_READONLY, "3", "");
CVar fuzz_even(CVarType::Int, "fuzz_even", CVAR_ARCHIVE, "0", "", RejectOdd);

void Harmless(const CmdArgs&)
{
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fuzz::InstallDiscardingLog();
    // Declared last, so registered before the built-in command of that name: a script must not be
    // able to end the fuzzer on purpose.
    static ConsoleCommand crashStandIn("crash", "", Harmless);
    CmdSystem::Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CmdSystem::AddText(reinterpret_cast<const char*>(data), static_cast<uint32>(size));
    CmdSystem::Execute();
    // Every input starts from an empty buffer with no pending wait and no aliases.
    CmdSystem::ClearPending();
    CmdSystem::RemoveAllAliases();
    return 0;
}
