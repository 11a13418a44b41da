// Multipart file upload over the HTTP client, and the hand-built multipart writer.
//
// The upload's form is built with libcurl's mime API (curl_mime_*) rather than the older form API
// (curl_formadd): the form API is deprecated in this libcurl, warns under -Werror, and is itself
// implemented on top of the mime API, so both put the same bytes on the wire - parts in the order
// they were added, file parts named after the last path component, the content type chosen from
// the file name (application/octet-stream unless libcurl knows the extension), the file streamed
// from disk while sending. The mime API also reports an unreadable file when the part is made,
// so such an upload fails at once instead of after connecting.

#include "Core/Assert.h"
#include "Core/Containers/Dict.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/RawFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Str.h"
#include "Core/Timing/PlatformTime.h"
#include "HTTPClientInternal.h"
#include "Net/Async/AsyncService.h"
#include "Net/HTTPClient.h"

#include <curl/curl.h>

#include <cstring>
#include <string>

namespace Morvex
{
namespace Net
{
namespace
{
MX_CONSOLE_COMMAND("http_multipartPost", "http_multipartPost <url> <name> <file>",
                   HTTPClient::CmdMultipartPost);

// The dictionary's entries as field views; texts are copied because number texts are transient.
struct DictFields
{
    explicit DictFields(const Dict* dict)
    {
        uint32 n = dict ? dict->Size() : 0;
        texts.reserve(n);
        fields.reserve(n);
        for (uint32 i = 0; i < n; ++i)
        {
            const char* value = dict->ValueAt(i).ToString();
            texts.emplace_back(value ? value : "");
        }
        for (uint32 i = 0; i < n; ++i)
            fields.push_back(
                {StrView(dict->KeyAt(i)), StrView(texts[i].data(), static_cast<uint32>(texts[i].size()))});
    }
    std::vector<std::string> texts;
    std::vector<HTTPFormField> fields;
};
} // namespace

uint32 HTTPClient::UploadFileAsync(const char* url, const char* fieldName, const char* filePath,
                                   Completion completion, const Dict* fields)
{
    DictFields list(fields);
    return UploadFileAsync(url, fieldName, filePath, std::move(completion), list.fields.data(),
                           static_cast<uint32>(list.fields.size()));
}

bool HTTPClient::UploadFileSync(const char* url, const char* fieldName, const char* filePath,
                                const Dict* fields)
{
    DictFields list(fields);
    return UploadFileSync(url, fieldName, filePath, list.fields.data(),
                          static_cast<uint32>(list.fields.size()));
}

namespace
{
// The file part's content when it comes from an open file rather than a path: libcurl reads it
// through these callbacks (and seeks back when it must send the body again), and frees it with the
// form.
struct FilePartSource
{
    RawFile* file;
    uint64 size;
    uint64 position;
};

size_t ReadFilePart(char* buffer, size_t size, size_t count, void* arg)
{
    auto* source = static_cast<FilePartSource*>(arg);
    const uint64 left = source->size - source->position;
    size_t want = size * count;
    if (want > left)
        want = static_cast<size_t>(left);
    if (want > 0x40000000u)
        want = 0x40000000u;
    if (want == 0)
        return 0;
    const uint32 got = source->file->SeekReadBytes(buffer, source->position, static_cast<uint32>(want));
    // A file that shrank or cannot be read any more ends the transfer as a failure: a short body
    // would be a corrupt archive at the server.
    if (got != want)
        return CURL_READFUNC_ABORT;
    source->position += got;
    return got;
}

int SeekFilePart(void* arg, curl_off_t offset, int origin)
{
    auto* source = static_cast<FilePartSource*>(arg);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64>(offset) > source->size)
        return CURL_SEEKFUNC_CANTSEEK;
    source->position = static_cast<uint64>(offset);
    return CURL_SEEKFUNC_OK;
}

void FreeFilePart(void* arg)
{
    auto* source = static_cast<FilePartSource*>(arg);
    source->file->DropRef();
    delete source;
}

// Fills the form's file part; false when it cannot be made (the reason goes to `why`).
using FilePartFiller = bool (*)(curl_mimepart* part, const void* context, const char*& why);

uint32 StartUpload(const char* url, const char* fieldName, FilePartFiller fillFilePart, const void* context,
                   const char* describedFile, HTTPClient::Completion completion, const HTTPFormField* fields,
                   uint32 fieldCount)
{
    MX_MEMORY_TAG_SCOPE("Net/HTTPClient");
    if (url == nullptr)
        url = "";
    uint32 id = HTTPInternal::TakeRequestId();
    if (!HTTPInternal::HasClient())
    {
        HTTPInternal::CompleteAtOnce(id, completion, url, "no HTTP client");
        return id;
    }
    CurlEasy easyOwner(curl_easy_init());
    CURL* easy = easyOwner.get();
    if (easy == nullptr)
    {
        HTTPInternal::CompleteAtOnce(id, completion, url, "curl_easy_init failed");
        return id;
    }
    CurlMime mimeOwner(curl_mime_init(easy));
    curl_mime* mime = mimeOwner.get();
    bool formOk = mime != nullptr;
    for (uint32 i = 0; formOk && i < fieldCount; ++i)
    {
        curl_mimepart* part = curl_mime_addpart(mime);
        std::string name(fields[i].name.data(), fields[i].name.length());
        formOk = part && curl_mime_name(part, name.c_str()) == CURLE_OK &&
                 curl_mime_data(part, fields[i].value.data() ? fields[i].value.data() : "",
                                fields[i].value.length()) == CURLE_OK;
    }
    bool fileOk = false;
    const char* why = "cannot build the form";
    if (formOk)
    {
        curl_mimepart* part = curl_mime_addpart(mime);
        formOk = part && curl_mime_name(part, fieldName ? fieldName : "") == CURLE_OK;
        fileOk = formOk && fillFilePart(part, context, why);
    }
    if (!formOk || !fileOk)
    {
        MX_LOG_ERROR("HTTPClient::UploadFileAsync: %s '%s'", why, describedFile);
        HTTPInternal::CompleteAtOnce(id, completion, url, "upload not started");
        return id;
    }

    HTTPSlot* slot = HTTPInternal::AppendSlot(id, std::move(completion));
    slot->easy = std::move(easyOwner);
    slot->mime = std::move(mimeOwner);
    HTTPInternal::SetCommonUploadOptions(*slot, url);
    curl_easy_setopt(easy, CURLOPT_MIMEPOST, mime);
    // Archives run to hundreds of MB: larger reads and sends than the 64 KiB default cut the number
    // of calls by sixteen.
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024L);

