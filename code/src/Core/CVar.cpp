// Console variables and their registry: the declaration list built during static initialisation,
// the sorted array GCvars and the case-insensitive name index.

#include "Core/CVar.h"

#include "ConsoleContainers.h"
#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Memory/ThreadTempAllocator.h"
#include "Core/Str.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Morvex
{
namespace
{
// Head of the declaration list. Constant-initialised, so declarations in any translation unit may
// link themselves in whatever the order of static initialisation. After registration it holds the
// closed marker, which late declarations detect.
constinit CVar* GCvarDeclarations = nullptr;
// A function rather than a constant: a cast from an integer is no constant expression, and a
// dynamically initialised constant could still read 0 in declarations that run first.
CVar* DeclarationsClosed()
{
    return reinterpret_cast<CVar*>(static_cast<uintptr_t>(0xFFFFFFFFu));
}

struct CVarArray : Console::PodArray<CVar*, MAX_CVARS>
{
    bool full() const { return Size() >= MAX_CVARS; }
};
constinit Console::NeverDestroyed<CVarArray> GCvarStorage;
constinit Console::NeverDestroyed<Console::HashIndex> GCvarIndexStorage;
constinit CVarArray& GCvars = GCvarStorage.value;
constinit Console::HashIndex& GCvarIndex = GCvarIndexStorage.value;

bool IsNumberSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0;
}

// Decimal integer with an optional sign after leading white space (NUL counts as space). Digits
// beyond the int32 range saturate instead of wrapping, so "99999999999" reads as the largest
// value rather than an arbitrary one.
int32 ParseInt(const char* text, uint32 length)
{
    uint32 i = 0;
    while (i < length && IsNumberSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64 magnitude = 0;
    const int64 limit = static_cast<int64>(INT32_MAX) + 1;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    int64 v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX)
        v = INT32_MAX;
    return static_cast<int32>(v);
}

// (integer part + fraction) x 10^exponent in double precision, stopping at the first character
// that does not fit. Exponent digits saturate; a zero mantissa stays zero whatever the exponent.
double ParseDouble(const char* text, uint32 length)
{
    uint32 i = 0;
    while (i < length && IsNumberSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < length && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    double integer = 0.0;
    for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        integer = integer * 10.0 + (text[i] - '0');
    double fraction = 0.0;
    if (i < length && text[i] == '.')
    {
        double scale = 0.1;
        for (++i; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        {
            fraction += (text[i] - '0') * scale;
            scale *= 0.1;
        }
    }
    int32 exponent = 0;
    if (i < length && (text[i] == 'e' || text[i] == 'E'))
    {
        ++i;
        bool negativeExponent = false;
        if (i < length && (text[i] == '+' || text[i] == '-'))
            negativeExponent = text[i++] == '-';
        for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i)
        {
            if (exponent < 100000)
                exponent = exponent * 10 + (text[i] - '0');
        }
        if (negativeExponent)
            exponent = -exponent;
    }
    double mantissa = integer + fraction;
    double v = mantissa == 0.0 ? 0.0 : mantissa * std::pow(10.0, exponent);
    return negative ? -v : v;
}

// Colour parts: "r g b a" in C notation (decimal, 0 octal, 0x hexadecimal), each taken as a byte.
uint32 ParseColor(const char* text, uint32 length)
{
    constexpr uint32 kMaxText = 512;
    constexpr uint32 kMaxParts = 32;
    if (length > kMaxText)
        length = kMaxText;
    uint32 bytes[4] = {0, 0, 0, 0};
    uint32 numParts = 0;
    uint32 i = 0;
    while (i < length && numParts < kMaxParts)
    {
        while (i < length && text[i] == ' ')
            ++i;
        if (i >= length)
            break;
        uint32 start = i;
        uint32 end;
        if (text[i] == '"' || text[i] == '\'')
        {
            char quote = text[i];
            start = ++i;
            while (i < length && text[i] != quote)
                ++i;
            end = i;
            if (i < length)
                ++i;
        }
        else
        {
            while (i < length && text[i] != ' ')
                ++i;
            end = i;
        }
        if (numParts < 4)
        {
            char part[kMaxText + 1];
            uint32 n = end - start;
            std::memcpy(part, text + start, n);
            part[n] = 0;
            bytes[numParts] = static_cast<uint32>(std::strtoll(part, nullptr, 0)) & 0xFFu;
        }
        ++numParts;
    }
    return (bytes[3] << 24) | (bytes[0] << 16) | (bytes[1] << 8) | bytes[2];
}

int32 ClampInt(int32 v, int32 lo, int32 hi)
{
    if (v < lo)
        return lo;
    if (v > hi)
        return hi;
    return v;
}

float ClampFloat(double v, float lo, float hi)
{
    if (std::isnan(v) || v < lo)
        return lo;
    if (v > hi)
        return hi;
    return static_cast<float>(v);
}

// At most seven significant digits; magnitudes of ten million and more read as seven nines.
void FloatToText(float v, String& out)
{
    char buffer[32];
    uint32 pos = 0;
    bool negative = v < 0.0f;
    float m = negative ? -v : v;
    if (std::isnan(m))
        m = 0.0f;
    if (negative)
        buffer[pos++] = '-';
    if (m >= 10000000.0f)
    {
        std::memcpy(buffer + pos, "9999999", 7);
        out.Assign(buffer, pos + 7);
        return;
    }
    static const float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
    uint32 integer = static_cast<uint32>(m);
    int32 integerDigits = 0;
    for (uint32 x = integer; x != 0; x /= 10)
        ++integerDigits;
    int32 fractionDigits = 7 - integerDigits;
    float scaled = m * kPowers[fractionDigits];
    uint32 n = static_cast<uint32>(std::trunc(scaled));

    char digits[16];
    int32 count = std::snprintf(digits, sizeof(digits), "%0*u", fractionDigits + 1, n);
    int32 split = count - fractionDigits;
    std::memcpy(buffer + pos, digits, static_cast<size_t>(split));
    pos += static_cast<uint32>(split);
    int32 last = count;
    while (last > split && digits[last - 1] == '0')
        --last;
    if (last > split)
    {
        buffer[pos++] = '.';
        std::memcpy(buffer + pos, digits + split, static_cast<size_t>(last - split));
        pos += static_cast<uint32>(last - split);
    }
    out.Assign(buffer, pos);
}

bool NameLess(const CVar* a, const CVar* b)
{
    // strcmp compares as unsigned char, so upper case sorts before lower case.
    return std::strcmp(a->name, b->name) < 0;
}
} // namespace

CVar::CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc,
           int32 min, int32 max, Callback callback)
    : type(type), name(name), defaultValue(defaultValue), desc(desc), flags(flags), callback(callback)
{
    MX_ASSERT(type == CVarType::Int);
    if (type == CVarType::Float)
    {
        // An int range means nothing to a float; keep the full float range.
        this->min.f = -FLT_MAX;
        this->max.f = FLT_MAX;
    }
    else
    {
        this->min.i = min;
        this->max.i = max;
    }
    Declare();
}

