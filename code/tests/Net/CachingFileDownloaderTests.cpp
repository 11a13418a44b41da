// The caching downloader against a real server on 127.0.0.1, with its cache in a temporary folder.

#include "Net/CachingFileDownloader.h"

#include "Core/CmdSystem.h"
#include "Net/Async/AsyncService.h"
#include "Net/HTTPClient.h"
#include "Net/Network.h"

#include "NetTestServer.h"
#include "RawServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace Morvex::Test
{
using Net::HTTPClient;
namespace fs = std::filesystem;
namespace CFD = CachingFileDownloader;

namespace
{
constexpr int64 kStart = 1700000000000LL;
int64 g_now = kStart;
int64 TestClock()
{
    return g_now;
}
int ZeroRandom()
{
    return 0;
}

template <class Pred>
bool PumpUntil(Pred pred)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!pred())
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        HTTPClient::Update();
        AsyncService::Poll(0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// "cache.index" as the format describes it, written here independently of the downloader.
struct IndexEntry
{
    std::string url;
    uint64 name;
    uint64 validTill;
};
void BE(std::string& out, uint64 v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::string EncodeIndex(const std::vector<IndexEntry>& entries, uint32 count)
{
    std::string out;
    BE(out, count, 4);
    for (const IndexEntry& e : entries)
    {
        out += e.url;
        out.push_back('\0');
        BE(out, e.name, 8);
        BE(out, e.validTill, 8);
    }
    return out;
}
std::string EncodeIndex(const std::vector<IndexEntry>& entries)
{
    return EncodeIndex(entries, static_cast<uint32>(entries.size()));
}

std::string ReadWhole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Content(const CFD::FilePromise& p)
{
    const auto* result = p.GetResult();
    if (result == nullptr || !result->IsOk())
        return "<failed>";
    File& file = *result->GetValue();
    std::string out(static_cast<size_t>(file.GetSize()), '\0');
    file.SeekRead(out.data(), 0, static_cast<uint32>(out.size()));
    return out;
}

class CachingFileDownloaderTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(Net::Init());
        s_server = new NetTestServer();
        auto& srv = s_server->server();
        srv.Get("/file",
                [](const httplib::Request&, httplib::Response& res)
                {
                    ++s_hits;
                    res.set_content("cached body " + std::to_string(s_hits.load()), "text/plain");
                });
        srv.Get("/n/(\\d+)",
                [](const httplib::Request& req, httplib::Response& res)
                {
                    ++s_hits;
                    res.set_content("body of " + std::string(req.matches[1]), "text/plain");
                });
        srv.Get("/status/(\\d+)",
                [](const httplib::Request& req, httplib::Response& res)
                {
                    ++s_hits;
                    res.status = std::stoi(req.matches[1]);
                    res.set_content("status body", "text/plain");
                });
        srv.Get("/big",
                [](const httplib::Request&, httplib::Response& res)
                {
                    ++s_hits;
                    res.set_content(std::string(4096, 'b'), "application/octet-stream");
                });
        ASSERT_GT(s_server->Start(), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
        Net::Shutdown();
    }
    void SetUp() override
    {
        g_now = kStart;
        CFD::SetClock(TestClock);
        CFD::SetRandom(nullptr);
        CFD::Shutdown();
        CFD::Init(StrView(CacheDir().c_str()), 1024 * 1024);
        s_hits = 0;
    }
    void TearDown() override
    {
        CFD::Shutdown();
        CFD::SetClock(nullptr);
        CFD::SetRandom(nullptr);
    }

    std::string CacheDir() const { return m_dir.Join("cache"); }
    fs::path IndexPath() const { return fs::path(CacheDir()) / "cache.index"; }
    std::string Url(const std::string& path) const { return s_server->Url(path); }

    CFD::FilePromise Fetch(const std::string& url) { return CFD::Fetch(StrView(url.c_str())); }
    // Fetches and waits for the outcome.
    CFD::FilePromise FetchNow(const std::string& url)
    {
        CFD::FilePromise p = Fetch(url);
        EXPECT_TRUE(PumpUntil([&] { return p.IsSettled(); })) << url;
        return p;
    }
    static ErrorCode Error(const CFD::FilePromise& p)
    {
        return p.GetResult() ? p.GetResult()->GetError() : ErrorCode::INVALID_ERROR_CODE;
    }

    TempDir m_dir;
    static NetTestServer* s_server;
    static std::atomic<int> s_hits;
};
NetTestServer* CachingFileDownloaderTest::s_server = nullptr;
std::atomic<int> CachingFileDownloaderTest::s_hits{0};
} // namespace

// The console command fetches once, writes the copy and an index in the stated format, serves the
// next fetch from disk without a request, and downloads again after three days.
TEST_F(CachingFileDownloaderTest, TestFetchCachesServesFromDiskAndRefetchesAfterExpiry)
{
    CFD::SetRandom([] { return 12345; });
    const std::string url = Url("/file");
    CapturingSink sink;
    CmdSystem::AddText(("CachingFileDownloader.TestFetch \"" + url + "\"\n").c_str());
    CmdSystem::Execute();
    ASSERT_TRUE(PumpUntil([&] { return sink.Contains("CachingFileDownloader.TestFetch: downloaded"); }));
    EXPECT_EQ(s_hits.load(), 1);

    const std::string cached = CFD::GetCachedPath(StrView(url.c_str())).c_str();
    ASSERT_FALSE(cached.empty());
    EXPECT_EQ(ReadWhole(cached), "cached body 1");
    EXPECT_TRUE(sink.Contains(Log::Info,
                              "CachingFileDownloader.TestFetch: downloaded 13b, cached at '" + cached + "'"))
        << "size as the metric formatter writes it";

    // The index holds exactly this entry; its name follows the drawn number and the expiry.
    const uint64 validTill = kStart + CFD::kEntryLifetimeMs;
    const uint64 name = std::stoull(fs::path(cached).filename().string());
    const uint64 base = (static_cast<uint64>(12345 % 32767) & 0xFFF0) ^ validTill;
    EXPECT_GE(name, base);
    EXPECT_LE(name, base + 15);
    EXPECT_EQ(ReadWhole(IndexPath()), EncodeIndex({{url, name, validTill}}));
    EXPECT_FALSE(fs::exists(fs::path(CacheDir()) / "cache.index.tmp"));

    // Within three days: from disk, at once, without a request.
    g_now = kStart + CFD::kEntryLifetimeMs;
    sink.Clear();
    CmdSystem::AddText(("CachingFileDownloader.TestFetch \"" + url + "\"\n").c_str());
    CmdSystem::Execute();
    EXPECT_TRUE(sink.Contains("CachingFileDownloader: used cache file '" + cached + "'"));
    EXPECT_TRUE(sink.Contains(Log::Info, "CachingFileDownloader.TestFetch: downloaded 13b"));
    EXPECT_EQ(s_hits.load(), 1);

    // Past validTill: downloaded again, with a new name and expiry.
    g_now = kStart + CFD::kEntryLifetimeMs + 1;
    CFD::FilePromise again = FetchNow(url);
    EXPECT_EQ(Content(again), "cached body 2");
    EXPECT_EQ(s_hits.load(), 2);
    const std::string recached = CFD::GetCachedPath(StrView(url.c_str())).c_str();
    EXPECT_NE(recached, cached);
    const uint64 newName = std::stoull(fs::path(recached).filename().string());
    EXPECT_EQ(ReadWhole(IndexPath()), EncodeIndex({{url, newName, uint64(g_now) + CFD::kEntryLifetimeMs}}));

    sink.Clear();
    CmdSystem::AddText("CachingFileDownloader.TestFetch\n");
    CmdSystem::Execute();
    EXPECT_TRUE(sink.Contains(Log::Debug, "CachingFileDownloader.TestFetch <url>"));
}

TEST_F(CachingFileDownloaderTest, SimultaneousFetchesShareOneRequestAndGetTheirOwnFiles)
{
    const std::string url = Url("/file");
    CFD::FilePromise a = Fetch(url);
    CFD::FilePromise b = Fetch(url);
    EXPECT_EQ(CFD::GetStats().inFlight, 1u);
    ASSERT_TRUE(PumpUntil([&] { return a.IsSettled() && b.IsSettled(); }));
    EXPECT_EQ(s_hits.load(), 1);
    ASSERT_TRUE(a.GetResult()->IsOk());
    ASSERT_TRUE(b.GetResult()->IsOk());
    EXPECT_NE(a.GetResult()->GetValue().get(), b.GetResult()->GetValue().get());
    EXPECT_NE(a.GetResult()->GetValue()->GetRawFile(), b.GetResult()->GetValue()->GetRawFile());
    EXPECT_EQ(Content(a), "cached body 1");
    EXPECT_EQ(Content(b), "cached body 1");
}

// Every way a download can fail completes all its waiters and leaves neither a record nor an entry,
// so that the next fetch of that URL asks again instead of joining a dead request.
TEST_F(CachingFileDownloaderTest, FailedDownloadsCompleteTheirWaitersAndAreAskedAgain)
{
    RawServer garbage(RawServer::Mode::GarbageAnswer);
    RawServer hangUp(RawServer::Mode::CloseMidUpload);
    struct Case
    {
        std::string url;
        ErrorCode error;
        bool reachesServer;
    };
    const Case cases[] = {
        {Url("/status/404"), ErrorCode::NETWORK, true},
        {Url("/status/500"), ErrorCode::NETWORK, true},
        {Url("/status/204"), ErrorCode::NETWORK, true},
        {Url("/big"), ErrorCode::GENERIC, true},
        {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/file", ErrorCode::SERVER_UNAVAILABLE, false},
        {garbage.Url("/file"), ErrorCode::NETWORK, false},
        {hangUp.Url("/file"), ErrorCode::NETWORK, false},
    };
    CFD::Shutdown();
    CFD::Init(StrView(CacheDir().c_str()), 1024); // "/big" answers 4096 bytes
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.url);
        CapturingSink sink;
        const int hits = s_hits.load();
        CFD::FilePromise a = Fetch(c.url);
        CFD::FilePromise b = Fetch(c.url);
        ASSERT_TRUE(PumpUntil([&] { return a.IsSettled() && b.IsSettled(); }));
        EXPECT_EQ(Error(a), c.error);
        EXPECT_EQ(Error(b), c.error);
        EXPECT_TRUE(sink.Contains(Log::NetLog, "CachingFileDownloader: HandleHTTPResponse fails"));
        EXPECT_EQ(CFD::GetStats().inFlight, 0u);
        EXPECT_TRUE(CFD::GetCachedPath(StrView(c.url.c_str())).empty());
        if (c.reachesServer)
        {
            EXPECT_EQ(s_hits.load(), hits + 1);
        }

        CFD::FilePromise later = FetchNow(c.url);
        EXPECT_EQ(Error(later), c.error);
        if (c.reachesServer)
        {
            EXPECT_EQ(s_hits.load(), hits + 2) << "a new request, not the dead one";
        }
    }
    // Nothing failed was cached, so nothing was written.
    CFD::Shutdown();
    EXPECT_FALSE(fs::exists(IndexPath()));
}

