// HTTP client over libcurl's multi interface, TLS by OpenSSL.

#include "Net/HTTPClient.h"

#include "Core/Assert.h"
#include "Core/IO/File.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/LockedHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Str.h"
#include "Core/Timing/PlatformTime.h"
#include "HTTPClientInternal.h"
#include "Net/Async/AsyncService.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace Morvex
{
namespace Net
{
CVar http_logClientRequests(CVarType::Int, "http_logClientRequests", 0, "0",
                            "log outgoing HTTP requests: 1 - request start, 2 - +request end");
CVar curl_enableDebugFunc(CVarType::Int, "curl_enableDebugFunc", 0, "0",
                          "1 - info, 2 - +headers, 3 - +response, 4 - +request");
CVar curl_enableDebugFuncOnUnexpectedErrors(CVarType::Int, "curl_enableDebugFuncOnUnexpectedErrors", 0, "1",
                                            "", 0, 1);
CVar curl_forbidReuse(CVarType::Int, "curl_forbidReuse", 0, "0", "", 0, 1);
CVar curl_dnsCacheTimeout(CVarType::Int, "curl_dnsCacheTimeout", 0, "0", "");
CVar curl_verifyPeer(CVarType::Int, "curl_verifyPeer", 0, "1",
                     "do we verify certificate validity on client or not", 0, 1);
CVar curl_injectResolves(CVarType::String, "curl_injectResolves", 0, "",
                         "';' separated list of HOST:PORT:IP injections, see curl's --resolve option");
// A server that accepts and then never answers, or trickles, must not hold a player's machine: these
// limit connecting and stalled transfers, while a large upload that keeps moving is never cut.
CVar curl_connectTimeoutSec(CVarType::Int, "curl_connectTimeoutSec", 0, "15",
                            "seconds allowed for connecting (0: libcurl's default)", 0, 3600);
CVar curl_lowSpeedLimit(CVarType::Int, "curl_lowSpeedLimit", 0, "1024",
                        "bytes per second below which a transfer counts as stalled (0: never)", 0, INT32_MAX);
CVar curl_lowSpeedTimeSec(CVarType::Int, "curl_lowSpeedTimeSec", 0, "30",
                          "seconds a transfer may stay stalled before it is abandoned", 1, 86400);
CVar curl_proxy(CVarType::String, "curl_proxy", 0, "",
                "proxy for every request (scheme://host:port); empty: the http_proxy, https_proxy and "
                "no_proxy environment variables decide");
CVar curl_caBundle(CVarType::String, "curl_caBundle", 0, "",
                   "a PEM file of further certificate authorities to trust beside the usual ones");
CVar http_userAgent(CVarType::String, "http_userAgent", 0, "",
                    "the User-Agent header of every request (empty: none is sent)");

namespace
{
MX_CONSOLE_COMMAND("http_request", "http_request <url> [verb] [data] [header] [header] [header] ...",
                   HTTPClient::CmdRequest);

// Everything the client holds between Init and Shutdown.
struct ClientState
{
    // Declared first, so that it goes last: every slot takes itself out of it when it goes.
    CurlMulti multi;
    // Slots live on the heap so that growing or shrinking the array never moves a request whose
    // callbacks or completion are running.
    std::vector<std::unique_ptr<HTTPSlot>> requests;
    // The CA bundle of the game data (application kind 0); empty: libcurl uses the system's store.
    std::string caBundle;
    // curl_caBundle as last read: the file's name, and what is trusted with it (the game's bundle
    // or the system's, then the file); empty when the file could not be read.
    std::string extraBundlePath;
    std::string combinedBundle;
    std::atomic<uint32> nextRequestId{0};
};

std::unique_ptr<ClientState> g_client;
// Counts the clients started: a completion may shut the client down and start another one, which
// may well live at the same address.
uint64 g_clientGeneration = 0;
// TLS is shared with the engine's other TLS users and outlives any one client.
uint32 g_tlsRefs = 0;
// OpenSSL took our allocation functions (once per process): its heap is listed while TLS is in use.
bool g_cryptoHeapInUse = false;

// --- allocation hooks ------------------------------------------------------------------------
// libcurl and OpenSSL allocate from heaps of their own, which the memory report lists while the
// client runs. OpenSSL frees from its exit handler, after every shutdown of ours: the heaps live
// until the very end. A request of 0 bytes is served as 1 byte: both libraries may ask for it and
// must get a unique, freeable pointer.
LockedHeap& CurlHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::General, MX_HEAP_NAME("CURL"));
    return heap;
}
LockedHeap& CryptoHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::General, MX_HEAP_NAME("CRYPTO"));
    return heap;
}
void* CurlMalloc(size_t size)
{
    return CurlHeap().Alloc(size);
}
void CurlFree(void* p)
{
    CurlHeap().Free(p);
}
void* CurlRealloc(void* p, size_t size)
{
    return CurlHeap().Realloc(p, size);
}
char* CurlStrdup(const char* s)
{
    return CurlHeap().Strdup(s);
}
void* CurlCalloc(size_t nmemb, size_t size)
{
    return CurlHeap().Calloc(nmemb, size);
}

