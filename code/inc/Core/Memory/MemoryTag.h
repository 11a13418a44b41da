#pragma once
// Memory tags name accounting categories ("Core/File", "CrashReporter"); a scope pushes a tag on
// the calling thread for the work inside it.
//
// The tag registry is not built yet: handles resolve to index 0 and scopes record nothing, but every
// call site already opens the scope its module is charged to.

#include "Core/Types.h"

namespace Morvex
{
struct MemoryTag
{
    uint16 m_index = 0;
};

namespace MemoryTags
{
// Registers (or finds) a tag by its full name, which must live for the whole process.
MemoryTag Register(const char* name);
} // namespace MemoryTags

class MemoryTagScope
{
public:
    explicit MemoryTagScope(MemoryTag tag) : m_tag(tag) {}
    ~MemoryTagScope() = default;
    MemoryTagScope(const MemoryTagScope&) = delete;
    MemoryTagScope& operator=(const MemoryTagScope&) = delete;

private:
    [[maybe_unused]] MemoryTag m_tag;
};
} // namespace Morvex

#define MX_MEMTAG_CONCAT2(a, b) a##b
#define MX_MEMTAG_CONCAT(a, b) MX_MEMTAG_CONCAT2(a, b)
// Opens a scope of the named tag until the end of the enclosing block; the handle is resolved once.
#define MX_MEMORY_TAG_SCOPE(name)                                                                            \
    static const ::Morvex::MemoryTag MX_MEMTAG_CONCAT(s_memTag_, __LINE__) =                                 \
        ::Morvex::MemoryTags::Register(name);                                                                \
    ::Morvex::MemoryTagScope MX_MEMTAG_CONCAT(memTagScope_, __LINE__)(MX_MEMTAG_CONCAT(s_memTag_, __LINE__))
