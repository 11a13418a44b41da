#pragma once
// The engine's JSON-like tree: an insertion-ordered map from interned keys to typed values, where a
// value may be a nested dictionary or an array of values. Keys are unique; setting an existing key
// replaces its value in place (the entry keeps its position). Dictionaries, arrays and their blocks
// come from a process-wide allocator with pools and per-capacity caches (thread-safe); a Dict
// itself is not synchronised: one thread builds and reads it at a time.

#include "Core/SharedString.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <type_traits>

namespace Morvex
{
class Dict;
class DictArray;

enum EDictValueType : uint32
{
    VT_NONE = 0,
    VT_BOOL = 1,
    VT_INT = 2,
    VT_FLOAT = 3,
    VT_STRING = 4,
    VT_DICT = 5,
    VT_DICT_ARRAY = 6,
};

// A tagged value. Strings hold one counted SharedString reference; dictionaries and arrays are
// owned (copying a value copies them deeply, releasing destroys them).
class DictValue
{
public:
    DictValue() : m_int(0) {}
    DictValue(const DictValue& other);
    DictValue(DictValue&& other) noexcept;
    ~DictValue() { Release(); }
    // Copies first and then releases the old value, so assigning from one's own descendant is safe.
    // Assigning a value to itself does nothing.
    DictValue& operator=(const DictValue& other);
    DictValue& operator=(DictValue&& other) noexcept;

    // Releases what the value owns; the type becomes VT_NONE.
    void Release();
    void Swap(DictValue& other) noexcept;

    void SetNone() { Release(); }
    void SetBool(bool v);
    void SetInt(int64 v);
    void SetFloat(float v);
    // Interns the text (null counts as empty).
    void SetString(StrView text);
    void SetString(const SharedString& text);
    // Makes the value an empty owned dictionary / array and returns it (owned by this value).
    Dict* SetNewDict();
    DictArray* SetNewArray();
    // Deep copies.
    void SetDict(const Dict& d);
    void SetArray(const DictArray& a);

    EDictValueType GetType() const { return static_cast<EDictValueType>(valueType); }
    bool IsNone() const { return valueType == VT_NONE; }
    // Typed reads; a value of another type gives the fallback (null for the pointers).
    bool GetBool(bool fallback = false) const { return valueType == VT_BOOL ? m_bool : fallback; }
    int64 GetInt(int64 fallback = 0) const { return valueType == VT_INT ? m_int : fallback; }
    float GetFloat(float fallback = 0.0f) const { return valueType == VT_FLOAT ? m_float : fallback; }
    // The string's text, or null when the value is not a string.
    const char* GetString() const { return valueType == VT_STRING ? m_string.str() : nullptr; }
    const SharedString* GetSharedString() const { return valueType == VT_STRING ? &m_string : nullptr; }
    Dict* GetDict() const { return valueType == VT_DICT ? m_dict : nullptr; }
    DictArray* GetArray() const { return valueType == VT_DICT_ARRAY ? m_array : nullptr; }

    // VT_BOOL "true"/"false"; VT_INT "%lld"; VT_FLOAT "%5.3f"; VT_STRING its characters; other types
    // null. Numeric texts live in a rotating Str::Va buffer: use them at once.
    const char* ToString() const;

private:
    union
    {
        bool m_bool;
        int64 m_int;
        float m_float;
        SharedString m_string;
        Dict* m_dict;
        DictArray* m_array;
    };

public:
    uint32 valueType = VT_NONE;
};

struct DictEntry
{
    SharedString key;
    DictValue value;
};

class Dict
{
public:
    // At most this many entries are searched linearly; the next one builds the hash table.
    static constexpr uint32 kLinearSearchMax = 32;

    Dict() = default;
    Dict(const Dict& other);
    Dict(Dict&& other) noexcept;
    ~Dict() { Clear(); }
    Dict& operator=(const Dict& other);
    Dict& operator=(Dict&& other) noexcept;

    // A dictionary from the process-wide pool; give it back with Destroy (null does nothing).
    static Dict* Create();
    static void Destroy(Dict* d);