void* CryptoMalloc(size_t size, const char*, int)
{
    return CryptoHeap().Alloc(size);
}
void* CryptoRealloc(void* p, size_t size, const char*, int)
{
    if (size == 0)
    {
        CryptoHeap().Free(p);
        return nullptr;
    }
    return CryptoHeap().Realloc(p, size);
}
void CryptoFree(void* p, const char*, int)
{
    CryptoHeap().Free(p);
}

// Reference counted and shared with the engine's other TLS users. OpenSSL 3 cannot be started
// again once OPENSSL_cleanup has run, and it cleans itself up at process exit, so the last release
// only drops the count: a later HTTPClient::Init in the same process still gets working TLS.
void TlsAddRef()
{
    if (g_tlsRefs++ != 0)
        return;
    // Fails (harmlessly) when OpenSSL has already allocated, e.g. when another library started it:
    // OpenSSL then keeps the C heap.
    if (CRYPTO_set_mem_functions(CryptoMalloc, CryptoRealloc, CryptoFree) == 1 || g_cryptoHeapInUse)
    {
        g_cryptoHeapInUse = true;
        Memory::RegisterHeap(&CryptoHeap());
    }
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                         OPENSSL_INIT_NO_LOAD_CONFIG,
                     nullptr);
    RAND_status();
}
void TlsRelease()
{
    if (g_tlsRefs > 0 && --g_tlsRefs == 0 && g_cryptoHeapInUse)
        Memory::UnregisterHeap(&CryptoHeap());
}

uint32 NextRequestId()
{
    uint32 id = ++g_client->nextRequestId;
    if (id == 0)
        id = ++g_client->nextRequestId;
    return id;
}

HTTPSlot* FindSlotByEasy(CURL* easy, uint32* outIndex)
{
    auto& requests = g_client->requests;
    for (uint32 i = 0; i < requests.size(); ++i)
    {
        if (requests[i]->easy.get() == easy)
        {
            if (outIndex)
                *outIndex = i;
            return requests[i].get();
        }
    }
    return nullptr;
}

// Takes the slot at `index` out of the array; the caller's owner frees it.
std::unique_ptr<HTTPSlot> TakeSlot(uint32 index)
{
    auto& requests = g_client->requests;
    std::unique_ptr<HTTPSlot> owned = std::move(requests[index]);
    requests.erase(requests.begin() + index);
    return owned;
}

// libcurl calls these from C: nothing may throw out of them. A body beyond the slot's limit is
// dropped, and one that runs on far past it is not read to its end (returning less than n stops the
// transfer; MapTransferResult tells that stop from a failure).
size_t WriteCallback(char* data, size_t size, size_t count, void* user)
{
    HTTPSlot* slot = static_cast<HTTPSlot*>(user);
    const size_t n = size * count;
    const size_t kept = slot->response.body.size();
    const size_t room = kept < slot->maxBody ? slot->maxBody - kept : 0;
    const size_t take = n < room ? n : room;
    try
    {
        slot->response.body.append(data, take);
    }
    catch (...)
    {
        slot->keepFailed = true;
        return 0;
    }
    if (take < n)
    {
        slot->response.bodyTruncated = true;
        slot->discarded += n - take;
        if (slot->discarded > HTTPClient::kMaxDiscardedBytes)
        {
            slot->stoppedReading = true;
            return 0;
        }
    }
    return n;
}

bool IsTrimmed(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == 0;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user)
{
    HTTPSlot* slot = static_cast<HTTPSlot*>(user);
    size_t n = size * count;
    size_t begin = 0, end = n;
    while (begin < end && IsTrimmed(data[begin]))
        ++begin;
    while (end > begin && IsTrimmed(data[end - 1]))
        --end;
    // Header lines are kept up to the body's limit in all; later ones are dropped.
    if (slot->headerBytes + (end - begin) > slot->maxBody)
        return n;
    try
    {
        slot->response.headers.emplace_back(data + begin, static_cast<uint32>(end - begin));
        slot->headerBytes += static_cast<uint32>(end - begin);
    }
    catch (...)
    {
        slot->keepFailed = true;
        return 0;
    }
    return n;
}

// libcurl takes the proxy from http_proxy, https_proxy and no_proxy by itself; curl_proxy names
// one for every request instead. Servers and the proxies between see who is calling.
void SetProxyAndAgent(CURL* easy)
{
    const char* proxy = curl_proxy.GetS();
    if (proxy != nullptr && proxy[0] != 0)
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy);
    const char* agent = http_userAgent.GetS();
    if (agent != nullptr && agent[0] != 0)
        curl_easy_setopt(easy, CURLOPT_USERAGENT, agent);
}

// Whether any request bytes were written to a connection (a server, or a proxy, was reached).
bool RequestWentOut(CURL* easy)
{
    long requestBytes = 0;
    return curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK && requestBytes > 0;
}

