// Raw files on Linux: one file descriptor per RawFile, opened with O_CLOEXEC.
//
// Sharing: Windows share modes have no Linux equivalent. This port guarantees only what the
// descriptor gives: other openers (in this process or others) may read and write the file at any
// time, and a kWrite truncation is seen by every reader. Reads and writes of one RawFile are
// serialised by its own lock; nothing locks the file against other descriptors.
//
// The engine's I/O-error event has no receiver in this program and no event system to carry it,
// so failures show only in the results.

#include "Core/IO/RawFile.h"

#include "Core/Assert.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "Core/Profiler/Profiler.h"
#include "FileStamp_Linux.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr uint64 kFileTimeUnixEpoch = 116444736000000000ULL;

class SpinLock
{
public:
    explicit SpinLock(std::atomic<uint8>& flag) : m_flag(flag)
    {
        while (m_flag.exchange(1, std::memory_order_acquire) != 0)
            sched_yield();
    }
    ~SpinLock() { m_flag.store(0, std::memory_order_release); }
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

private:
    std::atomic<uint8>& m_flag;
};

// Raw files come from a pool, so opening a file does not go to the general heap once the pool has
// warmed up. The pool outlives every static object: a file may be released during static
// destruction, after the file system's shutdown has cleared it.
constinit std::atomic<uint8> GPoolLock{0};
constinit NeverDestroyed<Memory::Pool> GRawFilePool;

int OpenFlags(EFileOpenMode mode)
{
    // O_NONBLOCK keeps an open of a FIFO from waiting for a partner; it is cleared right after.
    switch (mode)
    {
    case EFileOpenMode::kRead:
        return O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    case EFileOpenMode::kWrite:
        return O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK;
    case EFileOpenMode::kAppend:
        return O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    case EFileOpenMode::kCreateNew:
        return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    }
    return O_RDONLY | O_CLOEXEC | O_NONBLOCK;
}

int OpenDescriptor(const char* name, EFileOpenMode mode)
{
    while (true)
    {
        int fd = ::open(name, OpenFlags(mode), mode == EFileOpenMode::kCreateNew ? 0600 : 0666);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// One read of the engine may take several system calls; 0 after a failure.
uint32 ReadLoop(int fd, void* buffer, uint32 size)
{
    uint8* out = static_cast<uint8*>(buffer);
    uint32 done = 0;
    while (done < size)
    {
        ssize_t n = ::read(fd, out + done, size - done);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return 0;
        }
        if (n == 0)
            break;
        done += static_cast<uint32>(n);
    }
    return done;
}
} // namespace

void* RawFile::AllocateStorage()
{
    SpinLock lock(GPoolLock);
    Memory::Pool& pool = GRawFilePool.value;
    if (!pool.IsSetUp())
    {
        constexpr uint64 kAlignment = alignof(RawFile) > 8 ? alignof(RawFile) : 8;
        // A path here holds 4096 bytes, so one RawFile alone outgrows a 4 KiB page: a page holds
        // eight of them instead.
        constexpr uint64 kPageSize =
            8 * ((sizeof(RawFile) + kAlignment - 1) & ~(kAlignment - 1)) + sizeof(Memory::Pool::Page);
        pool.Setup(MX_HEAP_NAME("Core/RawFile"), sizeof(RawFile), kPageSize,
                   static_cast<int16>(MemoryTags::Register("Core/RawFiles").m_index), kAlignment);
    }
    return pool.Alloc();
}

uint32 RawFile::GetLiveCount()
{
    SpinLock lock(GPoolLock);
    return static_cast<uint32>(GRawFilePool.value.GetNumElements());
}

void RawFile::operator delete(void*)
{
    MX_ASSERT(false);
}

RawFile* RawFile::Open(StrView filename, EFileOpenMode mode)
{
    // A longer name is refused: cut, it would open another file.
    FilePath name;
    if (!name.TryAssign(filename) || name.empty())
        return nullptr;
    RawFile* file = new (AllocateStorage()) RawFile(name.view(), mode);
    if (!file->IsValid())
    {
        file->Release();
        return nullptr;
    }
    file->m_refCount.store(1, std::memory_order_relaxed);
    return file;
}