    // Sets key to a value: replaces the value of an existing key in place, otherwise appends.
    // Strings are interned (null counts as empty); unsigned 64-bit values are stored as VT_INT.
    void Set(StrView key, const char* value);
    void Set(StrView key, StrView value);
    void Set(StrView key, const SharedString& value);
    void Set(StrView key, bool value);
    void Set(StrView key, int32 value);
    void Set(StrView key, uint32 value);
    void Set(StrView key, int64 value);
    void Set(StrView key, uint64 value);
    void Set(StrView key, float value);
    void Set(StrView key, double value) { Set(key, static_cast<float>(value)); }
    // Other integer types (long long, short, ...) as VT_INT.
    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) void Set(StrView key, T value)
    {
        if constexpr (std::is_signed_v<T>)
            Set(key, static_cast<int64>(value));
        else
            Set(key, static_cast<uint64>(value));
    }
    void Set(StrView key, const DictValue& value);
    void Set(const SharedString& key, const DictValue& value);
    // Deep copy of d as the value of key.
    void Set(StrView key, const Dict& d);
    // Sets key to a fresh empty dictionary / array and returns it (owned by this dictionary, valid
    // until the key is set again or the dictionary is cleared).
    Dict* SetNewDict(StrView key);
    DictArray* SetNewArray(StrView key);

    // Entry index or -1. By identity for a SharedString; by hash, length and bytes for text.
    int32 Find(const SharedString& key) const;
    int32 Find(StrView key) const;
    int32 Find(StrView key, uint32 hash) const;
    // The value of key, or null.
    const DictValue* Get(StrView key) const;
    DictValue* Get(StrView key);
    // The value's text as DictValue::ToString gives it, or fallback when the key is absent or the
    // value has no text form.
    const char* GetString(StrView key, const char* fallback = nullptr) const;

    // Entries 0 .. Size()-1 in insertion order.
    uint32 Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    uint32 Capacity() const { return m_capacity; }
    const DictEntry& EntryAt(uint32 i) const;
    DictEntry& EntryAt(uint32 i);
    const char* KeyAt(uint32 i) const { return EntryAt(i).key.str(); }
    const DictValue& ValueAt(uint32 i) const { return EntryAt(i).value; }
    DictValue& ValueAt(uint32 i) { return EntryAt(i).value; }
    const DictEntry* begin() const { return m_entries; }
    const DictEntry* end() const { return m_entries + m_size; }

    // Room for n entries: capacity 4, 16, 64, 256 or 1024, or above that a multiple of 1024.
    void Reserve(uint32 n);
    // Releases every entry and the storage.
    void Clear();
    bool HasHashTable() const { return m_hashTable != nullptr; }

    // Writes the text form into buffer (size bytes, always NUL-terminated when size > 0) and
    // returns the characters written; a full buffer stops the dump.
    uint32 Dump(char* buffer, uint32 size, bool withTypes, uint32 depth, uint32 maxDepth) const;
    // Logs the text form line by line at Info.
    void Print(uint32 maxDepth) const;

private:
    void SetValue(const SharedString& key, DictValue& value);
    void ChangeCapacity(uint32 capacity);
    void RebuildHashTable();
    void FreeHashTable();
    void InsertIntoHashTable(uint32 index);

    DictEntry* m_entries = nullptr;
    uint32 m_size = 0;
    uint32 m_capacity = 0;
    int32* m_hashTable = nullptr;
};

class DictArray
{
public:
    DictArray() = default;
    DictArray(const DictArray& other);
    DictArray(DictArray&& other) noexcept;
    ~DictArray() { Clear(); }
    DictArray& operator=(const DictArray& other);
    DictArray& operator=(DictArray&& other) noexcept;

    static DictArray* Create();
    static void Destroy(DictArray* a);

    uint32 Size() const { return m_size; }
    bool Empty() const { return m_size == 0; }
    uint32 Capacity() const { return m_capacity; }
    // Index out of range: the "i < m_size" assertion, then a VT_NONE value that is not stored.
    const DictValue& At(uint32 i) const;
    DictValue& At(uint32 i);
    const DictValue& operator[](uint32 i) const { return At(i); }
    DictValue& operator[](uint32 i) { return At(i); }
    // Appends a VT_NONE value and returns it (valid until the array grows).
    DictValue& Append();
    // Copies first: value may be an element of this array, which growing would move.
    void Append(const DictValue& value)
    {
        DictValue copy(value);
        Append().Swap(copy);
    }
    void Reserve(uint32 n);
    void Clear();

private:
    void ChangeCapacity(uint32 capacity);

    DictValue* m_values = nullptr;
    uint32 m_size = 0;
    uint32 m_capacity = 0;
};

namespace DictAllocator
{
// Empties every block cache (the cached blocks hold empty-string keys); the shared-string
// shutdown calls it before its leak check.
void FlushCaches();
// Limits each capacity class's cache to entries / class capacity blocks after emptying them all
// (the dict_entryPoolSize setting).
void SetCacheLimit(uint32 entries);
// Blocks currently held by the cache of capacity class 4, 16, 64, 256 or 1024 (entry and value
// blocks together); 0 for other capacities.
uint32 GetCachedBlocks(uint32 capacity);
} // namespace DictAllocator
} // namespace Morvex
