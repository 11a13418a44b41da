#include "Core/String.h"

#include "Core/Memory/Allocator.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Morvex;

namespace
{
// Counts what it hands out so a test can see that every block comes back with its size.
class CountingAllocator : public Allocator
{
public:
    void* Alloc(size_t size, size_t alignment) override
    {
        (void)alignment;
        ++allocs;
        outstanding += size;
        return std::malloc(size);
    }
    void Free(void* p, size_t size, size_t alignment) override
    {
        (void)alignment;
        if (!p)
            return;
        ++frees;
        outstanding -= size;
        std::free(p);
    }
    int allocs = 0;
    int frees = 0;
    size_t outstanding = 0;
};
} // namespace

// Up to 23 characters live inside the string; past that the heap holds them, and growth is
// amortised: appending one character at a time allocates a logarithmic number of times, and one
// large append allocates once.
TEST(String, GrowthOnTheHeapIsAmortised)
{
    String s("0123456789012345678901");
    EXPECT_FALSE(s.OnHeap());
    EXPECT_EQ(s.capacity(), 23u);
    s.Append("a");
    EXPECT_FALSE(s.OnHeap()) << "23 characters still fit inside";
    s.Append("bc");
    EXPECT_TRUE(s.OnHeap());
    EXPECT_STREQ(s.c_str(), "0123456789012345678901abc");

    CountingAllocator counting;
    {
        String grown;
        grown.SetAllocator(&counting);
        std::string expected;
        for (int i = 0; i < 10000; ++i)
        {
            const char c[2] = {static_cast<char>('a' + i % 26), 0};
            grown.Append(c);
            expected += c[0];
        }
        EXPECT_EQ(std::string(grown.c_str()), expected);
        EXPECT_LE(counting.allocs, 12) << "doubling: about log2(10000 / 23) moves";

        String big;
        big.SetAllocator(&counting);
        const int before = counting.allocs;
        big.Append(std::string(100000, 'b').c_str());
        EXPECT_EQ(counting.allocs, before + 1) << "one large append, one allocation";
        EXPECT_EQ(big.length(), 100000u);
    }
    EXPECT_EQ(counting.outstanding, 0u);
}

TEST(String, AppendingItsOwnTextIsSafe)
{
    String s("0123456789012345678901234567890123456789"); // 40 characters, on the heap
    s.Append(s.c_str() + 20, 20);
    EXPECT_EQ(s.length(), 60u);
    std::string expected;
    for (int i = 0; i < 6; ++i)
        expected += "0123456789";
    EXPECT_EQ(std::string(s.c_str()), expected);

    String inl("abc");
    inl.Append(inl.c_str(), inl.length());
    EXPECT_STREQ(inl.c_str(), "abcabc");
}

TEST(String, AllocatorContract)
{
    CountingAllocator counting;
    {
        Morvex::Test::AssertRecorder asserts;
        String s;
        s.SetAllocator(&counting);
        s.Append(std::string(30, 'a').c_str());
        EXPECT_EQ(counting.allocs, 1);
        EXPECT_EQ(counting.outstanding, s.capacity() + 1u);

        s.SetAllocator(nullptr);
        EXPECT_TRUE(asserts.Saw("OnHeap() == false"));
        EXPECT_TRUE(s.OnHeap());
        EXPECT_STREQ(s.c_str(), std::string(30, 'a').c_str());
    }
    EXPECT_EQ(counting.frees, 1);
    EXPECT_EQ(counting.outstanding, 0u);
}

TEST(String, MoveTakesTheStorageAndLeavesTheSourceEmpty)
{
    String a(std::string(40, 'm').c_str());
    const char* storage = a.c_str();
    String b(std::move(a));
    EXPECT_EQ(b.c_str(), storage);
    EXPECT_TRUE(a.empty());
    EXPECT_FALSE(a.OnHeap());
    EXPECT_STREQ(a.c_str(), "");

    String small("tiny");
    String moved(std::move(small));
    EXPECT_STREQ(moved.c_str(), "tiny");
    EXPECT_FALSE(moved.OnHeap());
    EXPECT_TRUE(small.empty());
}

TEST(String, FormatResizeClearAndRelease)
{
    String s;
    s.Format("%d:%s", 7, "seven");
    EXPECT_STREQ(s.c_str(), "7:seven");
    s.AppendFormat("%s", "");
    EXPECT_STREQ(s.c_str(), "7:seven");
    s.AppendFormat("/%05d", 42);
    EXPECT_STREQ(s.c_str(), "7:seven/00042");

    s.Resize(3);
    EXPECT_STREQ(s.c_str(), "7:s");
    s.Resize(6, '.');
    EXPECT_STREQ(s.c_str(), "7:s...");

    String h(std::string(50, 'h').c_str());
    uint32 capacity = h.capacity();
    h.Clear();
    EXPECT_TRUE(h.empty());
    EXPECT_EQ(h.capacity(), capacity);
    EXPECT_TRUE(h.OnHeap());
    h.Release();
    EXPECT_FALSE(h.OnHeap());
    EXPECT_EQ(h.capacity(), 23u);

    String r("keep me");
    r.ReserveForOverwrite(100);
    EXPECT_GE(r.capacity(), 100u);
    EXPECT_TRUE(r.empty());

    EXPECT_TRUE(String("crash.dmp").ends_with(".dmp"));
}
