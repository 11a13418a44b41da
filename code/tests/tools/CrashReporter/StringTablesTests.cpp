// The shipped string tables, as copied beside the reporter's binary: every table the reporter can
// load holds every text the dialog shows, parses without complaint, and holds no stray keys.
#include "Core/Utils/Localize.h"
#include "CrashReporter.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace Morvex;
using Morvex::Test::CapturingSink;

namespace
{
const char* const kDialogKeys[] = {
    "WINDOW_TITLE",        "CRASH_DESC",    "IO_CRASH_DESC",    "PLEASE_DESCRIBE",    "PRESS_REPAIR_DESC",
    "SEND_REPORT_BUTTON",  "REPAIR_BUTTON", "CANCEL_BUTTON",    "SORRY_TEXT",         "PROGRESS_TEXT",
    "REPORT_CONTENT_LINK", "HEADER_TEXT",   "SEND_FAILED_TEXT", "SEND_NOT_SENT_TEXT",
};
// Every language the engine knows has a table.
const char* const kShippedLanguages[] = {"english", "german",     "french",    "italian",  "spanish",
                                         "russian", "chinese",    "tchinese",  "japanese", "korean",
                                         "thai",    "indonesian", "vietnamese"};
} // namespace

TEST(StringTables, EveryShippedTableHasEveryDialogKey)
{
    for (const char* language : kShippedLanguages)
    {
        SCOPED_TRACE(language);
        const uint32 id = Localize::FindLanguage(StrView(language));
        ASSERT_NE(id, kInvalidLanguage);
        Localize::Shutdown();
        CapturingSink sink;
        const std::string folder = std::string(STRING_TABLES_DIR) + "/" + language;
        Localize::LoadLanguage(id, StrView(folder.c_str()));
        for (const auto& line : sink.Lines())
            ADD_FAILURE() << "while loading: " << line.text;

        EXPECT_EQ(Localize::GetNumEntries(id), std::size(kDialogKeys)) << "a key is missing or unknown";
        std::set<std::string> texts;
        for (const char* key : kDialogKeys)
        {
            ASSERT_GE(Localize::GetUseCount(id, StrView(key)), 0) << key;
            const std::string text = Localize::GetString(StrView(key), id);
            EXPECT_FALSE(text.empty()) << key;
            EXPECT_EQ(Localize::GetUnknownCount(id, StrView(key)), 0u) << key;
            texts.insert(text);
        }
        EXPECT_EQ(texts.size(), std::size(kDialogKeys)) << "two keys share one text";
    }
    Localize::Shutdown();
}

// A translation that silently repeats the English text is a missing translation.
TEST(StringTables, TranslationsDifferFromEnglish)
{
    Localize::Shutdown();
    Localize::LoadLanguage(kEnglish, StrView((std::string(STRING_TABLES_DIR) + "/english").c_str()));
    for (const char* language : kShippedLanguages)
    {
        const uint32 id = Localize::FindLanguage(StrView(language));
        if (id == kEnglish)
            continue;
        SCOPED_TRACE(language);
        Localize::LoadLanguage(id, StrView((std::string(STRING_TABLES_DIR) + "/" + language).c_str()));
        for (const char* key : kDialogKeys)
            EXPECT_STRNE(Localize::GetString(StrView(key), id), Localize::GetString(StrView(key), kEnglish))
                << key;
    }
    Localize::Shutdown();
}

// The reporter's language choice loads English and the chosen language from the tables beside
// the executable (this test binary lives beside them), whatever the working directory is.
TEST(StringTables, SelectLanguageLoadsEnglishAndTheChosenLanguage)
{
    struct Case
    {
        const char* name;
        const char* expectedButton;
        uint32 expectedLanguage;
    };
    const Case cases[] = {
        {"german", "Bericht senden", 1},
        {"RUSSIAN",
         "\xD0\x9E\xD1\x82\xD0\xBF\xD1\x80\xD0\xB0\xD0\xB2\xD0\xB8\xD1\x82\xD1\x8C "
         "\xD0\xBE\xD1\x82\xD1\x87\xD1\x91\xD1\x82",
         5},
        {"english", "Send report", 0},
        // Not in the supported list: the first supported language, english.
        {"italian", "Send report", 0},
        {"no-such-language", "Send report", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Localize::Shutdown();
        Morvex::Test::ScopedCVar language(cl_language, "");
        Morvex::Test::ScopedCVar supported(cl_supportedLanguages, cl_supportedLanguages.GetDefault());
        SelectLanguage(StrView(c.name));
        EXPECT_EQ(Localize::GetLanguage(), c.expectedLanguage);
        EXPECT_STREQ(Localize::GetString(StrView("SEND_REPORT_BUTTON")), c.expectedButton);
        EXPECT_GT(Localize::GetNumEntries(kEnglish), 0u);
    }
    Localize::Shutdown();
}