// Names drawn from a constant random number repeat every 16 draws: every URL must still get a file
// of its own, never another entry's.
TEST_F(CachingFileDownloaderTest, CollidingNamesNeverOverwriteAnotherEntry)
{
    CFD::SetRandom(ZeroRandom);
    std::map<std::string, std::string> files;
    for (int i = 0; i < 40; ++i)
    {
        const std::string url = Url("/n/" + std::to_string(i));
        EXPECT_EQ(Content(FetchNow(url)), "body of " + std::to_string(i));
        files[CFD::GetCachedPath(StrView(url.c_str())).c_str()] = url;
    }
    EXPECT_EQ(files.size(), 40u);
    const int hits = s_hits.load();
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(Content(Fetch(Url("/n/" + std::to_string(i)))), "body of " + std::to_string(i));
    EXPECT_EQ(s_hits.load(), hits) << "all from the cache";
}

TEST_F(CachingFileDownloaderTest, VanishedCacheFileIsDownloadedAgain)
{
    const std::string url = Url("/file");
    EXPECT_EQ(Content(FetchNow(url)), "cached body 1");
    const std::string cached = CFD::GetCachedPath(StrView(url.c_str())).c_str();
    ASSERT_TRUE(fs::remove(cached));
    CapturingSink sink;
    EXPECT_EQ(Content(FetchNow(url)), "cached body 2");
    EXPECT_TRUE(sink.Contains("CachingFileDownloader: RemoveEntry('" + url + "')"));
    EXPECT_EQ(s_hits.load(), 2);
}

