#pragma once
// Builds pak archives for the tests: members compressed block by block with zstd (a block that does
// not shrink is kept raw, as an archiver does), written to one physical file, with the index the
// archive is created from.

#include "Core/IO/Pak.h"
#include "Core/IO/RawFile.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <fstream>
#include <string>
#include <vector>

namespace Morvex::Test
{
struct PakMember
{
    std::string name;
    std::string content;
    bool blockwise = true;
};

struct BuiltPak
{
    std::string physical; // the archive file's bytes
    std::vector<Pak::PakEntry> entries;
    std::vector<std::string> names;
    std::vector<uint8> blockSizes;
    uint32 blockSize = 0;

    Pak::Archive::Index Index() const
    {
        Pak::Archive::Index index;
        index.archiveBlockSize = blockSize;
        index.entries = entries.data();
        index.entryCount = static_cast<uint32>(entries.size());
        index.blockSizes = blockSizes.data();
        index.blockSizesLength = blockSizes.size();
        return index;
    }
};

// Members must be given sorted by name. `forceRaw` keeps every block raw.
inline BuiltPak BuildPak(const std::vector<PakMember>& members, uint32 blockSize, bool forceRaw = false)
{
    BuiltPak pak;
    pak.blockSize = blockSize;
    const uint32 width = Pak::BlockSizeWidth(blockSize);
    pak.physical = "PAK0"; // something before the first member, so that offsets are not 0
    pak.names.reserve(members.size());
    for (const PakMember& member : members)
    {
        pak.names.push_back(member.name);
        Pak::PakEntry entry;
        entry.size = member.content.size();
        entry.dataOffset = pak.physical.size();
        entry.nameLength = static_cast<uint32>(member.name.size());
        if (!member.blockwise)
        {
            pak.physical += member.content;
            pak.entries.push_back(entry);
            continue;
        }
        entry.flags = Pak::kEntryCompressed;
        entry.firstBlock = static_cast<int32>(pak.blockSizes.size() / width);
        for (size_t at = 0; at < member.content.size(); at += blockSize)
        {
            const std::string block = member.content.substr(at, blockSize);
            std::string packed(ZSTD_compressBound(block.size()), '\0');
            const size_t n = ZSTD_compress(packed.data(), packed.size(), block.data(), block.size(), 3);
            uint32 stored = 0;
            if (!forceRaw && !ZSTD_isError(n) && n < block.size())
            {
                packed.resize(n);
                pak.physical += packed;
                stored = static_cast<uint32>(n);
            }
            else
                pak.physical += block;
            for (uint32 i = 0; i < width; ++i)
                pak.blockSizes.push_back(static_cast<uint8>(stored >> (8 * i)));
        }
        pak.entries.push_back(entry);
    }
    for (size_t i = 0; i < pak.entries.size(); ++i)
        pak.entries[i].name = pak.names[i].c_str();
    return pak;
}

// Text that compresses well, different for every seed.
inline std::string Compressible(size_t size, uint32 seed)
{
    std::string out;
    out.reserve(size);
    uint32 x = seed * 2654435761u + 1;
    while (out.size() < size)
    {
        x = x * 1103515245u + 12345u;
        out += "line " + std::to_string(x % 1000) + " of member " + std::to_string(seed) + "\n";
    }
    out.resize(size);
    return out;
}

// Bytes that do not compress.
inline std::string Incompressible(size_t size, uint32 seed)
{
    std::string out(size, '\0');
    uint64 x = seed * 0x9E3779B97F4A7C15ull + 7;
    for (char& c : out)
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        c = static_cast<char>(x);
    }
    return out;
}

inline void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
} // namespace Morvex::Test
