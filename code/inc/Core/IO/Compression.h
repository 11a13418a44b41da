#pragma once
// zstd block decompression whose memory comes from the "FileMemory" heap.

#include "Core/Types.h"

#include <cstddef>

struct ZSTD_DCtx_s;

namespace Morvex
{
using DecompressionContext = ZSTD_DCtx_s;

// A new context, its memory from (and back to) the "FileMemory" heap through zstd's allocation
// hooks. Null when zstd cannot make one. A context serves one thread at a time. Any thread.
DecompressionContext* CreateDecompressionContext();
// Frees a context of CreateDecompressionContext. Asserts "decompressionContext" (null does
// nothing further).
void ReleaseDecompressionContext(DecompressionContext* decompressionContext);
// Contexts made and not yet released (the file system's start-up makes two: the on-demand one and
// the loader's decompression thread's).
uint32 GetLiveDecompressionContextCount();

namespace Zstd
{
// Decompresses one whole frame of `sourceSize` bytes into at most `capacity` bytes. The bytes
// produced, or a zstd error code (IsError): never reads past the source nor writes past capacity.
size_t Decompress(DecompressionContext* context, const void* source, size_t sourceSize, void* destination,
                  size_t capacity);
bool IsError(size_t result);
// The largest compressed size of `size` bytes: what a sound block can take at most.
size_t CompressBound(size_t size);
} // namespace Zstd
} // namespace Morvex
