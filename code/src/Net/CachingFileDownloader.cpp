// HTTP downloads cached on disk, described by "cache.index".

#include "Net/CachingFileDownloader.h"

#include "Core/Assert.h"
#include "Core/IO/FileSystem.h"
#include "Core/IO/PlatformFile.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Platform.h"
#include "Core/StaticString.h"
#include "Core/Str.h"
#include "Core/String.h"
#include "Core/Timing/PlatformTime.h"
#include "Net/Async/AsyncService.h"
#include "Net/HTTPClient.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace Morvex
{
namespace
{
using async::CancelableThis;
using CachingFileDownloader::FilePromise;
using Net::HTTPClient;

MX_CONSOLE_COMMAND("CachingFileDownloader.TestFetch",
                   "download file from passed url through CachingFileDownloader",
                   CachingFileDownloader::CmdTestFetch);

constexpr uint32 kInitialCapacity = 8192;
constexpr const char* kIndexName = "cache.index";
// The index is written here first and renamed over "cache.index", so that a save cut short leaves
// the previous index whole.
constexpr const char* kIndexTempName = "cache.index.tmp";
// Draws of a random name before the names next to the last draw are tried in turn.
constexpr uint32 kNameDraws = 64;

CachingFileDownloader::ClockFn g_clock = nullptr;
CachingFileDownloader::RandomFn g_random = nullptr;
uint32 g_nameCounter = 0;

int64 Now()
{
    return g_clock ? g_clock() : GetTimeMs();
}

StrView View(const String& s)
{
    return StrView(s.c_str(), s.length());
}

struct Entry
{
    String url;
    uint64 cachedFileName = 0;
    uint64 validTill = 0;
};

struct InFlight
{
    String url;
    uint32 reqId = 0;
    std::vector<FilePromise> waiters;
};

// The entries with a chained hash index over their URLs.
class Cache
{
public:
    std::vector<Entry> m_entries;
    std::vector<int32> m_buckets;
    std::vector<int32> m_next;
    bool m_dirty = false;

    void Clear()
    {
        m_entries.clear();
        m_next.clear();
        m_buckets.assign(CachingFileDownloader::kNumBuckets, -1);
    }
    void Reserve()
    {
        m_entries.reserve(kInitialCapacity);
        m_next.reserve(kInitialCapacity);
        // Rehash what is there into freshly sized buckets.
        m_buckets.assign(CachingFileDownloader::kNumBuckets, -1);
        for (uint32 i = 0; i < m_entries.size(); ++i)
            Link(static_cast<int32>(i));
    }
    static uint32 Bucket(StrView url)
    {
        return Str::HashFnv1a(url.data(), url.length(), false) & (CachingFileDownloader::kNumBuckets - 1);
    }
    int32 Find(StrView url) const
    {
        if (m_buckets.empty())
            return -1;
        for (int32 i = m_buckets[Bucket(url)]; i != -1; i = m_next[i])
            if (View(m_entries[i].url) == url)
                return i;
        return -1;
    }
    int32 Add(StrView url)
    {
        if (m_buckets.empty())
            m_buckets.assign(CachingFileDownloader::kNumBuckets, -1);
        if (m_entries.size() == m_entries.capacity())
        {
            const size_t capacity = m_entries.empty() ? 2 : m_entries.size() * 4;
            m_entries.reserve(capacity);
            m_next.reserve(capacity);
        }
        Entry entry;
        entry.url = String(url);
        m_entries.push_back(std::move(entry));
        m_next.push_back(-1);
        const int32 index = static_cast<int32>(m_entries.size() - 1);
        Link(index);
        return index;
    }
    // The last entry moves into the slot.
    void RemoveAt(int32 index)
    {
        Unlink(index);
        const int32 last = static_cast<int32>(m_entries.size() - 1);
        if (index != last)
        {
            Unlink(last);
            m_entries[index] = std::move(m_entries[last]);
            Link(index);
        }
        m_entries.pop_back();
        m_next.pop_back();
    }
    bool NameTaken(uint64 name) const
    {
        for (const Entry& e : m_entries)
            if (e.cachedFileName == name)
                return true;
        return false;
    }

    void Load(const FilePath& folder);
    bool Save(const FilePath& folder);

private:
    void Link(int32 index)
    {
        const uint32 b = Bucket(View(m_entries[index].url));
        m_next[index] = m_buckets[b];
        m_buckets[b] = index;
    }
    void Unlink(int32 index)
    {
        int32* link = &m_buckets[Bucket(View(m_entries[index].url))];
        while (*link != -1)
        {
            if (*link == index)
            {
                *link = m_next[index];
                m_next[index] = -1;
                return;
            }
            link = &m_next[*link];
        }
    }
};

struct Downloader
{
    CancelableThis m_cancelable;
    FilePath m_cacheFolder;
    Cache m_cache;
    std::vector<InFlight> m_inFlight;
    uint32 m_maxFileBytes = CachingFileDownloader::kDefaultMaxFileBytes;
};

Downloader& D()
{
    static Downloader downloader;
    return downloader;
}

uint32 ReadBE32(const uint8* p)
{
    return (uint32(p[0]) << 24) | (uint32(p[1]) << 16) | (uint32(p[2]) << 8) | uint32(p[3]);
}
uint64 ReadBE64(const uint8* p)
{
    return (uint64(ReadBE32(p)) << 32) | ReadBE32(p + 4);
}
void AppendBE32(std::string& out, uint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((v >> shift) & 0xFF));
}
void AppendBE64(std::string& out, uint64 v)
{
    AppendBE32(out, static_cast<uint32>(v >> 32));
    AppendBE32(out, static_cast<uint32>(v));
}

FilePath JoinName(const FilePath& folder, const char* name)
{
    FilePath path = folder;
    if (!path.TryAppendPath(StrView(name)))
        return FilePath();
    return path;
}
FilePath CachedPath(const FilePath& folder, uint64 cachedFileName)
{
    StaticString32_t name;
    name.Format("%llu", static_cast<unsigned long long>(cachedFileName));
    return JoinName(folder, name.c_str());
}

void Cache::Load(const FilePath& folder)
{
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    Clear();
    const FilePath path = JoinName(folder, kIndexName);
    const FileInfo info = Platform_GetFileInfo(path);
    char* data = nullptr;
    uint32 size = 0;
    if (info.exists && info.size > CachingFileDownloader::kMaxIndexBytes)
    {
        MX_LOG_NET(
            "CachingFileDownloader: Cache::Load(): '%s' has %llu bytes, more than an index can; dropping "
            "cache as invalid",
            path.c_str(), static_cast<unsigned long long>(info.size));
        m_dirty = true;
    }
    else if (info.exists && !FileSystem::ReadFile(path, data, &size))
        MX_LOG_NET("CachingFileDownloader: Cache::Load(): '%s' cannot be read", path.c_str());

    if (data != nullptr)
    {
        const uint8* bytes = reinterpret_cast<const uint8*>(data);
        uint32 pos = 0;
        if (size < 4)
        {
            MX_LOG_NET(
                "CachingFileDownloader: Cache::Load(): index of %u bytes has no count; dropping cache as "
                "invalid",
                size);
            m_dirty = true;
        }
        else
        {
            // The count is not trusted for a reservation: a damaged one may be anything.
            uint32 remaining = ReadBE32(bytes);
            pos = 4;
            while (remaining > 0 && pos < size)
            {
                const uint8* nul = static_cast<const uint8*>(std::memchr(bytes + pos, 0, size - pos));
                if (nul == nullptr)
                    break;
                const uint32 urlLength = static_cast<uint32>(nul - (bytes + pos));
                if (size - pos - urlLength - 1 < 16)
                    break;
                const StrView url(data + pos, urlLength);
                pos += urlLength + 1;
                const uint64 name = ReadBE64(bytes + pos);
                const uint64 validTill = ReadBE64(bytes + pos + 8);
                pos += 16;
                int32 index = Find(url);
                if (index < 0)
                    index = Add(url);
                m_entries[index].cachedFileName = name;
                m_entries[index].validTill = validTill;
                --remaining;
            }
            if (remaining > 0)
            {
                MX_LOG_NET(
                    "CachingFileDownloader: Cache::Load(): size == %u but stream.IsEndOfStream()! dropping "
                    "cache as invalid",
                    remaining);
                Clear();
                m_dirty = true;
            }
            else if (pos != size)
            {
                MX_LOG_NET(
                    "CachingFileDownloader: Cache::Load(): %u bytes after the last entry; dropping cache as "
                    "invalid",
                    size - pos);
                Clear();
                m_dirty = true;
            }
        }
    }

    const uint64 now = static_cast<uint64>(Now());
    uint32 dropped = 0;
    for (int32 i = static_cast<int32>(m_entries.size()) - 1; i >= 0; --i)
    {
        if (m_entries[i].validTill < now)
        {
            RemoveAt(i);
            ++dropped;
        }
    }
    if (dropped != 0)
        m_dirty = true;
    MX_LOG_NET("CachingFileDownloader: Cache::Load() complete, %u in cache (dropped %u stale entries)",
               static_cast<uint32>(m_entries.size()), dropped);
    FileSystem::FreeFileData(data);
}

bool Cache::Save(const FilePath& folder)
{
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    std::string image;
    AppendBE32(image, static_cast<uint32>(m_entries.size()));
    for (const Entry& e : m_entries)
    {
        image.append(e.url.c_str(), e.url.length());
        image.push_back('\0');
        AppendBE64(image, e.cachedFileName);
        AppendBE64(image, e.validTill);
    }
    const FilePath temp = JoinName(folder, kIndexTempName);
    const FilePath path = JoinName(folder, kIndexName);
    bool saved = false;
    if (!temp.empty() && !path.empty())
    {
        File file;
        if (FileSystem::Open(file, temp, EFileOpenMode::kWrite))
        {
            const bool written = file.Write(image.data(), static_cast<uint32>(image.size())) == image.size();
            saved = file.Close() && written && Platform_RenameFile(temp, path);
        }
    }
    if (!saved)
    {
        // Still dirty: the next save tries again, and the index on disk is the previous one, whole.
        MX_LOG_NET("CachingFileDownloader: Cache::Save(): '%s' could not be written", path.c_str());
        Platform_DeleteFile(temp);
        return false;
    }
    m_dirty = false;
    return true;
}

void LazyInit()
{
    Downloader& d = D();
    if (d.m_cancelable.GetCtx() != nullptr)
        return;
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    MX_LOG_NET("CachingFileDownloader: LazyInit");
    Platform_CreateDirectory(d.m_cacheFolder);
    d.m_cache.Reserve();
    d.m_cache.Load(d.m_cacheFolder);
    d.m_cancelable.Create(&d);
}

uint64 NewCachedFileName(const Cache& cache, uint64 validTill)
{
    uint64 name = 0;
    for (uint32 draw = 0; draw < kNameDraws; ++draw)
    {
        const int r = g_random ? g_random() : std::rand();
        const uint32 c = g_nameCounter++;
        name = ((static_cast<uint64>(static_cast<uint32>(r) % 32767u) & 0xFFF0u) ^ validTill) + (c & 15u);
        if (!cache.NameTaken(name))
            return name;
    }
    // Another entry's file must never be overwritten: walk on from the last draw to a free name.
    while (cache.NameTaken(name))
        ++name;
    return name;
}

int32 AddEntry(StrView url)
{
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    Downloader& d = D();
    const String text(url);
    MX_LOG_NET("CachingFileDownloader: AddEntry('%s')", text.c_str());
    int32 index = d.m_cache.Find(url);
    if (index >= 0)
        MX_LOG_NET("CachingFileDownloader: reusing entry");
    else
        index = d.m_cache.Add(url);
    Entry& entry = d.m_cache.m_entries[index];
    entry.validTill = static_cast<uint64>(Now()) + CachingFileDownloader::kEntryLifetimeMs;
    // Drawn while the entry still holds its old name, so that the new copy never overwrites the old
    // one under a reader that has it open.
    entry.cachedFileName = NewCachedFileName(d.m_cache, entry.validTill);
    d.m_cache.m_dirty = true;
    return index;
}

void RemoveEntry(StrView url)
{
    Downloader& d = D();
    const String text(url);
    MX_LOG_NET("CachingFileDownloader: RemoveEntry('%s')", text.c_str());
    const int32 index = d.m_cache.Find(url);
    if (index >= 0)
    {
        d.m_cache.RemoveAt(index);
        d.m_cache.m_dirty = true;
    }
}

FilePromise Settled(ErrorCode error, std::shared_ptr<File> file = nullptr)
{
    FilePromise promise = FilePromise::Create();
    if (error == ErrorCode::OK)
        promise.Resolve(std::move(file));
    else
        promise.Reject(error);
    return promise;
}

void HandleHTTPResponse(const HTTPClient::Response& response)
{
    Downloader& d = D();
    size_t slot = 0;
    while (slot < d.m_inFlight.size() && d.m_inFlight[slot].reqId != response.reqId)
        ++slot;
    if (slot == d.m_inFlight.size())
        return;
    MX_LOG_NET("CachingFileDownloader: HandleHTTPResponse for '%s' (idx: %u)", d.m_inFlight[slot].url.c_str(),
               static_cast<uint32>(slot));
    InFlight record = std::move(d.m_inFlight[slot]);
    if (slot != d.m_inFlight.size() - 1)
        d.m_inFlight[slot] = std::move(d.m_inFlight.back());
    d.m_inFlight.pop_back();
    const StrView url = View(record.url);

    // The outcome of every waiter is settled last, after the cache is consistent again: a
    // continuation may fetch again or shut the downloader down.
    std::vector<std::shared_ptr<File>> files;
    ErrorCode failure = ErrorCode::OK;
    if (response.errorCode != ErrorCode::OK)
    {
        MX_LOG_NET("CachingFileDownloader: HandleHTTPResponse: no answer for '%s' (%s)", record.url.c_str(),
                   ErrorCodeName(response.errorCode));
        failure = response.errorCode;
    }
    else if (response.httpCode != 200)
        failure = ErrorCode::NETWORK;
    else if (response.bodyTruncated)
    {
        MX_LOG_NET(
            "CachingFileDownloader: HandleHTTPResponse: '%s' is larger than the cache limit of %u bytes",
            record.url.c_str(), d.m_maxFileBytes);
        failure = ErrorCode::GENERIC;
    }
    else
    {
        const int32 index = AddEntry(url);
        const FilePath path = CachedPath(d.m_cacheFolder, d.m_cache.m_entries[index].cachedFileName);
        File out;
        bool written = false;
        if (!path.empty() && FileSystem::Open(out, path, EFileOpenMode::kWrite))
        {
            const uint32 size = static_cast<uint32>(response.body.size());
            written = out.Write(response.body.data(), size) == size;
            written = out.Close() && written;
        }
        if (!written)
        {
            MX_LOG_NET("CachingFileDownloader: HandleHTTPResponse: '%s' could not be written", path.c_str());
            // The name was fresh, so what is there is this download's remainder and nobody's entry.
            if (!path.empty())
                Platform_DeleteFile(path);
            failure = ErrorCode::CONTENT_UPDATE_WRITE_FILE_FAILED;
        }
        else
        {
            MX_LOG_NET("CachingFileDownloader: HandleHTTPResponse returns contents of '%s'", path.c_str());
            for (size_t i = 0; i < record.waiters.size(); ++i)
            {
                auto file = std::make_shared<File>();
                if (!FileSystem::Open(*file, path, EFileOpenMode::kRead))
                {
                    failure = ErrorCode::GENERIC;
                    break;
                }
                files.push_back(std::move(file));
            }
        }
    }
    if (failure != ErrorCode::OK)
    {
        MX_LOG_NET("CachingFileDownloader: HandleHTTPResponse fails");
        RemoveEntry(url);
    }
    if (d.m_cache.m_dirty && d.m_inFlight.empty())
        d.m_cache.Save(d.m_cacheFolder);

    for (size_t i = 0; i < record.waiters.size(); ++i)
    {
        if (record.waiters[i].IsSettled())
            continue;
        if (i < files.size())
            record.waiters[i].Resolve(std::move(files[i]));
        else
            record.waiters[i].Reject(failure);
    }
}
} // namespace

