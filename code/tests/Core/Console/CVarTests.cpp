// Console variables: text to value by type, value to text, ranges, change callbacks, typed access
// and the name index.

#include "ConsoleTestSupport.h"

#include <cfloat>
#include <climits>
#include <cstring>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::ConsoleTest;

namespace
{
int GCallbackCalls = 0;
bool GRejectChanges = false;

bool CountingCallback(CVar*, void*)
{
    ++GCallbackCalls;
    return !GRejectChanges;
}

CVar test_int(CVarType::Int, "test_int", 0, "7", "an int");
CVar test_bit(CVarType::Int, "test_bit", 0, "0", "an int in 0..1", 0, 1);
CVar test_float(CVarType::Float, "test_float", 0, "1.5", "a float");
CVar test_string(CVarType::String, "test_string", 0, "hello", "a string");
CVar test_color(CVarType::Color, "test_color", 0, "1 2 3 4", "a colour");
CVar test_watched(CVarType::Int, "test_watched", 0, "11", "with a callback", CountingCallback);
CVar test_watchedText(CVarType::String, "test_watchedText", 0, "first", "with a callback", CountingCallback);
// Byte order: upper case sorts before lower case.
CVar test_order_b(CVarType::Int, "TEST_ORDER_b", 0, "0", "");
CVar test_order_a(CVarType::Int, "test_order_a", 0, "0", "");

class CVarTest : public ConsoleTest
{
protected:
    void SetUp() override
    {
        ConsoleTest::SetUp();
        GRejectChanges = false;
        for (CVar* var :
             {&test_int, &test_bit, &test_float, &test_string, &test_color, &test_watched, &test_watchedText})
            var->SetS(var->GetDefault());
        GCallbackCalls = 0;
    }
    void TearDown() override
    {
        GRejectChanges = false;
        ConsoleTest::TearDown();
    }
};
} // namespace

TEST_F(CVarTest, RegistrationGivesDefaultsAndNameIndexIgnoresCase)
{
    EXPECT_EQ(test_int.GetInt(), 7);
    EXPECT_STREQ(test_string.GetS(), "hello");
    EXPECT_EQ(CVar::FindVar("test_int"), &test_int);
    EXPECT_EQ(CVar::FindVar("TEST_INT"), &test_int);
    EXPECT_EQ(CVar::FindVar("Test_String"), &test_string);
    EXPECT_EQ(CVar::FindVar("test_in"), nullptr);
    EXPECT_EQ(CVar::FindVar("test_int_"), nullptr);
    EXPECT_EQ(CVar::FindVar(nullptr, 3), nullptr);
    // A name given with a length need not be NUL-terminated.
    EXPECT_EQ(CVar::FindVar("test_intXYZ", 8), &test_int);
}

TEST_F(CVarTest, RegistryIsSortedByUnsignedBytes)
{
    int32 posUpper = -1;
    int32 posLower = -1;
    for (uint32 i = 0; i < CVar::GetNumCvars(); ++i)
    {
        CVar* var = CVar::GetCvar(i);
        if (i > 0)
        {
            EXPECT_LT(std::strcmp(CVar::GetCvar(i - 1)->GetName(), var->GetName()), 0) << var->GetName();
        }
        if (var == &test_order_b)
            posUpper = static_cast<int32>(i);
        if (var == &test_order_a)
            posLower = static_cast<int32>(i);
    }
    ASSERT_GE(posUpper, 0);
    ASSERT_GE(posLower, 0);
    EXPECT_LT(posUpper, posLower);
    EXPECT_EQ(CVar::GetCvar(CVar::GetNumCvars()), nullptr);
}

TEST_F(CVarTest, IntFromText)
{
    struct Case
    {
        CVar* var;
        const char* text;
        int32 expected;
    };
    const Case cases[] = {
        {&test_int, "  42abc", 42},
        {&test_int, "abc", 0},
        {&test_int, "", 0},
        {&test_int, "-17", -17},
        {&test_int, "+5", 5},
        {&test_int, "\t\n\v\f\r 9", 9},
        {&test_int, "- 3", 0},
        {&test_int, "12.9", 12},
        {&test_int, "2147483647", INT32_MAX},
        {&test_int, "-2147483648", INT32_MIN},
        // Beyond the int32 range the value saturates instead of wrapping.
        {&test_int, "4294967297", INT32_MAX},
        {&test_int, "99999999999999999999", INT32_MAX},
        {&test_int, "-99999999999999999999", INT32_MIN},
        {&test_bit, "5000", 1},
        {&test_bit, "-3", 0},
        {&test_bit, "1", 1},
    };
    for (const Case& c : cases)
    {
        EXPECT_TRUE(c.var->SetS(c.text)) << c.text;
        EXPECT_EQ(c.var->GetInt(), c.expected) << c.text;
        EXPECT_EQ(std::string(c.var->GetS()), std::to_string(c.expected)) << c.text;
    }
    // NUL counts as leading space; the length, not a terminator, ends the text.
    EXPECT_TRUE(test_int.SetS(StrView("\0\0"
                                      "31",
                                      4)));
    EXPECT_EQ(test_int.GetInt(), 31);
    EXPECT_TRUE(test_int.SetS(StrView("123", 2)));
    EXPECT_EQ(test_int.GetInt(), 12);
}

