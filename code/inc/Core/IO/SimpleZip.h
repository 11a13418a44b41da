#pragma once
// Writes ZIP archives: create an archive, add entries one at a time by streaming their bytes, close
// the archive. Every entry is deflated (method 8) at the level its Compression value selects and
// carries a last-write time (local time, DOS format): the one its caller gives, else that of the
// file of the same name on disk, else the earliest DOS time (1980-01-01 00:00). Entries that may reach 4 GiB
// are written in the ZIP64 layout; all others keep the classic layout without extra fields.
//
// Calls out of order are assertion failures and then return false without doing anything. Failures
// of the archive itself (a write error, a full disk) are logged at Error and return false; the
// object stays usable. One SimpleZip belongs to one thread; it takes no lock.

#include "Core/Types.h"

namespace Morvex
{
class RawFile;

class SimpleZip
{
public:
    // The per-entry choice. Any other value stores the entry deflated without compression.
    enum Compression : int32
    {
        None = 0,    // deflate level 0
        Fastest = 1, // level 1
        Best = 2,    // level 9
        Default = 3, // zlib's default level
    };

    SimpleZip() = default;
    // Finishes an archive that is still open (as Close does).
    ~SimpleZip();
    SimpleZip(const SimpleZip&) = delete;
    SimpleZip& operator=(const SimpleZip&) = delete;

    // Opens `path` ('\\' is read as '/'): a new archive replacing any file of that name, or with
    // append, an existing archive that new entries are added to. Asserts "m_zip == 0". False when
    // the archive could not be opened.
    bool Create(const char* path, bool append);
    // A new archive written into `file`, an empty file open for writing (for instance an anonymous
    // temporary file) that stays the caller's; its content is complete once Close returns true.
    // Asserts "m_zip == 0". False when the archive could not be started.
    bool Create(RawFile& file);
    // Starts an entry named `name`, stored byte for byte. expectedSize: the entry's size when the
    // caller knows it (0: unknown, then the size of the same-named file on disk counts); it only
    // decides whether the entry needs the ZIP64 layout. lastWriteTime: the entry's date in 100-ns
    // ticks since 1601-01-01 UTC (as RawFile::GetLastWriteTime gives it), 0 to take the date of
    // the same-named file on disk. Asserts "m_zip != 0" and "m_writingFile == false".
    bool BeginFile(const char* name, Compression compression, uint64 expectedSize = 0,
                   uint64 lastWriteTime = 0);
    // Starts an entry whose deflate stream the caller makes (for instance on several threads): Write
    // then takes the compressed bytes as they are, and EndRawFile names the uncompressed size and
    // CRC-32. The entry is marked as deflated at the level `compression` selects. Same assertions
    // as BeginFile.
    bool BeginRawFile(const char* name, Compression compression, uint64 expectedSize, uint64 lastWriteTime);
    // Finishes an entry started with BeginRawFile; closed whatever the result.
    bool EndRawFile(uint64 uncompressedSize, uint32 crc32);
    // Appends length bytes (length >= 0; data may be null only when length is 0) to the open entry.
    // Asserts "m_zip != 0" and "m_writingFile != false". After a false result the entry is broken;
    // EndFile still closes it.
    bool Write(const void* data, int32 length);
    // Finishes the open entry; the entry is closed whatever the result.
    bool EndFile();
    // Finishes the archive (an open entry first). True at once when no archive is open. The archive
    // is closed whatever the result; false when it could not be completed.
    bool Close();

    bool IsOpen() const { return m_zip != nullptr; }
    bool IsWritingFile() const { return m_writingFile; }

    // The deflate level the library receives for a Compression value (-1: zlib's default).
    static int32 DeflateLevel(int32 compression);

private:
    bool OpenEntry(const char* caller, const char* name, Compression compression, uint64 expectedSize,
                   uint64 lastWriteTime, bool raw);

    void* m_zip = nullptr;
    bool m_writingFile = false;
    bool m_rawEntry = false;
    // The caller's descriptor for Create(RawFile&), read by minizip's open.
    int m_descriptor = -1;
};
} // namespace Morvex
