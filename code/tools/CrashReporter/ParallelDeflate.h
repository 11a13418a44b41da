#pragma once
// One deflate stream made on several threads: the input is cut into pieces of kDeflatePieceBytes,
// each piece is compressed on its own (primed with the 32 KiB before it, so the ratio stays close to
// one stream's) and ends on a byte boundary, so the pieces joined in order are a single stream any
// inflater reads. A piece that does not shrink (random memory, compressed data), judged from a
// small sample, is stored instead of compressed. The CRC-32 of the whole is combined from the
// pieces'. At most two pieces per thread are in flight: memory stays a few MiB per thread.

#include "Core/Types.h"

namespace Morvex
{
constexpr uint32 kDeflatePieceBytes = 1u << 20;

// Reads up to `size` bytes into `into`; returns how many (fewer only at the end of the input or
// on a read error). Writes `size` compressed bytes; false stops the work.
using DeflateReadFn = uint32 (*)(void* context, char* into, uint32 size);
using DeflateWriteFn = bool (*)(void* context, const char* data, uint32 size);

struct DeflateResult
{
    bool ok = false;        // the whole stream was written
    bool readShort = false; // the input ended before `size`: the stream holds what was read
    uint64 bytesIn = 0;
    uint32 crc32 = 0;
};

// Compresses `size` bytes read through `read` at zlib level `level` (0 to 9) on `threads` helper
// threads of low priority (0: none, everything on the calling thread) and hands the raw deflate
// stream to `write` in order, on the calling thread.
DeflateResult DeflateInPieces(uint64 size, int32 level, uint32 threads, DeflateReadFn read, void* readContext,
                              DeflateWriteFn write, void* writeContext);
} // namespace Morvex
