#pragma once
// HTTP downloads cached on disk: a URL fetched once is served from the cache folder (the user data
// folder's "cache", described by its "cache.index") for three days. Simultaneous fetches of one URL
// share one request. Started and stopped with the network (Net::Init, Net::Shutdown).
//
// Threads: no locks. Every call, and every completion, runs on the thread that pumps the HTTP
// client (HTTPClient::Update).

#include "Core/CmdSystem.h"
#include "Core/IO/File.h"
#include "Core/StrView.h"
#include "Core/Types.h"
#include "Core/ttl/Promise.h"

#include <memory>

namespace Morvex
{
namespace CachingFileDownloader
{
// A fetched file: open for reading on the cached copy, one File per fetch.
using FilePromise = ttl::Promise<std::shared_ptr<File>>;

// How long an entry is served after its download.
constexpr uint64 kEntryLifetimeMs = 259200000;
constexpr uint32 kNumBuckets = 8192;
// The largest body that is cached; a larger answer fails its fetches with GENERIC.
constexpr uint32 kDefaultMaxFileBytes = 64u * 1024 * 1024;
// A "cache.index" larger than this is taken as damaged and dropped.
constexpr uint32 kMaxIndexBytes = 64u * 1024 * 1024;

// Sets the cache folder to the user data folder's "cache" (nothing is created or read yet). Before
// the platform's post-initialisation there is no user data folder: the downloader then stays off
// and every fetch fails with OPERATION_CANCELLED.
void Init();
// The same with a given cache folder and body limit (tests, tools). Call it while shut down.
void Init(StrView cacheFolder, uint32 maxFileBytes = kDefaultMaxFileBytes);
// Cancels requests in flight (their fetches fail with PROMISE_BROKEN), saves the index when it has
// changed, forgets the cache and the folder. Safe when not started.
void Shutdown();

// Completes with the cached copy, or with an error: OPERATION_CANCELLED when not started; the
// transport's code when no answer came; NETWORK for an answer other than 200; GENERIC for a body
// over the limit or a copy that does not open; CONTENT_UPDATE_WRITE_FILE_FAILED when the copy
// could not be written. A fetch answered from the cache completes inside this call; the others
// inside a later HTTPClient::Update.
FilePromise Fetch(StrView url);

struct Stats
{
    uint32 entries = 0;
    uint32 inFlight = 0;
    bool dirty = false;
    bool loaded = false;
};
Stats GetStats();
// The cached copy's path for a URL with a live entry; empty otherwise.
FilePath GetCachedPath(StrView url);

// Time and random sources (milliseconds since 1970; a C rand()-like number), replaceable for
// tests; null restores GetTimeMs and rand.
using ClockFn = int64 (*)();
using RandomFn = int (*)();
void SetClock(ClockFn clock);
void SetRandom(RandomFn random);

// "CachingFileDownloader.TestFetch <url>".
void CmdTestFetch(const CmdArgs& args);
} // namespace CachingFileDownloader
} // namespace Morvex
