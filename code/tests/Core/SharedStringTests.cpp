#include "Core/CmdSystem.h"
#include "Core/Containers/Dict.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/SharedString.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace Morvex;

namespace
{
int64 StatInt(const Dict& d, const char* key)
{
    const DictValue* v = d.Get(key);
    return v ? v->GetInt(-1) : -1;
}

int64 TotalEntries(SharedStringStorage& storage)
{
    Dict d;
    storage.GetStats(d);
    return StatInt(d, "totalSSH");
}

// Texts "<prefix><n>" whose hashes fall into the same bucket of a table of `tableSize` buckets.
std::vector<std::string> TextsInOneBucket(const std::string& prefix, uint32 tableSize, size_t count)
{
    std::vector<std::string> out;
    uint32 bucket = UINT32_MAX;
    for (int n = 0; out.size() < count; ++n)
    {
        std::string t = prefix + std::to_string(n);
        const uint32 b = SharedStringHash(t.data(), static_cast<uint32>(t.size())) % tableSize;
        if (bucket == UINT32_MAX)
            bucket = b;
        if (b == bucket)
            out.push_back(t);
    }
    return out;
}

// A storage of its own, so that chain contents and counts are exactly those of the test.
class SharedStringOwnStorageTest : public ::testing::Test
{
protected:
    void SetUp() override { storage.Init(kBuckets); }
    void TearDown() override { storage.Shutdown(); }

    SharedString Intern(const std::string& t)
    {
        return storage.Intern(t.data(), static_cast<uint32>(t.size()),
                              SharedStringHash(t.data(), static_cast<uint32>(t.size())));
    }

    static constexpr uint32 kBuckets = 64;
    SharedStringStorage storage;
};
} // namespace

TEST(SharedStringHashTest, IsFnv1aOverSignedBytesOfTheFirst64)
{
    struct Case
    {
        std::string text;
        uint32 hash;
    };
    const Case cases[] = {
        {"", 0x811C9DC5u},
        {"a", 0xE40C292Cu},
        {"foobar", 0xBF9CF968u},
        // Bytes above 0x7F are sign-extended before the XOR.
        {"\xff", 0xF9F3A14Eu},
        {"\xc3\xa9t\xc3\xa9", 0x0BEEA017u},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SharedStringHash(c.text.data(), static_cast<uint32>(c.text.size())), c.hash) << c.text;

    const std::string a(100, 'x');
    std::string b = a;
    b[80] = 'y';
    std::string c = a;
    c[63] = 'y';
    EXPECT_EQ(SharedStringHash(a.data(), 100), SharedStringHash(b.data(), 100));
    EXPECT_NE(SharedStringHash(a.data(), 100), SharedStringHash(c.data(), 100));
    EXPECT_EQ(SharedString().hash(), 0x811C9DC5u);
}

TEST(SharedStringTest, EqualTextsShareOneCountedEntry)
{
    SharedString a("shared-string-test-abc");
    SharedString b(StrView("shared-string-test-abc"));
    ASSERT_NE(a.GetEntry(), nullptr);
    EXPECT_EQ(a.GetEntry(), b.GetEntry());
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.GetRefCount(), 2u);
    EXPECT_STREQ(a.str(), "shared-string-test-abc");
    EXPECT_EQ(a.length(), 22u);

    SharedString c(a);
    EXPECT_EQ(a.GetRefCount(), 3u);
    SharedString moved(std::move(c));
    EXPECT_EQ(c.GetEntry(), nullptr);
    EXPECT_STREQ(c.str(), "");
    EXPECT_EQ(a.GetRefCount(), 3u);

    SharedString other("shared-string-test-abd");
    EXPECT_FALSE(a == other);
}

