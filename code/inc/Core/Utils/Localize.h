#pragma once
// Localization: thirteen known languages, one string table per language loaded from the text files
// of a folder, and lookups that fall back to English and finally to a copy of the key.
//
// Loading, language choice, reload and shutdown run on the main thread. GetString is not
// synchronised either (use counts and the unknown-key list are plain fields); only the choice of
// the key-copy buffer is atomic, so concurrent misses get different copies.

#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/StrView.h"
#include "Core/Types.h"

namespace Morvex
{
constexpr uint32 kNumLanguages = 13;
// "No language": what FindLanguage returns for a name it does not know.
constexpr uint32 kInvalidLanguage = 13;
constexpr uint32 kEnglish = 0;

struct LanguageInfo
{
    const char* name;        // "english", the folder name under "strings/"
    const char* displayName; // "English"
    const char* code;        // "en"
    const char* locale;      // "en_US"
};

// Ids of the supported languages in the order of `cl_supportedLanguages`, repetitions kept.
struct LanguageList
{
    static constexpr uint32 kMaxLanguages = 32;
    uint32 count = 0;
    uint32 ids[kMaxLanguages] = {};

    bool Contains(uint32 id) const;
};

extern CVar cl_language;
extern CVar cl_supportedLanguages;
// Localize.LogUnknownStrings (0 off, 1 warnings, 2 and above errors) and
// Localize.LogUnknownStringsStackDepth (frames shown with each report, at most 16).
extern CVar Localize_LogUnknownStrings;
extern CVar Localize_LogUnknownStringsStackDepth;

namespace Localize
{
// Numbers the language services and chooses the current language: `cl_language` when it names a
// language, else the system's interface language; either is replaced by the first supported
// language when it is not supported. Sets `cl_language` to the result.
void Init();
// Makes `id` current; unless `force`, an unsupported id (kInvalidLanguage included) becomes the
// first supported language. A forced id outside the table asserts and changes nothing.
void SetLanguage(uint32 id, bool force);
// Id of the language named `name` (ASCII case ignored), or kInvalidLanguage.
uint32 FindLanguage(StrView name);
uint32 GetLanguage();
// The record of language `id`; an id outside the table asserts and gives English.
const LanguageInfo& GetLanguageInfo(uint32 id);
// Rebuilt from `cl_supportedLanguages` on every call; unknown names are logged at Error and
// skipped; an empty result holds all thirteen ids.
LanguageList GetSupportedLanguages();
// The system's interface language from the locale environment (LC_ALL, else LC_MESSAGES, else
// LANG: the first one that is set and non-empty); English when none is set or it has no mapping.
uint32 GetSystemLanguage();
// Maps a POSIX locale name ("de_DE.UTF-8", "zh_TW", "C") to a language id: de, es, fr, it, ja, ko
// and ru by their language code, zh only as zh_CN (chinese) and zh_TW (tchinese); English otherwise.
uint32 LanguageFromLocaleName(StrView locale);

// Remembers `folder` (cut to 260 bytes) for language `id` and loads every "*.txt" in it, found
// through the file system's search directories, in sorted order; later files override keys of
// earlier ones. A missing folder loads nothing and logs nothing.
void LoadLanguage(uint32 id, StrView folder);
// Loads one string-table file into language `id`. A file that does not open logs a Warning and
// returns false; the language keeps what it held.
bool LoadFile(uint32 id, const char* path);
// Parses `text` as the content of a string-table file named `sourceName` (used in messages) into
// language `id`. The text is copied; keys and values then live as long as the language's tables.
void LoadText(uint32 id, const char* sourceName, StrView text);

// The text of `key` in language `id`, else the English text, else a copy of the key cut to 63
// bytes of whole UTF-8 characters. Never null. A copy stays valid until 128 further copies have
// been made (from any thread); table texts stay valid until reload or shutdown. An id outside the
// table asserts and gives a key copy.
const char* GetString(StrView key, uint32 id);
inline const char* GetString(StrView key)
{
    return GetString(key, GetLanguage());
}

// Diagnostics: how often `key` was looked up and missed in language `id` (0 when never), the
// number of keys in its table, and the use count of one key (-1 when absent).
uint32 GetUnknownCount(uint32 id, StrView key);
uint32 GetNumEntries(uint32 id);
int64 GetUseCount(uint32 id, StrView key);

// Releases every table, index, file buffer and unknown-key list and forgets the folders; lookups
// afterwards return key copies. Safe to call more than once.
void Shutdown();

// Console command handlers (registered as cl_dumpUnknownStrings, cl_dumpUnrefStrings,
// cl_reloadStrings, cl_dumpLanguageCharset, PrintableASCII); callable directly.
void CmdDumpUnknownStrings(const CmdArgs& args);
void CmdDumpUnrefStrings(const CmdArgs& args);
void CmdReloadStrings(const CmdArgs& args);
void CmdDumpLanguageCharset(const CmdArgs& args);
void CmdPrintableASCII(const CmdArgs& args);
} // namespace Localize

// UTF-8 helpers. Characters take their length from the lead byte: below 0x80 one byte, 0xE0-0xEF
// three, 0xF0-0xFF four, every other lead byte two. None reads past the end of its source.

// Converts up to capacity - 1 units and NUL-terminates (capacity 0 writes nothing). One- to
// three-byte characters convert; malformed ones and every four-byte character give one '#'. Stops
// at a NUL, at the end of `source`, or after a character cut short by either (which gives one '#').
// Returns the units written, without the NUL.
uint32 Utf8ToUtf16(char16_t* destination, uint32 capacity, StrView source);
// Encodes each unit in one to three bytes (surrogates unpaired), stopping at a zero unit or before
// a unit when fewer than three bytes of room would remain besides the NUL. `source` may be null.
// NUL-terminates (capacity 0 writes nothing). Returns the bytes written, without the NUL.
uint32 Utf16ToUtf8(char* destination, uint32 capacity, const char16_t* source);
// Writes one to three bytes for `codePoint` (3 bytes of room needed); code points above 0xFFFF
// have no three-byte form and are written as U+FFFD. Returns the bytes written.
uint32 EncodeUtf8(uint32 codePoint, char* destination);
// Copies whole characters from [begin, end) while fewer than maxChars were copied and the bytes fit
// in size - 1; a character that does not fit, or is cut by `end`, ends the copy. NUL-terminates
// (size 0 writes nothing). Returns the bytes copied.
uint32 CopyUtf8Chars(char* destination, uint32 size, const char* begin, const char* end, uint32 maxChars);
} // namespace Morvex
