// The event-loop network service over libuv.

#include "Net/Async/AsyncService.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Memory/LockedHeap.h"
#include "Core/Memory/Memory.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Profiler/Profiler.h"
#include "Core/StaticString.h"
#include "Core/String.h"
#include "Core/Timing/PlatformTime.h"

#include <uv.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <netinet/in.h>
#include <utility>
#include <vector>

namespace Morvex
{
CVar async_ignoreConnResetErr(CVarType::Int, "async_ignoreConnResetErr", 0, "1",
                              "this cleans up some spam on not-very-useful errors");
CVar async_returnEPIPE(CVarType::Int, "async_returnEPIPE", 0, "0",
                       "uv_write returns EAGAIN instead of EPIPE. Turn this on to return EPIPE as is", 0, 1);
CVar async_socketsDebug(CVarType::Int, "async_socketsDebug", 0, "0",
                        "debug level of async sockets. 1 - connections, 2 - allocations");

namespace async
{
// libuv's codes are negative errno values on this system; they are taken by name, never by number.
const int32 kWriteTimeoutStatus = UV_ETIMEDOUT;
const int32 kWriteBusyStatus = UV_EBUSY;

namespace
{
MX_CONSOLE_COMMAND("async_dbgDumpSockets", "dump all allocated sockets", AsyncService::CmdDumpSockets);
MX_CONSOLE_COMMAND("async_dnsResolve", "test async hostname resolution", AsyncService::CmdDnsResolve);

// --- libuv's allocator: the "NetAsync" heap ---------------------------------------------------
// Every allocation of libuv, and the loop record itself, comes from a heap of its own, which the
// memory report lists while the service runs. libuv's library destructor may still free (its
// thread-pool records) after Shutdown, at process exit: the heap lives until the very end.
LockedHeap& NetAsyncHeap()
{
    static LockedHeap& heap = CreateLockedHeap(LockedHeapKind::General, MX_HEAP_NAME("NetAsync"));
    return heap;
}
void* UvMalloc(size_t size)
{
    return NetAsyncHeap().Alloc(size);
}
void* UvRealloc(void* p, size_t size)
{
    // realloc to 0 bytes frees; libuv never asks for it, but a C realloc must take it.
    if (size == 0)
    {
        NetAsyncHeap().Free(p);
        return nullptr;
    }
    return NetAsyncHeap().Realloc(p, size);
}
void* UvCalloc(size_t count, size_t size)
{
    return NetAsyncHeap().Calloc(count, size);
}
void UvFree(void* p)
{
    NetAsyncHeap().Free(p);
}

// libuv takes a replacement allocator only before its first call, so it is installed once for the
// process, by the first Init.
bool InstallUvAllocator()
{
    static const bool installed = uv_replace_allocator(UvMalloc, UvRealloc, UvCalloc, UvFree) == 0;
    return installed;
}

template <class T>
struct IntrusiveList
{
    T* head = nullptr;
    uint32 count = 0;

    bool empty() const { return head == nullptr; }
    void PushFront(T* node)
    {
        node->m_prev = nullptr;
        node->m_next = head;
        if (head)
            head->m_prev = node;
        head = node;
        ++count;
    }
    void Remove(T* node)
    {
        if (node->m_prev)
            node->m_prev->m_next = node->m_next;
        else
            head = node->m_next;
        if (node->m_next)
            node->m_next->m_prev = node->m_prev;
        node->m_prev = node->m_next = nullptr;
        --count;
    }
};

// Names of libuv's handle types 1 to 16.
const char* HandleTypeName(uv_handle_type type)
{
    static const char* const kNames[] = {"async", "check", "fs_event", "fs_poll", "handle", "idle",
                                         "pipe",  "poll",  "prepare",  "process", "stream", "tcp",
                                         "timer", "tty",   "udp",      "signal"};
    const int index = static_cast<int>(type);
    return index >= 1 && index <= 16 ? kNames[index - 1] : "<unknown>";
}

constexpr int64 InvalidSocket = -1;
constexpr uint32 kReadBufferSize = 64 * 1024;
constexpr uint32 kShutdownWatchdogMs = 5000;
// Rounds of callables posted while the forced drain runs; a callable that posts itself for ever
// must not hold the shutdown.
constexpr uint32 kMaxForcedRounds = 1024;
} // namespace

struct CancelableContext
{
    std::atomic<void*> object{nullptr};
    std::atomic<uint32> refs{1};
    std::atomic<ErrorCode> cancelCode{ErrorCode::OK};
};

struct TimerContext
{
    TimerContext* m_prev = nullptr;
    TimerContext* m_next = nullptr;
    uv_timer_t m_timer{};
    AsyncService::TimerFn m_fn;
    void* m_owner = nullptr;
    bool m_canceled = false;
    bool m_repeat = false;
    // The callable is running: CancelTimer leaves it to be destroyed after it returns.
    bool m_inCallback = false;
};

struct ResolveContext
{
    ResolveContext* m_prev = nullptr;
    ResolveContext* m_next = nullptr;
    uv_getaddrinfo_t m_req{};
    String m_text;
    uint16 m_port = 0;
    AsyncService::AddressPromise m_promise;
    bool m_futureReturned = false;

