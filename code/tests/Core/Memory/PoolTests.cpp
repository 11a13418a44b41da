#include "Core/Memory/Pool.h"

#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using namespace Morvex;
using Memory::Pool;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
// Hands out pages from the global heap and remembers which are live, so that a test sees every
// page the pool takes and gives back.
class RecordingPageAllocator final : public Allocator
{
public:
    struct Page
    {
        char* begin;
        size_t size;
    };
    void* Alloc(size_t size, size_t alignment) override
    {
        void* p = Memory::Alloc(size, alignment);
        live.push_back({static_cast<char*>(p), size});
        ++allocated;
        return p;
    }
    void Free(void* p, size_t size, size_t) override
    {
        auto it = std::find_if(live.begin(), live.end(), [p](const Page& page) { return page.begin == p; });
        EXPECT_NE(it, live.end()) << "a page the pool never took";
        if (it == live.end())
            return;
        EXPECT_EQ(it->size, size);
        live.erase(it);
        Memory::Free(p, size);
    }
    // The live page that holds [p, p + size), or null.
    const Page* PageOf(const void* p, size_t size) const
    {
        const char* c = static_cast<const char*>(p);
        for (const Page& page : live)
            if (c >= page.begin + sizeof(Pool::Page) && c + size <= page.begin + page.size)
                return &page;
        return nullptr;
    }
    std::vector<Page> live;
    int allocated = 0;
};

MemoryTagRecord& Record(const char* name)
{
    return *GMemoryTagSystem.load()->GetOrCreateTag(name, static_cast<uint32>(std::strlen(name)));
}

bool Listed(const Pool& pool)
{
    struct Search
    {
        const char* name;
        bool found;
    } search{pool.GetDebugName(), false};
    Pool::VisitAll(
        [](const Pool::Info& info, void* context)
        {
            auto* s = static_cast<Search*>(context);
            s->found = s->found || info.name == s->name;
        },
        &search);
    return search.found;
}
} // namespace

TEST(MemoryPool, SetupDerivesAlignedSizeAndPageSize)
{
    struct Case
    {
        uint64 elementSize;
        uint64 alignment;
        uint64 pageSize; // 0: automatic
        uint64 expectedAligned;
        uint64 expectedPage;
    };
    const Case cases[] = {
        {16, 16, 0, 16, 0x4000},     // 256 x 16 is below 16640: the small page
        {24, 16, 0, 32, 0x4000},     // rounded up to the alignment
        {65, 1, 0, 65, 0x8000},      // 16640 exactly: rounded up to a power of two
        {100, 8, 0, 104, 0x8000},    // 26624 -> 32 KiB
        {1000, 8, 0, 1000, 0x20000}, // 256000 is capped at 128 KiB
        {976, 8, 31248, 976, 31248}, // a given page size is kept as it is
        {40, 64, 4096, 64, 4096},    // alignment above the element size
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.elementSize << "/" << c.alignment << "/" << c.pageSize);
        Pool pool;
        pool.Setup(MX_HEAP_NAME("Test/Table"), c.elementSize, c.pageSize, -1, c.alignment);
        EXPECT_EQ(pool.GetElementSizeAligned(), c.expectedAligned);
        EXPECT_EQ(pool.GetPageSize(), c.expectedPage);
        // Elements are aligned and never overlap, on the first page and beyond it.
        std::vector<char*> elements;
        for (uint64 i = 0; i < 2 * c.expectedPage / c.expectedAligned + 3; ++i)
        {
            auto* p = static_cast<char*>(pool.Alloc());
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
            elements.push_back(p);
        }
        std::sort(elements.begin(), elements.end());
        for (size_t i = 1; i < elements.size(); ++i)
            EXPECT_GE(static_cast<uint64>(elements[i] - elements[i - 1]), c.expectedAligned);
        for (char* p : elements)
            pool.Free(p);
    }
}

