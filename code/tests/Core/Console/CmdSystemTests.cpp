// The command system: script syntax (splitting, comments, quotes, expansion, tokens), aliases, the
// built-in commands and their texts, exec, wait, and the bounds that keep hostile scripts finite.

#include "ConsoleTestSupport.h"

#include "Core/CmdStringList.h"
#include "Core/IO/FileSystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::ConsoleTest;
using Morvex::Test::ProbeCalls;
using Morvex::Test::TempDir;
using Morvex::Test::Tokens;

namespace
{
CVar test_cmdStr(CVarType::String, "test_cmdStr", 0, "hello", "");
CVar test_cmdUrl(CVarType::String, "test_cmdUrl", CVAR_ARCHIVE, "none", "");
CVar test_cmdInt(CVarType::Int, "test_cmdInt", 0, "3", "");
CVar test_cmdWait(CVarType::Int, "test_cmdWait", 0, "20", "");
CVar test_cmdFloat(CVarType::Float, "test_cmdFloat", 0, "0", "");
CVar test_cmdColor(CVarType::Color, "test_cmdColor", 0, "0 0 0 0", "");
CVar test_cmdLocked(CVarType::Int, "test_cmdLocked", CVAR_READONLY, "9", "");

class CmdSystemTest : public ConsoleTest
{
protected:
    // A variable set to `start`, one command run, the text the variable must then hold.
    struct VarCase
    {
        CVar* var;
        const char* start;
        const char* command;
        const char* expected;
    };
    template <size_t N>
    void ExpectVarCases(const VarCase (&cases)[N])
    {
        for (const VarCase& c : cases)
        {
            c.var->SetS(c.start);
            Run(c.command);
            EXPECT_STREQ(c.var->GetS(), c.expected) << c.command << " from " << c.start;
        }
    }

    void SetUp() override
    {
        ConsoleTest::SetUp();
        for (CVar* var : {&test_cmdStr, &test_cmdUrl, &test_cmdInt, &test_cmdWait, &test_cmdFloat,
                          &test_cmdColor, &test_cmdLocked})
            var->SetS(var->GetDefault());
        // What the kernel's post-initialisation does in a program.
        CmdSystem::SetScriptFileReader(&FileSystem::ReadScriptFile, &FileSystem::FreeFileData);
    }
    void TearDown() override
    {
        CmdSystem::SetScriptFileReader(nullptr, nullptr);
        ConsoleTest::TearDown();
    }

    bool SawLevel(uint32 level, const std::string& text) const { return m_sink.Contains(level, text); }
};

struct ScriptCase
{
    const char* name;
    std::string script;
    std::vector<Tokens> calls;
};

void PrintTo(const ScriptCase& c, std::ostream* os)
{
    *os << c.name;
}

class ScriptSyntax : public CmdSystemTest, public testing::WithParamInterface<ScriptCase>
{
};
} // namespace

