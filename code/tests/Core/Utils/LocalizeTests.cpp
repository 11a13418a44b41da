#include "Core/Utils/Localize.h"

#include "Core/IO/FileSystem.h"
#include "Core/Utils/StackTrace.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;
using Morvex::Test::TempDir;

namespace
{
// Every test starts from empty tables, the default variables and no unknown-key reports.
class LocalizeTest : public testing::Test
{
protected:
    void SetUp() override
    {
        Localize::Shutdown();
        m_vars.Set(cl_language, "");
        m_vars.Set(cl_supportedLanguages, cl_supportedLanguages.GetDefault());
        m_vars.Set(Localize_LogUnknownStrings, "0");
        m_vars.Set(Localize_LogUnknownStringsStackDepth, "0");
        Localize::SetLanguage(kEnglish, true);
    }
    void TearDown() override
    {
        Localize::Shutdown();
        Localize::SetLanguage(kEnglish, true);
    }

    Morvex::Test::ScopedCVars m_vars;

    static std::string Get(const char* key, uint32 id = kEnglish)
    {
        return Localize::GetString(StrView(key), id);
    }
};

// Sets (or unsets, for null) an environment variable for the life of the object.
class ScopedEnv
{
public:
    ScopedEnv(const char* name, const char* value) : m_name(name)
    {
        if (const char* old = std::getenv(name))
            m_old = std::string(old);
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (m_old)
            setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    std::optional<std::string> m_old;
};
} // namespace

// ---------------------------------------------------------------------------------------------
// String-table grammar

TEST_F(LocalizeTest, GrammarTable)
{
    struct Case
    {
        const char* name;
        const char* text;
        const char* key;
        const char* expected; // null: the key is absent
    };
    const Case cases[] = {
        {"double-quoted pair", "\"A\" \"hello\"", "A", "hello"},
        {"single-quoted value, trailing comment", "\"A\" 'hello' trailing comment", "A", "hello"},
        {"comment with a single quote cuts there", "\"A\" 'hello' don't", "A", "hello' don"},
        {"missing closing quote keeps the line", "\"A\" \"to the end   \nnext line", "A", "to the end   "},
        {"single-quoted value holds double quotes", "'A' 'say \"hi\"'", "A", "say \"hi\""},
        {"escapes", "\"A\" \"x\\ny\\tz \\\"q\\\" \\'s\\'\"", "A", "x\ny\tz \"q\" 's'"},
        {"escaped closing quote is text", "\"A\" \"ab\\\"\"", "A", "ab\""},
        {"malformed escape stays as written", "\"A\" \"a\\xb\"", "A", "a\\xb"},
        {"backslash at the line end stays", "\"A\" \"ab\\\n", "A", "ab\\"},
        {"blank lines and comments", "# header line\n\n  ; more\n\"A\" \"v\"\n", "A", "v"},
        {"value on a later line", "\"A\"\n\n  \"v\"", "A", "v"},
        {"key across lines", "\"two\nlines\" \"v\"", "two\nlines", "v"},
        {"key lookup ignores case", "\"MixedKey\" \"v\"", "mixedkey", "v"},
        {"CRLF line ends", "\"A\" \"one\"\r\n\"B\" \"two\"\r\n", "B", "two"},
        {"CRLF without closing quote", "\"A\" \"one\r\n\"B\" \"two\"\r\n", "A", "one"},
        {"empty value", "\"A\" \"\"", "A", ""},
        {"UTF-8 text", "\"A\" \"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82\"", "A",
         "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82"},
        {"unclosed key ignores the rest", "\"A\" \"v\"\n\"broken \"", "broken ", nullptr},
        {"key without value", "\"A\"   \n", "A", nullptr},
        {"text after the value's line starts afresh", "\"A\" \"v\" \"B\" \"w\"\n\"C\" \"x\"", "C", "x"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Localize::Shutdown();
        Localize::LoadText(kEnglish, "grammar.txt", StrView(c.text));
        int64 uses = Localize::GetUseCount(kEnglish, StrView(c.key));
        if (c.expected == nullptr)
            EXPECT_EQ(uses, -1);
        else
        {
            ASSERT_GE(uses, 0);
            EXPECT_EQ(Get(c.key), c.expected);
        }
    }
}

TEST_F(LocalizeTest, TextAfterTheValueLineIsDropped)
{
    // The second pair shares the first pair's line, so it is not read at all.
    Localize::LoadText(kEnglish, "t.txt", StrView("\"A\" \"v\" \"B\" \"w\"\n\"C\" \"x\""));
    EXPECT_EQ(Get("A"), "v\" \"B\" \"w");
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("B")), -1);
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 2u);
}

