#include "Core/Kernel.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/IO/FileSystem.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Profiler/Profiler.h"
#include "Core/SharedString.h"
#include "Core/Threading/TaskGraph.h"
#include "Core/Threading/Threading.h"
#include "Core/Threading/ThreadingEvent.h"

#include <csignal>

namespace Morvex
{
namespace
{
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
        // Memory, tags and the clock come first once they exist; for now the C heap serves.
        Platform_PreInit();
        Threading::Init("Main Thread");
        Threading::Event::InitSystem();
        m_preKernelMemoryTag = MemoryTags::Register("Core/PreKernel");
        Log::CreateSystem();
        SharedStrings::Init();
        m_stage = Stage::Constructed;
    }

    void Destroy()
    {
        if (m_stage == Stage::None || m_stage == Stage::Destroyed)
            return;
        SharedStrings::Shutdown();
        Log::DestroySystem();
        Threading::Event::ShutdownSystem();
        Threading::Shutdown();
        Platform_Shutdown();
        m_stage = Stage::Destroyed;
    }

    Stage m_stage = Stage::None;
    MemoryTag m_preKernelMemoryTag;
};

// Constant-initialised storage: the object is usable whichever static initialiser asks first.
KernelImpl GKernelStorage;

// Runs before every initialiser of default priority in the program (the engine is linked
// statically into each executable), and is destroyed after all of them.
struct KernelLifetime
{
    KernelLifetime() { Kernel::EnsureConstructed(); }
    ~KernelLifetime() { GKernelStorage.Destroy(); }
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
    CmdSystem::Init();
    Platform_PostInit();
    Profiler::Init();
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
    TaskGraph::Invalidate();
    CmdSystem::Shutdown();
    Profiler::Shutdown();
    GKernelStorage.m_stage = Stage::ShutDown;
}
} // namespace Morvex
