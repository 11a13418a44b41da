#pragma once
// Bounded reading of 64-bit little-endian ELF files, for module signatures and for function names
// where no debug information can be had. Every read is checked against the file's size first, so a
// truncated or hostile file gives an error and never a read outside it.

#include "Core/StaticString.h"
#include "Core/Types.h"
#include "Core/Utils/StackTrace.h"

#include <elf.h>

namespace Morvex
{
class ElfFile
{
public:
    ElfFile() = default;
    ~ElfFile();
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;

    // Opens `path` read-only and checks the header and the extents of both header tables.
    // kCannotOpen, kNotElf, kUnsupported or kMalformed on failure (the file is then closed).
    EModuleSignatureResult Open(const char* path);

    // The GNU build-id, from the program headers' notes, else from the note sections.
    EModuleSignatureResult ReadBuildId(StaticString64_t& hex) const;

    // The function symbol (STT_FUNC or STT_GNU_IFUNC) that holds `address` (a link-time address of
    // this file), from .symtab, else .dynsym. `name` gets the raw (mangled) name, cut at its
    // capacity. False when none is found or the tables are malformed.
    struct Symbol
    {
        uint64 value = 0;
        uint64 size = 0;
        StaticString512_t name;
    };
    bool FindFunction(uint64 address, Symbol& symbol) const;

private:
    // True when [offset, offset + size) lies inside the file and was read whole.
    bool Read(uint64 offset, void* out, uint64 size) const;
    bool InFile(uint64 offset, uint64 size) const;
    bool ReadSection(uint32 index, Elf64_Shdr& section) const;
    // Walks the notes in [offset, offset + size) with the given alignment (4 or 8).
    EModuleSignatureResult FindBuildIdNote(uint64 offset, uint64 size, uint64 align,
                                           StaticString64_t& hex) const;

    int m_fd = -1;
    uint64 m_size = 0;
    Elf64_Ehdr m_header = {};
};
} // namespace Morvex
