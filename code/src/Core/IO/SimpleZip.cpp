#include "Core/IO/SimpleZip.h"

#include "Core/Assert.h"
#include "Core/IO/PlatformFile.h"
#include "Core/IO/RawFile.h"
#include "Core/Log.h"
#include "Core/StaticString.h"
#include "Core/Timing/PlatformTime.h"
#include "SimpleZipPlatform.h"

#include <cerrno>
#include <cstring>
#include <minizip/zip.h>
#include <zlib.h>

namespace Morvex
{
namespace
{
// An entry this close to 4 GiB may outgrow the 32-bit size fields once deflate adds its block
// overhead, so it gets the ZIP64 layout.
constexpr uint64 kZip64Threshold = 0xFF000000ull;

const char* ResultText(int res, int savedErrno)
{
    switch (res)
    {
    case ZIP_ERRNO:
        return savedErrno ? std::strerror(savedErrno) : "I/O error";
    case ZIP_PARAMERROR:
        return "invalid parameter";
    case ZIP_BADZIPFILE:
        return "bad zip file";
    case ZIP_INTERNALERROR:
        return "internal error";
    default:
        return "zlib error";
    }
}

// The entry's date: `lastWriteTime` when given, else the last write of the file of that name, else
// the earliest date the format holds (a zeroed date would read as the invalid 1980-01-00).
void FillTimeStamp(zip_fileinfo& info, const char* name, uint64 lastWriteTime, uint64& diskSize)
{
    std::memset(&info, 0, sizeof(info));
    info.tmz_date.tm_mday = 1;
    info.tmz_date.tm_year = 1980;
    diskSize = 0;
    FileInfo file = Platform_GetFileInfo(StrView(name));
    if (file.exists)
        diskSize = file.isDirectory ? 0 : file.size;
    int64 timeMs;
    if (lastWriteTime != 0)
        timeMs = FileTimeToTimeMs(lastWriteTime);
    else if (file.exists)
        timeMs = UtcDateTimeToTime(file.lastWriteTime);
    else
        return;
    DateTime local = TimeToLocalDateTime(timeMs);
    // DOS dates run from 1980 to 2107.
    if (local.year < 1980 || local.year > 2107)
        return;
    info.tmz_date.tm_sec = static_cast<uInt>(local.second);
    info.tmz_date.tm_min = static_cast<uInt>(local.minute);
    info.tmz_date.tm_hour = static_cast<uInt>(local.hour);
    info.tmz_date.tm_mday = static_cast<uInt>(local.day);
    info.tmz_date.tm_mon = static_cast<uInt>(local.month - 1);
    info.tmz_date.tm_year = static_cast<uInt>(local.year);
}
} // namespace

SimpleZip::~SimpleZip()
{
    // An archive left open would keep its descriptor and never get its central directory.
    if (m_zip)
        Close();
}

int32 SimpleZip::DeflateLevel(int32 compression)
{
    switch (compression)
    {
    case None:
        return 0;
    case Fastest:
        return 1;
    case Best:
        return 9;
    case Default:
        return Z_DEFAULT_COMPRESSION;
    default:
        return 0;
    }
}

bool SimpleZip::Create(const char* path, bool append)
{
    MX_ASSERT(m_zip == 0);
    MX_ASSERT(path != nullptr);
    if (m_zip != nullptr || path == nullptr)
        return false;
    if (std::strlen(path) > FilePath::kCapacity)
    {
        // A cut path would name some other file.
        MX_LOG_ERROR("Morvex::SimpleZip::Create: archive path too long: '%s'", path);
        return false;
    }
    FilePath osPath(path);
    osPath.Normalize();
    zlib_filefunc64_def functions;
    SimpleZip_FillFileFunctions(&functions);
    errno = 0;
    zipFile zip = zipOpen2_64(osPath.c_str(), append ? APPEND_STATUS_ADDINZIP : APPEND_STATUS_CREATE, nullptr,
                              &functions);
    if (zip == nullptr)
    {
        int err = errno;
        MX_LOG_ERROR("Morvex::SimpleZip::Create: cannot open archive '%s': %s", osPath.c_str(),
                     err ? std::strerror(err) : "not a zip archive");
        return false;
    }
    m_zip = zip;
    m_writingFile = false;
    return true;
}

bool SimpleZip::Create(RawFile& file)
{
    MX_ASSERT(m_zip == 0);
    if (m_zip != nullptr)
        return false;
    if (!file.IsValid() || file.GetMode() == EFileOpenMode::kRead)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::Create: the archive file is not open for writing");
        return false;
    }
    // minizip writes through a duplicate of the descriptor, made when it opens.
    m_descriptor = static_cast<int>(file.GetHandle());
    zlib_filefunc64_def functions;
    SimpleZip_FillFileFunctions(&functions, &m_descriptor);
    errno = 0;
    zipFile zip = zipOpen2_64("", APPEND_STATUS_CREATE, nullptr, &functions);
    if (zip == nullptr)
    {
        int err = errno;
        MX_LOG_ERROR("Morvex::SimpleZip::Create: cannot start an archive in '%.*s': %s",
                     static_cast<int>(file.GetName().length()), file.GetName().data(),
                     err ? std::strerror(err) : "unknown error");
        return false;
    }
    m_zip = zip;
    m_writingFile = false;
    return true;
}