TEST_F(LocalizeTest, MalformedEscapeReportsLanguageKeyAndPosition)
{
    struct Case
    {
        const char* text;
        uint32 language;
        const char* message;
    };
    const Case cases[] = {
        {"\"K\" \"\\x\"", kEnglish, "Malformed english language string 'K', invalid character at position 2"},
        {"\"K\" \"ab\\x\"", kEnglish,
         "Malformed english language string 'K', invalid character at position 4"},
        // Multi-byte characters count once; an earlier escape counts as its two characters.
        {"\"K\" \"\xC3\xA9\xE2\x82\xAC\\x\"", 5,
         "Malformed russian language string 'K', invalid character at position 4"},
        {"\"K\" \"\\n\\x\"", 1, "Malformed german language string 'K', invalid character at position 4"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        CapturingSink sink;
        Localize::LoadText(c.language, "m.txt", StrView(c.text));
        EXPECT_TRUE(sink.Contains(Log::Error, c.message));
        EXPECT_EQ(sink.CountContaining("Malformed"), 1u);
    }
}

TEST_F(LocalizeTest, LaterPairReplacesValueButKeepsPositionAndUseCount)
{
    Localize::LoadText(kEnglish, "a.txt", StrView("\"A\" \"first\"\n\"B\" \"b\""));
    EXPECT_EQ(Get("A"), "first");
    Localize::LoadText(kEnglish, "b.txt", StrView("\"a\" \"second\""));
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 2u);
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("A")), 1);
    EXPECT_EQ(Get("A"), "second");
}

// An over-long pair would overflow the 16-bit lengths; it is skipped with an Error naming the file
// and the key, and the rest of the file still loads.
TEST_F(LocalizeTest, OverLongPairsAreSkippedAndTheRestLoads)
{
    const std::string longValue(65535, 'v');
    const std::string longKey(65535, 'k');
    const std::string text = "\"FIRST\" \"1\"\n\"LONG_VALUE\" \"" + longValue + "\"\n\"" + longKey +
                             "\" \"x\"\n\"MAX_VALUE\" \"" + std::string(65534, 'm') + "\"\n\"LAST\" \"2\"\n";
    AssertRecorder asserts;
    CapturingSink sink;
    Localize::LoadText(kEnglish, "strings/english/long.txt", StrView(text.data(), uint32(text.size())));
    EXPECT_EQ(asserts.Count(), 0u);
    EXPECT_EQ(Get("FIRST"), "1");
    EXPECT_EQ(Get("LAST"), "2");
    EXPECT_EQ(Get("MAX_VALUE").size(), 65534u);
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("LONG_VALUE")), -1);
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 3u);
    size_t errors = 0;
    for (const auto& line : sink.Lines())
        if (line.level == Log::Error && line.text.find("strings/english/long.txt") != std::string::npos)
            ++errors;
    EXPECT_EQ(errors, 2u);
    EXPECT_TRUE(sink.Contains(Log::Error, "'LONG_VALUE'"));
    EXPECT_TRUE(sink.Contains(Log::Error, "'" + std::string(63, 'k') + "'"));
}

// ---------------------------------------------------------------------------------------------
// Files and folders

TEST_F(LocalizeTest, FolderLoadsSortedTextFilesLaterOverridingEarlier)
{
    TempDir dir;
    dir.WriteFile("b.txt", "\"A\" \"from b\"\n");
    dir.WriteFile("a.txt", "\"A\" \"from a\"\n\"B\" \"only a\"\n");
    dir.WriteFile("c.cfg", "\"C\" \"not a table\"\n");
    {
        CapturingSink sink;
        Localize::LoadLanguage(kEnglish, StrView(dir.Path().c_str()));
        EXPECT_TRUE(sink.Lines().empty());
    }
    EXPECT_EQ(Get("A"), "from b");
    EXPECT_EQ(Get("B"), "only a");
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("C")), -1);
}

