#include "Core/Utils/Localize.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Profiler/Profiler.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "Core/String.h"
#include "Core/Utils/StackTrace.h"
#include "Localize_Files.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace Morvex
{
CVar cl_language(CVarType::String, "cl_language", 128, "", "Localization currently in use by the client");
CVar cl_supportedLanguages(CVarType::String, "cl_supportedLanguages", 0,
                           "english russian german french spanish",
                           "List of languages supported by the game client");

CVar Localize_LogUnknownStrings(CVarType::Int, "Localize.LogUnknownStrings", 8, "0",
                                "Log unknown strings ASAP: 0=Disabled, 1=AsWarnings, 2=AsErrors", INT32_MIN,
                                INT32_MAX);
CVar Localize_LogUnknownStringsStackDepth(CVarType::Int, "Localize.LogUnknownStringsStackDepth", 8, "0",
                                          "Stack depth to log when logging unknown strings enabled",
                                          INT32_MIN, INT32_MAX);

namespace
{
const LanguageInfo kLanguages[kNumLanguages] = {
    {"english", "English", "en", "en_US"},
    {"german", "German", "de", "de_DE"},
    {"french", "French", "fr", "fr_FR"},
    {"italian", "Italian", "it", "it_IT"},
    {"spanish", "Spanish", "es", "es_ES"},
    {"russian", "Russian", "ru", "ru_RU"},
    {"chinese", "Chinese", "zh", "zh_CN"},
    {"tchinese", "Tchinese", "tw", "zh_TW"},
    {"japanese", "Japanese", "ja", "ja_JP"},
    {"korean", "Korean", "ko", "ko_KR"},
    {"thai", "Thai", "th", "th_TH"},
    {"indonesian", "Indonesian", "id", "id_ID"},
    {"vietnamese", "Vietnamese", "vi", "vi_VN"},
};

constexpr uint32 kEntriesPerChunk = 2730;
constexpr uint32 kNumBuckets = 32768;
constexpr uint32 kNumUnknownBuckets = 1024;
constexpr uint32 kNone = 0xFFFFFFFFu;
// Lengths are stored in 16 bits; 0xFFFF itself is kept free as the largest length.
constexpr size_t kMaxTextLength = 0xFFFF;
constexpr uint32 kNumKeyCopies = 128;
constexpr uint32 kKeyCopySize = 64;
constexpr uint32 kMaxUnitsPerValue = 10240;
const char kSeparatorLine[] = "=================================================================";

bool EqualsNoCase(const char* a, uint32 aLength, const char* b, uint32 bLength)
{
    return aLength == bLength && Str::EqualNoCase(a, b, aLength);
}

// FNV-1a over the key with A-Z folded, so that keys compare case-insensitively.
uint32 HashKey(const char* key, uint32 length)
{
    return Str::HashFnv1a(key, length, true);
}

bool IsContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

struct Entry
{
    const char* key;
    const char* value;
    uint16 keyLength;
    uint16 valueLength;
    uint32 useCount;
};
static_assert(sizeof(Entry) == 24, "a table entry is 24 bytes");

struct EntryChunk
{
    Entry entries[kEntriesPerChunk];
    uint32 next[kEntriesPerChunk]; // hash chains, parallel to entries
};

struct UnknownKey
{
    String key;
    uint32 count;
    uint32 next;
};

struct FileBuffer
{
    char* data;
    size_t size; // bytes allocated, content plus the final NUL
};

class LanguageService
{
public:
    uint32 id = kInvalidLanguage;
    LanguageService() = default;
    LanguageService(const LanguageService&) = delete;
    LanguageService& operator=(const LanguageService&) = delete;
    std::vector<FileBuffer> files;
    std::vector<EntryChunk*> chunks;
    uint32 numEntries = 0;
    uint32* buckets = nullptr;
    FilePath folder;
    std::vector<UnknownKey> unknown;
    uint32* unknownBuckets = nullptr;

    Entry& EntryAt(uint32 index)
    {
        return chunks[index / kEntriesPerChunk]->entries[index % kEntriesPerChunk];
    }
    uint32& NextOf(uint32 index) { return chunks[index / kEntriesPerChunk]->next[index % kEntriesPerChunk]; }

    Entry* Find(StrView key)
    {
        if (buckets == nullptr)
            return nullptr;
        for (uint32 i = buckets[HashKey(key.data(), key.length()) % kNumBuckets]; i != kNone; i = NextOf(i))
        {
            Entry& e = EntryAt(i);
            if (EqualsNoCase(e.key, e.keyLength, key.data(), key.length()))
                return &e;
        }
        return nullptr;
    }

    void Store(const char* key, size_t keyLength, const char* value, size_t valueLength,
               const char* sourceName)
    {
        // Lengths are stored in 16 bits. One over-long line in a data file must not end the process
        // or wrap a length, so the pair is dropped and the rest of the file still loads.
        if (keyLength >= kMaxTextLength || valueLength >= kMaxTextLength)
        {
            char shown[64];
            CopyUtf8Chars(shown, sizeof(shown), key, key + keyLength, 0xFFFFFFFFu);
            Log::Printf(
                __FILE__, __LINE__, Log::Error,
                "Localize: skipped string '%s' in '%s': key of %zu bytes, value of %zu bytes (at most "
                "65534 each)",
                shown, sourceName, keyLength, valueLength);
            return;
        }
        StrView k(key, static_cast<uint32>(keyLength));
        StrView v(value, static_cast<uint32>(valueLength));
        MX_ASSERT(*k.end() == 0);
        MX_ASSERT(*v.end() == 0);

        if (Entry* existing = Find(k))
        {
            existing->value = value;
            existing->valueLength = static_cast<uint16>(valueLength);
            return;
        }
        if (buckets == nullptr)
        {
            MX_MEMORY_TAG_SCOPE("Core/Localize/HashTable");
            buckets = static_cast<uint32*>(Memory::Alloc(sizeof(uint32) * kNumBuckets, alignof(uint32)));
            std::fill(buckets, buckets + kNumBuckets, kNone);
        }
        if (numEntries == chunks.size() * kEntriesPerChunk)
        {
            EntryChunk* chunk;
            {
                MX_MEMORY_TAG_SCOPE("Core/Localize/KeyValues");
                chunk = static_cast<EntryChunk*>(Memory::Alloc(sizeof(EntryChunk), alignof(EntryChunk)));
            }
            MX_MEMORY_TAG_SCOPE("Core/ChunkedArray");
            chunks.push_back(chunk);
        }
        uint32 index = numEntries++;
        EntryAt(index) =
            Entry{key, value, static_cast<uint16>(keyLength), static_cast<uint16>(valueLength), 0};
        uint32& head = buckets[HashKey(key, static_cast<uint32>(keyLength)) % kNumBuckets];
        NextOf(index) = head;
        head = index;
    }

    void Parse(char* buffer, size_t size, const char* sourceName);

    // Returns true when this is the first miss of `key`.
    bool RecordUnknown(StrView key)
    {
        MX_MEMORY_TAG_SCOPE("Core/Localize/UnknownString");
        if (unknownBuckets == nullptr)
        {
            unknownBuckets =
                static_cast<uint32*>(Memory::Alloc(sizeof(uint32) * kNumUnknownBuckets, alignof(uint32)));
            std::fill(unknownBuckets, unknownBuckets + kNumUnknownBuckets, kNone);
        }
        uint32& head = unknownBuckets[HashKey(key.data(), key.length()) % kNumUnknownBuckets];
        for (uint32 i = head; i != kNone; i = unknown[i].next)
        {
            if (EqualsNoCase(unknown[i].key.data(), unknown[i].key.length(), key.data(), key.length()))
            {
                ++unknown[i].count;
                return false;
            }
        }
        unknown.push_back(UnknownKey{String(key), 1, head});
        head = static_cast<uint32>(unknown.size() - 1);
        return true;
    }

    const UnknownKey* FindUnknown(StrView key) const
    {
        if (unknownBuckets == nullptr)
            return nullptr;
        for (uint32 i = unknownBuckets[HashKey(key.data(), key.length()) % kNumUnknownBuckets]; i != kNone;
             i = unknown[i].next)
            if (EqualsNoCase(unknown[i].key.data(), unknown[i].key.length(), key.data(), key.length()))
                return &unknown[i];
        return nullptr;
    }

    void ReleaseTables()
    {
        for (FileBuffer& f : files)
            Memory::Free(f.data, f.size);
        std::vector<FileBuffer>().swap(files);
        for (EntryChunk* c : chunks)
            Memory::Free(c, sizeof(EntryChunk));
        std::vector<EntryChunk*>().swap(chunks);
        numEntries = 0;
        Memory::Free(buckets, sizeof(uint32) * kNumBuckets);
        buckets = nullptr;
    }

    ~LanguageService()
    {
        ReleaseTables();
        ReleaseUnknown();
    }

    void ReleaseUnknown()
    {
        std::vector<UnknownKey>().swap(unknown);
        Memory::Free(unknownBuckets, sizeof(uint32) * kNumUnknownBuckets);
        unknownBuckets = nullptr;
    }
};

LanguageService GServices[kNumLanguages];
uint32 GCurrentLanguage = 0;
char GKeyCopies[kNumKeyCopies][kKeyCopySize];
std::atomic<uint32> GKeyCopyCounter{0};

const char* LanguageName(uint32 id)
{
    return id < kNumLanguages ? kLanguages[id].name : "unknown";
}

// Keys and values are rewritten in place: the closing quote of a key and the end of a value become
// NUL, and escapes shrink a value towards its start, so no text is copied out of the buffer.
void LanguageService::Parse(char* buffer, size_t size, const char* sourceName)
{
    char* p = buffer;
    char* const end = buffer + size;
    while (p < end)
    {
        while (p < end && *p != '"' && *p != '\'')
            ++p;
        if (p >= end)
            return;
        const char keyQuote = *p++;
        char* const key = p;
        while (p < end && *p != keyQuote)
            ++p;
        if (p >= end)
            return;
        *p = 0;
        const size_t keyLength = static_cast<size_t>(p - key);
        ++p;

        while (p < end && *p != '"' && *p != '\'')
            ++p;
        if (p >= end)
            return;
        const char valueQuote = *p++;
        char* const value = p;
        char* lineEnd = p;
        while (lineEnd < end && *lineEnd != '\n' && *lineEnd != '\r' && *lineEnd != 0)
            ++lineEnd;

        // Escapes only ever shrink the text, so the value is rewritten in place behind the read
        // position. The reported position counts characters of the text as written in the file.
        char* write = value;
        char* lastQuote = nullptr;
        int32 characters = 0;
        for (char* read = value; read < lineEnd;)
        {
            char c = *read;
            if (c == '\\')
            {
                char next = read + 1 < lineEnd ? read[1] : 0;
                char replacement = next == '"'    ? '"'
                                   : next == '\'' ? '\''
                                   : next == 'n'  ? '\n'
                                   : next == 't'  ? '\t'
                                                  : 0;
                if (replacement != 0)
                {
                    *write++ = replacement;
                    read += 2;
                    characters += 2;
                    continue;
                }
                Log::Printf(__FILE__, __LINE__, Log::Error,
                            "Malformed %s language string '%s', invalid character at position %d",
                            LanguageName(static_cast<uint32>(this - GServices)), key, characters + 2);
            }
            else if (c == valueQuote)
                lastQuote = write;
            if (!IsContinuationByte(c))
                ++characters;
            *write++ = c;
            ++read;
        }
        char* valueEnd = lastQuote ? lastQuote : write;
        // valueEnd <= lineEnd <= end, and buffer[size] is the file's final NUL.
        *valueEnd = 0;
        Store(key, keyLength, value, static_cast<size_t>(valueEnd - value), sourceName);
        p = lineEnd < end ? lineEnd + 1 : end;
    }
}

void AddBuffer(LanguageService& service, const char* sourceName, const char* data, size_t length)
{
    char* buffer;
    {
        MX_MEMORY_TAG_SCOPE("Core/Localize/Files");
        buffer = static_cast<char*>(Memory::Alloc(length + 1, 1));
        service.files.push_back(FileBuffer{buffer, length + 1});
    }
    if (length)
        std::memcpy(buffer, data, length);
    buffer[length] = 0;
    service.Parse(buffer, length, sourceName);
}

// The last two components of a path, "Utils/Localize.cpp" for "/src/Core/Utils/Localize.cpp".
const char* ParentAndName(const char* path)
{
    const char* last = std::strrchr(path, '/');
    if (last == nullptr)
        return path;
    const char* start = last;
    while (start > path && start[-1] != '/')
        --start;
    return start;
}

// Frames of the lookup itself and of the callers that only pass keys through. Checked by name as
// well as by file: an inlined helper's line can name a header while the function is still ours.
bool IsPassThroughFrame(const StackFrameInfo& frame)
{
    static const char* const kFiles[] = {"localize.cpp", "localize.h", "layers.cpp", "widget_saveload.cpp"};
    if (frame.file != nullptr)
    {
        const char* slash = std::strrchr(frame.file, '/');
        const char* base = slash != nullptr ? slash + 1 : frame.file;
        for (const char* file : kFiles)
            if (Str::EqualNoCase(base, file))
                return true;
    }
    static const char* const kFunctions[] = {"Morvex::Localize::",
                                             "Morvex::(anonymous namespace)::ReportUnknown"};
    for (const char* prefix : kFunctions)
        if (std::strncmp(frame.name, prefix, std::strlen(prefix)) == 0)
            return true;
    return false;
}

// "  <folder>/<file>(<line>): <function>\n" per frame, for at most `maxFrames` frames that have a
// function name and are not pass-through frames. Without line information the module's folder and
// name stand in for the source file, with line 0.
class UnknownKeyStackVisitor final : public StackFrameVisitor
{
public:
    UnknownKeyStackVisitor(uint32 maxFrames, StaticString2048_t& out) : m_max(maxFrames), m_out(out) {}
    void OnFrame(const StackFrameInfo& frame) override
    {
        if (m_written == m_max || frame.name == nullptr || IsPassThroughFrame(frame))
            return;
        const char* path = frame.file != nullptr ? frame.file : frame.module;
        m_out.AppendFormat("  %s(%d): %s\n", path != nullptr ? ParentAndName(path) : "?",
                           static_cast<int>(frame.line), frame.name);
        ++m_written;
    }

private:
    uint32 m_max;
    uint32 m_written = 0;
    StaticString2048_t& m_out;
};

void ReportUnknown(uint32 id, StrView key, const char* fallback)
{
    int32 mode = Localize_LogUnknownStrings.GetInt();
    if (mode == 0)
        return;
    uint32 level = mode < 2 ? Log::Warning : Log::Error;
    StaticString1024_t keyText(key);
    Log::Printf(level, "%s", kSeparatorLine);
    Log::Printf(level, "Unknown string in %s: \"%s\"", LanguageName(id), keyText.c_str());
    if (id != kEnglish)
    {
        if (fallback)
            Log::Printf(level, "%s fallback: \"%s\"", kLanguages[kEnglish].name, fallback);
        else
            Log::Printf(level, "No %s fallback", kLanguages[kEnglish].name);
    }
    int32 depth = Localize_LogUnknownStringsStackDepth.GetInt();
    if (depth > 0)
    {
        constexpr uint32 kMaxFrames = 16;
        void* frames[kMaxFrames];
        const uint16 count = CaptureStackBackTrace(frames, kMaxFrames, 0);
        StaticString2048_t trace;
        UnknownKeyStackVisitor visitor(static_cast<uint32>(std::min<int32>(depth, kMaxFrames)), trace);
        SymbolizeStack(frames, count, visitor);
        Log::Printf(level, "Stack trace:\n%s", trace.c_str());
        Log::Printf(level, "%s\n", kSeparatorLine);
    }
}

const char* CopyKey(StrView key)
{
    uint32 slot = GKeyCopyCounter.fetch_add(1, std::memory_order_relaxed) % kNumKeyCopies;
    char* copy = GKeyCopies[slot];
    CopyUtf8Chars(copy, kKeyCopySize, key.begin(), key.end(), 0xFFFFFFFFu);
    return copy;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
} // namespace

bool LanguageList::Contains(uint32 id) const
{
    for (uint32 i = 0; i < count; ++i)
        if (ids[i] == id)
            return true;
    return false;
}

uint32 Localize::FindLanguage(StrView name)
{
    for (uint32 i = 0; i < kNumLanguages; ++i)
        if (EqualsNoCase(kLanguages[i].name, static_cast<uint32>(std::strlen(kLanguages[i].name)),
                         name.data(), name.length()))
            return i;
    return kInvalidLanguage;
}

uint32 Localize::GetLanguage()
{
    return GCurrentLanguage;
}

const LanguageInfo& Localize::GetLanguageInfo(uint32 id)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return kLanguages[kEnglish];
    return kLanguages[id];
}

LanguageList Localize::GetSupportedLanguages()
{
    LanguageList list;
    StrView text(cl_supportedLanguages.GetS());
    if (text.length() > 512)
        text = StrView(text.data(), 512);
    uint32 names = 0;
    uint32 pos = 0;
    while (pos < text.length() && names < LanguageList::kMaxLanguages)
    {
        while (pos < text.length() && IsSpace(text[pos]))
            ++pos;
        if (pos >= text.length())
            break;
        uint32 start = pos;
        uint32 stop;
        char quote = text[pos];
        if (quote == '"' || quote == '\'')
        {
            start = ++pos;
            while (pos < text.length() && text[pos] != quote)
                ++pos;
            stop = pos;
            if (pos < text.length())
                ++pos;
        }
        else
        {
            while (pos < text.length() && !IsSpace(text[pos]))
                ++pos;
            stop = pos;
        }
        ++names;
        StrView name(text.data() + start, stop - start);
        uint32 id = FindLanguage(name);
        if (id == kInvalidLanguage)
        {
            StaticString512_t shown(name);
            MX_LOG_ERROR("Invalid language name: %s", shown.c_str());
            continue;
        }
        list.ids[list.count++] = id;
    }
    if (list.count == 0)
    {
        for (uint32 i = 0; i < kNumLanguages; ++i)
            list.ids[i] = i;
        list.count = kNumLanguages;
    }
    return list;
}

uint32 Localize::LanguageFromLocaleName(StrView locale)
{
    // "ll[_TT][.codeset][@modifier]": only the language and the territory matter.
    uint32 languageEnd = 0;
    while (languageEnd < locale.length() && locale[languageEnd] != '_' && locale[languageEnd] != '.' &&
           locale[languageEnd] != '@' && locale[languageEnd] != '-')
        ++languageEnd;
    StrView language(locale.data(), languageEnd);
    StrView territory;
    if (languageEnd < locale.length() && (locale[languageEnd] == '_' || locale[languageEnd] == '-'))
    {
        uint32 start = languageEnd + 1;
        uint32 stop = start;
        while (stop < locale.length() && locale[stop] != '.' && locale[stop] != '@')
            ++stop;
        territory = StrView(locale.data() + start, stop - start);
    }
    struct Mapping
    {
        const char* language;
        const char* territory; // null: any
        uint32 id;
    };
    // The same primary languages as the interface-language table of the game's first platform;
    // Chinese counts only in its simplified (CN) and traditional (TW) forms.
    static const Mapping kMappings[] = {
        {"de", nullptr, 1}, {"es", nullptr, 4}, {"fr", nullptr, 2}, {"it", nullptr, 3}, {"ja", nullptr, 8},
        {"ko", nullptr, 9}, {"ru", nullptr, 5}, {"zh", "CN", 6},    {"zh", "TW", 7},
    };
    for (const Mapping& m : kMappings)
    {
        if (!EqualsNoCase(language.data(), language.length(), m.language, 2))
            continue;
        if (m.territory == nullptr || EqualsNoCase(territory.data(), territory.length(), m.territory,
                                                   static_cast<uint32>(std::strlen(m.territory))))
            return m.id;
    }
    return kEnglish;
}

void Localize::Init()
{
    for (uint32 i = 0; i < kNumLanguages; ++i)
        GServices[i].id = i;
    uint32 id = FindLanguage(StrView(cl_language.GetS()));
    if (id == kInvalidLanguage)
        id = GetSystemLanguage();
    LanguageList supported = GetSupportedLanguages();
    if (!supported.Contains(id))
        id = supported.ids[0];
    GCurrentLanguage = id;
    cl_language.SetS(StrView(kLanguages[id].name));
}

void Localize::SetLanguage(uint32 id, bool force)
{
    if (!force)
    {
        LanguageList supported = GetSupportedLanguages();
        if (!supported.Contains(id))
            id = supported.ids[0];
    }
    if (!MX_VERIFY(id < kNumLanguages))
        return;
    GCurrentLanguage = id;
    cl_language.SetS(StrView(kLanguages[id].name));
}

void Localize::LoadLanguage(uint32 id, StrView folder)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return;
    LanguageService& service = GServices[id];
    service.folder.Assign(folder);
    std::vector<FilePath> paths;
    LocalizeFiles::ListTableFiles(service.folder, paths);
    for (const FilePath& path : paths)
        LoadFile(id, path.c_str());
}