    if (http_logClientRequests.GetInt() > 0)
    {
        MX_LOG_NET("HTTPClient::UploadFileAsync: %u requests active", HTTPClient::GetNumActiveRequests());
        MX_LOG_NET("%s", DescribeRequest(*slot).c_str());
    }
    return HTTPInternal::StartAsync(slot, url);
}

struct UploadRecord
{
    uint32 done = 0;
    HTTPClient::UploadOutcome outcome;
};

HTTPClient::Completion RecordInto(UploadRecord& record)
{
    return [&record](const HTTPClient::Response& response)
    {
        record.done = response.reqId;
        record.outcome.httpStatus = response.httpCode;
        record.outcome.transportError = response.errorCode;
        record.outcome.body = response.body;
        record.outcome.requestSent = response.requestSent;
        // The last Retry-After of the answer counts (an interim 100 Continue carries none).
        for (const String& line : response.headers)
        {
            const char* text = line.c_str();
            if (line.length() > 12 && Str::EqualNoCase(text, "Retry-After:", 12))
            {
                StrView value(text + 12, line.length() - 12);
                while (!value.empty() && (value[0] == ' ' || value[0] == '\t'))
                    value.remove_prefix(1);
                record.outcome.retryAfterSec = HTTPClient::ParseRetryAfter(value, GetTimeMs());
            }
        }
    };
}

// Pumps the client until the upload `id` has completed into `record` and says what became of it.
HTTPClient::UploadOutcome FinishUpload(uint32 id, UploadRecord& record)
{
    while (record.done == 0)
    {
        // The request can only vanish without completing when someone cancelled it.
        if (!HTTPInternal::HasSlot(id))
        {
            record.outcome.transportError = ErrorCode::NETWORK;
            break;
        }
        HTTPClient::Update();
        AsyncService::Poll(0);
        if (record.done == 0)
            HTTPInternal::WaitForActivity(1);
    }
    HTTPClient::UploadOutcome& outcome = record.outcome;
    // Success is an answer of 200 only: without an answer (unreachable server, time-out, TLS
    // failure, unreadable file) the report has not arrived, and the caller must be able to retry.
    if (outcome.transportError != ErrorCode::OK)
        MX_LOG_ERROR("HTTPClient::UploadFileSync failed with error %d (%s)",
                     static_cast<int>(outcome.httpStatus), ErrorCodeQualifiedName(outcome.transportError));
    else if (outcome.httpStatus != 200)
        MX_LOG_ERROR("HTTPClient::UploadFileSync failed with error %d", static_cast<int>(outcome.httpStatus));
    outcome.result = HTTPClient::ClassifyUpload(outcome.transportError, outcome.httpStatus);
    return outcome;
}

struct OpenFilePart
{
    RawFile* file;
    const char* fileName;
};
} // namespace

