#include "Core/Containers/Dict.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/SharedString.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Morvex;

namespace
{
std::string DumpText(const Dict& d, bool withTypes, uint32 maxDepth)
{
    std::vector<char> buffer(64 * 1024, 0);
    const uint32 n = d.Dump(buffer.data(), static_cast<uint32>(buffer.size()), withTypes, 0, maxDepth);
    EXPECT_EQ(n, std::strlen(buffer.data()));
    return std::string(buffer.data(), n);
}

std::string Key(int i)
{
    return "key-" + std::to_string(i);
}

// A small tree used by the dump and copy tests:
// { "nothing": null, "yes": true, "n": 7, "half": 0.5, "name": "Demo", "child": {"x": 1}, "list": [2
// elements] }
void FillSample(Dict& d)
{
    d.Set("nothing", DictValue());
    d.Set("yes", true);
    d.Set("n", 7);
    d.Set("half", 0.5f);
    d.Set("name", "Demo");
    d.SetNewDict("child")->Set("x", 1);
    DictArray* list = d.SetNewArray("list");
    list->Append().SetInt(1);
    list->Append().SetString(StrView("two"));
}
} // namespace

TEST(DictTest, SettingAKeyAgainKeepsItsPosition)
{
    Dict d;
    d.Set("Id", "42");
    d.Set("Comments", "none");
    d.Set("Id", "43");
    ASSERT_EQ(d.Size(), 2u);
    EXPECT_STREQ(d.KeyAt(0), "Id");
    EXPECT_STREQ(d.KeyAt(1), "Comments");
    EXPECT_STREQ(d.ValueAt(0).GetString(), "43");
    EXPECT_STREQ(d.GetString("Comments"), "none");
    EXPECT_EQ(d.GetString("Missing", "fallback"), std::string("fallback"));

    // A value of another type replaces the old one in place.
    d.Set("Id", 5);
    EXPECT_EQ(d.Find("Id"), 0);
    EXPECT_EQ(d.ValueAt(0).GetType(), VT_INT);

    // Keys are interned: the entry's key is the process-wide text.
    EXPECT_EQ(d.EntryAt(1).key.GetEntry(), SharedString("Comments").GetEntry());

    std::vector<std::string> order;
    for (const DictEntry& e : d)
        order.push_back(e.key.str());
    EXPECT_EQ(order, (std::vector<std::string>{"Id", "Comments"}));
}

TEST(DictTest, SetStoresTheDocumentedTypes)
{
    Dict d;
    d.Set("s", "text");
    d.Set("sv", StrView("view", 2));
    d.Set("ss", SharedString("shared"));
    d.Set("b", false);
    d.Set("i32", -3);
    d.Set("u32", 4000000000u);
    d.Set("i64", static_cast<int64>(-9000000000));
    d.Set("u64", UINT64_MAX);
    d.Set("ll", -5LL);
    d.Set("f", 0.25f);
    d.Set("dbl", 1.5);
    d.Set("null", static_cast<const char*>(nullptr));

    struct Case
    {
        const char* key;
        EDictValueType type;
        const char* text;
    };
    const Case cases[] = {
        {"s", VT_STRING, "text"},
        {"sv", VT_STRING, "vi"},
        {"ss", VT_STRING, "shared"},
        {"b", VT_BOOL, "false"},
        {"i32", VT_INT, "-3"},
        {"u32", VT_INT, "4000000000"},
        {"i64", VT_INT, "-9000000000"},
        // Unsigned 64-bit values share the signed payload.
        {"u64", VT_INT, "-1"},
        {"ll", VT_INT, "-5"},
        {"f", VT_FLOAT, "0.250"},
        {"dbl", VT_FLOAT, "1.500"},
        {"null", VT_STRING, ""},
    };
    ASSERT_EQ(d.Size(), std::size(cases));
    for (const Case& c : cases)
    {
        const DictValue* v = d.Get(c.key);
        ASSERT_NE(v, nullptr) << c.key;
        EXPECT_EQ(v->GetType(), c.type) << c.key;
        EXPECT_STREQ(v->ToString(), c.text) << c.key;
    }
}