TEST(MemoryPool, ObjectPoolPagesHoldThirtyTwoObjectsAndAreUnnamedByDefault)
{
    struct Big
    {
        char bytes[976];
    };
    Memory::ObjectPool<Big> pool;
    EXPECT_EQ(pool.GetPool().GetPageSize(), 31248u);
    EXPECT_STREQ(pool.GetPool().GetDebugName(), "UnnamedObjPool");

    struct Counted
    {
        explicit Counted(int& n) : count(n) { ++count; }
        ~Counted() { --count; }
        int& count;
    };
    int alive = 0;
    Memory::ObjectPool<Counted> counted(MX_HEAP_NAME("Test/Counted"));
    Counted* a = counted.New(alive);
    Counted* b = counted.New(alive);
    EXPECT_EQ(alive, 2);
    counted.Delete(a);
    counted.Delete(nullptr);
    EXPECT_EQ(alive, 1);
    EXPECT_EQ(counted.New(alive), a) << "the freed slot comes back first";
    counted.Delete(a);
    counted.Delete(b);
    EXPECT_EQ(counted.GetPool().GetNumElements(), 0u);
}

TEST(MemoryPool, FreedElementsComeBackLastInFirstOut)
{
    Pool pool;
    pool.Setup(MX_HEAP_NAME("Test/Lifo"), 32, 0, -1, 16);
    void* a = pool.Alloc();
    void* b = pool.Alloc();
    pool.Free(a);
    pool.Free(b);
    EXPECT_EQ(pool.Alloc(), b);
    EXPECT_EQ(pool.Alloc(), a);
    EXPECT_EQ(pool.GetNumElements(), 2u);
    EXPECT_EQ(pool.GetPeakElements(), 2u);
    EXPECT_EQ(pool.GetNumPages(), 1u);
    pool.Free(a);
    pool.Free(b);
    pool.Free(nullptr);
}

// The page must still hold an element's aligned size: the remainder of a page that fits the
// element's own size but not its aligned size would move the bump pointer past the page's end.
TEST(MemoryPool, ElementsNeverReachPastTheirPage)
{
    RecordingPageAllocator pages;
    {
        Pool pool;
        // 24-byte elements at 32-byte spacing: three fill 16 + 96 bytes, leaving 24, which is the
        // element's size but not its spacing.
        const uint64 pageSize = sizeof(Pool::Page) + 3 * 32 + 24;
        pool.Setup(MX_HEAP_NAME("Test/Edge"), 24, pageSize, -1, 16, &pages);
        std::vector<void*> elements;
        for (int i = 0; i < 10; ++i)
        {
            void* p = pool.Alloc();
            EXPECT_NE(pages.PageOf(p, 24), nullptr) << "element " << i << " is outside every page";
            elements.push_back(p);
        }
        EXPECT_EQ(pool.GetNumPages(), 4u) << "three elements per page";
        EXPECT_EQ(pages.allocated, 4);
        for (void* p : elements)
            pool.Free(p);
    }
    EXPECT_TRUE(pages.live.empty()) << "every page is returned";
}

TEST(MemoryPool, DestroyingAPoolWithLiveElementsReportsThemAndFreesItsPages)
{
    RecordingPageAllocator pages;
    CapturingSink sink;
    AssertRecorder asserts;
    {
        Pool pool;
        pool.Setup("Test/Leaky:file.cpp:1", 48, 4096, -1, 8, &pages);
        std::vector<void*> elements;
        for (int i = 0; i < 200; ++i) // more than one page
            elements.push_back(pool.Alloc());
        for (int i = 0; i < 200; ++i)
            if (i != 3 && i != 100 && i != 199)
                pool.Free(elements[i]);
        EXPECT_GT(pool.GetNumPages(), 1u);
    }
    EXPECT_TRUE(sink.Contains(Log::Fatal, "Pool 'Test/Leaky:file.cpp:1': 3 objects still alive"));
    ASSERT_EQ(asserts.Count(), 3u);
    for (const auto& r : asserts.Records())
    {
        EXPECT_EQ(r.expression, "f != 0");
        EXPECT_EQ(r.message, "t is still allocated");
    }
    EXPECT_TRUE(pages.live.empty()) << "the pages are freed anyway";
}

