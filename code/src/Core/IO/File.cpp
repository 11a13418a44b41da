// Placeholder bodies; buffering follows.
#include "Core/IO/File.h"

namespace Morvex
{
File::File(File&&) noexcept
{
}
File& File::operator=(File&&) noexcept
{
    return *this;
}
File::~File()
{
}
StrView File::GetName() const
{
    return StrView();
}
uint32 File::Write(const void*, uint32)
{
    return 0;
}
bool File::WriteText(StrView)
{
    return false;
}
bool File::Printf(const char*, ...)
{
    return false;
}
uint32 File::Read(void*, uint32)
{
    return 0;
}
uint32 File::SeekRead(void*, uint64, uint32)
{
    return 0;
}
uint64 File::GetSize()
{
    return 0;
}
uint64 File::GetLastWriteTime()
{
    return 0;
}
void File::SetBufferSize(uint32)
{
}
bool File::Close()
{
    return true;
}
bool File::WritePending()
{
    return true;
}
} // namespace Morvex
