#include "Core/Utils/StackTrace.h"

#include "Core/CmdSystem.h"
#include "Core/Memory/DebugHeap.h"
#include "Core/Memory/Memory.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <link.h>
#include <pthread.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace Morvex;
using Morvex::Test::CapturingSink;
using Morvex::Test::TempDir;

namespace
{
// Where a probe function captured its own frame, and the lines its body spans.
struct Probe
{
    void* frame = nullptr;
    const void* function = nullptr;
    int firstLine = 0;
    int lastLine = 0;
};

// Probes are `noipa`: neither inlined nor cloned (a clone's name carries a suffix), so that each
// frame is the function's own. MX_KEEP_FRAME after a call keeps the compiler from turning the call
// into a jump, which would take the caller's frame away.
#define MX_KEEP_FRAME() asm volatile("" ::: "memory")

__attribute__((noipa)) Probe FreeProbe()
{
    Probe p;
    p.firstLine = __LINE__;
    CaptureStackBackTrace(&p.frame, 1, 0);
    MX_KEEP_FRAME();
    p.lastLine = __LINE__;
    p.function = reinterpret_cast<const void*>(&FreeProbe);
    return p;
}

namespace Outer
{
struct Widget
{
    __attribute__((noipa)) static Probe StaticProbe(int depth)
    {
        Probe p;
        p.firstLine = __LINE__;
        CaptureStackBackTrace(&p.frame, 1, 0);
        MX_KEEP_FRAME();
        p.lastLine = __LINE__ + depth * 0;
        p.function = reinterpret_cast<const void*>(&Widget::StaticProbe);
        return p;
    }
};
} // namespace Outer

template <typename T>
__attribute__((noipa)) Probe TemplateProbe(T value)
{
    Probe p;
    p.firstLine = __LINE__;
    CaptureStackBackTrace(&p.frame, 1, 0);
    MX_KEEP_FRAME();
    p.lastLine = __LINE__ + static_cast<int>(value) * 0;
    p.function = reinterpret_cast<const void*>(&TemplateProbe<T>);
    return p;
}

// The frame one level out: the caller's line, not the callee's.
__attribute__((noipa)) void CaptureTwo(void** frames)
{
    CaptureStackBackTrace(frames, 2, 0);
    MX_KEEP_FRAME();
}

__attribute__((noipa)) Probe CallerProbe()
{
    Probe p;
    void* frames[2] = {};
    p.firstLine = __LINE__;
    CaptureTwo(frames);
    MX_KEEP_FRAME();
    p.lastLine = __LINE__;
    p.frame = frames[1];
    p.function = reinterpret_cast<const void*>(&CallerProbe);
    return p;
}

struct ProbeCase
{
    const char* label;
    Probe (*run)();
    const char* name;
};

const ProbeCase kProbeCases[] = {
    {"free function", FreeProbe, "(anonymous namespace)::FreeProbe()"},
    {"static member", [] { return Outer::Widget::StaticProbe(1); },
     "(anonymous namespace)::Outer::Widget::StaticProbe(int)"},
    {"template", [] { return TemplateProbe<long>(2); },
     "(anonymous namespace)::Probe (anonymous "
     "namespace)::TemplateProbe<long>(long)"},
    {"caller's frame", CallerProbe, "(anonymous namespace)::CallerProbe()"},
};

// Copies what the visitor sees, since its texts live only during the call.
struct CopiedFrame
{
    StackFrameInfo info;
    std::string name, file, module;
    bool hasName = false, hasFile = false, hasModule = false;
};

class CopyingVisitor final : public StackFrameVisitor
{
public:
    void OnFrame(const StackFrameInfo& frame) override
    {
        CopiedFrame c;
        c.info = frame;
        c.hasName = frame.name != nullptr;
        c.hasFile = frame.file != nullptr;
        c.hasModule = frame.module != nullptr;
        c.name = c.hasName ? frame.name : "";
        c.file = c.hasFile ? frame.file : "";
        c.module = c.hasModule ? frame.module : "";
        frames.push_back(c);
    }
    std::vector<CopiedFrame> frames;
};

std::vector<CopiedFrame> Symbolize(std::vector<void*> addresses)
{
    CopyingVisitor visitor;
    SymbolizeStack(addresses.data(), static_cast<uint32>(addresses.size()), visitor);
    return visitor.frames;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutablePath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string Hex(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

// Symbolisation without libdw for the life of the object.
class DebugInfoOff
{
public:
    DebugInfoOff() { SetStackTraceDebugInfoEnabledForTests(false); }
    ~DebugInfoOff() { SetStackTraceDebugInfoEnabledForTests(true); }
};

// Not code: no module maps it.
void* const kNowhere = reinterpret_cast<void*>(uintptr_t(0x10));
} // namespace

// The machines that run these tests have libdw: a missing one would silently turn every check of
// files and lines below into a check of the fallback.
TEST(StackTrace, DebugInfoLibraryIsLoaded)
{
    EXPECT_TRUE(IsStackTraceDebugInfoAvailable());
    DebugInfoOff off;
    EXPECT_FALSE(IsStackTraceDebugInfoAvailable());
}

TEST(StackTrace, KnownFunctionsResolveToNameFileAndLine)
{
    for (const ProbeCase& c : kProbeCases)
    {
        SCOPED_TRACE(c.label);
        const Probe p = c.run();
        const auto frames = Symbolize({p.frame});
        ASSERT_EQ(frames.size(), 1u);
        const CopiedFrame& f = frames[0];
        EXPECT_EQ(f.name, c.name);
        EXPECT_EQ(BaseName(f.file), "StackTraceTests.cpp");
        EXPECT_EQ(f.file[0], '/') << "a full path: " << f.file;
        EXPECT_GE(static_cast<int>(f.info.line), p.firstLine);
        EXPECT_LE(static_cast<int>(f.info.line), p.lastLine);
        EXPECT_EQ(f.module, ExecutablePath());
        // The printed address is the function's start, the rest is the displacement.
        EXPECT_EQ(f.info.address, reinterpret_cast<uintptr_t>(p.function));
        EXPECT_EQ(f.info.address + f.info.displacement, reinterpret_cast<uintptr_t>(p.frame));
        EXPECT_GT(f.info.symbolSize, f.info.displacement);
        EXPECT_NE(f.info.lineAddress, 0u);
        EXPECT_LT(f.info.lineAddress, reinterpret_cast<uintptr_t>(p.frame));
        EXPECT_GE(f.info.lineAddress, f.info.address);
    }
}

TEST(StackTrace, WithoutDebugInfoNamesComeFromTheSymbolTable)
{
    DebugInfoOff off;
    for (const ProbeCase& c : kProbeCases)
    {
        SCOPED_TRACE(c.label);
        const Probe p = c.run();
        const auto frames = Symbolize({p.frame});
        ASSERT_EQ(frames.size(), 1u);
        const CopiedFrame& f = frames[0];
        EXPECT_EQ(f.name, c.name);
        EXPECT_FALSE(f.hasFile);
        EXPECT_EQ(f.info.line, 0u);
        EXPECT_EQ(f.info.lineAddress, 0u);
        EXPECT_EQ(f.module, ExecutablePath());
        EXPECT_EQ(f.info.address, reinterpret_cast<uintptr_t>(p.function));
        EXPECT_EQ(f.info.address + f.info.displacement, reinterpret_cast<uintptr_t>(p.frame));
    }
    // A frame in the C library, which has no full symbol table installed: its exported name.
    // (Asked of the C library itself: a sanitizer's runtime replaces some of its functions.)
    void* const handle = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    void* const qsortStart = dlsym(handle, "qsort");
    dlclose(handle);
    ASSERT_NE(qsortStart, nullptr);
    void* libc = static_cast<char*>(qsortStart) + 1;
    const auto frames = Symbolize({libc});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].hasName);
    EXPECT_NE(frames[0].module.find("libc.so"), std::string::npos) << frames[0].module;
}

