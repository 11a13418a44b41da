#pragma once
// One member of a pak archive as a read-only RawFile: random access, blocks decompressed on
// demand into a buffer of one block, and loader requests turned into reads of the compressed
// blocks that cover the wanted range (decompressed later by PakFile::Decompress).
//
// A PakFile is for one thread at a time: a second thread (or a nested call) inside a read, a seek
// or a decompression is reported through the assertion handler and refused.

#include "Core/IO/Compression.h"
#include "Core/IO/Pak.h"
#include "Core/IO/RawFile.h"

#include <atomic>

namespace Morvex
{
struct AsyncLoaderEntry;

// What the loader's decompression stage hands to PakFile::Decompress.
struct DecompressParams
{
    AsyncLoaderEntry* asyncLoaderEntry = nullptr;
    DecompressionContext* context = nullptr;
    const void* source = nullptr; // the compressed bytes read for the entry
    uint32 sourceSize = 0;
    void* destination = nullptr;
    uint32 destinationSize = 0;
    void* scratchpad = nullptr; // room for one block that is wanted only in part
    uint32 scratchpadSize = 0;
    // Out: set when the source is short or corrupt (the bytes produced until then are kept).
    bool failed = false;
};

class PakFile final : public RawFile
{
public:
    // A PakFile for member `index` of `archive` (a reference to the archive is added) with one
    // reference for the caller. The index must be valid.
    static PakFile* Create(Pak::Archive* archive, int32 index);

    ~PakFile() override;
    // Frees the block buffer, drops the archive and returns the object to its store.
    void Release() override;
    NativeHandle GetHandle() const override { return kInvalidHandle; }
    EFileOpenMode GetMode() const override { return EFileOpenMode::kRead; }
    uint64 GetSize() override;
    uint64 GetLastWriteTime() override { return 0; }
    StrView GetName() const override;
    bool Flush() override { return true; }
    // Seek, then ReadBytes.
    uint32 SeekReadBytes(void* buffer, uint64 offset, uint32 size) override;
    // Bytes delivered from the position on, cut at the member's end. A block that cannot be read
    // whole or does not decompress to its size ends the read there: "CriticalIOError." is logged
    // and the bytes delivered before it are returned.
    uint32 ReadBytes(void* buffer, uint32 size) override;
    // Not supported: asserts and writes nothing.
    uint32 WriteBytes(const void* data, uint32 size) override;
    void CreateReadRequest(AsyncLoaderEntry& out, const FileAsyncReadRequest& readRequest) override;
    uint64 Tell() override { return m_position; }
    // Clamped to the member's size.
    void Seek(uint64 position) override;

    // The loader's decompression of what CreateReadRequest asked for: the bytes produced into
    // params.destination (never more than destinationSize). Source bytes are never read past
    // sourceSize; a short or corrupt source sets params.failed and logs "CriticalIOError.".
    uint32 Decompress(DecompressParams& params);

    const Pak::PakEntry& GetEntry() const { return *m_entry; }
    // Blocks decompressed by this object so far, on demand and for the loader (tests).
    uint32 GetDecompressedBlockCount() const { return m_decompressedBlocks.load(std::memory_order_relaxed); }

    // PakFiles not yet released (the leak report of the shutdown).
    static uint32 GetLiveCount();
    // Frees the store of released PakFiles (the shutdown, once none is alive).
    static void ClearPool();

private:
    PakFile(Pak::Archive* archive, int32 index);

    PakBlock FirstBlock() const;
    PakBlock NextBlock(const PakBlock& block) const;
    PakBlock FindBlock(uint64 position) const;
    bool LoadBlock(const PakBlock& block);

    Pak::Archive* m_archive;
    uint32 m_blockSize;
    const Pak::PakEntry* m_entry;
    uint64 m_firstBlock = 0; // the member's first entry in the block-size table
    bool m_blockwise = false;
    uint64 m_position = 0;
    PakBlock m_currentBlock;
    uint8* m_blockBuffer = nullptr;
    bool m_stale = true;
    std::atomic<int32> m_reentrancy{0};
    std::atomic<uint32> m_decompressedBlocks{0};
};
} // namespace Morvex