void SetStallLimits(CURL* easy)
{
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, static_cast<long>(curl_connectTimeoutSec.GetInt()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(curl_lowSpeedLimit.GetInt()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(curl_lowSpeedTimeSec.GetInt()));
}

int DebugLines(curl_infotype kind, char* data, size_t size);

// Called from C: a log sink that throws must not unwind through libcurl.
int DebugCallback(CURL*, curl_infotype kind, char* data, size_t size, void*)
{
    try
    {
        return DebugLines(kind, data, size);
    }
    catch (...)
    {
        return 0;
    }
}

int DebugLines(curl_infotype kind, char* data, size_t size)
{
    int32 level = curl_enableDebugFunc.GetInt();
    if (size == 0 || !HTTPClient::DebugKindEnabled(level, static_cast<int32>(kind)))
        return 0;
    char buffer[2048] = {};
    size_t n = size < sizeof(buffer) - 1 ? size : sizeof(buffer) - 1;
    std::memcpy(buffer, data, n);
    while (n > 0 && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r' || buffer[n - 1] == 0))
        buffer[--n] = 0;
    switch (kind)
    {
    case CURLINFO_TEXT:
        MX_LOG_INFO("CURLINFO_TEXT      : %s", buffer);
        break;
    case CURLINFO_HEADER_IN:
        MX_LOG_INFO("CURLINFO_HEADER_IN : %s", buffer);
        break;
    case CURLINFO_HEADER_OUT:
        MX_LOG_INFO("CURLINFO_HEADER_OUT: %s", buffer);
        break;
    case CURLINFO_DATA_IN:
        MX_LOG_INFO("CURLINFO_DATA_IN   : %s", buffer);
        break;
    case CURLINFO_DATA_OUT:
        MX_LOG_INFO("CURLINFO_DATA_OUT  : %s", buffer);
        break;
    case CURLINFO_SSL_DATA_IN:
        MX_LOG_INFO("CURLINFO_SSL_DATA_IN : %d bytes", static_cast<int>(n));
        break;
    case CURLINFO_SSL_DATA_OUT:
        MX_LOG_INFO("CURLINFO_SSL_DATA_OUT: %d bytes", static_cast<int>(n));
        break;
    default:
        break;
    }
    return 0;
}

CURLcode SslCtxCallback(CURL* curl, void* sslCtx, void* user)
{
    try
    {
        return static_cast<CURLcode>(CurlClientSSLFunc(curl, sslCtx, user));
    }
    catch (...)
    {
        return CURLE_SSL_CERTPROBLEM;
    }
}

// What is trusted with curl_caBundle: the authorities trusted without it, then the file's. Read
// once per file name; empty when the file cannot be read (logged).
const std::string& CombinedCaBundle(CURL* easy, const char* extraPath)
{
    ClientState& client = *g_client;
    if (client.extraBundlePath == extraPath)
        return client.combinedBundle;
    client.extraBundlePath = extraPath;
    client.combinedBundle.clear();
    constexpr uint32 kMaxBundleBytes = 16u << 20;
    auto readPem = [](const char* path, std::string& out)
    {
        char* data = nullptr;
        uint32 size = 0;
        if (Platform_GetFileInfo(FilePath(path)).size > kMaxBundleBytes ||
            !FileSystem::ReadRawFile(FilePath(path), data, &size))
            return false;
        out.append(data, size);
        out += '\n';
        FileSystem::FreeFileData(data);
        return true;
    };
    std::string combined = client.caBundle;
    if (combined.empty())
    {
        // The system's bundle, as libcurl would have used it.
        char* systemBundle = nullptr;
        curl_easy_getinfo(easy, CURLINFO_CAINFO, &systemBundle);
        if (systemBundle == nullptr || !readPem(systemBundle, combined))
            MX_LOG_WARNING("HTTPClient: the system's CA bundle cannot be read; only curl_caBundle's "
                           "authorities and the system's certificate folder are trusted");
    }
    else
        combined += '\n';
    if (!readPem(extraPath, combined))
    {
        MX_LOG_ERROR("HTTPClient: curl_caBundle '%s' cannot be read; it is not trusted", extraPath);
        return client.combinedBundle;
    }
    client.combinedBundle = std::move(combined);
    return client.combinedBundle;
}

void SetTlsVerification(CURL* easy)
{
    if (curl_verifyPeer.GetInt() != 0)
    {
        // libcurl verifies peer and host by default against the system's CA store; the game's
        // bundle replaces the store, and curl_caBundle adds to whichever of them is in use. libcurl
        // copies the blob.
        const std::string* bundle = &g_client->caBundle;
        if (const char* extra = curl_caBundle.GetS(); extra != nullptr && extra[0] != 0)
        {
            const std::string& combined = CombinedCaBundle(easy, extra);
            if (!combined.empty())
                bundle = &combined;
        }
        if (!bundle->empty())
        {
            curl_blob blob{const_cast<char*>(bundle->data()), bundle->size(), CURL_BLOB_COPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        }
        return;
    }
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr);
}

void ApplyInjectResolves(HTTPSlot& slot)
{
    const char* text = curl_injectResolves.GetS();
    if (text == nullptr || text[0] == 0)
        return;
    static StaticString<2048> entries[32];
    uint32 count = HTTPClient::SplitInjectResolves(text, entries);
    for (uint32 i = 0; i < count; ++i)
        AppendToList(slot.resolveList, entries[i].c_str());
    if (slot.resolveList)
        curl_easy_setopt(slot.easy.get(), CURLOPT_RESOLVE, slot.resolveList.get());
}

// Application kind 0 ships its own CA bundle in the game data. libcurl takes it from memory: a copy
// on disk would be a file to name safely, share between running instances and remove again.
void ExtractCaBundle()
{
    g_client->caBundle.clear();
    char* content = nullptr;
    uint32 size = 0;
    const bool ok = Platform_IsPostInited() && FileSystem::ReadFile("gamedata/cacert.pem", content, &size);
    if (ok)
        g_client->caBundle.assign(content, size);
    else
        MX_LOG_ERROR("HTTPClient: failed to extract CA bundle!");
    FileSystem::FreeFileData(content);
}

// An answer cut to its limit is worth a line: a caller that needs more must ask for it.
void NoteTruncatedAnswer(const HTTPSlot& slot)
{
    if (slot.response.bodyTruncated)
        MX_LOG_WARNING("HTTPClient: the answer to request %u was longer than %u bytes; %s", slot.requestId,
                       static_cast<unsigned>(slot.maxBody),
                       slot.stoppedReading ? "the rest was not read" : "the rest was dropped");
}

void LogRequestCount(const char* what)
{
    MX_LOG_NET("%s: %u requests active", what, HTTPClient::GetNumActiveRequests());
}
} // namespace

// --- handle owners ---------------------------------------------------------------------------

void CurlEasyFree::operator()(CURL* easy) const
{
    curl_easy_cleanup(easy);
}

void CurlMultiFree::operator()(CURLM* multi) const
{
    curl_multi_cleanup(multi);
}

void CurlMimeFree::operator()(curl_mime* mime) const
{
    curl_mime_free(mime);
}

void CurlListFree::operator()(curl_slist* list) const
{
    curl_slist_free_all(list);
}

void AppendToList(CurlList& list, const char* text)
{
    // On success the head is the same list (or the new one when the list was empty); on failure
    // libcurl leaves the list alone and answers null.
    if (curl_slist* head = curl_slist_append(list.get(), text))
    {
        (void)list.release();
        list.reset(head);
    }
}

HTTPSlot::~HTTPSlot()
{
    if (multi != nullptr && easy)
        curl_multi_remove_handle(multi, easy.get());
}

// --- internal helpers shared with the upload -------------------------------------------------

StaticString<512> DescribeRequest(const HTTPSlot& slot)
{
    StaticString<512> line;
    CURL* easy = slot.easy.get();
    char* effectiveUrl = nullptr;
    if (easy)
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl);
    line.AppendFormat("reqId=%u, url='%s'", slot.requestId, effectiveUrl ? effectiveUrl : "");
    char* ip = nullptr;
    if (easy && curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip && ip[0])
        line.AppendFormat(", ip=%s", ip);
    if (slot.response.errorCode != ErrorCode::UNKNOWN)
        line.AppendFormat(": [%s][%u] size=%ub", ErrorCodeName(slot.response.errorCode),
                          static_cast<unsigned>(slot.response.httpCode),
                          static_cast<unsigned>(slot.response.body.size()));
    double total = 0;
    if (easy && curl_easy_getinfo(easy, CURLINFO_TOTAL_TIME, &total) == CURLE_OK && total != 0)
        line.AppendFormat(": totalTime=%.3fsec", total);
    return line;
}