TEST(StackTrace, AnAddressOfNoModuleStaysBareAndANullAddressEndsTheList)
{
    for (bool debugInfo : {true, false})
    {
        SCOPED_TRACE(debugInfo);
        SetStackTraceDebugInfoEnabledForTests(debugInfo);
        const Probe p = FreeProbe();
        const auto frames = Symbolize({kNowhere, p.frame, nullptr, p.frame});
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_FALSE(frames[0].hasName);
        EXPECT_FALSE(frames[0].hasFile);
        EXPECT_FALSE(frames[0].hasModule);
        EXPECT_EQ(frames[0].info.address, 0x10u);
        EXPECT_EQ(frames[0].info.displacement, 0u);
        EXPECT_EQ(frames[0].info.index, 0u);
        EXPECT_EQ(frames[1].info.index, 1u);
        // The text form prints a bare frame's return address and never a null name.
        EXPECT_EQ(std::string(FormatStackTrace(&kNowhere, 1, nullptr, false).c_str()), " 0: [0x10] ?\n");
        EXPECT_EQ(std::string(FormatStackTrace(&kNowhere, 1, nullptr, true).c_str()), "? ");
    }
    SetStackTraceDebugInfoEnabledForTests(true);
}

TEST(StackTrace, TextFormsWithAndWithoutLines)
{
    const Probe a = FreeProbe();
    const Probe b = CallerProbe();
    void* frames[] = {a.frame, b.frame};
    const auto info = Symbolize({a.frame, b.frame});
    ASSERT_EQ(info.size(), 2u);
    char line[512];
    std::string full;
    for (const CopiedFrame& f : info)
    {
        std::snprintf(line, sizeof(line), "%2d: [%s] StackTraceTests.cpp(%u): %s\n",
                      static_cast<int>(f.info.index), Hex(reinterpret_cast<void*>(f.info.address)).c_str(),
                      f.info.line, f.name.c_str());
        full += line;
    }
    EXPECT_EQ(std::string(FormatStackTrace(frames, 2, nullptr, false).c_str()), full);
    // Compact: one line, each frame's file, line, name and a space.
    const std::string compact = "StackTraceTests.cpp(" + std::to_string(info[0].info.line) + ") " +
                                info[0].name + " StackTraceTests.cpp(" + std::to_string(info[1].info.line) +
                                ") " + info[1].name + " ";
    EXPECT_EQ(std::string(FormatStackTrace(frames, 2, nullptr, true).c_str()), compact);

    DebugInfoOff off;
    const std::string noLines = " 0: [" + Hex(a.function) + "] " + info[0].name + "\n 1: [" +
                                Hex(b.function) + "] " + info[1].name + "\n";
    EXPECT_EQ(std::string(FormatStackTrace(frames, 2, nullptr, false).c_str()), noLines);
    EXPECT_EQ(std::string(FormatStackTrace(frames, 2, nullptr, true).c_str()),
              info[0].name + " " + info[1].name + " ");
}

