// The profiler: the wire encoding, the timer registry, recording into the rings (full rings, the
// thread cap, inactive zones), and the send thread against a viewer played by the test: what it
// streams, texts while their ring goes round, zones open across a deactivation or a dropped viewer,
// thread slots handed to new threads, symbols, the viewer's hostile bytes, a viewer that is not
// there, the save command's checks and the connect-back through the listening socket.

#include "Core/CmdSystem.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Profiler/ProfilerConnection.h"
#include "Core/Profiler/ProfilerProtocol.h"
#include "Core/Utils/StackTrace.h"
#include "ProfilerCore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Morvex;
using namespace Morvex::ProfilerProtocol;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
TEST(ProfilerProtocol, VarintsTakeTheirSizesAndRoundTrip)
{
    struct Case
    {
        uint64_t value;
        uint32_t size;
        uint8_t first;
    };
    const Case cases[] = {
        {0, 1, 0x00},
        {0x7F, 1, 0x7F},
        {0x80, 2, 0x80},
        {0x3FFF, 2, 0xBF},
        {0x4000, 3, 0xC0},
        {0x1FFFFF, 3, 0xDF},
        {0x200000, 4, 0xE0},
        {0xFFFFFFF, 4, 0xEF},
        {0x10000000, 5, 0xF0},
        {0x100000000ull, 5, 0xF1},
        {0x7FFFFFFFFull, 5, 0xF7},
        {0x3FFFFFFFFFFull, 6, 0xFB},
        {0x1FFFFFFFFFFFFull, 7, 0xFD},
        {0xFFFFFFFFFFFFFFull, 8, 0xFE},
        {0x100000000000000ull, 9, 0xFF},
        {~0ull, 9, 0xFF},
    };
    for (const Case& c : cases)
    {
        uint8_t bytes[9];
        ASSERT_EQ(EncodeVarint(c.value, bytes), c.size) << std::hex << c.value;
        EXPECT_EQ(bytes[0], c.first) << std::hex << c.value;
        const uint8_t* at = bytes;
        uint64_t back = 0;
        ASSERT_TRUE(DecodeVarint(&at, bytes + c.size, back));
        EXPECT_EQ(back, c.value);
        EXPECT_EQ(at, bytes + c.size);
        // One byte short is not a value, and reads nothing.
        at = bytes;
        EXPECT_FALSE(DecodeVarint(&at, bytes + c.size - 1, back));
        EXPECT_EQ(at, bytes);
    }
}

TEST(ProfilerTimers, EqualNamesShareAnIdWithinTheirNameSpace)
{
    uint16 a = Profiler::RegisterTimer("ProfilerTests::Same");
    EXPECT_NE(a, Profiler::kInvalidTimer);
    EXPECT_EQ(Profiler::RegisterTimer("ProfilerTests::Same"), a);
    uint16 other = Profiler::RegisterTimer("ProfilerTests::Same", true);
    EXPECT_NE(other, a);
    EXPECT_EQ(Profiler::RegisterTimer("ProfilerTests::Same", true), other);
    // The lock timers were registered first.
    bool second = true;
    EXPECT_STREQ(Profiler::Core::GetTimerName(Profiler::kLockWait, second), "LockWait");
    EXPECT_FALSE(second);
    EXPECT_STREQ(Profiler::Core::GetTimerName(Profiler::kRWLockWriteHold, second), "RWLockWriteHold");
}

// Recording without a send thread: nothing consumes the rings.
class ProfilerRecording : public testing::Test
{
protected:
    void TearDown() override { Profiler::Core::SetRecording(false); }

    static uint32 Pending(const Profiler::ThreadRecord* r)
    {
        return Profiler::EventsOf(r->published.load()) - Profiler::EventsOf(r->released.load());
    }
};

TEST_F(ProfilerRecording, InactiveZonesMakeNoRecordAndNoEvent)
{
    uint32 before = Profiler::Core::GetRecordCount();
    std::thread(
        []
        {
            for (int i = 0; i < 1000; ++i)
            {
                MX_PROFILE_ZONE("ProfilerTests::Inactive");
            }
            Profiler::Message(1, 2, 0, "not recorded");
        })
        .join();
    EXPECT_EQ(Profiler::Core::GetRecordCount(), before);
}

TEST_F(ProfilerRecording, FullRingDropsEventsInsteadOfWaitingAndKeepsZonesBalanced)
{
    Profiler::Core::SetRecording(true);
    uint64 droppedBefore = Profiler::GetDroppedEvents();
    const Profiler::ThreadRecord* record = nullptr;
    std::thread(
        [&record]
        {
            MX_PROFILE_ZONE("ProfilerTests::Outer");
            // Far more events than the ring holds; nobody drains it. A waiting producer never returns.
            for (uint32 i = 0; i < Profiler::kEventRingSize; ++i)
            {
                MX_PROFILE_ZONE("ProfilerTests::Inner");
                Profiler::Message(i, 0, 0, "message %u", i);
            }
            record = Profiler::Core::GetThreadRecord();
        })
        .join();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Pending(record), Profiler::kEventRingSize);
    EXPECT_GT(Profiler::GetDroppedEvents(), droppedBefore);
    // Every zone that began in the ring also ended in it, the outer one included.
    uint32 begins = 0, ends = 0;
    for (uint32 i = Profiler::EventsOf(record->released.load());
         i != Profiler::EventsOf(record->published.load()); ++i)
    {
        uint8 type = record->events[i & (Profiler::kEventRingSize - 1)].bytes[0];
        begins += type == kZoneBegin;
        ends += type == kZoneEnd;
    }
    EXPECT_GT(begins, 0u);
    EXPECT_EQ(begins, ends);
}