TEST_P(ScriptSyntax, SplitsExpandsAndTokenizes)
{
    const ScriptCase& c = GetParam();
    Run(c.script);
    EXPECT_EQ(ProbeCalls(), c.calls) << c.script;
    EXPECT_EQ(CmdSystem::GetNumPending(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScriptSyntax,
    testing::Values(
        ScriptCase{"words", "probe a b", {{"probe", "a", "b"}}},
        ScriptCase{"case_insensitive_name", "PROBE x", {{"PROBE", "x"}}},
        ScriptCase{"semicolon", "probe a;probe b", {{"probe", "a"}, {"probe", "b"}}},
        ScriptCase{"lines", "probe a\nprobe b\rprobe c", {{"probe", "a"}, {"probe", "b"}, {"probe", "c"}}},
        ScriptCase{"crlf", "probe a\r\nprobe b\r\n", {{"probe", "a"}, {"probe", "b"}}},
        ScriptCase{"quoted_semicolon", "probe \"a;b\" c", {{"probe", "a;b", "c"}}},
        ScriptCase{
            "hash_comment_with_semicolon", "probe a # c; probe b\nprobe d", {{"probe", "a"}, {"probe", "d"}}},
        ScriptCase{"slash_comment", "probe a // x; probe b", {{"probe", "a"}}},
        ScriptCase{"dash_comment", "probe a -- x", {{"probe", "a"}}},
        ScriptCase{"single_dash_and_slash", "probe a-b c/d", {{"probe", "a-b", "c/d"}}},
        ScriptCase{"comment_inside_word", "probe c--d", {{"probe", "c"}}},
        ScriptCase{"quoted_comment", "probe \"a # b // c\"", {{"probe", "a # b // c"}}},
        ScriptCase{"unquoted_url", "probe http://localhost:55080/submit", {{"probe", "http:"}}},
        ScriptCase{"quoted_url",
                   "probe \"http://localhost:55080/submit\"",
                   {{"probe", "http://localhost:55080/submit"}}},
        ScriptCase{"single_quotes_group", "probe 'a b' c", {{"probe", "a b", "c"}}},
        // Single quotes do not protect ";" from the splitter.
        ScriptCase{"single_quotes_split", "probe 'a;b'", {{"probe", "a"}}},
        ScriptCase{"quote_starts_token", "probe ab\"cd\"ef 'x'y", {{"probe", "ab", "cd", "ef", "x", "y"}}},
        ScriptCase{"empty_quotes", "probe \"\" ''", {{"probe", "", ""}}},
        ScriptCase{
            "unbalanced_quote", "probe \"a; probe b\nprobe c", {{"probe", "a; probe b"}, {"probe", "c"}}},
        ScriptCase{"tabs_and_runs", "\t probe \t a   b \t", {{"probe", "a", "b"}}},
        ScriptCase{"only_separators_and_comments", " ;;\n\n\t; # x\n// y\n-- z", {}},
        ScriptCase{"unknown_command", "nosuch a; probe b", {{"probe", "b"}}},
        ScriptCase{"substitution", "probe $(test_cmdStr) x$(TEST_CMDSTR)y", {{"probe", "hello", "xhelloy"}}},
        ScriptCase{"substitution_of_number", "probe $(test_cmdInt)", {{"probe", "3"}}},
        ScriptCase{"unknown_substitution", "probe $(nosuch) $()", {{"probe", "$(nosuch)", "$()"}}},
        ScriptCase{"no_substitution_in_quotes", "probe \"$(test_cmdStr)\"", {{"probe", "$(test_cmdStr)"}}},
        ScriptCase{"unclosed_substitution", "probe a $(test_cmdStr b", {{"probe", "a", "$("}}},
        ScriptCase{"substitutions_do_not_nest", "probe $($(test_cmdStr))", {{"probe", "$($(test_cmdStr))"}}},
        ScriptCase{
            "comment_after_substitution", "probe $(test_cmdStr) # $(test_cmdInt)", {{"probe", "hello"}}},
        ScriptCase{"binary_bytes", "probe \x01\xff\x7f\x80;\xfe\xfd probe", {{"probe", "\x01\xff\x7f\x80"}}},
        ScriptCase{
            "nul_is_a_character", std::string("probe a\0b;probe c", 17), {{"probe", "a"}, {"probe", "c"}}}),
    [](const testing::TestParamInfo<ScriptCase>& info) { return std::string(info.param.name); });

TEST_F(CmdSystemTest, SetStoresUnquotedUrlOnlyUpToTheComment)
{
    Run("set test_cmdUrl http://localhost:55080/submit");
    EXPECT_STREQ(test_cmdUrl.GetS(), "http:");
    Run("set test_cmdUrl \"http://localhost:55080/submit\"");
    EXPECT_STREQ(test_cmdUrl.GetS(), "http://localhost:55080/submit");
}

TEST_F(CmdSystemTest, SetAndSeta)
{
    Run("set test_cmdInt 5; set test_cmdStr \"a;b\"");
    EXPECT_EQ(test_cmdInt.GetInt(), 5);
    EXPECT_STREQ(test_cmdStr.GetS(), "a;b");
    // Without a value: back to the default.
    Run("set test_cmdInt");
    EXPECT_EQ(test_cmdInt.GetInt(), 3);
    // A substitution copies another variable's text.
    Run("set test_cmdInt $(test_cmdWait)");
    EXPECT_EQ(test_cmdInt.GetInt(), 20);
    Run("SET Test_CmdInt 8");
    EXPECT_EQ(test_cmdInt.GetInt(), 8);

    EXPECT_EQ(test_cmdStr.GetFlags() & CVAR_ARCHIVE, 0u);
    Run("seta test_cmdStr archived");
    EXPECT_STREQ(test_cmdStr.GetS(), "archived");
    EXPECT_NE(test_cmdStr.GetFlags() & CVAR_ARCHIVE, 0u);
}

TEST_F(CmdSystemTest, SetErrors)
{
    std::vector<uint32> flagsBefore;
    for (uint32 i = 0; i < CVar::GetNumCvars(); ++i)
        flagsBefore.push_back(CVar::GetCvar(i)->GetFlags());

    Run("set nosuch 1");
    EXPECT_TRUE(SawLevel(Log::Error, "cvar 'nosuch' not found"));
    Run("seta NoSuch 1");
    EXPECT_TRUE(SawLevel(Log::Error, "cvar 'NoSuch' not found"));
    for (uint32 i = 0; i < CVar::GetNumCvars(); ++i)
        EXPECT_EQ(CVar::GetCvar(i)->GetFlags(), flagsBefore[i]) << CVar::GetCvar(i)->GetName();

    Run("set TEST_CMDLOCKED 1");
    EXPECT_TRUE(SawLevel(Log::Error, "Can't change 'TEST_CMDLOCKED'. Keeping previous value '9'"));
    Run("seta test_cmdLocked 1");
    EXPECT_EQ(test_cmdLocked.GetInt(), 9);
    EXPECT_EQ(test_cmdLocked.GetFlags() & CVAR_ARCHIVE, 0u);

    ClearOutput();
    Run("set; set a b c; seta");
    EXPECT_EQ(ConsoleOutput(),
              (std::vector<std::string>{"usage: /set <cvar> [value]\n", "usage: /set <cvar> [value]\n",
                                        "usage: /seta <cvar> [value]\n"}));
}

TEST_F(CmdSystemTest, EchoPrintsEachArgument)
{
    Run("echo one \"two three\" 'four'");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"one ", "two three ", "four "}));
    ClearOutput();
    // The comment holds a ";" and a second echo: it runs to the end of the line.
    Run("echo word # note; echo hidden\necho next");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"word ", "next "}));
}

