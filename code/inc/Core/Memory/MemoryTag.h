#pragma once
// Memory tags name accounting categories ("Core/File", "CrashReporter"). Every allocation of the
// tagged global heap is charged to the tag on top of the allocating thread's scope stack; a free is
// charged to the tag the block was allocated under. Names form a hierarchy with '/': registering
// "Core/Localize/Files" registers "Core" and "Core/Localize" too, each a tag of its own (no roll-up).
//
// Thread-safety: lookups run without a lock from any thread, creation is serialised, counters are
// atomic; a thread's scope stack is touched only by that thread.

#include "Core/Types.h"

#include <atomic>

namespace Morvex
{
struct MemoryTag
{
    uint16 m_index = 0; // 0: the tag "Null", i.e. not resolved yet
};

// Counters are updated in per-thread batches (see MemoryTags::FlushThreadCharges).
struct MemoryTagRecord
{
    std::atomic<uint64> used{0}; // bytes of the live allocations charged to the tag
    std::atomic<uint32> allocs{0};
    std::atomic<uint32> deallocs{0};
    std::atomic<double> lastActivity{0.0}; // uptime in seconds at the last charge
    const char* name = nullptr;            // a view: not owned, not terminated at `length`
    uint32 length = 0;
    uint16 m_index = 0;

    void OnAlloc(uint64 size);
    void OnFree(uint64 size);
    // One deallocation of the old size and one allocation of the new.
    void OnRealloc(uint64 oldSize, uint64 newSize);
};

// A thread's scope stack. stack[0] is the thread's root ("UNKNOWN" for engine threads, "ThirdParty"
// for foreign ones) and is never closed.
struct ThreadData
{
    static constexpr uint16 kMaxTagsStackDepth = 48;
    uint16 currentScope = 0;
    uint16 stackTop = 0;
    uint16 stack[kMaxTagsStackDepth] = {};
    ThreadData* nextFree = nullptr;
};

class MemoryTagSystem
{
public:
    static constexpr uint32 kMaxNumTags = 512;

    // The record of that exact name, registering it and its missing parents. `name` must live for
    // the whole process. With the registry full (512 tags) this asserts and returns "UNKNOWN".
    MemoryTagRecord* GetOrCreateTag(const char* name, uint32 length);
    // Null for an index that is not registered.
    MemoryTagRecord* GetTag(uint32 index);
    uint32 GetNumTags() const { return m_numTags.load(std::memory_order_acquire); }
    // True when `record` is one of this registry's records.
    bool IsRecord(const MemoryTagRecord* record) const
    {
        const uintptr_t offset = reinterpret_cast<uintptr_t>(record) - reinterpret_cast<uintptr_t>(m_tags);
        return m_tags != nullptr && offset < uintptr_t(GetNumTags()) * sizeof(MemoryTagRecord) &&
               offset % sizeof(MemoryTagRecord) == 0;
    }

    struct Scope
    {
        MemoryTag m_handle;
    };
    // The calling thread's current scope.
    Scope GetScope();
    // The record charged for an allocation made now on the calling thread.
    MemoryTagRecord* CurrentRecord();

    // Scope stack operations of the calling thread (see MemoryTagScope). Opening on a full stack or
    // closing the root asserts and leaves the stack as it is (OpenScope then returns false).
    bool OpenScope(uint16 index);
    void CloseScope();

    // Logs the table of tags by decreasing use (console command Memory.LogMemoryTags).
    void LogReport();

    int16 m_breakTag = -1;
    MemoryTag m_unknownTag;
    MemoryTag m_thirdPartyTag;
    MemoryTag m_nullTag;

    // Kernel memory start-up and shutdown.
    void Init();
    void Shutdown();

private:
    MemoryTagRecord* Find(const char* name, uint32 length, uint32 from, uint32 to);
    ThreadData* ThisThreadData();

    std::atomic<uint32> m_numTags{0};
    MemoryTagRecord* m_tags = nullptr;
};

// The registry, published by the kernel's memory start-up and cleared at its shutdown; null
// outside that window (allocations are then not charged).
extern std::atomic<MemoryTagSystem*> GMemoryTagSystem;

namespace MemoryTags
{
// Registers (or finds) a tag by its full name, which must live for the whole process. Returns the
// unresolved handle (index 0) while the registry is not published.
MemoryTag Register(const char* name);
// The calling thread is an engine thread (the main thread, threads the engine starts): its root tag
// is "UNKNOWN", not "ThirdParty".
void MarkEngineThread();
// The same for the main thread, whose scope stack stays with it until the process ends.
void MarkMainThread();
// Charges reach the records' counters in batches per thread (at the latest when the thread ends):
// brings the calling thread's up to date. Reports and the leak check call it.
void FlushThreadCharges();
} // namespace MemoryTags

// A tag handle for one place of use: resolved on first use and again at any later use while it is
// still unresolved (the registry may not exist yet during static initialisation).
class MemoryTagHandle
{
public:
    constexpr explicit MemoryTagHandle(const char* name) : m_name(name) {}
    MemoryTag Get();

private:
    const char* m_name;
    std::atomic<uint16> m_index{0};
};

// Opens a scope of `tag` on the calling thread until destruction. Scopes close in reverse order.
// Does nothing while the registry is not published or for an unresolved tag.
class MemoryTagScope
{
public:
    explicit MemoryTagScope(MemoryTag tag);
    ~MemoryTagScope();
    MemoryTagScope(const MemoryTagScope&) = delete;
    MemoryTagScope& operator=(const MemoryTagScope&) = delete;

private:
    MemoryTagSystem* m_system;
};
} // namespace Morvex

#define MX_MEMTAG_CONCAT2(a, b) a##b
#define MX_MEMTAG_CONCAT(a, b) MX_MEMTAG_CONCAT2(a, b)
// Opens a scope of the named tag until the end of the enclosing block; the handle is resolved once.
#define MX_MEMORY_TAG_SCOPE(name)                                                                            \
    static ::Morvex::MemoryTagHandle MX_MEMTAG_CONCAT(s_memTag_, __LINE__)(name);                            \
    ::Morvex::MemoryTagScope MX_MEMTAG_CONCAT(memTagScope_,                                                  \
                                              __LINE__)(MX_MEMTAG_CONCAT(s_memTag_, __LINE__).Get())