bool Localize::LoadFile(uint32 id, const char* path)
{
    MX_MEMORY_TAG_SCOPE("Core/Localize");
    MX_PROFILE_ZONE("Localization strings");
    if (!MX_VERIFY(id < kNumLanguages) || path == nullptr)
        return false;
    LanguageService& service = GServices[id];
    char* buffer = nullptr;
    size_t length = 0;
    {
        MX_MEMORY_TAG_SCOPE("Core/Localize/Files");
        if (!LocalizeFiles::ReadTableFile(path, buffer, length))
        {
            MX_LOG_WARNING("Localize::Load: can't load '%s'", path);
            return false;
        }
        service.files.push_back(FileBuffer{buffer, length + 1});
    }
    service.Parse(buffer, length, path);
    return true;
}

void Localize::LoadText(uint32 id, const char* sourceName, StrView text)
{
    MX_MEMORY_TAG_SCOPE("Core/Localize");
    if (!MX_VERIFY(id < kNumLanguages))
        return;
    AddBuffer(GServices[id], sourceName ? sourceName : "", text.data(), text.length());
}

const char* Localize::GetString(StrView key, uint32 id)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return CopyKey(key);
    LanguageService& service = GServices[id];
    if (Entry* e = service.Find(key))
    {
        ++e->useCount;
        if (e->value)
            return e->value;
    }
    bool firstMiss = service.RecordUnknown(key);
    const char* fallback = nullptr;
    if (id != kEnglish)
    {
        if (Entry* e = GServices[kEnglish].Find(key))
        {
            ++e->useCount;
            fallback = e->value;
        }
    }
    if (firstMiss)
        ReportUnknown(id, key, fallback);
    return fallback ? fallback : CopyKey(key);
}