TEST(StackTrace, FormattedTextUsesTheGivenAllocator)
{
    const Probe p = FreeProbe();
    const String text = FormatStackTrace(&p.frame, 1, &Memory::GetTempAllocator(), false);
    EXPECT_EQ(text.GetAllocator(), &Memory::GetTempAllocator());
    EXPECT_EQ(FormatStackTrace(&p.frame, 1, nullptr, false).GetAllocator(), &Memory::GetStringsAllocator());
}

namespace
{
__attribute__((noipa)) String AskForCaller(uint32 skip)
{
    String s = GetImmediateCaller(nullptr, skip);
    MX_KEEP_FRAME();
    return s;
}

__attribute__((noipa)) String CallerOfAsk(int& first, int& last)
{
    first = __LINE__;
    String s = AskForCaller(0);
    MX_KEEP_FRAME();
    last = __LINE__;
    return s;
}
} // namespace

TEST(StackTrace, ImmediateCallerIsTheCallersCaller)
{
    int first = 0, last = 0;
    const String text = CallerOfAsk(first, last);
    std::smatch m;
    const std::string s = text.c_str();
    ASSERT_TRUE(std::regex_match(s, m, std::regex(R"(StackTraceTests\.cpp\((\d+)\) (.*) )"))) << s;
    EXPECT_GE(std::stoi(m[1]), first);
    EXPECT_LE(std::stoi(m[1]), last);
    EXPECT_EQ(m[2], "(anonymous namespace)::CallerOfAsk(int&, int&)");
    EXPECT_TRUE(GetImmediateCaller(nullptr, 10000).empty()) << "deeper than the stack";
}