TEST(SharedStringTest, EmptyTextNeverReachesTheTable)
{
    // The statistics' own keys are interned on first use: keep them alive while counting.
    Dict warm;
    GSharedStringStorage->CollectUnreferenced(&warm);
    const int64 before = TotalEntries(*GSharedStringStorage);
    const SharedStringEntry* empty = SharedStrings::GetEmptyEntry();
    const uint32 count = empty->refCount.load();
    {
        SharedString values[] = {SharedString(), SharedString(""), SharedString(StrView()),
                                 SharedString(nullptr, 5), SharedString("abc", 0)};
        for (const SharedString& s : values)
        {
            EXPECT_EQ(s.GetEntry(), empty);
            EXPECT_EQ(s.length(), 0u);
            EXPECT_EQ(s.hash(), 0x811C9DC5u);
        }
        EXPECT_EQ(empty->refCount.load(), count + 5);
    }
    EXPECT_EQ(empty->refCount.load(), count);
    EXPECT_EQ(TotalEntries(*GSharedStringStorage), before);

    // A released value reads as the empty text and equals it.
    SharedString s("shared-string-test-release");
    s.Release();
    EXPECT_EQ(s.GetEntry(), nullptr);
    EXPECT_TRUE(s == SharedString());
}

TEST(SharedStringTest, AssignmentInternsBeforeReleasing)
{
    SharedString s("shared-string-test-self");
    const SharedStringEntry* entry = s.GetEntry();
    // The view points into the entry's own text; releasing first would kill and could reuse it.
    s = s.view();
    EXPECT_EQ(s.GetEntry(), entry);
    EXPECT_EQ(s.GetRefCount(), 1u);
    EXPECT_STREQ(s.str(), "shared-string-test-self");

    s = "shared-string-test-other";
    EXPECT_STREQ(s.str(), "shared-string-test-other");
    EXPECT_EQ(entry->refCount.load(), 0u);
}

TEST(SharedStringTest, NumberTextsAreResidentFromTheStart)
{
    Dict d;
    GSharedStringStorage->GetStats(d);
    EXPECT_GE(StatInt(d, "totalSSH"), 10000);
    for (int i = 0; i < 10000; ++i)
    {
        SharedString s(std::to_string(i).c_str());
        // One reference from the number table, one from s.
        ASSERT_GE(s.GetRefCount(), 2u) << i;
    }
    // Only plain decimal texts: no leading zeros.
    SharedString padded("05");
    EXPECT_EQ(padded.GetRefCount(), 1u);
}

TEST_F(SharedStringOwnStorageTest, ReleasedEntryIsRevivedWithoutANewEntry)
{
    const int64 base = TotalEntries(storage);
    EXPECT_EQ(base, 10000);
    SharedString a = Intern("abc");
    SharedString b = Intern("abc");
    EXPECT_EQ(a.GetEntry(), b.GetEntry());
    EXPECT_EQ(a.GetRefCount(), 2u);
    const SharedStringEntry* entry = a.GetEntry();
    a.Release();
    b.Release();
    EXPECT_EQ(entry->refCount.load(), 0u);
    EXPECT_EQ(TotalEntries(storage), base + 1) << "a dead entry stays chained";

    SharedString again = Intern("abc");
    EXPECT_EQ(again.GetEntry(), entry);
    EXPECT_EQ(again.GetRefCount(), 1u);
    EXPECT_EQ(TotalEntries(storage), base + 1);
}

TEST_F(SharedStringOwnStorageTest, TextsAreToldApartByLengthAndEveryByte)
{
    // Same first 64 bytes: same hash, same chain, two entries.
    const std::string a(100, 'q');
    std::string b = a;
    b[99] = 'r';
    // Differ only after an embedded NUL.
    const std::string c("ab\0c", 4);
    const std::string d("ab\0d", 4);
    const std::string e("ab", 2);

    SharedString sa = Intern(a), sb = Intern(b), sc = Intern(c), sd = Intern(d), se = Intern(e);
    EXPECT_EQ(sa.hash(), sb.hash());
    EXPECT_NE(sa.GetEntry(), sb.GetEntry());
    EXPECT_NE(sc.GetEntry(), sd.GetEntry());
    EXPECT_NE(sc.GetEntry(), se.GetEntry());
    EXPECT_EQ(std::string(sb.str(), sb.length()), b);
    EXPECT_EQ(std::string(sd.str(), sd.length()), d);
    EXPECT_EQ(Intern(b).GetEntry(), sb.GetEntry());
    EXPECT_EQ(Intern(d).GetEntry(), sd.GetEntry());
    EXPECT_EQ(TotalEntries(storage), 10005);
}

