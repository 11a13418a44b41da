// Placeholder command system: keeps the declaration list; execution arrives with the full system.

#include "Core/CmdSystem.h"

#include "Core/CVar.h"

namespace Morvex
{
namespace
{
ConsoleCommand* GCommandDeclarations = nullptr;
bool GInitialized = false;
} // namespace

ConsoleCommand::ConsoleCommand(const char* n, const char* d, CmdHandler h) : name(n), desc(d), handler(h)
{
    next = GCommandDeclarations;
    GCommandDeclarations = this;
}

void CmdSystem::Init()
{
    GInitialized = true;
    CVar::RegisterCvars();
}
bool CmdSystem::IsInitialized()
{
    return GInitialized;
}
void CmdSystem::AddText(const char*) {}
void CmdSystem::AddText(const char*, uint32) {}
void CmdSystem::Execute() {}
void CmdSystem::Shutdown()
{
    CVar::ShutdownCvars();
}
} // namespace Morvex
