// minizip's file functions over plain descriptors: opened with O_CLOEXEC so that the launcher and
// other children never inherit an archive, and written with loops over short writes and EINTR so
// that a full disk shows up as a short count (which minizip reports as ZIP_ERRNO).

#include "SimpleZipPlatform.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/types.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
struct ZipStream
{
    int fd;
    int error; // errno of the last failed call, 0 when none failed
};

// The stream of an open descriptor; the descriptor is closed when no stream can be made.
ZipStream* WrapDescriptor(int fd)
{
    if (fd < 0)
        return nullptr;
    auto* stream = new (std::nothrow) ZipStream{fd, 0};
    if (stream == nullptr)
        ::close(fd);
    return stream;
}

voidpf ZCALLBACK OpenFile(voidpf opaque, const void* filename, int mode)
{
    // An archive written into a file the caller opened (an anonymous temporary file).
    if (opaque != nullptr)
        return WrapDescriptor(::fcntl(*static_cast<const int*>(opaque), F_DUPFD_CLOEXEC, 0));
    if (filename == nullptr)
        return nullptr;
    int flags = O_CLOEXEC;
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) == ZLIB_FILEFUNC_MODE_READ)
        flags |= O_RDONLY;
    else if (mode & ZLIB_FILEFUNC_MODE_EXISTING)
        flags |= O_RDWR;
    else if (mode & ZLIB_FILEFUNC_MODE_CREATE)
        flags |= O_RDWR | O_CREAT | O_TRUNC;
    else
        return nullptr;
    int fd;
    do
        fd = ::open(static_cast<const char*>(filename), flags, 0666);
    while (fd < 0 && errno == EINTR);
    return WrapDescriptor(fd);
}

uLong ZCALLBACK ReadFile(voidpf, voidpf s, void* buf, uLong size)
{
    auto* stream = static_cast<ZipStream*>(s);
    uLong done = 0;
    while (done < size)
    {
        ssize_t n = ::read(stream->fd, static_cast<char*>(buf) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            stream->error = errno;
        if (n <= 0)
            break;
        done += static_cast<uLong>(n);
    }
    return done;
}

uLong ZCALLBACK WriteFile(voidpf, voidpf s, const void* buf, uLong size)
{
    auto* stream = static_cast<ZipStream*>(s);
    uLong done = 0;
    while (done < size)
    {
        ssize_t n = ::write(stream->fd, static_cast<const char*>(buf) + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            stream->error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<uLong>(n);
    }
    return done;
}

ZPOS64_T ZCALLBACK TellFile(voidpf, voidpf s)
{
    auto* stream = static_cast<ZipStream*>(s);
    off_t pos = ::lseek(stream->fd, 0, SEEK_CUR);
    if (pos < 0)
    {
        stream->error = errno;
        return static_cast<ZPOS64_T>(-1);
    }
    return static_cast<ZPOS64_T>(pos);
}

long ZCALLBACK SeekFile(voidpf, voidpf s, ZPOS64_T offset, int origin)
{
    auto* stream = static_cast<ZipStream*>(s);
    int whence;
    switch (origin)
    {
    case ZLIB_FILEFUNC_SEEK_SET:
        whence = SEEK_SET;
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        whence = SEEK_CUR;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        whence = SEEK_END;
        break;
    default:
        return -1;
    }
    if (::lseek(stream->fd, static_cast<off_t>(offset), whence) < 0)
    {
        stream->error = errno;
        return -1;
    }
    return 0;
}

int ZCALLBACK CloseFile(voidpf, voidpf s)
{
    auto* stream = static_cast<ZipStream*>(s);
    // close() may report a delayed write error (network file systems); EINTR must not be retried
    // on Linux, the descriptor is gone either way.
    int rc = ::close(stream->fd);
    int failed = rc != 0 && errno != EINTR;
    delete stream;
    return failed ? -1 : 0;
}

int ZCALLBACK ErrorFile(voidpf, voidpf s)
{
    return static_cast<ZipStream*>(s)->error;
}
} // namespace

void SimpleZip_FillFileFunctions(zlib_filefunc64_def* functions, const int* descriptor)
{
    functions->zopen64_file = OpenFile;
    functions->zread_file = ReadFile;
    functions->zwrite_file = WriteFile;
    functions->ztell64_file = TellFile;
    functions->zseek64_file = SeekFile;
    functions->zclose_file = CloseFile;
    functions->zerror_file = ErrorFile;
    functions->opaque = const_cast<int*>(descriptor);
}
} // namespace Morvex
