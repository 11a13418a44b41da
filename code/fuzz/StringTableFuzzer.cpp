// Parses arbitrary bytes as a string-table file and looks keys up: nothing may crash, every answer
// is a terminated text, and a key the table defines reads back as some text of the table.

#include "Core/Log.h"
#include "Core/Utils/Localize.h"
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

using namespace Morvex;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Fuzz::InstallDiscardingLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    Localize::Init();
    const StrView text(reinterpret_cast<const char*>(data), static_cast<uint32>(size));
    Localize::LoadText(kEnglish, "fuzz.txt", text);
    // A second language over the same text exercises the fallback to English.
    const uint32 other = Localize::FindLanguage(StrView("german"));
    Localize::LoadText(other, "fuzz.txt", text.substr(0, static_cast<uint32>(size / 2)));
    (void)Localize::GetNumEntries(kEnglish);
    // Every quoted piece of the input is tried as a key.
    const char* p = text.data();
    const char* end = p + text.length();
    int lookups = 0;
    while (p < end && lookups < 64)
    {
        const char* open = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
        if (open == nullptr)
            break;
        const char* close =
            static_cast<const char*>(std::memchr(open + 1, '"', static_cast<size_t>(end - open - 1)));
        if (close == nullptr)
            break;
        const StrView key(open + 1, static_cast<uint32>(close - open - 1));
        for (uint32 id : {kEnglish, other})
        {
            const char* value = Localize::GetString(key, id);
            if (value == nullptr)
                std::abort();
            (void)std::strlen(value);
            (void)Localize::GetUseCount(id, key);
        }
        ++lookups;
        p = close + 1;
    }
    Localize::Shutdown();
    return 0;
}