bool HTTPInternal::HasClient()
{
    return g_client != nullptr && g_client->multi != nullptr;
}

uint32 HTTPInternal::TakeRequestId()
{
    if (!g_client)
    {
        // Ids stay unique even without a client, so callers can still tell completions apart.
        static std::atomic<uint32> s_orphanIds{0};
        uint32 id = ++s_orphanIds;
        return id != 0 ? id : ++s_orphanIds;
    }
    return NextRequestId();
}

void HTTPInternal::CompleteAtOnce(uint32 id, HTTPClient::Completion& completion, const char* url,
                                  const char* why)
{
    MX_LOG_WARNING("HTTPClient: request %u to '%s' fails at once: %s", id, url ? url : "", why);
    HTTPClient::Response response;
    response.reqId = id;
    response.errorCode = ErrorCode::NETWORK;
    response.httpCode = 0;
    if (completion)
        completion(response);
}

HTTPSlot* HTTPInternal::AppendSlot(uint32 id, HTTPClient::Completion&& completion)
{
    auto slot = std::make_unique<HTTPSlot>();
    slot->requestId = id;
    slot->response.reqId = id;
    slot->completion = std::move(completion);
    g_client->requests.push_back(std::move(slot));
    return g_client->requests.back().get();
}

void HTTPInternal::SetCommonUploadOptions(HTTPSlot& slot, const char* url)
{
    CURL* easy = slot.easy.get();
    curl_easy_setopt(easy, CURLOPT_HEADER, 0L);
    // The answer's header lines are kept (bounded like the body): Retry-After is among them.
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &slot);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &slot);
    SetTlsVerification(easy);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_DEFAULT));
    curl_easy_setopt(easy, CURLOPT_URL, url);
    SetStallLimits(easy);
    SetProxyAndAgent(easy);
}

