// The minidump writer: reads a stopped process through ptrace and /proc/<pid>/ and lays the dump
// out in the standard format (all numbers little-endian, structures packed).

#include "CrashHook/MinidumpWriter.h"

#include <algorithm>
#include <cerrno>
#include <cpuid.h>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Morvex::CrashHook
{
namespace
{
// Stream types.
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
constexpr uint32_t kMiscInfoStream = 15;
constexpr uint32_t kLinuxProcStatus = 0x47670004;
constexpr uint32_t kLinuxCmdLine = 0x47670006;
constexpr uint32_t kLinuxAuxv = 0x47670008;
constexpr uint32_t kLinuxMaps = 0x47670009;

constexpr uint32_t kContextAmd64Size = 1232;
constexpr uint32_t kContextAmd64Flags = 0x0010000f;   // control, integer, segments, floating point
constexpr uint32_t kElfBuildIdSignature = 0x4270454c; // "BpEL"
constexpr uint64_t kRedZone = 128;
constexpr uint64_t kCrashedStackBytes = 512 * 1024;
constexpr uint64_t kOtherStackBytes = 128 * 1024;
constexpr uint64_t kAroundFaultBytes = 256;

struct Mapping
{
    uint64_t start = 0;
    uint64_t end = 0;
    bool readable = false;
    uint64_t offset = 0;
    std::string path;
};

struct Region
{
    uint64_t start = 0;
    uint32_t size = 0;
    uint32_t rva = 0;
};

// The little-endian byte image of the dump, built in memory (its size is bounded by the options).
class Image
{
public:
    uint32_t Size() const { return static_cast<uint32_t>(m_bytes.size()); }
    uint32_t Reserve(size_t size)
    {
        const uint32_t at = Size();
        m_bytes.resize(m_bytes.size() + size, 0);
        return at;
    }
    uint32_t Append(const void* data, size_t size)
    {
        const uint32_t at = Size();
        const auto* p = static_cast<const uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), p, p + size);
        return at;
    }
    void Align(size_t to)
    {
        while (m_bytes.size() % to != 0)
            m_bytes.push_back(0);
    }
    template <typename T>
    void Put(uint32_t at, T value)
    {
        for (size_t i = 0; i < sizeof(T); ++i)
            m_bytes[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    void PutBytes(uint32_t at, const void* data, size_t size)
    {
        std::memcpy(m_bytes.data() + at, data, size);
    }
    // A MINIDUMP_STRING: byte length, UTF-16LE text, a NUL. Bytes that are not UTF-8 become U+FFFD.
    uint32_t AppendString(const std::string& text)
    {
        std::u16string wide;
        for (size_t i = 0; i < text.size();)
        {
            const auto c = static_cast<unsigned char>(text[i]);
            const size_t length = c < 0x80         ? 1
                                  : (c >> 5) == 6  ? 2
                                  : (c >> 4) == 14 ? 3
                                  : (c >> 3) == 30 ? 4
                                                   : 0;
            uint32_t cp = 0xFFFD;
            size_t n = 1;
            bool whole = length > 0 && i + length <= text.size();
            for (size_t k = 1; whole && k < length; ++k)
                whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (whole)
            {
                cp = length == 1 ? c : c & (0x7Fu >> length);
                for (size_t k = 1; k < length; ++k)
                    cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
                static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
                // Overlong forms and surrogates are not characters.
                if (cp < kSmallest[length] || (cp >= 0xD800 && cp <= 0xDFFF))
                    cp = 0xFFFD;
                n = length;
            }
            i += n;
            if (cp >= 0x10000 && cp <= 0x10FFFF)
            {
                cp -= 0x10000;
                wide.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                wide.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            }
            else
                wide.push_back(static_cast<char16_t>(cp > 0xFFFF ? 0xFFFD : cp));
        }
        Align(4);
        const uint32_t at = Reserve(4 + 2 * wide.size() + 2);
        Put<uint32_t>(at, static_cast<uint32_t>(2 * wide.size()));
        for (size_t i = 0; i < wide.size(); ++i)
            Put<uint16_t>(static_cast<uint32_t>(at + 4 + 2 * i), wide[i]);
        return at;
    }
    std::vector<uint8_t> Take() { return std::move(m_bytes); }

private:
    std::vector<uint8_t> m_bytes;
};

std::string ReadProcFile(int pid, const char* name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<Mapping> ParseMaps(const std::string& maps)
{
    std::vector<Mapping> out;
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line))
    {
        Mapping m;
        char perms[8] = {};
        unsigned long long start = 0, end = 0, offset = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx %7s %llx %*s %*s %n", &start, &end, perms, &offset,
                        &pathAt) < 4)
            continue;
        m.start = start;
        m.end = end;
        m.readable = perms[0] == 'r';
        m.offset = offset;
        if (pathAt > 0 && static_cast<size_t>(pathAt) <= line.size())
            m.path = line.substr(static_cast<size_t>(pathAt));
        out.push_back(std::move(m));
    }
    return out;
}