TEST_F(CmdSystemTest, AliasRunsBeforeTheRestOfTheBuffer)
{
    Run("alias both \"echo one; echo two\"\nboth; echo three");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"one ", "two ", "three "}));

    ClearOutput();
    // Only the first value token counts; names are case-sensitive.
    Run("alias Hi \"probe x\" ignored\nhi\nHi");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "x"}}));
    Run("alias Hi");
    Run("alias hi");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"Hi ^5: probe x", "alias not found"}));

    // Redefining keeps one record and replaces the value.
    Run("alias Hi \"probe y\"; Hi");
    EXPECT_EQ(CmdSystem::GetNumAliases(), 2u);
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "y"}));
}

TEST_F(CmdSystemTest, AliasListUnaliasAndLimits)
{
    Run("alias a1 \"echo 1\"; alias b2 \"echo 2\"; alias a3 \"echo 3\"");
    ClearOutput();
    Run("aliasList");
    EXPECT_EQ(ConsoleOutput(),
              (std::vector<std::string>{"a1 ^5: echo 1", "b2 ^5: echo 2", "a3 ^5: echo 3", "3 aliases"}));
    ClearOutput();
    Run("aliasList A");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"a1 ^5: echo 1", "a3 ^5: echo 3", "2 aliases"}));

    // Removal keeps the order and the index of the records after it.
    Run("unalias a1; unalias nosuch; a3; b2");
    EXPECT_EQ(CmdSystem::GetNumAliases(), 2u);
    ClearOutput();
    Run("a3; b2; a1");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"3 ", "2 "}));
    ClearOutput();
    Run("unalias; unalias a b; alias");
    EXPECT_EQ(ConsoleOutput(),
              (std::vector<std::string>{"usage: /unalias <alias>\n", "usage: /unalias <alias>\n",
                                        "usage: /alias <name> [<value>]"}));

    Run("alias \"\" x");
    EXPECT_TRUE(SawLevel(Log::Warning, "Empty alias name"));

    CmdSystem::RemoveAllAliases();
    std::string script;
    for (int i = 0; i < 130; ++i)
        script += "alias n" + std::to_string(i) + " \"probe " + std::to_string(i) + "\"\n";
    Run(script + "n127; n128; n129");
    EXPECT_EQ(CmdSystem::GetNumAliases(), 128u);
    EXPECT_EQ(m_sink.CountContaining("Max number of aliases is exceeded"), 2u);
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "127"}}));
}

