// The memory usage report.

#include "Core/Log.h"
#include "Core/Memory/GroundZeroAllocator.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryHeap.h"
#include "Core/Memory/PlatformVirtualMemory.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "SystemMemory.h"

#include <algorithm>

namespace Morvex
{
namespace
{
constexpr const char* kSeparator =
    "---------------------------------------------------------------------------";

const char* Size(StaticString<64>& out, uint64 bytes)
{
    return Str::FormatSize(out, bytes);
}
} // namespace

void Memory::LogUsage(bool details)
{
    StaticString<64> a, b, c, d;
    SystemMemoryStatus status;
    ReadSystemMemoryStatus(status);
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("OS memory status");
    MX_LOG_WARNING("%s", kSeparator);
    MX_LOG_WARNING("Memory Load: %d%%", static_cast<int>(status.memoryLoad));
    MX_LOG_WARNING("   Physical: %s total, %s used, %s available", Size(a, status.totalPhysical),
                   Size(b, status.totalPhysical - status.availablePhysical),
                   Size(c, status.availablePhysical));
    MX_LOG_WARNING("  Page File: %s total, %s used, %s available", Size(a, status.totalPageFile),
                   Size(b, status.totalPageFile - status.availablePageFile),
                   Size(c, status.availablePageFile));
    MX_LOG_WARNING("%s", kSeparator);

    const PlatformVirtualMemoryStats vm = PlatformVirtualMemory::GetStats();
    const PlatformVirtualMemoryConstants constants = PlatformVirtualMemory::GetConstants();
    StaticString<32> live, total;
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("PlatformVirtualMemory allocator");
    MX_LOG_WARNING("%s", kSeparator);
    MX_LOG_WARNING("Allocated: %s", Size(a, vm.m_allocated));
    MX_LOG_WARNING("Allocated peak: %s", Size(a, vm.m_peak));
    MX_LOG_WARNING("Live allocations: %s", Str::FormatThousands(live, vm.m_liveCount));
    MX_LOG_WARNING("Total allocations: %s", Str::FormatThousands(total, vm.m_totalCount));
    MX_LOG_WARNING("Page size: %s", Size(a, constants.m_pageSize));
    MX_LOG_WARNING("Granularity: %s", Size(a, constants.m_allocationGranularity));
    MX_LOG_WARNING("%s", kSeparator);

    const uint64 used = GroundZeroAllocator::GetUsed();
    const uint64 capacity = GroundZeroAllocator::kCapacity;
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("GroundZeroAllocator: %d%% (%d/%d KB)",
                   static_cast<int>(static_cast<float>(used) * 100.0f / static_cast<float>(capacity)),
                   static_cast<int>(used / 1024), static_cast<int>(capacity / 1024));
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("Profiler: %s", Size(a, 0));

    MemoryHeap* heaps[32];
    const uint32 n = GetHeaps(heaps, 32);
    std::sort(heaps, heaps + n,
              [](MemoryHeap* x, MemoryHeap* y) { return x->GetStats().reserved > y->GetStats().reserved; });
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("%s", kSeparator);
    MX_LOG_WARNING("%-24s %10s %10s %10s %12s", "Heap name", "Reserved", "Peak", "Used", "Overhead");
    MX_LOG_WARNING("%s", kSeparator);
    uint64 reserved = 0, usedTotal = 0, overhead = 0;
    for (uint32 i = 0; i < n; ++i)
    {
        const MemoryHeapStats& s = heaps[i]->GetStats();
        const StrView name = heaps[i]->GetShortName();
        StaticString<64> shortName;
        shortName.Assign(name);
        MX_LOG_WARNING("%-24s %10s %10s %10s %12s", shortName.c_str(), Size(a, s.reserved),
                       Size(b, s.peakReserved), Size(c, s.used), Size(d, s.overhead));
        reserved += s.reserved;
        usedTotal += s.used;
        overhead += s.overhead;
    }
    MX_LOG_WARNING("%s", kSeparator);
    MX_LOG_WARNING("%-24s %10s %10s %10s %12s", "TOTAL", Size(a, reserved), "N/A", Size(c, usedTotal),
                   Size(d, overhead));
    MX_LOG_WARNING("%s", kSeparator);

    if (!details)
        return;
    bool any = false;
    for (uint32 i = 0; i < n; ++i)
        any = any || heaps[i]->HasDetails();
    if (!any)
        return;
    MX_LOG_WARNING("%s", "");
    MX_LOG_WARNING("----------- DETAILS --");
    for (uint32 i = 0; i < n; ++i)
    {
        if (!heaps[i]->HasDetails())
            continue;
        MX_LOG_WARNING("--- Heap: %s", heaps[i]->GetName());
        heaps[i]->DumpDetails();
        MX_LOG_WARNING("%s", "");
    }
}
} // namespace Morvex