    AsyncService::AddressPromise GetFuture()
    {
        MX_ASSERT(!m_futureReturned);
        m_futureReturned = true;
        return m_promise;
    }
};

// One uv_write in the system's hands, with its own copy of the bytes: a write that timed out may
// complete long after its caller let go of everything.
struct WriteRequest
{
    uv_write_t req{};
    AsyncSocketContext* context = nullptr;
    std::unique_ptr<char[]> data;
    // The caller was told of a time-out; the completion only frees the request.
    bool abandoned = false;
};

struct AsyncSocketContext
{
    AsyncSocketContext* m_prev = nullptr;
    AsyncSocketContext* m_next = nullptr;
    uv_tcp_t m_tcp{};
    NetAddress m_address;
    NetAddress m_peer;
    int64 m_handle = InvalidSocket;
    StaticString64_t m_name;
    bool m_accepted = false;
    bool m_external = false;
    bool m_inCleanup = false;
    bool m_tcpOpen = false;
    AsyncService::ReadFn m_readFn;
    AsyncService::WriteFn m_writeFn;
    WriteRequest* m_pendingWrite = nullptr;
    uv_timer_t m_writeTimer{};
    bool m_writeTimerOpen = false;
    uv_shutdown_t m_shutdownReq{};
    bool m_shutdownPending = false;
    uint32 m_openHandles = 0;
    std::unique_ptr<char[]> m_readBuffer;
    AsyncSocket* m_holder = nullptr;

    int64 GetHandle() const { return m_handle; }
    // Asserted when the context goes. A holder still referenced is one the service's own shutdown
    // closed.
    void AssertDead() const
    {
        MX_ASSERT(m_holder->m_refs == 0);
        MX_ASSERT(GetHandle() == InvalidSocket);
    }
    // Starts the cleanup; false when it had started before (asserts "!m_inCleanup").
    bool BeginCleanup()
    {
        MX_ASSERT(!m_inCleanup);
        if (m_inCleanup)
            return false;
        m_inCleanup = true;
        return true;
    }
    uint32 ArmedBits() const
    {
        uint32 bits = 0;
        bits |= m_readFn ? 1u : 0u;
        bits |= m_writeFn ? 2u : 0u;
        bits |=
            m_writeTimerOpen && uv_is_active(reinterpret_cast<const uv_handle_t*>(&m_writeTimer)) ? 4u : 0u;
        bits |= m_pendingWrite ? 8u : 0u;
        bits |= m_shutdownPending ? 16u : 0u;
        return bits;
    }
    StaticString256_t Describe() const
    {
        StaticString256_t address;
        if (m_external && m_handle != InvalidSocket)
        {
            address = m_peer.ToString(true);
            address.Append("(external)");
        }
        else
        {
            address = m_address.ToString(true);
            if (m_accepted)
                address.Append("(accepted by)");
        }
        StaticString256_t out;
        out.Format("ASC@%p[%s,0x%x,fd %u,%s]", static_cast<const void*>(this), m_name.c_str(), ArmedBits(),
                   static_cast<uint32>(m_handle), address.c_str());
        return out;
    }
};

bool AsyncSocket::IsConnected() const
{
    return m_context != nullptr && !m_context->m_inCleanup && m_context->m_tcpOpen;
}

int64 AsyncSocket::GetHandle() const
{
    return m_context ? m_context->m_handle : InvalidSocket;
}

namespace
{
uint32 g_socketsAllocCnt = 0;
uint32 g_socketsFreeCnt = 0;
uint64 g_timersAllocCnt = 0;
uint64 g_timersFreeCnt = 0;

template <class T>
struct LiveList
{
    IntrusiveList<T> m_list;
    void AssertEmpty() const { MX_ASSERT(m_list.empty()); }
};
using TimerList = LiveList<TimerContext>;
using SocketList = LiveList<AsyncSocketContext>;
using ResolveList = LiveList<ResolveContext>;

// The process-wide service. Every member runs on the polling thread.
class Service
{
public:
    struct Delayed
    {
        int64 due = 0;
        AsyncService::Callable fn;
    };

    uv_loop_t* m_loop = nullptr;
    uv_timer_t m_serviceTimer{};
    std::vector<AsyncService::Callable> m_posted;
    std::deque<Delayed> m_delayed;
    TimerList m_timers;
    SocketList m_sockets;
    ResolveList m_resolves;
    // uv_run is running: libuv's loop cannot be entered again from one of its callbacks.
    bool m_inRun = false;

    void Init();
    void Shutdown();
    void Poll(int64 timeoutMs);
    void RunPending(bool forced);
    TimerContext* SetTimer(void* owner, AsyncService::TimerFn fn, int64 timeout, bool repeat);
    void CancelTimer(TimerContext* timer);
    AsyncService::AddressPromise DNSResolve(const char* text);
    AsyncSocket* OpenExternalSocket(int64 nativeHandle, const char* name);
    bool SocketRead(AsyncSocket* as, AsyncService::ReadFn fn);
    bool SocketWrite(AsyncSocket* as, AsyncService::Buffer buff, int64 timeout, AsyncService::WriteFn fn);
    void SocketStopRead(AsyncSocket* as);
    void FreeSocket(AsyncSocket*& socket);
    void DumpHandles();
    void LogCounts();