void CachingFileDownloader::Init()
{
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    if (!Platform_IsPostInited())
    {
        MX_LOG_NET("CachingFileDownloader: Init: no user data folder; fetches are refused");
        return;
    }
    FilePath folder = Platform_GetUserDataFolder();
    if (!folder.TryAppendPath("cache"))
        return;
    Init(folder);
}

void CachingFileDownloader::Init(StrView cacheFolder, uint32 maxFileBytes)
{
    Downloader& d = D();
    MX_ASSERT(d.m_cancelable.GetCtx() == nullptr);
    d.m_cacheFolder = FilePath::Normalized(cacheFolder);
    d.m_maxFileBytes = maxFileBytes != 0 ? maxFileBytes : kDefaultMaxFileBytes;
}

void CachingFileDownloader::Shutdown()
{
    Downloader& d = D();
    MX_LOG_NET("CachingFileDownloader: Shutdown. %u in cache (dirty=%u), %u inflight",
               static_cast<uint32>(d.m_cache.m_entries.size()), d.m_cache.m_dirty ? 1u : 0u,
               static_cast<uint32>(d.m_inFlight.size()));
    std::vector<InFlight> inFlight;
    if (d.m_cancelable.GetCtx() != nullptr)
    {
        for (const InFlight& record : d.m_inFlight)
            HTTPClient::CancelRequest(record.reqId);
        inFlight.swap(d.m_inFlight);
        if (d.m_cache.m_dirty)
            d.m_cache.Save(d.m_cacheFolder);
        d.m_cancelable.Cancel(ErrorCode::OPERATION_CANCELLED);
        d.m_cache.Clear();
        d.m_cache.m_dirty = false;
    }
    d.m_cacheFolder.Clear();
    // Last, so that a continuation that fetches again finds the downloader stopped.
    for (InFlight& record : inFlight)
        for (FilePromise& waiter : record.waiters)
            if (!waiter.IsSettled())
                waiter.Reject(ErrorCode::PROMISE_BROKEN);
}

