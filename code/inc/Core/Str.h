#pragma once
// Free string helpers: bounded formatting, rotating temporary buffers, number parsing, wildcard
// matching, substring search and size/number formatting. All are re-entrant; none allocates.

#include "Core/StrView.h"
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

// ASCII case folding: only A-Z change, so that names compare the same way in every locale.
constexpr char FoldAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// The first `length` bytes of a and b are equal with A-Z folded.
bool EqualNoCase(const char* a, const char* b, uint32 length);
// Two whole texts are equal with A-Z folded (null counts as "").
bool EqualNoCase(const char* a, const char* b);

// 32-bit FNV-1a over the bytes; with foldCase A-Z are lowered first, so that the hash agrees with
// EqualNoCase.
constexpr uint32 kFnvOffsetBasis = 0x811C9DC5u;
constexpr uint32 kFnvPrime = 16777619u;
uint32 HashFnv1a(const char* text, uint32 length, bool foldCase);

// The length a UTF-8 lead byte announces: 1 for ASCII, 4 from 0xF0, 3 from 0xE0, else 2 (a stray
// continuation byte counts as the start of a two-byte character); nothing is validated.
constexpr uint32 Utf8LeadLength(unsigned char lead)
{
    return lead < 0x80 ? 1 : (lead >= 0xF0 ? 4 : (lead >= 0xE0 ? 3 : 2));
}
// The longest prefix of whole UTF-8 characters of `text` that fits in `capacity` bytes.
uint32 Utf8PrefixLength(StrView text, uint32 capacity);

// The text without a leading UTF-8 byte-order mark (editors on other systems save one).
StrView SkipByteOrderMark(StrView text);

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
