// The buffered file: small writes gather in one buffer that goes out in a single system write.

#include "Core/IO/File.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Str.h"

#include <cstdarg>
#include <cstring>

namespace Morvex
{
namespace
{
// Catches two threads inside Write or SetBufferSize of one File at the same time; under a
// debugger the assertion stops right there.
class UseGuard
{
public:
    explicit UseGuard(std::atomic<int32>& count) : m_count(count)
    {
        int32 before = m_count.fetch_add(1, std::memory_order_acquire);
        MX_ASSERT_MSG(before == 0, "File used by two threads at once");
    }
    ~UseGuard()
    {
        int32 before = m_count.fetch_sub(1, std::memory_order_release);
        MX_ASSERT_MSG(before != 0, "File use count out of balance");
    }
    UseGuard(const UseGuard&) = delete;
    UseGuard& operator=(const UseGuard&) = delete;

private:
    std::atomic<int32>& m_count;
};
} // namespace

File::File(File&& other) noexcept
    : m_rawFile(other.m_rawFile), m_writeBuffer(other.m_writeBuffer),
      m_writeBufferSize(other.m_writeBufferSize), m_writeBufferOffset(other.m_writeBufferOffset)
{
    other.m_rawFile = nullptr;
    other.m_writeBuffer = nullptr;
    other.m_writeBufferSize = 0;
    other.m_writeBufferOffset = 0;
}

File& File::operator=(File&& other) noexcept
{
    if (this == &other)
        return *this;
    Close();
    m_rawFile = other.m_rawFile;
    m_writeBuffer = other.m_writeBuffer;
    m_writeBufferSize = other.m_writeBufferSize;
    m_writeBufferOffset = other.m_writeBufferOffset;
    other.m_rawFile = nullptr;
    other.m_writeBuffer = nullptr;
    other.m_writeBufferSize = 0;
    other.m_writeBufferOffset = 0;
    return *this;
}

File::~File()
{
    Close();
}

StrView File::GetName() const
{
    return m_rawFile ? m_rawFile->GetName() : StrView();
}

bool File::WritePending()
{
    if (m_writeBufferOffset == 0)
        return true;
    uint32 pending = m_writeBufferOffset;
    m_writeBufferOffset = 0;
    if (!m_rawFile || !m_writeBuffer)
        return false;
    return m_rawFile->WriteBytes(m_writeBuffer, pending) == pending;
}

uint32 File::Write(const void* data, uint32 length)
{
    UseGuard guard(m_useCount);
    if (!m_rawFile || (length != 0 && data == nullptr))
        return 0;
    if (m_writeBufferSize != 0 && m_writeBuffer == nullptr)
    {
        MX_ASSERT(m_writeBufferOffset == 0);
        m_writeBufferOffset = 0;
        MX_MEMORY_TAG_SCOPE("Core/File");
        m_writeBuffer = static_cast<uint8*>(Memory::Alloc(m_writeBufferSize));
    }
    if (static_cast<uint64>(m_writeBufferOffset) + length > m_writeBufferSize && m_writeBufferOffset != 0)
    {
        // Bytes that could not reach the file are gone; saying so is all that is left to do, and
        // taking the new bytes would hide the hole in the file.
        if (!WritePending())
            return 0;
    }
    if (length < m_writeBufferSize)
    {
        std::memcpy(m_writeBuffer + m_writeBufferOffset, data, length);
        m_writeBufferOffset += length;
        return length;
    }
    return m_rawFile->WriteBytes(data, length);
}

bool File::WriteText(StrView text)
{
    return Write(text.data(), text.length()) == text.length();
}

bool File::Printf(const char* format, ...)
{
    char buffer[2048];
    va_list args;
    va_start(args, format);
    Str::VSNPrintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    uint32 length = static_cast<uint32>(std::strlen(buffer));
    return Write(buffer, length) == length;
}

uint32 File::Read(void* buffer, uint32 size)
{
    return m_rawFile ? m_rawFile->ReadBytes(buffer, size) : 0;
}

uint32 File::SeekRead(void* buffer, uint64 offset, uint32 size)
{
    return m_rawFile ? m_rawFile->SeekReadBytes(buffer, offset, size) : 0;
}

uint64 File::GetSize()
{
    if (!m_rawFile)
        return 0;
    WritePending();
    return m_rawFile->GetSize();
}

uint64 File::GetLastWriteTime()
{
    if (!m_rawFile)
        return 0;
    WritePending();
    return m_rawFile->GetLastWriteTime();
}

void File::SetBufferSize(uint32 size)
{
    UseGuard guard(m_useCount);
    if (size == m_writeBufferSize)
        return;
    WritePending();
    Memory::Free(m_writeBuffer, m_writeBufferSize);
    m_writeBuffer = nullptr;
    m_writeBufferSize = size;
}

bool File::Close()
{
    bool ok = WritePending();
    if (m_rawFile)
    {
        m_rawFile->DropRef();
        m_rawFile = nullptr;
    }
    Memory::Free(m_writeBuffer, m_writeBufferSize);
    m_writeBuffer = nullptr;
    m_writeBufferSize = kDefaultBufferSize;
    m_writeBufferOffset = 0;
    return ok;
}
} // namespace Morvex
