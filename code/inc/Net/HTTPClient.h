#pragma once
// The engine's HTTP client over libcurl (multi interface) with OpenSSL for TLS.
//
// One client per process, created by Net::Init (HTTPClient::Init) and destroyed by Net::Shutdown.
// Requests are synchronous (performed before HTTPClient::Request returns) or asynchronous (completed
// by a later HTTPClient::Update on the issuing thread). The client takes no locks: Request, Update,
// CancelRequest and the uploads must all run on one thread at a time. Completions run on that thread.
//
// Without a client (Net::Init failed or was never called) every request completes at once, inside
// the issuing call, with ErrorCode::NETWORK and httpCode 0, so no caller waits for an answer that
// can never come.
//
// TLS: https peers are verified against the system's CA store unless the console variable
// curl_verifyPeer is 0 (a deployment with private certificates opts out in its configuration
// script); uploads follow the same rule.

#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/ErrorCode.h"
#include "Core/StaticString.h"
#include "Core/StrView.h"
#include "Core/String.h"
#include "Core/Types.h"
#include "Core/ttl/Function.h"
#include "Core/ttl/Promise.h"

#include <string>
#include <vector>

namespace Morvex
{
class Dict;
class RawFile;

namespace Net
{
// One text part of a multipart upload: name and value, both copied by the upload.
struct HTTPFormField
{
    StrView name;
    StrView value;
};

class HTTPClient
{
public:
    enum class Verb : uint32
    {
        Auto = 0,
        GET = 1,
        POST = 2,
        PUT = 3,
        DELETE = 4,
        OPTIONS = 5,
        PATCH = 6,
        PURGE = 7,
    };

    struct RequestParams
    {
        Verb verb = Verb::Auto;
        // Promise wrapper only: turn transport errors and HTTP statuses >= 400 into rejections.
        bool failOnError = false;
        // Keep the response's header lines (status lines and block ends included) in the response.
        bool collectHeaders = false;
        bool synchronous = false;
        // Not owned; copied by Request. bodySize 0 with a non-null body: NUL-terminated text.
        const void* body = nullptr;
        uint32 bodySize = 0;
        // Complete header lines such as "Content-Type: application/json".
        std::vector<String> headers;
        // Limit for the whole transfer in seconds; 0 means 60. Connecting is limited further by
        // curl_connectTimeoutSec, and a transfer slower than curl_lowSpeedLimit bytes a second for
        // curl_lowSpeedTimeSec seconds is abandoned (TIMEOUT).
        int32 timeoutSec = 0;
        // The most bytes of the answer's body kept in the response; 0 means kDefaultMaxBodyBytes.
        // Bytes past it are read and dropped (Response::bodyTruncated), and an answer that runs on
        // past kMaxDiscardedBytes more is not read to its end: the transfer then ends with what
        // was kept, errorCode OK and the status received.
        uint32 maxBodyBytes = 0;
        // Client certificate, chain certificates and private key in one PEM text; copied by Request.
        const char* clientCertPem = nullptr;
        // Client certificate and key files (PEM); copied by libcurl.
        const char* sslCertFile = nullptr;
        const char* sslKeyFile = nullptr;
    };

    struct Response
    {
        uint32 reqId = 0;
        // UNKNOWN while the request runs, then the transport result: OK whenever a transfer
        // completed, whatever its HTTP status.
        ErrorCode errorCode = ErrorCode::UNKNOWN;
        // Status of the last response received; 0 when none arrived.
        int32 httpCode = 0;
        std::vector<String> headers;
        // The body, or its first maxBodyBytes; c_str() reads it as text (a 0 byte always follows).
        std::string body;
        // True when the server sent more than was kept.
        bool bodyTruncated = false;
        // True when any of the request went out; false when no connection came up (the name did
        // not resolve, nothing listened, the certificate was refused).
        bool requestSent = false;
    };

    // What is kept of an answer unless a request asks for more: the event and upload answers are a
    // few hundred bytes, and an endless or huge answer must not exhaust a crashed machine's memory.
    static constexpr uint32 kDefaultMaxBodyBytes = 64 * 1024;
    // How much more than it keeps the client reads before it stops reading an answer.
    static constexpr uint32 kMaxDiscardedBytes = 1024 * 1024;

