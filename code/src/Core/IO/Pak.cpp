// Pak archives: the index in memory, member lookup and the reads of stored and compressed data.

#include "Core/IO/Pak.h"

#include "ByteSpinLock.h"
#include "Core/Assert.h"
#include "Core/IO/Compression.h"
#include "Core/IO/FileMemory.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PakFile.h"
#include "Core/IO/RawFile.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Profiler/Profiler.h"

#include <cstring>

namespace Morvex
{
namespace
{
// The on-demand context serves every thread, one at a time.
DecompressionContext* GDecompressionContext = nullptr;
std::atomic<uint8> GDecompressionContextLock{0};
std::atomic<uint32> GLiveArchives{0};

// Unsigned bytes, the shorter name first when one is a prefix of the other.
int CompareNames(const char* a, uint32 aLength, const char* b, uint32 bLength)
{
    const uint32 common = aLength < bLength ? aLength : bLength;
    const int c = common ? std::memcmp(a, b, common) : 0;
    if (c != 0)
        return c;
    return aLength < bLength ? -1 : (aLength > bLength ? 1 : 0);
}

uint64 BlocksOf(uint64 size, uint32 blockSize)
{
    return size / blockSize + (size % blockSize != 0 ? 1 : 0);
}
} // namespace

void Pak::Init()
{
    MX_MEMORY_TAG_SCOPE("Core/Pak");
    MX_ASSERT(GDecompressionContext == nullptr);
    if (GDecompressionContext)
        return;
    GDecompressionContext = CreateDecompressionContext();
}

void Pak::Shutdown()
{
    if (!GDecompressionContext)
        return;
    const uint32 live = PakFile::GetLiveCount();
    if (live != 0)
        MX_LOG_ERROR("Pak::Shutdown: %u pak files were never released", live);
    else
        PakFile::ClearPool();
    ByteSpinLock lock(GDecompressionContextLock);
    ReleaseDecompressionContext(GDecompressionContext);
    GDecompressionContext = nullptr;
}

uint32 Pak::BlockSizeWidth(uint32 archiveBlockSize)
{
    if (archiveBlockSize <= 0x10000)
        return 2;
    if (archiveBlockSize < 0x1000001)
        return 3;
    return 4;
}

Pak::Archive* Pak::Archive::Create(RawFile* file, const Index& index)
{
    MX_MEMORY_TAG_SCOPE("Core/Pak");
    if (!file)
        return nullptr;
    const uint32 blockSize = index.archiveBlockSize;
    if (blockSize == 0 || blockSize > kMaxBlockSize)
    {
        MX_LOG_ERROR("Pak: '%s' has a block size of %u", file->GetName().data(), blockSize);
        return nullptr;
    }
    const uint32 width = BlockSizeWidth(blockSize);
    if (index.blockSizesLength % width != 0 || (index.blockSizesLength != 0 && !index.blockSizes) ||
        (index.entryCount != 0 && !index.entries) || index.entryCount > 0x7FFFFFFFu)
    {
        MX_LOG_ERROR("Pak: '%s' has a malformed index", file->GetName().data());
        return nullptr;
    }
    const uint64 blockCount = index.blockSizesLength / width;
    uint64 namesLength = 0;
    for (uint32 i = 0; i < index.entryCount; ++i)
    {
        const PakEntry& e = index.entries[i];
        const char* fault = nullptr;
        if (!e.name || e.nameLength == 0 || std::memchr(e.name, 0, e.nameLength) != nullptr)
            fault = "an empty name or one holding a NUL";
        else if (i > 0 && CompareNames(index.entries[i - 1].name, index.entries[i - 1].nameLength, e.name,
                                       e.nameLength) >= 0)
            fault = "names out of order or twice";
        else if (((e.flags & kEntryCompressed) != 0) != (e.firstBlock != TInvalidIndex) || e.firstBlock < -1)
            fault = "a block index that disagrees with its flags";
        else if (e.dataOffset > 0x7FFFFFFFFFFFFFFFull)
            fault = "data beyond the largest file";
        else if (e.firstBlock == TInvalidIndex && e.size > 0x7FFFFFFFFFFFFFFFull - e.dataOffset)
            fault = "data beyond the largest file";
        else if (e.firstBlock != TInvalidIndex)
        {
            const uint64 blocks = BlocksOf(e.size, blockSize);
            if (blocks > 0x7FFFFFFFu || static_cast<uint64>(e.firstBlock) + blocks > blockCount)
                fault = "more blocks than the block-size table holds";
        }
        if (fault)
        {
            MX_LOG_ERROR("Pak: '%s': member %u has %s", file->GetName().data(), i, fault);
            return nullptr;
        }
        namesLength += uint64(e.nameLength) + 1;
    }

    Archive* archive = new (Memory::Alloc(sizeof(Archive), alignof(Archive))) Archive();
    archive->m_refCount.store(1, std::memory_order_relaxed);
    file->AddRef();
    archive->m_file = file;
    archive->m_blockSize = blockSize;
    archive->m_blockSizeWidth = width;
    archive->m_entryCount = index.entryCount;
    archive->m_blockCount = blockCount;
    if (index.entryCount)
    {
        archive->m_entries =
            static_cast<PakEntry*>(Memory::Alloc(sizeof(PakEntry) * index.entryCount, alignof(PakEntry)));
        archive->m_names = static_cast<char*>(Memory::Alloc(namesLength, 1));
        archive->m_namesLength = namesLength;
        char* name = archive->m_names;
        for (uint32 i = 0; i < index.entryCount; ++i)
        {
            archive->m_entries[i] = index.entries[i];
            std::memcpy(name, index.entries[i].name, index.entries[i].nameLength);
            name[index.entries[i].nameLength] = 0;
            archive->m_entries[i].name = name;
            name += index.entries[i].nameLength + 1;
        }
    }
    if (index.blockSizesLength)
    {
        archive->m_blockSizes = static_cast<uint8*>(Memory::Alloc(index.blockSizesLength, 1));
        std::memcpy(archive->m_blockSizes, index.blockSizes, index.blockSizesLength);
    }
    GLiveArchives.fetch_add(1, std::memory_order_relaxed);
    return archive;
}

Pak::Archive::~Archive()
{
    if (m_entries)
        Memory::Free(m_entries, sizeof(PakEntry) * m_entryCount);
    if (m_names)
        Memory::Free(m_names, m_namesLength);
    if (m_blockSizes)
        Memory::Free(m_blockSizes, m_blockCount * m_blockSizeWidth);
    if (m_file)
        m_file->DropRef();
}

void Pak::Archive::DropRef()
{
    if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    this->~Archive();
    Memory::Free(this, sizeof(Archive));
    GLiveArchives.fetch_sub(1, std::memory_order_relaxed);
}

uint32 Pak::Archive::GetLiveCount()
{
    return GLiveArchives.load(std::memory_order_relaxed);
}

int32 Pak::Archive::FindEntry(StrView name) const
{
    uint32 low = 0;
    uint32 high = m_entryCount;
    while (low < high)
    {
        const uint32 mid = low + (high - low) / 2;
        if (CompareNames(m_entries[mid].name, m_entries[mid].nameLength, name.data(), name.length()) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    if (low < m_entryCount &&
        CompareNames(m_entries[low].name, m_entries[low].nameLength, name.data(), name.length()) == 0)
        return static_cast<int32>(low);
    return -1;
}

bool Pak::Archive::OpenFile(File& out, int32 index)
{
    out.Close();
    if (index < 0 || static_cast<uint32>(index) >= m_entryCount)
        return false;
    out = File(PakFile::Create(this, index));
    return out.IsOpen();
}

uint32 Pak::Archive::GetStoredSize(uint64 block) const
{
    const uint8* p = m_blockSizes + block * m_blockSizeWidth;
    uint32 value = 0;
    for (uint32 i = 0; i < m_blockSizeWidth; ++i)
        value |= uint32(p[i]) << (8 * i);
    return value;
}

uint32 Pak::Archive::ReadData(void* destination, uint64 offset, uint32 size)
{
    if (size == 0)
        return 0;
    return m_file->SeekReadBytes(destination, offset, size);
}

uint32 Pak::Archive::ReadDecompressData(void* destination, uint64 offset, uint32 storedSize, uint32 capacity)
{
    MX_PROFILE_ZONE("Morvex::Pak::Archive::ReadDecompressData");
    // A stored size beyond what zstd can make of one block is a lie of the index: it is refused
    // before anything that large is allocated.
    if (storedSize == 0 || storedSize > Zstd::CompressBound(capacity))
    {
        FileSystem::ReportCriticalIOError();
        MX_LOG_ERROR("Pak: '%s': block at %llu has a stored size of %u", m_file->GetName().data(),
                     static_cast<unsigned long long>(offset), storedSize);
        return 0;
    }
    void* source = FileMemory::Alloc(storedSize);
    const uint32 read = ReadData(source, offset, storedSize);
    size_t result = 0;
    bool failed = read != storedSize;
    if (!failed)
    {
        ByteSpinLock lock(GDecompressionContextLock);
        if (GDecompressionContext)
            result = Zstd::Decompress(GDecompressionContext, source, storedSize, destination, capacity);
        failed = !GDecompressionContext || Zstd::IsError(result);
    }
    FileMemory::Free(source);
    if (failed)
    {
        FileSystem::ReportCriticalIOError();
        MX_LOG_ERROR("Pak: '%s': block at %llu cannot be %s", m_file->GetName().data(),
                     static_cast<unsigned long long>(offset),
                     read != storedSize ? "read whole" : "decompressed");
        return 0;
    }
    return static_cast<uint32>(result);
}
} // namespace Morvex
