// Linux side of the platform module.
//
// Mapping of the system facts: the local application data folder is $XDG_DATA_HOME (when absolute)
// or $HOME/.local/share; the OS description is PRETTY_NAME of /etc/os-release with the kernel
// release; the version numbers are the kernel's; processor counts come from sysfs topology; the
// computer name is the host name (no DNS lookup, which could block); there is no registry, no timer
// resolution and no COM to set up.

#include "Core/Assert.h"
#include "Core/Platform.h"
#include "PlatformInternal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace Morvex
{
namespace
{
FilePath GLocalAppDataFolder;
OSVersion GOSVersion;
int32 GCoreCount = 0;
int32 GLogicalProcessorCount = 0;
int32 GPackageCount = 0;
int32 GGroupCount = 0;
String GUserName;
char GComputerName[256] = {};

void ReadLocalAppDataFolder()
{
    GLocalAppDataFolder.Clear();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    // Relative values of XDG variables are to be ignored.
    if (xdg && xdg[0] == '/')
        GLocalAppDataFolder.Assign(xdg);
    else if (const char* home = std::getenv("HOME"); home && home[0] == '/')
    {
        GLocalAppDataFolder.Assign(home);
        GLocalAppDataFolder.AppendPath(".local/share");
    }
    // One trailing '/' goes, but the root stays "/".
    if (GLocalAppDataFolder.length() > 1 && GLocalAppDataFolder[GLocalAppDataFolder.length() - 1] == '/')
        GLocalAppDataFolder.Truncate(GLocalAppDataFolder.length() - 1);
}

// The unquoted value of PRETTY_NAME, or empty.
void ReadPrettyName(StaticString<128>& out)
{
    out.Clear();
    FILE* f = std::fopen("/etc/os-release", "re");
    if (!f)
        f = std::fopen("/usr/lib/os-release", "re");
    if (!f)
        return;
    char line[512];
    while (std::fgets(line, sizeof(line), f))
    {
        if (std::strncmp(line, "PRETTY_NAME=", 12) != 0)
            continue;
        char* value = line + 12;
        size_t n = std::strcspn(value, "\r\n");
        value[n] = 0;
        if (n >= 2 && (value[0] == '"' || value[0] == '\'') && value[n - 1] == value[0])
        {
            value[n - 1] = 0;
            ++value;
        }
        out.Assign(value);
        break;
    }
    std::fclose(f);
}

void ReadOSVersion()
{
    GOSVersion = OSVersion();
    StaticString<128> name;
    ReadPrettyName(name);
    StaticString<127> description;
    if (!name.empty())
    {
        description.Append(name);
        description.Append(' ');
    }
    utsname u{};
    if (uname(&u) == 0)
    {
        unsigned major = 0, minor = 0, build = 0;
        std::sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
        GOSVersion.major = major;
        GOSVersion.minor = minor;
        GOSVersion.build = build;
        description.Append('(');
        description.Append(u.release);
        description.Append(')');
    }
    else if (!description.empty())
        description.Truncate(description.length() - 1);
    std::memcpy(GOSVersion.description, description.c_str(), description.length() + 1);
}

bool ReadSysfsInt(const char* path, long& out)
{
    FILE* f = std::fopen(path, "re");
    if (!f)
        return false;
    bool ok = std::fscanf(f, "%ld", &out) == 1;
    std::fclose(f);
    return ok;
}

void ReadProcessorCounts()
{
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    GLogicalProcessorCount = online > 0 ? static_cast<int32>(online) : 0;
    std::set<std::pair<long, long>> cores;
    std::set<long> packages;
    long configured = sysconf(_SC_NPROCESSORS_CONF);
    for (long cpu = 0; cpu < configured && cpu < 4096; ++cpu)
    {
        char path[128];
        long package = 0, core = 0;
        std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%ld/topology/physical_package_id", cpu);
        if (!ReadSysfsInt(path, package))
            continue;
        std::snprintf(path, sizeof(path), "/sys/devices/system/cpu/cpu%ld/topology/core_id", cpu);
        if (!ReadSysfsInt(path, core))
            continue;
        packages.insert(package);
        cores.insert({package, core});
    }
    // Without topology (some containers) every logical processor counts as a core of one package.
    GCoreCount = cores.empty() ? GLogicalProcessorCount : static_cast<int32>(cores.size());
    GPackageCount =
        packages.empty() ? (GLogicalProcessorCount > 0 ? 1 : 0) : static_cast<int32>(packages.size());
    // Windows groups hold at most 64 logical processors; Linux has no groups, so report that shape.
    GGroupCount = (GLogicalProcessorCount + 63) / 64;
}

void ReadUserName()
{
    GUserName.Clear();
    char buffer[4096];
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof(buffer), &result) == 0 && result && result->pw_name)
        GUserName.Assign(result->pw_name);
    else if (const char* user = std::getenv("USER"))
        GUserName.Assign(user);
}
} // namespace

