#include "Core/Kernel.h"

#include "Core/Assert.h"
#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/CommandLine.h"
#include "Core/Containers/LockFreeList.h"
#include "Core/IO/FileSystem.h"
#include "Core/Log.h"
#include "Core/Memory/DebugHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Profiler/Profiler.h"
#include "Core/SharedString.h"
#include "Core/Threading/TaskGraph.h"
#include "Core/Threading/Threading.h"
#include "Core/Threading/ThreadingEvent.h"
#include "Core/Utils/StackTrace.h"

#include <csignal>

namespace Morvex
{
// Read by the debug heap, which checks every block's guards on each allocation when it is set.
CVar dbg_memoryAffixVerifyOnEveryAlloc(CVarType::Int, "dbg_memoryAffixVerifyOnEveryAlloc", 0, "0",
                                       "Enable checking of memory consistency on every allocation", 0, 1,
                                       [](CVar* var, void*)
                                       {
                                           DebugHeap::SetVerifyOnEveryAlloc(var->GetBool());
                                           return true;
                                       });

namespace
{
void CmdLogUsage(const CmdArgs&)
{
    Memory::LogUsage(false);
}

void CmdLogMemoryTags(const CmdArgs&)
{
    if (MemoryTagSystem* tags = GMemoryTagSystem.load(std::memory_order_acquire))
        tags->LogReport();
}

ConsoleCommand GCmdLogUsage("Memory.LogUsage", "", CmdLogUsage);
ConsoleCommand GCmdLogMemoryTags("Memory.LogMemoryTags", "Log MemoryTags", CmdLogMemoryTags);

enum class Stage
{
    None,
    Constructed,
    PostInited,
    ShutDown,
    Destroyed,
};

class KernelImpl
{
public:
    void Construct()
    {
        Memory::Init();
        // Debug-heap blocks record their call stacks from here on, and leak reports print them.
        InstallStackTraceMemoryHooks();
        Platform_PreInit();
        Threading::Init("Main Thread");
        // Allocations are charged from here on; the main thread's root is "UNKNOWN".
        Memory::PublishTagSystem();
        MemoryTags::MarkMainThread();
        Threading::Event::InitSystem();
        LockFree::InitLinksManager();
        // Everything allocated from here until the post-initialisation, the static initialisers
        // that run after the kernel's included, is accounted to the kernel's start-up.
        m_preKernelMemoryTag = MemoryTags::Register("Core/PreKernel");
        m_preKernelScopeOpen = GMemoryTagSystem.load()->OpenScope(m_preKernelMemoryTag.m_index);
        Log::CreateSystem();
        SharedStrings::Init();
        m_stage = Stage::Constructed;
    }

    void ClosePreKernelScope()
    {
        MemoryTagSystem* tags = GMemoryTagSystem.load();
        MX_ASSERT(tags->GetScope().m_handle.m_index == m_preKernelMemoryTag.m_index);
        if (m_preKernelScopeOpen && tags->GetScope().m_handle.m_index == m_preKernelMemoryTag.m_index)
            tags->CloseScope();
        m_preKernelScopeOpen = false;
    }

    void Destroy()
    {
        if (m_stage == Stage::None || m_stage == Stage::Destroyed)
            return;
        SharedStrings::Shutdown();
        Log::DestroySystem();
        Threading::Event::ShutdownSystem();
        LockFree::ShutdownLinksManager();
        Memory::Shutdown();
        Threading::Shutdown();
        Platform_Shutdown();
        m_stage = Stage::Destroyed;
    }

    Stage m_stage = Stage::None;
    MemoryTag m_preKernelMemoryTag;
    bool m_preKernelScopeOpen = false;
};

// Constant-initialised storage: the object is usable whichever static initialiser asks first.
KernelImpl GKernelStorage;

// Runs before every initialiser of default priority in the program (the engine is linked
// statically into each executable), and is destroyed after all of them.
struct KernelLifetime
{
    KernelLifetime() { Kernel::EnsureConstructed(); }
    ~KernelLifetime()
    {
        GKernelStorage.Destroy();
        Memory::ShutdownGlobalHeap();
    }
};
__attribute__((init_priority(101))) KernelLifetime GKernelLifetime;
} // namespace

void Kernel::EnsureConstructed()
{
    if (GKernelStorage.m_stage != Stage::None)
        return;
    // A closed pipe (collector gone mid-upload, a reader of our output that quit) must surface as
    // a write error, never kill the reporter.
    std::signal(SIGPIPE, SIG_IGN);
    GKernelStorage.Construct();
}

bool Kernel::IsConstructed()
{
    return GKernelStorage.m_stage != Stage::None && GKernelStorage.m_stage != Stage::Destroyed;
}

void Kernel::PostInit()
{
    MX_ASSERT(GKernelStorage.m_stage == Stage::Constructed);
    if (GKernelStorage.m_stage != Stage::Constructed)
        return;
    GKernelStorage.ClosePreKernelScope();
    CmdSystem::Init();
    Platform_PostInit();
    // Switch values are views into the command line; the profiler copies what it keeps.
    StrView profilerValue, hostPc;
    String profilerText, hostPcText;
    Profiler::StartOptions profiler;
    profiler.profiler = CommandLine::HasSwitch("--profiler");
    if (CommandLine::GetSwitchValue("--profiler", profilerValue))
    {
        profilerText.Assign(profilerValue);
        profiler.profilerValue = profilerText.c_str();
    }
    if (CommandLine::GetSwitchValue("--hostpc", hostPc))
    {
        hostPcText.Assign(hostPc);
        profiler.hostPc = hostPcText.c_str();
    }
    profiler.trace = CommandLine::HasSwitch("--profiler-trace");
    Profiler::Init(profiler);
    InitFileSystem();
    // `exec` reads scripts through the search directories. The command system sits below the file
    // system and cannot call it; the kernel sees both and connects them.
    CmdSystem::SetScriptFileReader(&FileSystem::ReadScriptFile, &FileSystem::FreeFileData);
    GKernelStorage.m_stage = Stage::PostInited;
}

bool Kernel::IsPostInited()
{
    return GKernelStorage.m_stage == Stage::PostInited;
}

void Kernel::Shutdown()
{
    MX_ASSERT(GKernelStorage.m_stage == Stage::PostInited);
    if (GKernelStorage.m_stage != Stage::PostInited)
        return;
    CmdSystem::SetScriptFileReader(nullptr, nullptr);
    ShutdownFileSystem();
    TaskGraphPrivate::Invalidate();
    CmdSystem::Shutdown();
    Profiler::Shutdown();
    GKernelStorage.m_stage = Stage::ShutDown;
}
} // namespace Morvex
