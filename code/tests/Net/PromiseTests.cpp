// ttl::Function and ttl::Promise as the HTTP client uses them.

#include "Core/ttl/Function.h"
#include "Core/ttl/Promise.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

namespace Morvex::Test
{
TEST(TtlFunction, InlineHeapMoveAndEmpty)
{
    int calls = 0;
    ttl::Function<int(int)> small = [&calls](int x)
    {
        ++calls;
        return x + 1;
    };
    EXPECT_EQ(small(1), 2);

    // A capture larger than the inline room lives on the heap; moving keeps it alive once.
    auto counter = std::make_shared<int>(0);
    std::string big(200, 'b');
    char pad[64] = {};
    ttl::Function<size_t()> large = [counter, big, pad]() { return big.size() + sizeof(pad) + (*counter)++; };
    EXPECT_EQ(counter.use_count(), 2);
    ttl::Function<size_t()> moved = std::move(large);
    EXPECT_FALSE(large);
    EXPECT_EQ(moved(), 264u);
    EXPECT_EQ(counter.use_count(), 2);
    moved = nullptr;
    EXPECT_EQ(counter.use_count(), 1) << "the callable is destroyed with its Function";

    // Move-only captures are allowed.
    auto owned = std::make_unique<int>(5);
    ttl::Function<int()> own = [p = std::move(owned)]() { return *p; };
    ttl::Function<int()> own2;
    own2 = std::move(own);
    EXPECT_EQ(own2(), 5);

    AssertRecorder asserts;
    ttl::Function<int(int)> empty;
    EXPECT_EQ(empty(3), 0) << "calling an empty Function asserts and returns a default value";
    EXPECT_EQ(asserts.Count(), 1u);
    EXPECT_EQ(calls, 1);
}

TEST(TtlPromise, ContinuationBeforeAndAfterResult)
{
    ttl::Promise<int> p = ttl::Promise<int>::Create();
    int seen = 0;
    p.SetCallback([&](const ttl::Result<int>& r) { seen = r.GetValue(); });
    EXPECT_EQ(seen, 0);
    p.Resolve(7);
    EXPECT_EQ(seen, 7) << "runs when the result is set";

    ttl::Promise<int> q = ttl::Promise<int>::Create();
    q.Reject(ErrorCode::TIMEOUT, "slow");
    ErrorCode e = ErrorCode::OK;
    std::string message;
    q.SetCallback(
        [&](const ttl::Result<int>& r)
        {
            e = r.GetError();
            message = r.GetMessage();
        });
    EXPECT_EQ(e, ErrorCode::TIMEOUT) << "runs at once when attached after the result";
    EXPECT_EQ(message, "slow");
}

TEST(TtlPromise, MisuseAsserts)
{
    AssertRecorder asserts;
    ttl::Promise<int> p = ttl::Promise<int>::Create();
    p.Resolve(1);
    p.Resolve(2);
    EXPECT_TRUE(asserts.Saw("DebugBreak"));
    ASSERT_EQ(asserts.Count(), 1u);
    EXPECT_EQ(asserts.Records()[0].message, "SetResult called twice");
    EXPECT_EQ(p.GetResult()->GetValue(), 1) << "the first result stays";

    p.SetCallback([](const ttl::Result<int>&) {});
    p.SetCallback([](const ttl::Result<int>&) {});
    ASSERT_EQ(asserts.Count(), 2u);
    EXPECT_EQ(asserts.Records()[1].message, "SetCallback called twice");

    ttl::Promise<int> q = ttl::Promise<int>::Create();
    q.Reject(ErrorCode::OK);
    EXPECT_TRUE(asserts.Saw("e != ErrorCode::OK"));
    EXPECT_FALSE(q.IsSettled());

    ttl::Promise<int> empty;
    empty.Resolve(1);
    EXPECT_EQ(asserts.Count(), 4u);
}

TEST(TtlPromise, StateLivesUntilBothSidesLetGo)
{
    auto tracker = std::make_shared<int>(0);
    std::weak_ptr<int> watch = tracker;
    ttl::Promise<std::shared_ptr<int>> consumer = ttl::Promise<std::shared_ptr<int>>::Create();
    {
        ttl::Promise<std::shared_ptr<int>> producer = consumer;
        producer.Resolve(std::move(tracker));
    }
    EXPECT_FALSE(watch.expired()) << "the consumer still holds the state";
    consumer.Release();
    EXPECT_TRUE(watch.expired());

    // Settled on another thread: the continuation runs there, once.
    ttl::Promise<int> p = ttl::Promise<int>::Create();
    std::thread::id ranOn;
    int runs = 0;
    p.SetCallback(
        [&](const ttl::Result<int>&)
        {
            ranOn = std::this_thread::get_id();
            ++runs;
        });
    std::thread t([p]() mutable { p.Resolve(3); });
    std::thread::id producerId = t.get_id();
    t.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, producerId);
}
} // namespace Morvex::Test
