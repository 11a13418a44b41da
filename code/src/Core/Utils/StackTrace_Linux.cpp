// Capture through the compiler's unwinder; symbolisation through libdw (elfutils), loaded at run
// time, with the modules' own symbol tables behind it.

#include "Core/Utils/StackTrace.h"

#include "Core/Profiler/Profiler.h"
#include "ElfFile_Linux.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <link.h>
#include <mutex>
#include <pthread.h>
#include <type_traits>
#include <unistd.h>
#include <unwind.h>

namespace Morvex
{
namespace
{
// By soname only: the dynamic loader then searches the system's library folders (and the
// application's own run path), never the working directory.
constexpr const char* kDebugInfoLibrary = "libdw.so.1";

struct DwarfApi
{
    decltype(&dwfl_begin) begin;
    decltype(&dwfl_end) end;
    decltype(&dwfl_report_begin) reportBegin;
    decltype(&dwfl_linux_proc_report) procReport;
    decltype(&dwfl_report_end) reportEnd;
    decltype(&dwfl_linux_proc_find_elf) procFindElf;
    decltype(&dwfl_addrmodule) addrModule;
    decltype(&dwfl_module_info) moduleInfo;
    decltype(&dwfl_module_addrinfo) addrInfo;
    decltype(&dwfl_module_getsrc) getSrc;
    decltype(&dwfl_lineinfo) lineInfo;
    decltype(&dwfl_line_comp_dir) lineCompDir;
    decltype(&dwfl_module_build_id) buildId;
};

// The engine's state. Plain data, never destroyed: the leak report symbolises during static
// destruction, after every object with a destructor may be gone.
struct SymbolEngine
{
    bool tried = false;
    void* library = nullptr;
    DwarfApi api = {};
    Dwfl* dwfl = nullptr;
    Dwfl_Callbacks callbacks = {};
};
constinit SymbolEngine GEngine;
constinit std::mutex GSymbolsLock;
constinit std::atomic<bool> GDebugInfoEnabled{true};

// Serialises every symbolisation, since libdw is not thread-safe. The profiler's lock events are to
// name it "Morvex::Backtrace_Symbols".
using SymbolsLock = std::lock_guard<std::mutex>;

// Reading a module's line table puts a few hundred KiB of arrays on the caller's stack inside libdw.
// A thread with less room than this left (the engine's workers have 256 KiB stacks) names functions
// from the symbol tables instead of overflowing its stack.
constexpr uintptr_t kDebugInfoStackRoom = 512 * 1024;

bool HasStackRoomForDebugInfo()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return true; // unknown: the system's default stacks have several MiB
    void* base = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attr, &base, &size) == 0;
    pthread_attr_destroy(&attr);
    if (!known)
        return true;
    // The frame address, not a local's: a sanitizer may keep locals on a stack of its own.
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const auto low = reinterpret_cast<uintptr_t>(base);
    return here > low && here - low >= kDebugInfoStackRoom;
}

// Marks a module whose own debug file was already asked for (libdw's per-module user data).
constinit char GDebugFileAsked = 0;