TEST(StackTrace, CaptureSkipsAndStopsAtCapacity)
{
    void* frames[kMaxStackFrames];
    const uint16 all = CaptureStackBackTrace(frames, kMaxStackFrames, 0);
    ASSERT_GE(all, 3u);
    void* skipped[kMaxStackFrames];
    const uint16 fewer = CaptureStackBackTrace(skipped, kMaxStackFrames, 1);
    EXPECT_EQ(fewer + 1, all);
    EXPECT_EQ(skipped[0], frames[1]);
    EXPECT_EQ(CaptureStackBackTrace(frames, 2, 0), 2u);
    EXPECT_EQ(CaptureStackBackTrace(frames, 0, 0), 0u);
    EXPECT_EQ(CaptureStackBackTrace(nullptr, 4, 0), 0u);
}

namespace
{
// Runs `body` on a thread with a stack of `stackSize` bytes and waits for it.
void RunOnStack(size_t stackSize, std::function<void()> body)
{
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, stackSize), 0);
    pthread_t thread;
    auto entry = [](void* arg) -> void*
    {
        (*static_cast<std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, entry, &body), 0);
    pthread_attr_destroy(&attr);
    pthread_join(thread, nullptr);
}
} // namespace

// Reading line tables takes more stack than a small thread has: such a thread gets the function's
// name from the symbol table instead of overflowing, and a thread with room gets file and line.
TEST(StackTrace, ThreadsWithSmallStacksGetNamesWithoutLines)
{
    const Probe p = FreeProbe();
    for (const auto& [stackSize, withLine] : {std::pair{size_t(256) << 10, false}, {size_t(4) << 20, true}})
    {
        SCOPED_TRACE(stackSize);
        std::vector<CopiedFrame> frames;
        RunOnStack(stackSize, [&] { frames = Symbolize({p.frame}); });
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].name, "(anonymous namespace)::FreeProbe()");
        EXPECT_EQ(frames[0].info.line != 0, withLine) << frames[0].info.line;
        EXPECT_EQ(frames[0].hasFile, withLine);
    }
}

// The symbolisation lock keeps concurrent traces whole.
TEST(StackTrace, ThreadsSymbolizeAtTheSameTime)
{
    const Probe p = FreeProbe();
    const std::string expected = FormatStackTrace(&p.frame, 1, nullptr, false).c_str();
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 25; ++i)
                    if (std::string(FormatStackTrace(&p.frame, 1, nullptr, false).c_str()) != expected)
                        ++bad[t];
            });
    for (std::thread& t : threads)
        t.join();
    for (int n : bad)
        EXPECT_EQ(n, 0);
}

TEST(StackTrace, TestCommandLogsTheTraceTheTimeAndTheCaller)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    CapturingSink sink;
    CmdSystem::AddText("Test.StackTrace\n");
    CmdSystem::Execute();
    ASSERT_EQ(sink.Lines().size(), 3u);
    for (const auto& line : sink.Lines())
        EXPECT_EQ(line.level, Log::Info);
    const std::string& trace = sink.Lines()[0].text;
    EXPECT_EQ(trace.rfind("Current callstack: \n 0: [0x", 0), 0u) << trace;
    // This test's body is among the frames, with its file and line.
    EXPECT_TRUE(std::regex_search(
        trace, std::regex(R"(\n ?\d+: \[0x[0-9a-f]+\] StackTraceTests\.cpp\(\d+\): )"
                          R"(StackTrace_TestCommandLogsTheTraceTheTimeAndTheCaller_Test::TestBody\(\)\n)")))
        << trace;
    EXPECT_TRUE(std::regex_match(sink.Lines()[1].text, std::regex("Captured in [0-9.e+-]+ µs")))
        << sink.Lines()[1].text;
    EXPECT_TRUE(
        std::regex_match(sink.Lines()[2].text, std::regex(R"(Immediate caller: (\w+\.\w+\(\d+\) )?\S.* )")))
        << sink.Lines()[2].text;
}

