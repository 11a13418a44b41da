#pragma once
// Fixed-capacity strings that live inside their owner: N characters plus a NUL, no heap. Assigning
// or appending cuts at the capacity and never fails. Not synchronised.

#include "Core/Str.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <cstdarg>
#include <cstring>

namespace Morvex
{
template <uint32 N>
class StaticString
{
public:
    static constexpr uint32 kCapacity = N;

    StaticString() { m_data[0] = 0; }
    StaticString(const char* text) { Assign(text); }
    StaticString(StrView view) { Assign(view); }
    StaticString(const StaticString& other) { Assign(other.m_data, other.m_length); }
    StaticString& operator=(const StaticString& other)
    {
        if (this != &other)
            Assign(other.m_data, other.m_length);
        return *this;
    }
    StaticString& operator=(const char* text)
    {
        Assign(text);
        return *this;
    }
    StaticString& operator=(StrView view)
    {
        Assign(view);
        return *this;
    }

    // Copies min(count, N) bytes; a part of this string's own text is moved to the front instead.
    void Assign(const char* p, uint32 count)
    {
        if (count == 0 || p == nullptr)
        {
            m_length = 0;
            m_data[0] = 0;
            return;
        }
        uint32 n;
        if (p < m_data || p >= m_data + m_length)
            n = count < N ? count : N;
        else
        {
            uint32 available = m_length - static_cast<uint32>(p - m_data);
            n = count < available ? count : available;
        }
        std::memmove(m_data, p, n);
        m_length = n;
        m_data[n] = 0;
    }
    void Assign(const char* text) { Assign(text, text ? static_cast<uint32>(std::strlen(text)) : 0); }
    void Assign(StrView view) { Assign(view.data(), view.length()); }

    void Append(const char* p, uint32 count)
    {
        uint32 room = N - m_length;
        uint32 n = count < room ? count : room;
        if (n == 0 || p == nullptr)
            return;
        std::memmove(m_data + m_length, p, n);
        m_length += n;
        m_data[m_length] = 0;
    }
    void Append(const char* text) { Append(text, text ? static_cast<uint32>(std::strlen(text)) : 0); }
    void Append(StrView view) { Append(view.data(), view.length()); }
    void Append(char c)
    {
        if (m_length < N)
        {
            m_data[m_length++] = c;
            m_data[m_length] = 0;
        }
    }

    void Clear()
    {
        m_length = 0;
        m_data[0] = 0;
    }

    int Format(const char* format, ...) MX_PRINTF_FORMAT(2, 3)
    {
        va_list args;
        va_start(args, format);
        int r = VFormat(format, args);
        va_end(args);
        return r;
    }
    int VFormat(const char* format, va_list args)
    {
        m_length = 0;
        m_data[0] = 0;
        int r = Str::VSNPrintf(m_data, static_cast<int>(N + 1), format, args);
        m_length = static_cast<uint32>(r);
        return r;
    }
    int AppendFormat(const char* format, ...) MX_PRINTF_FORMAT(2, 3)
    {
        va_list args;
        va_start(args, format);
        int r = VAppendFormat(format, args);
        va_end(args);
        return r;
    }
    int VAppendFormat(const char* format, va_list args)
    {
        if (m_length >= N)
            return 0;
        int r = Str::VSNPrintf(m_data + m_length, static_cast<int>(N + 1 - m_length), format, args);
        m_length += static_cast<uint32>(r);
        return r;
    }

    const char* c_str() const { return m_data; }
    const char* data() const { return m_data; }
    char* data() { return m_data; }
    uint32 length() const { return m_length; }
    uint32 size() const { return m_length; }
    bool empty() const { return m_length == 0; }
    bool full() const { return m_length == N; }
    StrView view() const { return StrView(m_data, m_length); }
    operator StrView() const { return view(); }
    char operator[](uint32 i) const { return m_data[i]; }

    // For code that fills m_data directly (OS calls): recomputes the length up to the first NUL
    // (at most N) and terminates.
    void Recalculate()
    {
        m_data[N] = 0;
        m_length = static_cast<uint32>(std::strlen(m_data));
    }
    // Cuts to at most `length` characters.
    void Truncate(uint32 length)
    {
        if (length < m_length)
        {
            m_length = length;
            m_data[length] = 0;
        }
    }