bool SimpleZip::BeginFile(const char* name, Compression compression, uint64 expectedSize,
                          uint64 lastWriteTime)
{
    return OpenEntry("BeginFile", name, compression, expectedSize, lastWriteTime, false);
}

bool SimpleZip::BeginRawFile(const char* name, Compression compression, uint64 expectedSize,
                             uint64 lastWriteTime)
{
    return OpenEntry("BeginRawFile", name, compression, expectedSize, lastWriteTime, true);
}

bool SimpleZip::OpenEntry(const char* caller, const char* name, Compression compression, uint64 expectedSize,
                          uint64 lastWriteTime, bool raw)
{
    MX_ASSERT(m_zip != 0);
    MX_ASSERT(m_writingFile == false);
    MX_ASSERT(name != nullptr);
    if (m_zip == nullptr || m_writingFile || name == nullptr)
        return false;

    zip_fileinfo info;
    uint64 diskSize = 0;
    FillTimeStamp(info, name, lastWriteTime, diskSize);
    uint64 size = expectedSize ? expectedSize : diskSize;
    int zip64 = size >= kZip64Threshold ? 1 : 0;

    errno = 0;
    // Raw: the caller hands over the deflate stream itself.
    int res = zipOpenNewFileInZip2_64(static_cast<zipFile>(m_zip), name, &info, nullptr, 0, nullptr, 0,
                                      nullptr, Z_DEFLATED, DeflateLevel(compression), raw ? 1 : 0, zip64);
    if (res != ZIP_OK)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::%s: cannot start entry '%s': %s (%d)", caller, name,
                     ResultText(res, errno), res);
        return false;
    }
    m_writingFile = true;
    m_rawEntry = raw;
    return true;
}

bool SimpleZip::Write(const void* data, int32 length)
{
    MX_ASSERT(m_zip != 0);
    MX_ASSERT(m_writingFile != false);
    MX_ASSERT(length >= 0 && (data != nullptr || length == 0));
    if (m_zip == nullptr || !m_writingFile || length < 0 || (data == nullptr && length != 0))
        return false;
    if (length == 0)
        return true;
    errno = 0;
    int res = zipWriteInFileInZip(static_cast<zipFile>(m_zip), data, static_cast<unsigned>(length));
    if (res != ZIP_OK)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::Write: cannot write %d bytes: %s (%d)", length,
                     ResultText(res, errno), res);
        return false;
    }
    return true;
}

bool SimpleZip::EndRawFile(uint64 uncompressedSize, uint32 crc32)
{
    MX_ASSERT(m_zip != 0);
    MX_ASSERT(m_writingFile != false && m_rawEntry);
    if (m_zip == nullptr || !m_writingFile || !m_rawEntry)
        return false;
    errno = 0;
    int res = zipCloseFileInZipRaw64(static_cast<zipFile>(m_zip), uncompressedSize, crc32);
    m_writingFile = false;
    m_rawEntry = false;
    if (res != ZIP_OK)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::EndRawFile: cannot finish entry: %s (%d)", ResultText(res, errno),
                     res);
        return false;
    }
    return true;
}

bool SimpleZip::EndFile()
{
    MX_ASSERT(m_zip != 0);
    MX_ASSERT(m_writingFile != false);
    if (m_zip == nullptr || !m_writingFile)
        return false;
    errno = 0;
    int res = zipCloseFileInZip(static_cast<zipFile>(m_zip));
    m_writingFile = false;
    m_rawEntry = false;
    if (res != ZIP_OK)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::EndFile: cannot finish entry: %s (%d)", ResultText(res, errno), res);
        return false;
    }
    return true;
}

bool SimpleZip::Close()
{
    if (m_zip == nullptr)
        return true;
    errno = 0;
    int res = zipClose(static_cast<zipFile>(m_zip), nullptr);
    m_zip = nullptr;
    m_writingFile = false;
    m_rawEntry = false;
    if (res != ZIP_OK)
    {
        MX_LOG_ERROR("Morvex::SimpleZip::Close: cannot finish archive: %s (%d)", ResultText(res, errno), res);
        return false;
    }
    return true;
}
} // namespace Morvex
