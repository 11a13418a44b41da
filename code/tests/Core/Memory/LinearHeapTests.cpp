#include "Core/Memory/LinearHeap.h"

#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;

namespace
{
// Pages from the global heap, started `skew` bytes after a 64-byte boundary (unless asked for more
// alignment) so that tests control how far a larger alignment pushes the first allocation.
class PageSource final : public Allocator
{
public:
    explicit PageSource(size_t skew = 0) : m_skew(skew) {}
    void* Alloc(size_t size, size_t alignment) override
    {
        const size_t skew = alignment > 16 ? 0 : m_skew;
        char* base = static_cast<char*>(Memory::Alloc(size + 64, 64));
        blocks.push_back({base + skew, base, size});
        return base + skew;
    }
    void Free(void* p, size_t size, size_t) override
    {
        auto it = std::find_if(blocks.begin(), blocks.end(), [p](const Block& b) { return b.user == p; });
        EXPECT_NE(it, blocks.end());
        if (it == blocks.end())
            return;
        EXPECT_EQ(it->size, size);
        Memory::Free(it->base);
        blocks.erase(it);
    }
    bool Inside(const void* p, size_t size) const
    {
        const char* c = static_cast<const char*>(p);
        for (const Block& b : blocks)
            if (c >= b.user && c + size <= b.user + b.size)
                return true;
        return false;
    }
    struct Block
    {
        char* user;
        char* base;
        size_t size;
    };
    std::vector<Block> blocks;

private:
    size_t m_skew;
};
} // namespace

TEST(LinearHeap, BumpsWithinPagesAndMovesOnWhenOneIsFull)
{
    PageSource pages;
    LinearHeap heap(MX_HEAP_NAME("Test/Linear"), 256, -1, &pages);
    EXPECT_EQ(heap.GetCurrentPageIndex(), -1);
    auto* a = static_cast<char*>(heap.Alloc(100, 16));
    auto* b = static_cast<char*>(heap.Alloc(10, 1));
    auto* c = static_cast<char*>(heap.Alloc(8, 8));
    EXPECT_EQ(b, a + 100);
    EXPECT_EQ(c, a + 112) << "aligned up from 110";
    EXPECT_EQ(heap.GetNumPages(), 1u);
    auto* d = static_cast<char*>(heap.Alloc(200, 16)); // 136 bytes left: the next page
    EXPECT_EQ(heap.GetNumPages(), 2u);
    EXPECT_EQ(heap.GetCurrentPageIndex(), 1);
    EXPECT_TRUE(pages.Inside(d, 200));
    EXPECT_EQ(heap.GetUsed(), 318u);
    EXPECT_EQ(heap.GetNumAllocations(), 4u);
}

TEST(LinearHeap, RewindReusesThePagesInOrder)
{
    PageSource pages;
    LinearHeap heap(MX_HEAP_NAME("Test/Rewind"), 128, -1, &pages);
    std::vector<void*> first;
    for (int i = 0; i < 6; ++i)
        first.push_back(heap.Alloc(100, 16));
    EXPECT_EQ(heap.GetNumPages(), 6u);
    EXPECT_EQ(heap.GetPeakUsed(), 600u);
    heap.Rewind();
    EXPECT_EQ(heap.GetUsed(), 0u);
    EXPECT_EQ(heap.GetCurrentPageIndex(), -1);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(heap.Alloc(100, 16), first[i]);
    EXPECT_EQ(heap.GetNumPages(), 6u) << "no page was added";
    EXPECT_EQ(pages.blocks.size(), 6u);
    EXPECT_EQ(heap.GetPeakUsed(), 600u);
}

// A request no page can hold is the caller's error; it is still served safely, also when only the
// alignment makes it too large, and the block goes back with the next rewind.
TEST(LinearHeap, RequestsNoPageCanHoldAssertAndGetABlockOfTheirOwn)
{
    AssertRecorder asserts;
    PageSource pages(16); // every page starts 16 bytes after a 64-byte boundary
    {
        LinearHeap heap(MX_HEAP_NAME("Test/Oversized"), 256, -1, &pages);
        struct Case
        {
            size_t size;
            size_t alignment;
        };
        for (const Case& c : {Case{1000, 16}, Case{230, 64}})
        {
            SCOPED_TRACE(c.size);
            asserts.Clear();
            auto* p = static_cast<char*>(heap.Alloc(c.size, c.alignment));
            ASSERT_EQ(asserts.Count(), 1u);
            EXPECT_EQ(asserts.Records()[0].expression,
                      "m_currentPage->end - m_currentPage->current >= (ptrdiff_t)size");
            EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
            EXPECT_TRUE(pages.Inside(p, c.size));
            std::memset(p, 0x11, c.size);
        }
        const size_t beforeRewind = pages.blocks.size();
        heap.Rewind();
        EXPECT_EQ(pages.blocks.size(), beforeRewind - 2) << "the own blocks are gone, the pages stay";
        heap.Alloc(1000, 16);
    }
    EXPECT_TRUE(pages.blocks.empty());
}

TEST(LinearHeap, JoinsTheListAndChargesItsTag)
{
    const MemoryTag tag = MemoryTags::Register("Test/LinearPages");
    MemoryTagRecord* record = GMemoryTagSystem.load()->GetTag(tag.m_index);
    MemoryTags::FlushThreadCharges();
    const uint64 used = record->used.load();
    const uint32 heaps = LinearHeap::GetNumHeaps();
    {
        LinearHeap heap(MX_HEAP_NAME("Test/Listed"), 4096, static_cast<int16>(tag.m_index));
        EXPECT_EQ(LinearHeap::GetNumHeaps(), heaps + 1);
        heap.Alloc(10, 16);
        MemoryTags::FlushThreadCharges();
        EXPECT_EQ(record->used.load(), used + 4096);
        struct Found
        {
            const char* name;
            bool found;
            uint64 used;
        } found{heap.GetDebugName(), false, 0};
        LinearHeap::VisitAll(
            [](const LinearHeap::Info& info, void* context)
            {
                auto* f = static_cast<Found*>(context);
                if (info.name == f->name)
                {
                    f->found = true;
                    f->used = info.used;
                }
            },
            &found);
        EXPECT_TRUE(found.found);
        EXPECT_EQ(found.used, 10u);
    }
    EXPECT_EQ(LinearHeap::GetNumHeaps(), heaps);
    MemoryTags::FlushThreadCharges();
    EXPECT_EQ(record->used.load(), used);
}