// ---------------------------------------------------------------------------------------------
// The send thread against a viewer played by the test.

class FakeViewer
{
public:
    FakeViewer()
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(a);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && listen(m_listener, 4) == 0 &&
            getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &length) == 0)
            port = ntohs(a.sin_port);
    }
    ~FakeViewer()
    {
        if (m_connection >= 0)
            close(m_connection);
        close(m_listener);
    }

    bool Accept(int timeoutMs = 5000)
    {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return false;
        m_connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        return m_connection >= 0;
    }

    bool ReadPacket(uint16_t& type, std::vector<uint8_t>& payload, int timeoutMs = 5000)
    {
        uint32_t header;
        if (!ReadExactly(&header, 4, timeoutMs))
            return false;
        type = HeaderType(header);
        payload.resize(HeaderLength(header));
        return ReadExactly(payload.data(), uint32_t(payload.size()), timeoutMs);
    }

    // Reads packets until one of `type` arrives; false on time-out or end of stream.
    bool ReadUntil(uint16_t wanted, std::vector<uint8_t>& payload, int timeoutMs = 5000)
    {
        uint16_t type = 0;
        while (ReadPacket(type, payload, timeoutMs))
            if (type == wanted)
                return true;
        return false;
    }

    // Discards what arrives until the program closes the connection.
    bool WaitClosed(int timeoutMs = 5000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        while (std::chrono::steady_clock::now() < end)
        {
            pollfd p{m_connection, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = recv(m_connection, buffer, sizeof(buffer), 0);
            if (n <= 0)
                return true;
        }
        return false;
    }

    void Send(const void* data, size_t size)
    {
        ASSERT_EQ(send(m_connection, data, size, MSG_NOSIGNAL), ssize_t(size));
    }
    void SendPacket(uint16_t type, const std::vector<uint8_t>& payload)
    {
        uint32_t header = MakeHeader(type, uint32_t(payload.size()));
        std::vector<uint8_t> bytes(4 + payload.size());
        std::memcpy(bytes.data(), &header, 4);
        if (!payload.empty())
            std::memcpy(bytes.data() + 4, payload.data(), payload.size());
        Send(bytes.data(), bytes.size());
    }

    uint16_t port = 0;

private:
    bool ReadExactly(void* out, uint32_t size, int timeoutMs)
    {
        uint8_t* at = static_cast<uint8_t*>(out);
        while (size > 0)
        {
            pollfd p{m_connection, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return false;
            ssize_t n = recv(m_connection, at, size, 0);
            if (n <= 0)
                return false;
            at += n;
            size -= uint32_t(n);
        }
        return true;
    }

    int m_listener = -1;
    int m_connection = -1;
};

std::vector<uint8_t> U64Payload(uint64_t v)
{
    std::vector<uint8_t> p(8);
    std::memcpy(p.data(), &v, 8);
    return p;
}

uint16_t UnusedPort()
{
    FakeViewer probe;
    return probe.port; // closed again when the probe goes
}

// Reaches the program's listening socket as a viewer would and asks it to connect to `viewerPort`.
bool AskToConnectBack(uint16_t listenPort, uint16_t viewerPort, const char* viewerHost = "127.0.0.1")
{
    int s = -1;
    for (int attempt = 0; attempt < 100 && s < 0; ++attempt)
    {
        s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(listenPort);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        {
            close(s);
            s = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (s < 0)
        return false;
    PayloadWriter w;
    w.String(viewerHost, uint32_t(std::strlen(viewerHost)));
    w.U16(viewerPort);
    uint32_t header = MakeHeader(kConnectRequest, w.Size());
    bool sent = send(s, &header, 4, MSG_NOSIGNAL) == 4 &&
                send(s, w.Data(), w.Size(), MSG_NOSIGNAL) == ssize_t(w.Size());
    close(s);
    return sent;
}

class ProfilerConnectionTest : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // The loopback viewer is only dialled while a viewer announces itself. The semaphore is
        // shared by every viewer of the machine and stays in place.
        sem_t* s = sem_open("/MorvexProfilerStarted", O_CREAT, 0644, 0);
        if (s != SEM_FAILED)
            sem_close(s);
        if (!CmdSystem::IsInitialized())
            CmdSystem::Init();
        Profiler::Init(Profiler::StartOptions{});
        ProfilerSendThread::SetListenPort(0);
    }

    void SetUp() override
    {
        if (!Profiler::IsSupported())
            GTEST_SKIP() << "no rdtscp";
    }
    void TearDown() override
    {
        Profiler::Activate(false);
        ProfilerSendThread::SetListenPort(0);
        ProfilerSendThread::SetDrainHookForTests(nullptr);
    }

    // Activates towards the viewer and takes its connection and handshake.
    void Connect(FakeViewer& viewer)
    {
        Profiler::SetTarget("127.0.0.1", viewer.port);
        Profiler::Activate(true);
        ASSERT_TRUE(viewer.Accept());
        std::vector<uint8_t> handshake;
        uint16_t type = 0;
        ASSERT_TRUE(viewer.ReadPacket(type, handshake));
        ASSERT_EQ(type, kHandshake);
        m_handshake = handshake;
    }

    std::vector<uint8_t> m_handshake;
};

struct Decoded
{
    struct Message
    {
        uint32_t thread;
        uint64_t value;
        std::string text; // the text its reference names when the event arrives
    };
    std::vector<std::string> threadNames;
    std::map<uint32_t, std::string> timers;
    std::vector<std::string> texts;
    std::vector<uint32_t> beganTimers;
    std::vector<Message> messages;
    uint32_t ends = 0;
    bool goodbye = false;
    // What a viewer could not make sense of: events of an undescribed thread slot, an end without
    // a begin, a depth that is not the count of open zones, a slot described anew while the zones
    // of its previous thread are open.
    std::vector<std::string> zoneErrors;
};

// Follows the stream packet by packet, as a viewer would.
class StreamDecoder
{
public:
    Decoded d;

    void Handle(uint16_t type, const std::vector<uint8_t>& p)
    {
        PayloadReader r(p.data(), uint32_t(p.size()));
        const char* text;
        uint32_t length, u32;
        uint8_t u8;
        uint64_t u64;
        switch (type)
        {
        case kGoodbye:
            d.goodbye = true;
            break;
        case kThreadDescription:
        {
            uint32_t thread = 0;
            if (r.U32(thread) && r.U8(u8) && r.U32(u32) && r.U64(u64) && r.StringView(text, length))
                d.threadNames.emplace_back(text, length);
            if (open.count(thread) != 0 && open[thread] != 0)
                error(thread, "described anew with " + std::to_string(open[thread]) + " zones open");
            open[thread] = 0;
            break;
        }
        case kTimerDescription:
            if (r.U32(u32) && r.StringView(text, length))
                d.timers[u32].assign(text, length);
            break;
        case kTextData:
        {
            uint32_t thread = 0;
            r.U32(thread);
            while (r.U32(u32) && r.StringView(text, length))
            {
                d.texts.emplace_back(text, length);
                ringTexts[thread][u32].assign(text, length);
            }
            break;
        }
        case kEventData:
        {
            uint16_t count = 0;
            uint32_t thread = 0;
            r.U16(count);
            r.U32(thread);
            for (uint32_t i = 0; i < count; ++i)
            {
                uint8_t kind = 0;
                uint64_t v[6] = {};
                r.U8(kind);
                uint32_t fields = kind == kZoneBegin ? 6 : kind == kMessage ? 5 : 2;
                for (uint32_t f = 0; f < fields; ++f)
                    r.Varint(v[f]);
                if (open.count(thread) == 0)
                    error(thread, "events before the thread's description");
                if (kind == kZoneBegin)
                {
                    d.beganTimers.push_back(uint32_t(v[2]));
                    if (v[4] != ++open[thread])
                        error(thread, "begin at depth " + std::to_string(v[4]) + " with " +
                                          std::to_string(open[thread] - 1) + " open");
                }
                if (kind == kZoneEnd)
                {
                    if (open[thread] == 0)
                        error(thread, "end without a begin");
                    else if (v[1] != --open[thread])
                        error(thread, "end at depth " + std::to_string(v[1]) + " with " +
                                          std::to_string(open[thread]) + " open");
                }
                if (kind == kMessage)
                    d.messages.push_back({thread, v[2], ringTexts[thread][uint32_t(v[1])]});
                d.ends += kind == kZoneEnd;
            }
            EXPECT_TRUE(r.AtEnd());
            break;
        }
        case kSymbolData:
            while (r.U64(u64) && r.StringView(text, length))
                symbols.emplace_back(u64, std::string(text, length));
            EXPECT_TRUE(r.AtEnd());
            break;
        default:
            break;
        }
    }

    std::vector<std::pair<uint64_t, std::string>> symbols;

private:
    void error(uint32_t thread, const std::string& what)
    {
        d.zoneErrors.push_back("thread " + std::to_string(thread) + ": " + what);
    }

    std::map<uint32_t, std::map<uint32_t, std::string>> ringTexts; // thread -> position -> text
    std::map<uint32_t, uint32_t> open;                             // thread -> zones open
};

Decoded ReadToGoodbye(FakeViewer& viewer)
{
    StreamDecoder decoder;
    uint16_t type = 0;
    std::vector<uint8_t> p;
    while (!decoder.d.goodbye && viewer.ReadPacket(type, p))
        decoder.Handle(type, p);
    return decoder.d;
}

bool Has(const std::vector<std::string>& list, const std::string& what)
{
    return std::find(list.begin(), list.end(), what) != list.end();
}

TEST_F(ProfilerConnectionTest, StreamsHandshakeThreadsTimersZonesAndTextsThenSaysGoodbye)
{
    FakeViewer viewer;
    Connect(viewer);
    ASSERT_EQ(m_handshake.size(), kHandshakeSize);
    uint32_t magic, version, pid;
    std::memcpy(&magic, m_handshake.data(), 4);
    std::memcpy(&version, m_handshake.data() + 4, 4);
    std::memcpy(&pid, m_handshake.data() + Handshake::kProcessId, 4);
    EXPECT_EQ(magic, kHandshakeMagic);
    EXPECT_EQ(version, kProtocolVersion);
    EXPECT_EQ(pid, uint32_t(getpid()));
    double khz;
    std::memcpy(&khz, m_handshake.data() + Handshake::kFrequencyKHz, 8);
    EXPECT_GT(khz, 1000.0); // above 1 MHz
    StaticString64_t identity;
    ASSERT_EQ(GetModuleSignature("/proc/self/exe", identity), EModuleSignatureResult::kOk);
    EXPECT_STREQ(reinterpret_cast<const char*>(m_handshake.data() + Handshake::kModuleIdentity),
                 identity.c_str());

    {
        MX_PROFILE_ZONE("ProfilerTests::Streamed");
        Profiler::ScopedLockEvent wait(Profiler::kLockWait, this);
        Profiler::EndZone(Profiler::BeginZone(Profiler::RegisterTimer("ProfilerTests::WithText"), this, 0,
                                              "the zone's text"));
        MX_LOG_WARNING("ProfilerTests: a forwarded line");
    }
    // The send thread records its own zones from its first pass on.
    auto sendThreadRecorded = []
    {
        for (uint32 i = 0; i < Profiler::Core::GetRecordCount(); ++i)
        {
            const Profiler::ThreadRecord* record = Profiler::Core::GetRecord(i);
            if (record != nullptr && std::strcmp(record->name, "Profiler") == 0)
                return true;
        }
        return false;
    };
    for (int i = 0; i < 500 && !sendThreadRecorded(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Profiler::Activate(false);
    Decoded d = ReadToGoodbye(viewer);
    EXPECT_TRUE(d.goodbye);
    EXPECT_TRUE(Has(d.threadNames, "Main Thread"));
    EXPECT_TRUE(Has(d.threadNames, "Profiler"));
    EXPECT_TRUE(Has(d.texts, "the zone's text"));
    EXPECT_TRUE(Has(d.texts, "ProfilerTests: a forwarded line"));
    std::vector<std::string> began;
    for (uint32_t id : d.beganTimers)
        began.push_back(d.timers[id]);
    EXPECT_TRUE(Has(began, "ProfilerTests::Streamed"));
    EXPECT_TRUE(Has(began, "ProfilerTests::WithText"));
    EXPECT_TRUE(Has(began, "LockWait"));
    // Zones still open when recording stops (the send thread's own) never end; the rest do.
    EXPECT_GE(d.ends, 3u);
    EXPECT_LE(d.ends, d.beganTimers.size());
    EXPECT_TRUE(d.zoneErrors.empty()) << testing::PrintToString(d.zoneErrors);
}

TEST_F(ProfilerConnectionTest, ValidRequestsAreAnswered)
{
    FakeViewer viewer;
    Connect(viewer);
    viewer.SendPacket(kThreadRequest, U64Payload(getpid()));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(viewer.ReadUntil(kThreadReply, reply));
    PayloadReader r(reply.data(), uint32_t(reply.size()));
    uint64_t id = 0;
    char name[64];
    ASSERT_TRUE(r.U64(id) && r.String(name, sizeof(name)));
    EXPECT_EQ(id, uint64_t(getpid()));
    EXPECT_STREQ(name, "Main Thread");

    bool second = false;
    const char* timerName = Profiler::Core::GetTimerName(Profiler::kLockHold, second);
    viewer.SendPacket(kNameRequest, U64Payload(reinterpret_cast<uint64_t>(timerName)));
    ASSERT_TRUE(viewer.ReadUntil(kNameReply, reply));
    PayloadReader n(reply.data(), uint32_t(reply.size()));
    ASSERT_TRUE(n.U64(id) && n.String(name, sizeof(name)));
    EXPECT_STREQ(name, "LockHold");
    EXPECT_EQ(ProfilerSendThread::GetState(), EConnectionState::kConnected);
}

// Each of these ends the viewer's connection and nothing else.
TEST_F(ProfilerConnectionTest, HostileBytesDropTheConnectionOnly)
{
    struct Case
    {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    auto packet = [](uint16_t type, std::vector<uint8_t> payload)
    {
        uint32_t header = MakeHeader(type, uint32_t(payload.size()));
        std::vector<uint8_t> out;
        for (uint32_t i = 0; i < 4; ++i)
            out.push_back(uint8_t(header >> (8 * i)));
        for (uint8_t b : payload)
            out.push_back(b);
        return out;
    };
    int local = 0;
    std::vector<uint8_t> symbolsShort = {5, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}; // 5 promised, 1 there
    std::vector<uint8_t> connect = {9, 0, 0, 0, '1', '2', '7', '.', '0', '.', '0', '.', '1', 0x50, 0x00};
    const Case cases[] = {
        {"garbage", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1', '\r', '\n'}},
        {"oversized length", {0xFF, 0xFF, 12, 0}},
        {"unknown type", packet(99, {})},
        {"type the program sends", packet(kEventData, {0, 0})},
        {"truncated address", packet(kModuleRequest, {1, 2, 3})},
        {"trailing bytes",
         [&]
         {
             auto p = U64Payload(1);
             p.push_back(0);
             return packet(kFunctionRequest, p);
         }()},
        {"thread id missing", packet(kThreadRequest, {})},
        {"foreign name address", packet(kNameRequest, U64Payload(reinterpret_cast<uint64_t>(&local)))},
        {"symbol count beyond the payload", packet(kSymbolsRequest, symbolsShort)},
        {"connect request while connected", packet(kConnectRequest, connect)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        FakeViewer viewer;
        Connect(viewer);
        uint32 rejected = ProfilerSendThread::GetRejectedConnections();
        viewer.Send(c.bytes.data(), c.bytes.size());
        EXPECT_TRUE(viewer.WaitClosed());
        EXPECT_EQ(ProfilerSendThread::GetRejectedConnections(), rejected + 1);
        EXPECT_TRUE(Profiler::IsActive());
        {
            MX_PROFILE_ZONE("ProfilerTests::AfterHostileBytes");
        }
        Profiler::Activate(false);
        EXPECT_FALSE(ProfilerSendThread::IsRunning());
    }
}

// The send thread stops inside its drain of one record (after it has read how far the events go)
// while the test's producer writes; a slow send thread or a busy machine does the same.
struct DrainPause
{
    static inline std::atomic<uint32> index{~0u};
    static inline std::atomic<int> left{0};
    static inline std::atomic<int> entered{0};
    static inline std::atomic<bool> resume{false};

    static void Hook(uint32 recordIndex)
    {
        if (recordIndex != index.load() || left.load() == 0)
            return;
        left.fetch_sub(1);
        entered.fetch_add(1);
        while (!resume.exchange(false))
            std::this_thread::yield();
    }
    // Never leaves the send thread waiting, whatever the test's outcome.
    ~DrainPause()
    {
        left.store(0);
        resume.store(true);
        index.store(~0u);
    }
};

template <typename Condition>
bool WaitFor(Condition condition)
{
    for (int i = 0; i < 2000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

bool Drained(const Profiler::ThreadRecord* record)
{
    return record->released.load() == record->published.load();
}

TEST_F(ProfilerConnectionTest, TextsStayWithTheirEventsWhileTheTextRingGoesRound)
{
    // Each text takes 512 bytes of the ring (its length and 508 characters): 256 of them go once
    // round, and the 256th lands where the one before them was.
    auto text = [](uint32 value)
    {
        char t[509];
        std::snprintf(t, sizeof(t), "m%06u", value);
        std::memset(t + 7, 'x', 501);
        t[508] = '\0';
        return std::string(t);
    };
    DrainPause pause;
    ProfilerSendThread::SetDrainHookForTests(&DrainPause::Hook);
    FakeViewer viewer;
    Connect(viewer);
    std::atomic<int> step{0};
    std::atomic<uint32> producerIndex{0};
    std::thread producer(
        [&]
        {
            // Whole texts first, so that they line up with the ring's end; each batch drains.
            const Profiler::ThreadRecord* record = nullptr;
            for (uint32 batch = 0; batch < 3; ++batch)
            {
                for (uint32 i = 0; i < 100; ++i)
                    Profiler::Message(1000 + batch * 100 + i, 0, 0, "%s",
                                      text(1000 + batch * 100 + i).c_str());
                record = Profiler::Core::GetThreadRecord();
                if (record == nullptr || !WaitFor([record] { return Drained(record); }))
                    return;
            }
            producerIndex = record->index;
            step = 1;
            WaitFor([&] { return step.load() == 2; });
            Profiler::Message(1, 0, 0, "%s", text(1).c_str());
            step = 3;
            WaitFor([&] { return step.load() == 4; });
            for (uint32 value = 2; value <= 257; ++value)
                Profiler::Message(value, 0, 0, "%s", text(value).c_str());
            step = 5;
        });
    bool paced = WaitFor([&] { return step.load() == 1; });
    if (paced)
    {
        DrainPause::index = producerIndex.load();
        DrainPause::left = 2;
        // First pause: one message is written while the send thread is inside the drain.
        paced = WaitFor([] { return DrainPause::entered.load() == 1; });
        step = 2;
        paced = paced && WaitFor([&] { return step.load() == 3; });
        DrainPause::resume = true;
        // Second pause: a whole ring of texts is written.
        paced = paced && WaitFor([] { return DrainPause::entered.load() == 2; });
        step = 4;
        paced = paced && WaitFor([&] { return step.load() == 5; });
        DrainPause::resume = true;
    }
    producer.join();
    ASSERT_TRUE(paced);
    Profiler::Activate(false);
    ProfilerSendThread::SetDrainHookForTests(nullptr);
    Decoded d = ReadToGoodbye(viewer);
    ASSERT_TRUE(d.goodbye);
    bool sawFirst = false;
    uint32 checked = 0;
    for (const Decoded::Message& m : d.messages)
    {
        if (m.thread != producerIndex.load())
            continue;
        ++checked;
        sawFirst = sawFirst || m.value == 1;
        EXPECT_TRUE(m.text == text(uint32(m.value)))
            << "message " << m.value << " names " << m.text.substr(0, 7);
    }
    EXPECT_TRUE(sawFirst);
    EXPECT_GE(checked, 300u + 200u);
}

std::vector<std::string> TimerNames(const Decoded& d)
{
    std::vector<std::string> names;
    for (uint32_t id : d.beganTimers)
        names.push_back(d.timers.count(id) != 0 ? d.timers.at(id) : "?");
    return names;
}

// Zones open when the profiler stops, and zone begins that no stream took, never reach the next
// stream: their ends are left out, and depths count only what that stream saw begin.
TEST_F(ProfilerConnectionTest, ZonesOpenAcrossADeactivationLeaveTheNextStreamBalanced)
{
    FakeViewer first;
    Connect(first);
    uint32 open = Profiler::BeginZone(Profiler::RegisterTimer("ProfilerTests::OpenAcross"), this, 0);
    ASSERT_NE(open, 0u);
    Profiler::Activate(false);
    Decoded before = ReadToGoodbye(first);
    EXPECT_TRUE(Has(TimerNames(before), "ProfilerTests::OpenAcross"));
    EXPECT_TRUE(before.zoneErrors.empty()) << testing::PrintToString(before.zoneErrors);

    // Recorded while no send thread runs, as a thread does that records just after the stream of
    // its activation ended.
    Profiler::Core::SetRecording(true);
    uint32 unsent = Profiler::BeginZone(Profiler::RegisterTimer("ProfilerTests::Unsent"), this, 0, "unsent");
    ASSERT_NE(unsent, 0u);
    Profiler::Core::SetRecording(false);

    FakeViewer second;
    Connect(second);
    {
        MX_PROFILE_ZONE("ProfilerTests::AfterReactivation");
    }
    Profiler::EndZone(unsent);
    Profiler::EndZone(open);
    {
        MX_PROFILE_ZONE("ProfilerTests::AfterTheStaleEnds");
    }
    Profiler::Activate(false);
    Decoded after = ReadToGoodbye(second);
    ASSERT_TRUE(after.goodbye);
    std::vector<std::string> began = TimerNames(after);
    EXPECT_TRUE(Has(began, "ProfilerTests::AfterReactivation"));
    EXPECT_TRUE(Has(began, "ProfilerTests::AfterTheStaleEnds"));
    EXPECT_FALSE(Has(began, "ProfilerTests::Unsent"));
    EXPECT_FALSE(Has(began, "ProfilerTests::OpenAcross"));
    EXPECT_TRUE(after.zoneErrors.empty()) << testing::PrintToString(after.zoneErrors);
}

TEST_F(ProfilerConnectionTest, ZonesOpenWhenTheViewerDropsLeaveTheNextConnectionBalanced)
{
    uint16_t listenPort = UnusedPort();
    ProfilerSendThread::SetListenPort(listenPort);
    FakeViewer first;
    Connect(first);
    uint32 open = Profiler::BeginZone(Profiler::RegisterTimer("ProfilerTests::OpenWhileDropped"), this, 0);
    ASSERT_NE(open, 0u);
    ASSERT_TRUE(WaitFor([] { return Drained(Profiler::Core::GetThreadRecord()); }));
    first.Send("junk", 4);
    ASSERT_TRUE(first.WaitClosed());

    FakeViewer second;
    ASSERT_TRUE(AskToConnectBack(listenPort, second.port));
    ASSERT_TRUE(second.Accept());
    {
        MX_PROFILE_ZONE("ProfilerTests::InsideTheDroppedOne");
    }
    Profiler::EndZone(open);
    {
        MX_PROFILE_ZONE("ProfilerTests::AfterTheDroppedOne");
    }
    Profiler::Activate(false);
    Decoded d = ReadToGoodbye(second);
    ASSERT_TRUE(d.goodbye);
    std::vector<std::string> began = TimerNames(d);
    EXPECT_TRUE(Has(began, "ProfilerTests::InsideTheDroppedOne"));
    EXPECT_TRUE(Has(began, "ProfilerTests::AfterTheDroppedOne"));
    EXPECT_TRUE(d.zoneErrors.empty()) << testing::PrintToString(d.zoneErrors);
}

// More threads than there are slots, one after the other, as a task graph's workers come and go:
// each ended thread's slot goes to a later one once the send thread has taken its events.
TEST_F(ProfilerConnectionTest, EndedThreadsGiveTheirSlotsToNewOnes)
{
    FakeViewer viewer;
    Connect(viewer);
    CapturingSink sink;
    const uint16 timer = Profiler::RegisterTimer("ProfilerTests::ShortLived");
    const uint32 threads = Profiler::kMaxThreads + 64;
    for (uint32 i = 0; i < threads; ++i)
    {
        ASSERT_TRUE(WaitFor([] { return Profiler::Core::GetRecordsInUse() < Profiler::kMaxThreads; }));
        std::thread(
            [timer, i, &sink]
            {
                char text[32];
                std::snprintf(text, sizeof(text), "short-lived %u", i);
                // Left open: it ends with the thread.
                Profiler::BeginZone(timer, &sink, 0);
                Profiler::EndZone(Profiler::BeginZone(timer, &sink, 0, text));
            })
            .join();
    }
    Profiler::Activate(false);
    Decoded d = ReadToGoodbye(viewer);
    ASSERT_TRUE(d.goodbye);
    uint32 seen = 0;
    for (uint32 i = 0; i < threads; ++i)
        seen += Has(d.texts, "short-lived " + std::to_string(i)) ? 1 : 0;
    EXPECT_EQ(seen, threads);
    std::vector<std::string> began = TimerNames(d);
    EXPECT_EQ(uint32(std::count(began.begin(), began.end(), "ProfilerTests::ShortLived")), 2 * threads);
    EXPECT_TRUE(d.zoneErrors.empty()) << testing::PrintToString(d.zoneErrors);
    EXPECT_EQ(sink.CountContaining("further threads are not profiled"), 0u);
    EXPECT_LE(Profiler::Core::GetRecordCount(), Profiler::kMaxThreads);
}

// A function of this file alone: only the symbol tables or debug information name it.
[[gnu::noinline]] int LocalMarkerFunction(int x)
{
    asm volatile("" : "+r"(x));
    return x * 7 + 3;
}

uint64_t MarkerAddress()
{
    return reinterpret_cast<uint64_t>(&LocalMarkerFunction);
}

std::vector<uint8_t> SymbolsRequest(const std::vector<uint64_t>& addresses)
{
    PayloadWriter w;
    w.U32(uint32_t(addresses.size()));
    for (uint64_t a : addresses)
        w.U64(a);
    return std::vector<uint8_t>(w.Data(), w.Data() + w.Size());
}

TEST_F(ProfilerConnectionTest, SymbolsRequestsAreAnsweredWithTheEnginesSymboliser)
{
    FakeViewer viewer;
    Connect(viewer);
    // Far more answers than one packet holds, with addresses that stand for nothing among them.
    std::vector<uint64_t> addresses = {MarkerAddress(), 0, ~0ull, MarkerAddress() + 4};
    while (addresses.size() < 2000)
        addresses.push_back(MarkerAddress() + addresses.size() % 4);
    viewer.SendPacket(kSymbolsRequest, SymbolsRequest(addresses));
    StreamDecoder decoder;
    uint16_t type = 0;
    std::vector<uint8_t> p;
    uint32_t packets = 0;
    while (decoder.symbols.size() < addresses.size() && viewer.ReadPacket(type, p))
    {
        packets += type == kSymbolData;
        decoder.Handle(type, p);
    }
    ASSERT_EQ(decoder.symbols.size(), addresses.size());
    EXPECT_GT(packets, 1u);
    for (size_t i = 0; i < addresses.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(decoder.symbols[i].first, addresses[i]);
        if (addresses[i] == 0 || addresses[i] == ~0ull)
            EXPECT_EQ(decoder.symbols[i].second, "");
        else
            EXPECT_NE(decoder.symbols[i].second.find("LocalMarkerFunction"), std::string::npos)
                << decoder.symbols[i].second;
        if (HasFailure())
            break;
    }
    EXPECT_EQ(ProfilerSendThread::GetState(), EConnectionState::kConnected);
}

// Symbolisation shares one lock with every stack trace of the process: while another thread holds
// it, events still stream, and the answer follows once the lock is free.
TEST_F(ProfilerConnectionTest, SymbolsWaitingForTheSymbolisationLockDoNotHoldUpTheStream)
{
    // Holds the lock from inside a symbolisation until released; never past the test.
    struct Holder final : StackFrameVisitor
    {
        std::atomic<bool> inside{false};
        std::atomic<bool> release{false};
        std::thread thread;
        void OnFrame(const StackFrameInfo&) override
        {
            inside = true;
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        void Release()
        {
            release = true;
            if (thread.joinable())
                thread.join();
        }
        ~Holder() { Release(); }
    } holder;
    holder.thread = std::thread(
        [&holder]
        {
            void* frame = reinterpret_cast<void*>(MarkerAddress() + 1);
            SymbolizeStack(&frame, 1, holder);
        });
    ASSERT_TRUE(WaitFor([&holder] { return holder.inside.load(); }));

    FakeViewer viewer;
    Connect(viewer);
    viewer.SendPacket(kSymbolsRequest, SymbolsRequest({MarkerAddress()}));
    Profiler::Message(4242, 0, 0, "while the symbols wait");
    StreamDecoder decoder;
    uint16_t type = 0;
    std::vector<uint8_t> p;
    auto messageArrived = [&decoder]
    {
        for (const Decoded::Message& m : decoder.d.messages)
            if (m.value == 4242)
                return true;
        return false;
    };
    while (!messageArrived() && viewer.ReadPacket(type, p))
        decoder.Handle(type, p);
    EXPECT_TRUE(messageArrived());
    EXPECT_TRUE(decoder.symbols.empty());
    holder.Release();
    while (decoder.symbols.empty() && viewer.ReadPacket(type, p))
        decoder.Handle(type, p);
    ASSERT_EQ(decoder.symbols.size(), 1u);
    EXPECT_NE(decoder.symbols[0].second.find("LocalMarkerFunction"), std::string::npos);
}

TEST_F(ProfilerConnectionTest, AbsentViewerIsAWarningWithHostAndPort)
{
    uint16_t port = UnusedPort();
    CapturingSink sink;
    Profiler::SetTarget("127.0.0.1", port);
    Profiler::Activate(true);
    EXPECT_TRUE(sink.Contains(Log::Warning, "Can't connect to Profiler at `127.0.0.1:" +
                                                std::to_string(port) + "` (perhaps it isn't running?)"));
    EXPECT_EQ(ProfilerSendThread::GetState(), EConnectionState::kFailed);
    {
        MX_PROFILE_ZONE("ProfilerTests::NobodyListens");
    }
    Profiler::Activate(false);
}

TEST_F(ProfilerConnectionTest, SaveChecksItsArgumentsInOrderThenAsksTheViewer)
{
    Morvex::Test::TempDir dir;
    auto run = [](const std::string& line)
    {
        CapturingSink sink;
        CmdSystem::AddText((line + "\n").c_str());
        CmdSystem::Execute();
        std::string errors;
        for (const auto& l : sink.Lines())
            if (l.level == Log::Error)
                errors += l.text;
        return errors;
    };
    EXPECT_EQ(run("Profiler.Save " + dir.Path() + "/a.mxprofiler 0"), "Profiler connection must be active");

    FakeViewer viewer;
    Connect(viewer);
    const std::string usage =
        "Usage: /Profiler.Save <filename> <compression>. Compression: 0 - no compression, 1 - zstd, 2 - lz4";
    const std::string compression = "Incorrect compression mode. Compression: 0 \xE2\x80\x94 no compression, "
                                    "1 \xE2\x80\x94 zstd, 2 \xE2\x80\x94 lz4";
    struct Case
    {
        std::string line;
        std::string error;
    };
    const Case cases[] = {
        {"Profiler.Save", usage},
        {"Profiler.Save " + dir.Path() + "/a.mxprofiler", usage},
        {"Profiler.Save " + dir.Path() + "/a.txt 0", "File extension must be .mxprofiler"},
        {"Profiler.Save " + dir.Path() + "/missing/a.mxprofiler 0",
         "Folder path for this file doesn't exist"},
        {"Profiler.Save " + dir.Path() + "/a.mxprofiler 3", compression},
        {"Profiler.Save " + dir.Path() + "/a.mxprofiler x", compression},
    };
    for (const Case& c : cases)
        EXPECT_EQ(run(c.line), c.error) << c.line;

    EXPECT_EQ(run("Profiler.Save " + dir.Path() + "/a.mxprofiler 1"), "");
    std::vector<uint8_t> save;
    ASSERT_TRUE(viewer.ReadUntil(kSaveRequest, save));
    PayloadReader r(save.data(), uint32_t(save.size()));
    char path[300];
    uint32_t mode = 9;
    ASSERT_TRUE(r.String(path, sizeof(path)) && r.U32(mode) && r.AtEnd());
    EXPECT_EQ(std::string(path), dir.Path() + "/a.mxprofiler");
    EXPECT_EQ(mode, 1u);
}

TEST_F(ProfilerConnectionTest, DroppedViewerLeavesAListenerThatConnectsBackOnRequest)
{
    uint16_t listenPort = UnusedPort();
    ProfilerSendThread::SetListenPort(listenPort);
    FakeViewer first;
    Connect(first);
    first.Send("junk", 4);
    ASSERT_TRUE(first.WaitClosed());

    // A second viewer reaches the listener and tells the program where to connect back.
    FakeViewer second;
    ASSERT_TRUE(AskToConnectBack(listenPort, second.port));
    ASSERT_TRUE(second.Accept());
    std::vector<uint8_t> handshake;
    uint16_t type = 0;
    ASSERT_TRUE(second.ReadPacket(type, handshake));
    EXPECT_EQ(type, kHandshake);
    EXPECT_EQ(handshake.size(), kHandshakeSize);
}

// A connect-back that cannot be made (nobody at the port, a name that does not resolve) is a warning;
// the listener goes on waiting for the next viewer.
TEST_F(ProfilerConnectionTest, FailedConnectBackLeavesTheListenerForTheNextViewer)
{
    uint16_t listenPort = UnusedPort();
    ProfilerSendThread::SetListenPort(listenPort);
    FakeViewer first;
    Connect(first);
    first.Send("junk", 4);
    ASSERT_TRUE(first.WaitClosed());

    for (const char* host : {"127.0.0.1", "no-such-host.invalid"})
    {
        SCOPED_TRACE(host);
        ASSERT_TRUE(AskToConnectBack(listenPort, UnusedPort(), host));
        FakeViewer next;
        ASSERT_TRUE(AskToConnectBack(listenPort, next.port));
        ASSERT_TRUE(next.Accept());
        std::vector<uint8_t> handshake;
        uint16_t type = 0;
        ASSERT_TRUE(next.ReadPacket(type, handshake));
        EXPECT_EQ(type, kHandshake);
        next.Send("junk", 4); // back to listening for the next round
        ASSERT_TRUE(next.WaitClosed());
    }
    CapturingSink sink;
    Profiler::Activate(false);
    EXPECT_TRUE(sink.Contains(Log::Warning, "Can't connect to Profiler at `no-such-host.invalid:"));
}

// Whatever reaches the listening socket and then says nothing (or half a request) holds the one
// place of the listener only for the connect time-out: the next viewer still gets its connect-back.
TEST_F(ProfilerConnectionTest, SilentPeerAtTheListenerDoesNotLockOutTheNextViewer)
{
    uint16_t listenPort = UnusedPort();
    ProfilerSendThread::SetListenPort(listenPort);
    FakeViewer first;
    Connect(first);
    first.Send("junk", 4);
    ASSERT_TRUE(first.WaitClosed());

    for (size_t partial : {size_t(0), size_t(6)})
    {
        SCOPED_TRACE(partial);
        ASSERT_TRUE(WaitFor([] { return ProfilerSendThread::GetState() == EConnectionState::kListening; }));
        int idle = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(listenPort);
        ASSERT_EQ(connect(idle, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        const uint8_t request[] = {9, 0, kConnectRequest, 0, 9, 0, 0, 0};
        ASSERT_EQ(send(idle, request, partial, MSG_NOSIGNAL), ssize_t(partial));
        ASSERT_TRUE(WaitFor([] { return ProfilerSendThread::GetState() == EConnectionState::kAccepted; }));

        uint32 rejected = ProfilerSendThread::GetRejectedConnections();
        FakeViewer next;
        ASSERT_TRUE(AskToConnectBack(listenPort, next.port));
        ASSERT_TRUE(next.Accept(15000));
        std::vector<uint8_t> handshake;
        uint16_t type = 0;
        ASSERT_TRUE(next.ReadPacket(type, handshake));
        EXPECT_EQ(type, kHandshake);
        EXPECT_EQ(ProfilerSendThread::GetRejectedConnections(), rejected + 1);
        close(idle);
        next.Send("junk", 4); // back to listening for the next round
        ASSERT_TRUE(next.WaitClosed());
    }
}

// Near the end: it uses up the thread records of the process.
class ProfilerRecordingLast : public ProfilerRecording
{
};

TEST_F(ProfilerRecordingLast, ThreadsPastTheCapRecordNothingAndNothingFails)
{
    Profiler::Core::SetRecording(true);
    CapturingSink sink;
    uint64 droppedBefore = Profiler::GetDroppedEvents();
    // No send thread runs: the slots of ended threads are not given back.
    uint32 start = Profiler::Core::GetRecordsInUse();
    const uint32 threads = Profiler::kMaxThreads - start + 20;
    for (uint32 i = 0; i < threads; ++i)
        std::thread([] { MX_PROFILE_ZONE("ProfilerTests::PerThread"); }).join();
    EXPECT_EQ(Profiler::Core::GetRecordsInUse(), Profiler::kMaxThreads);
    EXPECT_GE(Profiler::GetDroppedEvents() - droppedBefore, 20u);
    EXPECT_EQ(sink.CountContaining("further threads are not profiled"), 1u);
}

// Last in the file: it leaves the registry full for the rest of the process.
TEST(ProfilerTimersLast, RegistryFullAssertsAndAnswersInvalid)
{
    AssertRecorder recorder;
    char name[32];
    // The first registration also creates the profiler with its lock timers.
    ASSERT_EQ(Profiler::RegisterTimer("LockWait"), Profiler::kLockWait);
    for (uint32 i = Profiler::Core::GetTimerCount(); i < Profiler::kMaxTimers; ++i)
    {
        std::snprintf(name, sizeof(name), "Filler %u", i);
        ASSERT_NE(Profiler::RegisterTimer(name), Profiler::kInvalidTimer);
    }
    EXPECT_EQ(recorder.Count(), 0u);
    EXPECT_EQ(Profiler::RegisterTimer("One too many"), Profiler::kInvalidTimer);
    EXPECT_TRUE(recorder.Saw("numTimers < kMaxTimers"));
    // Names already there still answer.
    EXPECT_EQ(Profiler::RegisterTimer("LockHold"), Profiler::kLockHold);
}

} // namespace
