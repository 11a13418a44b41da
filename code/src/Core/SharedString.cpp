#include "Core/SharedString.h"

#include "Core/Str.h"

#include "Core/Assert.h"
#include "Core/CmdSystem.h"
#include "Core/Containers/Dict.h"
#include "Core/Log.h"
#include "Core/Memory/LockedHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"

#include <cstring>
#include <new>

namespace Morvex
{
SharedStringStorage* GSharedStringStorage = nullptr;

namespace
{
using Str::kFnvOffsetBasis;
using Str::kFnvPrime;
constexpr size_t kPoolPageSize = 0x20000;

char GEmptyText[1] = {0};
SharedStringEntry GEmptySharedString = {GEmptyText, 0, {0}, kFnvOffsetBasis, nullptr};

// Storage for the one process-wide storage object: it lives from kernel construction to kernel
// destruction and must not depend on the order of static destructors.
alignas(SharedStringStorage) unsigned char GStorageMemory[sizeof(SharedStringStorage)];

SharedStringEntry* Retain(SharedStringEntry* e)
{
    e->refCount.fetch_add(1, std::memory_order_relaxed);
    return e;
}

SharedStringEntry* InternText(const char* p, uint32 length)
{
    if (p == nullptr || length == 0)
        return Retain(&GEmptySharedString);
    SharedStringStorage* storage = GSharedStringStorage;
    if (!MX_VERIFY(storage != nullptr))
        return Retain(&GEmptySharedString);
    SharedString s = storage->Intern(p, length, SharedStringHash(p, length));
    SharedStringEntry* e = const_cast<SharedStringEntry*>(s.GetEntry());
    // Hand the reference over without a second count.
    Retain(e);
    return e;
}

// Writes i (0..9999) in decimal two digits at a time from the least significant end.
uint32 FormatSmallNumber(uint32 i, char* out)
{
    static const char kPairs[] = "00010203040506070809"
                                 "10111213141516171819"
                                 "20212223242526272829"
                                 "30313233343536373839"
                                 "40414243444546474849"
                                 "50515253545556575859"
                                 "60616263646566676869"
                                 "70717273747576777879"
                                 "80818283848586878889"
                                 "90919293949596979899";
    char buffer[8];
    char* end = buffer + sizeof(buffer);
    char* p = end;
    do
    {
        uint32 pair = i % 100;
        i /= 100;
        *--p = kPairs[pair * 2 + 1];
        // The leading zero of the most significant pair is dropped.
        if (i != 0 || pair >= 10)
            *--p = kPairs[pair * 2];
    } while (i != 0);
    uint32 n = static_cast<uint32>(end - p);
    std::memcpy(out, p, n);
    out[n] = 0;
    return n;
}

void LogStatsLines(Dict& d)
{
    d.Print(255);
}

void CollectUnreferencedCommand(const CmdArgs&)
{
    Dict d;
    if (GSharedStringStorage)
        GSharedStringStorage->CollectUnreferenced(&d);
    LogStatsLines(d);
}
} // namespace

MX_CONSOLE_COMMAND("sstring_collectUnreferenced", "SharedStringStorage::CollectUnreferenced",
                   CollectUnreferencedCommand);

uint32 SharedStringHash(const char* p, uint32 length)
{
    uint32 h = kFnvOffsetBasis;
    uint32 n = length < SharedString::kHashPrefix ? length : SharedString::kHashPrefix;
    for (uint32 i = 0; i < n; ++i)
    {
        h ^= static_cast<uint32>(static_cast<int32>(static_cast<signed char>(p[i])));
        h *= kFnvPrime;
    }
    return h;
}

// ---------------------------------------------------------------------------------------------
// SharedString

SharedString::SharedString() : m_entry(Retain(&GEmptySharedString))
{
}

SharedString::SharedString(const char* text)
    : m_entry(InternText(text, text ? static_cast<uint32>(std::strlen(text)) : 0))
{
}

SharedString::SharedString(StrView text) : m_entry(InternText(text.data(), text.length()))
{
}

SharedString::SharedString(const char* p, uint32 length) : m_entry(InternText(p, length))
{
}

SharedString::SharedString(const SharedString& other)
    : m_entry(Retain(other.m_entry ? other.m_entry : &GEmptySharedString))
{
}

SharedString& SharedString::operator=(const SharedString& other)
{
    if (this != &other)
    {
        SharedStringEntry* e = Retain(other.m_entry ? other.m_entry : &GEmptySharedString);
        Release();
        m_entry = e;
    }
    return *this;
}

SharedString& SharedString::operator=(SharedString&& other) noexcept
{
    if (this != &other)
    {
        Release();
        m_entry = other.m_entry;
        other.m_entry = nullptr;
    }
    return *this;
}

SharedString& SharedString::operator=(StrView text)
{
    SharedStringEntry* e = InternText(text.data(), text.length());
    Release();
    m_entry = e;
    return *this;
}

void SharedString::Release()
{
    if (m_entry)
    {
        // Nothing is freed here: an entry that drops to 0 stays chained, so a concurrent interning
        // of the same text under its stripe can still revive it.
        m_entry->refCount.fetch_sub(1, std::memory_order_release);
        m_entry = nullptr;
    }
}

uint32 SharedString::hash() const
{
    return m_entry ? m_entry->hash : kFnvOffsetBasis;
}

const SharedStringEntry* SharedString::Normalised() const
{
    return m_entry ? m_entry : &GEmptySharedString;
}

// ---------------------------------------------------------------------------------------------
// SharedStringStorage

SharedStringStorage::~SharedStringStorage()
{
    // Going on after the assertion: shut down here, so the table and unreferenced entries are not
    // lost.
    if (!MX_VERIFY(!m_table))
        Shutdown();
    // The pool's pages stay allocated while a string leaked at shutdown is still held: its holder
    // will read the text and decrement the count later.
    for (SharedStringEntry* e = m_orphans; e; e = e->next)
    {
        if (e->refCount.load(std::memory_order_acquire) != 0)
        {
            m_headerPool.Abandon();
            return;
        }
    }
    while (m_orphans)
    {
        SharedStringEntry* next = m_orphans->next;
        FreeText(m_orphans);
        FreeEntry(m_orphans);
        m_orphans = next;
    }
}

SharedStringEntry* SharedStringStorage::AllocEntry()
{
    while (m_poolLock.test_and_set(std::memory_order_acquire))
    {
    }
    void* storage = m_headerPool.Alloc();
    m_poolLock.clear(std::memory_order_release);
    return new (storage) SharedStringEntry{nullptr, 0, {0}, 0, nullptr};
}

void SharedStringStorage::FreeEntry(SharedStringEntry* e)
{
    e->~SharedStringEntry();
    while (m_poolLock.test_and_set(std::memory_order_acquire))
    {
    }
    m_headerPool.Free(e);
    m_poolLock.clear(std::memory_order_release);
}

void SharedStringStorage::FreeText(SharedStringEntry* e)
{
    if (e->str)
        Memory::GetSharedStringsHeap().Free(e->str);
    e->str = nullptr;
}

void SharedStringStorage::LockAll()
{
    for (std::mutex& m : m_locks)
        m.lock();
}

void SharedStringStorage::UnlockAll()
{
    for (uint32 i = kNumStripes; i-- > 0;)
        m_locks[i].unlock();
}

void SharedStringStorage::Init(uint32 tableSize)
{
    MX_MEMORY_TAG_SCOPE("Core/SharedStrings");
    MX_ASSERT(!IsInialized());
    if (IsInialized() || tableSize == 0)
        return;
    if (!m_headerPool.IsSetUp())
        m_headerPool.Setup(MX_HEAP_NAME("Core/SSHeader"), sizeof(SharedStringEntry), kPoolPageSize,
                           static_cast<int16>(MemoryTags::Register("Core/SharedStrings").m_index),
                           alignof(SharedStringEntry) > 8 ? alignof(SharedStringEntry) : 8);
    LockAll();
    m_tableSize = tableSize;
    m_table = static_cast<SharedStringEntry**>(
        Memory::Alloc(sizeof(SharedStringEntry*) * tableSize, alignof(void*)));
    std::memset(m_table, 0, sizeof(SharedStringEntry*) * tableSize);
    UnlockAll();

    m_numbers =
        static_cast<SharedString*>(Memory::Alloc(sizeof(SharedString) * kNumNumbers, alignof(SharedString)));
    char text[8];
    for (uint32 i = 0; i < kNumNumbers; ++i)
    {
        uint32 n = FormatSmallNumber(i, text);
        new (&m_numbers[i]) SharedString(Intern(text, n, SharedStringHash(text, n)));
    }
}

void SharedStringStorage::Shutdown()
{
    if (!IsInialized())
        return;
    if (m_numbers)
    {
        for (uint32 i = 0; i < kNumNumbers; ++i)
            m_numbers[i].~SharedString();
        Memory::Free(m_numbers, sizeof(SharedString) * kNumNumbers);
        m_numbers = nullptr;
    }
    LockAll();
    for (uint32 b = 0; b < m_tableSize; ++b)
    {
        SharedStringEntry* e = m_table[b];
        while (e)
        {
            SharedStringEntry* next = e->next;
            uint32 count = e->refCount.load(std::memory_order_acquire);
            if (count != 0)
            {
                Log::Printf(__FILE__, __LINE__, Log::Fatal,
                            "There is an undeleted shared string '%s' somewhere (ref count %d)!", e->str,
                            static_cast<int>(count));
                // A holder will still read the text and decrement the count: keep this entry (and
                // its page) alive instead of handing it back to the pool.
                e->next = m_orphans;
                m_orphans = e;
            }
            else
            {
                FreeText(e);
                FreeEntry(e);
            }
            e = next;
        }
    }
    Memory::Free(m_table, sizeof(SharedStringEntry*) * m_tableSize);
    m_table = nullptr;
    m_tableSize = 0;
    UnlockAll();
}

SharedString SharedStringStorage::Intern(const char* p, uint32 length, uint32 hash)
{
    if (p == nullptr || length == 0)
        return SharedString();
    for (;;)
    {
        const uint32 tableSize = m_tableSize;
        if (!MX_VERIFY(IsInialized()) || tableSize == 0)
            return SharedString();
        const uint32 b = hash % tableSize;
        std::lock_guard<std::mutex> lock(m_locks[b % kNumStripes]);
        if (tableSize != m_tableSize || m_table == nullptr)
            continue;

        SharedStringEntry* firstDead = nullptr;
        for (SharedStringEntry* e = m_table[b]; e; e = e->next)
        {
            // memcmp, not a string comparison: texts that differ only after an embedded NUL are
            // different texts.
            if (e->hash == hash && e->length == length && std::memcmp(e->str, p, length) == 0)
                return SharedString::Adopt(Retain(e));
            if (firstDead == nullptr && e->refCount.load(std::memory_order_acquire) == 0)
                firstDead = e;
        }

        MX_MEMORY_TAG_SCOPE("Core/SharedStrings");
        SharedStringEntry* entry;
        if (firstDead == nullptr)
        {
            entry = AllocEntry();
            entry->next = m_table[b];
            m_table[b] = entry;
        }
        else
        {
            entry = firstDead;
            FreeText(entry);
            // Sweep at most one further dead entry of this chain.
            for (SharedStringEntry* prev = entry; prev->next; prev = prev->next)
            {
                SharedStringEntry* candidate = prev->next;
                if (candidate->refCount.load(std::memory_order_acquire) == 0)
                {
                    prev->next = candidate->next;
                    FreeText(candidate);
                    FreeEntry(candidate);
                    break;
                }
            }
        }
        char* text =
            static_cast<char*>(Memory::GetSharedStringsHeap().Alloc(static_cast<size_t>(length) + 1));
        std::memcpy(text, p, length);
        text[length] = 0;
        entry->str = text;
        entry->hash = hash;
        entry->length = length;
        entry->refCount.store(1, std::memory_order_release);
        return SharedString::Adopt(entry);
    }
}

void SharedStringStorage::GetStats(Dict& d)
{
    int64 total = 0;
    int64 nonEmpty = 0;
    int64 lt2 = 0;
    int64 lt4 = 0;
    int64 lt8 = 0;
    int64 longest = 0;
    uint64 dataBytes = 0;
    LockAll();
    for (uint32 b = 0; b < m_tableSize; ++b)
    {
        int64 chain = 0;
        for (SharedStringEntry* e = m_table[b]; e; e = e->next)
        {
            ++chain;
            dataBytes += static_cast<uint64>(e->length) + 1;
        }
        total += chain;
        nonEmpty += chain > 0;
        lt2 += chain > 2;
        lt4 += chain > 4;
        lt8 += chain > 8;
        if (chain > longest)
            longest = chain;
    }
    UnlockAll();
    d.Set("totalSSH", total);
    d.Set("avgChainLen",
          nonEmpty ? static_cast<float>(static_cast<double>(total) / static_cast<double>(nonEmpty)) : 0.0f);
    d.Set("lt0", nonEmpty);
    d.Set("lt2", lt2);
    d.Set("lt4", lt4);
    d.Set("lt8", lt8);
    d.Set("longest", longest);
    d.Set("dataBytes", dataBytes);
}

void SharedStringStorage::CollectUnreferenced(Dict* d)
{
    if (d)
        GetStats(*d->SetNewDict("pre"));
    LockAll();
    for (uint32 b = 0; b < m_tableSize; ++b)
    {
        SharedStringEntry** link = &m_table[b];
        while (*link)
        {
            SharedStringEntry* e = *link;
            if (e->refCount.load(std::memory_order_acquire) == 0)
            {
                *link = e->next;
                FreeText(e);
                FreeEntry(e);
            }
            else
                link = &e->next;
        }
    }
    UnlockAll();
    if (d)
        GetStats(*d->SetNewDict("post"));
}

// ---------------------------------------------------------------------------------------------
// Process-wide lifetime

void SharedStrings::Init()
{
    MX_MEMORY_TAG_SCOPE("Core/SharedStrings");
    MX_ASSERT(GSharedStringStorage == nullptr);
    if (GSharedStringStorage)
        return;
    // The storage's own reference to the empty string.
    Retain(&GEmptySharedString);
    auto* storage = new (GStorageMemory) SharedStringStorage();
    GSharedStringStorage = storage;
    storage->Init(SharedStringStorage::kDefaultTableSize);
}

void SharedStrings::Shutdown()
{
    SharedStringStorage* storage = GSharedStringStorage;
    if (storage == nullptr)
        return;
    // Cached dictionary blocks hold empty-string keys; they must go before the leak check.
    DictAllocator::FlushCaches();
    GEmptySharedString.refCount.fetch_sub(1, std::memory_order_acq_rel);
    uint32 emptyCount = GEmptySharedString.refCount.load(std::memory_order_acquire);
    if (emptyCount != 0)
        Log::Printf(__FILE__, __LINE__, Log::Fatal,
                    "There are undeleted empty shared strings somewhere (ref count %u)!", emptyCount);
    storage->Shutdown();
    GSharedStringStorage = nullptr;
    storage->~SharedStringStorage();
}

SharedStringEntry* SharedStrings::GetEmptyEntry()
{
    return &GEmptySharedString;
}
} // namespace Morvex
