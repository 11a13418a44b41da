// Tag registry placeholder: every name resolves to the unresolved handle until accounting lands.

#include "Core/Memory/MemoryTag.h"

namespace Morvex
{
MemoryTag MemoryTags::Register(const char*)
{
    return MemoryTag{};
}
} // namespace Morvex