TEST(MemoryPool, ClearWithoutLeakCheckAndReuseAfterClear)
{
    RecordingPageAllocator pages;
    CapturingSink sink;
    Pool pool;
    pool.Setup(MX_HEAP_NAME("Test/Clear"), 16, 0, -1, 16, &pages);
    pool.Alloc();
    pool.Alloc();
    pool.Clear(false);
    EXPECT_EQ(pool.GetNumElements(), 0u);
    EXPECT_EQ(pool.GetNumPages(), 0u);
    EXPECT_TRUE(pages.live.empty());
    EXPECT_FALSE(sink.Contains("objects still alive"));
    // Still set up: the next element takes a new page.
    void* p = pool.Alloc();
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(pool.GetNumPages(), 1u);
    pool.Free(p);
}

// Only pools that were linked leave the list: a pool destroyed without Setup (or abandoned) must
// not unlink anything, else the list loses its neighbours and the count goes wrong.
TEST(MemoryPool, OnlyLinkedPoolsLeaveTheGlobalList)
{
    AssertRecorder asserts;
    const uint32 before = Pool::GetNumPools();
    Pool first;
    first.Setup(MX_HEAP_NAME("Test/ListFirst"), 16, 0, -1, 16);
    {
        Pool second;
        second.Setup(MX_HEAP_NAME("Test/ListSecond"), 16, 0, -1, 16);
        EXPECT_EQ(Pool::GetNumPools(), before + 2);
        {
            Pool neverSetUp;
        }
        RecordingPageAllocator pages;
        Pool abandoned;
        abandoned.Setup(MX_HEAP_NAME("Test/ListAbandoned"), 16, 0, -1, 16, &pages);
        void* kept = abandoned.Alloc();
        abandoned.Abandon();
        EXPECT_FALSE(abandoned.IsSetUp());
        EXPECT_EQ(Pool::GetNumPools(), before + 2);
        EXPECT_TRUE(Listed(first));
        EXPECT_TRUE(Listed(second));
        EXPECT_FALSE(Listed(abandoned));
        std::memset(kept, 0xAB, 16); // the abandoned page stays usable
        ASSERT_EQ(pages.live.size(), 1u);
        pages.Free(pages.live[0].begin, pages.live[0].size, 16);
    }
    EXPECT_EQ(Pool::GetNumPools(), before + 1);
    EXPECT_TRUE(Listed(first));
    EXPECT_EQ(asserts.Count(), 0u);
}

TEST(MemoryPool, ListRecordsOwnerTagAndFigures)
{
    const MemoryTag tag = MemoryTags::Register("Test/PoolPages");
    Pool pool;
    pool.Setup(MX_HEAP_NAME("Test/Figures"), 40, 0, static_cast<int16>(tag.m_index), 8);
    void* p = pool.Alloc();
    struct Found
    {
        const char* name;
        Pool::Info info;
        bool found;
    } found{pool.GetDebugName(), {}, false};
    Pool::VisitAll(
        [](const Pool::Info& info, void* context)
        {
            auto* f = static_cast<Found*>(context);
            if (info.name == f->name)
            {
                f->info = info;
                f->found = true;
            }
        },
        &found);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.info.elementSize, 40u);
    EXPECT_EQ(found.info.numElements, 1u);
    EXPECT_EQ(found.info.numPages, 1u);
    EXPECT_EQ(found.info.tag, static_cast<int16>(tag.m_index));
    EXPECT_NE(found.info.ownerThread, 0u);
    pool.Free(p);
}

TEST(MemoryPool, PagesAreChargedToThePoolsTag)
{
    MemoryTagRecord& record = Record("Test/PoolCharge");
    MemoryTags::FlushThreadCharges();
    const uint64 used = record.used.load();
    {
        Pool pool;
        pool.Setup(MX_HEAP_NAME("Test/Charged"), 64, 0x4000, static_cast<int16>(record.m_index), 16);
        void* p = pool.Alloc();
        MemoryTags::FlushThreadCharges();
        EXPECT_EQ(record.used.load(), used + 0x4000);
        pool.Free(p);
    }
    MemoryTags::FlushThreadCharges();
    EXPECT_EQ(record.used.load(), used);
}