uint32 HTTPClient::UploadFileAsync(const char* url, const char* fieldName, const char* filePath,
                                   Completion completion, const HTTPFormField* fields, uint32 fieldCount)
{
    // Paths use '/' inside the program; '\\' is accepted on input and libcurl names the file part
    // after what follows the last '/'.
    const FilePath normalized = FilePath::Normalized(StrView(filePath ? filePath : ""));
    const std::string path(normalized.c_str(), normalized.length());
    return StartUpload(
        url, fieldName,
        [](curl_mimepart* part, const void* context, const char*& why)
        {
            why = "cannot read the file";
            return curl_mime_filedata(part, static_cast<const std::string*>(context)->c_str()) == CURLE_OK;
        },
        &path, path.c_str(), std::move(completion), fields, fieldCount);
}

uint32 HTTPClient::UploadFileAsync(const char* url, const char* fieldName, RawFile& file,
                                   const char* fileName, Completion completion, const HTTPFormField* fields,
                                   uint32 fieldCount)
{
    const OpenFilePart open{&file, fileName ? fileName : ""};
    return StartUpload(
        url, fieldName,
        [](curl_mimepart* part, const void* context, const char*& why)
        {
            const auto* open = static_cast<const OpenFilePart*>(context);
            why = "cannot read the file";
            if (!open->file->IsValid() || open->file->GetMode() != EFileOpenMode::kRead)
                return false;
            auto* source = new FilePartSource{open->file, open->file->GetSize(), 0};
            open->file->AddRef();
            // Once curl_mime_data_cb has taken the source, the form frees it (through FreeFilePart)
            // when the form goes. A failed call never takes it, so it is freed here.
            if (curl_mime_data_cb(part, static_cast<curl_off_t>(source->size), ReadFilePart, SeekFilePart,
                                  FreeFilePart, source) != CURLE_OK)
            {
                FreeFilePart(source);
                return false;
            }
            return curl_mime_filename(part, open->fileName) == CURLE_OK &&
                   curl_mime_type(part, "application/octet-stream") == CURLE_OK;
        },
        &open, fileName ? fileName : "", std::move(completion), fields, fieldCount);
}

int32 HTTPClient::ParseRetryAfter(StrView value, int64 nowMs)
{
    while (!value.empty() && (value[value.length() - 1] == ' ' || value[value.length() - 1] == '\t'))
        value = value.substr(0, value.length() - 1);
    if (value.empty() || value.length() > 64)
        return -1;
    bool digits = true;
    for (uint32 i = 0; i < value.length() && digits; ++i)
        digits = value[i] >= '0' && value[i] <= '9';
    if (digits)
    {
        // Seconds; past a year they are all the same to a caller that clamps to an hour.
        uint64 seconds = 0;
        for (uint32 i = 0; i < value.length() && seconds < 31536000; ++i)
            seconds = seconds * 10 + static_cast<uint64>(value[i] - '0');
        return static_cast<int32>(seconds < 31536000 ? seconds : 31536000);
    }
    // An HTTP date ("Wed, 21 Oct 2015 07:28:00 GMT"); libcurl knows all three forms.
    const std::string text(value.data(), value.length());
    const time_t when = curl_getdate(text.c_str(), nullptr);
    if (when < 0)
        return -1;
    const int64 delta = static_cast<int64>(when) - nowMs / 1000;
    return delta <= 0 ? 0 : static_cast<int32>(delta < 31536000 ? delta : 31536000);
}

HTTPClient::UploadOutcome::Result HTTPClient::ClassifyUpload(ErrorCode transportError, int32 httpStatus)
{
    if (transportError != ErrorCode::OK)
        return UploadOutcome::Result::Retry;
    switch (httpStatus)
    {
    case 200:
        return UploadOutcome::Result::Delivered;
    case 400:
    case 401:
    case 403:
    case 404:
    case 413:
    case 422:
        return UploadOutcome::Result::Rejected;
    default:
        return UploadOutcome::Result::Retry;
    }
}

