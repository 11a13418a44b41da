#include "Core/Str.h"

#include "Core/StaticString.h"

#include <gtest/gtest.h>

using namespace Morvex;

TEST(FilePath, AppendPathJoinsWithOneSeparator)
{
    struct Case
    {
        const char* path;
        const char* append;
        const char* expected;
    };
    const Case cases[] = {
        {"a/", "/b", "a/b"}, {"a", "b", "a/b"}, {"a", "\\b", "a/b"}, {"", "x/y", "x/y"}, {"a", "", "a"},
        {"a\\", "b", "a\\b"},
    };
    for (const Case& c : cases)
    {
        FilePath p(c.path);
        p.AppendPath(c.append);
        EXPECT_STREQ(p.c_str(), c.expected) << c.path << " + " << c.append;
    }
}

TEST(Str, WildcardMatchTable)
{
    EXPECT_TRUE(Str::WildcardMatch("report.zip", "*.zip"));
    EXPECT_TRUE(Str::WildcardMatch("a", "?"));
    EXPECT_TRUE(Str::WildcardMatch("", "*"));
    EXPECT_FALSE(Str::WildcardMatch("ab", "a"));
    EXPECT_TRUE(Str::WildcardMatch("abc", "a*c*"));
}