TEST(MemoryPool, DebugHeapPoolsTakeEachElementFromTheGlobalHeap)
{
    MemoryTagRecord& record = Record("Test/PoolDebug");
    Pool::SetDebugHeapPoolsForTests(true);
    CapturingSink sink;
    AssertRecorder asserts;
    void* leaked = nullptr;
    {
        Pool pool;
        pool.Setup("Test/Debug:file.cpp:2", 24, 0, static_cast<int16>(record.m_index), 8);
        Pool::SetDebugHeapPoolsForTests(false, true);
        MemoryTags::FlushThreadCharges();
        const uint32 allocs = record.allocs.load();
        void* a = pool.Alloc();
        void* b = pool.Alloc();
        EXPECT_EQ(pool.GetNumPages(), 0u);
        MemoryTags::FlushThreadCharges();
        EXPECT_EQ(record.allocs.load(), allocs + 2) << "each element is a block of the pool's tag";
        pool.Free(a);
        leaked = b; // left alive: reported by the destructor
    }
    Memory::Free(leaked);
    EXPECT_TRUE(sink.Contains(Log::Fatal, "Pool 'Test/Debug:file.cpp:2': 1 objects still alive"));
    EXPECT_EQ(asserts.Count(), 1u);
    EXPECT_TRUE(asserts.Saw("f != 0"));
}

TEST(MemoryPool, ContractViolationsAssertAndLeaveAUsablePool)
{
    AssertRecorder asserts;
    {
        Pool pool;
        EXPECT_EQ(pool.Alloc(), nullptr);
        ASSERT_EQ(asserts.Count(), 1u);
        EXPECT_EQ(asserts.Records()[0].expression, "m_pageAllocator");
        EXPECT_EQ(asserts.Records()[0].message, "Don't forget to Setup()");
    }
    struct Case
    {
        uint64 elementSize;
        uint64 pageSize;
        uint64 alignment;
        const char* expression;
        const char* message;
    };
    const Case cases[] = {
        {8, 0, 8, "elementSize >= 2 * sizeof(void*)", "Memory::Pool can't contain objects this small"},
        {16, 32, 16, "m_pageSizeInBytes > 2 * m_elementSizeAligned", "Check the page size, it's too small"},
        {16, 8, 16, "m_pageSizeInBytes > sizeof(Page)", ""},
        {16, 0, 12, "IsPowerOfTwo(elementAlignment)", ""},
        {16, 0, 0, "m_elementAlignment != 0", ""},
        {0x20000, 0, 16, "m_pageSizeInBytes > 2 * m_elementSizeAligned",
         "Check the page size, it's too small"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.expression);
        asserts.Clear();
        Pool pool;
        pool.Setup(MX_HEAP_NAME("Test/Broken"), c.elementSize, c.pageSize, -1, c.alignment);
        bool seen = false;
        for (const auto& r : asserts.Records())
            seen = seen || (r.expression == c.expression && r.message == c.message);
        EXPECT_TRUE(seen);
        // Whatever was wrong, the pool serves elements that fit their pages.
        std::vector<void*> elements;
        for (int i = 0; i < 5; ++i)
        {
            void* p = pool.Alloc();
            ASSERT_NE(p, nullptr);
            std::memset(p, 0x5A, pool.GetElementSize());
            elements.push_back(p);
        }
        for (void* p : elements)
            pool.Free(p);
    }

    asserts.Clear();
    Pool pool;
    pool.Setup(MX_HEAP_NAME("Test/Twice"), 16, 0, -1, 16);
    void* p = pool.Alloc();
    pool.Setup(MX_HEAP_NAME("Test/Twice"), 64, 0, -1, 16);
    EXPECT_TRUE(asserts.Saw("m_page == nullptr"));
    EXPECT_EQ(pool.GetElementSize(), 16u) << "a second Setup changes nothing";
    pool.Free(p);
    pool.Free(p);
    EXPECT_TRUE(asserts.Saw("m_numElements > 0"));
    EXPECT_EQ(pool.GetNumElements(), 0u);
}