TEST(DictTest, ToStringGivesTextOrNull)
{
    DictValue v;
    EXPECT_EQ(v.ToString(), nullptr);
    struct Case
    {
        void (*set)(DictValue&);
        const char* text;
    };
    const Case cases[] = {
        {[](DictValue& x) { x.SetBool(true); }, "true"},
        {[](DictValue& x) { x.SetBool(false); }, "false"},
        {[](DictValue& x) { x.SetInt(7); }, "7"},
        {[](DictValue& x) { x.SetInt(INT64_MIN); }, "-9223372036854775808"},
        {[](DictValue& x) { x.SetFloat(0.5f); }, "0.500"},
        // "%5.3f": at least five characters wide.
        {[](DictValue& x) { x.SetFloat(-0.0005f); }, "-0.001"},
        {[](DictValue& x) { x.SetFloat(12345.678f); }, "12345.678"},
        {[](DictValue& x) { x.SetString(StrView("abc")); }, "abc"},
        {[](DictValue& x) { x.SetNewDict(); }, nullptr},
        {[](DictValue& x) { x.SetNewArray(); }, nullptr},
        {[](DictValue& x) { x.SetNone(); }, nullptr},
    };
    for (const Case& c : cases)
    {
        c.set(v);
        if (c.text)
            EXPECT_STREQ(v.ToString(), c.text);
        else
            EXPECT_EQ(v.ToString(), nullptr) << v.GetType();
    }
}

// Growth exists so that filling a dictionary costs few moves and wastes little: small sizes grow
// fast through the cached block classes, large ones by a bounded step. Every entry survives.
TEST(DictTest, GrowthKeepsEveryEntryWithFewMovesAndBoundedSlack)
{
    Dict d;
    DictArray a;
    uint32 moves = 0;
    uint32 lastCapacity = 0;
    for (uint32 n = 1; n <= 5000; ++n)
    {
        d.Set(StrView(Key(static_cast<int>(n - 1)).c_str()), static_cast<int32>(n - 1));
        a.Append().SetInt(n - 1);
        ASSERT_EQ(a.Capacity(), d.Capacity()) << n;
        ASSERT_GE(d.Capacity(), n);
        if (d.Capacity() != lastCapacity)
        {
            ++moves;
            lastCapacity = d.Capacity();
        }
        // Small dictionaries hold at most about four times what they need; large ones never more
        // than one step of unused room.
        if (n <= 1024)
            ASSERT_LE(d.Capacity(), 4 * n + 3) << n;
        else
            ASSERT_LT(d.Capacity() - n, 1024u) << n;
    }
    EXPECT_LE(moves, 10u) << "5 class steps to 1024, then one per 1024 entries";
    for (uint32 i = 0; i < 5000; i += 97)
    {
        EXPECT_EQ(d.ValueAt(i).GetInt(), i);
        EXPECT_EQ(d.Find(StrView(Key(static_cast<int>(i)).c_str())), static_cast<int32>(i));
        EXPECT_EQ(a[i].GetInt(), i);
    }
}

// Reserving exists so that a known number of entries goes in without a single move.
TEST(DictTest, ReserveMakesRoomForThatManyWithoutMoves)
{
    for (uint32 n : {0u, 1u, 4u, 5u, 16u, 17u, 200u, 1000u, 1024u, 1025u, 3000u})
    {
        Dict d;
        d.Reserve(n);
        DictArray a;
        a.Reserve(n);
        const uint32 reserved = d.Capacity();
        EXPECT_GE(reserved, n);
        EXPECT_EQ(a.Capacity(), reserved);
        for (uint32 i = 0; i < n; ++i)
        {
            d.Set(StrView(Key(static_cast<int>(i)).c_str()), static_cast<int32>(i));
            a.Append().SetInt(i);
        }
        EXPECT_EQ(d.Capacity(), reserved) << n;
        EXPECT_EQ(a.Capacity(), reserved) << n;
    }
    // Reserving less than there is keeps the entries and the capacity.
    Dict d;
    for (int i = 0; i < 20; ++i)
        d.Set(StrView(Key(i).c_str()), i);
    const uint32 capacity = d.Capacity();
    d.Reserve(3);
    EXPECT_EQ(d.Capacity(), capacity);
    EXPECT_EQ(d.Size(), 20u);
    EXPECT_EQ(d.Find("key-19"), 19);
}