uint32 Localize::GetUnknownCount(uint32 id, StrView key)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return 0;
    const UnknownKey* u = GServices[id].FindUnknown(key);
    return u ? u->count : 0;
}

uint32 Localize::GetNumEntries(uint32 id)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return 0;
    return GServices[id].numEntries;
}

int64 Localize::GetUseCount(uint32 id, StrView key)
{
    if (!MX_VERIFY(id < kNumLanguages))
        return -1;
    const Entry* e = GServices[id].Find(key);
    return e ? static_cast<int64>(e->useCount) : -1;
}

void Localize::Shutdown()
{
    MX_PROFILE_ZONE("Morvex::Localize::Shutdown");
    for (LanguageService& service : GServices)
    {
        service.ReleaseTables();
        service.folder.Clear();
        service.ReleaseUnknown();
    }
}

void Localize::CmdDumpUnknownStrings(const CmdArgs&)
{
    int32 lines = 0;
    for (uint32 id = 0; id < kNumLanguages; ++id)
    {
        for (const UnknownKey& u : GServices[id].unknown)
        {
            MX_LOG_INFO("%10s: %s", kLanguages[id].name, u.key.c_str());
            ++lines;
        }
    }
    MX_LOG_INFO("%d strings w/o localization", lines);
}

void Localize::CmdDumpUnrefStrings(const CmdArgs&)
{
    int32 lines = 0;
    for (uint32 id = 0; id < kNumLanguages; ++id)
    {
        LanguageService& service = GServices[id];
        for (uint32 i = 0; i < service.numEntries; ++i)
        {
            const Entry& e = service.EntryAt(i);
            if (e.useCount != 0)
                continue;
            MX_LOG_INFO("%10s: %s = '%s'", kLanguages[id].name, e.key, e.value);
            ++lines;
        }
    }
    MX_LOG_INFO("%d strings total that were not used this time", lines);
}