// A relative folder is looked up in every search directory; a file present in several of them is
// read from the most recently added one only.
TEST_F(LocalizeTest, RelativeFolderThroughSearchDirectories)
{
    TempDir older;
    TempDir newer;
    older.WriteFile("strings/german/a.txt", "\"A\" \"old a\"\n\"ONLY_OLD\" \"x\"\n");
    older.WriteFile("strings/german/c.txt", "\"C\" \"c\"\n");
    newer.WriteFile("strings/german/a.txt", "\"A\" \"new a\"\n");
    newer.WriteFile("strings/german/b.txt", "\"B\" \"b\"\n\"C\" \"from b\"\n");
    ASSERT_GE(FileSystem::AddSearchDirectory(StrView(older.Path().c_str())), 0);
    ASSERT_GE(FileSystem::AddSearchDirectory(StrView(newer.Path().c_str())), 0);
    Localize::LoadLanguage(1, StrView("strings/german"));
    FileSystem::ClearSearchPaths();
    EXPECT_EQ(Get("A", 1), "new a");
    EXPECT_EQ(Localize::GetUseCount(1, StrView("ONLY_OLD")), -1);
    EXPECT_EQ(Get("B", 1), "b");
    EXPECT_EQ(Get("C", 1), "c"); // c.txt sorts after b.txt and overrides it
}

TEST_F(LocalizeTest, MissingFolderAndUnreadableFile)
{
    TempDir dir;
    {
        CapturingSink sink;
        Localize::LoadLanguage(kEnglish, StrView((dir.Path() + "/nothing-here").c_str()));
        Localize::LoadLanguage(kEnglish, StrView(dir.Path().c_str())); // no "*.txt" in it
        EXPECT_TRUE(sink.Lines().empty());
    }
    CapturingSink sink;
    const std::string missing = dir.Join("missing.txt");
    EXPECT_FALSE(Localize::LoadFile(kEnglish, missing.c_str()));
    EXPECT_TRUE(sink.Contains(Log::Warning, "Localize::Load: can't load '" + missing + "'"));
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 0u);
}

TEST_F(LocalizeTest, ReloadRereadsFoldersAndKeepsUnknownKeys)
{
    TempDir dir;
    dir.WriteFile("t.txt", "\"A\" \"old\"\n\"B\" \"b\"\n");
    Localize::LoadLanguage(5, StrView(dir.Path().c_str()));
    EXPECT_EQ(Get("A", 5), "old");
    EXPECT_EQ(Get("MISSING", 5), "MISSING");
    dir.WriteFile("t.txt", "\"A\" \"new\"\n");
    Localize::CmdReloadStrings(CmdArgs{});
    EXPECT_EQ(Localize::GetUseCount(5, StrView("A")), 0);
    EXPECT_EQ(Get("A", 5), "new");
    EXPECT_EQ(Localize::GetUseCount(5, StrView("B")), -1);
    EXPECT_EQ(Localize::GetUnknownCount(5, StrView("MISSING")), 1u);
}

TEST_F(LocalizeTest, ShutdownEmptiesEverything)
{
    TempDir dir;
    dir.WriteFile("t.txt", "\"A\" \"a\"\n");
    Localize::LoadLanguage(kEnglish, StrView(dir.Path().c_str()));
    Get("NOPE");
    Localize::Shutdown();
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 0u);
    EXPECT_EQ(Localize::GetUnknownCount(kEnglish, StrView("NOPE")), 0u);
    EXPECT_EQ(Get("A"), "A");
    // Nothing to reload: the folder was forgotten.
    Localize::CmdReloadStrings(CmdArgs{});
    EXPECT_EQ(Localize::GetNumEntries(kEnglish), 0u);
}

// ---------------------------------------------------------------------------------------------
// Lookups, fallback and unknown keys

TEST_F(LocalizeTest, FallbackChainAndUnknownCounts)
{
    const uint32 russian = 5;
    Localize::LoadText(kEnglish, "en.txt", StrView("\"BOTH\" \"en both\"\n\"EN_ONLY\" \"en only\"\n"));
    Localize::LoadText(russian, "ru.txt", StrView("\"BOTH\" \"ru both\"\n"));

    EXPECT_EQ(Get("BOTH", russian), "ru both");
    EXPECT_EQ(Get("EN_ONLY", russian), "en only");
    EXPECT_EQ(Get("EN_ONLY", russian), "en only");
    EXPECT_EQ(Get("en_only", russian), "en only");
    EXPECT_EQ(Get("NEITHER", russian), "NEITHER");

    EXPECT_EQ(Localize::GetUnknownCount(russian, StrView("BOTH")), 0u);
    EXPECT_EQ(Localize::GetUnknownCount(russian, StrView("EN_ONLY")), 3u);
    EXPECT_EQ(Localize::GetUnknownCount(russian, StrView("NEITHER")), 1u);
    EXPECT_EQ(Localize::GetUnknownCount(kEnglish, StrView("EN_ONLY")), 0u);
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("EN_ONLY")), 3);
    EXPECT_EQ(Localize::GetUseCount(kEnglish, StrView("BOTH")), 0);
    EXPECT_EQ(Localize::GetUseCount(russian, StrView("BOTH")), 1);
}

