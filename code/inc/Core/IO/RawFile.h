#pragma once
// One operating-system file opened in one of three modes. Every call goes straight to the system;
// File (Core/IO/File.h) adds the write buffer. A RawFile is shared through its reference count and
// may be used from several threads: reads and writes are serialised by a lock of its own.

#include "Core/IO/PlatformFile.h"
#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
struct AsyncLoaderEntry;
struct FileAsyncReadRequest;

enum class EFileOpenMode : uint32
{
    kRead = 0,   // an existing file, reading
    kWrite = 1,  // created, or truncated when it exists
    kAppend = 2, // opened or created, position at the end
    // Created new for writing, readable and writable by its owner only (0600); the open fails
    // when anything of that name exists, a symbolic link included, so it never follows a link
    // planted in its place nor takes over another writer's file.
    kCreateNew = 3,
};

class RawFile
{
public:
    using NativeHandle = int64;
    static constexpr NativeHandle kInvalidHandle = -1;

    // Opens `filename` with a reference count of 1; null when it cannot be opened or is longer than
    // a path (the failed object is released at once). The caller owns the reference and drops it
    // with DropRef. Missing directories are created for the writing modes. Directories are never
    // opened.
    static RawFile* Open(StrView filename, EFileOpenMode mode);
    // An anonymous temporary file in the folder `folder`: it has no name on disk (or loses it the
    // moment it is made), so nothing of it is left behind however the process ends, and nobody
    // else can open it by name. Mode 0600, open for writing (GetMode() is kCreateNew), GetName()
    // is the folder. Null when the folder cannot hold one. The caller owns the reference.
    static RawFile* CreateAnonymous(StrView folder);
    // A second, independent handle that reads what this file holds, from the start; it keeps an
    // anonymous file alive on its own. Null when the file is not open or the system cannot give
    // one. The caller owns the reference.
    RawFile* OpenReader();

    // Asserts "!filename.empty()" and "*filename.end() == 0". Opens at once; check IsValid.
    // Objects made this way must be placed in storage from AllocateStorage.
    RawFile(StrView filename, EFileOpenMode mode);
    RawFile(const RawFile&) = delete;
    RawFile& operator=(const RawFile&) = delete;

    // Closes the handle when open.
    virtual ~RawFile();
    // Under the pool lock: closes the handle and returns the object to its storage.
    virtual void Release();
    virtual NativeHandle GetHandle() const;
    virtual EFileOpenMode GetMode() const;
    // 0 when not open or when the system cannot tell.
    virtual uint64 GetSize();
    // 100-ns ticks since 1601-01-01 UTC; 0 when not open or unknown.
    virtual uint64 GetLastWriteTime();
    // Sets the last-write time (same unit; the last-access time becomes the same). False when not
    // open, when the time is 0 or when the system refuses.
    bool SetLastWriteTime(uint64 fileTime);
    // The path given to the open; empty when the open failed.
    virtual StrView GetName() const;
    // Which file is open (not valid when not open): compare with Platform_GetFileIdentity to know
    // that a path still names the file that was opened, or that what was opened is the file that
    // was checked.
    FileIdentity GetIdentity() const;
    // The open file's stamp (not valid when not open): compare with Platform_GetFileStamp to know
    // that the file was not changed since.
    FileStamp GetStamp() const;
    // Asks the system to write its buffers to the device; true on success.
    virtual bool Flush();
    // Asserts "IsValid()" and "m_mode == EFileOpenMode::kRead". Bytes read (fewer only at the end
    // of the file), 0 after a system failure.
    virtual uint32 SeekReadBytes(void* buffer, uint64 offset, uint32 size);
    virtual uint32 ReadBytes(void* buffer, uint32 size);
    // Asserts "IsValid()" and "m_mode != EFileOpenMode::kRead".
    // Bytes written: fewer than size only when the system refused the rest (disk full...).
    virtual uint32 WriteBytes(const void* data, uint32 size);
    // Fills `out` for the asynchronous loader (Core/IO/AsyncLoader.h): for a plain file the file
    // itself (no reference added), its name, both request copies = readRequest, nothing else.
    virtual void CreateReadRequest(AsyncLoaderEntry& out, const FileAsyncReadRequest& readRequest);
    // Current position; 0 when not open.
    virtual uint64 Tell();
    // Absolute position; does nothing when not open.
    virtual void Seek(uint64 position);

    bool IsValid() const { return m_handle != kInvalidHandle; }

    // Reference counting: AddRef for each new owner; DropRef calls Release when it takes the
    // count from 1 to 0.
    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    void DropRef();
    int32 GetRefCount() const { return m_refCount.load(std::memory_order_relaxed); }

    // Storage for one RawFile from the raw-file pool; returned by Release.
    static void* AllocateStorage();
    // Number of RawFile objects not yet released (the leak check of the file system's shutdown).
    static uint32 GetLiveCount();

    // A RawFile leaves only through Release: deleting one is a programming error (asserts "false"
    // and leaks the object).
    static void operator delete(void* p);

protected:
    // A closed file of the given mode, for subclasses that obtain their handle themselves.
    explicit RawFile(EFileOpenMode mode);
    void CloseHandle();

    std::atomic<int32> m_refCount{0};
    NativeHandle m_handle = kInvalidHandle;
    EFileOpenMode m_mode;
    std::atomic<uint8> m_lock{0};
    FilePath m_name;
};
} // namespace Morvex
