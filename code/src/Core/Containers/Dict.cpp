#include "Core/Containers/Dict.h"

#include "Core/Assert.h"
#include "Core/CVar.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Str.h"
#include "DictAllocatorInternal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace Morvex
{
namespace
{
// Smallest power of two greater than the capacity.
uint32 HashTableSize(uint32 capacity)
{
    uint32 size = 1;
    while (size <= capacity)
        size <<= 1;
    return size;
}

CVar dict_diffSign(CVarType::Int, "dict_diffSign", 0, "1",
                   "calc base dict hash when building the diff and check it on application");

// Appends one formatted piece to the dump. Returns false once the buffer is full, which stops the
// dump.
bool DumpPiece(char* buffer, uint32 size, uint32& pos, const char* format, ...) MX_PRINTF_FORMAT(4, 5);
bool DumpPiece(char* buffer, uint32 size, uint32& pos, const char* format, ...)
{
    if (pos + 1 >= size)
        return false;
    const uint32 room = size - pos;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    const int written = Str::VSNPrintf(buffer + pos, static_cast<int>(room), format, args);
    va_end(args);
    if (needed < 0 || written < 0)
        return false;
    pos += static_cast<uint32>(written);
    return static_cast<uint32>(needed) < room;
}

const char* Indent(uint32 depth)
{
    static const char kTabs[] = "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t"
                                "\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t";
    constexpr uint32 kMax = sizeof(kTabs) - 1;
    return kTabs + kMax - (depth < kMax ? depth : kMax);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// DictValue

namespace
{
// The payload is at most eight bytes and every payload type (a SharedString is one pointer) can be
// moved bitwise, which is what swapping two values does.
void SwapPayload(void* a, void* b)
{
    unsigned char tmp[8];
    std::memcpy(tmp, a, 8);
    std::memcpy(a, b, 8);
    std::memcpy(b, tmp, 8);
}
} // namespace

DictValue::DictValue(const DictValue& other) : m_int(0)
{
    *this = other;
}

DictValue::DictValue(DictValue&& other) noexcept : m_int(0)
{
    Swap(other);
}

DictValue& DictValue::operator=(const DictValue& other)
{
    if (this == &other)
        return *this;
    // Copy first, release afterwards: `other` may live inside what this value owns.
    DictValue copy;
    switch (other.valueType)
    {
    case VT_BOOL:
        copy.SetBool(other.m_bool);
        break;
    case VT_INT:
        copy.SetInt(other.m_int);
        break;
    case VT_FLOAT:
        copy.SetFloat(other.m_float);
        break;
    case VT_STRING:
        copy.SetString(other.m_string);
        break;
    case VT_DICT:
        copy.SetDict(*other.m_dict);
        break;
    case VT_DICT_ARRAY:
        copy.SetArray(*other.m_array);
        break;
    default:
        break;
    }
    Swap(copy);
    return *this;
}

DictValue& DictValue::operator=(DictValue&& other) noexcept
{
    if (this != &other)
    {
        DictValue taken;
        taken.Swap(other);
        Swap(taken);
    }
    return *this;
}

void DictValue::Release()
{
    // Clear the type before destroying what is owned, so a child that refers back sees no value.
    const uint32 type = valueType;
    valueType = VT_NONE;
    switch (type)
    {
    case VT_STRING:
        m_string.~SharedString();
        break;
    case VT_DICT:
        Dict::Destroy(m_dict);
        break;
    case VT_DICT_ARRAY:
        DictArray::Destroy(m_array);
        break;
    default:
        break;
    }
    m_int = 0;
}

void DictValue::Swap(DictValue& other) noexcept
{
    if (this == &other)
        return;
    SwapPayload(&m_int, &other.m_int);
    std::swap(valueType, other.valueType);
}

void DictValue::SetBool(bool v)
{
    Release();
    m_int = 0;
    m_bool = v;
    valueType = VT_BOOL;
}

void DictValue::SetInt(int64 v)
{
    Release();
    m_int = v;
    valueType = VT_INT;
}

void DictValue::SetFloat(float v)
{
    Release();
    m_int = 0;
    m_float = v;
    valueType = VT_FLOAT;
}

void DictValue::SetString(StrView text)
{
    // Intern before releasing: the text may be this value's own string.
    SharedString s(text);
    Release();
    new (&m_string) SharedString(std::move(s));
    valueType = VT_STRING;
}

void DictValue::SetString(const SharedString& text)
{
    SharedString s(text);
    Release();
    new (&m_string) SharedString(std::move(s));
    valueType = VT_STRING;
}

Dict* DictValue::SetNewDict()
{
    Dict* d = Dict::Create();
    Release();
    m_dict = d;
    valueType = VT_DICT;
    return d;
}

DictArray* DictValue::SetNewArray()
{
    DictArray* a = DictArray::Create();
    Release();
    m_array = a;
    valueType = VT_DICT_ARRAY;
    return a;
}

void DictValue::SetDict(const Dict& d)
{
    Dict* copy = Dict::Create();
    *copy = d;
    Release();
    m_dict = copy;
    valueType = VT_DICT;
}

void DictValue::SetArray(const DictArray& a)
{
    DictArray* copy = DictArray::Create();
    *copy = a;
    Release();
    m_array = copy;
    valueType = VT_DICT_ARRAY;
}

const char* DictValue::ToString() const
{
    switch (valueType)
    {
    case VT_BOOL:
        return m_bool ? "true" : "false";
    case VT_INT:
        return Str::Va("%lld", static_cast<long long>(m_int));
    case VT_FLOAT:
        return Str::Va("%5.3f", static_cast<double>(m_float));
    case VT_STRING:
        return m_string.str();
    default:
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// Dict

Dict::Dict(const Dict& other)
{
    *this = other;
}

Dict::Dict(Dict&& other) noexcept
{
    std::swap(m_entries, other.m_entries);
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
    std::swap(m_hashTable, other.m_hashTable);
}

Dict& Dict::operator=(const Dict& other)
{
    if (this == &other)
        return *this;
    // Build the copy aside: `other` may be a descendant of this dictionary.
    Dict copy;
    copy.Reserve(other.m_size);
    for (uint32 i = 0; i < other.m_size; ++i)
    {
        DictValue v(other.m_entries[i].value);
        copy.SetValue(other.m_entries[i].key, v);
    }
    std::swap(m_entries, copy.m_entries);
    std::swap(m_size, copy.m_size);
    std::swap(m_capacity, copy.m_capacity);
    std::swap(m_hashTable, copy.m_hashTable);
    return *this;
}

Dict& Dict::operator=(Dict&& other) noexcept
{
    if (this != &other)
    {
        Dict taken(std::move(other));
        std::swap(m_entries, taken.m_entries);
        std::swap(m_size, taken.m_size);
        std::swap(m_capacity, taken.m_capacity);
        std::swap(m_hashTable, taken.m_hashTable);
    }
    return *this;
}

Dict* Dict::Create()
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    return new (DictStorage::AllocDict()) Dict();
}

void Dict::Destroy(Dict* d)
{
    if (d == nullptr)
        return;
    d->~Dict();
    DictStorage::FreeDict(d);
}

void Dict::Set(StrView key, const char* value)
{
    Set(key, StrView(value));
}

void Dict::Set(StrView key, StrView value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetString(value);
    SetValue(k, v);
}

void Dict::Set(StrView key, const SharedString& value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetString(value);
    SetValue(k, v);
}

void Dict::Set(StrView key, bool value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetBool(value);
    SetValue(k, v);
}

void Dict::Set(StrView key, int32 value)
{
    Set(key, static_cast<int64>(value));
}

void Dict::Set(StrView key, uint32 value)
{
    Set(key, static_cast<int64>(value));
}

void Dict::Set(StrView key, int64 value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetInt(value);
    SetValue(k, v);
}

void Dict::Set(StrView key, uint64 value)
{
    // Stored as the signed payload of VT_INT; values above INT64_MAX read back negative.
    Set(key, static_cast<int64>(value));
}

void Dict::Set(StrView key, float value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetFloat(value);
    SetValue(k, v);
}

void Dict::Set(StrView key, const DictValue& value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v(value);
    SetValue(k, v);
}

void Dict::Set(const SharedString& key, const DictValue& value)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    DictValue v(value);
    SetValue(key, v);
}

void Dict::Set(StrView key, const Dict& d)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    v.SetDict(d);
    SetValue(k, v);
}

Dict* Dict::SetNewDict(StrView key)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    Dict* d = v.SetNewDict();
    SetValue(k, v);
    return d;
}

DictArray* Dict::SetNewArray(StrView key)
{
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    SharedString k(key);
    DictValue v;
    DictArray* a = v.SetNewArray();
    SetValue(k, v);
    return a;
}

void Dict::SetValue(const SharedString& key, DictValue& value)
{
    MX_ASSERT(m_capacity >= m_size);
    MX_ASSERT(!m_size || m_entries);
    const int32 found = Find(key);
    if (found >= 0)
    {
        // The entry keeps its position; the previous value leaves with `value` and is released by
        // the caller's temporary.
        m_entries[found].value.Swap(value);
        return;
    }
    if (m_size == m_capacity)
    {
        if (!MX_VERIFY_MSG(m_capacity < DictStorage::kMaxCapacity, "dictionary is full"))
            return;
        ChangeCapacity(DictStorage::NextCapacity(m_capacity));
    }
    DictEntry& entry = m_entries[m_size];
    entry.key = key;
    entry.value.Swap(value);
    const uint32 index = m_size++;
    if (m_hashTable)
        InsertIntoHashTable(index);
    else if (m_size > kLinearSearchMax)
        RebuildHashTable();
}

int32 Dict::Find(const SharedString& key) const
{
    const SharedStringEntry* k = key.GetEntry() ? key.GetEntry() : SharedStrings::GetEmptyEntry();
    if (m_hashTable == nullptr)
    {
        for (uint32 i = 0; i < m_size; ++i)
            if (m_entries[i].key.GetEntry() == k)
                return static_cast<int32>(i);
        return -1;
    }
    const uint32 mask = HashTableSize(m_capacity) - 1;
    for (uint32 slot = k->hash & mask, probes = 0; probes <= mask; slot = (slot + 1) & mask, ++probes)
    {
        const int32 index = m_hashTable[slot];
        if (index < 0)
            return -1;
        if (m_entries[index].key.GetEntry() == k)
            return index;
    }
    return -1;
}

int32 Dict::Find(StrView key) const
{
    return Find(key, SharedStringHash(key.data(), key.length()));
}

int32 Dict::Find(StrView key, uint32 hash) const
{
    auto matches = [&](const SharedString& k)
    {
        return k.hash() == hash && k.length() == key.length() &&
               (key.length() == 0 || std::memcmp(k.str(), key.data(), key.length()) == 0);
    };
    if (m_hashTable == nullptr)
    {
        for (uint32 i = 0; i < m_size; ++i)
            if (matches(m_entries[i].key))
                return static_cast<int32>(i);
        return -1;
    }
    const uint32 mask = HashTableSize(m_capacity) - 1;
    for (uint32 slot = hash & mask, probes = 0; probes <= mask; slot = (slot + 1) & mask, ++probes)
    {
        const int32 index = m_hashTable[slot];
        if (index < 0)
            return -1;
        if (matches(m_entries[index].key))
            return index;
    }
    return -1;
}

const DictValue* Dict::Get(StrView key) const
{
    const int32 i = Find(key);
    return i >= 0 ? &m_entries[i].value : nullptr;
}

DictValue* Dict::Get(StrView key)
{
    const int32 i = Find(key);
    return i >= 0 ? &m_entries[i].value : nullptr;
}

const char* Dict::GetString(StrView key, const char* fallback) const
{
    const DictValue* v = Get(key);
    const char* text = v ? v->ToString() : nullptr;
    return text ? text : fallback;
}

const DictEntry& Dict::EntryAt(uint32 i) const
{
    return const_cast<Dict*>(this)->EntryAt(i);
}

DictEntry& Dict::EntryAt(uint32 i)
{
    if (MX_VERIFY(i < m_size))
        return m_entries[i];
    // A scratch entry, emptied on every use, so a caller that goes on after the assertion reads
    // an empty key and a null value and writes nowhere that matters.
    static thread_local DictEntry s_scratch;
    s_scratch.key.Release();
    s_scratch.key = SharedString();
    s_scratch.value.Release();
    return s_scratch;
}

void Dict::Reserve(uint32 n)
{
    if (n <= m_capacity)
        return;
    MX_MEMORY_TAG_SCOPE("Core/Dict");
    ChangeCapacity(DictStorage::CapacityFor(n));
}

void Dict::Clear()
{
    MX_ASSERT(m_capacity >= m_size);
    for (uint32 i = 0; i < m_size; ++i)
    {
        m_entries[i].key = SharedString();
        m_entries[i].value.Release();
    }
    m_size = 0;
    FreeHashTable();
    DictStorage::FreeEntries(m_entries);
    m_entries = nullptr;
    m_capacity = 0;
}

void Dict::ChangeCapacity(uint32 capacity)
{
    if (capacity < m_size)
        capacity = m_size;
    DictEntry* block = DictStorage::AllocEntries(capacity);
    for (uint32 i = 0; i < m_size; ++i)
    {
        block[i].key.Swap(m_entries[i].key);
        block[i].value.Swap(m_entries[i].value);
    }
    DictStorage::FreeEntries(m_entries);
    const bool hadTable = m_hashTable != nullptr;
    FreeHashTable();
    m_entries = block;
    m_capacity = capacity;
    if (hadTable)
        RebuildHashTable();
}

void Dict::FreeHashTable()
{
    if (m_hashTable == nullptr)
        return;
    Memory::GetDictAllocator().Free(m_hashTable, sizeof(int32) * HashTableSize(m_capacity), alignof(int32));
    m_hashTable = nullptr;
}

void Dict::RebuildHashTable()
{
    FreeHashTable();
    const uint32 slots = HashTableSize(m_capacity);
    m_hashTable =
        static_cast<int32*>(Memory::GetDictAllocator().Alloc(sizeof(int32) * slots, alignof(int32)));
    std::memset(m_hashTable, 0xFF, sizeof(int32) * slots);
    for (uint32 i = 0; i < m_size; ++i)
        InsertIntoHashTable(i);
}

void Dict::InsertIntoHashTable(uint32 index)
{
    // The table always has more slots than the capacity, so a free slot exists.
    const uint32 mask = HashTableSize(m_capacity) - 1;
    uint32 slot = m_entries[index].key.hash() & mask;
    while (m_hashTable[slot] >= 0)
        slot = (slot + 1) & mask;
    m_hashTable[slot] = static_cast<int32>(index);
}

uint32 Dict::Dump(char* buffer, uint32 size, bool withTypes, uint32 depth, uint32 maxDepth) const
{
    if (buffer == nullptr || size == 0)
        return 0;
    uint32 pos = 0;
    buffer[0] = 0;
    const char* indent = Indent(depth);
    const char* inner = Indent(depth + 1);
    if (!DumpPiece(buffer, size, pos, "%s{\n", indent))
        return size;
    for (uint32 i = 0; i < m_size; ++i)
    {
        const DictEntry& e = m_entries[i];
        const char* key = e.key.str();
        const int type = static_cast<int>(e.value.valueType);
        bool ok = true;
        switch (e.value.valueType)
        {
        case VT_NONE:
            ok = withTypes ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\": null\n", inner, type, key)
                           : DumpPiece(buffer, size, pos, "%s\"%s\": null\n", inner, key);
            break;
        case VT_DICT:
            if (maxDepth <= 1)
            {
                ok = withTypes ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\": {...}\n", inner, type, key)
                               : DumpPiece(buffer, size, pos, "%s\"%s\": {...} \n", inner, key);
            }
            else
            {
                ok = withTypes ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\":\n", inner, type, key)
                               : DumpPiece(buffer, size, pos, "%s\"%s\":\n", inner, key);
                if (ok)
                {
                    const uint32 n =
                        e.value.GetDict()->Dump(buffer + pos, size - pos, withTypes, depth + 1, maxDepth - 1);
                    if (n >= size - pos)
                        return size;
                    pos += n;
                    ok = DumpPiece(buffer, size, pos, "\n");
                }
            }
            break;
        case VT_DICT_ARRAY:
            if (maxDepth <= 1)
            {
                ok = withTypes ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\": [...]\n", inner, type, key)
                               : DumpPiece(buffer, size, pos, "%s\"%s\": [...] \n", inner, key);
            }
            else
            {
                ok = withTypes ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\":\n", inner, type, key)
                               : DumpPiece(buffer, size, pos, "%s\"%s\":\n", inner, key);
                ok = ok && DumpPiece(buffer, size, pos, "[%d elements]\n",
                                     static_cast<int>(e.value.GetArray()->Size()));
                ok = ok && DumpPiece(buffer, size, pos, "\n");
            }
            break;
        default:
        {
            const char* text = e.value.ToString();
            ok = withTypes
                     ? DumpPiece(buffer, size, pos, "%s[%d] \"%s\": %s\n", inner, type, key, text ? text : "")
                     : DumpPiece(buffer, size, pos, "%s\"%s\": %s\n", inner, key, text ? text : "");
            break;
        }
        }
        if (!ok)
            return size;
    }
    if (!DumpPiece(buffer, size, pos, "%s}", indent))
        return size;
    return pos;
}

