#include "Core/Utils/Localize.h"

#include "Core/Str.h"

namespace Morvex
{
namespace
{
bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}
} // namespace

uint32 Utf8ToUtf16(char16_t* destination, uint32 capacity, StrView source)
{
    if (destination == nullptr || capacity == 0)
        return 0;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(source.data());
    const uint32 length = source.length();
    uint32 pos = 0;
    uint32 written = 0;
    while (written + 1 < capacity && pos < length && p[pos] != 0)
    {
        const unsigned char lead = p[pos];
        const uint32 charLength = Str::Utf8LeadLength(lead);
        // A sequence cut by the end of the view or by a NUL must not be skipped over as a whole:
        // that would step past the text. It counts as malformed and ends the conversion.
        bool cut = pos + charLength > length;
        for (uint32 i = 1; !cut && i < charLength; ++i)
            cut = p[pos + i] == 0;
        if (cut)
        {
            destination[written++] = u'#';
            break;
        }
        char16_t unit = u'#';
        if (charLength == 1)
            unit = lead;
        else if (charLength == 2 && lead >= 0xC0 && IsContinuation(p[pos + 1]))
            unit = static_cast<char16_t>(((lead & 0x1F) << 6) | (p[pos + 1] & 0x3F));
        else if (charLength == 3 && IsContinuation(p[pos + 1]) && IsContinuation(p[pos + 2]))
            unit = static_cast<char16_t>(((lead & 0x0F) << 12) | ((p[pos + 1] & 0x3F) << 6) |
                                         (p[pos + 2] & 0x3F));
        destination[written++] = unit;
        pos += charLength;
    }
    destination[written] = 0;
    return written;
}

uint32 EncodeUtf8(uint32 codePoint, char* destination)
{
    if (codePoint > 0xFFFF)
        codePoint = 0xFFFD;
    if (codePoint < 0x80)
    {
        destination[0] = static_cast<char>(codePoint);
        return 1;
    }
    if (codePoint < 0x800)
    {
        destination[0] = static_cast<char>(0xC0 | (codePoint >> 6));
        destination[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    destination[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    destination[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    destination[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 3;
}

uint32 Utf16ToUtf8(char* destination, uint32 capacity, const char16_t* source)
{
    if (destination == nullptr || capacity == 0)
        return 0;
    uint32 written = 0;
    if (source != nullptr)
    {
        // Every unit is given three bytes of room, so a buffer of 3 * units + 1 always holds the
        // whole text, and no unit is ever encoded halfway.
        for (const char16_t* s = source; *s != 0 && capacity - 1 - written >= 3; ++s)
            written += EncodeUtf8(*s, destination + written);
    }
    destination[written] = 0;
    return written;
}

uint32 CopyUtf8Chars(char* destination, uint32 size, const char* begin, const char* end, uint32 maxChars)
{
    if (destination == nullptr || size == 0)
        return 0;
    uint32 copied = 0;
    uint32 chars = 0;
    const char* p = begin;
    while (p != nullptr && p < end && chars < maxChars)
    {
        const uint32 charLength = Str::Utf8LeadLength(static_cast<unsigned char>(*p));
        if (static_cast<size_t>(end - p) < charLength || copied + charLength > size - 1)
            break;
        for (uint32 i = 0; i < charLength; ++i)
            destination[copied++] = p[i];
        p += charLength;
        ++chars;
    }
    destination[copied] = 0;
    return copied;
}
} // namespace Morvex
