#include "CrashReporter.h"

#include <gtest/gtest.h>

#include <string>

using namespace Morvex;

TEST(CrashReporter, Utf8PrefixKeepsWholeCharacters)
{
    struct Case
    {
        std::string text;
        uint32 capacity;
        uint32 expected;
    };
    const Case cases[] = {
        {std::string(3000, 'a'), 2048, 2048},
        {std::string(2047, 'a') + "\xC3\xA9", 2048, 2047},     // two-byte char would cross
        {std::string(2046, 'a') + "\xC3\xA9", 2048, 2048},     // fits exactly
        {std::string(2046, 'a') + "\xE2\x82\xAC", 2048, 2046}, // three-byte char would cross
        {"ab\xF0\x9F\x98\x80", 5, 2},                          // four-byte char would cross
        {"ab\xE2\x82", 10, 2},                                 // cut sequence at the end
        {"", 2048, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(
            Str::Utf8PrefixLength(StrView(c.text.data(), static_cast<uint32>(c.text.size())), c.capacity),
            c.expected);
}