int OpenReadOnly(const char* path)
{
    int fd;
    do
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Separate debug files come only from the system's debug folder. libdw's own search would also
// ask debuginfod servers over the network when DEBUGINFOD_URLS is set, which a crash reporter must
// not do behind the player's back.
int FindLocalDebugInfo(Dwfl_Module* module, void** userData, const char*, Dwarf_Addr, const char*,
                       const char* linkName, GElf_Word, char** debugFileName)
{
    static const char kDebugFolder[] = "/usr/lib/debug/";
    char path[kMaxPathLength + 1];
    if (userData != nullptr && *userData == &GDebugFileAsked)
    {
        // The second request for a module is for the supplementary file its debug file names (an
        // absolute path, shared by the debug files of one package).
        if (linkName == nullptr || std::strncmp(linkName, kDebugFolder, sizeof(kDebugFolder) - 1) != 0 ||
            std::strstr(linkName, "/../") != nullptr)
            return -1;
        std::snprintf(path, sizeof(path), "%s", linkName);
    }
    else
    {
        if (userData != nullptr)
            *userData = &GDebugFileAsked;
        const unsigned char* bits = nullptr;
        GElf_Addr vaddr = 0;
        const int length = GEngine.api.buildId(module, &bits, &vaddr);
        if (length < 2 || length > 64 || bits == nullptr)
            return -1;
        int at = std::snprintf(path, sizeof(path), "%s.build-id/%02x/", kDebugFolder, bits[0]);
        for (int i = 1; i < length; ++i)
            at += std::snprintf(path + at, sizeof(path) - static_cast<size_t>(at), "%02x", bits[i]);
        std::snprintf(path + at, sizeof(path) - static_cast<size_t>(at), ".debug");
    }
    const int fd = OpenReadOnly(path);
    if (fd >= 0 && debugFileName != nullptr)
        *debugFileName = ::strdup(path); // libdw frees it
    return fd;
}

void ReleaseEngine()
{
    if (GEngine.dwfl != nullptr && GEngine.api.end != nullptr)
        GEngine.api.end(GEngine.dwfl);
    if (GEngine.library != nullptr)
        ::dlclose(GEngine.library);
    GEngine.library = nullptr;
    GEngine.api = {};
    GEngine.dwfl = nullptr;
}

bool ReportModules()
{
    GEngine.api.reportBegin(GEngine.dwfl);
    const int reported = GEngine.api.procReport(GEngine.dwfl, ::getpid());
    return GEngine.api.reportEnd(GEngine.dwfl, nullptr, nullptr) == 0 && reported == 0;
}

// Inside the lock. Later calls return at once with the first call's outcome.
bool LoadEngine()
{
    MX_PROFILE_ZONE("Initialize");
    if (GEngine.tried)
        return GEngine.dwfl != nullptr;
    GEngine.tried = true;
    GEngine.library = ::dlopen(kDebugInfoLibrary, RTLD_NOW | RTLD_LOCAL);
    if (GEngine.library == nullptr)
        return false;
    bool complete = true;
    auto look = [&complete](auto& slot, const char* name)
    {
        void* p = ::dlsym(GEngine.library, name);
        complete = complete && p != nullptr;
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(p);
    };
    DwarfApi& api = GEngine.api;
    look(api.begin, "dwfl_begin");
    look(api.end, "dwfl_end");
    look(api.reportBegin, "dwfl_report_begin");
    look(api.procReport, "dwfl_linux_proc_report");
    look(api.reportEnd, "dwfl_report_end");
    look(api.procFindElf, "dwfl_linux_proc_find_elf");
    look(api.addrModule, "dwfl_addrmodule");
    look(api.moduleInfo, "dwfl_module_info");
    look(api.addrInfo, "dwfl_module_addrinfo");
    look(api.getSrc, "dwfl_module_getsrc");
    look(api.lineInfo, "dwfl_lineinfo");
    look(api.lineCompDir, "dwfl_line_comp_dir");
    look(api.buildId, "dwfl_module_build_id");
    if (!complete)
    {
        ReleaseEngine();
        return false;
    }
    GEngine.callbacks.find_elf = api.procFindElf;
    GEngine.callbacks.find_debuginfo = FindLocalDebugInfo;
    GEngine.dwfl = api.begin(&GEngine.callbacks);
    if (GEngine.dwfl == nullptr || !ReportModules())
    {
        // Without the process's maps (no /proc) nothing can be found through it.
        ReleaseEngine();
        return false;
    }
    return true;
}

void Demangle(const char* raw, char* out, size_t capacity)
{
    int status = -1;
    char* demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    std::snprintf(out, capacity, "%s", status == 0 && demangled != nullptr ? demangled : raw);
    std::free(demangled);
}

// The main program's link map has an empty name.
const char* ExecutablePath()
{
    static char path[kMaxPathLength + 1];
    static bool read = false;
    if (!read)
    {
        const ssize_t n = ::readlink("/proc/self/exe", path, kMaxPathLength);
        path[n > 0 ? n : 0] = 0;
        read = true;
    }
    return path;
}

struct FrameText
{
    char name[StaticString512_t::kCapacity + 1];
    char file[kMaxPathLength + 1];
};

bool SymbolizeWithDebugInfo(uint64 pc, StackFrameInfo& frame, FrameText& text, bool& refreshed)
{
    const DwarfApi& api = GEngine.api;
    Dwfl_Module* module = api.addrModule(GEngine.dwfl, pc);
    if (module == nullptr && !refreshed)
    {
        // Loaded after the last look at the process's maps.
        refreshed = true;
        if (ReportModules())
            module = api.addrModule(GEngine.dwfl, pc);
    }
    if (module == nullptr)
        return false;
    frame.module = api.moduleInfo(module, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    GElf_Off offset = 0;
    GElf_Sym symbol = {};
    if (const char* raw = api.addrInfo(module, pc, &offset, &symbol, nullptr, nullptr, nullptr))
    {
        Demangle(raw, text.name, sizeof(text.name));
        frame.name = text.name;
        frame.address = pc - offset;
        frame.symbolSize = symbol.st_size;
    }
    if (Dwfl_Line* line = api.getSrc(module, pc))
    {
        Dwarf_Addr lineAddress = 0;
        int lineNumber = 0;
        const char* file = api.lineInfo(line, &lineAddress, &lineNumber, nullptr, nullptr, nullptr);
        if (file != nullptr && lineNumber > 0)
        {
            const char* dir = file[0] != '/' ? api.lineCompDir(line) : nullptr;
            std::snprintf(text.file, sizeof(text.file), "%s%s%s", dir ? dir : "", dir ? "/" : "", file);
            frame.file = text.file;
            frame.line = static_cast<uint32>(lineNumber);
            frame.lineAddress = lineAddress;
        }
    }
    return true;
}

void SymbolizeWithSymbolTables(uint64 pc, StackFrameInfo& frame, FrameText& text)
{
    Dl_info info = {};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(pc), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 ||
        map == nullptr)
        return;
    const char* path = map->l_name != nullptr && map->l_name[0] != 0 ? map->l_name : ExecutablePath();
    frame.module = path[0] != 0 ? path : nullptr;
    ElfFile file;
    ElfFile::Symbol symbol;
    if (file.Open(path) == EModuleSignatureResult::kOk && file.FindFunction(pc - map->l_addr, symbol))
    {
        Demangle(symbol.name.c_str(), text.name, sizeof(text.name));
        frame.name = text.name;
        frame.address = symbol.value + map->l_addr;
        frame.symbolSize = symbol.size;
    }
    else if (info.dli_sname != nullptr && info.dli_saddr != nullptr)
    {
        // A module whose file cannot be read (the vDSO): its exported names still help.
        Demangle(info.dli_sname, text.name, sizeof(text.name));
        frame.name = text.name;
        frame.address = reinterpret_cast<uintptr_t>(info.dli_saddr);
    }
}

struct UnwindState
{
    void** frames;
    uint32 capacity;
    uint32 skip;
    uint32 count;
};

_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* arg)
{
    UnwindState& state = *static_cast<UnwindState*>(arg);
    const uintptr_t ip = _Unwind_GetIP(context);
    if (ip == 0)
        return _URC_END_OF_STACK;
    if (state.skip > 0)
    {
        --state.skip;
        return _URC_NO_REASON;
    }
    state.frames[state.count++] = reinterpret_cast<void*>(ip);
    return state.count < state.capacity ? _URC_NO_REASON : _URC_END_OF_STACK;
}
} // namespace