FilePromise CachingFileDownloader::Fetch(StrView url)
{
    MX_MEMORY_TAG_SCOPE("Net/CachingFileDownloader");
    Downloader& d = D();
    if (d.m_cacheFolder.empty())
        return Settled(ErrorCode::OPERATION_CANCELLED);
    LazyInit();
    const String text(url);
    MX_LOG_NET("CachingFileDownloader: Fetch('%s')", text.c_str());

    for (InFlight& record : d.m_inFlight)
    {
        if (View(record.url) == url)
        {
            FilePromise waiter = FilePromise::Create();
            record.waiters.push_back(waiter);
            return waiter;
        }
    }

    const int32 index = d.m_cache.Find(url);
    if (index >= 0)
    {
        const Entry& entry = d.m_cache.m_entries[index];
        if (entry.validTill >= static_cast<uint64>(Now()))
        {
            const FilePath path = CachedPath(d.m_cacheFolder, entry.cachedFileName);
            auto file = std::make_shared<File>();
            if (!path.empty() && FileSystem::Open(*file, path, EFileOpenMode::kRead))
            {
                MX_LOG_NET("CachingFileDownloader: used cache file '%s'", path.c_str());
                return Settled(ErrorCode::OK, std::move(file));
            }
        }
        RemoveEntry(url);
    }

    FilePromise waiter = FilePromise::Create();
    InFlight record;
    record.url = text;
    record.waiters.push_back(waiter);
    d.m_inFlight.push_back(std::move(record));
    const uint32 slot = static_cast<uint32>(d.m_inFlight.size() - 1);
    MX_LOG_NET("CachingFileDownloader: new request for '%s' (idx: %u)", text.c_str(), slot);

    HTTPClient::RequestParams params;
    params.verb = HTTPClient::Verb::Auto;
    params.failOnError = false;
    params.collectHeaders = true;
    params.maxBodyBytes = d.m_maxFileBytes;
    uint32 id = 0;
    HTTPClient::ResponsePromise request = HTTPClient::Request(text.c_str(), params, &id);
    // Nothing has run yet that could move the record: a request that completes inside Request
    // settles a promise that has no continuation so far.
    d.m_inFlight[slot].reqId = id;
    request.SetCallback(d.m_cancelable.Bind(
        [](const ttl::Result<HTTPClient::Response>& result)
        {
            if (result.IsOk())
                HandleHTTPResponse(result.GetValue());
        }));
    return waiter;
}