TEST_F(CVarTest, FloatFromTextAndBackToText)
{
    struct Case
    {
        const char* text;
        float value;
        const char* shown;
    };
    const Case cases[] = {
        {"-2.5e1", -25.0f, "-25"},
        {"0", 0.0f, "0"},
        {"3", 3.0f, "3"},
        {"0.5", 0.5f, "0.5"},
        {".5", 0.5f, "0.5"},
        {"1.25", 1.25f, "1.25"},
        {"0.1", 0.1f, "0.1"},
        {"123.456", 123.456f, "123.456"},
        {"0.0000001", 1e-7f, "0.0000001"},
        {"1234567.8", 1234567.8f, "1234567"},
        {"9999999.9", 9999999.9f, "9999999"},
        {"5e7", 5e7f, "9999999"},
        {"-5e7", -5e7f, "-9999999"},
        {"  +2E+2xyz", 200.0f, "200"},
        {"abc", 0.0f, "0"},
        {"1e-3", 0.001f, "0.001"},
        // Out of the float range: clamped to the largest finite value.
        {"1e39", FLT_MAX, "9999999"},
        {"-1e400", -FLT_MAX, "-9999999"},
        // A zero mantissa stays zero, whatever the exponent.
        {"0e999999999999", 0.0f, "0"},
    };
    for (const Case& c : cases)
    {
        EXPECT_TRUE(test_float.SetS(c.text)) << c.text;
        EXPECT_FLOAT_EQ(test_float.GetFloat(), c.value) << c.text;
        EXPECT_STREQ(test_float.GetS(), c.shown) << c.text;
    }
}

TEST_F(CVarTest, FloatNaNTakesTheMinimum)
{
    EXPECT_TRUE(test_float.SetFloat(__builtin_nanf("")));
    EXPECT_EQ(test_float.GetFloat(), -FLT_MAX);
    EXPECT_TRUE(test_float.SetFloat(__builtin_inff()));
    EXPECT_EQ(test_float.GetFloat(), FLT_MAX);
}

TEST_F(CVarTest, ColorFromTextAndBackToText)
{
    struct Case
    {
        const char* text;
        uint32 packed;
        const char* shown;
    };
    const Case cases[] = {
        {"255 128 0 64", 0x40FF8000u, "255 128 0 64"},
        {"  1   2  3 4  ", 0x04010203u, "1 2 3 4"},
        {"0x10 010 '7' \"8\"", 0x08100807u, "16 8 7 8"},
        {"1 2", 0x00010200u, "1 2 0 0"},
        {"300 -1 0 0 99 99", 0x002CFF00u, "44 255 0 0"},
        {"", 0u, "0 0 0 0"},
        {"x y z w", 0u, "0 0 0 0"},
    };
    for (const Case& c : cases)
    {
        EXPECT_TRUE(test_color.SetS(c.text)) << c.text;
        EXPECT_EQ(test_color.value.color, c.packed) << c.text;
        EXPECT_STREQ(test_color.GetS(), c.shown) << c.text;
    }
    // Colours take SetInt without clamping.
    EXPECT_TRUE(test_color.SetInt(-1));
    EXPECT_STREQ(test_color.GetS(), "255 255 255 255");
}

TEST_F(CVarTest, StringKeepsTextAsGiven)
{
    EXPECT_TRUE(test_string.SetS("  spaced out  "));
    EXPECT_STREQ(test_string.GetS(), "  spaced out  ");
    std::string longText(5000, 'q');
    EXPECT_TRUE(test_string.SetS(longText.c_str()));
    EXPECT_EQ(std::string(test_string.GetS()), longText);
    // Setting a variable from its own text keeps it.
    EXPECT_TRUE(test_string.SetS(test_string.text.view()));
    EXPECT_EQ(std::string(test_string.GetS()), longText);
}

TEST_F(CVarTest, RejectedChangesKeepThePreviousValue)
{
    GRejectChanges = true;
    EXPECT_FALSE(test_watched.SetS("99"));
    EXPECT_STREQ(test_watched.GetS(), "11");
    EXPECT_FALSE(test_watched.SetInt(12));
    EXPECT_EQ(test_watched.GetInt(), 11);
    EXPECT_FALSE(test_watched.SetBool(false));
    EXPECT_EQ(test_watched.GetInt(), 11);
    EXPECT_FALSE(test_watchedText.SetS("second"));
    EXPECT_STREQ(test_watchedText.GetS(), "first");
    EXPECT_EQ(GCallbackCalls, 4);
}

