// zstd decompression contexts whose memory lives in the "FileMemory" heap.

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_createDCtx_advanced and ZSTD_customMem
#include "Core/IO/Compression.h"

#include "Core/Assert.h"
#include "Core/IO/FileMemory.h"
#include "Core/Profiler/Profiler.h"

#include <atomic>
#include <zstd.h>

namespace Morvex
{
namespace
{
std::atomic<uint32> GLiveContexts{0};

void* ZstdAlloc(void*, size_t size)
{
    return FileMemory::Alloc(size);
}

void ZstdFree(void*, void* address)
{
    FileMemory::Free(address);
}
} // namespace

DecompressionContext* CreateDecompressionContext()
{
    const ZSTD_customMem memory = {&ZstdAlloc, &ZstdFree, nullptr};
    ZSTD_DCtx* context = ZSTD_createDCtx_advanced(memory);
    if (context)
        GLiveContexts.fetch_add(1, std::memory_order_relaxed);
    return context;
}

void ReleaseDecompressionContext(DecompressionContext* decompressionContext)
{
    MX_ASSERT(decompressionContext);
    if (!decompressionContext)
        return;
    ZSTD_freeDCtx(decompressionContext);
    GLiveContexts.fetch_sub(1, std::memory_order_relaxed);
}

uint32 GetLiveDecompressionContextCount()
{
    return GLiveContexts.load(std::memory_order_relaxed);
}

size_t Zstd::Decompress(DecompressionContext* context, const void* source, size_t sourceSize,
                        void* destination, size_t capacity)
{
    MX_PROFILE_ZONE("Morvex::Zstd::Decompress");
    return ZSTD_decompressDCtx(context, destination, capacity, source, sourceSize);
}

bool Zstd::IsError(size_t result)
{
    return ZSTD_isError(result) != 0;
}

size_t Zstd::CompressBound(size_t size)
{
    return ZSTD_compressBound(size);
}
} // namespace Morvex