TEST_F(CmdSystemTest, ToggleCycles)
{
    const VarCase cases[] = {
        {&test_cmdInt, "3", "toggle test_cmdInt 1 2 3", "1"},
        {&test_cmdInt, "7", "toggle test_cmdInt 1 2 3", "1"},
        {&test_cmdInt, "1", "toggle test_cmdInt 1 2 3", "2"},
        {&test_cmdInt, "2", "toggle test_cmdInt 1 2 3", "3"},
        {&test_cmdInt, "0", "toggle test_cmdInt", "1"},
        {&test_cmdInt, "5", "toggle test_cmdInt", "0"},
        {&test_cmdFloat, "0", "toggle test_cmdFloat", "1"},
        {&test_cmdFloat, "0.5", "toggle test_cmdFloat", "0"},
        {&test_cmdFloat, "0.5", "toggle test_cmdFloat 0.25 0.5 0.75", "0.75"},
        {&test_cmdStr, "x", "toggle test_cmdStr", "x"},
        {&test_cmdStr, "low", "toggle test_cmdStr low high", "high"},
        {&test_cmdStr, "high", "toggle test_cmdStr low high", "low"},
        {&test_cmdColor, "1 2 3 4", "toggle test_cmdColor \"1 2 3 4\" \"5 6 7 8\"", "5 6 7 8"},
    };
    ExpectVarCases(cases);

    Run("toggle test_cmdColor");
    EXPECT_TRUE(SawLevel(Log::Error, "/toggle test_cmdColor: unsupported cvar type"));
    Run("toggle nosuch");
    EXPECT_TRUE(SawLevel(Log::Error, "Can't find cvar 'nosuch'"));
    Run("toggle test_cmdLocked");
    EXPECT_TRUE(SawLevel(Log::Error, "Can't change 'test_cmdLocked'. Returning previous value \"9\"\n"));
    EXPECT_EQ(test_cmdLocked.GetInt(), 9);
    ClearOutput();
    Run("toggle");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"usage: /toggle <cvar> <values...>"}));
}

