#include "Core/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Morvex;

namespace
{
std::vector<std::string> Tokens()
{
    uint32 count = 0;
    const StrView* tokens = CommandLine::GetTokens(count);
    std::vector<std::string> out;
    for (uint32 i = 0; i < count; ++i)
        out.emplace_back(tokens[i].data(), tokens[i].length());
    return out;
}

std::vector<std::vector<std::string>> Groups()
{
    uint32 tokenCount = 0;
    const StrView* tokens = CommandLine::GetTokens(tokenCount);
    uint32 count = 0;
    const CommandLine::Group* groups = CommandLine::GetGroups(count);
    std::vector<std::vector<std::string>> out;
    for (uint32 g = 0; g < count; ++g)
    {
        out.emplace_back();
        for (uint32 i = 0; i < groups[g].count; ++i)
        {
            const StrView& t = tokens[groups[g].first + i];
            out.back().emplace_back(t.data(), t.length());
        }
    }
    return out;
}

std::string Value(const char* name)
{
    StrView value("<none>");
    CommandLine::GetSwitchValue(name, value);
    return std::string(value.data(), value.length());
}

struct TokenizerCase
{
    const char* text;
    std::vector<std::string> tokens;
};

class CommandLineTokenizer : public testing::TestWithParam<TokenizerCase>
{
};
} // namespace

TEST_P(CommandLineTokenizer, SplitsTextIntoTokens)
{
    const TokenizerCase& c = GetParam();
    CommandLine::Set(String(c.text));
    EXPECT_EQ(Tokens(), c.tokens) << "text: " << c.text;
    // Every token is NUL-terminated in place.
    uint32 count = 0;
    const StrView* tokens = CommandLine::GetTokens(count);
    for (uint32 i = 0; i < count; ++i)
        EXPECT_EQ(tokens[i].data()[tokens[i].length()], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Table, CommandLineTokenizer,
    testing::Values(TokenizerCase{"prog.exe --id 42 --silent", {"prog.exe", "--id", "42", "--silent"}},
                    TokenizerCase{"--dump-path \"C:/a b/c\"", {"--dump-path", "C:/a b/c"}},
                    TokenizerCase{"--dump-path 'C:/a b/c'", {"--dump-path", "C:/a b/c"}},
                    TokenizerCase{"--name=\"a b\"", {"--name=", "a b"}},
                    TokenizerCase{"a\t\t b\r\n\nc   ", {"a", "b", "c"}},
                    TokenizerCase{"x \"\" y", {"x", "", "y"}},
                    TokenizerCase{"x \"unclosed rest of line", {"x", "unclosed rest of line"}},
                    TokenizerCase{"x 'it\"s' y", {"x", "it\"s", "y"}},
                    TokenizerCase{"a\"b c\"d", {"a", "b c", "d"}}, TokenizerCase{"", {}},
                    TokenizerCase{"   \t ", {}}, TokenizerCase{"\"", {""}}));

TEST(CommandLine, GroupsFollowSwitchTokens)
{
    CommandLine::Set(String("prog.exe --id 42 --silent"));
    EXPECT_EQ(Groups(), (std::vector<std::vector<std::string>>{{"prog.exe"}, {"--id", "42"}, {"--silent"}}));
    CommandLine::Set(String("--a x y +b -c"));
    EXPECT_EQ(Groups(), (std::vector<std::vector<std::string>>{{"--a", "x", "y"}, {"+b"}, {"-c"}}));
}

TEST(CommandLine, SwitchValueRules)
{
    struct Case
    {
        const char* text;
        const char* name;
        const char* value; // "<none>" when GetSwitchValue is false
    };
    const Case cases[] = {
        {"prog --comments -x", "--comments", "<none>"},
        {"prog --id --id 7", "--id", "7"},
        {"prog --id 1 --id 2", "--id", "1"},
        {"prog --id a b", "--id", "a"},
        {"prog --Silent", "--silent", "<none>"},
        {"prog --id", "--id", "<none>"},
        {"prog --id \"\"", "--id", ""},
        {"prog", "--id", "<none>"},
    };
    for (const Case& c : cases)
    {
        CommandLine::Set(String(c.text));
        EXPECT_EQ(Value(c.name), c.value) << c.text;
    }
}

TEST(CommandLine, HasSwitchMatchesAnyTokenExactly)
{
    CommandLine::Set(String("prog.exe --id --silent plain"));
    EXPECT_TRUE(CommandLine::HasSwitch("prog.exe"));
    EXPECT_TRUE(CommandLine::HasSwitch("plain"));
    EXPECT_TRUE(CommandLine::HasSwitch("--silent"));
    EXPECT_FALSE(CommandLine::HasSwitch("--Silent"));
    EXPECT_FALSE(CommandLine::HasSwitch("--sil"));
}

TEST(CommandLine, ArgvElementsAreTokensVerbatim)
{
    const char* argv[] = {
        "/usr/bin/CrashReporter", "--dump-path", "/tmp/a b", "--comments", "say \"hi\" 'x'", ""};
    CommandLine::SetTokens(6, argv);
    EXPECT_EQ(Tokens(), (std::vector<std::string>{"/usr/bin/CrashReporter", "--dump-path", "/tmp/a b",
                                                  "--comments", "say \"hi\" 'x'", ""}));
    EXPECT_EQ(Value("--dump-path"), "/tmp/a b");
    EXPECT_EQ(Value("--comments"), "say \"hi\" 'x'");
}

TEST(CommandLine, EmptyCommandLineAnswersFalse)
{
    CommandLine::SetTokens(0, nullptr);
    EXPECT_FALSE(CommandLine::HasSwitch(""));
    EXPECT_EQ(Value("--id"), "<none>");
    uint32 count = 7;
    CommandLine::GetTokens(count);
    EXPECT_EQ(count, 0u);
}