CVar::CVar(CVarType type, const char* name, uint32 flags, const char* defaultValue, const char* desc,
           Callback callback)
    : type(type), name(name), defaultValue(defaultValue), desc(desc), flags(flags), callback(callback)
{
    if (type == CVarType::Float)
    {
        this->min.f = -FLT_MAX;
        this->max.f = FLT_MAX;
    }
    else
    {
        this->min.i = INT32_MIN;
        this->max.i = INT32_MAX;
    }
    Declare();
}

void CVar::Declare()
{
    MX_ASSERT_MSG(name, "name can't be null");
    if (name != nullptr)
        MX_ASSERT_MSG(*name != 0, "name can't be empty");
    MX_ASSERT_MSG(defaultValue, "defaultValue can't be null");
    MX_ASSERT_MSG(desc, "description can't be null");
    if (defaultValue == nullptr)
        defaultValue = "";
    if (desc == nullptr)
        desc = "";
    if (name == nullptr)
        name = "";
    // A nameless variable could never be found and would break the sorted registry.
    if (*name == 0)
        return;
    if (GCvarDeclarations == DeclarationsClosed())
    {
        MX_ASSERT_MSG(0, "CVar declared after RegisterCvars were called");
        return;
    }
    next = GCvarDeclarations;
    GCvarDeclarations = this;
}