namespace
{
// A RawFile around a descriptor this file already holds; the descriptor is closed on failure.
RawFile* Adopt(int fd, EFileOpenMode mode, StrView name)
{
    // Constructed closed (an empty name is refused without opening), then given the descriptor.
    struct Adopted : RawFile
    {
        Adopted(int descriptor, EFileOpenMode m, StrView n) : RawFile(m)
        {
            m_handle = descriptor;
            m_name.Assign(n);
        }
    };
    static_assert(sizeof(Adopted) == sizeof(RawFile));
    RawFile* file = new (RawFile::AllocateStorage()) Adopted(fd, mode, name);
    file->AddRef();
    return file;
}
} // namespace

RawFile::RawFile(EFileOpenMode mode) : m_mode(mode)
{
}

RawFile* RawFile::CreateAnonymous(StrView folderView)
{
    const FilePath folder = FilePath::Normalized(folderView);
    if (folder.empty())
        return nullptr;
    // O_TMPFILE makes a file that never has a name. File systems without it get a uniquely named
    // file (mkostemp: O_EXCL, 0600, no link followed) that is unlinked at once; should the unlink
    // fail, the file is given up rather than left with a name.
    int fd;
    do
        fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != EROFS)
    {
        FilePath name = folder;
        if (!name.TryAppendPath("morvextmpXXXXXX"))
            return nullptr;
        fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd >= 0 && ::unlink(name.c_str()) != 0)
        {
            ::close(fd);
            ::unlink(name.c_str());
            return nullptr;
        }
    }
    if (fd < 0)
        return nullptr;
    return Adopt(fd, EFileOpenMode::kCreateNew, folder.view());
}