bool HTTPClient::UploadFileSync(const char* url, const char* fieldName, const char* filePath,
                                const HTTPFormField* fields, uint32 fieldCount)
{
    UploadRecord record;
    uint32 id = UploadFileAsync(url, fieldName, filePath, RecordInto(record), fields, fieldCount);
    return FinishUpload(id, record).Delivered();
}

HTTPClient::UploadOutcome HTTPClient::UploadFile(const char* url, const char* fieldName, RawFile& file,
                                                 const char* fileName, const Dict* fields)
{
    DictFields list(fields);
    UploadRecord record;
    uint32 id = UploadFileAsync(url, fieldName, file, fileName, RecordInto(record), list.fields.data(),
                                static_cast<uint32>(list.fields.size()));
    return FinishUpload(id, record);
}

std::string MultipartForm::Build(const MultipartPart* parts, uint32 count, StaticString<256>& outContentType)
{
    outContentType.Format("Content-Type: multipart/form-data; boundary=%s", kBoundary);
    size_t reserve = 0;
    for (uint32 i = 0; i < count; ++i)
        reserve += static_cast<size_t>(parts[i].contentSize) + parts[i].extraHeader.length() + 256;
    std::string body;
    body.reserve(reserve);
    // A name is a quoted string inside a header line: its quote and line breaks are written the way
    // browsers write them in form data, so that no name can end the header or the line.
    auto appendQuoted = [&body](StrView text)
    {
        body += '"';
        for (uint32 j = 0; j < text.length(); ++j)
        {
            const char c = text[j];
            if (c == '"')
                body += "%22";
            else if (c == '\r')
                body += "%0D";
            else if (c == '\n')
                body += "%0A";
            else
                body += c;
        }
        body += '"';
    };
    for (uint32 i = 0; i < count; ++i)
    {
        const MultipartPart& part = parts[i];
        if (i != 0)
            body += "\r\n";
        body += "--";
        body += kBoundary;
        body += "\r\nContent-Disposition: form-data; name=";
        appendQuoted(part.name);
        if (!part.fileName.empty())
        {
            body += "; filename=";
            appendQuoted(part.fileName);
            body += "\r\nContent-Transfer-Encoding: binary";
        }
        body += "\r\n";
        if (!part.extraHeader.empty())
        {
            body.append(part.extraHeader.data(), part.extraHeader.length());
            if (!part.extraHeader.ends_with("\r\n"))
                body += "\r\n";
        }
        body += "\r\n";
        if (part.content && part.contentSize)
            body.append(static_cast<const char*>(part.content), part.contentSize);
    }
    body.append("\r\n--");
    body.append(kBoundary);
    body.append("--");
    return body;
}

void HTTPClient::CmdMultipartPost(const CmdArgs& args)
{
    if (args.Count() < 4)
    {
        MX_LOG_DEBUG("http_multipartPost <url> <name> <file>");
        return;
    }
    // Read straight from the path as typed: the command names a file on this machine.
    char* data = nullptr;
    uint32 size = 0;
    if (!FileSystem::ReadRawFile(args[3], data, &size))
    {
        MX_LOG_DEBUG("failed to read file '%s'", args[3]);
        return;
    }
    const std::string content(data, size);
    FileSystem::FreeFileData(data);
    static const char kTestValue[] = "test_field_value";
    MultipartPart parts[2];
    parts[0].name = args[2];
    parts[0].fileName = args[3];
    parts[0].content = content.data();
    parts[0].contentSize = static_cast<uint32>(content.size());
    parts[1].name = "test_field";
    parts[1].content = kTestValue;
    parts[1].contentSize = sizeof(kTestValue) - 1;
    StaticString<256> contentType;
    std::string body = MultipartForm::Build(parts, 2, contentType);

    MX_LOG_DEBUG("Sending request to %s ...", args[1]);
    RequestParams params;
    params.verb = Verb::POST;
    params.failOnError = true;
    params.body = body.data();
    params.bodySize = static_cast<uint32>(body.size());
    params.headers.emplace_back(contentType.c_str());
    ResponsePromise promise = Request(args[1], params, nullptr);
    promise.SetCallback(LogPromiseOutcome);
}
} // namespace Net
} // namespace Morvex