TEST(DictTest, LookupsAgreeBeforeAndAfterTheHashTable)
{
    Dict d;
    for (int i = 0; i < 32; ++i)
        d.Set(StrView(Key(i).c_str()), i);
    EXPECT_FALSE(d.HasHashTable());
    std::vector<int32> before;
    for (int i = 0; i < 32; ++i)
        before.push_back(d.Find(StrView(Key(i).c_str())));

    d.Set("key-32", 32);
    EXPECT_TRUE(d.HasHashTable()) << "the 33rd entry builds the table";
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(d.Find(StrView(Key(i).c_str())), before[i]);

    // Through several rebuilds (64 -> 256 -> 1024 -> 2048 entries), by text, by text and hash, and
    // by interned key.
    for (int i = 33; i < 1500; ++i)
        d.Set(StrView(Key(i).c_str()), i);
    for (int i = 0; i < 1500; ++i)
    {
        const std::string k = Key(i);
        const StrView view(k.c_str());
        ASSERT_EQ(d.Find(view), i);
        ASSERT_EQ(d.Find(view, SharedStringHash(k.data(), view.length())), i);
        ASSERT_EQ(d.Find(SharedString(view)), i);
        ASSERT_EQ(d.ValueAt(static_cast<uint32>(i)).GetInt(), i);
    }
    EXPECT_EQ(d.Find("key-1500"), -1);
    EXPECT_EQ(d.Find(SharedString("absent-key")), -1);
    EXPECT_EQ(d.Find(""), -1);

    // Setting a present key through the table does not append.
    d.Set("key-700", "changed");
    EXPECT_EQ(d.Size(), 1500u);
    EXPECT_STREQ(d.ValueAt(700).GetString(), "changed");

    d.Clear();
    EXPECT_FALSE(d.HasHashTable());
    EXPECT_EQ(d.Size(), 0u);
    EXPECT_EQ(d.Capacity(), 0u);
    EXPECT_EQ(d.Find("key-1"), -1);
}

TEST(DictTest, CopiesAreDeep)
{
    Dict source;
    FillSample(source);

    Dict copy(source);
    copy.Get("child")->GetDict()->Set("x", 2);
    copy.Get("list")->GetArray()->At(0).SetInt(99);
    copy.Set("name", "Other");
    EXPECT_EQ(source.Get("child")->GetDict()->Get("x")->GetInt(), 1);
    EXPECT_EQ(source.Get("list")->GetArray()->At(0).GetInt(), 1);
    EXPECT_STREQ(source.GetString("name"), "Demo");
    EXPECT_NE(copy.Get("child")->GetDict(), source.Get("child")->GetDict());

    DictValue v;
    v.SetDict(source);
    DictValue w;
    w = v;
    w.GetDict()->Set("added", 1);
    EXPECT_EQ(v.GetDict()->Find("added"), -1);
    EXPECT_EQ(DumpText(*v.GetDict(), true, 255), DumpText(source, true, 255));

    // Self-assignment keeps the value.
    DictValue& alias = w;
    w = alias;
    EXPECT_EQ(w.GetDict()->Size(), source.Size() + 1);
}

TEST(DictTest, AssigningFromOwnDescendantIsSafe)
{
    // The source lives inside what the target owns: it must be copied before the target lets go.
    DictValue v;
    Dict* outer = v.SetNewDict();
    Dict* middle = outer->SetNewDict("child");
    middle->Set("x", "kept");
    middle->SetNewDict("grandchild")->Set("y", 3);
    v = *outer->Get("child");
    ASSERT_EQ(v.GetType(), VT_DICT);
    EXPECT_STREQ(v.GetDict()->GetString("x"), "kept");
    EXPECT_EQ(v.GetDict()->Get("grandchild")->GetDict()->Get("y")->GetInt(), 3);

    Dict d;
    d.SetNewDict("inner")->Set("z", "deep");
    d = *d.Get("inner")->GetDict();
    ASSERT_EQ(d.Size(), 1u);
    EXPECT_STREQ(d.GetString("z"), "deep");

    DictValue s;
    s.SetString(StrView("own text"));
    s.SetString(StrView(s.GetString()));
    EXPECT_STREQ(s.GetString(), "own text");

    // Appending an element of the array itself when the append grows the array.
    DictArray a;
    for (int i = 0; i < 4; ++i)
        a.Append().SetString(StrView(Key(i).c_str()));
    ASSERT_EQ(a.Capacity(), 4u);
    a.Append(a[0]);
    EXPECT_EQ(a.Size(), 5u);
    EXPECT_STREQ(a[4].GetString(), "key-0");
}

