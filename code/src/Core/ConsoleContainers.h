#pragma once
// Small containers shared by the console variables and the command system: the FNV-1a name hash,
// a bucket index over positions in an array, and a growable array of trivially copyable values.
// Private to the console sources; not synchronised.

#include "Core/Memory/Memory.h"
#include "Core/NeverDestroyed.h"
#include "Core/Str.h"
#include "Core/Types.h"

#include <cstring>
#include <type_traits>

namespace Morvex
{
namespace Console
{
// Names hash with 32-bit FNV-1a; with foldCase only A-Z are lowered, so the hash agrees with an
// ASCII case-insensitive comparison.
inline uint32 HashName(const char* text, uint32 length, bool foldCase)
{
    return Str::HashFnv1a(text, length, foldCase);
}
using Str::EqualNoCase;

// Maps hashes to positions 0..n-1 of an external array. The bucket heads live inside the object;
// the chain array is on the global heap, grown to the next power of two (at least 32) as positions
// are added. A position is in at most one chain.
class HashIndex
{
public:
    static constexpr uint32 kNumBuckets = 1024;
    static constexpr int32 kEnd = -1;

    constexpr HashIndex()
    {
        for (int32& head : m_heads)
            head = kEnd;
    }
    ~HashIndex() { Release(); }
    HashIndex(const HashIndex&) = delete;
    HashIndex& operator=(const HashIndex&) = delete;

    void Add(uint32 hash, uint32 position)
    {
        if (position >= m_capacity)
            Grow(position + 1);
        uint32 bucket = hash & (kNumBuckets - 1);
        m_next[position] = m_heads[bucket];
        m_heads[bucket] = static_cast<int32>(position);
    }
    int32 First(uint32 hash) const { return m_heads[hash & (kNumBuckets - 1)]; }
    int32 Next(int32 position) const { return m_next[position]; }

    // Forgets every position; keeps the chain storage.
    void Clear()
    {
        for (int32& head : m_heads)
            head = kEnd;
    }
    // Forgets every position and frees the chain storage.
    void Release()
    {
        Clear();
        if (m_next != nullptr)
            Memory::Free(m_next, sizeof(int32) * m_capacity);
        m_next = nullptr;
        m_capacity = 0;
    }

private:
    void Grow(uint32 needed)
    {
        uint32 capacity = 32;
        while (capacity < needed)
            capacity *= 2;
        m_next = static_cast<int32*>(Memory::Realloc(m_next, sizeof(int32) * capacity));
        m_capacity = capacity;
    }

    int32 m_heads[kNumBuckets];
    int32* m_next = nullptr;
    uint32 m_capacity = 0;
};

// The registries are never destroyed: variables and commands in other translation units take
// themselves out of them from their own destructors, which may run after the registries' would
// have in static destruction.
using Morvex::NeverDestroyed;

// Growable array of trivially copyable values with optional inline room for N of them; beyond
// that it moves to the global heap. Never shrinks until Release.
template <typename T, uint32 N = 0>
class PodArray
{
    static_assert(std::is_trivially_copyable_v<T>);

public:
    constexpr PodArray() = default;
    ~PodArray() { Release(); }
    PodArray(const PodArray&) = delete;
    PodArray& operator=(const PodArray&) = delete;

    uint32 Size() const { return m_count; }
    bool Empty() const { return m_count == 0; }
    T* Data() { return m_data != nullptr ? m_data : InlineData(); }
    const T* Data() const { return m_data != nullptr ? m_data : InlineData(); }
    T& operator[](uint32 i) { return Data()[i]; }
    const T& operator[](uint32 i) const { return Data()[i]; }
    bool OnHeap() const { return m_data != nullptr; }

    void PushBack(const T& value)
    {
        if (m_count == Capacity())
            Grow();
        Data()[m_count++] = value;
    }
    void Erase(uint32 index)
    {
        if (index >= m_count)
            return;
        T* d = Data();
        std::memmove(static_cast<void*>(d + index), d + index + 1, sizeof(T) * (m_count - index - 1));
        --m_count;
    }
    void Clear() { m_count = 0; }
    void Release()
    {
        if (m_data != nullptr)
            Memory::Free(m_data, sizeof(T) * m_heapCapacity);
        m_data = nullptr;
        m_heapCapacity = 0;
        m_count = 0;
    }

private:
    uint32 Capacity() const { return m_data != nullptr ? m_heapCapacity : N; }
    T* InlineData() { return reinterpret_cast<T*>(m_inline); }
    const T* InlineData() const { return reinterpret_cast<const T*>(m_inline); }
    void Grow()
    {
        uint32 capacity = Capacity() < 16 ? 16 : Capacity() * 2;
        T* grown = static_cast<T*>(Memory::Alloc(sizeof(T) * capacity, alignof(T) < 16 ? 16 : alignof(T)));
        if (m_count > 0)
            std::memcpy(static_cast<void*>(grown), Data(), sizeof(T) * m_count);
        if (m_data != nullptr)
            Memory::Free(m_data, sizeof(T) * m_heapCapacity);
        m_data = grown;
        m_heapCapacity = capacity;
    }

    T* m_data = nullptr;
    uint32 m_count = 0;
    uint32 m_heapCapacity = 0;
    alignas(T) unsigned char m_inline[N > 0 ? sizeof(T) * N : 1] = {};
};
} // namespace Console
} // namespace Morvex
