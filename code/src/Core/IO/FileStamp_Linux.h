#pragma once
// The stamp of a file from its status, shared by the path and the open-file queries.

#include "Core/IO/PlatformFile.h"

#include <sys/stat.h>

namespace Morvex
{
inline FileStamp StampOf(const struct stat& st)
{
    constexpr int64 kNsPerSecond = 1000000000;
    FileStamp stamp;
    stamp.identity.device = static_cast<uint64>(st.st_dev);
    stamp.identity.inode = static_cast<uint64>(st.st_ino);
    stamp.identity.valid = true;
    stamp.size = static_cast<uint64>(st.st_size);
    stamp.modifiedNs = static_cast<int64>(st.st_mtim.tv_sec) * kNsPerSecond + st.st_mtim.tv_nsec;
    stamp.changedNs = static_cast<int64>(st.st_ctim.tv_sec) * kNsPerSecond + st.st_ctim.tv_nsec;
    return stamp;
}
} // namespace Morvex