    bool CheckSocket(AsyncSocket* as);
    void RunLoop(uv_run_mode mode)
    {
        m_inRun = true;
        uv_run(m_loop, mode);
        m_inRun = false;
    }
};

Service& G()
{
    static Service service;
    return service;
}

void CloseTimerCb(uv_handle_t* handle)
{
    TimerContext* timer = static_cast<TimerContext*>(handle->data);
    G().m_timers.m_list.Remove(timer);
    ++g_timersFreeCnt;
    delete timer;
}

void TimerCb(uv_timer_t* handle)
{
    TimerContext* timer = static_cast<TimerContext*>(handle->data);
    if (timer->m_canceled)
        return;
    MX_PROFILE_ZONE("timerCb");
    if (!timer->m_repeat)
    {
        // The context stays valid through the call: its close completes after this callback.
        AsyncService::TimerFn fn = std::move(timer->m_fn);
        G().CancelTimer(timer);
        fn(timer);
        return;
    }
    timer->m_inCallback = true;
    timer->m_fn(timer);
    timer->m_inCallback = false;
    if (timer->m_canceled)
        timer->m_fn = nullptr;
}

void StopLoopCb(uv_timer_t* handle)
{
    uv_stop(handle->loop);
}

void WatchdogCb(uv_timer_t* handle)
{
    MX_LOG_ERROR("AsyncService::Shutdown: timeout! Stop the loop!");
    uv_stop(handle->loop);
}

void ResolvedCb(uv_getaddrinfo_t* req, int status, addrinfo* res)
{
    ResolveContext* ctx = static_cast<ResolveContext*>(req->data);
    // The context goes before the continuation runs: a continuation may resolve again or shut the
    // service down.
    G().m_resolves.m_list.Remove(ctx);
    AsyncService::AddressPromise promise = std::move(ctx->m_promise);
    String text = std::move(ctx->m_text);
    const uint16 port = ctx->m_port;
    delete ctx;

    const sockaddr_in* found = nullptr;
    for (const addrinfo* ai = status == 0 ? res : nullptr; ai != nullptr; ai = ai->ai_next)
    {
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof(sockaddr_in))
        {
            found = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            break;
        }
    }
    if (status != 0)
        MX_LOG_ERROR("AsyncService::DNSResolve: status %d (%s) on '%s'", status, uv_err_name(status),
                     text.c_str());
    else if (found == nullptr)
        MX_LOG_ERROR("AsyncService::DNSResolve: no IPv4 address for '%s'", text.c_str());
    NetAddress address;
    if (found != nullptr)
    {
        address.ip = found->sin_addr.s_addr;
        address.port = port;
    }
    uv_freeaddrinfo(res);
    if (found != nullptr)
        promise.Resolve(address);
    else
        promise.Reject(ErrorCode::NETWORK);
}

// --- sockets ------------------------------------------------------------------------------------
void DieIfClean(AsyncSocketContext* ctx)
{
    if (!ctx->m_inCleanup || ctx->m_openHandles != 0 || ctx->m_shutdownPending || ctx->m_pendingWrite)
        return;
    const bool debug = async_socketsDebug.GetInt() >= 2;
    if (debug)
        MX_LOG_INFO("async_socketsDebug:ASC:DieIfClean() on %s", ctx->Describe().c_str());
    AsyncSocket* holder = ctx->m_holder;
    ctx->AssertDead();
    G().m_sockets.m_list.Remove(ctx);
    ++g_socketsFreeCnt;
    if (debug)
        MX_LOG_INFO("async_socketsDebug:ASC:~ASC(%p)", static_cast<void*>(ctx));
    // A holder still referenced (its socket was closed by the service's shutdown) stays for its
    // owner's FreeSocket, which then only frees it.
    holder->m_context = nullptr;
    if (holder->m_refs.load() == 0)
        delete holder;
    delete ctx;
}

void SocketHandleClosedCb(uv_handle_t* handle)
{
    AsyncSocketContext* ctx = static_cast<AsyncSocketContext*>(handle->data);
    --ctx->m_openHandles;
    DieIfClean(ctx);
}

void ShutdownDoneCb(uv_shutdown_t* req, int)
{
    AsyncSocketContext* ctx = static_cast<AsyncSocketContext*>(req->data);
    ctx->m_shutdownPending = false;
    uv_close(reinterpret_cast<uv_handle_t*>(&ctx->m_tcp), SocketHandleClosedCb);
}

void Cleanup(AsyncSocketContext* ctx)
{
    if (!ctx->BeginCleanup())
        return;
    if (ctx->m_readFn)
    {
        ctx->m_readFn = nullptr;
        uv_read_stop(reinterpret_cast<uv_stream_t*>(&ctx->m_tcp));
    }
    if (ctx->m_writeTimerOpen)
    {
        ctx->m_writeTimerOpen = false;
        uv_timer_stop(&ctx->m_writeTimer);
        uv_close(reinterpret_cast<uv_handle_t*>(&ctx->m_writeTimer), SocketHandleClosedCb);
    }
    if (ctx->m_tcpOpen)
    {
        ctx->m_tcpOpen = false;
        uv_stream_t* stream = reinterpret_cast<uv_stream_t*>(&ctx->m_tcp);
        ctx->m_shutdownReq.data = ctx;
        if (ctx->m_pendingWrite == nullptr && uv_is_writable(stream) &&
            uv_shutdown(&ctx->m_shutdownReq, stream, ShutdownDoneCb) == 0)
            ctx->m_shutdownPending = true;
        else
            uv_close(reinterpret_cast<uv_handle_t*>(&ctx->m_tcp), SocketHandleClosedCb);
    }
    ctx->m_readFn = nullptr;
    ctx->m_writeFn = nullptr;
    ctx->m_handle = InvalidSocket;
    ctx->m_address = NetAddress();
    ctx->m_peer = NetAddress();
    DieIfClean(ctx);
}

void ReadAllocCb(uv_handle_t* handle, size_t, uv_buf_t* buf)
{
    AsyncSocketContext* ctx = static_cast<AsyncSocketContext*>(handle->data);
    if (!ctx->m_readBuffer)
        ctx->m_readBuffer.reset(new char[kReadBufferSize]);
    *buf = uv_buf_init(ctx->m_readBuffer.get(), kReadBufferSize);
}

void ReadCb(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buf)
{
    AsyncSocketContext* ctx = static_cast<AsyncSocketContext*>(stream->data);
    if (nread == 0 || !ctx->m_readFn || ctx->m_inCleanup)
        return;
    if (nread < 0)
    {
        // The stream has ended or failed: no more pieces will come, so reading stops here.
        AsyncService::ReadFn fn = std::move(ctx->m_readFn);
        uv_read_stop(stream);
        fn(ctx->m_holder, static_cast<int64>(nread), nullptr);
        return;
    }
    ctx->m_readFn(ctx->m_holder, static_cast<int64>(nread), buf->base);
}

void WriteDoneCb(uv_write_t* req, int status)
{
    WriteRequest* write = static_cast<WriteRequest*>(req->data);
    AsyncSocketContext* ctx = write->context;
    const bool abandoned = write->abandoned;
    ctx->m_pendingWrite = nullptr;
    delete write;
    if (abandoned || ctx->m_inCleanup)
    {
        // Its caller has had its answer (the time-out) or has released the socket.
        DieIfClean(ctx);
        return;
    }
    uv_timer_stop(&ctx->m_writeTimer);
    if (status != 0)
        MX_LOG_WARNING("%s: %s: error %d (%s)", "AsyncService::SocketWrite", "write", status,
                       uv_strerror(status));
    AsyncService::WriteFn fn = std::move(ctx->m_writeFn);
    MX_PROFILE_ZONE("writeFn");
    if (fn)
        fn(ctx->m_holder, status);
}

void WriteTimeoutCb(uv_timer_t* handle)
{
    AsyncSocketContext* ctx = static_cast<AsyncSocketContext*>(handle->data);
    if (ctx->m_inCleanup || !ctx->m_writeFn)
        return;
    MX_LOG_ERROR("%s: %s: error %d (%s)", "AsyncService::SocketWrite", "write/timeout", kWriteTimeoutStatus,
                 uv_strerror(kWriteTimeoutStatus));
    if (ctx->m_pendingWrite)
        ctx->m_pendingWrite->abandoned = true;
    AsyncService::WriteFn fn = std::move(ctx->m_writeFn);
    MX_PROFILE_ZONE("writeFn");
    fn(ctx->m_holder, kWriteTimeoutStatus);
}

// A write that ends before reaching libuv still answers through its callable, on the next poll
// (never inside SocketWrite), holding a reference so that the socket outlives the answer.
void PostWriteResult(AsyncSocket* as, AsyncService::WriteFn fn, int32 status)
{
    as->AddRef();
    AsyncService::Post(
        [as, fn = std::move(fn), status]() mutable
        {
            fn(as, status);
            AsyncSocket* ref = as;
            AsyncService::FreeSocket(ref);
        });
}

bool ParsePort(const char* text, uint16& port)
{
    if (*text == 0)
        return false;
    uint32 value = 0;
    for (; *text; ++text)
    {
        if (*text < '0' || *text > '9')
            return false;
        value = value * 10 + static_cast<uint32>(*text - '0');
        if (value > 65535)
            return false;
    }
    port = static_cast<uint16>(value);
    return true;
}

void WalkDumpCb(uv_handle_t* handle, void*)
{
    const bool ref = uv_has_ref(handle) != 0;
    const bool active = uv_is_active(handle) != 0;
    // "I": a handle of the service itself (its timer, a socket's write timer).
    Service& s = G();
    bool internal = handle == reinterpret_cast<uv_handle_t*>(&s.m_serviceTimer);
    StaticString256_t description;
    for (AsyncSocketContext* c = s.m_sockets.m_list.head; c != nullptr; c = c->m_next)
    {
        if (handle == reinterpret_cast<uv_handle_t*>(&c->m_writeTimer))
            internal = true;
        if (handle->type == UV_TCP && handle == reinterpret_cast<uv_handle_t*>(&c->m_tcp))
            description = c->Describe();
    }
    const uint32 flags = (ref ? 0x20u : 0u) | (active ? 0x40u : 0u) | (internal ? 0x80u : 0u);
    StaticString32_t flagText;
    flagText.Format("[0x%x:%s%s%s]", flags, ref ? "R" : "", active ? "A" : "", internal ? "I" : "");
    MX_LOG_INFO("%s %-8s %-16p %-16p %s", flagText.c_str(), HandleTypeName(handle->type),
                static_cast<void*>(handle), handle->data, description.c_str());
}

void WalkCloseCb(uv_handle_t* handle, void*)
{
    if (uv_is_closing(handle))
        return;
    uv_close(handle, nullptr);
}

// --- the service ---------------------------------------------------------------------------------
void Service::Init()
{
    if (m_loop != nullptr)
    {
        MX_LOG_WARNING("AsyncService::Init: already inited");
        return;
    }
    MX_MEMORY_TAG_SCOPE("Net/Async");
    if (!InstallUvAllocator())
        MX_LOG_ERROR("AsyncService::Init: libuv refused the allocator; it allocates from the C heap");
    // Windows' socket start-up and error mode have no counterpart here.
    uv_loop_t* loop = static_cast<uv_loop_t*>(UvMalloc(sizeof(uv_loop_t)));
    const int rc = uv_loop_init(loop);
    if (rc != 0)
    {
        MX_LOG_ERROR("AsyncService::Init: uv_loop_init failed with error %d (%s)", rc, uv_err_name(rc));
        UvFree(loop);
        return;
    }
    m_loop = loop;
    uv_timer_init(m_loop, &m_serviceTimer);
    m_serviceTimer.data = this;
    Memory::RegisterHeap(&NetAsyncHeap());
}

void Service::Poll(int64 timeoutMs)
{
    MX_PROFILE_ZONE("async::Poll");
    if (m_loop == nullptr || m_inRun)
        return;
    if (timeoutMs == 0)
        RunLoop(UV_RUN_NOWAIT);
    else
    {
        const uint64 ms = timeoutMs > 0 ? static_cast<uint64>(timeoutMs)
                                        : (timeoutMs == INT64_MIN ? static_cast<uint64>(INT64_MAX)
                                                                  : static_cast<uint64>(-timeoutMs));
        uv_update_time(m_loop);
        uv_timer_start(&m_serviceTimer, StopLoopCb, ms, 0);
        if (timeoutMs < 0)
            uv_ref(reinterpret_cast<uv_handle_t*>(&m_serviceTimer));
        else
            uv_unref(reinterpret_cast<uv_handle_t*>(&m_serviceTimer));
        RunLoop(UV_RUN_DEFAULT);
        // A poll that ended early must not leave its stop armed for the next one.
        uv_timer_stop(&m_serviceTimer);
    }
    RunPending(false);
}

void Service::RunPending(bool forced)
{
    if (!forced)
    {
        // Swapped out first: a callable that posts must not move the array being walked, and what
        // it posts waits for the next poll.
        std::vector<AsyncService::Callable> run;
        run.swap(m_posted);
        for (AsyncService::Callable& fn : run)
            fn();
        run.clear();
        if (m_posted.empty())
            m_posted.swap(run); // keeps the capacity

        const int64 now = GetTimeMs();
        std::deque<Delayed> pending;
        pending.swap(m_delayed);
        std::deque<Delayed> kept;
        for (Delayed& d : pending)
        {
            if (d.due <= now)
                d.fn();
            else
                kept.push_back(std::move(d));
        }
        for (Delayed& d : m_delayed)
            kept.push_back(std::move(d));
        m_delayed.swap(kept);
        return;
    }
    // Everything posted (and what that posts) first, then every delayed callable whatever its time.
    for (uint32 round = 0; !m_posted.empty() || !m_delayed.empty(); ++round)
    {
        if (round == kMaxForcedRounds)
        {
            MX_LOG_ERROR("AsyncService::Shutdown: callables keep posting callables; %u dropped",
                         static_cast<uint32>(m_posted.size() + m_delayed.size()));
            m_posted.clear();
            m_delayed.clear();
            break;
        }
        if (!m_posted.empty())
        {
            std::vector<AsyncService::Callable> run;
            run.swap(m_posted);
            for (AsyncService::Callable& fn : run)
                fn();
            continue;
        }
        std::deque<Delayed> delayed;
        delayed.swap(m_delayed);
        for (Delayed& d : delayed)
            d.fn();
    }
}

TimerContext* Service::SetTimer(void* owner, AsyncService::TimerFn fn, int64 timeout, bool repeat)
{
    MX_PROFILE_ZONE("async::SetTimer");
    if (!MX_VERIFY(!!fn) || !MX_VERIFY(timeout >= 0))
        return nullptr;
    if (repeat && !MX_VERIFY(timeout > 0))
        return nullptr;
    if (m_loop == nullptr)
    {
        MX_LOG_ERROR("AsyncService::SetTimer: the service is not initialised");
        return nullptr;
    }
    if (!MX_VERIFY(g_timersAllocCnt - g_timersFreeCnt < 1024 * 1024))
        return nullptr;
    // The loop's clock is only advanced while it runs; a timer set between polls counts from now.
    uv_update_time(m_loop);
    MX_MEMORY_TAG_SCOPE("Net/Async");
    TimerContext* timer = new TimerContext();
    m_timers.m_list.PushFront(timer);
    timer->m_owner = owner;
    timer->m_repeat = repeat;
    timer->m_fn = std::move(fn);
    ++g_timersAllocCnt;
    uv_timer_init(m_loop, &timer->m_timer);
    timer->m_timer.data = timer;
    const uint64 ms = static_cast<uint64>(timeout);
    uv_timer_start(&timer->m_timer, TimerCb, ms, repeat ? ms : 0);
    return timer;
}

void Service::CancelTimer(TimerContext* timer)
{
    if (timer == nullptr)
        return;
    const bool canceled = timer->m_canceled;
    if (!MX_VERIFY(!canceled))
        return;
    timer->m_canceled = true;
    if (!timer->m_inCallback)
        timer->m_fn = nullptr;
    uv_timer_stop(&timer->m_timer);
    uv_close(reinterpret_cast<uv_handle_t*>(&timer->m_timer), CloseTimerCb);
}

AsyncService::AddressPromise Service::DNSResolve(const char* text)
{
    AsyncService::AddressPromise failed = AsyncService::AddressPromise::Create();
    if (text == nullptr || *text == 0)
    {
        failed.Reject(ErrorCode::INVALID_PARAMS);
        return failed;
    }
    char host[257];
    uint16 port = 0;
    const char* colon = std::strchr(text, ':');
    const size_t hostLength = colon ? static_cast<size_t>(colon - text) : std::strlen(text);
    // A host cut to fit, or a port read from half a number, would name somewhere else.
    if (hostLength == 0 || hostLength > 256 || (colon && !ParsePort(colon + 1, port)))
    {
        MX_LOG_ERROR("AsyncService::DNSResolve: invalid address '%s'", text);
        failed.Reject(ErrorCode::INVALID_PARAMS);
        return failed;
    }
    std::memcpy(host, text, hostLength);
    host[hostLength] = 0;
    if (m_loop == nullptr)
    {
        MX_LOG_ERROR("AsyncService::DNSResolve: the service is not initialised ('%s')", text);
        failed.Reject(ErrorCode::NETWORK);
        return failed;
    }

    MX_MEMORY_TAG_SCOPE("Net/Async");
    ResolveContext* ctx = new ResolveContext();
    m_resolves.m_list.PushFront(ctx);
    ctx->m_text = text;
    ctx->m_port = port;
    ctx->m_promise = AsyncService::AddressPromise::Create();
    ctx->m_req.data = ctx;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    const int rc = uv_getaddrinfo(m_loop, &ctx->m_req, ResolvedCb, host, nullptr, &hints);
    if (rc != 0)
    {
        MX_LOG_ERROR("AsyncService::DNSResolve: uv_getaddrinfo failed with error %d (%s) on '%s'", rc,
                     uv_err_name(rc), text);
        m_resolves.m_list.Remove(ctx);
        delete ctx;
        failed.Reject(ErrorCode::NETWORK);
        return failed;
    }
    return ctx->GetFuture();
}

AsyncSocket* Service::OpenExternalSocket(int64 nativeHandle, const char* name)
{
    if (m_loop == nullptr || nativeHandle < 0 || nativeHandle > INT_MAX)
        return nullptr;
    MX_MEMORY_TAG_SCOPE("Net/Async");
    AsyncSocketContext* ctx = new AsyncSocketContext();
    uv_tcp_init(m_loop, &ctx->m_tcp);
    ctx->m_tcp.data = ctx;
    const int rc = uv_tcp_open(&ctx->m_tcp, static_cast<uv_os_sock_t>(nativeHandle));
    if (rc != 0)
    {
        MX_LOG_ERROR("AsyncService::OpenExternalSocket: uv_tcp_open failed with error %d (%s)", rc,
                     uv_err_name(rc));
        // The handle was initialised, so it must be closed before its memory goes; the descriptor
        // was never taken and stays the caller's.
        ctx->m_holder = nullptr;
        uv_close(reinterpret_cast<uv_handle_t*>(&ctx->m_tcp),
                 [](uv_handle_t* h) { delete static_cast<AsyncSocketContext*>(h->data); });
        return nullptr;
    }
    ctx->m_tcpOpen = true;
    ctx->m_openHandles = 2;
    uv_timer_init(m_loop, &ctx->m_writeTimer);
    ctx->m_writeTimer.data = ctx;
    ctx->m_writeTimerOpen = true;
    ctx->m_handle = nativeHandle;
    ctx->m_external = true;
    ctx->m_name = name ? name : "";
    sockaddr_storage storage{};
    int length = sizeof(storage);
    if (uv_tcp_getsockname(&ctx->m_tcp, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
        storage.ss_family == AF_INET)
    {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&storage);
        ctx->m_address.ip = in->sin_addr.s_addr;
        ctx->m_address.port = ntohs(in->sin_port);
    }
    length = sizeof(storage);
    if (uv_tcp_getpeername(&ctx->m_tcp, reinterpret_cast<sockaddr*>(&storage), &length) == 0 &&
        storage.ss_family == AF_INET)
    {
        const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&storage);
        ctx->m_peer.ip = in->sin_addr.s_addr;
        ctx->m_peer.port = ntohs(in->sin_port);
    }
    AsyncSocket* as = new AsyncSocket();
    as->m_owner = this;
    as->m_context = ctx;
    ctx->m_holder = as;
    m_sockets.m_list.PushFront(ctx);
    ++g_socketsAllocCnt;
    if (async_socketsDebug.GetInt() >= 1)
        MX_LOG_INFO("async_socketsDebug:OpenExternalSocket(%s)", ctx->Describe().c_str());
    return as;
}

bool Service::CheckSocket(AsyncSocket* as)
{
    if (!MX_VERIFY(as != nullptr && as->m_context != nullptr))
        return false;
    if (!MX_VERIFY(!as->m_context->m_inCleanup))
        return false;
    return MX_VERIFY(as->m_owner == this);
}

bool Service::SocketRead(AsyncSocket* as, AsyncService::ReadFn fn)
{
    if (!CheckSocket(as) || !MX_VERIFY(as->IsConnected()) || !MX_VERIFY(!!fn))
        return false;
    AsyncSocketContext* ctx = as->m_context;
    const int rc = uv_read_start(reinterpret_cast<uv_stream_t*>(&ctx->m_tcp), ReadAllocCb, ReadCb);
    if (rc != 0)
    {
        MX_LOG_WARNING("%s: %s: error %d (%s)", "AsyncService::SocketRead", "read", rc, uv_strerror(rc));
        return false;
    }
    ctx->m_readFn = std::move(fn);
    return true;
}

bool Service::SocketWrite(AsyncSocket* as, AsyncService::Buffer buff, int64 timeout, AsyncService::WriteFn fn)
{
    MX_PROFILE_ZONE("async::SocketWrite");
    if (!CheckSocket(as) || !MX_VERIFY(as->IsConnected()) || !MX_VERIFY(!as->m_context->m_writeFn) ||
        !MX_VERIFY(buff.buf && buff.len > 0))
        return false;
    AsyncSocketContext* ctx = as->m_context;
    if (ctx->m_pendingWrite != nullptr)
    {
        // A write that timed out is still in the system's hands; a second one would interleave
        // its bytes with the first's remainder.
        MX_LOG_WARNING("%s: %s: error %d (%s)", "AsyncService::SocketWrite", "write/busy", kWriteBusyStatus,
                       uv_strerror(kWriteBusyStatus));
        PostWriteResult(as, std::move(fn), kWriteBusyStatus);
        return false;
    }
    MX_MEMORY_TAG_SCOPE("Net/Async");
    WriteRequest* write = new WriteRequest();
    write->context = ctx;
    write->req.data = write;
    write->data.reset(new char[buff.len]);
    std::memcpy(write->data.get(), buff.buf, buff.len);
    const uv_buf_t buf = uv_buf_init(write->data.get(), buff.len);
    const int rc = uv_write(&write->req, reinterpret_cast<uv_stream_t*>(&ctx->m_tcp), &buf, 1, WriteDoneCb);
    if (rc != 0)
    {
        delete write;
        MX_LOG_WARNING("%s: %s: error %d (%s)", "AsyncService::SocketWrite", "write", rc, uv_strerror(rc));
        PostWriteResult(as, std::move(fn), rc);
        return false;
    }
    ctx->m_pendingWrite = write;
    ctx->m_writeFn = std::move(fn);
    if (timeout > 0)
        uv_timer_start(&ctx->m_writeTimer, WriteTimeoutCb, static_cast<uint64>(timeout), 0);
    return false;
}

void Service::SocketStopRead(AsyncSocket* as)
{
    if (!CheckSocket(as))
        return;
    AsyncSocketContext* ctx = as->m_context;
    if (ctx->m_readFn)
    {
        ctx->m_readFn = nullptr;
        uv_read_stop(reinterpret_cast<uv_stream_t*>(&ctx->m_tcp));
    }
}

void Service::FreeSocket(AsyncSocket*& socket)
{
    AsyncSocket* as = std::exchange(socket, nullptr);
    if (as == nullptr)
        return;
    if (as->m_refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    AsyncSocketContext* ctx = as->m_context;
    if (ctx == nullptr)
    {
        // The service closed this socket at its shutdown; only the handle was left.
        delete as;
        return;
    }
    if (async_socketsDebug.GetInt() >= 2)
        MX_LOG_INFO("async_socketsDebug:FreeSocket(%s)", ctx->Describe().c_str());
    Cleanup(ctx);
}

void Service::LogCounts()
{
    StaticString32_t freed, allocated;
    freed.Format("%llu", static_cast<unsigned long long>(g_timersFreeCnt));
    allocated.Format("%llu", static_cast<unsigned long long>(g_timersAllocCnt));
    MX_LOG_DEBUG("freed/allocd: sockets: %d/%d, timers: %s/%s", static_cast<int>(g_socketsFreeCnt),
                 static_cast<int>(g_socketsAllocCnt), freed.c_str(), allocated.c_str());
}

void Service::DumpHandles()
{
    MX_LOG_DEBUG("async::DumpHandles:");
    if (m_loop != nullptr)
        uv_walk(m_loop, WalkDumpCb, nullptr);
}

void Service::Shutdown()
{
    if (m_loop == nullptr)
        return;
    if (!MX_VERIFY_MSG(!m_inRun, "AsyncService::Shutdown from inside the loop"))
        return;
    const bool everAllocated = g_socketsAllocCnt != 0 || g_timersAllocCnt != 0;
    const bool debugger = Platform_IsDebuggerPresent();
    if (everAllocated && !debugger)
    {
        MX_LOG_DEBUG("AsyncService::Shutdown: ...");
        LogCounts();
        DumpHandles();
    }
    for (ResolveContext* r = m_resolves.m_list.head; r != nullptr; r = r->m_next)
        uv_cancel(reinterpret_cast<uv_req_t*>(&r->m_req));

    uv_timer_stop(&m_serviceTimer);
    uv_update_time(m_loop);
    uv_timer_start(&m_serviceTimer, WatchdogCb, kShutdownWatchdogMs, 0);
    uv_unref(reinterpret_cast<uv_handle_t*>(&m_serviceTimer));
    if (uv_loop_alive(m_loop))
        RunLoop(UV_RUN_DEFAULT);
    uv_timer_stop(&m_serviceTimer);
    uv_close(reinterpret_cast<uv_handle_t*>(&m_serviceTimer), nullptr);
    if (uv_loop_alive(m_loop))
        RunLoop(UV_RUN_NOWAIT);
    RunPending(true);
    if (everAllocated && !debugger)
        DumpHandles();

    m_sockets.AssertEmpty();
    m_timers.AssertEmpty();
    m_resolves.AssertEmpty();
    // What its owners left open is closed here, so that no handle outlives the loop's memory.
    for (TimerContext* t = m_timers.m_list.head; t != nullptr; t = t->m_next)
        if (!t->m_canceled)
            CancelTimer(t);
    for (AsyncSocketContext* c = m_sockets.m_list.head; c != nullptr; c = c->m_next)
        if (!c->m_inCleanup)
            Cleanup(c);
    uv_walk(m_loop, WalkCloseCb, nullptr);
    for (uint32 i = 0; i < 100 && uv_loop_alive(m_loop) && m_resolves.m_list.empty(); ++i)
        RunLoop(UV_RUN_NOWAIT);

    if (!m_resolves.m_list.empty() || uv_loop_close(m_loop) != 0)
    {
        // A resolution still running on a libuv worker (or a handle that would not close) will
        // touch the loop later: it is left allocated rather than freed under them.
        MX_LOG_ERROR(
            "AsyncService::Shutdown: %u name resolutions and handles still busy; the loop is left open",
            m_resolves.m_list.count);
        m_resolves.m_list = IntrusiveList<ResolveContext>();
    }
    else
        UvFree(m_loop);
    m_loop = nullptr;
    Memory::UnregisterHeap(&NetAsyncHeap());
    m_posted.clear();
    m_delayed.clear();
    if (everAllocated &&
        (!debugger || g_socketsFreeCnt != g_socketsAllocCnt || g_timersFreeCnt != g_timersAllocCnt))
    {
        LogCounts();
        MX_LOG_DEBUG("AsyncService::Shutdown: complete");
    }
}
} // namespace

// --- CancelableThis ----------------------------------------------------------------------------
CancelableThis::CancelableThis(const CancelableThis& other)
{
    CancelableContext* ctx = other.GetCtx();
    if (ctx != nullptr)
    {
        ctx->refs.fetch_add(1, std::memory_order_relaxed);
        m_ctx = reinterpret_cast<CancelableContext*>(reinterpret_cast<uintptr_t>(ctx) | 1);
    }
}

CancelableThis::~CancelableThis()
{
    CancelableContext* ctx = GetCtx();
    if (ctx == nullptr)
        return;
    if (!IsCopy())
    {
        Cancel(ErrorCode::OPERATION_CANCELLED);
        return;
    }
    m_ctx = nullptr;
    if (ctx->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete ctx;
}

void CancelableThis::Create(void* object)
{
    MX_ASSERT(!GetCtx());
    if (GetCtx())
        return;
    m_ctx = new CancelableContext();
    MX_ASSERT(((intptr_t)m_ctx & 0x3) == 0);
    m_ctx->object.store(object, std::memory_order_release);
}

void CancelableThis::Cancel(ErrorCode code)
{
    if (!MX_VERIFY(!IsCopy()) || !MX_VERIFY(GetCtx()))
        return;
    CancelableContext* ctx = std::exchange(m_ctx, nullptr);
    ctx->cancelCode.store(code, std::memory_order_relaxed);
    ctx->object.store(nullptr, std::memory_order_release);
    if (ctx->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete ctx;
}

void* CancelableThis::Get() const
{
    CancelableContext* ctx = GetCtx();
    return ctx ? ctx->object.load(std::memory_order_acquire) : nullptr;
}

ErrorCode CancelableThis::GetCancelCode() const
{
    CancelableContext* ctx = GetCtx();
    return ctx ? ctx->cancelCode.load(std::memory_order_relaxed) : ErrorCode::OK;
}

CancelableContext* CancelableThis::GetCtx() const
{
    return reinterpret_cast<CancelableContext*>(reinterpret_cast<uintptr_t>(m_ctx) &
                                                ~static_cast<uintptr_t>(3));
}

// --- AsyncService ------------------------------------------------------------------------------
void AsyncService::Init()
{
    G().Init();
}
void AsyncService::Shutdown()
{
    G().Shutdown();
}
bool AsyncService::IsInitialized()
{
    return G().m_loop != nullptr;
}
void AsyncService::Poll(int64 timeoutMs)
{
    G().Poll(timeoutMs);
}
void AsyncService::Post(Callable fn)
{
    MX_MEMORY_TAG_SCOPE("Net/Async");
    if (fn)
        G().m_posted.push_back(std::move(fn));
}
void AsyncService::PostDelayed(int64 delayMs, Callable fn)
{
    MX_MEMORY_TAG_SCOPE("Net/Async");
    if (fn)
        G().m_delayed.push_back({GetTimeMs() + (delayMs > 0 ? delayMs : 0), std::move(fn)});
}
TimerContext* AsyncService::SetTimer(void* owner, TimerFn fn, int64 timeoutMs, bool repeat)
{
    return G().SetTimer(owner, std::move(fn), timeoutMs, repeat);
}
void AsyncService::CancelTimer(TimerContext* timer)
{
    G().CancelTimer(timer);
}
void* AsyncService::GetTimerOwner(const TimerContext* timer)
{
    return timer ? timer->m_owner : nullptr;
}
AsyncService::AddressPromise AsyncService::DNSResolve(const char* text)
{
    return G().DNSResolve(text);
}
AsyncSocket* AsyncService::OpenExternalSocket(int64 nativeHandle, const char* name)
{
    return G().OpenExternalSocket(nativeHandle, name);
}
bool AsyncService::SocketRead(AsyncSocket* socket, ReadFn fn)
{
    return G().SocketRead(socket, std::move(fn));
}
bool AsyncService::SocketWrite(AsyncSocket* socket, Buffer buffer, int64 timeoutMs, WriteFn fn)
{
    return G().SocketWrite(socket, buffer, timeoutMs, std::move(fn));
}
void AsyncService::SocketStopRead(AsyncSocket* socket)
{
    G().SocketStopRead(socket);
}
void AsyncService::FreeSocket(AsyncSocket*& socket)
{
    G().FreeSocket(socket);
}
StaticString256_t AsyncService::Describe(const AsyncSocket* socket)
{
    if (socket == nullptr || socket->m_context == nullptr)
        return StaticString256_t();
    return socket->m_context->Describe();
}
void AsyncService::DumpHandles()
{
    G().DumpHandles();
}
AsyncService::Stats AsyncService::GetStats()
{
    Service& s = G();
    Stats stats;
    stats.liveSockets = s.m_sockets.m_list.count;
    stats.liveTimers = s.m_timers.m_list.count;
    stats.liveResolves = s.m_resolves.m_list.count;
    stats.socketsAllocated = g_socketsAllocCnt;
    stats.socketsFreed = g_socketsFreeCnt;
    stats.timersAllocated = g_timersAllocCnt;
    stats.timersFreed = g_timersFreeCnt;
    stats.postedCallables = static_cast<uint32>(s.m_posted.size());
    stats.delayedCallables = static_cast<uint32>(s.m_delayed.size());
    return stats;
}

void AsyncService::CmdDumpSockets(const CmdArgs&)
{
    MX_LOG_INFO("Dumping AsyncSocket's:");
    for (AsyncSocketContext* c = G().m_sockets.m_list.head; c != nullptr; c = c->m_next)
        MX_LOG_INFO("%s", c->Describe().c_str());
}

void AsyncService::CmdDnsResolve(const CmdArgs& args)
{
    if (args.Count() != 2)
    {
        Log::ConsolePrintf("Usage: /async_dnsResolve <hostname>\n");
        return;
    }
    String host(args[1]);
    DNSResolve(args[1]).SetCallback(
        [host = std::move(host)](const ttl::Result<NetAddress>& result)
        {
            if (!result.IsOk())
                MX_LOG_ERROR("async_dnsResolve: %s", ErrorCodeName(result.GetError()));
            else
                MX_LOG_INFO("async_dnsResolve: %s: %s", host.c_str(),
                            result.GetValue().ToString(true).c_str());
        });
}
} // namespace async
} // namespace Morvex
