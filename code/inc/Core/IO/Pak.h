#pragma once
// Pak archives: one physical file holding many members, listed by name in an index. A member is
// stored in one piece or split into blocks of one archive-wide size, each compressed with zstd on
// its own or kept raw. Members are read through PakFile (Core/IO/PakFile.h), a read-only RawFile
// that decompresses blocks on demand or hands compressed reads to the asynchronous loader.
//
// Start-up and shutdown (with the file system) make and free the on-demand decompression context.
// How an index reaches memory (the physical header and index layout) and how an archive joins the
// search list belong to a mounting design that does not exist yet: Archive::Create takes an index
// already in memory.

#include "Core/IO/File.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class RawFile;

constexpr int32 TInvalidIndex = -1;

// One block while walking a member.
struct PakBlock
{
    int32 index = TInvalidIndex; // TInvalidIndex: past the member's end
    uint64 fileOffset = 0;       // where the block starts in the physical file
    uint32 storedSize = 0;       // 0: kept raw (it occupies `size` bytes)
    uint32 size = 0;             // uncompressed bytes in this block
    uint64 start = ~uint64(0);   // offset of the block's first byte within the member
    bool IsValid() const { return index != TInvalidIndex; }
};

// What an archive member adds to a loader request.
struct PakCompression
{
    uint8 compressed = 0; // nonzero: the bytes read must be decompressed
    PakBlock firstBlock;  // the block that holds the first wanted byte
};

namespace Pak
{
// File system start-up (tag scope "Core/Pak"): asserts "GDecompressionContext == nullptr" and makes
// it. Shutdown reports PakFiles never released, frees their store and the context.
void Init();
void Shutdown();

enum : uint8
{
    kEntryCompressed = 1, // the member is split into blocks (each compressed or raw)
};

// One member of an index.
struct PakEntry
{
    uint64 size = 0;                  // uncompressed
    uint64 dataOffset = 0;            // first byte (or first block) in the physical file
    int32 firstBlock = TInvalidIndex; // first entry in the block-size table; TInvalidIndex: one piece
    const char* name = nullptr;       // NUL-terminated path inside the archive
    uint32 nameLength = 0;
    uint8 flags = 0;
};

// Bytes per entry of the block-size table: 2 up to 0x10000, 3 below 0x1000001, else 4.
uint32 BlockSizeWidth(uint32 archiveBlockSize);

// An index in memory over its physical file. Reference-counted: every PakFile of it holds a
// reference. Thread-safe for lookups and reads.
class Archive
{
public:
    // Block sizes beyond this are refused (a block is held whole in memory while it is read).
    static constexpr uint32 kMaxBlockSize = 0x4000000;

    struct Index
    {
        uint32 archiveBlockSize = 0;
        const PakEntry* entries = nullptr; // sorted by name (bytewise, a prefix first), no duplicates
        uint32 entryCount = 0;
        const uint8* blockSizes = nullptr; // the block-size table, little-endian, BlockSizeWidth bytes each
        uint64 blockSizesLength = 0;
    };

    // An archive over `file` (a reference is added) with a copy of `index`; the caller owns the
    // reference returned. Null, with an Error naming the fault, when the index is inconsistent: a
    // block size of 0 or above kMaxBlockSize, names unsorted, duplicated, empty or holding a NUL,
    // a block-size table too short for a member, a member whose flag and block index disagree, or
    // a one-piece member whose end does not fit in 64 bits. Data beyond the physical file is found
    // only by the reads, each of which then fails on its own.
    static Archive* Create(RawFile* file, const Index& index);

    void AddRef() { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    void DropRef();

    // The member's index, or -1.
    int32 FindEntry(StrView name) const;
    // Opens member `index` as a PakFile wrapped in `out`; false (out closed) for a bad index.
    bool OpenFile(File& out, int32 index);
    // Bytes read at `offset` of the physical file (fewer at its end or after a failure).
    uint32 ReadData(void* destination, uint64 offset, uint32 size);
    // Reads `storedSize` bytes at `offset` and decompresses them (one zstd frame) into at most
    // `capacity` bytes with the on-demand context. The bytes produced; 0 and "CriticalIOError."
    // logged when the data cannot be read whole or is not a sound frame.
    uint32 ReadDecompressData(void* destination, uint64 offset, uint32 storedSize, uint32 capacity);

    uint32 GetBlockSize() const { return m_blockSize; }
    uint32 GetBlockSizeWidth() const { return m_blockSizeWidth; }
    uint32 GetEntryCount() const { return m_entryCount; }
    const PakEntry& GetEntry(int32 index) const { return m_entries[index]; }
    // The stored size of block `block` of the table (0: raw). The caller keeps it inside the table.
    uint32 GetStoredSize(uint64 block) const;
    uint64 GetBlockCount() const { return m_blockCount; }
    RawFile* GetFile() const { return m_file; }

    // Archives alive now (tests and the leak report).
    static uint32 GetLiveCount();

private:
    Archive() = default;
    ~Archive();

    std::atomic<int32> m_refCount{0};
    RawFile* m_file = nullptr;
    uint32 m_blockSize = 0;
    uint32 m_blockSizeWidth = 0;
    PakEntry* m_entries = nullptr;
    uint32 m_entryCount = 0;
    char* m_names = nullptr;
    uint64 m_namesLength = 0;
    uint8* m_blockSizes = nullptr;
    uint64 m_blockCount = 0;
};
} // namespace Pak
} // namespace Morvex