void Dict::Print(uint32 maxDepth) const
{
    // On the heap: the sender thread's stack is smaller than the buffer.
    constexpr uint32 kBufferSize = 128 * 1024;
    char* buffer = static_cast<char*>(Memory::Alloc(kBufferSize, 1));
    std::memset(buffer, 0, kBufferSize);
    Dump(buffer, kBufferSize, false, 0, maxDepth);
    char* line = buffer;
    while (*line)
    {
        char* end = std::strchr(line, '\n');
        if (end)
            *end = 0;
        Log::Printf(__FILE__, __LINE__, Log::Info, "%s", line);
        if (!end)
            break;
        line = end + 1;
    }
    Memory::Free(buffer, kBufferSize);
}

// ---------------------------------------------------------------------------------------------
// DictArray

DictArray::DictArray(const DictArray& other)
{
    *this = other;
}

DictArray::DictArray(DictArray&& other) noexcept
{
    std::swap(m_values, other.m_values);
    std::swap(m_size, other.m_size);
    std::swap(m_capacity, other.m_capacity);
}

DictArray& DictArray::operator=(const DictArray& other)
{
    if (this == &other)
        return *this;
    DictArray copy;
    copy.Reserve(other.m_size);
    for (uint32 i = 0; i < other.m_size; ++i)
        copy.Append(other.m_values[i]);
    std::swap(m_values, copy.m_values);
    std::swap(m_size, copy.m_size);
    std::swap(m_capacity, copy.m_capacity);
    return *this;
}

