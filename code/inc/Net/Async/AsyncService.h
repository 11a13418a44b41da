#pragma once
// The event-loop network service: the process's single libuv loop with posted callables, timers,
// IPv4 name resolution and sockets. The loop has no thread of its own; it advances only inside
// AsyncService::Poll.
//
// Threads: everything here (calls, callbacks, continuations) runs on one thread at a time, the
// thread that polls; nothing is locked. Init and the first calls may come from the main thread and
// polling from a worker (the upload loop) as long as the two never overlap.

#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "Core/ErrorCode.h"
#include "Core/Types.h"
#include "Core/ttl/Function.h"
#include "Core/ttl/Promise.h"
#include "Net/NetAddress.h"

#include <atomic>

namespace Morvex
{
namespace async
{
struct TimerContext;
struct AsyncSocketContext;
struct CancelableContext;

// A handle to one socket of the service, reference-counted: AddRef for every further holder, and
// AsyncService::FreeSocket for every reference given up. The last reference closes the socket.
class AsyncSocket
{
public:
    void AddRef() { m_refs.fetch_add(1, std::memory_order_relaxed); }
    // True while the socket has a stream that has not been released.
    bool IsConnected() const;
    // The native descriptor, or -1 when none.
    int64 GetHandle() const;

    std::atomic<int32> m_refs{1};
    void* m_owner = nullptr;
    AsyncSocketContext* m_context = nullptr;
};

// A cancellable back-reference to an object, through which continuations reach it only while it
// lives. The owner creates it (Create), hands out copies bound to continuations (Bind) and cancels
// it (Cancel) before it goes; a continuation whose object was cancelled does not run its body.
// Copies may outlive the owner. Not synchronised beyond the reference count.
class CancelableThis
{
public:
    CancelableThis() = default;
    CancelableThis(const CancelableThis& other);
    CancelableThis& operator=(const CancelableThis& other) = delete;
    // The owner's instance cancels with OPERATION_CANCELLED when it was not cancelled before.
    ~CancelableThis();

    // Owner only; asserts "!GetCtx()" when already created.
    void Create(void* object);
    // Owner only; asserts "!IsCopy()" and "GetCtx()". Later continuations do not run their body.
    void Cancel(ErrorCode code);

    // The object, or null once cancelled (or before Create).
    void* Get() const;
    // OK until cancelled.
    ErrorCode GetCancelCode() const;
    CancelableContext* GetCtx() const;
    bool IsCopy() const { return (reinterpret_cast<uintptr_t>(m_ctx) & 1) != 0; }

    // Wraps fn so that it runs only while the object is set; a cancelled call does nothing.
    // Asserts "rv.GetCtx() != nullptr" when this was never created (the wrapper then never runs fn).
    template <class F>
    auto Bind(F fn) const
    {
        CancelableThis rv(*this);
        MX_ASSERT(rv.GetCtx() != nullptr);
        return [rv = std::move(rv), fn = std::move(fn)](auto&&... args) mutable
        {
            if (rv.Get() != nullptr)
                fn(std::forward<decltype(args)>(args)...);
        };
    }

private:
    CancelableContext* m_ctx = nullptr;
};

// libuv status of a write that outlasted its time-out (UV_ETIMEDOUT).
extern const int32 kWriteTimeoutStatus;
// libuv status given to a write refused because an earlier write is still pending (UV_EBUSY).
extern const int32 kWriteBusyStatus;

class AsyncService
{
public:
    using Callable = ttl::Function<void()>;
    using TimerFn = ttl::Function<void(TimerContext*)>;
    using WriteFn = ttl::Function<void(AsyncSocket*, int32 status)>;
    // nread > 0: bytes in data; nread < 0: a libuv status (UV_EOF at the end), data null.
    using ReadFn = ttl::Function<void(AsyncSocket*, int64 nread, const char* data)>;
    using AddressPromise = ttl::Promise<NetAddress>;

    struct Buffer
    {
        uint32 len = 0;
        const char* buf = nullptr;
    };

    // Sets up the loop and its allocator. A second call logs a Warning and does nothing.
    static void Init();
    // Cancels name resolutions, runs the loop until its work is done (at most 5 seconds), runs
    // every pending callable and closes the loop. Handles still open after that are closed; work
    // that cannot be stopped (a resolution running on a libuv worker) keeps the loop alive rather
    // than freeing memory under it, and is logged at Error. Nothing without Init.
    static void Shutdown();
    static bool IsInitialized();

