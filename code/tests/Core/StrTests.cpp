#include "Core/Str.h"

#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>

using namespace Morvex;

namespace
{
int Format(char* dst, int size, const char* format, ...) MX_PRINTF_FORMAT(3, 4);
int Format(char* dst, int size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = Str::VSNPrintf(dst, size, format, args);
    va_end(args);
    return result;
}
} // namespace

TEST(Str, VSNPrintfCutsAtTheBufferAndReportsTheWrittenLength)
{
    struct Case
    {
        int size;
        const char* text;
        int expectedResult;
        const char* expectedText;
    };
    const Case cases[] = {
        {1, "abc", 0, ""},         // room for the NUL only
        {4, "abc", 3, "abc"},      // exact fit
        {4, "abcd", 3, "abc"},     // one too long
        {4, "abcdefgh", 3, "abc"}, // far too long
        {16, "", 0, ""},           // empty text
        {16, "hello", 5, "hello"}, // plenty of room
    };
    for (const Case& c : cases)
    {
        char buffer[32];
        std::memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(Format(buffer, c.size, "%s", c.text), c.expectedResult) << c.size << " " << c.text;
        EXPECT_STREQ(buffer, c.expectedText);
        EXPECT_EQ(buffer[c.size], 'x') << "wrote past the given size";
    }
}

TEST(Str, VSNPrintfNullArgumentsAssertAndWriteNothing)
{
    Morvex::Test::AssertRecorder asserts;
    EXPECT_EQ(Format(nullptr, 10, "%d", 1), 0);
    EXPECT_TRUE(asserts.Saw("dst"));

    char buffer[8] = "keep";
    EXPECT_EQ(Format(buffer, 0, "%d", 1), 0);
    EXPECT_STREQ(buffer, "keep");

    EXPECT_EQ(Str::SNPrintf(buffer, static_cast<int>(sizeof(buffer)), nullptr), 0);
    EXPECT_TRUE(asserts.Saw("fmt"));
    EXPECT_STREQ(buffer, "");
}

TEST(Str, VaCutsAt1023AndRotatesThroughDistinctBuffers)
{
    std::string longText(3000, 'q');
    const char* cut = Str::Va("%s", longText.c_str());
    EXPECT_EQ(std::strlen(cut), 1023u);

    std::set<const char*> seen;
    for (int i = 0; i < 128; ++i)
        seen.insert(Str::Va("%d", i));
    EXPECT_EQ(seen.size(), 128u);
    // The 129th call reuses the first buffer of the round.
    const char* first = Str::Va("first");
    for (int i = 0; i < 127; ++i)
        Str::Va("%d", i);
    EXPECT_EQ(Str::Va("again"), first);
}

