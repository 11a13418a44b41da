#include "ProfilerConnectionPlatform.h"

#include <cerrno>
#include <cpuid.h>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
void CopyCut(char* out, uint32 capacity, const char* text)
{
    if (capacity == 0)
        return;
    uint32 i = 0;
    for (; text != nullptr && i + 1 < capacity && text[i] != '\0'; ++i)
        out[i] = text[i];
    out[i] = '\0';
}

int PollOne(int socket, short events, uint32 timeoutMs)
{
    pollfd p{socket, events, 0};
    int result;
    do
        result = poll(&p, 1, int(timeoutMs));
    while (result < 0 && errno == EINTR);
    return result > 0 ? p.revents : result;
}
} // namespace

int ProfilerPlatform::Connect(const char* host, uint16 port, uint32 timeoutMs)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (host == nullptr || getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr)
        return -1;
    sockaddr_in address{};
    std::memcpy(&address, list->ai_addr, sizeof(address));
    freeaddrinfo(list);
    address.sin_port = htons(port);

    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int result;
    do
        result = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    while (result < 0 && errno == EINTR);
    if (result < 0 && errno == EINPROGRESS)
    {
        int error = ETIMEDOUT;
        socklen_t length = sizeof(error);
        if (PollOne(s, POLLOUT, timeoutMs) > 0 && getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
            error == 0)
            result = 0;
    }
    if (result != 0)
    {
        close(s);
        return -1;
    }
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return s;
}

int ProfilerPlatform::Listen(uint16 port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(s, 1) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

int ProfilerPlatform::Accept(int listenSocket)
{
    if (listenSocket < 0)
        return -1;
    int s;
    do
        s = accept4(listenSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (s < 0 && errno == EINTR);
    return s;
}

bool ProfilerPlatform::SendAll(int socket, const void* data, uint32 size, uint32 timeoutMs)
{
    const uint8* at = static_cast<const uint8*>(data);
    uint32 left = size;
    while (left > 0)
    {
        ssize_t sent = send(socket, at, left, MSG_NOSIGNAL);
        if (sent > 0)
        {
            at += sent;
            left -= uint32(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            // A viewer that stops reading must not hold the thread (and the program's exit) for ever.
            if (PollOne(socket, POLLOUT, timeoutMs) <= 0)
                return false;
            continue;
        }
        return false;
    }
    return true;
}

int ProfilerPlatform::Receive(int socket, void* buffer, uint32 size)
{
    for (;;)
    {
        ssize_t got = recv(socket, buffer, size, 0);
        if (got > 0)
            return int(got);
        if (got == 0)
            return -1;
        if (errno == EINTR)
            continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

void ProfilerPlatform::WaitReadable(int socket, uint32 timeoutMs)
{
    if (socket < 0)
    {
        SleepMs(timeoutMs);
        return;
    }
    PollOne(socket, POLLIN, timeoutMs);
}

void ProfilerPlatform::Close(int& socket)
{
    if (socket >= 0)
        close(socket);
    socket = -1;
}

// A running viewer announces itself through a named object; on Linux that is a POSIX named
// semaphore (it lives until removed or until the machine restarts, and needs no privileges). Only its
// existence counts: the program never waits on it.
bool ProfilerPlatform::ViewerAnnounced()
{
    sem_t* semaphore = sem_open("/MorvexProfilerStarted", 0);
    if (semaphore == SEM_FAILED)
        return false;
    sem_close(semaphore);
    return true;
}

uint64 ProfilerPlatform::GetExecutableBase()
{
    uint64 base = 0;
    // The first object dl_iterate_phdr reports is the executable itself.
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int
        {
            *static_cast<uint64*>(data) = info->dlpi_addr;
            return 1;
        },
        &base);
    return base;
}

void ProfilerPlatform::GetExecutablePath(char* out, uint32 capacity)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    path[n > 0 ? n : 0] = '\0';
    CopyCut(out, capacity, path);
}

void ProfilerPlatform::GetComputerName(char* out, uint32 capacity)
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0)
        name[0] = '\0';
    CopyCut(out, capacity, name);
}

void ProfilerPlatform::GetCpuBrand(char* out, uint32 capacity)
{
    char brand[49] = {};
    unsigned int regs[4];
    if (__get_cpuid(0x80000000u, &regs[0], &regs[1], &regs[2], &regs[3]) && regs[0] >= 0x80000004u)
    {
        for (unsigned int leaf = 0; leaf < 3; ++leaf)
        {
            __get_cpuid(0x80000002u + leaf, &regs[0], &regs[1], &regs[2], &regs[3]);
            std::memcpy(brand + leaf * 16, regs, 16);
        }
    }
    const char* start = brand;
    while (*start == ' ')
        ++start;
    CopyCut(out, capacity, start);
}

void ProfilerPlatform::GetCpuInfo(uint8 out[4])
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __get_cpuid(1, &eax, &ebx, &ecx, &edx);
    out[0] = uint8((eax >> 8) & 0xF);  // family
    out[1] = uint8((eax >> 4) & 0xF);  // model
    out[2] = uint8(eax & 0xF);         // stepping
    out[3] = uint8((eax >> 12) & 0x3); // type
}

uint32 ProfilerPlatform::GetProcessId()
{
    return uint32(getpid());
}

uint64 ProfilerPlatform::MonotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64(ts.tv_sec) * 1000000000ull + uint64(ts.tv_nsec);
}

void ProfilerPlatform::SleepMs(uint32 ms)
{
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}

bool ProfilerPlatform::DescribeAddress(uint64 address, const char*& modulePath, uint64& moduleBase,
                                       const char*& symbol)
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0)
        return false;
    modulePath = info.dli_fname != nullptr ? info.dli_fname : "";
    moduleBase = reinterpret_cast<uint64>(info.dli_fbase);
    symbol = info.dli_sname != nullptr ? info.dli_sname : "";
    return true;
}

bool ProfilerPlatform::FolderExists(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return true;
    struct stat st
    {
    };
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}
} // namespace Morvex