CVar::~CVar()
{
    if (GCvarDeclarations != DeclarationsClosed())
    {
        for (CVar** link = &GCvarDeclarations; *link != nullptr; link = &(*link)->next)
        {
            if (*link == this)
            {
                *link = next;
                return;
            }
        }
        return;
    }
    for (uint32 i = 0; i < GCvars.Size(); ++i)
    {
        if (GCvars[i] != this)
            continue;
        GCvars.Erase(i);
        GCvarIndex.Clear();
        for (uint32 j = 0; j < GCvars.Size(); ++j)
        {
            const char* n = GCvars[j]->name;
            GCvarIndex.Add(Console::HashName(n, static_cast<uint32>(std::strlen(n)), true), j);
        }
        return;
    }
}

void CVar::ApplyText(const char* t, uint32 length)
{
    switch (type)
    {
    case CVarType::Int:
        value.i = ClampInt(ParseInt(t, length), min.i, max.i);
        break;
    case CVarType::Float:
        value.f = ClampFloat(ParseDouble(t, length), min.f, max.f);
        break;
    case CVarType::String:
        text.Assign(t, length);
        break;
    case CVarType::Color:
        value.color = ParseColor(t, length);
        break;
    default:
        MX_ASSERT_MSG(0, "Unsupported CVar type!");
        break;
    }
}

bool CVar::OfferChange()
{
    return callback == nullptr || callback(this, userData);
}

bool CVar::SetS(const char* t, uint32 length)
{
    MX_MEMORY_TAG_SCOPE("Core");
    if (t == nullptr)
        length = 0;
    // The new text may be this variable's own text (set x $(x)), so copy it before anything moves.
    ThreadTempAllocator temp(MX_THREAD_TEMP_NAME);
    String previous;
    previous.SetAllocator(&temp);
    GetS();
    previous.Assign(text.data(), text.length());
    String incoming;
    incoming.SetAllocator(&temp);
    incoming.Assign(t != nullptr ? t : "", length);
    ApplyText(incoming.data(), incoming.length());
    if (OfferChange())
    {
        flags |= CVAR_MODIFIED;
        return true;
    }
    ApplyText(previous.data(), previous.length());
    return false;
}

const char* CVar::GetS()
{
    char buffer[64];
    switch (type)
    {
    case CVarType::Int:
        text.Assign(buffer, static_cast<uint32>(std::snprintf(buffer, sizeof(buffer), "%d", value.i)));
        break;
    case CVarType::Float:
        FloatToText(value.f, text);
        break;
    case CVarType::Color:
        text.Assign(buffer, static_cast<uint32>(std::snprintf(
                                buffer, sizeof(buffer), "%u %u %u %u", (value.color >> 16) & 0xFFu,
                                (value.color >> 8) & 0xFFu, value.color & 0xFFu, value.color >> 24)));
        break;
    default:
        break;
    }
    return text.c_str();
}

bool CVar::SetInt(int32 v)
{
    if (type != CVarType::Int && type != CVarType::Color)
    {
        MX_ASSERT_FAIL("Unsupported conversion");
        return false;
    }
    if (type == CVarType::Int)
        v = ClampInt(v, min.i, max.i);
    if (value.i == v)
        return true;
    int32 old = value.i;
    value.i = v;
    if (OfferChange())
    {
        flags |= CVAR_MODIFIED;
        return true;
    }
    value.i = old;
    return false;
}