const Mapping* FindMapping(const std::vector<Mapping>& maps, uint64_t address)
{
    for (const Mapping& m : maps)
        if (address >= m.start && address < m.end)
            return &m;
    return nullptr;
}

// Stops every thread for the reading and lets them all go when it goes. A thread that does not
// stop in time (asleep in the kernel where nothing interrupts it) is read without registers rather
// than waited for.
class ThreadStopper
{
public:
    ~ThreadStopper()
    {
        // A signal that arrived while a thread was stopped is handed back, not lost.
        for (const auto& [tid, signal] : m_seized)
            ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void*>(static_cast<uintptr_t>(signal)));
    }
    // Returns, for each thread in order, whether it stopped.
    std::vector<bool> StopAll(const std::vector<int>& tids, int timeoutMs)
    {
        std::vector<bool> stopped(tids.size(), false);
        std::vector<bool> seized(tids.size(), false);
        for (size_t i = 0; i < tids.size(); ++i)
        {
            if (ptrace(PTRACE_SEIZE, tids[i], nullptr, nullptr) != 0)
                continue;
            seized[i] = true;
            m_seized.emplace_back(tids[i], 0);
            ptrace(PTRACE_INTERRUPT, tids[i], nullptr, nullptr);
        }
        timespec start{};
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;)
        {
            bool waiting = false;
            for (size_t i = 0; i < tids.size(); ++i)
            {
                if (!seized[i] || stopped[i])
                    continue;
                int status = 0;
                const pid_t got = waitpid(tids[i], &status, __WALL | WNOHANG);
                if (got == tids[i] && WIFSTOPPED(status))
                {
                    stopped[i] = true;
                    if ((status >> 16) != PTRACE_EVENT_STOP)
                        Remember(tids[i], WSTOPSIG(status));
                }
                else if (got < 0 && errno != EINTR)
                    seized[i] = false; // gone
                else
                    waiting = true;
            }
            if (!waiting)
                break;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 > timeoutMs)
                break;
            usleep(1000);
        }
        return stopped;
    }

private:
    void Remember(int tid, int signal)
    {
        for (auto& entry : m_seized)
            if (entry.first == tid)
                entry.second = signal;
    }
    std::vector<std::pair<int, int>> m_seized;
};

std::vector<int> ListThreads(int pid)
{
    std::vector<int> tids;
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* dir = opendir(folder.c_str()))
    {
        while (dirent* entry = readdir(dir))
        {
            const int tid = std::atoi(entry->d_name);
            if (tid > 0)
                tids.push_back(tid);
        }
        closedir(dir);
    }
    std::sort(tids.begin(), tids.end());
    return tids;
}