// The debug heap records each block's stack through the hook the kernel installed; the leak text
// starts at the code that allocated, not in the allocator.
TEST(StackTrace, LeakStacksStartAtTheAllocatingCode)
{
    DebugHeap heap("Debug:stack", 1 << 24);
    int first = __LINE__;
    void* block = heap.Allocate(32);
    int last = __LINE__;
    void* frames[DebugHeap::kMaxFrames];
    const uint32 n = heap.GetFrames(block, frames, DebugHeap::kMaxFrames);
    ASSERT_GT(n, 1u);
    for (bool debugInfo : {true, false})
    {
        SCOPED_TRACE(debugInfo);
        SetStackTraceDebugInfoEnabledForTests(debugInfo);
        StaticString1024_t text;
        FormatLeakStack(frames, n, text);
        const std::string s = text.c_str();
        std::smatch m;
        if (debugInfo)
        {
            ASSERT_TRUE(std::regex_search(
                s, m,
                std::regex(R"(^ 0: \[0x[0-9a-f]+\] StackTraceTests\.cpp\((\d+)\): )"
                           R"(StackTrace_LeakStacksStartAtTheAllocatingCode_Test::TestBody\(\)\n 1: )")))
                << s;
            EXPECT_GE(std::stoi(m[1]), first);
            EXPECT_LE(std::stoi(m[1]), last);
        }
        else
            EXPECT_TRUE(std::regex_search(
                s,
                std::regex(
                    R"(^ 0: \[0x[0-9a-f]+\] StackTrace_LeakStacksStartAtTheAllocatingCode_Test::TestBody\(\)\n)")))
                << s;
    }
    SetStackTraceDebugInfoEnabledForTests(true);
    heap.Free(block, 32);
}

// A program that leaks under --debug-heap reports the block's call stack at exit.
TEST(StackTrace, LeakReportOfADebugHeapRunShowsTheStack)
{
    const std::vector<std::string> env = {"ASAN_OPTIONS=detect_leaks=0"};
    auto leaky = Morvex::Test::RunProcess({LEAK_PROBE_PATH, "100", "--debug-heap"}, "", env);
    EXPECT_EQ(leaky.exitCode, 0) << leaky.err;
    EXPECT_TRUE(
        std::regex_search(leaky.err, std::regex(R"(Memory leaks detected\. Count: 1, total size: 100 bytes\n)"
                                                R"(Stack Trace:\n 0: \[0x[0-9a-f]+\] LeakProbe\.cpp\(\d+\): )"
                                                R"(\(anonymous namespace\)::Run\(\)\n)")))
        << leaky.err;
    auto plain = Morvex::Test::RunProcess({LEAK_PROBE_PATH, "100"}, "", env);
    EXPECT_NE(plain.err.find("Memory leaks detected. Count: 1, total size: 100 bytes\n\n"), std::string::npos)
        << "no stacks recorded without the debug heap: " << plain.err;
}

// --- module signatures -----------------------------------------------------------------------------

namespace
{
// The build-id of the running program as the loader mapped it.
std::string LoadedBuildId()
{
    std::string id;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) -> int
        {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != 0)
                return 0; // only the main program
            for (int i = 0; i < info->dlpi_phnum; ++i)
            {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_NOTE)
                    continue;
                const char* p = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
                const char* end = p + ph.p_memsz;
                while (p + sizeof(ElfW(Nhdr)) <= end)
                {
                    const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
                    const char* name = p + sizeof(*note);
                    const char* desc = name + ((note->n_namesz + 3) & ~3u);
                    if (note->n_type == NT_GNU_BUILD_ID && std::strcmp(name, "GNU") == 0)
                    {
                        char hex[3];
                        for (uint32 k = 0; k < note->n_descsz; ++k)
                        {
                            std::snprintf(hex, sizeof(hex), "%02X", static_cast<unsigned char>(desc[k]));
                            *static_cast<std::string*>(out) += hex;
                        }
                        return 1;
                    }
                    p = desc + ((note->n_descsz + 3) & ~3u);
                }
            }
            return 1;
        },
        &id);
    return id;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A small ELF file: the header, one PT_NOTE segment holding a build-id note of `idBytes` bytes,
// and one SHT_NOTE section over the same bytes.
struct TinyElf
{
    Elf64_Ehdr header = {};
    Elf64_Phdr note = {};
    Elf64_Shdr sections[2] = {};
    Elf64_Nhdr noteHeader = {};
    char noteName[4] = {'G', 'N', 'U', 0};
    unsigned char id[40] = {};