__attribute__((noinline)) uint16 CaptureStackBackTrace(void** frames, uint32 capacity, uint32 framesToSkip)
{
    if (frames == nullptr || capacity == 0)
        return 0;
    if (capacity > 0xFFFF)
        capacity = 0xFFFF;
    // The unwinder's first frame is this function's own.
    UnwindState state{frames, capacity, framesToSkip + 1, 0};
    _Unwind_Backtrace(CollectFrame, &state);
    return static_cast<uint16>(state.count);
}

void SymbolizeStack(void* const* addresses, uint32 count, StackFrameVisitor& visitor)
{
    if (addresses == nullptr)
        return;
    SymbolsLock lock(GSymbolsLock);
    const bool debugInfo =
        HasStackRoomForDebugInfo() && LoadEngine() && GDebugInfoEnabled.load(std::memory_order_relaxed);
    bool refreshed = false;
    FrameText text;
    for (uint32 i = 0; i < count && addresses[i] != nullptr; ++i)
    {
        StackFrameInfo frame;
        const uint64 returnAddress = reinterpret_cast<uintptr_t>(addresses[i]);
        frame.address = returnAddress;
        frame.index = i;
        // A return address follows its call; the call itself (one byte back) is what belongs to the
        // calling function and line, even when the call is the function's last instruction.
        const uint64 pc = returnAddress - 1;
        if (!debugInfo || !SymbolizeWithDebugInfo(pc, frame, text, refreshed))
            SymbolizeWithSymbolTables(pc, frame, text);
        if (frame.name != nullptr)
            frame.displacement = returnAddress - frame.address;
        visitor.OnFrame(frame);
    }
}

bool IsStackTraceDebugInfoAvailable()
{
    SymbolsLock lock(GSymbolsLock);
    return LoadEngine() && GDebugInfoEnabled.load(std::memory_order_relaxed);
}

void SetStackTraceDebugInfoEnabledForTests(bool enabled)
{
    GDebugInfoEnabled.store(enabled, std::memory_order_relaxed);
}
} // namespace Morvex