TEST(Str, ToFloatFollowsTheScanner)
{
    struct Case
    {
        const char* text;
        float expected;
    };
    const Case cases[] = {
        {"1.5", 1.5f},   {"-2e3", -2000.f}, {"1e", 1.f},  {"abc", 0.f},     {"12abc", 12.f},
        {"3e2x", 300.f}, {".5", 0.5f},      {"+7", 7.f},  {"-.25", -0.25f}, {"2E-2", 0.02f},
        {"1e+2", 100.f}, {"", 0.f},         {"- 3", 0.f}, {"4.e1", 40.f},
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(Str::ToFloat(c.text), c.expected) << c.text;
    EXPECT_EQ(Str::ToFloat(nullptr), 0.f);
}

TEST(Str, ToFloatNeverGivesNaN)
{
    // A zero mantissa with a huge exponent, a huge mantissa with a tiny one, and out-of-range values.
    const float inf = std::numeric_limits<float>::infinity();
    struct Case
    {
        const char* text;
        float expected;
    };
    const Case cases[] = {
        {"0e39", 0.f},
        {"-0e99999999", 0.f},
        {"0.000e400", 0.f},
        {"1e-50", 0.f},
        {"1e39", inf},
        {"-1e39", -inf},
        {"1000000000000000000000000000000000000000000000000000e-45", 1e6f},
        {"1e99999999999", inf},
    };
    for (const Case& c : cases)
    {
        float v = Str::ToFloat(c.text);
        EXPECT_FALSE(std::isnan(v)) << c.text;
        EXPECT_FLOAT_EQ(v, c.expected) << c.text;
    }
}

TEST(Str, IntegerParsingFollowsTheStandardRules)
{
    EXPECT_EQ(Str::ToInt("  42abc"), 42);
    EXPECT_EQ(Str::ToInt("-17"), -17);
    EXPECT_EQ(Str::ToInt(nullptr), 0);
    EXPECT_EQ(Str::ToUInt("0x10"), 16u);
    EXPECT_EQ(Str::ToUInt("010"), 8u);
    EXPECT_EQ(Str::ToUInt("4294967295"), 4294967295u);
    // Beyond 32 bits the value saturates instead of wrapping ("wait 4294967296" must still wait).
    EXPECT_EQ(Str::ToUInt("4294967296"), 4294967295u);
    EXPECT_EQ(Str::ToUInt("99999999999999999999999"), 4294967295u);
    EXPECT_EQ(Str::ToUInt("0x100000000"), 4294967295u);
    EXPECT_EQ(Str::ToUInt(nullptr), 0u);
    EXPECT_EQ(Str::ToInt64("9000000000", 10), 9000000000LL);
    EXPECT_EQ(Str::ToInt64("ff", 16), 255);
    EXPECT_EQ(Str::ToInt64(nullptr, 10), 0);
}

TEST(Str, WildcardMatchTable)
{
    struct Case
    {
        const char* text;
        const char* pattern;
        bool expected;
    };
    const Case cases[] = {
        {"report.zip", "*.zip", true},
        {"a", "?", true},
        {"", "*", true},
        {"ab", "a", false},
        {"abc", "a*c*", true},
        {"", "", true},
        {"a", "", false},
        {"", "?", false},
        {"mississippi", "*sip*", true},
        {"abcbc", "a*bc", true},
        {"abcbd", "a*bc", false},
        {"ABC", "abc", false},
        {"crash.log", "*.l?g", true},
        {"x.log.1", "*.log", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Str::WildcardMatch(c.text, c.pattern), c.expected) << c.text << " ~ " << c.pattern;
}

TEST(Str, FindAndFindNoCase)
{
    const char* hay = "Crash Reporter";
    EXPECT_EQ(Str::Find(hay, "Rep"), hay + 6);
    EXPECT_EQ(Str::Find(hay, "rep"), nullptr);
    EXPECT_EQ(Str::Find(hay, ""), hay);
    EXPECT_EQ(Str::FindNoCase(hay, "REPORTER"), hay + 6);
    EXPECT_EQ(Str::FindNoCase(hay, "x"), nullptr);
    EXPECT_EQ(Str::FindNoCase(hay, ""), hay);
    EXPECT_EQ(Str::Find(nullptr, "a"), nullptr);
    EXPECT_EQ(Str::FindNoCase(nullptr, "a"), nullptr);
}

TEST(Str, FormatMetricTable)
{
    struct Case
    {
        uint64 value;
        bool bytes;
        const char* expected;
    };
    const Case cases[] = {
        {100, true, "100b"},    {1024, true, "1024b"},
        {1536, true, "1.50Kb"}, {5ull * 1024 * 1024, true, "5.0Mb"},
        {12345, false, "12K"},  {999, false, "999"},
        {1001, false, "1.00K"}, {2500000, false, "2.5M"},
        {0, true, "0b"},
    };
    for (const Case& c : cases)
    {
        StaticString<32> out;
        EXPECT_STREQ(Str::FormatMetric(out, c.value, c.bytes), c.expected) << c.value;
    }
}

TEST(Str, FormatSizeTable)
{
    const uint64 kMiB = 1ull << 20, kGiB = 1ull << 30;
    struct Case
    {
        uint64 bytes;
        const char* expected;
    };
    const Case cases[] = {
        {512, "512 bytes"},
        {1536, "1 kB"},
        {kMiB + kMiB / 2, "1.5 MB"},
        {60 * kMiB + kMiB / 2, "60 MB"},
        {2 * kGiB, "2 GB"},
        {2 * kGiB + kGiB / 2, "2.5 GB"},
        {kGiB, "1 GB"},
        {kMiB, "1 MB"},
        {1023, "1023 bytes"},
        {1024, "1 kB"},
        {0, "0 bytes"},
        // Past 2^31 GB the count no longer fits an int: it must not print as a negative number.
        {2ull << 60, "2147483648 GB"},
        {~0ull, "17179869184 GB"},
    };
    for (const Case& c : cases)
    {
        StaticString<64> out;
        EXPECT_STREQ(Str::FormatSize(out, c.bytes), c.expected) << c.bytes;
    }
}

TEST(Str, FormatThousandsAndScaledTables)
{
    struct Grouped
    {
        uint64 value;
        const char* expected;
    };
    const Grouped grouped[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {1234567, "1,234,567"},
        {UINT64_MAX, "18,446,744,073,709,551,615"},
    };
    for (const Grouped& c : grouped)
    {
        StaticString<32> out;
        EXPECT_STREQ(Str::FormatThousands(out, c.value), c.expected) << c.value;
    }

    struct Scaled
    {
        double value;
        const char* expected;
    };
    const Scaled scaled[] = {
        {0.0, "0"},     {12.3, "12"},      {5.25, "5.2"},   {1.5, "1.50"},
        {0.5, "0.500"}, {1500.0, "1.50K"}, {0.005, "5.0m"}, {0.000002, "2.0u"},
    };
    for (const Scaled& c : scaled)
    {
        StaticString<32> out;
        EXPECT_STREQ(Str::FormatScaled(out, c.value), c.expected) << c.value;
    }
}

TEST(StaticString, AssignCutsAtTheCapacity)
{
    std::string text(FilePath::kCapacity + 40, 'p');
    FilePath path(text.c_str());
    EXPECT_EQ(path.length(), FilePath::kCapacity);
    EXPECT_EQ(path.c_str()[FilePath::kCapacity], '\0');
    // A path holds what a Linux path may be.
    EXPECT_EQ(FilePath::kCapacity, 4096u);

    StaticString<8> small("0123456789");
    EXPECT_STREQ(small.c_str(), "01234567");
    small.Assign("", 0);
    EXPECT_TRUE(small.empty());
}

TEST(StaticString, AssignFromItsOwnTextKeepsTheTail)
{
    FilePath path("0123456789");
    path.Assign(path.c_str() + 3, 100);
    EXPECT_STREQ(path.c_str(), "3456789");
    EXPECT_EQ(path.length(), 7u);
}

TEST(StaticString, AppendAndFormatStopAtTheCapacity)
{
    StaticString<512> line;
    line.Assign(std::string(510, 'x').c_str());
    line.AppendFormat("%s", "abc");
    EXPECT_EQ(line.length(), 512u);
    EXPECT_EQ(line.c_str()[510], 'a');
    EXPECT_EQ(line.c_str()[511], 'b');
    EXPECT_EQ(line.c_str()[512], '\0');

    line.AppendFormat("%s", "more");
    line.Append('z');
    line.Append("tail");
    EXPECT_EQ(line.length(), 512u);
    EXPECT_EQ(line.c_str()[511], 'b');

    StaticString<8> s;
    EXPECT_EQ(s.Format("%d-%d", 12, 34), 5);
    EXPECT_STREQ(s.c_str(), "12-34");
    s.Format("%s", "much too long");
    EXPECT_STREQ(s.c_str(), "much too");
    EXPECT_EQ(s.length(), 8u);
}

TEST(FilePath, AppendPathJoinsWithOneSeparator)
{
    struct Case
    {
        const char* path;
        const char* append;
        const char* expected;
    };
    const Case cases[] = {
        {"a/", "/b", "a/b"},   {"a", "b", "a/b"},    {"a", "\\b", "a/b"},
        {"", "x/y", "x/y"},    {"a", "", "a"},       {"a\\", "b", "a\\b"},
        {"a/", "//b", "a//b"}, {"", "/abs", "/abs"}, {"/", "tmp", "/tmp"},
    };
    for (const Case& c : cases)
    {
        FilePath p(c.path);
        p.AppendPath(c.append);
        EXPECT_STREQ(p.c_str(), c.expected) << c.path << " + " << c.append;
    }
}

TEST(FilePath, AppendPathNearTheCapacity)
{
    const uint32 cap = FilePath::kCapacity;
    // One character of room: the separator takes it and nothing of the name fits.
    FilePath almost(std::string(cap - 1, 'd').c_str());
    almost.AppendPath("name");
    EXPECT_EQ(almost.length(), cap);
    EXPECT_EQ(almost.c_str()[cap - 1], '/');

    // A full path gets no separator and nothing more.
    FilePath full(std::string(cap, 'd').c_str());
    full.AppendPath("name");
    EXPECT_EQ(full.length(), cap);
    EXPECT_EQ(full.c_str()[cap - 1], 'd');
}

// The path operations every module uses: normalising, the file name, the folder and the order.
TEST(FilePath, NamesFoldersAndOrder)
{
    struct Case
    {
        const char* path;
        const char* fileName;
        const char* directory;
    };
    const Case cases[] = {
        {"a/b/c.log", "c.log", "a/b"},
        {"c.log", "c.log", ""},
        {"/c.log", "c.log", "/"},
        {"a\\b.txt", "b.txt", "a"},
        {"a/b/", "", "a/b"},
        {"", "", ""},
        {"/", "", "/"},
        {"C:/x.dmp", "x.dmp", "C:"},
        {"//srv/share/f", "f", "//srv/share"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(FilePath::FileNameOf(StrView(c.path)), StrView(c.fileName)) << c.path;
        EXPECT_EQ(FilePath::DirectoryOf(StrView(c.path)), StrView(c.directory)) << c.path;
        FilePath p(c.path);
        EXPECT_EQ(p.FileName(), StrView(c.fileName));
    }
    EXPECT_EQ(FilePath::Normalized(StrView("a\\b\\c/d")).view(), StrView("a/b/c/d"));
    EXPECT_TRUE(FilePath::Normalized(StrView(std::string(FilePath::kCapacity + 1, 'x').c_str())).empty());
    EXPECT_TRUE(FilePath::IsSeparator('/') && FilePath::IsSeparator('\\') && !FilePath::IsSeparator(':'));
    // Unsigned bytes, and on a common prefix the shorter path first.
    EXPECT_TRUE(FilePath("B.log") < FilePath("a.log"));
    EXPECT_TRUE(FilePath("a.log") < FilePath("a.log.1"));
    EXPECT_TRUE(FilePath("z") < FilePath("\xC3\xA9"));
    EXPECT_FALSE(FilePath("a") < FilePath("a"));
}

// The shared name helpers: folding only A-Z, and a hash that agrees with the folded comparison.
TEST(Str, CaseFoldingHashesAndMarks)
{
    EXPECT_TRUE(Str::EqualNoCase("Memory", "mEMORY"));
    EXPECT_FALSE(Str::EqualNoCase("memory", "memor"));
    EXPECT_TRUE(Str::EqualNoCase(nullptr, ""));
    EXPECT_FALSE(Str::EqualNoCase("\xC3\x89", "\xC3\xA9")) << "only ASCII letters fold";
    EXPECT_TRUE(Str::EqualNoCase("AbC", "aBx", 2));
    EXPECT_EQ(Str::HashFnv1a("", 0, false), Str::kFnvOffsetBasis);
    EXPECT_EQ(Str::HashFnv1a("a", 1, false), 0xE40C292Cu); // the published FNV-1a value of "a"
    EXPECT_EQ(Str::HashFnv1a("Crash_URL", 9, true), Str::HashFnv1a("crash_url", 9, false));
    EXPECT_NE(Str::HashFnv1a("Crash_URL", 9, false), Str::HashFnv1a("crash_url", 9, false));
    EXPECT_EQ(Str::SkipByteOrderMark(StrView("\xEF\xBB\xBFset x 1")), StrView("set x 1"));
    EXPECT_EQ(Str::SkipByteOrderMark(StrView("\xEF\xBB")), StrView("\xEF\xBB"));
    EXPECT_EQ(Str::Utf8LeadLength('a'), 1u);
    EXPECT_EQ(Str::Utf8LeadLength(0xC3), 2u);
    EXPECT_EQ(Str::Utf8LeadLength(0xE2), 3u);
    EXPECT_EQ(Str::Utf8LeadLength(0xF0), 4u);
}

// The checked join never cuts: it joins whole or leaves the path as it was.
TEST(FilePath, TryAppendPathJoinsWholeOrNotAtAll)
{
    const uint32 cap = FilePath::kCapacity;
    struct Case
    {
        uint32 baseLength;
        const char* base_end; // appended to the filler
        const char* name;
        bool fits;
    };
    const Case cases[] = {
        {cap - 5, "", "name", true},   // separator + 4 bytes fill it exactly
        {cap - 4, "", "name", false},  // one byte short
        {cap - 5, "/", "name", true},  // the path's own separator is kept
        {cap - 5, "", "/name", true},  // the name's leading separator is dropped
        {cap - 4, "/", "/name", true}, // both: one separator
        {cap, "", "", true},           // nothing to join
        {cap - 3, "", "abcd", false},
    };
    for (const Case& c : cases)
    {
        std::string text = std::string(c.baseLength - std::strlen(c.base_end), 'd') + c.base_end;
        FilePath path(text.c_str());
        FilePath before = path;
        EXPECT_EQ(path.TryAppendPath(c.name), c.fits) << c.baseLength << " " << c.name;
        if (c.fits)
        {
            FilePath expected = before;
            expected.AppendPath(c.name);
            EXPECT_EQ(path.view(), expected.view());
            EXPECT_LE(path.length(), cap);
        }
        else
            EXPECT_EQ(path.view(), before.view());
    }
    FilePath empty;
    EXPECT_TRUE(empty.TryAppendPath("x"));
    EXPECT_EQ(empty.view(), StrView("x"));
    EXPECT_FALSE(empty.TryAssign(std::string(cap + 1, 'x').c_str()));
    EXPECT_EQ(empty.view(), StrView("x"));
}

TEST(StrView, BoundsAreAssertedAndThenClamped)
{
    Morvex::Test::AssertRecorder asserts;
    StrView v("abcdef");
    EXPECT_EQ(v.substr(2), StrView("cdef"));
    EXPECT_EQ(v.substr(6), StrView(""));
    EXPECT_EQ(asserts.Count(), 0u);

    EXPECT_EQ(v.substr(9).length(), 0u);
    EXPECT_TRUE(asserts.Saw("pos <= m_length"));

    StrView w("abc");
    w.remove_prefix(1);
    EXPECT_EQ(w, StrView("bc"));
    w.remove_prefix(5);
    EXPECT_TRUE(asserts.Saw("count <= m_length"));

    EXPECT_TRUE(StrView("report.zip").ends_with(".zip"));
    EXPECT_FALSE(StrView("zip").ends_with(".zip"));
    EXPECT_TRUE(StrView("zip").ends_with(""));
    EXPECT_FALSE(StrView("ab") == StrView("abc"));
}