TEST_F(LocalizeTest, FirstMissIsReportedOnceAtTheChosenLevel)
{
    const uint32 russian = 5;
    Localize::LoadText(kEnglish, "en.txt", StrView("\"EN_ONLY\" \"en only\"\n"));
    const std::string separator(65, '=');
    struct Case
    {
        const char* mode;
        uint32 level; // 0: nothing is reported
    };
    for (const Case c : {Case{"0", 0u}, Case{"1", uint32(Log::Warning)}, Case{"-3", uint32(Log::Warning)},
                         Case{"2", uint32(Log::Error)}})
    {
        SCOPED_TRACE(c.mode);
        Localize::Shutdown();
        Localize::LoadText(kEnglish, "en.txt", StrView("\"EN_ONLY\" \"en only\"\n"));
        m_vars.Set(Localize_LogUnknownStrings, c.mode);
        CapturingSink sink;
        Get("EN_ONLY", russian);
        Get("EN_ONLY", russian);
        Get("NEITHER", russian);
        Get("NEITHER", russian);
        Get("EN_MISS", kEnglish);
        if (c.level == 0)
        {
            EXPECT_TRUE(sink.Lines().empty());
            continue;
        }
        std::vector<std::string> expected = {
            separator, "Unknown string in russian: \"EN_ONLY\"", "english fallback: \"en only\"",
            separator, "Unknown string in russian: \"NEITHER\"", "No english fallback",
            separator, "Unknown string in english: \"EN_MISS\"",
        };
        ASSERT_EQ(sink.Lines().size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
        {
            EXPECT_EQ(sink.Lines()[i].text, expected[i]);
            EXPECT_EQ(sink.Lines()[i].level, c.level);
            EXPECT_EQ(sink.Lines()[i].line, 0);
        }
    }
}

TEST_F(LocalizeTest, ReportWithStackDepthEndsWithTrailer)
{
    m_vars.Set(Localize_LogUnknownStrings, "1");
    m_vars.Set(Localize_LogUnknownStringsStackDepth, "4");
    CapturingSink sink;
    Get("NO_SUCH_KEY");
    ASSERT_GE(sink.Lines().size(), 4u);
    EXPECT_EQ(sink.Lines()[2].text.rfind("Stack trace:\n", 0), 0u);
    EXPECT_EQ(sink.Lines().back().text, std::string(65, '=') + "\n");
}

namespace
{
// A caller of the lookup with a frame of its own (neither inlined nor cloned) and known lines.
__attribute__((noipa)) std::string LookUpFromHere(const char* key, int& first, int& last)
{
    first = __LINE__;
    std::string text = Localize::GetString(StrView(key), kEnglish);
    asm volatile("" ::: "memory");
    last = __LINE__;
    return text;
}
} // namespace

// The trace starts at the code that asked for the key: the lookup's own frames are left out, and
// each frame names its source file's folder and name, its line and its function.
TEST_F(LocalizeTest, ReportShowsTheCallersFramesWithFileAndLine)
{
    m_vars.Set(Localize_LogUnknownStrings, "1");
    m_vars.Set(Localize_LogUnknownStringsStackDepth, "2");
    for (bool debugInfo : {true, false})
    {
        SCOPED_TRACE(debugInfo);
        SetStackTraceDebugInfoEnabledForTests(debugInfo);
        CapturingSink sink;
        int first = 0, last = 0;
        LookUpFromHere(debugInfo ? "MISSING_WITH_LINES" : "MISSING_WITHOUT_LINES", first, last);
        SetStackTraceDebugInfoEnabledForTests(true);
        ASSERT_EQ(sink.Lines().size(), 4u);
        const std::string& trace = sink.Lines()[2].text;
        std::smatch m;
        if (debugInfo)
        {
            ASSERT_TRUE(std::regex_match(
                trace, m,
                std::regex(
                    R"(Stack trace:\n  Utils/LocalizeTests\.cpp\((\d+)\): )"
                    R"(\(anonymous namespace\)::LookUpFromHere\(char const\*, int&, int&\)\n)"
                    R"(  Utils/LocalizeTests\.cpp\(\d+\): )"
                    R"(LocalizeTest_ReportShowsTheCallersFramesWithFileAndLine_Test::TestBody\(\)\n)")))
                << trace;
            EXPECT_GE(std::stoi(m[1]), first);
            EXPECT_LE(std::stoi(m[1]), last);
        }
        else
        {
            // Without line information the module stands in for the file, with line 0.
            EXPECT_TRUE(std::regex_match(
                trace,
                std::regex(
                    R"(Stack trace:\n  \w+/LocalizeTests\(0\): )"
                    R"(\(anonymous namespace\)::LookUpFromHere\(char const\*, int&, int&\)\n)"
                    R"(  \w+/LocalizeTests\(0\): )"
                    R"(LocalizeTest_ReportShowsTheCallersFramesWithFileAndLine_Test::TestBody\(\)\n)")))
                << trace;
        }
    }
}

TEST_F(LocalizeTest, KeyCopiesAreCutToWholeCharactersAndRotate)
{
    // 31 two-byte characters (62 bytes) and then a third byte-pair that would cross 63 bytes.
    std::string key;
    for (int i = 0; i < 40; ++i)
        key += "\xC3\xA9";
    const std::string copy = Get(key.c_str());
    EXPECT_EQ(copy.size(), 62u);
    EXPECT_EQ(copy, key.substr(0, 62));

    const char* first = Localize::GetString(StrView("K0"), kEnglish);
    std::vector<const char*> copies;
    for (int i = 1; i < 128; ++i)
        copies.push_back(Localize::GetString(StrView(("K" + std::to_string(i)).c_str()), kEnglish));
    EXPECT_STREQ(first, "K0"); // 127 later copies leave it intact
    for (const char* c : copies)
        EXPECT_NE(c, first);
    Localize::GetString(StrView("K128"), kEnglish);
    EXPECT_STREQ(first, "K128");
}

TEST_F(LocalizeTest, InvalidLanguageIdAssertsAndStillAnswers)
{
    AssertRecorder asserts;
    EXPECT_STREQ(Localize::GetString(StrView("KEY"), kInvalidLanguage), "KEY");
    EXPECT_STREQ(Localize::GetLanguageInfo(42).name, "english");
    Localize::LoadText(kInvalidLanguage, "x.txt", StrView("\"A\" \"a\""));
    EXPECT_EQ(asserts.Count(), 3u);
}

// ---------------------------------------------------------------------------------------------
// Languages

TEST_F(LocalizeTest, LanguageTableAndFindLanguage)
{
    const char* names[] = {"english",  "german",   "french", "italian", "spanish",    "russian",   "chinese",
                           "tchinese", "japanese", "korean", "thai",    "indonesian", "vietnamese"};
    for (uint32 id = 0; id < kNumLanguages; ++id)
    {
        EXPECT_STREQ(Localize::GetLanguageInfo(id).name, names[id]);
        EXPECT_EQ(Localize::FindLanguage(StrView(names[id])), id);
    }
    EXPECT_EQ(Localize::FindLanguage(StrView("GeRmAn")), 1u);
    EXPECT_EQ(Localize::FindLanguage(StrView("germa")), kInvalidLanguage);
    EXPECT_EQ(Localize::FindLanguage(StrView("")), kInvalidLanguage);
    EXPECT_STREQ(Localize::GetLanguageInfo(7).locale, "zh_TW");
    EXPECT_STREQ(Localize::GetLanguageInfo(7).code, "tw");
}

TEST_F(LocalizeTest, LocaleNameMapping)
{
    struct Case
    {
        const char* locale;
        uint32 id;
    };
    const Case cases[] = {
        {"de_DE.UTF-8", 1},
        {"de", 1},
        {"fr_CA", 2},
        {"it_IT@euro", 3},
        {"es_MX.utf8", 4},
        {"ru_RU.KOI8-R", 5},
        {"zh_CN.GB2312", 6},
        {"zh_TW.UTF-8", 7},
        {"zh_HK", 0},
        {"zh", 0},
        {"ja_JP", 8},
        {"ko_KR", 9},
        {"pt_BR", 0},
        {"C", 0},
        {"POSIX", 0},
        {"C.UTF-8", 0},
        {"", 0},
        {"d", 0},
        {"deu", 0},
        {"en_GB", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Localize::LanguageFromLocaleName(StrView(c.locale)), c.id) << c.locale;
}

TEST_F(LocalizeTest, LanguageChoiceTable)
{
    struct Case
    {
        const char* name;
        const char* clLanguage;
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* supported;
        const char* expected;
    };
    const char* const def = "english russian german french spanish";
    const Case cases[] = {
        {"variable wins", "German", "fr_FR", nullptr, "ru_RU", def, "german"},
        {"LANG", "", nullptr, nullptr, "de_DE.UTF-8", def, "german"},
        {"LC_ALL over LANG", "", "fr_FR.UTF-8", nullptr, "de_DE", def, "french"},
        {"LC_MESSAGES over LANG", "", nullptr, "ru_RU.UTF-8", "de_DE", def, "russian"},
        {"empty LC_ALL is skipped", "", "", nullptr, "es_ES", def, "spanish"},
        {"nothing set", "", nullptr, nullptr, nullptr, def, "english"},
        {"C locale", "", nullptr, nullptr, "C", def, "english"},
        {"unknown variable value", "klingon", nullptr, nullptr, "de_DE", def, "german"},
        {"traditional chinese unsupported", "", nullptr, nullptr, "zh_TW", def, "english"},
        {"traditional chinese supported", "", nullptr, nullptr, "zh_TW", "tchinese english", "tchinese"},
        {"simplified chinese", "", nullptr, nullptr, "zh_CN.UTF-8", "chinese", "chinese"},
        {"empty list supports all", "", nullptr, nullptr, "ja_JP", "", "japanese"},
        {"first supported otherwise", "", nullptr, nullptr, "it_IT", "russian german", "russian"},
        {"variable outside the list", "italian", nullptr, nullptr, nullptr, "spanish french", "spanish"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ScopedEnv all("LC_ALL", c.lcAll);
        ScopedEnv messages("LC_MESSAGES", c.lcMessages);
        ScopedEnv lang("LANG", c.lang);
        m_vars.Set(cl_language, c.clLanguage);
        m_vars.Set(cl_supportedLanguages, c.supported);
        Localize::Init();
        EXPECT_STREQ(Localize::GetLanguageInfo(Localize::GetLanguage()).name, c.expected);
        EXPECT_STREQ(cl_language.GetS(), c.expected);
    }
}

TEST_F(LocalizeTest, SupportedListParsing)
{
    struct Case
    {
        const char* text;
        std::vector<uint32> ids;
        size_t errors;
    };
    const std::vector<uint32> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const Case cases[] = {
        {"english russian german french spanish", {0, 5, 1, 2, 4}, 0},
        {"  \tGerman\r\n\n english  german ", {1, 0, 1}, 0},
        {"\"french\" 'russian' \"thai", {2, 5, 10}, 0},
        {"", all, 0},
        {"klingon elvish", all, 2},
        {"english klingon korean", {0, 9}, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        m_vars.Set(cl_supportedLanguages, c.text);
        CapturingSink sink;
        LanguageList list = Localize::GetSupportedLanguages();
        EXPECT_EQ(std::vector<uint32>(list.ids, list.ids + list.count), c.ids);
        EXPECT_EQ(sink.CountContaining("Invalid language name: "), c.errors);
    }
    CapturingSink sink;
    m_vars.Set(cl_supportedLanguages, "klingon");
    Localize::GetSupportedLanguages();
    EXPECT_TRUE(sink.Contains(Log::Error, "Invalid language name: klingon"));

    // At most 32 names are taken.
    std::string many;
    for (int i = 0; i < 40; ++i)
        many += "german ";
    m_vars.Set(cl_supportedLanguages, many.c_str());
    EXPECT_EQ(Localize::GetSupportedLanguages().count, 32u);
}

TEST_F(LocalizeTest, SetLanguageForcedAndUnforced)
{
    m_vars.Set(cl_supportedLanguages, "spanish german");
    Localize::SetLanguage(1, false);
    EXPECT_EQ(Localize::GetLanguage(), 1u);
    Localize::SetLanguage(3, false);
    EXPECT_EQ(Localize::GetLanguage(), 4u);
    EXPECT_STREQ(cl_language.GetS(), "spanish");
    Localize::SetLanguage(kInvalidLanguage, false);
    EXPECT_EQ(Localize::GetLanguage(), 4u);
    Localize::SetLanguage(3, true);
    EXPECT_EQ(Localize::GetLanguage(), 3u);
    EXPECT_STREQ(cl_language.GetS(), "italian");

    AssertRecorder asserts;
    Localize::SetLanguage(kInvalidLanguage, true);
    EXPECT_EQ(asserts.Count(), 1u);
    EXPECT_EQ(Localize::GetLanguage(), 3u);
}

// ---------------------------------------------------------------------------------------------
// Console commands

TEST_F(LocalizeTest, DumpCommands)
{
    Localize::LoadText(kEnglish, "en.txt", StrView("\"USED\" \"u\"\n\"UNUSED\" \"never\"\n"));
    Localize::LoadText(1, "de.txt", StrView("\"DE_UNUSED\" \"nie\"\n"));
    Get("USED");
    Get("MISSING_EN");
    Get("MISSING_DE", 1);

    CapturingSink sink;
    Localize::CmdDumpUnknownStrings(CmdArgs{});
    Localize::CmdDumpUnrefStrings(CmdArgs{});
    std::vector<std::string> texts;
    for (const auto& line : sink.Lines())
    {
        EXPECT_EQ(line.level, Log::Info);
        texts.push_back(line.text);
    }
    const std::vector<std::string> expected = {
        "   english: MISSING_EN",        "    german: MISSING_DE",
        "2 strings w/o localization",    "   english: UNUSED = 'never'",
        "    german: DE_UNUSED = 'nie'", "2 strings total that were not used this time",
    };
    EXPECT_EQ(texts, expected);
}

TEST_F(LocalizeTest, PrintableAsciiCommand)
{
    CapturingSink sink;
    Localize::CmdPrintableASCII(CmdArgs{});
    ASSERT_EQ(sink.Lines().size(), 1u);
    const std::string& text = sink.Lines()[0].text;
    ASSERT_EQ(text.size(), 222u);
    EXPECT_EQ(text.front(), ' ');
    EXPECT_EQ(static_cast<unsigned char>(text.back()), 254);
    EXPECT_EQ(text.find('\x7F'), std::string::npos);
}

TEST_F(LocalizeTest, CharsetDumpWritesSortedDistinctCharacters)
{
    TempDir dir;
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    Localize::SetLanguage(5, true);
    Localize::LoadText(5, "ru.txt",
                       StrView("\"A\" \"\xD0\xB1\xD0\xB0 ba\"\n\"B\" \"\xE2\x82\xAC\xD0\xB0\"\n"));
    CapturingSink sink;
    Localize::CmdDumpLanguageCharset(CmdArgs{});
    const std::string written = dir.ReadFile("charset_russian.txt");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(written, " ab\xD0\xB0\xD0\xB1\xE2\x82\xAC");
    EXPECT_TRUE(sink.Contains(Log::Info, "Saved to 'charset_russian.txt'"));
}

// ---------------------------------------------------------------------------------------------
// UTF-8 helpers

namespace
{
// The bytes in a heap block of exactly their size, so that a read past the end shows under ASan.
std::vector<char> Exact(const std::string& bytes)
{
    return std::vector<char>(bytes.begin(), bytes.end());
}

std::u16string ToUtf16(const std::string& bytes, uint32 capacity = 64)
{
    std::vector<char> source = Exact(bytes);
    std::vector<char16_t> out(capacity + 1, u'?');
    uint32 n = Utf8ToUtf16(out.data(), capacity, StrView(source.data(), uint32(source.size())));
    EXPECT_EQ(out[n], 0);
    return std::u16string(out.data(), n);
}
} // namespace

TEST(LocalizeUtf8, Utf8ToUtf16Table)
{
    struct Case
    {
        const char* name;
        std::string in;
        std::u16string out;
        uint32 capacity;
    };
    const Case cases[] = {
        {"ascii", "abc", u"abc", 64},
        {"two bytes", "\xC3\xA9", u"\u00E9", 64},
        {"three bytes", "\xE2\x82\xAC!", u"\u20AC!", 64},
        {"four bytes give one #", "\xF0\x9F\x98\x80x", u"#x", 64},
        {"bad continuation", "\xC3(x", u"#x", 64},
        {"stray continuation takes two", "\x80zq", u"#q", 64},
        {"stops at NUL", std::string("ab\0cd", 5), u"ab", 64},
        {"capacity leaves room for NUL", "abcd", u"ab", 3},
        {"capacity one", "abcd", u"", 1},
        {"two-byte cut by the end", "a\xC3", u"a#", 64},
        {"three-byte cut by the end", "a\xE2\x82", u"a#", 64},
        {"four-byte cut by the end", "\xF0\x9F\x98", u"#", 64},
        {"cut by a NUL", std::string("\xE2\0zz", 4), u"#", 64},
        {"cut by a NUL after a lead", std::string("a\xC3\0b", 4), u"a#", 64},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ToUtf16(c.in, c.capacity), c.out) << c.name;

    char16_t untouched = u'?';
    EXPECT_EQ(Utf8ToUtf16(&untouched, 0, StrView("abc")), 0u);
    EXPECT_EQ(untouched, u'?');
}

TEST(LocalizeUtf8, Utf16ToUtf8Table)
{
    struct Case
    {
        const char* name;
        std::u16string in;
        uint32 capacity;
        std::string out;
    };
    const Case cases[] = {
        {"mixed", u"a\u00E9\u20AC", 64, "a\xC3\xA9\xE2\x82\xAC"},
        {"surrogates unpaired", u"\xD83D\xDE00", 64, "\xED\xA0\xBD\xED\xB8\x80"},
        {"3 * units + 1 holds all", u"\u20AC\u20AC", 7, "\xE2\x82\xAC\xE2\x82\xAC"},
        {"stops with under 3 bytes of room", u"\u00E9\u00E9", 4, "\xC3\xA9"},
        {"tiny buffer", u"abc", 3, ""},
        {"empty", u"", 8, ""},
    };
    for (const Case& c : cases)
    {
        std::vector<char> out(c.capacity, '?');
        uint32 n = Utf16ToUtf8(out.data(), c.capacity, c.in.c_str());
        EXPECT_EQ(std::string(out.data(), n), c.out) << c.name;
        EXPECT_EQ(out[n], 0) << c.name;
    }
    char out[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(Utf16ToUtf8(out, 4, nullptr), 0u);
    EXPECT_EQ(out[0], 0);
}

TEST(LocalizeUtf8, EncodeUtf8Table)
{
    struct Case
    {
        uint32 codePoint;
        std::string bytes;
    };
    const Case cases[] = {
        {0x41, "A"},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0xD800, "\xED\xA0\x80"},
        {0xFFFF, "\xEF\xBF\xBF"},
        {0x1F600, "\xEF\xBF\xBD"},
    };
    for (const Case& c : cases)
    {
        char out[3];
        uint32 n = EncodeUtf8(c.codePoint, out);
        EXPECT_EQ(std::string(out, n), c.bytes) << std::hex << c.codePoint;
    }
}

TEST(LocalizeUtf8, CopyUtf8CharsTable)
{
    struct Case
    {
        const char* name;
        std::string in;
        uint32 size;
        uint32 maxChars;
        std::string out;
    };
    const Case cases[] = {
        {"all fits", "a\xC3\xA9\xE2\x82\xAC", 16, 100, "a\xC3\xA9\xE2\x82\xAC"},
        {"character count", "abcdef", 16, 3, "abc"},
        {"character that does not fit", "a\xE2\x82\xAC", 4, 100, "a"},
        {"exact fit", "a\xE2\x82\xAC", 5, 100, "a\xE2\x82\xAC"},
        {"cut by the end", "ab\xE2\x82", 16, 100, "ab"},
        {"four bytes count as one", "\xF0\x9F\x98\x80z", 16, 1, "\xF0\x9F\x98\x80"},
        {"size one", "abc", 1, 100, ""},
    };
    for (const Case& c : cases)
    {
        std::vector<char> source = Exact(c.in);
        std::vector<char> out(c.size, '?');
        uint32 n =
            CopyUtf8Chars(out.data(), c.size, source.data(), source.data() + source.size(), c.maxChars);
        EXPECT_EQ(std::string(out.data(), n), c.out) << c.name;
        EXPECT_EQ(out[n], 0) << c.name;
    }
    char untouched = '?';
    EXPECT_EQ(CopyUtf8Chars(&untouched, 0, "abc", "abc" + 3, 10), 0u);
    EXPECT_EQ(untouched, '?');
}