CachingFileDownloader::Stats CachingFileDownloader::GetStats()
{
    Downloader& d = D();
    Stats stats;
    stats.entries = static_cast<uint32>(d.m_cache.m_entries.size());
    stats.inFlight = static_cast<uint32>(d.m_inFlight.size());
    stats.dirty = d.m_cache.m_dirty;
    stats.loaded = d.m_cancelable.GetCtx() != nullptr;
    return stats;
}

FilePath CachingFileDownloader::GetCachedPath(StrView url)
{
    Downloader& d = D();
    const int32 index = d.m_cache.Find(url);
    return index >= 0 ? CachedPath(d.m_cacheFolder, d.m_cache.m_entries[index].cachedFileName) : FilePath();
}

void CachingFileDownloader::SetClock(ClockFn clock)
{
    g_clock = clock;
}

void CachingFileDownloader::SetRandom(RandomFn random)
{
    g_random = random;
}

void CachingFileDownloader::CmdTestFetch(const CmdArgs& args)
{
    if (args.Count() < 2)
    {
        MX_LOG_DEBUG("CachingFileDownloader.TestFetch <url>");
        return;
    }
    Fetch(StrView(args[1]))
        .SetCallback(
            [](const ttl::Result<std::shared_ptr<File>>& result)
            {
                if (!result.IsOk() || !result.GetValue())
                {
                    MX_LOG_ERROR("CachingFileDownloader.TestFetch: %s", ErrorCodeName(result.GetError()));
                    return;
                }
                File& file = *result.GetValue();
                StaticString<32> size;
                Str::FormatMetric(size, file.GetSize(), true);
                const StrView name = file.GetName();
                MX_LOG_INFO("CachingFileDownloader.TestFetch: downloaded %s, cached at '%.*s'", size.c_str(),
                            static_cast<int>(name.length()), name.data());
            });
}
} // namespace Morvex