TEST(DictTest, DumpWritesTheTextForm)
{
    Dict d;
    FillSample(d);
    EXPECT_EQ(DumpText(d, false, 1), "{\n"
                                     "\t\"nothing\": null\n"
                                     "\t\"yes\": true\n"
                                     "\t\"n\": 7\n"
                                     "\t\"half\": 0.500\n"
                                     "\t\"name\": Demo\n"
                                     "\t\"child\": {...} \n"
                                     "\t\"list\": [...] \n"
                                     "}");
    EXPECT_EQ(DumpText(d, true, 1), "{\n"
                                    "\t[0] \"nothing\": null\n"
                                    "\t[1] \"yes\": true\n"
                                    "\t[2] \"n\": 7\n"
                                    "\t[3] \"half\": 0.500\n"
                                    "\t[4] \"name\": Demo\n"
                                    "\t[5] \"child\": {...}\n"
                                    "\t[6] \"list\": [...]\n"
                                    "}");
    Dict outer;
    outer.Set("top", 1);
    outer.Set("sample", d);
    EXPECT_EQ(DumpText(outer, false, 3), "{\n"
                                         "\t\"top\": 1\n"
                                         "\t\"sample\":\n"
                                         "\t{\n"
                                         "\t\t\"nothing\": null\n"
                                         "\t\t\"yes\": true\n"
                                         "\t\t\"n\": 7\n"
                                         "\t\t\"half\": 0.500\n"
                                         "\t\t\"name\": Demo\n"
                                         "\t\t\"child\":\n"
                                         "\t\t{\n"
                                         "\t\t\t\"x\": 1\n"
                                         "\t\t}\n"
                                         "\t\t\"list\":\n"
                                         "[2 elements]\n"
                                         "\n"
                                         "\t}\n"
                                         "}");
    EXPECT_EQ(DumpText(Dict(), false, 1), "{\n}");
}

TEST(DictTest, DumpStopsAtAFullBuffer)
{
    Dict d;
    FillSample(d);
    const std::string full = DumpText(d, false, 255);
    for (uint32 size : {1u, 2u, 5u, 20u, static_cast<uint32>(full.size())})
    {
        std::vector<char> buffer(size + 8, 'X');
        const uint32 n = d.Dump(buffer.data(), size, false, 0, 255);
        EXPECT_EQ(n, size) << size;
        EXPECT_EQ(buffer[size - 1], 0) << size;
        EXPECT_EQ(std::string(buffer.data()), full.substr(0, std::strlen(buffer.data()))) << size;
        EXPECT_EQ(buffer[size], 'X') << "nothing written past the buffer";
    }
    std::vector<char> exact(full.size() + 1);
    EXPECT_EQ(d.Dump(exact.data(), static_cast<uint32>(exact.size()), false, 0, 255), full.size());
    EXPECT_EQ(d.Dump(nullptr, 10, false, 0, 255), 0u);
}

TEST(DictTest, PrintLogsLineByLineAtInfo)
{
    Dict d;
    d.Set("a", 1);
    d.SetNewDict("b")->Set("c", "x");
    Morvex::Test::CapturingSink sink;
    d.Print(255);
    std::vector<std::string> lines;
    for (const auto& l : sink.Lines())
    {
        EXPECT_EQ(l.level, static_cast<uint32>(Log::Info));
        lines.push_back(l.text);
    }
    EXPECT_EQ(lines,
              (std::vector<std::string>{"{", "\t\"a\": 1", "\t\"b\":", "\t{", "\t\t\"c\": x", "\t}", "}"}));
}

TEST(DictTest, OutOfRangeAccessAssertsAndGivesAnEmptyScratch)
{
    Morvex::Test::AssertRecorder asserts;
    Dict d;
    d.Set("only", 1);
    DictEntry& e = d.EntryAt(5);
    EXPECT_TRUE(asserts.Saw("i < m_size"));
    EXPECT_STREQ(e.key.str(), "");
    EXPECT_TRUE(e.value.IsNone());
    e.value.SetInt(3); // writes nowhere that matters
    EXPECT_TRUE(d.EntryAt(7).value.IsNone());
    EXPECT_EQ(d.Size(), 1u);
    EXPECT_EQ(d.ValueAt(0).GetInt(), 1);

    DictArray a;
    EXPECT_TRUE(a.At(0).IsNone());
    EXPECT_EQ(asserts.Count(), 3u);
}