void Localize::CmdReloadStrings(const CmdArgs&)
{
    for (uint32 id = 0; id < kNumLanguages; ++id)
    {
        LanguageService& service = GServices[id];
        service.ReleaseTables();
        if (!service.folder.empty())
        {
            FilePath folder = service.folder;
            LoadLanguage(id, folder);
        }
    }
}

void Localize::CmdDumpLanguageCharset(const CmdArgs&)
{
    MX_MEMORY_TAG_SCOPE("Core/Localize");
    LanguageService& service = GServices[GCurrentLanguage];
    std::vector<bool> seen(0x10000, false);
    std::vector<char16_t> units(kMaxUnitsPerValue);
    for (uint32 i = 0; i < service.numEntries; ++i)
    {
        const Entry& e = service.EntryAt(i);
        uint32 n = Utf8ToUtf16(units.data(), kMaxUnitsPerValue, StrView(e.value, e.valueLength));
        for (uint32 u = 0; u < n; ++u)
            seen[units[u]] = true;
    }
    std::string text;
    for (uint32 unit = 1; unit < 0x10000; ++unit)
    {
        if (!seen[unit])
            continue;
        char encoded[3];
        text.append(encoded, EncodeUtf8(unit, encoded));
    }
    FilePath name;
    name.Format("charset_%s.txt", kLanguages[GCurrentLanguage].name);
    if (!LocalizeFiles::WriteWholeFile(name.c_str(), text.data(), text.size()))
    {
        MX_LOG_ERROR("Could not write '%s'", name.c_str());
        return;
    }
    MX_LOG_INFO("Saved to '%s'", name.c_str());
}

void Localize::CmdPrintableASCII(const CmdArgs&)
{
    char text[256];
    uint32 n = 0;
    for (uint32 c = 32; c <= 254; ++c)
        if (c != 127)
            text[n++] = static_cast<char>(c);
    text[n] = 0;
    MX_LOG_INFO("%s", text);
}

MX_CONSOLE_COMMAND("cl_dumpUnknownStrings", "List referenced strings w/o localization",
                   Localize::CmdDumpUnknownStrings);
MX_CONSOLE_COMMAND("cl_dumpUnrefStrings", "List localization strings that were not used this run",
                   Localize::CmdDumpUnrefStrings);
MX_CONSOLE_COMMAND("cl_reloadStrings", "Reload localization strings", Localize::CmdReloadStrings);
MX_CONSOLE_COMMAND("cl_dumpLanguageCharset",
                   "Save all unique used characters for the current language to file",
                   Localize::CmdDumpLanguageCharset);
MX_CONSOLE_COMMAND("PrintableASCII", "Show a string of all printable ASCII characters",
                   Localize::CmdPrintableASCII);
} // namespace Morvex