TEST_F(SharedStringOwnStorageTest, InsertionReusesTheFirstDeadEntryAndSweepsAtMostOneMore)
{
    const std::vector<std::string> t = TextsInOneBucket("chain-", kBuckets, 5);
    const int64 base = TotalEntries(storage);
    // Chain order is newest first: t2, t1, t0, then the number texts of that bucket.
    SharedString s0 = Intern(t[0]), s1 = Intern(t[1]), s2 = Intern(t[2]);
    const SharedStringEntry* e0 = s0.GetEntry();
    const SharedStringEntry* e2 = s2.GetEntry();
    s0.Release();
    s1.Release();
    s2.Release();
    EXPECT_EQ(TotalEntries(storage), base + 3);

    // t3 takes over the first dead entry (t2's) in place and sweeps the next dead one (t1's).
    SharedString s3 = Intern(t[3]);
    EXPECT_EQ(s3.GetEntry(), e2);
    EXPECT_STREQ(s3.str(), t[3].c_str());
    EXPECT_EQ(TotalEntries(storage), base + 2);

    // t4 reuses t0's entry; nothing dead is left to sweep.
    SharedString s4 = Intern(t[4]);
    EXPECT_EQ(s4.GetEntry(), e0);
    EXPECT_EQ(TotalEntries(storage), base + 2);
    EXPECT_EQ(s3.GetRefCount(), 1u);
}

TEST_F(SharedStringOwnStorageTest, StatisticsDescribeTheChains)
{
    // Right after start the table holds exactly the number texts: compute what the statistics
    // must say from their hashes.
    std::map<uint32, int64> chains;
    for (int i = 0; i < 10000; ++i)
    {
        const std::string t = std::to_string(i);
        ++chains[SharedStringHash(t.data(), static_cast<uint32>(t.size())) % kBuckets];
    }
    int64 lt2 = 0, lt4 = 0, lt8 = 0, longest = 0;
    for (const auto& [bucket, n] : chains)
    {
        lt2 += n > 2;
        lt4 += n > 4;
        lt8 += n > 8;
        longest = std::max(longest, n);
    }

    Dict d;
    storage.GetStats(d);
    const char* const keys[] = {"totalSSH", "avgChainLen", "lt0",     "lt2",
                                "lt4",      "lt8",         "longest", "dataBytes"};
    ASSERT_EQ(d.Size(), 8u);
    for (uint32 i = 0; i < 8; ++i)
        EXPECT_STREQ(d.KeyAt(i), keys[i]);
    EXPECT_EQ(StatInt(d, "totalSSH"), 10000);
    EXPECT_EQ(d.Get("avgChainLen")->GetType(), VT_FLOAT);
    EXPECT_FLOAT_EQ(d.Get("avgChainLen")->GetFloat(), 10000.0f / static_cast<float>(chains.size()));
    EXPECT_EQ(StatInt(d, "lt0"), static_cast<int64>(chains.size()));
    EXPECT_EQ(StatInt(d, "lt2"), lt2);
    EXPECT_EQ(StatInt(d, "lt4"), lt4);
    EXPECT_EQ(StatInt(d, "lt8"), lt8);
    EXPECT_EQ(StatInt(d, "longest"), longest);
    // 10 one-digit, 90 two-digit, 900 three-digit and 9000 four-digit texts, each with its NUL.
    EXPECT_EQ(StatInt(d, "dataBytes"), 10 * 2 + 90 * 3 + 900 * 4 + 9000 * 5);
}