DictArray& DictArray::operator=(DictArray&& other) noexcept
{
    if (this != &other)
    {
        DictArray taken(std::move(other));
        std::swap(m_values, taken.m_values);
        std::swap(m_size, taken.m_size);
        std::swap(m_capacity, taken.m_capacity);
    }
    return *this;
}

DictArray* DictArray::Create()
{
    MX_MEMORY_TAG_SCOPE("Core/DictArray");
    return new (DictStorage::AllocArray()) DictArray();
}

void DictArray::Destroy(DictArray* a)
{
    if (a == nullptr)
        return;
    a->~DictArray();
    DictStorage::FreeArray(a);
}

const DictValue& DictArray::At(uint32 i) const
{
    return const_cast<DictArray*>(this)->At(i);
}

DictValue& DictArray::At(uint32 i)
{
    if (MX_VERIFY(i < m_size))
        return m_values[i];
    static thread_local DictValue s_scratch;
    s_scratch.Release();
    return s_scratch;
}

DictValue& DictArray::Append()
{
    MX_ASSERT(m_capacity >= m_size);
    MX_ASSERT(!m_size || m_values);
    if (m_size == m_capacity)
    {
        if (!MX_VERIFY_MSG(m_capacity < DictStorage::kMaxCapacity, "array is full"))
        {
            static thread_local DictValue s_scratch;
            s_scratch.Release();
            return s_scratch;
        }
        MX_MEMORY_TAG_SCOPE("Core/DictArray");
        ChangeCapacity(DictStorage::NextCapacity(m_capacity));
    }
    return m_values[m_size++];
}

void DictArray::Reserve(uint32 n)
{
    if (n <= m_capacity)
        return;
    MX_MEMORY_TAG_SCOPE("Core/DictArray");
    ChangeCapacity(DictStorage::CapacityFor(n));
}

void DictArray::Clear()
{
    MX_ASSERT(m_capacity >= m_size);
    for (uint32 i = 0; i < m_size; ++i)
        m_values[i].Release();
    m_size = 0;
    DictStorage::FreeValues(m_values);
    m_values = nullptr;
    m_capacity = 0;
}

void DictArray::ChangeCapacity(uint32 capacity)
{
    if (capacity < m_size)
        capacity = m_size;
    DictValue* block = DictStorage::AllocValues(capacity);
    for (uint32 i = 0; i < m_size; ++i)
        block[i].Swap(m_values[i]);
    DictStorage::FreeValues(m_values);
    m_values = block;
    m_capacity = capacity;
}
} // namespace Morvex