// Reads target memory; the number of bytes read (a region may end early).
size_t ReadMemory(int memFd, uint64_t address, void* into, size_t size)
{
    size_t done = 0;
    while (done < size)
    {
        const ssize_t n =
            pread(memFd, static_cast<uint8_t*>(into) + done, size - done, static_cast<off_t>(address + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

// The registers of one thread in the minidump's AMD64 context layout.
struct Registers
{
    uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0, rbp = 0, rsp = 0;
    uint64_t r8 = 0, r9 = 0, r10 = 0, r11 = 0, r12 = 0, r13 = 0, r14 = 0, r15 = 0;
    uint64_t rip = 0, eflags = 0;
    uint16_t cs = 0, ds = 0, es = 0, fs = 0, gs = 0, ss = 0;
    uint8_t fxsave[512] = {};
    bool valid = false;
};

Registers FromRecord(const MxCrashRecord& r)
{
    // The kernel's signal-context order.
    enum
    {
        R8,
        R9,
        R10,
        R11,
        R12,
        R13,
        R14,
        R15,
        RDI,
        RSI,
        RBP,
        RBX,
        RDX,
        RAX,
        RCX,
        RSP,
        RIP,
        EFL,
        CSGSFS
    };
    Registers x;
    x.r8 = r.gregs[R8], x.r9 = r.gregs[R9], x.r10 = r.gregs[R10], x.r11 = r.gregs[R11];
    x.r12 = r.gregs[R12], x.r13 = r.gregs[R13], x.r14 = r.gregs[R14], x.r15 = r.gregs[R15];
    x.rdi = r.gregs[RDI], x.rsi = r.gregs[RSI], x.rbp = r.gregs[RBP], x.rbx = r.gregs[RBX];
    x.rdx = r.gregs[RDX], x.rax = r.gregs[RAX], x.rcx = r.gregs[RCX], x.rsp = r.gregs[RSP];
    x.rip = r.gregs[RIP], x.eflags = r.gregs[EFL];
    x.cs = static_cast<uint16_t>(r.gregs[CSGSFS] & 0xFFFF);
    x.gs = static_cast<uint16_t>((r.gregs[CSGSFS] >> 16) & 0xFFFF);
    x.fs = static_cast<uint16_t>((r.gregs[CSGSFS] >> 32) & 0xFFFF);
    x.ss = 0x2b;
    if (r.hasFloatState)
        std::memcpy(x.fxsave, r.floatState, sizeof(x.fxsave));
    x.valid = true;
    return x;
}

Registers FromPtrace(int tid)
{
    Registers x;
    user_regs_struct regs{};
    if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) != 0)
        return x;
    x.rax = regs.rax, x.rbx = regs.rbx, x.rcx = regs.rcx, x.rdx = regs.rdx;
    x.rsi = regs.rsi, x.rdi = regs.rdi, x.rbp = regs.rbp, x.rsp = regs.rsp;
    x.r8 = regs.r8, x.r9 = regs.r9, x.r10 = regs.r10, x.r11 = regs.r11;
    x.r12 = regs.r12, x.r13 = regs.r13, x.r14 = regs.r14, x.r15 = regs.r15;
    x.rip = regs.rip, x.eflags = regs.eflags;
    x.cs = static_cast<uint16_t>(regs.cs), x.ds = static_cast<uint16_t>(regs.ds);
    x.es = static_cast<uint16_t>(regs.es), x.fs = static_cast<uint16_t>(regs.fs);
    x.gs = static_cast<uint16_t>(regs.gs), x.ss = static_cast<uint16_t>(regs.ss);
    user_fpregs_struct fp{};
    if (ptrace(PTRACE_GETFPREGS, tid, nullptr, &fp) == 0)
        std::memcpy(x.fxsave, &fp, std::min(sizeof(fp), sizeof(x.fxsave)));
    x.valid = true;
    return x;
}

uint32_t AppendContext(Image& image, const Registers& x)
{
    image.Align(16);
    const uint32_t at = image.Reserve(kContextAmd64Size);
    image.Put<uint32_t>(at + 0x30, kContextAmd64Flags);
    uint32_t mxcsr = 0;
    std::memcpy(&mxcsr, x.fxsave + 24, sizeof(mxcsr));
    image.Put<uint32_t>(at + 0x34, mxcsr);
    image.Put<uint16_t>(at + 0x38, x.cs);
    image.Put<uint16_t>(at + 0x3a, x.ds);
    image.Put<uint16_t>(at + 0x3c, x.es);
    image.Put<uint16_t>(at + 0x3e, x.fs);
    image.Put<uint16_t>(at + 0x40, x.gs);
    image.Put<uint16_t>(at + 0x42, x.ss);
    image.Put<uint32_t>(at + 0x44, static_cast<uint32_t>(x.eflags));
    const uint64_t integer[] = {x.rax, x.rcx, x.rdx, x.rbx, x.rsp, x.rbp, x.rsi, x.rdi, x.r8,
                                x.r9,  x.r10, x.r11, x.r12, x.r13, x.r14, x.r15, x.rip};
    for (size_t i = 0; i < sizeof(integer) / sizeof(integer[0]); ++i)
        image.Put<uint64_t>(static_cast<uint32_t>(at + 0x78 + 8 * i), integer[i]);
    image.PutBytes(at + 0x100, x.fxsave, sizeof(x.fxsave));
    return at;
}

} // namespace

std::vector<uint8_t> FindGnuBuildId(const uint8_t* notes, size_t size)
{
    // Sizes are rounded in 64 bits: a 32-bit size near 4 GiB must not wrap to a small one.
    size_t at = 0;
    while (notes != nullptr && size >= sizeof(Elf64_Nhdr) && at <= size - sizeof(Elf64_Nhdr))
    {
        Elf64_Nhdr note{};
        std::memcpy(&note, notes + at, sizeof(note));
        const uint64_t name = at + sizeof(note);
        const uint64_t desc = name + ((uint64_t(note.n_namesz) + 3) & ~uint64_t(3));
        const uint64_t next = desc + ((uint64_t(note.n_descsz) + 3) & ~uint64_t(3));
        if (desc > size || note.n_descsz > size - desc || next <= at)
            break;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + name, "GNU", 4) == 0)
        {
            if (note.n_descsz == 0 || note.n_descsz > 64)
                return {};
            return std::vector<uint8_t>(notes + desc, notes + desc + note.n_descsz);
        }
        if (next > size)
            break;
        at = static_cast<size_t>(next);
    }
    return {};
}

