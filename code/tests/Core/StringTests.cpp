#include "Core/String.h"

#include <gtest/gtest.h>

using namespace Morvex;

TEST(String, GrowsOnTheHeapPastTwentyThreeCharacters)
{
    String s("0123456789012345678901");
    EXPECT_FALSE(s.OnHeap());
    s.Append("abc");
    EXPECT_TRUE(s.OnHeap());
    EXPECT_EQ(s.capacity(), 46u);
    EXPECT_STREQ(s.c_str(), "0123456789012345678901abc");
}
