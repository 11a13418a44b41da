#include "Core/Utils/Localize.h"

#include <cstdlib>

namespace Morvex
{
// The interface language of a Linux session is the message locale: LC_ALL overrides LC_MESSAGES,
// which overrides LANG, as the C library resolves them for messages.
uint32 Localize::GetSystemLanguage()
{
    static const char* const kVariables[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* variable : kVariables)
    {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != 0)
            return LanguageFromLocaleName(StrView(value));
    }
    return kEnglish;
}
} // namespace Morvex