namespace
{
// The GNU build id of the ELF object mapped at `base`, read from the process's memory, else from
// the file on disk; empty when it has none.
std::vector<uint8_t> BuildIdInMemory(int memFd, uint64_t base)
{
    Elf64_Ehdr header{};
    if (ReadMemory(memFd, base, &header, sizeof(header)) != sizeof(header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 || header.e_phnum > 256)
        return {};
    std::vector<Elf64_Phdr> phdrs(header.e_phnum);
    const size_t bytes = phdrs.size() * sizeof(Elf64_Phdr);
    if (ReadMemory(memFd, base + header.e_phoff, phdrs.data(), bytes) != bytes)
        return {};
    uint64_t firstLoad = UINT64_MAX;
    for (const Elf64_Phdr& p : phdrs)
        if (p.p_type == PT_LOAD)
            firstLoad = std::min<uint64_t>(firstLoad, p.p_vaddr & ~uint64_t(0xFFF));
    if (firstLoad == UINT64_MAX)
        return {};
    const uint64_t bias = base - firstLoad;
    for (const Elf64_Phdr& p : phdrs)
    {
        if (p.p_type != PT_NOTE || p.p_memsz == 0 || p.p_memsz > 65536)
            continue;
        std::vector<uint8_t> notes(p.p_memsz);
        notes.resize(ReadMemory(memFd, bias + p.p_vaddr, notes.data(), notes.size()));
        std::vector<uint8_t> id = FindGnuBuildId(notes.data(), notes.size());
        if (!id.empty())
            return id;
    }
    return {};
}

std::vector<uint8_t> BuildIdOnDisk(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof(header)) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256)
        return {};
    std::vector<Elf64_Phdr> phdrs(header.e_phnum);
    in.seekg(static_cast<std::streamoff>(header.e_phoff));
    if (!in.read(reinterpret_cast<char*>(phdrs.data()),
                 static_cast<std::streamsize>(phdrs.size() * sizeof(Elf64_Phdr))))
        return {};
    for (const Elf64_Phdr& p : phdrs)
    {
        if (p.p_type != PT_NOTE || p.p_filesz == 0 || p.p_filesz > 65536)
            continue;
        std::vector<uint8_t> notes(p.p_filesz);
        in.seekg(static_cast<std::streamoff>(p.p_offset));
        if (!in.read(reinterpret_cast<char*>(notes.data()), static_cast<std::streamsize>(notes.size())))
            continue;
        std::vector<uint8_t> id = FindGnuBuildId(notes.data(), notes.size());
        if (!id.empty())
            return id;
    }
    return {};
}

