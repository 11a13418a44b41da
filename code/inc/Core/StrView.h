#pragma once
// Non-owning view of characters: pointer plus unsigned 32-bit length; need not be NUL-terminated.

#include "Core/Assert.h"
#include "Core/Types.h"

#include <cstring>

namespace Morvex
{
class StrView
{
public:
    constexpr StrView() = default;
    constexpr StrView(const char* data, uint32 length) : m_data(data), m_length(length) {}
    // Length by strlen; a null pointer gives the empty view.
    StrView(const char* text) : m_data(text), m_length(text ? static_cast<uint32>(std::strlen(text)) : 0) {}

    const char* data() const { return m_data; }
    uint32 length() const { return m_length; }
    uint32 size() const { return m_length; }
    bool empty() const { return m_length == 0; }
    const char* begin() const { return m_data; }
    const char* end() const { return m_data + m_length; }
    char operator[](uint32 i) const { return m_data[i]; }

    // Asserts "pos <= m_length", then gives the rest of the view from the clamped position.
    StrView substr(uint32 pos) const
    {
        MX_ASSERT(pos <= m_length);
        if (pos > m_length)
            pos = m_length;
        return StrView(m_data + pos, m_length - pos);
    }
    StrView substr(uint32 pos, uint32 count) const
    {
        StrView rest = substr(pos);
        return StrView(rest.m_data, count < rest.m_length ? count : rest.m_length);
    }
    // Asserts "count <= m_length"; removes at most the whole view.
    void remove_prefix(uint32 count)
    {
        MX_ASSERT(count <= m_length);
        if (count > m_length)
            count = m_length;
        m_data += count;
        m_length -= count;
    }
    bool starts_with(StrView prefix) const
    {
        return m_length >= prefix.m_length &&
               (prefix.m_length == 0 || std::memcmp(m_data, prefix.m_data, prefix.m_length) == 0);
    }
    bool ends_with(StrView suffix) const
    {
        return m_length >= suffix.m_length &&
               (suffix.m_length == 0 ||
                std::memcmp(m_data + m_length - suffix.m_length, suffix.m_data, suffix.m_length) == 0);
    }

    friend bool operator==(StrView a, StrView b)
    {
        return a.m_length == b.m_length &&
               (a.m_length == 0 || std::memcmp(a.m_data, b.m_data, a.m_length) == 0);
    }

    const char* m_data = "";
    uint32 m_length = 0;
};
} // namespace Morvex
