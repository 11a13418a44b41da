#pragma once
// Free string helpers: bounded formatting, rotating temporary buffers, number parsing, wildcard
// matching, substring search and size/number formatting. All are re-entrant; none allocates.

#include "Core/Types.h"

#include <cstdarg>

namespace Morvex
{
template <uint32 N>
class StaticString;

namespace Str
{
// C99 vsnprintf into dst of `size` bytes, always NUL-terminated. Returns the written length, or
// size - 1 when the text was cut. Null dst or size 0 writes nothing and returns 0 (after the "dst"
// assertion for null); a null format writes "" and returns 0 (after the "fmt" assertion). A
// formatter failure leaves "" and returns 0.
int VSNPrintf(char* dst, int size, const char* format, va_list args);
int SNPrintf(char* dst, int size, const char* format, ...) MX_PRINTF_FORMAT(3, 4);
template <int N>
int SNPrintf(char (&dst)[N], const char* format, ...) MX_PRINTF_FORMAT(2, 3);

// Formats into the next of 128 rotating 1024-byte buffers (atomic slot choice, any thread). The
// text stays valid until 128 further calls; use it at once.
const char* Va(const char* format, ...) MX_PRINTF_FORMAT(1, 2);

bool Empty(const char* text);
float ToFloat(const char* text);
int ToInt(const char* text);
int64 ToInt64(const char* text, int base);
uint32 ToUInt(const char* text);

bool WildcardMatch(const char* text, const char* pattern);

// The length (1 to 4) of the well-formed UTF-8 character that starts `text` (`available` > 0 bytes
// readable), or 0 when the bytes there are ill-formed: a stray continuation byte, an overlong form,
// a surrogate, a value past U+10FFFF or a sequence cut short. On 0, `badLength` receives the length
// of the ill-formed part (at least 1), which stands for one U+FFFD.
uint32 Utf8CharLength(const char* text, uint32 available, uint32& badLength);
const char* Find(const char* haystack, const char* needle);
const char* FindNoCase(const char* haystack, const char* needle);

const char* FormatMetric(StaticString<32>& out, uint64 value, bool byteMode);
const char* FormatSize(StaticString<64>& out, uint64 bytes);
const char* FormatThousands(StaticString<32>& out, uint64 value);
const char* FormatScaled(StaticString<32>& out, double value);
} // namespace Str

template <int N>
int Str::SNPrintf(char (&dst)[N], const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = VSNPrintf(dst, N, format, args);
    va_end(args);
    return result;
}
} // namespace Morvex
