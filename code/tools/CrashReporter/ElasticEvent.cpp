// The short JSON event that every delivery leaves in the Elasticsearch index, so that crashes can be
// counted and searched without opening the reports.

#include "CrashReporter.h"

#include "Core/ErrorCode.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Timing/PlatformTime.h"
#include "Net/HTTPClient.h"

#include <cstring>

namespace Morvex
{
namespace
{
constexpr uint32 kMaxAdditionalBytes = 1024;
constexpr uint32 kMaxItems = 64;
constexpr uint32 kMaxDescriptionBytes = 512;

// The items of `additional`, each kept as its own NUL-terminated copy in one fixed block: at most
// 1024 bytes of text are looked at, so the copies and their terminators always fit.
struct AdditionalItems
{
    uint32 count = 0;
    StrView items[kMaxItems];
    char storage[kMaxAdditionalBytes + kMaxItems];
    uint32 used = 0;

    void Add(const char* p, uint32 length)
    {
        // Items beyond the 64th are dropped; empty ones (an empty quoted item) never count.
        if (count == kMaxItems || length == 0)
            return;
        char* copy = storage + used;
        std::memcpy(copy, p, length);
        copy[length] = 0;
        used += length + 1;
        items[count++] = StrView(copy, length);
    }
};

// Delimiter ';' (runs of it are skipped); an item that starts with a double quote or an apostrophe
// runs to the next occurrence of that character, quotes excluded; an unquoted item also ends at a
// quote character, which then starts the next item.
void SplitAdditional(StrView additional, AdditionalItems& out)
{
    const uint32 n = additional.length() < kMaxAdditionalBytes ? additional.length() : kMaxAdditionalBytes;
    const char* text = additional.data();
    uint32 pos = 0;
    while (pos < n)
    {
        const char c = text[pos];
        if (c == ';')
        {
            ++pos;
            continue;
        }
        if (c == '"' || c == '\'')
        {
            const uint32 start = ++pos;
            while (pos < n && text[pos] != c)
                ++pos;
            out.Add(text + start, pos - start);
            if (pos < n)
                ++pos; // the closing quote
            continue;
        }
        const uint32 start = pos;
        while (pos < n && text[pos] != ';' && text[pos] != '"' && text[pos] != '\'')
            ++pos;
        out.Add(text + start, pos - start);
    }
}

// The value of the first item of the form key=value whose key is `key`; false when there is none.
// An item without '=' is not a parameter.
bool FindParameter(const AdditionalItems& items, StrView key, StrView& value)
{
    for (uint32 i = 0; i < items.count; ++i)
    {
        const StrView item = items.items[i];
        const void* eq = std::memchr(item.data(), '=', item.length());
        if (eq == nullptr)
            continue;
        const uint32 keyLength = static_cast<uint32>(static_cast<const char*>(eq) - item.data());
        if (StrView(item.data(), keyLength) == key)
        {
            value = item.substr(keyLength + 1);
            return true;
        }
    }
    return false;
}
} // namespace

void AppendJsonEscaped(String& out, StrView text)
{
    static const char kHex[] = "0123456789ABCDEF";
    for (uint32 i = 0; i < text.length(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c)
        {
        case '\b':
            out.Append("\\b", 2);
            break;
        case '\t':
            out.Append("\\t", 2);
            break;
        case '\n':
            out.Append("\\n", 2);
            break;
        case '\r':
            out.Append("\\r", 2);
            break;
        case '"':
            out.Append("\\\"", 2);
            break;
        case '\\':
            out.Append("\\\\", 2);
            break;
        default:
            if (c < 0x20)
            {
                // JSON admits no raw control characters inside a string.
                const char escaped[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
                out.Append(escaped, 6);
            }
            else if (c < 0x80)
                out.Append(static_cast<char>(c));
            else
            {
                // JSON text is UTF-8: bytes of another encoding (or a character cut by a fixed
                // capacity) would make the whole document unreadable, so each ill-formed part
                // becomes U+FFFD.
                uint32 bad = 1;
                const uint32 length = Str::Utf8CharLength(text.data() + i, text.length() - i, bad);
                if (length != 0)
                {
                    out.Append(text.data() + i, length);
                    i += length - 1;
                }
                else
                {
                    out.Append("\xEF\xBF\xBD", 3);
                    i += bad - 1;
                }
            }
            break;
        }
    }
}

void FormatElasticTimestamp(int64 timeMs, StaticString32_t& out)
{
    const DateTime t = TimeToUtcDateTime(timeMs);
    char millis[8];
    Str::SNPrintf(millis, ".%03d", t.milliseconds);
    out.Clear();
    out.AppendFormat("%04d-%02d-%02dT%02d:%02d:%02d%sZ", t.year, t.month, t.day, t.hour, t.minute, t.second,
                     millis);
}

String BuildElasticEventDocument(StrView product, StrView additional, StrView timestamp)
{
    AdditionalItems items;
    SplitAdditional(additional, items);

    StrView versionType("unknown");
    StrView value;
    if (FindParameter(items, "version-type", value))
        versionType = value;
    const bool scriptErrors = FindParameter(items, "script", value) && !value.empty();
    const char* kindTag = scriptErrors ? "script-error" : "crash";
    const char* titleSuffix = scriptErrors ? "had script errors" : "crashed";

    StaticString512_t description;
    for (uint32 i = 0; i < items.count; ++i)
    {
        description.Append(items.items[i]);
        description.Append("<br>");
    }
    // The cut of an over-long description falls between whole UTF-8 characters.
    const StrView descriptionView(
        description.c_str(),
        Str::Utf8PrefixLength(StrView(description.c_str(), description.length()), kMaxDescriptionBytes));

    // Every string value is escaped, and the text grows as needed: a document is never cut.
    String doc;
    doc.Reserve(160 + timestamp.length() + 3 * product.length() + versionType.length() +
                descriptionView.length());
    doc.Append("{\n  \"@timestamp\": \"");
    AppendJsonEscaped(doc, timestamp);
    doc.Append("\",\n  \"tags\" : [\"");
    doc.Append(kindTag);
    doc.Append("\", \"");
    AppendJsonEscaped(doc, versionType);
    doc.Append("\", \"");
    AppendJsonEscaped(doc, product);
    doc.Append("\"],\n  \"title\" : \"");
    AppendJsonEscaped(doc, product);
    doc.Append(' ');
    doc.Append(titleSuffix);
    doc.Append("\",\n  \"desc\" : \"");
    AppendJsonEscaped(doc, descriptionView);
    doc.Append("\"\n}");
    return doc;
}

bool SendElasticEvent(StrView url, StrView document)
{
    MX_MEMORY_TAG_SCOPE("CrashReporter");
    const String urlText(url);
    Net::HTTPClient::RequestParams params;
    params.verb = Net::HTTPClient::Verb::POST;
    params.failOnError = true;
    params.collectHeaders = false;
    params.synchronous = true;
    params.body = document.data();
    params.bodySize = document.length();
    params.headers.push_back(String("Content-Type: application/json"));
    // A silent index server must not hold the report back for the client's default minute.
    params.timeoutSec = ElasticsearchTimeoutSec.GetInt();

    Net::HTTPClient::ResponsePromise promise = Net::HTTPClient::Request(urlText.c_str(), params, nullptr);
    // Synchronous: the promise is settled already and the continuation runs here, while the
    // document still exists. Any status below 400 resolves it and logs nothing.
    bool posted = false;
    promise.SetCallback(
        [document, &posted](const ttl::Result<Net::HTTPClient::Response>& result)
        {
            if (result.IsOk())
            {
                // A redirect of the POST is not followed (it would arrive as an empty GET), so the
                // event did not reach the index.
                const int32 status = result.GetValue().httpCode;
                if (status < 300 || status >= 400)
                {
                    posted = true;
                    return;
                }
                Log::Printf(__FILE__, __LINE__, Log::Error,
                            "AddElasticEvent: the server answered %d (a redirect, not followed)",
                            static_cast<int>(status));
            }
            else
                Log::Printf(__FILE__, __LINE__, Log::Error, "AddElasticEvent: %s",
                            ErrorCodeQualifiedName(result.GetError()));
            Log::Printf(__FILE__, __LINE__, Log::Error, "%.*s", static_cast<int>(document.length()),
                        document.data());
        });
    promise.Release();
    return posted;
}

bool AddElasticEvent(const CrashReporterSettings& settings)
{
    MX_MEMORY_TAG_SCOPE("CrashReporter");
    const char* url = ElasticsearchUrl.GetS();
    // No index configured: there is nothing to post, now or later.
    if (url == nullptr || url[0] == 0)
        return true;
    StaticString32_t timestamp;
    FormatElasticTimestamp(GetTimeMs(), timestamp);
    const String document =
        BuildElasticEventDocument(StrView(settings.product.c_str(), settings.product.length()),
                                  StrView(settings.additional.c_str(), settings.additional.length()),
                                  StrView(timestamp.c_str(), timestamp.length()));
    return SendElasticEvent(url, document.view());
}
} // namespace Morvex