TEST_F(CmdSystemTest, IncVarCycles)
{
    const VarCase cases[] = {
        {&test_cmdInt, "8", "incVar test_cmdInt 0 10 5", "0"},
        {&test_cmdInt, "2", "incVar test_cmdInt 0 10 -5", "10"},
        {&test_cmdInt, "4", "incVar test_cmdInt 0 10", "5"},
        {&test_cmdInt, "10", "incVar test_cmdInt 0 10", "0"},
        // No overflow at the edge of the int range.
        {&test_cmdInt, "2147483647", "incVar test_cmdInt 0 2147483647 1", "0"},
        {&test_cmdFloat, "0.5", "incVar test_cmdFloat 0 1 0.25", "0.75"},
        {&test_cmdFloat, "0.9", "incVar test_cmdFloat 0 1 0.25", "0"},
        {&test_cmdFloat, "0.1", "incVar test_cmdFloat 0 1 -0.25", "1"},
    };
    ExpectVarCases(cases);
    Run("incVar test_cmdStr 0 1");
    EXPECT_TRUE(SawLevel(Log::Error, "Only int/float cvars are supported"));
    Run("incVar nosuch 0 1");
    EXPECT_TRUE(SawLevel(Log::Error, "Can't find cvar 'nosuch'"));
    Run("incVar test_cmdLocked 0 10");
    EXPECT_EQ(test_cmdLocked.GetInt(), 9);
    EXPECT_TRUE(SawLevel(Log::Error, "Can't change 'test_cmdLocked'. Returning previous value \"9\"\n"));
    ClearOutput();
    Run("incVar test_cmdInt 0; incVar test_cmdInt 0 1 2 3");
    EXPECT_EQ(ConsoleOutput(),
              (std::vector<std::string>(2, "usage: incVar <cvar> <startValue> <endValue> [<step>]")));
}

TEST_F(CmdSystemTest, ListsFilterIgnoringCase)
{
    Run("cmdList");
    std::vector<std::string> all = ConsoleOutput();
    ASSERT_EQ(all.size(), CmdSystem::GetNumCommands() + 1);
    EXPECT_EQ(all.back(), "\n" + std::to_string(CmdSystem::GetNumCommands()) + " commands");
    for (const char* name : {"set", "seta", "toggle", "incVar", "alias", "unalias", "aliasList", "cmdList",
                             "cvarList", "echo", "exec", "wait", "uptime", "quit", "crash", "probe"})
        EXPECT_NE(std::find(all.begin(), all.end(), name), all.end()) << name;

    ClearOutput();
    Run("cmdList zzzz");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"\n0 commands"}));
    ClearOutput();
    Run("cmdList ALIAS");
    // Registration follows the declaration list, which holds the newest declaration first.
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"aliasList", "unalias", "alias", "\n3 commands"}));

    ClearOutput();
    Run("cvarList TEST_CMDS");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"test_cmdStr ^5= \"hello\"", "\n1 cvars"}));
    ClearOutput();
    Run("cvarList");
    EXPECT_EQ(ConsoleOutput().size(), CVar::GetNumCvars() + 1);
}

TEST_F(CmdSystemTest, WaitStopsTheScriptUntilTheFrameAdvances)
{
    Run("probe a; wait; probe b\nprobe c");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "a"}}));
    EXPECT_EQ(CmdSystem::GetWaitFrame(), 1u);
    EXPECT_EQ(CmdSystem::GetNumPending(), 1u);
    // Without a frame loop the rest never runs.
    CmdSystem::Execute();
    EXPECT_EQ(ProbeCalls().size(), 1u);

    CmdSystem::SetFrameNumber(1);
    Run("wait 3; probe d");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "a"}, {"probe", "b"}, {"probe", "c"}}));
    EXPECT_EQ(CmdSystem::GetWaitFrame(), 4u);
    CmdSystem::SetFrameNumber(4);
    CmdSystem::Execute();
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "d"}));

    // A count that would pass the end of the frame counter pauses for good instead of wrapping.
    Run("wait 4294967295; probe e");
    EXPECT_EQ(CmdSystem::GetWaitFrame(), 0xFFFFFFFFu);
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "d"}));
}

TEST_F(CmdSystemTest, LongCommandsAreCut)
{
    // The first 1023 characters run; the 1024th is dropped; the rest is the next command.
    std::string first = "probe " + std::string(1017, 'a');
    std::string rest = "probe " + std::string(470, 'b');
    ASSERT_EQ(first.size(), 1023u);
    Run(first + "Q" + rest);
    EXPECT_EQ(ProbeCalls(),
              (std::vector<Tokens>{{"probe", std::string(1017, 'a')}, {"probe", std::string(470, 'b')}}));

    // Exactly 1023 characters run whole; the cut applies inside quotes and comments too.
    Morvex::Test::ClearProbe();
    Run("probe \"" + std::string(1015, 'c') + "\"\nprobe \"" + std::string(1100, 'd') + "\"");
    ASSERT_EQ(ProbeCalls().size(), 2u);
    EXPECT_EQ(ProbeCalls()[0][1], std::string(1015, 'c'));
    EXPECT_EQ(ProbeCalls()[1][1], std::string(1016, 'd'));

    // A 100 000-character line finishes.
    Morvex::Test::ClearProbe();
    Run(std::string(100000, 'x') + "\nprobe end");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "end"}}));
}