ErrorCode HTTPInternal::MapTransferResult(const HTTPSlot& slot, int curlResult)
{
    if (curlResult == CURLE_WRITE_ERROR && slot.stoppedReading && slot.easy)
    {
        // The answer is complete enough (its status and the kept prefix) only when the request
        // went out whole: a server may answer before it has read a large upload, and a transfer
        // stopped then has not delivered it.
        curl_off_t total = -1;
        curl_off_t sent = 0;
        curl_easy_getinfo(slot.easy.get(), CURLINFO_CONTENT_LENGTH_UPLOAD_T, &total);
        curl_easy_getinfo(slot.easy.get(), CURLINFO_SIZE_UPLOAD_T, &sent);
        if (total <= 0 || sent >= total)
            return ErrorCode::OK;
        MX_LOG_ERROR("HTTPClient: request %u was answered before its body went out (%lld of %lld bytes)",
                     slot.requestId, static_cast<long long>(sent), static_cast<long long>(total));
        return ErrorCode::NETWORK;
    }
    return HTTPClient::MapCurlResult(curlResult);
}

// Hands an asynchronous slot to the multi handle; on failure the slot is dropped and its
// completion runs at once with NETWORK.
uint32 HTTPInternal::StartAsync(HTTPSlot* slot, const char* url)
{
    curl_easy_setopt(slot->easy.get(), CURLOPT_ERRORBUFFER, slot->errorText);
    CURLMcode rc = curl_multi_add_handle(g_client->multi.get(), slot->easy.get());
    if (rc == CURLM_OK)
    {
        slot->multi = g_client->multi.get();
        return slot->requestId;
    }
    uint32 index = 0;
    FindSlotByEasy(slot->easy.get(), &index);
    std::unique_ptr<HTTPSlot> owned = TakeSlot(index);
    CompleteAtOnce(owned->requestId, owned->completion, url, curl_multi_strerror(rc));
    return owned->requestId;
}

bool HTTPInternal::HasSlot(uint32 id)
{
    if (!g_client)
        return false;
    for (const auto& slot : g_client->requests)
        if (slot->requestId == id)
            return true;
    return false;
}

void HTTPInternal::WaitForActivity(int timeoutMs)
{
    if (HasClient())
        curl_multi_poll(g_client->multi.get(), nullptr, 0, timeoutMs, nullptr);
}

// --- client lifecycle ------------------------------------------------------------------------

bool HTTPClient::Init()
{
    MX_MEMORY_TAG_SCOPE("Net/HTTPClient");
    Shutdown();
    g_client = std::make_unique<ClientState>();
    ++g_clientGeneration;
    TlsAddRef();
    CURLcode rc;
    {
        MX_MEMORY_TAG_SCOPE("Net/Curl");
        rc = curl_global_init_mem(CURL_GLOBAL_ALL, CurlMalloc, CurlFree, CurlRealloc, CurlStrdup, CurlCalloc);
    }
    if (rc != CURLE_OK)
    {
        MX_LOG_ERROR("HTTPClient: curl_global_init_mem failed with %d (%s)", static_cast<int>(rc),
                     curl_easy_strerror(rc));
        TlsRelease();
        return false;
    }
    g_client->multi.reset(curl_multi_init());
    if (g_client->multi == nullptr)
    {
        MX_LOG_ERROR("HTTPClient: curl_multi_init failed");
        curl_global_cleanup();
        TlsRelease();
        return false;
    }
    Memory::RegisterHeap(&CurlHeap());
    g_client->requests.reserve(512);
    // Other kinds (the crash reporter among them) verify against the system's CA store.
    if (Platform_GetApplicationKind() == 0)
        ExtractCaBundle();
    return true;
}

void HTTPClient::Shutdown()
{
    if (!g_client)
        return;
    // Nothing pumps the client any more: what is still in flight can never complete.
    auto& requests = g_client->requests;
    if (!requests.empty())
        MX_LOG_WARNING("HTTPClient: %u requests still in flight at shutdown are cancelled",
                       static_cast<unsigned>(requests.size()));
    while (!requests.empty())
    {
        MX_LOG_WARNING("HTTPClient: cancelled %s", DescribeRequest(*requests.back()).c_str());
        requests.pop_back();
    }
    const bool started = g_client->multi != nullptr;
    g_client.reset();
    if (started)
    {
        curl_global_cleanup();
        Memory::UnregisterHeap(&CurlHeap());
        TlsRelease();
    }
}

bool HTTPClient::IsInitialized()
{
    return HTTPInternal::HasClient();
}

bool HTTPClient::IsActive()
{
    return g_client && !g_client->requests.empty();
}

uint32 HTTPClient::GetNumActiveRequests()
{
    return g_client ? static_cast<uint32>(g_client->requests.size()) : 0;
}

ErrorCode HTTPClient::MapCurlResult(int curlResult)
{
    switch (curlResult)
    {
    case CURLE_OK:
        return ErrorCode::OK;
    case CURLE_COULDNT_CONNECT:
        return ErrorCode::SERVER_UNAVAILABLE;
    case CURLE_OPERATION_TIMEDOUT:
        return ErrorCode::TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
        return ErrorCode::SERVER_CERT_UNTRUSTED;
    default:
        return ErrorCode::NETWORK;
    }
}

