// Archive members as RawFiles: block walking, on-demand block reads and the loader's
// decompression of compressed ranges.

#include "Core/IO/PakFile.h"

#include "ByteSpinLock.h"
#include "Core/Assert.h"
#include "Core/IO/AsyncLoader.h"
#include "Core/IO/FileMemory.h"
#include "Core/IO/FileSystem.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/Pool.h"
#include "Core/NeverDestroyed.h"
#include "Core/Profiler/Profiler.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace Morvex
{
namespace
{
// Members come from a pool under a byte lock; it outlives every static object, like the raw
// files' pool. A member holds a path, so a page of 4 KiB would not hold one: a page holds eight.
constexpr uint64 kPakFileAlignment = 16;
static_assert(alignof(PakFile) <= kPakFileAlignment);
constexpr uint64 kPakFilePageSize =
    8 * ((sizeof(PakFile) + kPakFileAlignment - 1) & ~(kPakFileAlignment - 1)) + sizeof(Memory::Pool::Page);
constinit std::atomic<uint8> GPakFilePoolLock{0};
constinit NeverDestroyed<Memory::Pool> GPakFilePool;

void* AllocPakFileStorage()
{
    ByteSpinLock lock(GPakFilePoolLock);
    Memory::Pool& pool = GPakFilePool.value;
    if (!pool.IsSetUp())
        pool.Setup(MX_HEAP_NAME("Core/PakFile"), sizeof(PakFile), kPakFilePageSize,
                   static_cast<int16>(MemoryTags::Register("Core/Pak").m_index), kPakFileAlignment);
    return pool.Alloc();
}

void FreePakFileStorage(void* storage)
{
    ByteSpinLock lock(GPakFilePoolLock);
    GPakFilePool.value.Free(storage);
}

// One thread inside a PakFile at a time; a second one is refused after the report.
class ReentrancyGuard
{
public:
    explicit ReentrancyGuard(std::atomic<int32>& counter) : m_counter(counter)
    {
        m_entered = m_counter.fetch_add(1, std::memory_order_acquire) == 0;
        MX_ASSERT_MSG(m_entered, "PakFile used by two threads at once");
    }
    ~ReentrancyGuard() { m_counter.fetch_sub(1, std::memory_order_release); }
    ReentrancyGuard(const ReentrancyGuard&) = delete;
    ReentrancyGuard& operator=(const ReentrancyGuard&) = delete;
    bool Entered() const { return m_entered; }

private:
    std::atomic<int32>& m_counter;
    bool m_entered;
};

void ReportCorruptBlock(const Pak::PakEntry& entry, const PakBlock& block, const char* what)
{
    FileSystem::ReportCriticalIOError();
    MX_LOG_ERROR("Pak: '%s': block %d (at %llu) %s", entry.name, block.index,
                 static_cast<unsigned long long>(block.fileOffset), what);
}
} // namespace

PakFile* PakFile::Create(Pak::Archive* archive, int32 index)
{
    MX_ASSERT(archive && index >= 0 && static_cast<uint32>(index) < archive->GetEntryCount());
    if (!archive || index < 0 || static_cast<uint32>(index) >= archive->GetEntryCount())
        return nullptr;
    PakFile* file = new (AllocPakFileStorage()) PakFile(archive, index);
    file->m_refCount.store(1, std::memory_order_relaxed);
    return file;
}

PakFile::PakFile(Pak::Archive* archive, int32 index)
    : RawFile(EFileOpenMode::kRead), m_archive(archive), m_blockSize(archive->GetBlockSize()),
      m_entry(&archive->GetEntry(index))
{
    archive->AddRef();
    if (m_entry->firstBlock != TInvalidIndex)
    {
        m_blockwise = true;
        m_firstBlock = static_cast<uint64>(m_entry->firstBlock);
        m_currentBlock = FirstBlock();
    }
}

PakFile::~PakFile() = default;

void PakFile::Release()
{
    FileMemory::Free(m_blockBuffer);
    m_blockBuffer = nullptr;
    Pak::Archive* archive = m_archive;
    this->~PakFile();
    archive->DropRef();
    FreePakFileStorage(this);
}

uint32 PakFile::GetLiveCount()
{
    ByteSpinLock lock(GPakFilePoolLock);
    return static_cast<uint32>(GPakFilePool.value.GetNumElements());
}

void PakFile::ClearPool()
{
    ByteSpinLock lock(GPakFilePoolLock);
    if (GPakFilePool.value.IsSetUp())
        GPakFilePool.value.Clear(true);
}

uint64 PakFile::GetSize()
{
    return m_entry->size;
}

StrView PakFile::GetName() const
{
    return StrView(m_entry->name, m_entry->nameLength);
}

PakBlock PakFile::FirstBlock() const
{
    PakBlock block;
    if (!m_blockwise || m_entry->size == 0)
        return block;
    block.index = 0;
    block.fileOffset = m_entry->dataOffset;
    block.storedSize = m_archive->GetStoredSize(m_firstBlock);
    block.size = static_cast<uint32>(std::min<uint64>(m_blockSize, m_entry->size));
    block.start = 0;
    return block;
}

PakBlock PakFile::NextBlock(const PakBlock& block) const
{
    const uint64 end = block.start + block.size;
    if (!block.IsValid() || end >= m_entry->size)
        return PakBlock();
    PakBlock next;
    next.index = block.index + 1;
    next.fileOffset = block.fileOffset + (block.storedSize != 0 ? block.storedSize : m_blockSize);
    next.start = end;
    next.size = static_cast<uint32>(std::min<uint64>(m_blockSize, m_entry->size - end));
    next.storedSize = m_archive->GetStoredSize(m_firstBlock + static_cast<uint64>(next.index));
    return next;
}

PakBlock PakFile::FindBlock(uint64 position) const
{
    PakBlock block = FirstBlock();
    while (block.IsValid() && block.start + m_blockSize <= position)
        block = NextBlock(block);
    return block;
}

void PakFile::Seek(uint64 position)
{
    ReentrancyGuard guard(m_reentrancy);
    if (!guard.Entered())
        return;
    m_position = std::min(position, m_entry->size);
    if (!m_blockwise)
        return;
    if (!m_currentBlock.IsValid() || m_position < m_currentBlock.start ||
        m_position >= m_currentBlock.start + m_currentBlock.size)
    {
        const PakBlock block = FindBlock(m_position);
        if (block.index != m_currentBlock.index)
            m_stale = true;
        m_currentBlock = block;
    }
}

uint32 PakFile::SeekReadBytes(void* buffer, uint64 offset, uint32 size)
{
    MX_PROFILE_ZONE("SeekReadBytes");
    Seek(offset);
    return ReadBytes(buffer, size);
}

bool PakFile::LoadBlock(const PakBlock& block)
{
    if (block.storedSize != 0)
    {
        const uint32 produced =
            m_archive->ReadDecompressData(m_blockBuffer, block.fileOffset, block.storedSize, m_blockSize);
        if (produced != block.size)
        {
            // An error of the read or of zstd is reported by the archive; a frame of another size here.
            if (produced != 0)
                ReportCorruptBlock(*m_entry, block, "decompresses to another size");
            return false;
        }
        m_decompressedBlocks.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (m_archive->ReadData(m_blockBuffer, block.fileOffset, block.size) != block.size)
    {
        ReportCorruptBlock(*m_entry, block, "cannot be read whole");
        return false;
    }
    return true;
}

uint32 PakFile::ReadBytes(void* buffer, uint32 size)
{
    MX_PROFILE_ZONE("ReadBytes");
    ReentrancyGuard guard(m_reentrancy);
    if (!guard.Entered())
        return 0;
    const uint64 left = m_entry->size - m_position;
    const uint32 n = static_cast<uint32>(std::min<uint64>(size, left));
    if (n == 0)
        return 0;
    if (!m_blockwise)
    {
        const uint32 read = m_archive->ReadData(buffer, m_entry->dataOffset + m_position, n);
        m_position += read;
        if (read != n)
        {
            FileSystem::ReportCriticalIOError();
            MX_LOG_ERROR("Pak: '%s' cannot be read whole", m_entry->name);
        }
        return read;
    }
    if (!m_blockBuffer)
        m_blockBuffer = static_cast<uint8*>(FileMemory::Alloc(m_blockSize));
    uint8* out = static_cast<uint8*>(buffer);
    uint32 delivered = 0;
    while (delivered < n)
    {
        if (!MX_VERIFY(m_currentBlock.index != TInvalidIndex))
            break;
        const uint64 d = m_position - m_currentBlock.start;
        if (d < m_currentBlock.size)
        {
            if (m_stale)
            {
                if (!LoadBlock(m_currentBlock))
                    break;
                m_stale = false;
            }
            const uint32 take = static_cast<uint32>(std::min<uint64>(n - delivered, m_currentBlock.size - d));
            std::memcpy(out + delivered, m_blockBuffer + d, take);
            delivered += take;
            m_position += take;
        }
        else
        {
            m_stale = true;
            m_currentBlock = NextBlock(m_currentBlock);
        }
    }
    return delivered;
}

uint32 PakFile::WriteBytes(const void*, uint32)
{
    MX_ASSERT_FAIL("PakFile::WriteBytes: archive members are read-only");
    return 0;
}

void PakFile::CreateReadRequest(AsyncLoaderEntry& out, const FileAsyncReadRequest& readRequest)
{
    out = AsyncLoaderEntry();
    out.originalRequest.memoryTag = -1;
    out.file = m_archive->GetFile();
    out.filename = GetName();
    out.originalRequest = readRequest;
    out.readRequest = readRequest;
    out.readRequest.data = nullptr;
    out.pakFile = this;

    const uint64 s = std::min(readRequest.offset, m_entry->size);
    const uint64 n = std::min<uint64>(readRequest.size, m_entry->size - s);
    out.readRequest.size = 0;
    if (n == 0)
        return;
    out.compression.compressed = (m_entry->flags & Pak::kEntryCompressed) != 0 ? 1 : 0;
    if (!out.compression.compressed)
    {
        out.readRequest.offset = m_entry->dataOffset + s;
        out.readRequest.size = static_cast<uint32>(n);
        return;
    }
    const PakBlock first = FindBlock(s);
    out.compression.firstBlock = first;
    out.readRequest.offset = first.fileOffset;
    // A stored size beyond what one block can take, or a sum beyond one read, leaves nothing to
    // read: the decompression then finds the source short and fails the request.
    const uint64 bound = Zstd::CompressBound(m_blockSize);
    uint64 total = 0;
    for (PakBlock block = first; block.IsValid() && block.start < s + n; block = NextBlock(block))
    {
        if (block.storedSize > bound)
            return;
        total += block.storedSize != 0 ? block.storedSize : block.size;
        if (total > 0xFFFFFFFFull)
            return;
    }
    out.readRequest.size = static_cast<uint32>(total);
}

uint32 PakFile::Decompress(DecompressParams& params)
{
    MX_PROFILE_ZONE("Morvex::PakFile::Decompress");
    ReentrancyGuard guard(m_reentrancy);
    params.failed = false;
    if (!guard.Entered() || !params.asyncLoaderEntry)
    {
        params.failed = true;
        return 0;
    }
    const FileAsyncReadRequest& original = params.asyncLoaderEntry->originalRequest;
    PakBlock block = params.asyncLoaderEntry->compression.firstBlock;
    MX_ASSERT(block.index != TInvalidIndex);
    const uint8* source = static_cast<const uint8*>(params.source);
    const uint8* const sourceEnd = source ? source + params.sourceSize : source;
    uint8* destination = static_cast<uint8*>(params.destination);
    const uint32 wanted = std::min(original.size, params.destinationSize);
    uint64 p = original.offset;
    uint32 produced = 0;
    const char* fault = nullptr;
    while (produced < wanted && block.IsValid())
    {
        if (p < block.start || p - block.start >= block.size)
        {
            fault = "does not hold the wanted range";
            break;
        }
        const uint64 d = p - block.start;
        const uint32 take = static_cast<uint32>(std::min<uint64>(wanted - produced, block.size - d));
        const uint32 stored = block.storedSize != 0 ? block.storedSize : block.size;
        if (!source || static_cast<uint64>(sourceEnd - source) < stored)
        {
            fault = "lies beyond the bytes read (truncated archive)";
            break;
        }
        if (block.storedSize != 0)
        {
            size_t result;
            if (d == 0 && take == block.size)
                result = Zstd::Decompress(params.context, source, stored, destination, block.size);
            else
            {
                if (!params.scratchpad || params.scratchpadSize < block.size)
                {
                    fault = "is larger than the decompression scratchpad";
                    break;
                }
                result = Zstd::Decompress(params.context, source, stored, params.scratchpad,
                                          params.scratchpadSize);
                if (!Zstd::IsError(result) && result == block.size)
                    std::memcpy(destination, static_cast<const uint8*>(params.scratchpad) + d, take);
            }
            if (Zstd::IsError(result) || result != block.size)
            {
                fault = Zstd::IsError(result) ? "is not a sound zstd frame" : "decompresses to another size";
                break;
            }
            m_decompressedBlocks.fetch_add(1, std::memory_order_relaxed);
        }
        else
            std::memcpy(destination, source + d, take);
        source += stored;
        produced += take;
        p += take;
        destination += take;
        block = NextBlock(block);
    }
    if (fault)
    {
        params.failed = true;
        ReportCorruptBlock(*m_entry, block, fault);
    }
    MX_ASSERT(produced <= original.size);
    return produced;
}
} // namespace Morvex