struct Module
{
    uint64_t base = 0;
    uint64_t end = 0;
    std::string path;
};

// Every file mapped from its start (offset 0), with the extent of its mappings that follow.
std::vector<Module> ListModules(const std::vector<Mapping>& maps)
{
    std::vector<Module> modules;
    for (const Mapping& m : maps)
    {
        if (m.path.empty() || m.path[0] != '/')
            continue;
        if (!modules.empty() && modules.back().path == m.path && m.offset != 0)
        {
            modules.back().end = std::max(modules.back().end, m.end);
            continue;
        }
        if (m.offset == 0)
            modules.push_back({m.start, m.end, m.path});
    }
    return modules;
}

void AppendSystemInfo(Image& image, uint32_t at)
{
    image.Put<uint16_t>(at + 0, 9); // AMD64
    unsigned a = 0, b = 0, c = 0, d = 0;
    uint32_t vendor[3] = {};
    uint32_t version = 0, features = 0, extended = 0;
    if (__get_cpuid(0, &a, &b, &c, &d))
        vendor[0] = b, vendor[1] = d, vendor[2] = c;
    if (__get_cpuid(1, &a, &b, &c, &d))
        version = a, features = d;
    if (__get_cpuid(0x80000001, &a, &b, &c, &d))
        extended = c;
    const uint32_t family = (version >> 8) & 0xF;
    image.Put<uint16_t>(at + 2,
                        static_cast<uint16_t>(family == 0xF ? family + ((version >> 20) & 0xFF) : family));
    // The model with its extended bits, as families 6 and 15 use them.
    uint32_t model = (version >> 4) & 0xF;
    if (family == 6 || family == 0xF)
        model |= ((version >> 16) & 0xF) << 4;
    image.Put<uint16_t>(at + 4, static_cast<uint16_t>((model << 8) | (version & 0xF)));
    const long cpus = sysconf(_SC_NPROCESSORS_CONF);
    image.Put<uint8_t>(at + 6, static_cast<uint8_t>(std::clamp<long>(cpus, 1, 255)));
    utsname names{};
    uname(&names);
    unsigned major = 0, minor = 0, build = 0;
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
    image.Put<uint32_t>(at + 8, major);
    image.Put<uint32_t>(at + 12, minor);
    image.Put<uint32_t>(at + 16, build);
    image.Put<uint32_t>(at + 20, 0x8201); // Linux
    for (int i = 0; i < 3; ++i)
        image.Put<uint32_t>(at + 32 + 4 * i, vendor[i]);
    image.Put<uint32_t>(at + 44, version);
    image.Put<uint32_t>(at + 48, features);
    image.Put<uint32_t>(at + 52, extended);
    const std::string description =
        std::string(names.sysname) + " " + names.release + " " + names.version + " " + names.machine;
    const uint32_t csd = image.AppendString(description);
    image.Put<uint32_t>(at + 24, csd);
}

struct StreamEntry
{
    uint32_t type;
    uint32_t size;
    uint32_t rva;
};
} // namespace

