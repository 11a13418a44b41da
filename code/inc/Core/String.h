#pragma once
// Heap string with 23 inline characters. Heap storage comes from an Allocator (the kernel's strings
// allocator unless set otherwise) as capacity + 1 bytes with alignment 1. Not synchronised.

#include "Core/Memory/Allocator.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <cstdarg>

namespace Morvex
{
class String
{
public:
    static constexpr uint32 kInlineCapacity = 23;

    String();
    String(const char* text);
    String(const char* p, uint32 count);
    String(StrView view);
    String(const String& other);
    String(String&& other) noexcept;
    ~String();
    String& operator=(const String& other);
    String& operator=(String&& other) noexcept;
    String& operator=(const char* text);
    String& operator=(StrView view);

    void Assign(const char* p, uint32 count);
    void Assign(const char* text);
    void Assign(StrView view) { Assign(view.data(), view.length()); }
    void Append(const char* p, uint32 count);
    void Append(const char* text);
    void Append(StrView view) { Append(view.data(), view.length()); }
    void Append(char c) { Append(&c, 1); }
    void Format(const char* format, ...) MX_PRINTF_FORMAT(2, 3);
    void AppendFormat(const char* format, ...) MX_PRINTF_FORMAT(2, 3);
    void VAppendFormat(const char* format, va_list args);
    void Resize(uint32 length, char fill = 0);
    void Clear();
    void Swap(String& other);
    // Asserts "OnHeap() == false": the allocator can only change while the string is inline.
    void SetAllocator(Allocator* allocator);
    // Makes room for at least `capacity` characters, keeping the text.
    void Reserve(uint32 capacity);
    // Drops the text and takes fresh storage of `capacity` characters (for a following overwrite).
    void ReserveForOverwrite(uint32 capacity);
    // Frees heap storage and returns to the inline buffer, empty.
    void Release();

    bool ends_with(StrView suffix) const { return view().ends_with(suffix); }
    bool OnHeap() const { return m_data != m_inline; }
    const char* c_str() const { return m_data; }
    const char* data() const { return m_data; }
    char* data() { return m_data; }
    uint32 length() const { return m_length; }
    uint32 size() const { return m_length; }
    uint32 capacity() const { return m_capacity; }
    bool empty() const { return m_length == 0; }
    Allocator* GetAllocator() const { return m_allocator; }
    StrView view() const { return StrView(m_data, m_length); }
    operator StrView() const { return view(); }
    char operator[](uint32 i) const { return m_data[i]; }

    friend bool operator==(const String& a, StrView b) { return a.view() == b; }

private:
    void GrowExact(uint32 capacity);
    void FreeStorage();

    char* m_data;
    uint32 m_length;
    uint32 m_capacity;
    Allocator* m_allocator;
    char m_inline[kInlineCapacity + 1];
};
} // namespace Morvex