void Platform_PreInit()
{
}

void Platform_PostInit_Native()
{
    ReadProcessorCounts();
    ReadLocalAppDataFolder();
    ReadOSVersion();
    ReadUserName();
}

void Platform_Shutdown()
{
}

const FilePath& Platform_GetLocalAppDataFolder()
{
    return GLocalAppDataFolder;
}

FilePath Platform_GetTempFolder()
{
    const char* dir = std::getenv("TMPDIR");
    FilePath folder;
    if (!dir || !dir[0] || !folder.TryAssign(StrView(dir)))
        folder.Assign("/tmp");
    return folder;
}

FilePath Platform_CreateTempFile(bool inWorkingDirectory)
{
    FilePath path;
    if (!inWorkingDirectory)
    {
        path = Platform_GetTempFolder();
        if (!path.TryAppendPath("morvextmpXXXXXX"))
            return FilePath();
    }
    else
        path.Assign("morvextmp_XXXXXX.tmp");
    // mkstemp creates the file with mode 0600 and O_EXCL (which never follows a symbolic link), so
    // the name is ours alone.
    int fd = inWorkingDirectory ? mkostemps(path.data(), 4, O_CLOEXEC) : mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return FilePath();
    ::close(fd);
    return path;
}

bool GetRegistryValue(RegistryRoot, const char16_t* subKey, const char16_t* valueName, String&)
{
    MX_ASSERT(subKey);
    MX_ASSERT(valueName);
    return false;
}

const OSVersion& Platform_GetOSVersion()
{
    return GOSVersion;
}

const char* Platform_GetComputerName()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0)
        name[0] = 0;
    std::memcpy(GComputerName, name, sizeof(GComputerName));
    GComputerName[255] = 0;
    return GComputerName;
}

const char* Platform_GetUserName()
{
    return GUserName.c_str();
}

int32 Platform_GetCoreCount()
{
    return GCoreCount;
}

int32 Platform_GetLogicalProcessorCount()
{
    return GLogicalProcessorCount;
}

int32 Platform_GetProcessorPackageCount()
{
    return GPackageCount;
}

int32 Platform_GetProcessorGroupCount()
{
    return GGroupCount;
}

uint32 Platform_GetProcessId()
{
    return static_cast<uint32>(getpid());
}

namespace
{
// The first object dl_iterate_phdr reports is the executable itself; its build id is a GNU note in
// one of its PT_NOTE segments.
int FindBuildId(struct dl_phdr_info* info, size_t, void* data)
{
    auto& out = *static_cast<StaticString<132>*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE)
            continue;
        const auto* at = reinterpret_cast<const unsigned char*>(info->dlpi_addr + segment.p_vaddr);
        const unsigned char* end = at + segment.p_memsz;
        while (at + sizeof(ElfW(Nhdr)) <= end)
        {
            ElfW(Nhdr) note;
            std::memcpy(&note, at, sizeof(note));
            const unsigned char* name = at + sizeof(note);
            const unsigned char* desc = name + ((note.n_namesz + 3u) & ~3u);
            const unsigned char* next = desc + ((note.n_descsz + 3u) & ~3u);
            if (next > end || next <= at)
                break;
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0)
            {
                for (ElfW(Word) b = 0; b < note.n_descsz && b < 64; ++b)
                    out.AppendFormat("%02x", desc[b]);
                return 1;
            }
            at = next;
        }
    }
    return 1; // only the executable is looked at
}
} // namespace

StaticString<132> Platform_GetBuildId()
{
    StaticString<132> id;
    dl_iterate_phdr(FindBuildId, &id);
    return id;
}
} // namespace Morvex