TEST_F(CmdSystemTest, SelfInvokingAliasIsBounded)
{
    Run("alias loop \"probe x; loop\"\nloop; probe after");
    EXPECT_EQ(ProbeCalls().size(), CmdSystem::kMaxExpansionsPerExecute + 1);
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "after"}));
    EXPECT_TRUE(SawLevel(Log::Warning, "ignoring alias 'loop'"));
    EXPECT_EQ(CmdSystem::GetNumPending(), 0u);

    // Each Execute call gets the full allowance again.
    Morvex::Test::ClearProbe();
    Run("loop");
    EXPECT_EQ(ProbeCalls().size(), CmdSystem::kMaxExpansionsPerExecute);

    // Doubling aliases end as well (the buffer limit and the allowance both hold).
    Run("alias twice \"twice; twice\"\ntwice\nprobe done");
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "done"}));
    EXPECT_EQ(CmdSystem::GetNumPending(), 0u);
}

TEST_F(CmdSystemTest, ExecRunsFilesAfterWhatIsBuffered)
{
    TempDir dir;
    dir.WriteFile("script.cfg", "\xEF\xBB\xBFprobe one\r\nset test_cmdInt 12\r\nprobe two");
    dir.WriteFile("nul.cfg", std::string("probe before\nprobe\0after\nprobe hidden", 37));
    dir.WriteFile("bom_only.cfg", "\xEF\xBB");
    std::string path = dir.Join("script.cfg");

    Run("exec " + path + "\nprobe first");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "first"}, {"probe", "one"}, {"probe", "two"}}));
    EXPECT_EQ(test_cmdInt.GetInt(), 12);
    if (!Platform_IsDebuggerPresent())
    {
        EXPECT_TRUE(SawLevel(Log::Console, "executing '" + path + "'"));
    }

    Morvex::Test::ClearProbe();
    Run("exec " + dir.Join("nul.cfg"));
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "before"}, {"probe"}}));

    // Backslashes are accepted as separators.
    Morvex::Test::ClearProbe();
    std::string backslashed = path;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    Run("exec \"" + backslashed + "\"");
    EXPECT_EQ(ProbeCalls().size(), 2u);

    // Two bytes of a byte-order mark are not one; they are kept (and are no command).
    Run("exec " + dir.Join("bom_only.cfg"));

    ClearOutput();
    Run("exec " + dir.Join("missing.cfg") + "; exec " + dir.Path() + "; exec; exec a b");
    EXPECT_EQ(ConsoleOutput(),
              (std::vector<std::string>{"Failed to read file '" + dir.Join("missing.cfg") + "'",
                                        "Failed to read file '" + dir.Path() + "'", "usage: /exec <filename>",
                                        "usage: /exec <filename>"}));
}

TEST_F(CmdSystemTest, ExecFindsRelativeNamesThroughTheSearchDirectories)
{
    TempDir dir;
    dir.WriteFile("relative.cfg", "probe found");
    ASSERT_GE(FileSystem::AddSearchDirectory(dir.Path().c_str()), 0);
    Run("exec relative.cfg");
    FileSystem::ClearSearchPaths();
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "found"}}));

    // A name too long for a path is refused rather than cut to some other name.
    std::string tooLong = dir.Path() + "/" + std::string(300, 'n');
    Run("exec " + tooLong);
    EXPECT_TRUE(SawLevel(Log::Console, "Failed to read file '" + tooLong + "'"));
}