DumpResult WriteMinidump(int pid, const MxCrashRecord* record, const DumpOptions& options,
                         std::vector<uint8_t>& out)
{
    DumpResult result;
    out.clear();
    const std::string earlyMaps = ReadProcFile(pid, "maps");
    if (earlyMaps.empty())
    {
        result.notes = "process " + std::to_string(pid) + " cannot be read (gone, or not ours)";
        return result;
    }

    ThreadStopper stopper;
    std::vector<int> tids = ListThreads(pid);
    const int crashedTid = record ? record->tid : 0;
    // The crashing thread first: its stack is the one that matters most.
    std::stable_partition(tids.begin(), tids.end(), [crashedTid](int tid) { return tid == crashedTid; });
    const std::vector<bool> stoppedThreads = stopper.StopAll(tids, 3000);
    std::vector<Registers> registers;
    for (size_t i = 0; i < tids.size(); ++i)
    {
        const int tid = tids[i];
        const bool stopped = stoppedThreads[i];
        if (tid == crashedTid)
            registers.push_back(FromRecord(*record));
        else if (stopped)
            registers.push_back(FromPtrace(tid));
        else
            registers.emplace_back();
        if (!stopped)
            result.notes += "thread " + std::to_string(tid) + " could not be stopped; ";
    }
    if (options.afterThreadsStopped != nullptr)
        options.afterThreadsStopped();
    // The mappings as they are now that nothing runs (threads may have come and gone meanwhile).
    const std::string stoppedMaps = ReadProcFile(pid, "maps");
    const std::string& mapsText = stoppedMaps.empty() ? earlyMaps : stoppedMaps;
    const std::vector<Mapping> maps = ParseMaps(mapsText);
    const std::string memPath = "/proc/" + std::to_string(pid) + "/mem";
    const int memFd = open(memPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (memFd < 0)
        result.notes += "its memory cannot be read (" + std::string(std::strerror(errno)) + "); ";

    Image image;
    const bool hasException = record != nullptr;
    const uint32_t streamCount = 9 + (hasException ? 1 : 0);
    const uint32_t header = image.Reserve(32);
    const uint32_t directory = image.Reserve(12 * streamCount);
    std::vector<StreamEntry> streams;

    // System and process.
    const uint32_t systemInfo = image.Reserve(56);
    AppendSystemInfo(image, systemInfo);
    streams.push_back({kSystemInfoStream, 56, systemInfo});
    image.Align(4);
    const uint32_t misc = image.Reserve(24);
    image.Put<uint32_t>(misc, 24);
    image.Put<uint32_t>(misc + 4, 1); // the process id is valid
    image.Put<uint32_t>(misc + 8, static_cast<uint32_t>(pid));
    streams.push_back({kMiscInfoStream, 24, misc});

    // Threads: registers, then stacks within the budget.
    uint64_t budget = options.maxMemoryBytes;
    std::vector<Region> regions;
    image.Align(4);
    const uint32_t threadList = image.Reserve(4 + 48 * tids.size());
    image.Put<uint32_t>(threadList, static_cast<uint32_t>(tids.size()));
    uint32_t crashedContext = 0;
    for (size_t i = 0; i < tids.size(); ++i)
    {
        const uint32_t entry = static_cast<uint32_t>(threadList + 4 + 48 * i);
        const Registers& x = registers[i];
        image.Put<uint32_t>(entry, static_cast<uint32_t>(tids[i]));
        const uint32_t context = AppendContext(image, x);
        if (tids[i] == crashedTid)
            crashedContext = context;
        image.Put<uint32_t>(entry + 40, kContextAmd64Size);
        image.Put<uint32_t>(entry + 44, context);
        if (!x.valid || memFd < 0)
            continue;
        // From below the red zone up the stack's mapping; past a guard page (a stack overflow),
        // the stack mapping just above.
        const Mapping* m = FindMapping(maps, x.rsp);
        if (m == nullptr || !m->readable)
        {
            const Mapping* above = nullptr;
            for (const Mapping& candidate : maps)
                if (candidate.start > x.rsp && candidate.start - x.rsp <= 1024 * 1024 && candidate.readable)
                {
                    above = &candidate;
                    break;
                }
            m = above;
        }
        if (m == nullptr)
            continue;
        const uint64_t start = std::max(m->start, x.rsp > kRedZone ? x.rsp - kRedZone : 0);
        const uint64_t want = std::min<uint64_t>(
            m->end - std::min(start, m->end), tids[i] == crashedTid ? kCrashedStackBytes : kOtherStackBytes);
        const uint64_t size = std::min(want, budget);
        if (size == 0)
            continue;
        std::vector<uint8_t> bytes(size);
        bytes.resize(ReadMemory(memFd, start, bytes.data(), bytes.size()));
        if (bytes.empty())
            continue;
        budget -= bytes.size();
        image.Align(16);
        const uint32_t rva = image.Append(bytes.data(), bytes.size());
        image.Put<uint64_t>(entry + 24, start);
        image.Put<uint32_t>(entry + 32, static_cast<uint32_t>(bytes.size()));
        image.Put<uint32_t>(entry + 36, rva);
        regions.push_back({start, static_cast<uint32_t>(bytes.size()), rva});
    }
    streams.push_back({kThreadListStream, static_cast<uint32_t>(4 + 48 * tids.size()), threadList});
    result.threads = static_cast<uint32_t>(tids.size());

    // The memory around the faulting address, when it is readable and not on a stack already.
    if (hasException && memFd >= 0 && budget > 0)
    {
        const uint64_t fault = record->faultAddress;
        const Mapping* m = FindMapping(maps, fault);
        bool covered = false;
        for (const Region& r : regions)
            covered = covered || (fault >= r.start && fault < r.start + r.size);
        if (m != nullptr && m->readable && !covered)
        {
            const uint64_t start =
                std::max(m->start, fault > kAroundFaultBytes ? fault - kAroundFaultBytes : 0);
            const uint64_t size = std::min({m->end - start, 2 * kAroundFaultBytes, budget});
            std::vector<uint8_t> bytes(size);
            bytes.resize(ReadMemory(memFd, start, bytes.data(), bytes.size()));
            if (!bytes.empty())
            {
                budget -= bytes.size();
                image.Align(16);
                regions.push_back(
                    {start, static_cast<uint32_t>(bytes.size()), image.Append(bytes.data(), bytes.size())});
            }
        }
    }

    // The exception: the signal as the code, si_code as the flags, the faulting address.
    if (hasException)
    {
        // A crashing thread missing from the list (gone from /proc already) still has its context.
        if (crashedContext == 0)
            crashedContext = AppendContext(image, FromRecord(*record));
        image.Align(4);
        const uint32_t at = image.Reserve(168);
        image.Put<uint32_t>(at, static_cast<uint32_t>(record->tid));
        image.Put<uint32_t>(at + 8, static_cast<uint32_t>(record->signal));
        image.Put<uint32_t>(at + 12, static_cast<uint32_t>(record->code));
        image.Put<uint64_t>(at + 24, record->faultAddress);
        image.Put<uint32_t>(at + 160, kContextAmd64Size);
        image.Put<uint32_t>(at + 164, crashedContext);
        streams.push_back({kExceptionStream, 168, at});
    }

    // Modules, each with its path and its build id.
    // Only programs and libraries: a data file or a device mapped from its start is no module.
    std::vector<Module> modules = ListModules(maps);
    std::erase_if(modules,
                  [memFd](const Module& module)
                  {
                      char magic[SELFMAG] = {};
                      if (memFd >= 0 && ReadMemory(memFd, module.base, magic, SELFMAG) == SELFMAG)
                          return std::memcmp(magic, ELFMAG, SELFMAG) != 0;
                      struct stat st
                      {
                      };
                      std::ifstream in(module.path, std::ios::binary);
                      return stat(module.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
                             !in.read(magic, SELFMAG) || std::memcmp(magic, ELFMAG, SELFMAG) != 0;
                  });
    image.Align(4);
    const uint32_t moduleList = image.Reserve(4 + 108 * modules.size());
    image.Put<uint32_t>(moduleList, static_cast<uint32_t>(modules.size()));
    for (size_t i = 0; i < modules.size(); ++i)
    {
        const uint32_t entry = static_cast<uint32_t>(moduleList + 4 + 108 * i);
        const Module& module = modules[i];
        image.Put<uint64_t>(entry, module.base);
        image.Put<uint32_t>(entry + 8,
                            static_cast<uint32_t>(std::min<uint64_t>(module.end - module.base, UINT32_MAX)));
        image.Put<uint32_t>(entry + 20, image.AppendString(module.path));
        std::vector<uint8_t> buildId =
            memFd >= 0 ? BuildIdInMemory(memFd, module.base) : std::vector<uint8_t>();
        if (buildId.empty())
            buildId = BuildIdOnDisk(module.path);
        if (!buildId.empty())
        {
            image.Align(4);
            const uint32_t cv = image.Reserve(4 + buildId.size());
            image.Put<uint32_t>(cv, kElfBuildIdSignature);
            image.PutBytes(cv + 4, buildId.data(), buildId.size());
            image.Put<uint32_t>(entry + 76, static_cast<uint32_t>(4 + buildId.size()));
            image.Put<uint32_t>(entry + 80, cv);
        }
    }
    streams.push_back({kModuleListStream, static_cast<uint32_t>(4 + 108 * modules.size()), moduleList});
    result.modules = static_cast<uint32_t>(modules.size());

    // Every region of memory the dump holds.
    image.Align(4);
    const uint32_t memoryList = image.Reserve(4 + 16 * regions.size());
    image.Put<uint32_t>(memoryList, static_cast<uint32_t>(regions.size()));
    for (size_t i = 0; i < regions.size(); ++i)
    {
        const uint32_t entry = static_cast<uint32_t>(memoryList + 4 + 16 * i);
        image.Put<uint64_t>(entry, regions[i].start);
        image.Put<uint32_t>(entry + 8, regions[i].size);
        image.Put<uint32_t>(entry + 12, regions[i].rva);
        result.memoryBytes += regions[i].size;
    }
    streams.push_back({kMemoryListStream, static_cast<uint32_t>(4 + 16 * regions.size()), memoryList});

    // The process as Linux describes it.
    const std::pair<uint32_t, std::string> texts[] = {
        {kLinuxProcStatus, ReadProcFile(pid, "status")},
        {kLinuxMaps, mapsText},
        {kLinuxCmdLine, ReadProcFile(pid, "cmdline")},
        {kLinuxAuxv, ReadProcFile(pid, "auxv")},
    };
    for (const auto& [type, text] : texts)
    {
        image.Align(4);
        streams.push_back({type, static_cast<uint32_t>(text.size()), image.Append(text.data(), text.size())});
    }
    if (memFd >= 0)
        close(memFd);

    image.Put<uint32_t>(header, 0x504d444d); // "MDMP"
    image.Put<uint32_t>(header + 4, 0xa793);
    image.Put<uint32_t>(header + 8, static_cast<uint32_t>(streams.size()));
    image.Put<uint32_t>(header + 12, directory);
    image.Put<uint32_t>(header + 20, static_cast<uint32_t>(std::time(nullptr)));
    for (size_t i = 0; i < streams.size(); ++i)
    {
        const uint32_t entry = static_cast<uint32_t>(directory + 12 * i);
        image.Put<uint32_t>(entry, streams[i].type);
        image.Put<uint32_t>(entry + 4, streams[i].size);
        image.Put<uint32_t>(entry + 8, streams[i].rva);
    }
    out = image.Take();
    result.ok = true;
    return result;
}
} // namespace Morvex::CrashHook