bool HTTPClient::DebugKindEnabled(int32 level, int32 kind)
{
    if (level <= 1)
        return kind == 0;
    if (level >= 5)
        return true;
    return kind <= level;
}

uint32 HTTPClient::SplitInjectResolves(const char* text, StaticString<2048>* out)
{
    constexpr uint32 kMaxEntries = 32;
    StaticString<2048> copy(text);
    const char* p = copy.c_str();
    uint32 count = 0;
    while (*p && count < kMaxEntries)
    {
        while (*p == ';')
            ++p;
        if (*p == 0)
            break;
        out[count].Clear();
        if (*p == '\'' || *p == '"')
        {
            char quote = *p++;
            const char* start = p;
            while (*p && *p != quote)
                ++p;
            out[count].Assign(start, static_cast<uint32>(p - start));
            if (*p == quote)
                ++p;
            // Anything between the closing quote and the next ';' belongs to the same entry.
            const char* rest = p;
            while (*p && *p != ';')
                ++p;
            out[count].Append(rest, static_cast<uint32>(p - rest));
        }
        else
        {
            const char* start = p;
            while (*p && *p != ';')
                ++p;
            out[count].Assign(start, static_cast<uint32>(p - start));
        }
        ++count;
    }
    return count;
}

// --- requests --------------------------------------------------------------------------------

uint32 HTTPClient::Request(const char* url, const RequestParams& params, Completion completion)
{
    MX_MEMORY_TAG_SCOPE("Net/HTTPClient");
    MX_PROFILE_ZONE("HTTPClient::Request");
    if (url == nullptr)
        url = "";
    uint32 id = HTTPInternal::TakeRequestId();
    if (!HTTPInternal::HasClient())
    {
        HTTPInternal::CompleteAtOnce(id, completion, url, "no HTTP client");
        return id;
    }

    HTTPSlot stackSlot;
    HTTPSlot* slot;
    if (params.synchronous)
    {
        slot = &stackSlot;
        slot->requestId = id;
        slot->response.reqId = id;
        slot->completion = std::move(completion);
    }
    else
        slot = HTTPInternal::AppendSlot(id, std::move(completion));
    slot->response.errorCode = ErrorCode::UNKNOWN;
    slot->response.httpCode = 0;
    if (params.maxBodyBytes != 0)
        slot->maxBody = params.maxBodyBytes;

    CURL* easy = curl_easy_init();
    if (easy == nullptr)
    {
        if (!params.synchronous)
        {
            HTTPClient::Completion c = std::move(slot->completion);
            g_client->requests.pop_back();
            HTTPInternal::CompleteAtOnce(id, c, url, "curl_easy_init failed");
        }
        else
            HTTPInternal::CompleteAtOnce(id, slot->completion, url, "curl_easy_init failed");
        return id;
    }
    slot->easy.reset(easy);

    if (params.collectHeaders)
    {
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, slot);
    }
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, slot);
    if (curl_forbidReuse.GetInt() != 0)
    {
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    }
    SetTlsVerification(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url);
    if (params.clientCertPem)
    {
        // Kept by the slot, so the caller's text need not outlive the call.
        slot->clientCertPem = params.clientCertPem;
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, SslCtxCallback);
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, slot->clientCertPem.data());
    }
    if (params.sslCertFile)
    {
        curl_easy_setopt(easy, CURLOPT_SSLCERT, params.sslCertFile);
        curl_easy_setopt(easy, CURLOPT_SSLCERTTYPE, "PEM");
    }
    if (params.sslKeyFile)
    {
        curl_easy_setopt(easy, CURLOPT_SSLKEY, params.sslKeyFile);
        curl_easy_setopt(easy, CURLOPT_SSLKEYTYPE, "PEM");
    }
    if (curl_enableDebugFunc.GetInt() != 0)
    {
        curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, DebugCallback);
    }
    curl_easy_setopt(easy, CURLOPT_DNS_CACHE_TIMEOUT, static_cast<long>(curl_dnsCacheTimeout.GetInt()));
    curl_easy_setopt(easy, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT,
                     static_cast<long>(params.timeoutSec != 0 ? params.timeoutSec : 60));
    SetStallLimits(easy);
    SetProxyAndAgent(easy);
    ApplyInjectResolves(*slot);
    // libcurl turns a redirected POST into a GET without its body: such an answer would look
    // delivered. Only requests without a body follow redirects.
    const bool follow = params.body == nullptr && params.verb != Verb::POST;
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L);
    if (params.body)
    {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        if (params.bodySize != 0)
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(params.bodySize));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, params.body);
    }
    static const char* const kCustomVerbs[] = {nullptr,  nullptr,   nullptr, "PUT",
                                               "DELETE", "OPTIONS", "PATCH", "PURGE"};
    uint32 verbIndex = static_cast<uint32>(params.verb);
    if (verbIndex < 8 && kCustomVerbs[verbIndex])
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, kCustomVerbs[verbIndex]);
    if (!params.headers.empty())
    {
        for (const String& line : params.headers)
            AppendToList(slot->headerList, line.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, slot->headerList.get());
    }

    if (http_logClientRequests.GetInt() > 0)
    {
        LogRequestCount("HTTPClient::Request");
        MX_LOG_NET("%s", DescribeRequest(*slot).c_str());
    }

    if (!params.synchronous)
    {
        MX_PROFILE_ZONE("HTTPClient::curl_multi_add_handle");
        return HTTPInternal::StartAsync(slot, url);
    }

    {
        MX_PROFILE_ZONE("HTTPClient::curl_easy_perform");
        char errorBuffer[1024] = {};
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
        CURLcode rc = curl_easy_perform(easy);
        long httpCode = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &httpCode);
        slot->response.httpCode = static_cast<int32>(httpCode);
        slot->response.requestSent = RequestWentOut(easy);
        slot->response.errorCode = HTTPInternal::MapTransferResult(*slot, rc);
        if (slot->response.errorCode != ErrorCode::OK)
        {
            MX_LOG_WARNING("HTTPClient::Request(Sync): result = %u (%s): %s", static_cast<unsigned>(rc),
                           curl_easy_strerror(rc), errorBuffer);
            MX_LOG_WARNING("%s", DescribeRequest(*slot).c_str());
        }
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
        NoteTruncatedAnswer(*slot);
    }
    if (slot->completion)
        slot->completion(slot->response);
    return id;
}

