#include "Core/String.h"

#include "Core/Assert.h"
#include "Core/Memory/Memory.h"
#include "Core/Str.h"

#include <cstdio>
#include <cstring>
#include <utility>

namespace Morvex
{
String::String()
    : m_data(m_inline), m_length(0), m_capacity(kInlineCapacity), m_allocator(&Memory::GetStringsAllocator())
{
    m_inline[0] = 0;
}

String::String(const char* text) : String()
{
    Append(text);
}

String::String(const char* p, uint32 count) : String()
{
    Append(p, count);
}

String::String(StrView view) : String()
{
    Append(view.data(), view.length());
}

String::String(const String& other) : String()
{
    Append(other.m_data, other.m_length);
}

String::String(String&& other) noexcept : String()
{
    m_allocator = other.m_allocator;
    if (other.OnHeap())
    {
        m_data = other.m_data;
        m_capacity = other.m_capacity;
    }
    else
        std::memcpy(m_inline, other.m_inline, other.m_length + 1);
    m_length = other.m_length;
    other.m_data = other.m_inline;
    other.m_length = 0;
    other.m_capacity = kInlineCapacity;
    other.m_inline[0] = 0;
}

String::~String()
{
    FreeStorage();
}

String& String::operator=(const String& other)
{
    if (this != &other)
        Assign(other.m_data, other.m_length);
    return *this;
}

String& String::operator=(String&& other) noexcept
{
    if (this != &other)
    {
        String moved(std::move(other));
        Swap(moved);
    }
    return *this;
}

String& String::operator=(const char* text)
{
    Assign(text);
    return *this;
}

String& String::operator=(StrView view)
{
    Assign(view);
    return *this;
}

void String::FreeStorage()
{
    if (OnHeap())
        m_allocator->Free(m_data, static_cast<size_t>(m_capacity) + 1, 1);
    m_data = m_inline;
    m_capacity = kInlineCapacity;
}

void String::GrowExact(uint32 capacity)
{
    if (capacity <= m_capacity)
        return;
    char* storage = static_cast<char*>(m_allocator->Alloc(static_cast<size_t>(capacity) + 1, 1));
    std::memcpy(storage, m_data, static_cast<size_t>(m_length) + 1);
    if (OnHeap())
        m_allocator->Free(m_data, static_cast<size_t>(m_capacity) + 1, 1);
    m_data = storage;
    m_capacity = capacity;
}

void String::Assign(const char* p, uint32 count)
{
    if (p != nullptr && p >= m_data && p <= m_data + m_length)
    {
        // A part of our own text: keep it through a temporary.
        String copy(p, count);
        Swap(copy);
        return;
    }
    m_length = 0;
    m_data[0] = 0;
    Append(p, count);
}

void String::Assign(const char* text)
{
    Assign(text, text ? static_cast<uint32>(std::strlen(text)) : 0);
}

void String::Append(const char* p, uint32 count)
{
    if (p == nullptr || count == 0)
        return;
    MX_ASSERT(count <= 0xFFFFFFFEu - m_length);
    if (count > 0xFFFFFFFEu - m_length)
        return;
    const uint32 newLength = m_length + count;
    if (p >= m_data && p < m_data + m_length)
    {
        String temp;
        temp.GrowExact(newLength);
        std::memcpy(temp.m_data, m_data, m_length);
        std::memcpy(temp.m_data + m_length, p, count);
        temp.m_length = newLength;
        temp.m_data[newLength] = 0;
        Swap(temp);
        return;
    }
    if (m_capacity < newLength)
    {
        uint64 doubled = static_cast<uint64>(m_capacity) * 2;
        uint64 needed = static_cast<uint64>(m_capacity) + count;
        uint64 grown = doubled > needed ? doubled : needed;
        GrowExact(grown > 0xFFFFFFFEu ? 0xFFFFFFFEu : static_cast<uint32>(grown));
    }
    std::memcpy(m_data + m_length, p, count);
    m_length = newLength;
    m_data[m_length] = 0;
}

void String::Append(const char* text)
{
    Append(text, text ? static_cast<uint32>(std::strlen(text)) : 0);
}

void String::Format(const char* format, ...)
{
    Clear();
    va_list args;
    va_start(args, format);
    VAppendFormat(format, args);
    va_end(args);
}

void String::AppendFormat(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    VAppendFormat(format, args);
    va_end(args);
}

void String::VAppendFormat(const char* format, va_list args)
{
    if (format == nullptr)
        return;
    va_list measure;
    va_copy(measure, args);
    int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0)
        return;
    uint32 newLength = m_length + static_cast<uint32>(needed);
    GrowExact(newLength);
    std::vsnprintf(m_data + m_length, static_cast<size_t>(needed) + 1, format, args);
    m_length = newLength;
    m_data[m_length] = 0;
}

void String::Resize(uint32 length, char fill)
{
    GrowExact(length);
    if (length > m_length)
        std::memset(m_data + m_length, fill, length - m_length);
    m_length = length;
    m_data[m_length] = 0;
}

void String::Clear()
{
    m_length = 0;
    m_data[0] = 0;
}

void String::Swap(String& other)
{
    if (this == &other)
        return;
    const bool heapA = OnHeap();
    const bool heapB = other.OnHeap();
    char inlineA[kInlineCapacity + 1];
    std::memcpy(inlineA, m_inline, sizeof(inlineA));
    std::memcpy(m_inline, other.m_inline, sizeof(inlineA));
    std::memcpy(other.m_inline, inlineA, sizeof(inlineA));
    char* dataA = m_data;
    m_data = heapB ? other.m_data : m_inline;
    other.m_data = heapA ? dataA : other.m_inline;
    std::swap(m_length, other.m_length);
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_allocator, other.m_allocator);
}

void String::SetAllocator(Allocator* allocator)
{
    MX_ASSERT(OnHeap() == false);
    if (OnHeap() || allocator == nullptr)
        return;
    m_allocator = allocator;
}

void String::Reserve(uint32 capacity)
{
    GrowExact(capacity);
}

void String::ReserveForOverwrite(uint32 capacity)
{
    FreeStorage();
    m_length = 0;
    m_data[0] = 0;
    if (capacity > kInlineCapacity)
    {
        m_data = static_cast<char*>(m_allocator->Alloc(static_cast<size_t>(capacity) + 1, 1));
        m_capacity = capacity;
        m_data[0] = 0;
    }
}

void String::Release()
{
    FreeStorage();
    m_length = 0;
    m_data[0] = 0;
}
} // namespace Morvex
