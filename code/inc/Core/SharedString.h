#pragma once
// Interned, reference-counted immutable strings. Every distinct text exists once in the
// process-wide storage; a SharedString is one pointer to that entry, so equal texts compare by
// pointer and copying is one atomic increment. Released entries stay chained (dead) until reused
// by a later interning into the same chain or swept by CollectUnreferenced.

#include "Core/Memory/Pool.h"
#include "Core/StrView.h"
#include "Core/Types.h"

#include <atomic>
#include <mutex>

namespace Morvex
{
class Dict;

struct SharedStringEntry
{
    char* str;                    // NUL-terminated, owned by the entry
    uint32 length;                // characters, not counting the NUL
    std::atomic<uint32> refCount; // 0 = dead but still chained
    uint32 hash;
    SharedStringEntry* next; // bucket chain
};

// The text's hash: 32-bit FNV-1a over the first min(length, 64) bytes (each byte as a signed char).
// The empty text hashes to the offset basis 0x811C9DC5.
uint32 SharedStringHash(const char* p, uint32 length);

class SharedString
{
public:
    static constexpr uint32 kHashPrefix = 64;

    // The empty string.
    SharedString();
    // Interns the text (null counts as empty). Any thread. Explicit, so that overloads taking a
    // StrView or a SharedString stay unambiguous for literals.
    explicit SharedString(const char* text);
    explicit SharedString(StrView text);
    SharedString(const char* p, uint32 length);
    SharedString(const SharedString& other);
    SharedString(SharedString&& other) noexcept : m_entry(other.m_entry) { other.m_entry = nullptr; }
    ~SharedString() { Release(); }

    // Interns the new text first, then releases the old value.
    SharedString& operator=(const SharedString& other);
    SharedString& operator=(SharedString&& other) noexcept;
    SharedString& operator=(StrView text);
    SharedString& operator=(const char* text) { return *this = StrView(text); }

    // Drops this value's reference (lock-free, frees nothing); the value becomes null, which reads
    // as the empty text.
    void Release();
    void Swap(SharedString& other) noexcept
    {
        SharedStringEntry* e = m_entry;
        m_entry = other.m_entry;
        other.m_entry = e;
    }

    // Never null: a null value gives "".
    const char* str() const { return m_entry ? m_entry->str : ""; }
    const char* c_str() const { return str(); }
    uint32 length() const { return m_entry ? m_entry->length : 0; }
    uint32 hash() const;
    bool empty() const { return length() == 0; }
    StrView view() const { return StrView(str(), length()); }
    operator StrView() const { return view(); }
    // For tests and diagnostics; null for a released or moved-from value.
    const SharedStringEntry* GetEntry() const { return m_entry; }
    uint32 GetRefCount() const { return m_entry ? m_entry->refCount.load(std::memory_order_relaxed) : 0; }

    // Identity: the same entry (equal texts share one). A null value equals the empty string.
    friend bool operator==(const SharedString& a, const SharedString& b)
    {
        return a.Normalised() == b.Normalised();
    }

    // Takes over one counted reference to `entry` (used by the storage).
    static SharedString Adopt(SharedStringEntry* entry)
    {
        SharedString s(nullptr, AdoptTag{});
        s.m_entry = entry;
        return s;
    }

private:
    struct AdoptTag
    {
    };
    SharedString(std::nullptr_t, AdoptTag) : m_entry(nullptr) {}
    const SharedStringEntry* Normalised() const;

    SharedStringEntry* m_entry;
};

// The one storage of interned texts. Thread-safe: interning, sweeping, statistics and shutdown take
// the bucket stripes (whole-table walks in the order 0..3); copies and releases are lock-free.
class SharedStringStorage
{
public:
    static constexpr uint32 kDefaultTableSize = 0x8000;
    static constexpr uint32 kNumStripes = 4;
    static constexpr uint32 kNumNumbers = 10000;

    SharedStringStorage() = default;
    // Asserts "!m_table" (Shutdown must have run), then shuts down itself. The entry pages are
    // kept while a string reported at Shutdown is still held.
    ~SharedStringStorage();
    SharedStringStorage(const SharedStringStorage&) = delete;
    SharedStringStorage& operator=(const SharedStringStorage&) = delete;

    // Asserts "!IsInialized()" on a second call. Creates the table and interns "0".."9999", which
    // stay alive until Shutdown.
    void Init(uint32 tableSize);
    // Releases the number strings and frees every entry, logging at Fatal each one that is still
    // referenced ("There is an undeleted shared string '%s' somewhere (ref count %d)!"). Entries
    // still referenced are left allocated so that a late release stays harmless. No-op when not
    // initialised.
    void Shutdown();
    bool IsInialized() const { return m_table != nullptr; }

    // Finds or creates the entry of text p[0..length) with the given hash and returns a counted
    // reference. length 0 gives the empty string without touching the table. Not initialised: the
    // "IsInialized()" assertion, then the empty string.
    SharedString Intern(const char* p, uint32 length, uint32 hash);
    // Unlinks and frees every dead entry. With d: statistics before and after under "pre"/"post".
    void CollectUnreferenced(Dict* d = nullptr);
    // Fills d with "totalSSH", "avgChainLen", "lt0", "lt2", "lt4", "lt8", "longest", "dataBytes".
    void GetStats(Dict& d);

    uint32 GetTableSize() const { return m_tableSize; }

private:
    SharedStringEntry* AllocEntry();
    void FreeEntry(SharedStringEntry* e);
    void FreeText(SharedStringEntry* e);
    void LockAll();
    void UnlockAll();

    uint32 m_tableSize = 0;
    SharedStringEntry** m_table = nullptr;
    // Entries: pages of 0x20000 bytes, set up by the first Init.
    Memory::Pool m_headerPool;
    std::mutex m_locks[kNumStripes];
    std::atomic_flag m_poolLock = ATOMIC_FLAG_INIT;
    SharedString* m_numbers = nullptr;
    // Entries still referenced at Shutdown, kept allocated for their holders.
    SharedStringEntry* m_orphans = nullptr;
};

// The process-wide storage; null before SharedStrings::Init and after SharedStrings::Shutdown.
extern SharedStringStorage* GSharedStringStorage;

namespace SharedStrings
{
// Kernel construction: creates GSharedStringStorage with 0x8000 buckets.
void Init();
// Kernel destruction: shuts the storage down and reports leaks (also of the empty string).
void Shutdown();
// The empty string's entry (text "", hash 0x811C9DC5); never freed.
SharedStringEntry* GetEmptyEntry();
} // namespace SharedStrings
} // namespace Morvex