TEST_F(CmdSystemTest, ExecOfAFifoDoesNotBlock)
{
    TempDir dir;
    std::string fifo = dir.Join("pipe.cfg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Run("exec " + fifo + "; probe next");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "next"}}));
}

TEST_F(CmdSystemTest, ScriptThatExecsItselfIsBounded)
{
    TempDir dir;
    std::string path = dir.Join("self.cfg");
    dir.WriteFile("self.cfg", "probe again\nexec " + path + "\n");
    Run("exec " + path + "\nprobe after");
    EXPECT_EQ(ProbeCalls().front(), (Tokens{"probe", "after"}));
    EXPECT_EQ(ProbeCalls().size(), CmdSystem::kMaxExpansionsPerExecute + 1);
    EXPECT_TRUE(SawLevel(Log::Warning, "ignoring exec '" + path + "'"));
    EXPECT_EQ(CmdSystem::GetNumPending(), 0u);
}

TEST_F(CmdSystemTest, ManyPendingTextsAreDroppedWithAWarning)
{
    for (int i = 0; i < 600; ++i)
        CmdSystem::AddText(("probe " + std::to_string(i)).c_str());
    EXPECT_EQ(CmdSystem::GetNumPending(), CmdStringList::kMaxStrings);
    EXPECT_EQ(
        m_sink.CountContaining("CmdStringList::Insert: too many strings in the buffer, ignoring 'probe "),
        88u);
    CmdSystem::Execute();
    ASSERT_EQ(ProbeCalls().size(), 512u);
    EXPECT_EQ(ProbeCalls().back(), (Tokens{"probe", "511"}));

    // Thousands of commands in one text are one pending entry.
    Morvex::Test::ClearProbe();
    std::string script;
    for (int i = 0; i < 5000; ++i)
        script += "probe " + std::to_string(i) + ";";
    Run(script);
    EXPECT_EQ(ProbeCalls().size(), 5000u);
}

TEST_F(CmdSystemTest, UptimeQuitAndCrashAssert)
{
    CmdSystem::SetElapsedSeconds(3723.4565);
    CmdSystem::SetFrameNumber(17);
    Run("uptime; quit");
    EXPECT_EQ(ConsoleOutput(), (std::vector<std::string>{"uptime 1:02:03.456 frame 17"}));

    AssertRecorder recorder;
    Run("crash assert; crash ASSERT; probe still");
    ASSERT_EQ(recorder.Count(), 2u);
    EXPECT_EQ(recorder.Records()[0].expression, "0 > 1");
    EXPECT_EQ(ProbeCalls(), (std::vector<Tokens>{{"probe", "still"}}));
}

using CmdSystemDeathTest = CmdSystemTest;

TEST_F(CmdSystemDeathTest, CrashWithoutAssertEndsTheProcess)
{
    for (const char* command : {"crash", "crash io", "crash other"})
    {
        EXPECT_DEATH(
            {
                CmdSystem::AddText(command);
                CmdSystem::Execute();
            },
            "")
            << command;
    }
}

TEST_F(CmdSystemTest, InitTwiceOnlyWarns)
{
    uint32 commands = CmdSystem::GetNumCommands();
    uint32 cvars = CVar::GetNumCvars();
    CmdSystem::Init();
    EXPECT_TRUE(SawLevel(Log::Warning, "Don't call CmdSystem::Init() more than once"));
    EXPECT_EQ(CmdSystem::GetNumCommands(), commands);
    EXPECT_EQ(CVar::GetNumCvars(), cvars);
}

TEST(CmdStringListTest, ShortTextsUseSlotsAndLongOnesTheHeap)
{
    auto list = std::make_unique<CmdStringList>();
    EXPECT_TRUE(list->PushBack(std::string(128, 's').c_str(), 128));
    EXPECT_TRUE(list->PushBack(std::string(129, 'h').c_str(), 129));
    EXPECT_TRUE(list->IsInSlot(0));
    EXPECT_FALSE(list->IsInSlot(1));
    EXPECT_EQ(list->GetNumFreeSlots(), CmdStringList::kNumPreallocStrings - 1);

    // When every slot is taken, short texts go to the heap too.
    for (uint32 i = 1; i < CmdStringList::kNumPreallocStrings; ++i)
        EXPECT_TRUE(list->PushBack("x", 1));
    EXPECT_EQ(list->GetNumFreeSlots(), 0u);
    EXPECT_TRUE(list->PushFront("front", 5));
    EXPECT_FALSE(list->IsInSlot(0));
    EXPECT_EQ(list->Front(), StrView("front"));
    EXPECT_EQ(list->GetNumStrings(), CmdStringList::kNumPreallocStrings + 2);

    // Consuming moves through the first text, then drops it.
    list->ConsumeFront(2);
    EXPECT_EQ(list->Front(), StrView("ont"));
    EXPECT_EQ(list->Front().data()[3], 0);
    list->ConsumeFront(3);
    EXPECT_EQ(list->Front(), StrView(std::string(128, 's').c_str()));

    list->Clear();
    EXPECT_TRUE(list->IsEmpty());
    EXPECT_EQ(list->GetNumFreeSlots(), CmdStringList::kNumPreallocStrings);
    EXPECT_EQ(list->Front(), StrView());
}

TEST(CmdStringListTest, KeepsOrderAtBothEndsUpToTheLimit)
{
    Morvex::Test::CapturingSink sink;
    auto list = std::make_unique<CmdStringList>();
    for (uint32 i = 0; i < CmdStringList::kMaxStrings; ++i)
    {
        std::string text = std::to_string(i);
        if (i % 2 == 0)
            EXPECT_TRUE(list->PushBack(text.c_str(), static_cast<uint32>(text.size())));
        else
            EXPECT_TRUE(list->PushFront(text.c_str(), static_cast<uint32>(text.size())));
    }
    EXPECT_FALSE(list->PushBack("late", 4));
    EXPECT_FALSE(list->PushFront(nullptr, 0));
    EXPECT_TRUE(sink.Contains(Log::Warning,
                              "CmdStringList::Insert: too many strings in the buffer, ignoring 'late'"));
    // Fronts are the odd numbers, newest first, then the even ones in order.
    EXPECT_EQ(list->Get(0), StrView("511"));
    EXPECT_EQ(list->Get(255), StrView("1"));
    EXPECT_EQ(list->Get(256), StrView("0"));
    EXPECT_EQ(list->Get(511), StrView("510"));
    EXPECT_EQ(list->Get(512), StrView());
    // Freed nodes and slots are reused.
    list->PopFront();
    EXPECT_TRUE(list->PushBack("again", 5));
    EXPECT_EQ(list->Get(511), StrView("again"));
}

TEST(CmdStringListTest, SlotSearchStartsAtTheLastReleasedAndWraps)
{
    auto list = std::make_unique<CmdStringList>();
    std::vector<const char*> slots;
    for (uint32 i = 0; i < CmdStringList::kNumPreallocStrings; ++i)
    {
        ASSERT_TRUE(list->PushBack("t", 1));
        slots.push_back(list->Get(i).data());
    }
    list->PopFront(); // releases the first slot
    list->PopFront(); // releases the second, now the last released
    ASSERT_TRUE(list->PushBack("x", 1));
    EXPECT_EQ(list->Get(list->GetNumStrings() - 1).data(), slots[1]);
    ASSERT_TRUE(list->PushBack("y", 1));
    EXPECT_EQ(list->Get(list->GetNumStrings() - 1).data(), slots[0]);
    EXPECT_EQ(list->GetNumFreeSlots(), 0u);

    // Released in the middle of a later word of the map.
    for (uint32 i = 0; i < 200; ++i)
        list->PopFront();
    ASSERT_TRUE(list->PushBack("z", 1));
    EXPECT_EQ(list->Get(list->GetNumStrings() - 1).data(), slots[201]);
}