    // What became of an upload, as the caller's retry policy needs it.
    struct UploadOutcome
    {
        enum class Result : uint32
        {
            Delivered, // the server answered 200
            Retry,     // no answer (transport failure, time-out) or an answer that may change later
            Rejected,  // an answer that says this upload will never be taken (see ClassifyUpload)
        };
        Result result = Result::Retry;
        // The answer's status; 0 when none arrived.
        int32 httpStatus = 0;
        // The transport's result: OK whenever an answer arrived, whatever its status.
        ErrorCode transportError = ErrorCode::UNKNOWN;
        // The answer's body (at most kDefaultMaxBodyBytes of it).
        std::string body;
        // What the answer's Retry-After header asks for, in seconds; -1 without one.
        int32 retryAfterSec = -1;
        // False when nothing of the upload reached a server (see Response::requestSent).
        bool requestSent = false;

        bool Delivered() const { return result == Result::Delivered; }
    };
    // The seconds a Retry-After value asks for: a count of seconds, or an HTTP date (then counted
    // from nowMs, 0 when it lies in the past). -1 for anything else.
    static int32 ParseRetryAfter(StrView value, int64 nowMs);
    // Delivered for 200; Rejected for 400, 401, 403, 404, 413 and 422; Retry for everything else,
    // every transport failure included.
    static UploadOutcome::Result ClassifyUpload(ErrorCode transportError, int32 httpStatus);

    using Completion = ttl::Function<void(const Response&)>;
    using ResponsePromise = ttl::Promise<Response>;

    // Replaces any previous client (HTTPClient::Shutdown first), starts TLS and libcurl. Returns
    // false only when libcurl could not be started; requests then complete at once with NETWORK.
    static bool Init();
    // Asynchronous requests still in flight (for instance an http_request from a configuration
    // script that nothing pumped) are cancelled without completion, each named in a Warning.
    // Safe without a client.
    static void Shutdown();
    static bool IsInitialized();
    // True while asynchronous requests (uploads included) are in flight.
    static bool IsActive();
    static uint32 GetNumActiveRequests();

    // Issues a request and returns its id (never 0). The completion (may be empty) is moved in;
    // for a synchronous request it has run when the call returns, for an asynchronous one it runs
    // inside a later Update. The url is copied. Redirects are followed only by requests without a
    // body whose verb is not POST: a POST that is redirected would go on as an empty GET, so its
    // 3xx answer is what the caller sees.
    static uint32 Request(const char* url, const RequestParams& params, Completion completion);
    // Promise form: settled from the completion (see RequestParams::failOnError). outId may be null.
    static ResponsePromise Request(const char* url, const RequestParams& params, uint32* outId);

    // Drives asynchronous transfers once and runs the completion of every finished one. A
    // completion may issue new requests (performed by a later Update) or cancel other ones.
    static void Update();
    // Ends an asynchronous request without running its completion; unknown ids (and the request
    // whose completion is running) are ignored.
    static void CancelRequest(uint32 id);

    // Multipart upload: the fields as text parts in the given order, then the file part named
    // fieldName. The form is built with libcurl's mime API rather than the deprecated form API
    // (curl_formadd warns under -Werror in this libcurl and is implemented on the mime API, so
    // the bytes on the wire are the same); the mime API also reports an unreadable file up front.
    // libcurl streams the file part's content from filePath (file name = last path component).
    // No redirects are followed. The transfer has no overall limit, so a large upload on a slow
    // but moving link is never cut: connecting is limited by curl_connectTimeoutSec, and a
    // transfer that stays below curl_lowSpeedLimit bytes a second for curl_lowSpeedTimeSec seconds
    // (a server that stops reading or never answers) ends with TIMEOUT. fields may be null when
    // fieldCount is 0; names and values are copied.
    static uint32 UploadFileAsync(const char* url, const char* fieldName, const char* filePath,
                                  Completion completion, const HTTPFormField* fields, uint32 fieldCount);
    // Starts an upload and pumps the client until it has finished. True only when the server
    // answered HTTP 200; a transport failure (unreachable, time-out, TLS failure, unreadable file)
    // or any other status is false and logged at Error. Runs the completions of other requests in
    // flight as well.
    static bool UploadFileSync(const char* url, const char* fieldName, const char* filePath,
                               const HTTPFormField* fields, uint32 fieldCount);
    static bool UploadFileSync(const char* url, const char* fieldName, const char* filePath,
                               const std::vector<HTTPFormField>& fields)
    {
        return UploadFileSync(url, fieldName, filePath, fields.data(), static_cast<uint32>(fields.size()));
    }