TEST_F(SharedStringOwnStorageTest, ShutdownReportsEachStillReferencedStringOnce)
{
    Morvex::Test::CapturingSink sink;
    SharedString held = Intern("still-held");
    SharedString twice = Intern("held-twice");
    SharedString twiceCopy = twice;
    SharedString dropped = Intern("dropped");
    dropped.Release();

    storage.Shutdown();
    EXPECT_FALSE(storage.IsInialized());
    EXPECT_EQ(sink.CountContaining("There is an undeleted shared string"), 2u);
    EXPECT_TRUE(sink.Contains(Log::Fatal,
                              "There is an undeleted shared string 'still-held' somewhere (ref count 1)!"));
    EXPECT_TRUE(sink.Contains(Log::Fatal,
                              "There is an undeleted shared string 'held-twice' somewhere (ref count 2)!"));
    EXPECT_FALSE(sink.Contains("'dropped'"));
    EXPECT_FALSE(sink.Contains("'0'")) << "the number texts are released first";

    // The holders may still read and release their strings after the shutdown.
    EXPECT_STREQ(held.str(), "still-held");
    held.Release();
    twice.Release();
    twiceCopy.Release();
    storage.Shutdown(); // a second shutdown does nothing
    EXPECT_EQ(sink.CountContaining("There is an undeleted shared string"), 2u);
}

TEST_F(SharedStringOwnStorageTest, EntriesAreElementsOfTheirPool)
{
    // This storage's pool is the newest of that name.
    Memory::Pool::Info pool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/SSHeader:", &pool));
    const uint64 start = pool.numElements;
    EXPECT_EQ(start, SharedStringStorage::kNumNumbers);
    EXPECT_EQ(pool.pageSizeInBytes, 0x20000u);
    EXPECT_EQ(pool.tag, static_cast<int16>(MemoryTags::Register("Core/SharedStrings").m_index));
    SharedString a = Intern("pooled-a");
    SharedString b = Intern("pooled-b");
    ASSERT_TRUE(Morvex::Test::FindPool("Core/SSHeader:", &pool));
    EXPECT_EQ(pool.numElements, start + 2);
    a.Release();
    storage.CollectUnreferenced();
    ASSERT_TRUE(Morvex::Test::FindPool("Core/SSHeader:", &pool));
    EXPECT_EQ(pool.numElements, start + 1);
}

// Strings held past Shutdown keep their entries until they are released; then the storage's end
// gives the pool's pages back with nothing to report.
TEST(SharedStringStorageTest, DestructionReturnsTheEntryPoolWithoutAReport)
{
    Morvex::Test::CapturingSink sink;
    const uint32 pools = Memory::Pool::GetNumPools();
    {
        SharedStringStorage storage;
        storage.Init(16);
        EXPECT_EQ(Memory::Pool::GetNumPools(), pools + 1);
        SharedString held = storage.Intern("held", 4, SharedStringHash("held", 4));
        storage.Shutdown();
        EXPECT_STREQ(held.str(), "held");
        held.Release();
    }
    EXPECT_EQ(Memory::Pool::GetNumPools(), pools);
    EXPECT_TRUE(sink.Contains("There is an undeleted shared string 'held'"));
    EXPECT_FALSE(sink.Contains("objects still alive"));
}

TEST(SharedStringStorageTest, ContractViolationsAssertAndLeaveTheStorageSound)
{
    Morvex::Test::AssertRecorder asserts;
    {
        SharedStringStorage storage;
        SharedString none = storage.Intern("x", 1, SharedStringHash("x", 1));
        EXPECT_EQ(none.GetEntry(), SharedStrings::GetEmptyEntry()) << "not initialised";
        EXPECT_EQ(asserts.Count(), 1u);
        EXPECT_TRUE(asserts.Saw("IsInialized()"));

        storage.Init(16);
        storage.Init(16);
        EXPECT_TRUE(asserts.Saw("!IsInialized()"));
        EXPECT_EQ(storage.GetTableSize(), 16u);
        EXPECT_STREQ(storage.Intern("x", 1, SharedStringHash("x", 1)).str(), "x");
        // Destroyed without Shutdown: the assertion, then the storage shuts itself down.
    }
    EXPECT_TRUE(asserts.Saw("!m_table"));
}

