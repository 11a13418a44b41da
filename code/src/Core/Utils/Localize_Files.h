#pragma once
// File access of the localization module: listing and reading string tables, writing the charset
// dump. Kept behind this small seam so that the module does not depend on how files are found.
// Main thread only.

#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <vector>

namespace Morvex
{
namespace LocalizeFiles
{
// Appends the "*.txt" files of `folder` to `out`, sorted by byte order, without duplicates, as
// paths that ReadTableFile finds again. A relative folder is looked up in the file system's search
// directories (matches of all of them merged); an absolute one is listed directly. A missing
// folder adds nothing.
void ListTableFiles(const FilePath& folder, std::vector<FilePath>& out);
// Reads a whole file, found through the search directories, into a new buffer of length + 1 bytes
// (Memory::Alloc, alignment 1) whose last byte is NUL; the caller frees it with Memory::Free(buffer, length +
// 1). False, with nothing allocated, when the file cannot be opened or read.
bool ReadTableFile(const char* path, char*& buffer, size_t& length);
// Creates or truncates `path` through the file system and writes `data` to it.
bool WriteWholeFile(const char* path, const void* data, size_t size);
} // namespace LocalizeFiles
} // namespace Morvex