HTTPClient::ResponsePromise HTTPClient::Request(const char* url, const RequestParams& params, uint32* outId)
{
    ResponsePromise promise = ResponsePromise::Create();
    bool failOnError = params.failOnError;
    uint32 id =
        Request(url, params,
                [promise, failOnError](const Response& response) mutable
                {
                    if (failOnError)
                    {
                        if (response.errorCode != ErrorCode::OK)
                        {
                            promise.Reject(response.errorCode);
                            return;
                        }
                        if (response.httpCode >= 400)
                        {
                            promise.Reject(response.httpCode < 500 ? ErrorCode::SERVER_MISUNDERSTOOD_REQUEST
                                                                   : ErrorCode::SERVER_INTERNAL);
                            return;
                        }
                    }
                    promise.Resolve(response);
                });
    if (outId)
        *outId = id;
    return promise;
}

void HTTPClient::Update()
{
    MX_MEMORY_TAG_SCOPE("Net/HTTPClient");
    if (!HTTPInternal::HasClient())
        return;
    CURLM* multi = g_client->multi.get();
    {
        MX_PROFILE_ZONE("HTTPClient::curl_multi_perform");
        int running = 0;
        curl_multi_perform(multi, &running);
    }
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &remaining))
    {
        if (message->msg != CURLMSG_DONE)
        {
            MX_LOG_ERROR("HTTPClient: message->msg != CURLMSG_DONE");
            continue;
        }
        // Copy what is needed: the message is invalid once its handle is removed.
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        uint32 reqIdx = 0;
        HTTPSlot* slot = FindSlotByEasy(easy, &reqIdx);
        if (slot == nullptr || slot->completing)
        {
            MX_LOG_ERROR("HTTPClient: reqIdx == ~0u");
            continue;
        }
        MX_ASSERT(slot->response.reqId == slot->requestId);
        slot->response.errorCode = HTTPInternal::MapTransferResult(*slot, result);
        slot->response.requestSent = RequestWentOut(easy);
        if (slot->response.errorCode != ErrorCode::OK)
        {
            MX_LOG_ERROR("HTTPClient: message->data.result = %d (%s): %s", static_cast<int>(result),
                         curl_easy_strerror(result), slot->errorText);
            MX_LOG_ERROR("%s", DescribeRequest(*slot).c_str());
            if (curl_enableDebugFuncOnUnexpectedErrors.GetInt() != 0 && curl_enableDebugFunc.GetInt() == 0 &&
                result != CURLE_COULDNT_RESOLVE_HOST && result != CURLE_COULDNT_CONNECT &&
                result != CURLE_OPERATION_TIMEDOUT)
            {
                MX_LOG_WARNING("curl_enableDebugFuncOnUnexpectedErrors: 1 -> curl_enableDebugFunc");
                curl_enableDebugFunc.SetInt(1);
            }
        }
        else
        {
            long httpCode = 0;
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &httpCode);
            slot->response.httpCode = static_cast<int32>(httpCode);
        }
        NoteTruncatedAnswer(*slot);
        if (http_logClientRequests.GetInt() >= 2)
        {
            MX_LOG_NET("HTTPClient: completed reqIdx %u of %u active requests", reqIdx,
                       GetNumActiveRequests());
            MX_LOG_NET("%s", DescribeRequest(*slot).c_str());
        }
        // The completion may issue or cancel requests, which changes the slot array. The slot
        // itself stays where it is on the heap and cannot be cancelled while it completes; the
        // callable is moved out so that nothing it owns goes away while it runs.
        // The completion gets a copy of the response: a completion that shuts the client down frees
        // the slot while it runs.
        slot->completing = true;
        Completion completion = std::move(slot->completion);
        const uint64 generation = g_clientGeneration;
        if (completion)
        {
            const Response response = slot->response;
            completion(response);
        }
        // A completion that shut the client down (and perhaps started a new one) took every slot
        // and the multi handle with it.
        if (g_clientGeneration != generation || !HTTPInternal::HasClient())
            return;
        uint32 index = 0;
        if (FindSlotByEasy(easy, &index) == slot)
            TakeSlot(index);
    }
}

