#pragma once
// The file functions the zip writer hands to minizip, one implementation per platform.

#include <minizip/ioapi.h>

namespace Morvex
{
void SimpleZip_FillFileFunctions(zlib_filefunc64_def* functions);
} // namespace Morvex
