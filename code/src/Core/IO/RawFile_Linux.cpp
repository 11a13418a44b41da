// Placeholder bodies; the system calls follow.
#include "Core/IO/RawFile.h"

#include <new>

namespace Morvex
{
RawFile* RawFile::Open(StrView, EFileOpenMode)
{
    return nullptr;
}
RawFile::RawFile(StrView, EFileOpenMode mode) : m_mode(mode)
{
}
RawFile::~RawFile()
{
}
void RawFile::Release()
{
}
RawFile::NativeHandle RawFile::GetHandle() const
{
    return m_handle;
}
EFileOpenMode RawFile::GetMode() const
{
    return m_mode;
}
uint64 RawFile::GetSize()
{
    return 0;
}
uint64 RawFile::GetLastWriteTime()
{
    return 0;
}
StrView RawFile::GetName() const
{
    return m_name.view();
}
bool RawFile::Flush()
{
    return false;
}
uint32 RawFile::SeekReadBytes(void*, uint64, uint32)
{
    return 0;
}
uint32 RawFile::ReadBytes(void*, uint32)
{
    return 0;
}
uint32 RawFile::WriteBytes(const void*, uint32)
{
    return 0;
}
uint64 RawFile::Tell()
{
    return 0;
}
void RawFile::Seek(uint64)
{
}
void RawFile::DropRef()
{
}
void* RawFile::AllocateStorage()
{
    return nullptr;
}
uint32 RawFile::GetLiveCount()
{
    return 0;
}
void RawFile::operator delete(void*)
{
}
void RawFile::CloseHandle()
{
}
} // namespace Morvex
