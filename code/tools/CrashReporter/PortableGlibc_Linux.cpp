// Linked into the shipped binaries of a portable install only.
//
// The static C++ runtime's std::random_device calls arc4random, which the C library has only since
// 2.36; every other symbol the binaries need is older. Taking that one call here (the linker
// redirects it with --wrap) lets a portable reporter built on a newer system start on one with an
// older C library, such as glibc 2.34 and 2.35.

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

extern "C" uint32_t __wrap_arc4random(void)
{
    uint32_t value = 0;
    for (;;)
    {
        const ssize_t got = getrandom(&value, sizeof(value), 0);
        if (got == static_cast<ssize_t>(sizeof(value)))
            return value;
        if (got < 0 && errno != EINTR)
            break;
    }
    // A kernel without getrandom: the device it has had for ever.
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        ssize_t got;
        do
            got = read(fd, &value, sizeof(value));
        while (got < 0 && errno == EINTR);
        close(fd);
        if (got == static_cast<ssize_t>(sizeof(value)))
            return value;
    }
    // Never reached on a working system; arc4random has no way to fail.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(getpid()) << 16;
}