void HTTPClient::CancelRequest(uint32 id)
{
    if (!g_client)
        return;
    auto& requests = g_client->requests;
    for (uint32 i = 0; i < requests.size(); ++i)
    {
        if (requests[i]->requestId != id)
            continue;
        if (!requests[i]->completing)
            TakeSlot(i);
        return;
    }
}

// --- client certificates ---------------------------------------------------------------------

namespace
{
void DrainErrors(const char* format)
{
    while (unsigned long e = ERR_get_error())
        Log::Printf(__FILE__, __LINE__, Log::Warning, format, static_cast<unsigned>(e));
}
} // namespace

int CurlClientSSLFunc(void*, void* sslCtxPtr, void* pemPtr)
{
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtxPtr);
    const char* pem = static_cast<const char*>(pemPtr);
    bool debug = curl_enableDebugFunc.GetInt() != 0;
    if (debug)
        MX_LOG_INFO("CurlClientSSLFunc: %p, %p", sslCtxPtr, pemPtr);
    DrainErrors("CurlClientSSLFunc: ignoring err %u");

    bool ok = false;
    BIO* bio = pem ? BIO_new_mem_buf(pem, -1) : nullptr;
    X509* cert = bio ? PEM_read_bio_X509_AUX(bio, nullptr, nullptr, nullptr) : nullptr;
    do
    {
        if (cert == nullptr)
        {
            MX_LOG_ERROR("PEM_read_bio_X509_AUX failed");
            break;
        }
        if (SSL_CTX_use_certificate(ctx, cert) != 1)
        {
            MX_LOG_ERROR("SSL_CTX_use_certificate failed");
            break;
        }
        if (ERR_peek_error() != 0)
        {
            MX_LOG_ERROR("CurlClientSSLFunc: ERR_peek_error() != 0");
            break;
        }
        SSL_CTX_clear_chain_certs(ctx);
        bool chainOk = true;
        while (X509* chainCert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
        {
            // add0 takes ownership on success only.
            if (SSL_CTX_add0_chain_cert(ctx, chainCert) != 1)
            {
                X509_free(chainCert);
                MX_LOG_ERROR("SSL_CTX_add0_chain_cert failed");
                chainOk = false;
                break;
            }
        }
        if (!chainOk)
            break;
        unsigned long last = ERR_peek_last_error();
        if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE)
        {
            ERR_clear_error();
            BIO_free(bio);
            bio = BIO_new_mem_buf(pem, -1);
            EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
            if (key && SSL_CTX_use_PrivateKey(ctx, key) == 1)
            {
                if (debug)
                    MX_LOG_INFO("CurlClientSSLFunc done OK");
                ok = true;
            }
            else
                MX_LOG_ERROR("SSL_CTX_use_PrivateKey failed");
            EVP_PKEY_free(key);
        }
        else
            MX_LOG_ERROR("CurlClientSSLFunc: ERR_peek_last_error() = %u", static_cast<unsigned>(last));
    } while (false);
    X509_free(cert);
    BIO_free(bio);
    DrainErrors("CurlClientSSLFunc: resetting err %u");
    return ok ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

// --- console command -------------------------------------------------------------------------

void LogPromiseOutcome(const ttl::Result<HTTPClient::Response>& result)
{
    MX_LOG_DEBUG("http_request:");
    if (!result.IsOk())
        MX_LOG_DEBUG("Error: %s", ErrorCodeQualifiedName(result.GetError()));
    else
        MX_LOG_DEBUG("%s", result.GetValue().body.c_str());
}

void HTTPClient::CmdRequest(const CmdArgs& args)
{
    const char* url = args.Count() > 1 ? args[1] : "http://localhost/";
    RequestParams params;
    if (args.Count() > 2)
    {
        static const struct
        {
            const char* name;
            Verb verb;
        } kVerbs[] = {{"GET", Verb::GET}, {"POST", Verb::POST},   {"DELETE", Verb::DELETE},
                      {"PUT", Verb::PUT}, {"PATCH", Verb::PATCH}, {"PURGE", Verb::PURGE}};
        for (const auto& v : kVerbs)
            if (Str::EqualNoCase(args[2], v.name))
                params.verb = v.verb;
    }
    if (args.Count() > 3)
    {
        params.body = args[3];
        params.bodySize = static_cast<uint32>(std::strlen(args[3]));
    }
    for (uint32 i = 4; i < args.Count(); ++i)
        params.headers.emplace_back(args[i]);
    params.failOnError = true;
    params.synchronous = false;
    MX_LOG_DEBUG("Sending request to %s ...", url);
    ResponsePromise promise = Request(url, params, nullptr);
    promise.SetCallback(LogPromiseOutcome);
}
} // namespace Net
} // namespace Morvex
