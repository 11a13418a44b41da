#pragma once
// The file functions the zip writer hands to minizip, one implementation per platform.

#include <minizip/ioapi.h>

namespace Morvex
{
// With a descriptor, minizip's open writes to a duplicate of it (whatever name it is given) instead
// of opening a file by name; the caller keeps its own descriptor.
void SimpleZip_FillFileFunctions(zlib_filefunc64_def* functions, const int* descriptor = nullptr);
} // namespace Morvex
