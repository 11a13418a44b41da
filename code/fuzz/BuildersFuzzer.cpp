// The two texts the reporter builds from what it was given: the event document (product and the
// free-form parameters) and a hand-built multipart body. The document must be valid UTF-8 with no
// raw control bytes inside its strings and keep its fixed frame; the multipart body must hold every
// part's content and end with the closing boundary.

#include "CrashReporter.h"

#include "Core/Str.h"
#include "Net/HTTPClient.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace Morvex;

namespace
{
void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// Splits the input at 0x1F bytes into at most `max` pieces.
std::vector<StrView> Pieces(const uint8_t* data, size_t size, size_t max)
{
    std::vector<StrView> out;
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    while (out.size() + 1 < max)
    {
        const char* cut = static_cast<const char*>(std::memchr(p, 0x1F, static_cast<size_t>(end - p)));
        if (cut == nullptr)
            break;
        out.emplace_back(p, static_cast<uint32>(cut - p));
        p = cut + 1;
    }
    out.emplace_back(p, static_cast<uint32>(end - p));
    return out;
}

void CheckEvent(StrView product, StrView additional)
{
    const String doc = BuildElasticEventDocument(product, additional, StrView("2022-12-14T10:20:30.123Z"));
    const char* text = doc.c_str();
    const uint32 length = doc.length();
    Check(std::strlen(text) == length);
    const char head[] = "{\n  \"@timestamp\": \"2022-12-14T10:20:30.123Z\",\n  \"tags\" : [\"";
    Check(length > sizeof(head) && std::memcmp(text, head, sizeof(head) - 1) == 0);
    Check(length >= 3 && std::memcmp(text + length - 3, "\"\n}", 3) == 0);
    uint32 lineFeeds = 0;
    for (uint32 i = 0; i < length;)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n')
            ++lineFeeds;
        else
            Check(c >= 0x20);
        uint32 bad = 0;
        const uint32 n = Str::Utf8CharLength(text + i, length - i, bad);
        Check(n != 0);
        i += n;
    }
    Check(lineFeeds == 5);
}

void CheckMultipart(const std::vector<StrView>& pieces)
{
    std::vector<Net::MultipartPart> parts;
    for (size_t i = 0; i + 1 < pieces.size() && parts.size() < 4; i += 2)
    {
        Net::MultipartPart part;
        part.name = pieces[i];
        part.fileName = (i & 2) ? pieces[i] : StrView();
        part.extraHeader = (i & 4) ? StrView("X-Extra: 1") : StrView();
        part.content = pieces[i + 1].data();
        part.contentSize = pieces[i + 1].length();
        parts.push_back(part);
    }
    StaticString<256> contentType;
    const std::string body =
        Net::MultipartForm::Build(parts.data(), static_cast<uint32>(parts.size()), contentType);
    const std::string boundary = Net::MultipartForm::kBoundary;
    Check(std::string(contentType.c_str()) == "Content-Type: multipart/form-data; boundary=" + boundary);
    const std::string closing = "\r\n--" + boundary + "--";
    Check(body.size() >= closing.size() &&
          body.compare(body.size() - closing.size(), closing.size(), closing) == 0);
    // Walk the parts in order: each header starts with the boundary, its quoted name ends on its
    // own line (no quote or line break of a name escapes it), and the content follows the header.
    size_t from = 0;
    const std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"";
    for (const Net::MultipartPart& part : parts)
    {
        const size_t at = body.find(head, from);
        Check(at != std::string::npos);
        const size_t open = at + head.size();
        const size_t close = body.find('"', open);
        Check(close != std::string::npos);
        Check(body.find_first_of("\r\n", open) > close);
        const size_t headerEnd = body.find("\r\n\r\n", close);
        Check(headerEnd != std::string::npos);
        const size_t content = headerEnd + 4;
        Check(body.compare(content, part.contentSize,
                           std::string(static_cast<const char*>(part.content ? part.content : ""),
                                       part.contentSize)) == 0);
        from = content + part.contentSize;
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    const std::vector<StrView> pieces = Pieces(data, size, 9);
    CheckEvent(pieces[0], pieces.size() > 1 ? pieces[1] : StrView());
    CheckMultipart(pieces);
    return 0;
}