TEST(DictAllocatorTest, ReleasedBlocksAreCachedWithinTheLimit)
{
    DictAllocator::FlushCaches();
    const SharedStringEntry* empty = SharedStrings::GetEmptyEntry();
    const uint32 emptyRefs = empty->refCount.load();
    EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 0u);

    {
        Dict d;
        for (int i = 0; i < 5; ++i)
            d.Set(StrView(Key(i).c_str()), i);
        EXPECT_EQ(d.Capacity(), 16u);
        // Growing from 4 to 16 released the 4-block into its cache.
        EXPECT_EQ(DictAllocator::GetCachedBlocks(4), 1u);
    }
    EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 1u);
    // Cached blocks keep their emptied keys, each a reference to the empty string.
    EXPECT_EQ(empty->refCount.load(), emptyRefs + 4 + 16);

    {
        Dict d;
        d.Reserve(10);
        EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 0u) << "taken from the cache";
    }
    EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 1u);

    // The limit counts entries: 20 entries allow five 4-blocks, one 16-block and no larger ones.
    DictAllocator::SetCacheLimit(20);
    EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 0u) << "a new limit empties the caches";
    {
        std::vector<Dict> many(3);
        for (Dict& d : many)
            d.Reserve(16);
        Dict big;
        big.Reserve(64);
    }
    EXPECT_EQ(DictAllocator::GetCachedBlocks(16), 1u);
    EXPECT_EQ(DictAllocator::GetCachedBlocks(64), 0u);

    DictAllocator::SetCacheLimit(0);
    {
        Dict d;
        d.Set("k", 1);
        DictArray a;
        a.Append().SetInt(1);
    }
    EXPECT_EQ(DictAllocator::GetCachedBlocks(4), 0u);
    EXPECT_EQ(empty->refCount.load(), emptyRefs) << "nothing cached, nothing held";

    DictAllocator::SetCacheLimit(524288);
    // Flushing (as the shared-string shutdown does before its leak check) drops every cached key.
    {
        Dict d;
        d.Set("k", 1);
    }
    EXPECT_GT(empty->refCount.load(), emptyRefs);
    DictAllocator::FlushCaches();
    EXPECT_EQ(empty->refCount.load(), emptyRefs);
}

TEST(DictAllocatorTest, PooledDictionariesAndArraysRoundTrip)
{
    Dict::Destroy(Dict::Create());
    DictArray::Destroy(DictArray::Create());
    Memory::Pool::Info dictPool, arrayPool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/Dict:", &dictPool));
    ASSERT_TRUE(Morvex::Test::FindPool("Core/DictArray:", &arrayPool));
    std::vector<Dict*> dicts;
    std::vector<DictArray*> arrays;
    for (int i = 0; i < 5000; ++i)
    {
        Dict* d = Dict::Create();
        d->Set("i", i);
        dicts.push_back(d);
        DictArray* a = DictArray::Create();
        a->Append().SetInt(i);
        arrays.push_back(a);
    }
    // Each object is an element of its pool, on pages of 64 KiB.
    Memory::Pool::Info pool;
    ASSERT_TRUE(Morvex::Test::FindPool("Core/Dict:", &pool));
    EXPECT_EQ(pool.numElements, dictPool.numElements + 5000);
    EXPECT_EQ(pool.pageSizeInBytes, 0x10000u);
    EXPECT_EQ(pool.tag, static_cast<int16>(MemoryTags::Register("Core/Dict").m_index));
    ASSERT_TRUE(Morvex::Test::FindPool("Core/DictArray:", &pool));
    EXPECT_EQ(pool.numElements, arrayPool.numElements + 5000);
    for (int i = 0; i < 5000; ++i)
    {
        ASSERT_EQ(dicts[i]->Get("i")->GetInt(), i);
        ASSERT_EQ(arrays[i]->At(0).GetInt(), i);
        Dict::Destroy(dicts[i]);
        DictArray::Destroy(arrays[i]);
    }
    Dict::Destroy(nullptr);
    DictArray::Destroy(nullptr);
    ASSERT_TRUE(Morvex::Test::FindPool("Core/Dict:", &pool));
    EXPECT_EQ(pool.numElements, dictPool.numElements);
}
