#pragma once
// The file handle the engine holds: owner of one reference to a RawFile plus a write buffer
// (65536 bytes unless set otherwise) so that many small writes become few system calls. Reads are
// never buffered. A File that holds no RawFile is closed; a closed File is what failed opens
// return. Movable, not copyable; one thread at a time (overlapping writes stop in the debugger).

#include "Core/IO/RawFile.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
class File
{
public:
    static constexpr uint32 kDefaultBufferSize = 65536;

    File() = default;
    // Takes over one reference the caller holds (null gives a closed File).
    explicit File(RawFile* rawFile) : m_rawFile(rawFile) {}
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    // The source is left closed, without buffer and with a capacity of 0 until it is closed again.
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    // Closes.
    ~File();

    bool IsOpen() const { return m_rawFile != nullptr; }
    RawFile* GetRawFile() const { return m_rawFile; }
    // Empty when closed.
    StrView GetName() const;

    // Buffered write. Returns the length accepted, or for a write that bypasses the buffer the
    // bytes the system wrote. When pending bytes cannot be written out first, they are dropped and
    // the result is 0 (nothing of this call was accepted).
    uint32 Write(const void* data, uint32 length);
    // True when the whole view was accepted.
    bool WriteText(StrView text);
    // Formats into 2048 bytes (cut beyond 2047) and writes the text; true when all was accepted.
    bool Printf(const char* format, ...) MX_PRINTF_FORMAT(2, 3);

    uint32 Read(void* buffer, uint32 size);
    uint32 SeekRead(void* buffer, uint64 offset, uint32 size);

    // Both write out pending bytes first.
    uint64 GetSize();
    uint64 GetLastWriteTime();

    // A different size writes out pending bytes, frees the buffer and takes the new capacity
    // (0: unbuffered); the same size changes nothing.
    void SetBufferSize(uint32 size);
    uint32 GetBufferSize() const { return m_writeBufferSize; }

    // Writes out pending bytes, drops the reference, frees the buffer, resets the capacity to
    // 65536. Returns false when pending bytes could not all be written out (true for a closed
    // File).
    bool Close();

private:
    // One RawFile::WriteBytes of the pending bytes; false when fewer went out. Clears the buffer.
    bool WritePending();

    RawFile* m_rawFile = nullptr;
    uint8* m_writeBuffer = nullptr;
    uint32 m_writeBufferSize = kDefaultBufferSize;
    uint32 m_writeBufferOffset = 0;
    std::atomic<int32> m_useCount{0};
};
} // namespace Morvex