    // timeoutMs 0: what is ready now. > 0: until no referenced work remains, at most that long.
    // < 0: blocks for -timeoutMs even without work. Then runs the posted callables that were queued
    // before the poll began and the delayed ones that are due. Nothing without Init; a call from
    // inside a callback of the loop returns at once (the loop cannot be run re-entrantly).
    static void Poll(int64 timeoutMs);

    // Queues a callable for the next Poll (empty ones are ignored).
    static void Post(Callable fn);
    // Queues a callable for the first Poll at or after now + delayMs.
    static void PostDelayed(int64 delayMs, Callable fn);

    // Starts a timer that calls fn with its context after timeoutMs, once or (repeat) every
    // timeoutMs until CancelTimer. owner is kept for the caller, not used. Asserts "!!fn",
    // "timeout >= 0" and, repeating, "timeout > 0"; returns null then, and without Init (logged at
    // Error). A one-shot timer frees itself after its call; its context must not be cancelled then.
    static TimerContext* SetTimer(void* owner, TimerFn fn, int64 timeoutMs, bool repeat);
    // Stops the timer and frees its context once libuv has closed it. Asserts "!canceled" for a
    // timer cancelled (or fired once) before. Safe from inside the timer's own callback: the
    // running callable is destroyed after it returns. Null is ignored.
    static void CancelTimer(TimerContext* timer);
    static void* GetTimerOwner(const TimerContext* timer);

    // Resolves "host" or "host:port" to its first IPv4 address, completed inside a later Poll.
    // Fails at once with INVALID_PARAMS for null, empty or malformed text (no host, a host longer
    // than 256 bytes, a port that is not a number up to 65535), with NETWORK when the service
    // is not initialised or the resolution cannot start; later with NETWORK when it fails.
    static AddressPromise DNSResolve(const char* text);

    // Adopts a connected TCP socket (the descriptor is owned by the socket from then on) under a
    // name for the debug output. Null when the service is not initialised or libuv refuses it; the
    // descriptor then stays the caller's.
    static AsyncSocket* OpenExternalSocket(int64 nativeHandle, const char* name);
    // Starts reading; fn receives every piece until SocketStopRead or the socket's release.
    // Asserts as SocketWrite does for cleanup and ownership; false when reading cannot start.
    static bool SocketRead(AsyncSocket* socket, ReadFn fn);
    // Writes a copy of the buffer (the caller's memory may go at once). Always returns false: the
    // outcome arrives through fn inside a later Poll, with 0, a libuv error, kWriteTimeoutStatus when
    // timeoutMs > 0 passed first, or kWriteBusyStatus when a timed-out write is still held by the
    // system (a second write never overlaps it). Asserts "!as->m_context->m_inCleanup",
    // "as->m_owner == this", "as->IsConnected()", "!as->m_context->m_writeFn" and
    // "buff.buf && buff.len > 0"; fn is not called then.
    static bool SocketWrite(AsyncSocket* socket, Buffer buffer, int64 timeoutMs, WriteFn fn);
    static void SocketStopRead(AsyncSocket* socket);
    // Gives up one reference and nulls the caller's pointer; null does nothing. The last one
    // shuts the stream down (or closes it when writes are pending) and frees the socket once libuv
    // has closed its handles.
    static void FreeSocket(AsyncSocket*& socket);
    // "ASC@%p[%s,0x%x,fd %u,%s]"; bits: 1 read callable, 2 write callable, 4 write timer armed,
    // 8 write pending in the system, 16 shutdown pending.
    static StaticString256_t Describe(const AsyncSocket* socket);

    // Logs every handle of the loop (Debug header, Info lines).
    static void DumpHandles();

    // Live records and lifetime counts, for diagnostics and tests.
    struct Stats
    {
        uint32 liveSockets = 0;
        uint32 liveTimers = 0;
        uint32 liveResolves = 0;
        uint32 socketsAllocated = 0;
        uint32 socketsFreed = 0;
        uint64 timersAllocated = 0;
        uint64 timersFreed = 0;
        uint32 postedCallables = 0;
        uint32 delayedCallables = 0;
    };
    static Stats GetStats();

    // Console command handlers.
    static void CmdDumpSockets(const CmdArgs& args);
    static void CmdDnsResolve(const CmdArgs& args);
};
} // namespace async

using async::AsyncService;

extern CVar async_ignoreConnResetErr;
extern CVar async_returnEPIPE;
extern CVar async_socketsDebug;
} // namespace Morvex
