// Pak archives from untrusted bytes: an index (block size, members with their sizes, offsets,
// block indexes and flags, the block-size table) over a physical file, then every member read
// through the on-demand reader (in pieces, after seeks) and through the loader's range
// decompression. Lying sizes, overlapping members, truncated data and corrupt frames must give a
// refused index or an error per read, never a read out of bounds nor an assertion.
//
// Input: u16 block size (16 + value % 4096), u8 member count (at most 8); per member u16 size,
// u16 data offset, i8 first block (-1: one piece), u8 flags, u8 name length (1..8) and the name;
// u16 table length and the table; the rest is the physical file.

#include "Core/IO/AsyncLoader.h"
#include "Core/IO/Compression.h"
#include "Core/IO/Pak.h"
#include "Core/IO/PakFile.h"
#include "Core/IO/RawFile.h"
#include "FuzzSupport.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace Morvex;

namespace
{
struct Reader
{
    const uint8_t* p;
    size_t left;
    bool Take(void* out, size_t n)
    {
        if (left < n)
            return false;
        std::memcpy(out, p, n);
        p += n;
        left -= n;
        return true;
    }
};

void ReadThrough(Pak::Archive& archive, int32 index, DecompressionContext* context)
{
    PakFile* member = PakFile::Create(&archive, index);
    const uint64 size = member->GetSize();
    std::vector<uint8> buffer(static_cast<size_t>(size) + 64);
    uint64 got = 0;
    while (true)
    {
        const uint32 n = member->ReadBytes(buffer.data() + got, 37);
        got += n;
        if (n < 37 || got > size)
            break;
    }
    for (uint64 at : {size / 3, size / 2 + 1, uint64(0), size + 5})
    {
        uint8 piece[64];
        member->SeekReadBytes(piece, at, sizeof(piece));
    }

    FileAsyncReadRequest request;
    request.offset = size / 4;
    request.size = static_cast<uint32>(size);
    AsyncLoaderEntry entry;
    member->CreateReadRequest(entry, request);
    std::vector<uint8> source(entry.readRequest.size);
    const uint32 read =
        entry.file->SeekReadBytes(source.data(), entry.readRequest.offset, entry.readRequest.size);
    if (entry.compression.compressed)
    {
        std::vector<uint8> destination(request.size);
        std::vector<uint8> scratch(0x2000);
        DecompressParams params;
        params.asyncLoaderEntry = &entry;
        params.context = context;
        params.source = source.data();
        params.sourceSize = read;
        params.destination = destination.data();
        params.destinationSize = static_cast<uint32>(destination.size());
        params.scratchpad = scratch.data();
        params.scratchpadSize = static_cast<uint32>(scratch.size());
        member->Decompress(params);
    }
    member->DropRef();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static DecompressionContext* context = []
    {
        Fuzz::InstallDiscardingLog();
        Pak::Init();
        return CreateDecompressionContext();
    }();

    Reader in{data, size};
    uint16 blockSize = 0;
    uint8 count = 0;
    if (!in.Take(&blockSize, 2) || !in.Take(&count, 1))
        return 0;
    count = static_cast<uint8>(count % 9);
    std::vector<Pak::PakEntry> entries(count);
    std::vector<std::string> names(count);
    for (uint32 i = 0; i < count; ++i)
    {
        uint16 memberSize = 0, offset = 0;
        int8 firstBlock = 0;
        uint8 flags = 0, nameLength = 0;
        if (!in.Take(&memberSize, 2) || !in.Take(&offset, 2) || !in.Take(&firstBlock, 1) ||
            !in.Take(&flags, 1) || !in.Take(&nameLength, 1))
            return 0;
        names[i].resize(1 + nameLength % 8);
        if (!in.Take(names[i].data(), names[i].size()))
            return 0;
        entries[i].size = memberSize;
        entries[i].dataOffset = offset;
        entries[i].firstBlock = firstBlock < 0 ? TInvalidIndex : firstBlock;
        entries[i].flags = flags;
        entries[i].nameLength = static_cast<uint32>(names[i].size());
    }
    for (uint32 i = 0; i < count; ++i)
        entries[i].name = names[i].c_str();
    uint16 tableLength = 0;
    if (!in.Take(&tableLength, 2) || in.left < tableLength)
        return 0;
    std::vector<uint8> table(in.p, in.p + tableLength);
    in.p += tableLength;
    in.left -= tableLength;

    RawFile* writer = RawFile::CreateAnonymous(StrView("/tmp"));
    if (!writer)
        return 0;
    writer->WriteBytes(in.p, static_cast<uint32>(in.left));
    RawFile* physical = writer->OpenReader();
    writer->DropRef();
    if (!physical)
        return 0;

    Pak::Archive::Index index;
    index.archiveBlockSize = 16u + blockSize % 4096u;
    index.entries = entries.data();
    index.entryCount = count;
    index.blockSizes = table.data();
    index.blockSizesLength = table.size();
    Pak::Archive* archive = Pak::Archive::Create(physical, index);
    physical->DropRef();
    if (!archive)
        return 0;
    for (uint32 i = 0; i < archive->GetEntryCount(); ++i)
    {
        const Pak::PakEntry& entry = archive->GetEntry(static_cast<int32>(i));
        if (archive->FindEntry(StrView(entry.name, entry.nameLength)) != static_cast<int32>(i))
            __builtin_trap();
        ReadThrough(*archive, static_cast<int32>(i), context);
    }
    archive->DropRef();
    return 0;
}