    friend bool operator==(const StaticString& a, StrView b) { return a.view() == b; }

    char m_data[N + 1];
    uint32 m_length = 0;
};

// The path type of every file operation, '/' inside, '\\' accepted on input. It holds what a Linux
// path may be (PATH_MAX, 4096 bytes), so a path is never cut into another file's name: the file
// functions refuse a longer text rather than cut it, and code that joins paths checks the join with
// TryAppendPath where a cut would name the wrong file.
constexpr uint32 kMaxPathLength = 4096;

class FilePath : public StaticString<kMaxPathLength>
{
public:
    using Base = StaticString<kMaxPathLength>;
    using Base::Base;
    using Base::operator=;
    FilePath() = default;
    FilePath(const Base& other) : Base(other) {}

    // Joins with exactly one separator: an empty path takes v; an empty v changes nothing; one
    // '/' is added unless the path already ends with '/' or '\\' or is full; one leading '/' or
    // '\\' of v is dropped; the rest is appended and cut at the capacity.
    void AppendPath(StrView v)
    {
        if (m_length == 0)
        {
            Assign(v);
            return;
        }
        if (v.length() == 0)
            return;
        char last = m_data[m_length - 1];
        if (last != '/' && last != '\\' && m_length < kCapacity)
            Append('/');
        if (v[0] == '/' || v[0] == '\\')
            v = StrView(v.data() + 1, v.length() - 1);
        Append(v);
    }

    // AppendPath when the whole join fits; otherwise false, and the path is left as it was.
    bool TryAppendPath(StrView v)
    {
        uint64 needed = m_length;
        if (m_length == 0)
            needed = v.length();
        else if (v.length() != 0)
        {
            const char last = m_data[m_length - 1];
            const bool dropLeading = v[0] == '/' || v[0] == '\\';
            needed += (last != '/' && last != '\\' ? 1 : 0) + v.length() - (dropLeading ? 1 : 0);
        }
        if (needed > kCapacity)
            return false;
        AppendPath(v);
        return true;
    }

    // Assign when the whole text fits; otherwise false, and the path is left as it was.
    bool TryAssign(StrView v)
    {
        if (v.length() > kCapacity)
            return false;
        Assign(v);
        return true;
    }

    // Turns every '\\' into '/', the only separator inside the program.
    void Normalize()
    {
        for (uint32 i = 0; i < m_length; ++i)
        {
            if (m_data[i] == '\\')
                m_data[i] = '/';
        }
    }
    // The same text with '/' only; empty when it does not fit (a cut path would name another file).
    static FilePath Normalized(StrView path)
    {
        FilePath out;
        if (out.TryAssign(path))
            out.Normalize();
        return out;
    }

    // Both separators count on input.
    static constexpr bool IsSeparator(char c) { return c == '/' || c == '\\'; }
    // The text after the last separator (the whole text when there is none).
    static StrView FileNameOf(StrView path)
    {
        uint32 start = path.length();
        while (start > 0 && !IsSeparator(path[start - 1]))
            --start;
        return path.substr(start);
    }
    // The text before the last separator: empty when there is none, the separator itself when it is
    // the first byte ("/x" -> "/").
    static StrView DirectoryOf(StrView path)
    {
        uint32 end = path.length();
        while (end > 0 && !IsSeparator(path[end - 1]))
            --end;
        if (end == 0)
            return StrView();
        return path.substr(0, end == 1 ? 1 : end - 1);
    }
    StrView FileName() const { return FileNameOf(view()); }
    StrView Directory() const { return DirectoryOf(view()); }

    // The order of paths in listings: unsigned bytes, and on a common prefix the shorter first.
    static bool Less(StrView a, StrView b)
    {
        const uint32 n = a.length() < b.length() ? a.length() : b.length();
        const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
        return c != 0 ? c < 0 : a.length() < b.length();
    }
    friend bool operator<(const FilePath& a, const FilePath& b) { return Less(a.view(), b.view()); }
};

using StaticString32_t = StaticString<32>;
using StaticString64_t = StaticString<64>;
using StaticString256_t = StaticString<256>;
using StaticString512_t = StaticString<512>;
using StaticString1024_t = StaticString<1024>;
using StaticString2048_t = StaticString<2048>;
} // namespace Morvex