TEST_F(CVarTest, CallbackSeesEveryTextChangeButNotAnUnchangedValue)
{
    // SetS offers the change even when the text is the same.
    EXPECT_TRUE(test_watched.SetS("11"));
    EXPECT_EQ(GCallbackCalls, 1);
    // The typed setters do not offer an unchanged value, not even to a rejecting callback.
    GRejectChanges = true;
    EXPECT_TRUE(test_watched.SetInt(11));
    EXPECT_EQ(GCallbackCalls, 1);
    GRejectChanges = false;
    EXPECT_TRUE(test_watched.SetInt(12));
    EXPECT_EQ(GCallbackCalls, 2);
    EXPECT_TRUE(test_watched.SetBool(true));
    EXPECT_EQ(test_watched.GetInt(), 1);
    EXPECT_EQ(GCallbackCalls, 3);
}

TEST_F(CVarTest, ModifiedFlagMarksAcceptedChangesAfterRegistration)
{
    CVar* untouched = CVar::FindVar("test_order_a");
    ASSERT_NE(untouched, nullptr);
    EXPECT_EQ(untouched->GetFlags() & CVAR_MODIFIED, 0u);
    EXPECT_TRUE(untouched->SetS("3"));
    EXPECT_NE(untouched->GetFlags() & CVAR_MODIFIED, 0u);
}

TEST_F(CVarTest, TypedAccessOfTheWrongTypeAssertsAndIsHarmless)
{
    AssertRecorder recorder;
    EXPECT_FALSE(test_string.GetBool());
    EXPECT_EQ(test_string.GetInt(), 0);
    EXPECT_EQ(test_string.GetFloat(), 0.0f);
    EXPECT_FALSE(test_float.GetBool());
    EXPECT_EQ(test_color.GetFloat(), 0.0f);
    ASSERT_EQ(recorder.Count(), 5u);
    for (const auto& r : recorder.Records())
    {
        EXPECT_EQ(r.expression, "DebugBreak");
        EXPECT_EQ(r.message, "Suspicious conversion");
    }
    recorder.Clear();

    EXPECT_FALSE(test_int.SetFloat(2.0f));
    EXPECT_FALSE(test_float.SetInt(2));
    EXPECT_FALSE(test_float.SetBool(true));
    EXPECT_FALSE(test_string.SetInt(2));
    EXPECT_FALSE(test_color.SetBool(true));
    ASSERT_EQ(recorder.Count(), 5u);
    for (const auto& r : recorder.Records())
        EXPECT_EQ(r.message, "Unsupported conversion");
    EXPECT_EQ(test_int.GetInt(), 7);
    EXPECT_FLOAT_EQ(test_float.GetFloat(), 1.5f);
    EXPECT_STREQ(test_string.GetS(), "hello");
}

TEST_F(CVarTest, GetIntTruncatesFloatsTowardZeroAndSaturates)
{
    const std::pair<float, int32> cases[] = {
        {2.9f, 2}, {-2.9f, -2}, {0.0f, 0}, {1e30f, INT32_MAX}, {-1e30f, INT32_MIN}, {FLT_MAX, INT32_MAX},
    };
    for (auto [value, expected] : cases)
    {
        test_float.SetFloat(value);
        EXPECT_EQ(test_float.GetInt(), expected) << value;
    }
}

TEST_F(CVarTest, DeclarationsAfterRegistrationAssertAndStayUnregistered)
{
    AssertRecorder recorder;
    CVar late(CVarType::Int, "test_late", 0, "5", "");
    EXPECT_TRUE(recorder.Saw("0"));
    EXPECT_EQ(recorder.Records().back().message, "CVar declared after RegisterCvars were called");
    EXPECT_EQ(CVar::FindVar("test_late"), nullptr);
    EXPECT_EQ(late.GetInt(), 0);
    // Set directly, it still works as a variable.
    EXPECT_TRUE(late.SetS("5"));
    EXPECT_EQ(late.GetInt(), 5);

    recorder.Clear();
    CVar broken(CVarType::Float, nullptr, 0, nullptr, nullptr, 0, 1);
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& r : recorder.Records())
        seen.emplace_back(r.expression, r.message);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"type == CVarType::Int", ""},
        {"name", "name can't be null"},
        {"defaultValue", "defaultValue can't be null"},
        {"desc", "description can't be null"},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_STREQ(broken.GetDefault(), "");
    EXPECT_STREQ(broken.GetDesc(), "");
    // A float keeps the float range, not the int range it was given.
    EXPECT_TRUE(broken.SetS("-7.5"));
    EXPECT_FLOAT_EQ(broken.GetFloat(), -7.5f);

    recorder.Clear();
    CVar empty(CVarType::Int, "", 0, "1", "");
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Records()[0].expression, "*name != 0");
    EXPECT_EQ(recorder.Records()[0].message, "name can't be empty");
}