bool CVar::SetFloat(float v)
{
    if (type != CVarType::Float)
    {
        MX_ASSERT_FAIL("Unsupported conversion");
        return false;
    }
    v = ClampFloat(v, min.f, max.f);
    if (value.f == v)
        return true;
    float old = value.f;
    value.f = v;
    if (OfferChange())
    {
        flags |= CVAR_MODIFIED;
        return true;
    }
    value.f = old;
    return false;
}

bool CVar::SetBool(bool v)
{
    if (type != CVarType::Int)
    {
        MX_ASSERT_FAIL("Unsupported conversion");
        return false;
    }
    int32 n = v ? 1 : 0;
    if (value.i == n)
        return true;
    int32 old = value.i;
    value.i = n;
    if (OfferChange())
    {
        flags |= CVAR_MODIFIED;
        return true;
    }
    value.i = old;
    return false;
}

int32 CVar::GetInt() const
{
    switch (type)
    {
    case CVarType::Int:
    case CVarType::Color:
        return value.i;
    case CVarType::Float:
        // Converting an out-of-range float is undefined; saturate instead.
        if (std::isnan(value.f))
            return 0;
        if (value.f >= 2147483648.0f)
            return INT32_MAX;
        if (value.f <= -2147483648.0f)
            return INT32_MIN;
        return static_cast<int32>(value.f);
    default:
        MX_ASSERT_FAIL("Suspicious conversion");
        return 0;
    }
}

float CVar::GetFloat() const
{
    switch (type)
    {
    case CVarType::Int:
        return static_cast<float>(value.i);
    case CVarType::Float:
        return value.f;
    default:
        MX_ASSERT_FAIL("Suspicious conversion");
        return 0.0f;
    }
}

bool CVar::GetBool() const
{
    if (type != CVarType::Int)
    {
        MX_ASSERT_FAIL("Suspicious conversion");
        return false;
    }
    return value.i != 0;
}

void CVar::RegisterCvars()
{
    MX_MEMORY_TAG_SCOPE("Core");
    if (GCvarDeclarations == DeclarationsClosed())
        return;
    for (CVar* cvar = GCvarDeclarations; cvar != nullptr; cvar = cvar->next)
    {
        MX_ASSERT_MSG(!GCvars.full(), "CVar array exceeded! Increase MAX_CVARS constant!");
        GCvars.PushBack(cvar);
    }
    GCvarDeclarations = DeclarationsClosed();
    std::sort(GCvars.Data(), GCvars.Data() + GCvars.Size(), NameLess);
    for (uint32 i = 0; i < GCvars.Size(); ++i)
    {
        CVar* cvar = GCvars[i];
        const char* name = cvar->name;
        MX_ASSERT_MSG(FindVar(name) == nullptr, "Duplicate cvar name");
        // Taking the default is not a change made by anyone, so it leaves CVAR_MODIFIED alone.
        uint32 declaredFlags = cvar->flags;
        MX_ASSERT(cvar->SetS(cvar->GetDefault()));
        cvar->flags = declaredFlags;
        GCvarIndex.Add(Console::HashName(name, static_cast<uint32>(std::strlen(name)), true), i);
    }
}

CVar* CVar::FindVar(const char* name, uint32 length)
{
    if (name == nullptr)
        return nullptr;
    uint32 hash = Console::HashName(name, length, true);
    for (int32 i = GCvarIndex.First(hash); i != Console::HashIndex::kEnd; i = GCvarIndex.Next(i))
    {
        CVar* cvar = GCvars[static_cast<uint32>(i)];
        if (std::strlen(cvar->name) == length && Console::EqualNoCase(cvar->name, name, length))
            return cvar;
    }
    return nullptr;
}

uint32 CVar::GetNumCvars()
{
    return GCvars.Size();
}

CVar* CVar::GetCvar(uint32 index)
{
    return index < GCvars.Size() ? GCvars[index] : nullptr;
}

void CVar::ShutdownCvars()
{
    for (uint32 i = 0; i < GCvars.Size(); ++i)
        GCvars[i]->text.Release();
    GCvars.Release();
    GCvarIndex.Release();
}
} // namespace Morvex