RawFile* RawFile::OpenReader()
{
    if (!IsValid())
        return nullptr;
    // The descriptor's own link in /proc opens the same file, named or not, with an offset of its
    // own. Without /proc (a chroot, a sandbox) a duplicate of a descriptor that can read does as
    // well: reads of a RawFile seek to their offset first.
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", static_cast<int>(m_handle));
    int fd;
    do
        fd = ::open(link, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
    {
        const int flags = ::fcntl(static_cast<int>(m_handle), F_GETFL);
        if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY)
            return nullptr;
        fd = ::fcntl(static_cast<int>(m_handle), F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            return nullptr;
    }
    ::lseek(fd, 0, SEEK_SET);
    return Adopt(fd, EFileOpenMode::kRead, m_name.view());
}

RawFile::RawFile(StrView filename, EFileOpenMode mode) : m_mode(mode)
{
    MX_PROFILE_ZONE("OpenFile");
    MX_ASSERT(!filename.empty());
    MX_ASSERT(*filename.end() == 0);
    MX_ASSERT(!IsValid());
    if (filename.empty() || *filename.end() != 0)
        return;
    const char* name = filename.data();
    int fd = OpenDescriptor(name, mode);
    if (fd < 0 && errno == ENOENT && mode != EFileOpenMode::kRead)
    {
        Platform_CreateParentDirectories(filename);
        fd = OpenDescriptor(name, mode);
    }
    if (fd < 0)
        return;
    struct stat st
    {
    };
    // open() of a directory succeeds for reading on Linux; a directory is not a file here.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))
    {
        ::close(fd);
        return;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (mode == EFileOpenMode::kRead)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_handle = fd;
    if (mode == EFileOpenMode::kAppend)
        Seek(GetSize());
    m_name.Assign(filename);
}

RawFile::~RawFile()
{
    CloseHandle();
}

void RawFile::CloseHandle()
{
    if (!IsValid())
        return;
    // Linux releases the descriptor even when close() is interrupted; never retry.
    ::close(static_cast<int>(m_handle));
    m_handle = kInvalidHandle;
}

void RawFile::Release()
{
    SpinLock lock(GPoolLock);
    this->~RawFile();
    GRawFilePool.value.Free(this);
}

void RawFile::DropRef()
{
    if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1)
        Release();
}

RawFile::NativeHandle RawFile::GetHandle() const
{
    return m_handle;
}

EFileOpenMode RawFile::GetMode() const
{
    return m_mode;
}

uint64 RawFile::GetSize()
{
    MX_PROFILE_ZONE("Morvex::RawFile::GetSize");
    if (!IsValid())
        return 0;
    struct stat st
    {
    };
    if (::fstat(static_cast<int>(m_handle), &st) != 0 || st.st_size < 0)
        return 0;
    return static_cast<uint64>(st.st_size);
}

uint64 RawFile::GetLastWriteTime()
{
    if (!IsValid())
        return 0;
    struct stat st
    {
    };
    if (::fstat(static_cast<int>(m_handle), &st) != 0)
        return 0;
    int64 ticks = static_cast<int64>(st.st_mtim.tv_sec) * 10000000 + st.st_mtim.tv_nsec / 100;
    return static_cast<uint64>(ticks + static_cast<int64>(kFileTimeUnixEpoch));
}

bool RawFile::SetLastWriteTime(uint64 fileTime)
{
    if (!IsValid() || fileTime < kFileTimeUnixEpoch)
        return false;
    const uint64 ticks = fileTime - kFileTimeUnixEpoch;
    struct timespec times[2];
    times[1].tv_sec = static_cast<time_t>(ticks / 10000000);
    times[1].tv_nsec = static_cast<long>((ticks % 10000000) * 100);
    times[0] = times[1];
    return ::futimens(static_cast<int>(m_handle), times) == 0;
}

FileIdentity RawFile::GetIdentity() const
{
    FileIdentity identity;
    struct stat st
    {
    };
    if (!IsValid() || ::fstat(static_cast<int>(m_handle), &st) != 0)
        return identity;
    identity.device = static_cast<uint64>(st.st_dev);
    identity.inode = static_cast<uint64>(st.st_ino);
    identity.valid = true;
    return identity;
}

FileStamp RawFile::GetStamp() const
{
    struct stat st
    {
    };
    if (!IsValid() || ::fstat(static_cast<int>(m_handle), &st) != 0)
        return FileStamp();
    return StampOf(st);
}

StrView RawFile::GetName() const
{
    return m_name.view();
}

bool RawFile::Flush()
{
    if (!IsValid())
        return false;
    if (::fsync(static_cast<int>(m_handle)) == 0)
        return true;
    // Devices and pipes have nothing to flush.
    return errno == EINVAL || errno == EROFS;
}

uint32 RawFile::ReadBytes(void* buffer, uint32 size)
{
    MX_PROFILE_ZONE("ReadBytes");
    MX_ASSERT(IsValid());
    MX_ASSERT(m_mode == EFileOpenMode::kRead);
    if (!IsValid() || m_mode != EFileOpenMode::kRead)
        return 0;
    SpinLock lock(m_lock);
    return ReadLoop(static_cast<int>(m_handle), buffer, size);
}

uint32 RawFile::SeekReadBytes(void* buffer, uint64 offset, uint32 size)
{
    MX_PROFILE_ZONE("SeekReadBytes");
    MX_ASSERT(IsValid());
    MX_ASSERT(m_mode == EFileOpenMode::kRead);
    if (!IsValid() || m_mode != EFileOpenMode::kRead)
        return 0;
    SpinLock lock(m_lock);
    if (offset > static_cast<uint64>(INT64_MAX) ||
        ::lseek(static_cast<int>(m_handle), static_cast<off_t>(offset), SEEK_SET) < 0)
        return 0;
    return ReadLoop(static_cast<int>(m_handle), buffer, size);
}

uint32 RawFile::WriteBytes(const void* data, uint32 size)
{
    MX_PROFILE_ZONE("WriteBytes");
    MX_ASSERT(IsValid());
    MX_ASSERT(m_mode != EFileOpenMode::kRead);
    if (!IsValid() || m_mode == EFileOpenMode::kRead)
        return 0;
    SpinLock lock(m_lock);
    const uint8* in = static_cast<const uint8*>(data);
    uint32 done = 0;
    while (done < size)
    {
        ssize_t n = ::write(static_cast<int>(m_handle), in + done, size - done);
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if (n == 0)
            break;
        done += static_cast<uint32>(n);
    }
    return done;
}

uint64 RawFile::Tell()
{
    if (!IsValid())
        return 0;
    off_t pos = ::lseek(static_cast<int>(m_handle), 0, SEEK_CUR);
    return pos < 0 ? 0 : static_cast<uint64>(pos);
}

void RawFile::Seek(uint64 position)
{
    if (!IsValid() || position > static_cast<uint64>(INT64_MAX))
        return;
    ::lseek(static_cast<int>(m_handle), static_cast<off_t>(position), SEEK_SET);
}

// Frees the pool's pages, reporting any RawFile still alive; called by the file system's shutdown
// when no RawFile is alive any more.
void RawFile_ClearPool()
{
    SpinLock lock(GPoolLock);
    GRawFilePool.value.Clear(true);
}
} // namespace Morvex