TEST(SharedStringStorageTest, CollectUnreferencedSweepsDeadEntries)
{
    // The statistics' keys ("pre", "totalSSH", ...) are interned on first use: hold them so that
    // only the released text changes the count, as on every run of the command after the first.
    Dict warm;
    GSharedStringStorage->CollectUnreferenced(&warm);
    {
        SharedString s("shared-string-test-collect-me");
    }
    Dict d;
    GSharedStringStorage->CollectUnreferenced(&d);
    ASSERT_EQ(d.Size(), 2u);
    EXPECT_STREQ(d.KeyAt(0), "pre");
    EXPECT_STREQ(d.KeyAt(1), "post");
    const Dict* pre = d.ValueAt(0).GetDict();
    const Dict* post = d.ValueAt(1).GetDict();
    ASSERT_TRUE(pre && post);
    EXPECT_EQ(StatInt(*pre, "totalSSH") - StatInt(*post, "totalSSH"), 1);
    EXPECT_EQ(StatInt(*pre, "dataBytes") - StatInt(*post, "dataBytes"), 30);

    // Live strings survive a sweep.
    SharedString live("shared-string-test-live");
    const SharedStringEntry* entry = live.GetEntry();
    GSharedStringStorage->CollectUnreferenced();
    EXPECT_EQ(SharedString("shared-string-test-live").GetEntry(), entry);
}

TEST(SharedStringStorageTest, ConcurrentInterningYieldsOneEntryPerText)
{
    constexpr int kThreads = 4;
    constexpr int kTexts = 500;
    std::vector<std::vector<const SharedStringEntry*>> seen(kThreads,
                                                            std::vector<const SharedStringEntry*>(kTexts));
    std::vector<std::vector<SharedString>> kept(kThreads);
    std::atomic<bool> stop{false};
    // A sweeper runs meanwhile: revivals and sweeps race with releases on purpose.
    std::thread sweeper(
        [&]
        {
            while (!stop.load())
                GSharedStringStorage->CollectUnreferenced();
        });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int round = 0; round < 20; ++round)
                    for (int i = 0; i < kTexts; ++i)
                    {
                        SharedString s(("concurrent-" + std::to_string(i)).c_str());
                        SharedString copy = s;
                        if (round == 19)
                            kept[t].push_back(copy);
                    }
                for (int i = 0; i < kTexts; ++i)
                    seen[t][i] = kept[t][i].GetEntry();
            });
    for (std::thread& th : threads)
        th.join();
    stop = true;
    sweeper.join();
    for (int i = 0; i < kTexts; ++i)
    {
        for (int t = 1; t < kThreads; ++t)
            ASSERT_EQ(seen[t][i], seen[0][i]) << i;
        EXPECT_EQ(kept[0][i].GetRefCount(), static_cast<uint32>(kThreads));
        EXPECT_EQ(std::string(kept[0][i].str()), "concurrent-" + std::to_string(i));
    }
}

TEST(SharedStringStorageTest, CollectCommandPrintsTheStatisticsBeforeAndAfter)
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    Morvex::Test::CapturingSink sink;
    CmdSystem::AddText("sstring_collectUnreferenced\n");
    CmdSystem::Execute();

    std::vector<std::string> lines;
    for (const auto& l : sink.Lines())
        if (l.level == Log::Info)
            lines.push_back(l.text);
    const char* const keys[] = {"totalSSH", "avgChainLen", "lt0",     "lt2",
                                "lt4",      "lt8",         "longest", "dataBytes"};
    ASSERT_EQ(lines.size(), 24u);
    size_t i = 0;
    EXPECT_EQ(lines[i++], "{");
    for (const char* section : {"pre", "post"})
    {
        EXPECT_EQ(lines[i++], std::string("\t\"") + section + "\":");
        EXPECT_EQ(lines[i++], "\t{");
        for (const char* key : keys)
            EXPECT_EQ(lines[i++].rfind(std::string("\t\t\"") + key + "\": ", 0), 0u) << key;
        EXPECT_EQ(lines[i++], "\t}");
    }
    EXPECT_EQ(lines[i++], "}");
    // The average is a float written "%5.3f".
    EXPECT_NE(lines[4].find('.'), std::string::npos) << lines[4];
}
