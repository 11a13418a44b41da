// Str::WildcardMatch against a plain reference matcher: '*' matches any run of bytes, '?' any one
// byte, everything else itself. The input is "text NUL pattern".

#include "Core/Str.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Morvex;

namespace
{
bool Reference(const std::string& text, const std::string& pattern)
{
    // matches[i][j]: the first i bytes of the pattern match the first j bytes of the text.
    const size_t n = pattern.size(), m = text.size();
    std::vector<std::vector<char>> matches(n + 1, std::vector<char>(m + 1, 0));
    matches[0][0] = 1;
    for (size_t i = 1; i <= n; ++i)
    {
        const char p = pattern[i - 1];
        matches[i][0] = p == '*' && matches[i - 1][0];
        for (size_t j = 1; j <= m; ++j)
        {
            if (p == '*')
                matches[i][j] = matches[i - 1][j] || matches[i][j - 1];
            else
                matches[i][j] = matches[i - 1][j - 1] && (p == '?' || p == text[j - 1]);
        }
    }
    return matches[n][m] != 0;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 2048)
        return 0;
    const char* p = reinterpret_cast<const char*>(data);
    const char* nul = static_cast<const char*>(std::memchr(p, 0, size));
    const std::string text(p, nul ? static_cast<size_t>(nul - p) : size);
    std::string pattern;
    if (nul)
    {
        const char* rest = nul + 1;
        const char* end = p + size;
        const char* second = static_cast<const char*>(std::memchr(rest, 0, static_cast<size_t>(end - rest)));
        pattern.assign(rest, second ? second : end);
    }
    if (Str::WildcardMatch(text.c_str(), pattern.c_str()) != Reference(text, pattern))
        std::abort();
    return 0;
}