    // The same with the file part read from `file` (open for reading, from its start, whole; for
    // instance an anonymous temporary file that has no path) and named `fileName` in the form. The
    // upload holds its own reference to the file until it has completed. The file part's type is
    // application/octet-stream, as for a file read from a path whose extension libcurl does not
    // know.
    static uint32 UploadFileAsync(const char* url, const char* fieldName, RawFile& file, const char* fileName,
                                  Completion completion, const HTTPFormField* fields, uint32 fieldCount);
    // Uploads synchronously (as UploadFileSync) and says what became of it, the server's
    // Retry-After included; a failure is logged at Error as UploadFileSync logs it.
    static UploadOutcome UploadFile(const char* url, const char* fieldName, RawFile& file,
                                    const char* fileName, const Dict* fields);
    static bool UploadFileSync(const char* url, const char* fieldName, RawFile& file, const char* fileName,
                               const Dict* fields)
    {
        return UploadFile(url, fieldName, file, fileName, fields).Delivered();
    }

    // The same with the fields of a dictionary (may be null): one text part per entry in the
    // dictionary's order, with the value's text form (strings as they are, numbers and booleans as
    // the dictionary writes them, other values empty).
    static uint32 UploadFileAsync(const char* url, const char* fieldName, const char* filePath,
                                  Completion completion, const Dict* fields);
    static bool UploadFileSync(const char* url, const char* fieldName, const char* filePath,
                               const Dict* fields);

    // libcurl's transfer result to the engine's code: 0 OK, 7 SERVER_UNAVAILABLE, 28 TIMEOUT,
    // 60 SERVER_CERT_UNTRUSTED, anything else NETWORK.
    static ErrorCode MapCurlResult(int curlResult);
    // Splits a curl_injectResolves text at ';' (a run of ';' separates once; quoted entries may
    // hold ';' and lose their quotes); at most 32 entries from the first 2048 bytes. Returns the
    // number of entries written to out (room for 32).
    static uint32 SplitInjectResolves(const char* text, StaticString<2048>* out);
    // Whether libcurl debug output of kind (0 text .. 6 TLS data out) is printed at level L of
    // curl_enableDebugFunc.
    static bool DebugKindEnabled(int32 level, int32 kind);

    // Console command handlers (also callable directly).
    // http_request <url> [verb] [data] [header] [header] ...
    static void CmdRequest(const CmdArgs& args);
    // http_multipartPost <url> <name> <file>
    static void CmdMultipartPost(const CmdArgs& args);
};

// TLS-context callback installed when RequestParams::clientCertPem is set: installs the PEM's first
// certificate, its chain and its private key on the OpenSSL context. Returns 0 (CURLE_OK) or 77
// (CURLE_SSL_CACERT_BADFILE), which fails the transfer. sslCtx is an SSL_CTX*, pem the PEM text.
int CurlClientSSLFunc(void* curl, void* sslCtx, void* pem);

// The client's console variables (declared by the client; set them through the console or here).
extern CVar http_logClientRequests;
extern CVar curl_enableDebugFunc;
extern CVar curl_enableDebugFuncOnUnexpectedErrors;
extern CVar curl_forbidReuse;
extern CVar curl_dnsCacheTimeout;
extern CVar curl_verifyPeer;
extern CVar curl_injectResolves;
extern CVar curl_connectTimeoutSec;
extern CVar curl_lowSpeedLimit;
extern CVar curl_lowSpeedTimeSec;
extern CVar curl_proxy;
extern CVar curl_caBundle;
extern CVar http_userAgent;

// A part of a hand-built multipart body. Views are not owned and need only last for Build.
struct MultipartPart
{
    StrView name;
    StrView fileName; // empty: no file name (a plain field)
    StrView extraHeader;
    const void* content = nullptr;
    uint32 contentSize = 0;
};

namespace MultipartForm
{
// The fixed boundary of hand-built bodies.
constexpr const char* kBoundary = "959310de-0067-487f-98d3-e8c560f7a8da";
// Composes the whole body in memory and writes "Content-Type: multipart/form-data; boundary=..."
// to outContentType. The body ends with the closing boundary, without a final line break.
std::string Build(const MultipartPart* parts, uint32 count, StaticString<256>& outContentType);
} // namespace MultipartForm
} // namespace Net
} // namespace Morvex