    explicit TinyElf(uint32 idBytes = 20)
    {
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_ident[EI_DATA] = ELFDATA2LSB;
        header.e_ident[EI_VERSION] = EV_CURRENT;
        header.e_type = ET_DYN;
        header.e_machine = EM_X86_64;
        header.e_version = EV_CURRENT;
        header.e_ehsize = sizeof(Elf64_Ehdr);
        header.e_phoff = offsetof(TinyElf, note);
        header.e_phentsize = sizeof(Elf64_Phdr);
        header.e_phnum = 1;
        header.e_shoff = offsetof(TinyElf, sections);
        header.e_shentsize = sizeof(Elf64_Shdr);
        header.e_shnum = 2;
        note.p_type = PT_NOTE;
        note.p_offset = offsetof(TinyElf, noteHeader);
        note.p_filesz = sizeof(Elf64_Nhdr) + 4 + idBytes;
        note.p_align = 4;
        sections[1].sh_type = SHT_NOTE;
        sections[1].sh_offset = note.p_offset;
        sections[1].sh_size = note.p_filesz;
        sections[1].sh_addralign = 4;
        noteHeader.n_namesz = 4;
        noteHeader.n_descsz = idBytes;
        noteHeader.n_type = NT_GNU_BUILD_ID;
        for (uint32 i = 0; i < sizeof(id); ++i)
            id[i] = static_cast<unsigned char>(0xA0 + i);
    }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(this), sizeof(*this)); }
};

EModuleSignatureResult SignatureOf(const TempDir& dir, const std::string& bytes, std::string& out)
{
    dir.WriteFile("module", bytes);
    StaticString64_t signature;
    const EModuleSignatureResult r = GetModuleSignature(dir.Join("module").c_str(), signature);
    out = signature.c_str();
    return r;
}
} // namespace

TEST(ModuleSignature, TheRunningProgramsBuildId)
{
    const std::string expected = LoadedBuildId();
    ASSERT_EQ(expected.size(), 40u);
    StaticString64_t signature;
    EXPECT_EQ(GetModuleSignature(ExecutablePath().c_str(), signature), EModuleSignatureResult::kOk);
    EXPECT_EQ(std::string(signature.c_str()), expected);
    EXPECT_EQ(std::string(GetModulePdbSignature(ExecutablePath().c_str()).c_str()), expected);
}

