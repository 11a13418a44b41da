#include "ElfFile_Linux.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace Morvex
{
namespace
{
// A hostile file could hold millions of empty notes; real modules have a handful per segment.
constexpr uint32 kMaxNotesPerRange = 4096;
// Symbols are read in batches through a buffer on the stack.
constexpr uint32 kSymbolBatch = 128;
constexpr uint32 kMaxBuildIdBytes = 32;

uint64 AlignUp(uint64 value, uint64 align)
{
    return (value + align - 1) / align * align;
}
} // namespace

ElfFile::~ElfFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ElfFile::InFile(uint64 offset, uint64 size) const
{
    return offset <= m_size && size <= m_size - offset;
}

bool ElfFile::Read(uint64 offset, void* out, uint64 size) const
{
    if (m_fd < 0 || !InFile(offset, size))
        return false;
    char* to = static_cast<char*>(out);
    while (size > 0)
    {
        const ssize_t n = ::pread(m_fd, to, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        // The file shrank under us: what is missing counts as outside it.
        if (n <= 0)
            return false;
        to += n;
        offset += static_cast<uint64>(n);
        size -= static_cast<uint64>(n);
    }
    return true;
}

EModuleSignatureResult ElfFile::Open(const char* path)
{
    if (path == nullptr || path[0] == 0)
        return EModuleSignatureResult::kCannotOpen;
    int fd;
    do
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return EModuleSignatureResult::kCannotOpen;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    {
        ::close(fd);
        return EModuleSignatureResult::kCannotOpen;
    }
    m_fd = fd;
    m_size = static_cast<uint64>(info.st_size);

    EModuleSignatureResult result = EModuleSignatureResult::kOk;
    unsigned char ident[EI_NIDENT];
    if (!Read(0, ident, sizeof(ident)) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        result = EModuleSignatureResult::kNotElf;
    else if (ident[EI_CLASS] != ELFCLASS64 || ident[EI_DATA] != ELFDATA2LSB)
        result = EModuleSignatureResult::kUnsupported;
    else if (!Read(0, &m_header, sizeof(m_header)))
        result = EModuleSignatureResult::kMalformed;
    else
    {
        const Elf64_Ehdr& h = m_header;
        // Entry sizes other than the structures' own would make every index computation lie.
        const bool programOk = h.e_phnum == 0 || (h.e_phentsize == sizeof(Elf64_Phdr) &&
                                                  InFile(h.e_phoff, uint64(h.e_phnum) * sizeof(Elf64_Phdr)));
        const bool sectionsOk = h.e_shnum == 0 || (h.e_shentsize == sizeof(Elf64_Shdr) &&
                                                   InFile(h.e_shoff, uint64(h.e_shnum) * sizeof(Elf64_Shdr)));
        if (!programOk || !sectionsOk)
            result = EModuleSignatureResult::kMalformed;
    }
    if (result != EModuleSignatureResult::kOk)
    {
        ::close(m_fd);
        m_fd = -1;
        m_size = 0;
    }
    return result;
}

EModuleSignatureResult ElfFile::FindBuildIdNote(uint64 offset, uint64 size, uint64 align,
                                                StaticString64_t& hex) const
{
    if (!InFile(offset, size))
        return EModuleSignatureResult::kMalformed;
    // Positions are relative to the range, whose start the file keeps aligned: the name follows
    // the 12-byte header, and the descriptor and the next note start at multiples of `align`.
    uint64 at = 0;
    for (uint32 n = 0; n < kMaxNotesPerRange && size - at >= sizeof(Elf64_Nhdr); ++n)
    {
        Elf64_Nhdr note;
        if (!Read(offset + at, &note, sizeof(note)))
            return EModuleSignatureResult::kMalformed;
        // 64-bit arithmetic on 32-bit sizes cannot wrap; each end is checked against the range.
        const uint64 nameAt = at + sizeof(note);
        const uint64 descAt = AlignUp(nameAt + note.n_namesz, align);
        const uint64 next = AlignUp(descAt + note.n_descsz, align);
        if (descAt > size || note.n_descsz > size - descAt)
            return EModuleSignatureResult::kMalformed;
        if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4)
        {
            char name[4];
            if (!Read(offset + nameAt, name, sizeof(name)))
                return EModuleSignatureResult::kMalformed;
            if (std::memcmp(name, "GNU", 4) == 0)
            {
                if (note.n_descsz == 0 || note.n_descsz > kMaxBuildIdBytes)
                    return EModuleSignatureResult::kNoSignature;
                unsigned char id[kMaxBuildIdBytes];
                if (!Read(offset + descAt, id, note.n_descsz))
                    return EModuleSignatureResult::kMalformed;
                hex.Clear();
                for (uint32 i = 0; i < note.n_descsz; ++i)
                    hex.AppendFormat("%02X", id[i]);
                return EModuleSignatureResult::kOk;
            }
        }
        // The last note's padding may run past the range.
        if (next >= size)
            break;
        at = next;
    }
    return EModuleSignatureResult::kNoSignature;
}

EModuleSignatureResult ElfFile::ReadBuildId(StaticString64_t& hex) const
{
    hex.Clear();
    if (m_fd < 0)
        return EModuleSignatureResult::kCannotOpen;
    // Loaded modules carry the id in a note segment; separate debug files only in a note section.
    for (uint32 i = 0; i < m_header.e_phnum; ++i)
    {
        Elf64_Phdr segment;
        if (!Read(m_header.e_phoff + uint64(i) * sizeof(segment), &segment, sizeof(segment)))
            return EModuleSignatureResult::kMalformed;
        if (segment.p_type != PT_NOTE)
            continue;
        const EModuleSignatureResult r =
            FindBuildIdNote(segment.p_offset, segment.p_filesz, segment.p_align == 8 ? 8 : 4, hex);
        if (r != EModuleSignatureResult::kNoSignature)
            return r;
    }
    for (uint32 i = 0; i < m_header.e_shnum; ++i)
    {
        Elf64_Shdr section;
        if (!ReadSection(i, section))
            return EModuleSignatureResult::kMalformed;
        if (section.sh_type != SHT_NOTE)
            continue;
        const EModuleSignatureResult r =
            FindBuildIdNote(section.sh_offset, section.sh_size, section.sh_addralign == 8 ? 8 : 4, hex);
        if (r != EModuleSignatureResult::kNoSignature)
            return r;
    }
    return EModuleSignatureResult::kNoSignature;
}

bool ElfFile::ReadSection(uint32 index, Elf64_Shdr& section) const
{
    return index < m_header.e_shnum &&
           Read(m_header.e_shoff + uint64(index) * sizeof(section), &section, sizeof(section));
}

bool ElfFile::FindFunction(uint64 address, Symbol& symbol) const
{
    if (m_fd < 0)
        return false;
    // The full symbol table when the file has one, else the dynamic one (exported names only).
    Elf64_Shdr table = {};
    bool found = false;
    for (uint32 wanted : {uint32(SHT_SYMTAB), uint32(SHT_DYNSYM)})
    {
        for (uint32 i = 0; i < m_header.e_shnum && !found; ++i)
            found = ReadSection(i, table) && table.sh_type == wanted;
        if (found)
            break;
    }
    Elf64_Shdr strings;
    if (!found || table.sh_entsize != sizeof(Elf64_Sym) || !InFile(table.sh_offset, table.sh_size) ||
        !ReadSection(table.sh_link, strings) || strings.sh_type != SHT_STRTAB ||
        !InFile(strings.sh_offset, strings.sh_size))
        return false;

    const uint64 count = table.sh_size / sizeof(Elf64_Sym);
    Elf64_Sym batch[kSymbolBatch];
    Elf64_Sym best = {};
    bool haveBest = false;
    for (uint64 first = 0; first < count; first += kSymbolBatch)
    {
        const uint64 n = count - first < kSymbolBatch ? count - first : kSymbolBatch;
        if (!Read(table.sh_offset + first * sizeof(Elf64_Sym), batch, n * sizeof(Elf64_Sym)))
            return false;
        for (uint64 i = 0; i < n; ++i)
        {
            const Elf64_Sym& s = batch[i];
            const unsigned type = ELF64_ST_TYPE(s.st_info);
            if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF ||
                s.st_value > address)
                continue;
            // A symbol without a size can only be matched exactly.
            const uint64 size = s.st_size != 0 ? s.st_size : 1;
            if (address - s.st_value >= size)
                continue;
            if (!haveBest || s.st_value > best.st_value)
                best = s;
            haveBest = true;
        }
    }
    if (!haveBest || best.st_name >= strings.sh_size)
        return false;
    // The name runs to its NUL, which must lie inside the string table.
    char name[StaticString512_t::kCapacity + 1];
    const uint64 room = strings.sh_size - best.st_name;
    const uint64 want = room < sizeof(name) - 1 ? room : sizeof(name) - 1;
    if (!Read(strings.sh_offset + best.st_name, name, want))
        return false;
    name[want] = 0;
    symbol.value = best.st_value;
    symbol.size = best.st_size;
    symbol.name.Assign(name, static_cast<uint32>(std::strlen(name)));
    return !symbol.name.empty();
}

EModuleSignatureResult GetModuleSignature(const char* path, StaticString64_t& out)
{
    out.Clear();
    ElfFile file;
    const EModuleSignatureResult opened = file.Open(path);
    if (opened != EModuleSignatureResult::kOk)
        return opened;
    const EModuleSignatureResult result = file.ReadBuildId(out);
    if (result != EModuleSignatureResult::kOk)
        out.Clear();
    return result;
}
} // namespace Morvex