TEST_F(CachingFileDownloaderTest, ShutdownBreaksWaitersAndLaterFetchesAreCancelled)
{
    CFD::FilePromise a = Fetch(Url("/file"));
    CFD::FilePromise b = Fetch(Url("/file"));
    CapturingSink sink;
    CFD::Shutdown();
    EXPECT_TRUE(sink.Contains("CachingFileDownloader: Shutdown. 0 in cache (dirty=0), 1 inflight"));
    EXPECT_EQ(Error(a), ErrorCode::PROMISE_BROKEN);
    EXPECT_EQ(Error(b), ErrorCode::PROMISE_BROKEN);
    CFD::FilePromise after = Fetch(Url("/file"));
    EXPECT_EQ(Error(after), ErrorCode::OPERATION_CANCELLED) << "settled inside the call";
    // The cancelled request never completes into the stopped downloader.
    for (int i = 0; i < 50; ++i)
        HTTPClient::Update();
    EXPECT_FALSE(HTTPClient::IsActive());
}

// A damaged index is dropped with a clear line and rebuilt; a sound one keeps its live entries.
TEST_F(CachingFileDownloaderTest, IndexLoading)
{
    const uint64 live = kStart + 1000;
    const uint64 stale = kStart - 1;
    const std::string u1 = Url("/n/1"), u2 = Url("/n/2"), u3 = Url("/n/3");
    const std::string good = EncodeIndex({{u1, 11, live}, {u2, 22, live}});
    std::string littleEndianCount = good;
    littleEndianCount.replace(0, 4, std::string("\x02\x00\x00\x00", 4));
    struct Case
    {
        const char* name;
        std::string index;
        uint32 loaded;       // entries after the load
        bool rewritten;      // the index on disk is written anew
        const char* logged;  // a line of the load
        std::string fetched; // served from the cache when `fromCache`
        bool fromCache;
    };
    const Case cases[] = {
        {"sound", good, 2, false, "Cache::Load() complete, 2 in cache (dropped 0 stale entries)", u2, true},
        {"count 3, two entries", EncodeIndex({{u1, 11, live}, {u2, 22, live}}, 3), 0, true,
         "Cache::Load(): size == 1 but stream.IsEndOfStream()! dropping cache as invalid", u1, false},
        {"cut inside a URL", good.substr(0, good.size() - 20), 0, true, "dropping cache as invalid", u1,
         false},
        {"cut inside the numbers", good.substr(0, good.size() - 3), 0, true,
         "Cache::Load(): size == 1 but stream.IsEndOfStream()! dropping cache as invalid", u1, false},
        {"foreign byte order", littleEndianCount, 0, true, "dropping cache as invalid", u1, false},
        {"no count", std::string("\x00\x00", 2), 0, true, "has no count; dropping cache as invalid", u1,
         false},
        {"bytes after the entries", good + "junk", 0, true,
         "4 bytes after the last entry; dropping cache as invalid", u1, false},
        {"stale in the middle", EncodeIndex({{u1, 11, live}, {u2, 22, stale}, {u3, 33, live}}), 2, true,
         "Cache::Load() complete, 2 in cache (dropped 1 stale entries)", u3, true},
        {"same URL twice", EncodeIndex({{u1, 11, stale}, {u1, 33, live}}), 1, false,
         "Cache::Load() complete, 1 in cache (dropped 0 stale entries)", u1, true},
        {"empty", EncodeIndex({}), 0, true, "Cache::Load() complete, 0 in cache (dropped 0 stale entries)",
         u1, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFD::Shutdown();
        fs::remove_all(CacheDir());
        fs::create_directories(CacheDir());
        {
            std::ofstream(IndexPath(), std::ios::binary) << c.index;
            for (const char* n : {"11", "22", "33"})
                std::ofstream(fs::path(CacheDir()) / n) << "from disk " << n;
        }
        CFD::Init(StrView(CacheDir().c_str()), 1024 * 1024);
        CapturingSink sink;
        const int hits = s_hits.load();
        CFD::FilePromise p = Fetch(c.fetched);
        EXPECT_TRUE(sink.Contains(Log::NetLog, c.logged));
        EXPECT_EQ(p.IsSettled(), c.fromCache);
        ASSERT_TRUE(PumpUntil([&] { return p.IsSettled(); }));
        if (c.fromCache)
        {
            EXPECT_EQ(s_hits.load(), hits);
            EXPECT_EQ(Content(p).substr(0, 10), "from disk ");
            EXPECT_EQ(CFD::GetStats().entries, c.loaded);
        }
        else
        {
            EXPECT_EQ(s_hits.load(), hits + 1);
            EXPECT_EQ(Content(p), "body of " + c.fetched.substr(c.fetched.size() - 1));
            EXPECT_EQ(CFD::GetStats().entries, c.loaded + 1);
        }
        // Whatever was read, the index on disk is sound again after the shutdown.
        CFD::Shutdown();
        const std::string rebuilt = ReadWhole(IndexPath());
        if (!c.rewritten)
        {
            EXPECT_EQ(rebuilt, c.index);
            continue;
        }
        ASSERT_GE(rebuilt.size(), 4u);
        const uint32 count = (uint8(rebuilt[0]) << 24) | (uint8(rebuilt[1]) << 16) |
                             (uint8(rebuilt[2]) << 8) | uint8(rebuilt[3]);
        EXPECT_EQ(count, c.fromCache ? c.loaded : c.loaded + 1);
    }
}

TEST_F(CachingFileDownloaderTest, OversizedIndexIsDropped)
{
    fs::create_directories(CacheDir());
    {
        std::ofstream(IndexPath(), std::ios::binary) << EncodeIndex({});
    }
    fs::resize_file(IndexPath(), uint64(CFD::kMaxIndexBytes) + 1);
    CapturingSink sink;
    EXPECT_EQ(Content(FetchNow(Url("/file"))), "cached body 1");
    EXPECT_TRUE(sink.Contains(Log::NetLog, "dropping cache as invalid"));
    EXPECT_EQ(ReadWhole(IndexPath()).size(), 4u + Url("/file").size() + 1 + 16) << "rebuilt at once";
}

// A copy that cannot be written fails its waiters and leaves nothing behind; an index that cannot
// be written stays dirty, and the one on disk stays the previous one, whole.
TEST_F(CachingFileDownloaderTest, WriteFailuresKeepTheCacheConsistent)
{
    const std::string first = Url("/n/1");
    EXPECT_EQ(Content(FetchNow(first)), "body of 1");
    const std::string indexBefore = ReadWhole(IndexPath());
    ASSERT_FALSE(indexBefore.empty());
    {
        ScopedFileSizeLimit limit(60);
        if (!limit.Active())
            GTEST_SKIP() << "no file size limit";
        // 4096 bytes do not fit: the copy fails.
        CFD::FilePromise big = FetchNow(Url("/big"));
        EXPECT_EQ(Error(big), ErrorCode::CONTENT_UPDATE_WRITE_FILE_FAILED);
        EXPECT_TRUE(CFD::GetCachedPath(StrView(Url("/big").c_str())).empty());

        // A 9-byte copy fits, the 2-entry index (over 60 bytes) does not.
        const std::string second = Url("/n/2");
        EXPECT_EQ(Content(FetchNow(second)), "body of 2");
        EXPECT_TRUE(CFD::GetStats().dirty);
        EXPECT_EQ(ReadWhole(IndexPath()), indexBefore);
        EXPECT_FALSE(fs::exists(fs::path(CacheDir()) / "cache.index.tmp"));
    }
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(CacheDir()))
        files += e.path().filename() != "cache.index" ? 1 : 0;
    EXPECT_EQ(files, 2u) << "the failed copy left no file";
    CFD::Shutdown();
    const std::string indexAfter = ReadWhole(IndexPath());
    EXPECT_EQ(indexAfter.substr(0, 4), std::string("\0\0\0\2", 4));
}
} // namespace Morvex::Test