TEST(ModuleSignature, WellFormedSmallFiles)
{
    TempDir dir;
    std::string signature;
    TinyElf elf;
    EXPECT_EQ(SignatureOf(dir, elf.Bytes(), signature), EModuleSignatureResult::kOk);
    EXPECT_EQ(signature, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");

    // A separate debug file: the note only as a section.
    TinyElf sectionOnly;
    sectionOnly.header.e_phnum = 0;
    EXPECT_EQ(SignatureOf(dir, sectionOnly.Bytes(), signature), EModuleSignatureResult::kOk);
    EXPECT_EQ(signature, "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3");

    // The longest id that fits the text: 32 bytes, 64 digits.
    TinyElf longest(32);
    EXPECT_EQ(SignatureOf(dir, longest.Bytes(), signature), EModuleSignatureResult::kOk);
    EXPECT_EQ(signature.size(), 64u);
}

TEST(ModuleSignature, FilesWithoutASignature)
{
    TempDir dir;
    std::string signature = "x";
    struct Case
    {
        const char* label;
        void (*edit)(TinyElf&);
        EModuleSignatureResult expected;
    };
    const Case cases[] = {
        {"another note type", [](TinyElf& e) { e.noteHeader.n_type = NT_GNU_ABI_TAG; },
         EModuleSignatureResult::kNoSignature},
        {"another owner", [](TinyElf& e) { e.noteName[0] = 'X'; }, EModuleSignatureResult::kNoSignature},
        {"empty id", [](TinyElf& e) { e.noteHeader.n_descsz = 0; }, EModuleSignatureResult::kNoSignature},
        {"id too long for the text",
         [](TinyElf& e)
         {
             e.noteHeader.n_descsz = 33;
             e.note.p_filesz = e.sections[1].sh_size = sizeof(Elf64_Nhdr) + 4 + 36;
         },
         EModuleSignatureResult::kNoSignature},
        {"32-bit", [](TinyElf& e) { e.header.e_ident[EI_CLASS] = ELFCLASS32; },
         EModuleSignatureResult::kUnsupported},
        {"big-endian", [](TinyElf& e) { e.header.e_ident[EI_DATA] = ELFDATA2MSB; },
         EModuleSignatureResult::kUnsupported},
        {"not ELF", [](TinyElf& e) { e.header.e_ident[1] = 'X'; }, EModuleSignatureResult::kNotElf},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        TinyElf elf;
        c.edit(elf);
        EXPECT_EQ(SignatureOf(dir, elf.Bytes(), signature), c.expected);
        EXPECT_EQ(signature, "");
    }
    StaticString64_t out;
    out = "stale";
    EXPECT_EQ(GetModuleSignature(dir.Join("missing").c_str(), out), EModuleSignatureResult::kCannotOpen);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(GetModuleSignature(dir.Path().c_str(), out), EModuleSignatureResult::kCannotOpen) << "a folder";
    EXPECT_EQ(GetModuleSignature(nullptr, out), EModuleSignatureResult::kCannotOpen);
    EXPECT_TRUE(GetModulePdbSignature(dir.Join("missing").c_str()).empty());
}

// Offsets and sizes that point outside the file, or wrap around, are errors: nothing is read from
// beyond the file's end.
TEST(ModuleSignature, LyingOffsetsAreErrors)
{
    TempDir dir;
    std::string signature;
    struct Case
    {
        const char* label;
        void (*edit)(TinyElf&);
    };
    const Case cases[] = {
        {"program headers past the end", [](TinyElf& e) { e.header.e_phoff = sizeof(TinyElf) - 8; }},
        {"program headers wrap around", [](TinyElf& e) { e.header.e_phoff = ~uint64(0) - 16; }},
        {"too many program headers", [](TinyElf& e) { e.header.e_phnum = 0xFFFF; }},
        {"wrong program header size", [](TinyElf& e) { e.header.e_phentsize = 8; }},
        {"section headers past the end", [](TinyElf& e) { e.header.e_shoff = sizeof(TinyElf) + 1; }},
        {"wrong section header size", [](TinyElf& e) { e.header.e_shentsize = 4000; }},
        {"note segment past the end", [](TinyElf& e) { e.note.p_offset = sizeof(TinyElf); }},
        {"note segment wraps around", [](TinyElf& e) { e.note.p_offset = ~uint64(0) - 4; }},
        {"note segment too long", [](TinyElf& e) { e.note.p_filesz = 1 << 20; }},
        {"huge note segment length", [](TinyElf& e) { e.note.p_filesz = ~uint64(0); }},
        {"name longer than the segment", [](TinyElf& e) { e.noteHeader.n_namesz = 0xFFFFFFFF; }},
        {"id longer than the segment", [](TinyElf& e) { e.noteHeader.n_descsz = 0xFFFFFFF0; }},
        {"id just past the segment", [](TinyElf& e) { e.noteHeader.n_descsz = 24; }},
        {"note section past the end",
         [](TinyElf& e)
         {
             e.header.e_phnum = 0;
             e.sections[1].sh_offset = 1 << 30;
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.label);
        TinyElf elf;
        c.edit(elf);
        EXPECT_EQ(SignatureOf(dir, elf.Bytes(), signature), EModuleSignatureResult::kMalformed);
        EXPECT_EQ(signature, "");
    }
}

// A real module cut short anywhere, from an empty file to one byte short, gives an error.
TEST(ModuleSignature, TruncatedModulesAreErrors)
{
    const std::string whole = ReadAll(ExecutablePath());
    ASSERT_GT(whole.size(), 4096u);
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(whole.data());
    const size_t cuts[] = {0,
                           3,
                           16,
                           sizeof(Elf64_Ehdr) - 1,
                           sizeof(Elf64_Ehdr),
                           header->e_phoff + sizeof(Elf64_Phdr) + 10,
                           whole.size() / 2,
                           header->e_shoff + 1,
                           whole.size() - 1};
    TempDir dir;
    std::string signature;
    for (size_t cut : cuts)
    {
        SCOPED_TRACE(cut);
        const EModuleSignatureResult r = SignatureOf(dir, whole.substr(0, cut), signature);
        EXPECT_NE(r, EModuleSignatureResult::kOk);
        EXPECT_EQ(signature, "");
    }
    EXPECT_EQ(SignatureOf(dir, whole, signature), EModuleSignatureResult::kOk);
}
