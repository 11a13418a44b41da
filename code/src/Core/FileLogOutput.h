#pragma once
// The file under the file log: created or truncated on open, every write handed to the operating
// system at once. Used under the file log's lock only.

#include "Core/Types.h"

#include <memory>

namespace Morvex
{
class FileLogOutput
{
public:
    // Creates or truncates `path`, creating missing folders first; null when it cannot be created.
    static std::unique_ptr<FileLogOutput> Create(const char* path);
    // Closes the file.
    virtual ~FileLogOutput() = default;
    // Writes all `length` bytes; false when the system took fewer.
    virtual bool Write(const char* data, uint32 length) = 0;
};
} // namespace Morvex
