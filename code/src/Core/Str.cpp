#include "Core/Str.h"

#include "Core/Assert.h"
#include "Core/StaticString.h"

#include <atomic>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace Morvex
{
namespace
{
constexpr uint32 kVaSlots = 128;
constexpr int kVaSlotSize = 1024;
char GVaBuffers[kVaSlots][kVaSlotSize];
std::atomic<uint32> GVaCounter{0};

// Precision rule shared by the unit-suffix formatters.
int MetricPrecision(double x, int scaleSteps)
{
    if (scaleSteps == 0 || x >= 10.0)
        return 0;
    if (x >= 2.0)
        return 1;
    return 2;
}

const char* const kMetricSuffixes[] = {"", "K", "M", "G", "T", "P", "E", "Z", "Y"};
} // namespace

int Str::VSNPrintf(char* dst, int size, const char* fmt, va_list args)
{
    MX_ASSERT(dst);
    MX_ASSERT(fmt);
    if (dst == nullptr || size <= 0)
        return 0;
    if (fmt == nullptr)
    {
        dst[0] = 0;
        return 0;
    }
    int n = std::vsnprintf(dst, static_cast<size_t>(size), fmt, args);
    if (n < 0)
    {
        // The formatter's output is indeterminate on failure; leave a clean empty text.
        dst[0] = 0;
        return 0;
    }
    if (n >= size)
    {
        dst[size - 1] = 0;
        return size - 1;
    }
    return n;
}

int Str::SNPrintf(char* dst, int size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = VSNPrintf(dst, size, format, args);
    va_end(args);
    return result;
}

const char* Str::Va(const char* fmt, ...)
{
    uint32 slot = GVaCounter.fetch_add(1, std::memory_order_relaxed) % kVaSlots;
    char* buffer = GVaBuffers[slot];
    buffer[0] = 0;
    MX_ASSERT(fmt);
    if (fmt == nullptr)
        return buffer;
    va_list args;
    va_start(args, fmt);
    VSNPrintf(buffer, kVaSlotSize, fmt, args);
    va_end(args);
    return buffer;
}

bool Str::Empty(const char* text)
{
    return text == nullptr || text[0] == 0;
}

float Str::ToFloat(const char* text)
{
    if (text == nullptr)
        return 0.0f;
    enum class State
    {
        Start,
        Integer,
        Fraction,
        ExponentSign,
        Exponent
    };
    // The digits are gathered in double precision and scaled once at the end: a float mantissa
    // overflows to infinity long before the exponent can bring it back, and infinity times the
    // zero of an underflowed power of ten is NaN.
    State state = State::Start;
    double sign = 1.0;
    double mantissa = 0.0;
    double scale = 0.1;
    int exponent = 0;
    int exponentSign = 1;
    for (const char* p = text;; ++p)
    {
        char c = *p;
        bool digit = c >= '0' && c <= '9';
        int d = c - '0';
        bool done = false;
        switch (state)
        {
        case State::Start:
            if (c == '-')
            {
                sign = -1.0;
                state = State::Integer;
            }
            else if (c == '+')
                state = State::Integer;
            else if (c == '.')
            {
                scale = 0.1;
                state = State::Fraction;
            }
            else if (digit)
            {
                mantissa = mantissa * 10.0 + d;
                state = State::Integer;
            }
            else
                return 0.0f;
            continue;
        case State::Integer:
            if (digit)
                mantissa = mantissa * 10.0 + d;
            else if (c == '.')
            {
                scale = 0.1;
                state = State::Fraction;
            }
            else if (c == 'E' || c == 'e')
                state = State::ExponentSign;
            else
                done = true;
            break;
        case State::Fraction:
            if (digit)
            {
                mantissa += d * scale;
                scale *= 0.1;
            }
            else if (c == 'E' || c == 'e')
                state = State::ExponentSign;
            else
                done = true;
            break;
        case State::ExponentSign:
            if (c == '-')
            {
                exponentSign = -1;
                state = State::Exponent;
            }
            else if (c == '+')
                state = State::Exponent;
            else if (digit)
            {
                exponent = d;
                state = State::Exponent;
            }
            else
                done = true;
            break;
        case State::Exponent:
            if (digit)
            {
                // Saturate: any exponent past this already gives 0 or infinity.
                if (exponent < 100000)
                    exponent = exponent * 10 + d;
            }
            else
                done = true;
            break;
        }
        if (done)
            break;
    }
    if (state != State::Exponent)
        exponent = 0;
    // A zero mantissa stays zero whatever the exponent (0e39 is 0, not infinity times 0).
    double v = mantissa == 0.0 ? 0.0 : mantissa * std::pow(10.0, exponentSign * exponent);
    if (std::isnan(v))
        v = 0.0;
    // Out-of-range values saturate to infinity explicitly: the narrowing itself is undefined.
    if (v > static_cast<double>(FLT_MAX))
        return static_cast<float>(sign) * std::numeric_limits<float>::infinity();
    return static_cast<float>(sign * v);
}

int Str::ToInt(const char* text)
{
    if (text == nullptr)
        return 0;
    // atoi's overflow is undefined; strtol saturates, and the result is clamped to int.
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

int64 Str::ToInt64(const char* text, int base)
{
    if (text == nullptr)
        return 0;
    return std::strtoll(text, nullptr, base);
}

uint32 Str::ToUInt(const char* text)
{
    if (text == nullptr)
        return 0;
    // strtoul is 64 bits wide here: values past 32 bits saturate instead of wrapping ("4294967296"
    // must not become 0).
    unsigned long v = std::strtoul(text, nullptr, 0);
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32>(v);
}

bool Str::EqualNoCase(const char* a, const char* b, uint32 length)
{
    for (uint32 i = 0; i < length; ++i)
    {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

bool Str::EqualNoCase(const char* a, const char* b)
{
    a = a ? a : "";
    b = b ? b : "";
    while (*a && FoldAscii(*a) == FoldAscii(*b))
    {
        ++a;
        ++b;
    }
    return *a == 0 && *b == 0;
}

uint32 Str::HashFnv1a(const char* text, uint32 length, bool foldCase)
{
    uint32 hash = kFnvOffsetBasis;
    for (uint32 i = 0; i < length; ++i)
    {
        const char c = foldCase ? FoldAscii(text[i]) : text[i];
        hash ^= static_cast<uint8>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

uint32 Str::Utf8PrefixLength(StrView text, uint32 capacity)
{
    uint32 pos = 0;
    while (pos < text.length())
    {
        const uint32 length = Utf8LeadLength(static_cast<unsigned char>(text[pos]));
        if (static_cast<uint64>(pos) + length > capacity || static_cast<uint64>(pos) + length > text.length())
            break;
        pos += length;
    }
    return pos;
}

StrView Str::SkipByteOrderMark(StrView text)
{
    if (text.length() >= 3 && static_cast<uint8>(text[0]) == 0xEF && static_cast<uint8>(text[1]) == 0xBB &&
        static_cast<uint8>(text[2]) == 0xBF)
        return text.substr(3);
    return text;
}

uint32 Str::Utf8CharLength(const char* text, uint32 available, uint32& badLength)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    badLength = 1;
    const unsigned char lead = p[0];
    if (lead < 0x80)
        return 1;
    // The second byte's range depends on the lead: this rules out overlong forms, surrogates and
    // values past U+10FFFF (the table of well-formed sequences of the Unicode standard).
    uint32 length;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    }
    else
        return 0;
    // The ill-formed part is the longest prefix that could still have begun a character.
    for (uint32 i = 1; i < length; ++i)
    {
        if (i >= available)
            return 0;
        const unsigned char c = p[i];
        if (c < low || c > high)
            return 0;
        low = 0x80;
        high = 0xBF;
        badLength = i + 1;
    }
    return length;
}

bool Str::WildcardMatch(const char* text, const char* pattern)
{
    if (text == nullptr || pattern == nullptr)
        return false;
    const char* s = text;
    const char* p = pattern;
    while (*s && *p != '*')
    {
        if (*p != *s && *p != '?')
            return false;
        ++p;
        ++s;
    }
    const char* starPattern = nullptr;
    const char* starText = nullptr;
    while (*s)
    {
        if (*p == '*')
        {
            ++p;
            if (*p == 0)
                return true;
            starPattern = p;
            starText = s + 1;
        }
        else if (*p == *s || *p == '?')
        {
            ++p;
            ++s;
        }
        else
        {
            if (starPattern == nullptr)
                return false;
            p = starPattern;
            s = starText++;
        }
    }
    while (*p == '*')
        ++p;
    return *p == 0;
}

const char* Str::Find(const char* haystack, const char* needle)
{
    if (haystack == nullptr || needle == nullptr)
        return nullptr;
    return std::strstr(haystack, needle);
}

const char* Str::FindNoCase(const char* haystack, const char* needle)
{
    if (haystack == nullptr || needle == nullptr)
        return nullptr;
    if (*needle == 0)
        return haystack;
    for (const char* h = haystack; *h; ++h)
    {
        const char* a = h;
        const char* b = needle;
        while (*a && *b && FoldAscii(*a) == FoldAscii(*b))
        {
            ++a;
            ++b;
        }
        if (*b == 0)
            return h;
    }
    return nullptr;
}

const char* Str::FormatMetric(StaticString<32>& out, uint64 value, bool byteMode)
{
    const double base = byteMode ? 1024.0 : 1000.0;
    double x = static_cast<double>(value);
    int i = 0;
    while (x > base && i < 8)
    {
        x = x * (1.0 / base);
        ++i;
    }
    out.Format("%.*f", MetricPrecision(x, i), static_cast<double>(static_cast<float>(x)));
    if (i > 0)
        out.Append(kMetricSuffixes[i]);
    if (byteMode)
        out.Append('b');
    return out.c_str();
}

const char* Str::FormatSize(StaticString<64>& out, uint64 bytes)
{
    const double tenth = static_cast<double>(0.1f);
    double g = static_cast<double>(bytes) / 1073741824.0;
    if (g >= 1.0)
    {
        double whole = std::floor(g);
        if (g - whole >= tenth)
            out.Format("%.1f GB", g);
        else
            out.Format("%llu GB", static_cast<unsigned long long>(whole));
        return out.c_str();
    }
    double m = static_cast<double>(bytes) / 1048576.0;
    if (m >= 1.0)
    {
        double whole = std::floor(m);
        if (m < 50.0 && m - whole >= tenth)
            out.Format("%.1f MB", m);
        else
            out.Format("%d MB", static_cast<int>(whole));
        return out.c_str();
    }
    if (bytes / 1024 >= 1)
        out.Format("%d kB", static_cast<int>(bytes / 1024));
    else
        out.Format("%d bytes", static_cast<int>(bytes));
    return out.c_str();
}

const char* Str::FormatThousands(StaticString<32>& out, uint64 value)
{
    char reversed[40];
    int n = 0;
    int digits = 0;
    do
    {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
        ++digits;
        if (digits % 3 == 0 && value != 0)
            reversed[n++] = ',';
    } while (value != 0);
    out.Clear();
    while (n > 0)
        out.Append(reversed[--n]);
    return out.c_str();
}

const char* Str::FormatScaled(StaticString<32>& out, double value)
{
    // Defined for non-negative values; NaN and negatives print as "0" rather than loop or index badly.
    if (!(value > 0.0))
    {
        out.Assign("0");
        return out.c_str();
    }
    if (value > 1000.0)
    {
        double x = std::floor(value);
        int i = 0;
        while (x > 1000.0 && i < 8)
        {
            x = x / 1000.0;
            ++i;
        }
        out.Format("%.*f", MetricPrecision(x, i), static_cast<double>(static_cast<float>(x)));
        if (i > 0)
            out.Append(kMetricSuffixes[i]);
        return out.c_str();
    }
    static const char* const kSmallSuffixes[] = {"", "m", "u", "n", "p"};
    double x = value;
    int i = 0;
    if (x <= 0.01)
    {
        while (x < 1.0 && i < 4)
        {
            x *= 1000.0;
            ++i;
        }
    }
    int precision = x >= 10.0 ? 0 : x >= 2.0 ? 1 : x >= 1.0 ? 2 : 3;
    out.Format("%.*f", precision, x);
    if (i > 0)
        out.Append(kSmallSuffixes[i]);
    return out.c_str();
}
} // namespace Morvex
