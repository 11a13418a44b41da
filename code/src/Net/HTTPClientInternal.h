#pragma once
// Request slots and helpers shared by the HTTP client's source files. Client thread only.

#include "Net/HTTPClient.h"

#include <memory>
#include <string>

typedef void CURL;
typedef void CURLM;
struct curl_mime;
struct curl_slist;

namespace Morvex
{
namespace Net
{
// Owners of libcurl's handles: each frees its handle when it goes.
struct CurlEasyFree
{
    void operator()(CURL* easy) const;
};
struct CurlMultiFree
{
    void operator()(CURLM* multi) const;
};
struct CurlMimeFree
{
    void operator()(curl_mime* mime) const;
};
struct CurlListFree
{
    void operator()(curl_slist* list) const;
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyFree>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiFree>;
using CurlMime = std::unique_ptr<curl_mime, CurlMimeFree>;
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

// Appends a copy of `text` to the list; a failed append leaves the list as it was.
void AppendToList(CurlList& list, const char* text);

// One request and everything libcurl needs for it; the slot frees all of it when it goes.
struct HTTPSlot
{
    HTTPSlot() = default;
    HTTPSlot(const HTTPSlot&) = delete;
    HTTPSlot& operator=(const HTTPSlot&) = delete;
    // Takes the easy handle out of the multi handle first (libcurl requires it).
    ~HTTPSlot();

    // The form and the lists are declared before the easy handle so that they are freed after it:
    // libcurl may use them until the easy handle is cleaned up.
    CurlMime mime;
    CurlList headerList;
    CurlList resolveList;
    CurlEasy easy;
    // The multi handle the easy handle was added to; null while it is not part of one.
    CURLM* multi = nullptr;
    HTTPClient::Response response;
    uint32 requestId = 0;
    HTTPClient::Completion completion;
    std::string clientCertPem;
    // Set while the completion runs: the slot is then neither cancelled nor completed again.
    bool completing = false;
    // The most body bytes kept, and how many were dropped past them.
    uint32 maxBody = HTTPClient::kDefaultMaxBodyBytes;
    uint64 discarded = 0;
    // Header lines are bounded like the body.
    uint32 headerBytes = 0;
    // Set when the write callback stopped an answer that ran on too long (or could not be kept):
    // libcurl then reports a write error, which is not the transfer's failure.
    bool stoppedReading = false;
    bool keepFailed = false;
    // libcurl's own words for a failed transfer (which limit ended it, for one).
    char errorText[256] = {};
};

// "reqId=%u, url='%s'" [", ip=%s"] [": [%s][%u] size=%ub"] [": totalTime=%.3fsec"].
StaticString<512> DescribeRequest(const HTTPSlot& slot);
// The promise continuation of the console commands.
void LogPromiseOutcome(const ttl::Result<HTTPClient::Response>& result);

namespace HTTPInternal
{
bool HasClient();
// The next request id, never 0.
uint32 TakeRequestId();
// Runs the completion with ErrorCode::NETWORK and httpCode 0 and logs why.
void CompleteAtOnce(uint32 id, HTTPClient::Completion& completion, const char* url, const char* why);
// Appends an asynchronous slot (the array owns it) and returns it.
HTTPSlot* AppendSlot(uint32 id, HTTPClient::Completion&& completion);
// The upload's options before its form: header off, no signals, write callback, TLS rule, URL,
// the connect and low-speed limits (no overall limit).
void SetCommonUploadOptions(HTTPSlot& slot, const char* url);
// Adds the slot's easy handle to the multi handle; returns the id. On failure the slot is dropped
// and its completion has run with NETWORK.
uint32 StartAsync(HTTPSlot* slot, const char* url);
bool HasSlot(uint32 id);
// The transfer's result as the engine sees it: a write error raised only because the client stopped
// reading an over-long answer is OK (the status and the kept prefix are the answer).
ErrorCode MapTransferResult(const HTTPSlot& slot, int curlResult);
// Waits at most timeoutMs for socket activity of the transfers in flight.
void WaitForActivity(int timeoutMs);
} // namespace HTTPInternal
} // namespace Net
} // namespace Morvex
