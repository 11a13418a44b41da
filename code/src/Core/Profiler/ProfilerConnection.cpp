// The send thread: drains the rings, encodes and streams them, and serves the viewer's requests.

#include "Core/Profiler/ProfilerConnection.h"

#include "Core/Assert.h"
#include "Core/Log.h"
#include "Core/Profiler/Profiler.h"
#include "Core/Profiler/ProfilerProtocol.h"
#include "Core/Str.h"
#include "Core/Threading/ThreadBase.h"
#include "Core/Threading/Threading.h"
#include "Core/Utils/StackTrace.h"
#include "ProfilerConnectionPlatform.h"
#include "ProfilerCore.h"

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace Morvex
{
namespace
{
using namespace ProfilerProtocol;
using Profiler::ThreadRecord;

constexpr uint32 kSendTimeoutMs = 5000;
constexpr uint32 kMaxEncodedEvent = 64;
constexpr uint32 kMaxPendingSaves = 4;
constexpr uint32 kMaxNotices = 8;
// A symbols request names at most this many addresses (its payload is a count and the addresses).
constexpr uint32 kMaxSymbolsPerRequest = (kMaxPayloadSize - 4) / 8;
constexpr uint32 kSymbolRequestSlots = 2;
constexpr uint32 kSymbolReplySlots = 4;
// Addresses symbolised per call: the symbolisation lock is held that long.
constexpr uint32 kSymbolChunk = 16;
constexpr uint32 kMaxSymbolName = 1024;
// libdw reads a unit's line table with about 256 KiB of arrays on the stack: a thread of 256 KiB
// overflows its stack there.
constexpr uint32 kSymbolsWorkerStack = 0x100000;

bool IsLoopbackHost(const char* host)
{
    return std::strcmp(host, "localhost") == 0 || std::strcmp(host, "127.0.0.1") == 0;
}

// Collects bytes from the viewer and hands out complete packets.
class PacketReader
{
public:
    enum EState
    {
        kState_Incomplete,
        kState_PacketReady,
        kState_Malformed,
    };

    void Reset() { m_size = 0; }
    uint8* FreeSpace() { return m_buffer + m_size; }
    uint32 FreeBytes() const { return sizeof(m_buffer) - m_size; }
    void Added(uint32 count) { m_size += count; }

    // The next packet's state; when ready, its type and payload stay valid until Consume.
    EState Next(uint16& type, const uint8*& payload, uint32& length) const
    {
        if (m_size < kHeaderSize)
            return kState_Incomplete;
        uint32 header = uint32(m_buffer[0]) | uint32(m_buffer[1]) << 8 | uint32(m_buffer[2]) << 16 |
                        uint32(m_buffer[3]) << 24;
        type = HeaderType(header);
        length = HeaderLength(header);
        if (length > kMaxPayloadSize || type < kConnectRequest || type > kSymbolsRequest)
            return kState_Malformed;
        if (m_size < kHeaderSize + length)
            return kState_Incomplete;
        payload = m_buffer + kHeaderSize;
        return kState_PacketReady;
    }
    void Consume(uint32 length)
    {
        uint32 used = kHeaderSize + length;
        std::memmove(m_buffer, m_buffer + used, m_size - used);
        m_size -= used;
    }

private:
    uint8 m_buffer[kMaxPacketSize];
    uint32 m_size = 0;
};

struct SaveRequest
{
    char path[261];
    uint32 compression;
};

// Answers the viewer's symbols requests away from the send thread: symbolisation reads debug
// information from files and shares one lock with every other stack trace of the process, so it
// must not hold up the draining of the rings. The send thread queues requests and sends the finished
// replies; each carries the serial of the connection it belongs to, and work for a connection that
// has gone is dropped.
class SymbolsWorker final : public ThreadBase
{
public:
    struct Reply
    {
        uint32 serial;
        PayloadWriter payload;
    };

    // Main thread, while neither thread runs.
    void Begin(const std::atomic<uint32>* connectionSerial);
    // Main thread: ends the thread; a request in progress is abandoned.
    void End();
    void Run() override;

    // Send thread: queues the `count` addresses that `addresses` holds. False when the queue is full:
    // the request is to be offered again later.
    bool Queue(uint32 serial, PayloadReader& addresses, uint32 count);
    // Send thread: hands each finished reply to `send`, in order.
    template <typename Send>
    void TakeReplies(Send&& send);

private:
    struct Request
    {
        uint32 serial;
        uint32 count;
        uint64 addresses[kMaxSymbolsPerRequest];
    };

    class NameVisitor final : public StackFrameVisitor
    {
    public:
        NameVisitor(char (*names)[kMaxSymbolName + 1], const uint32* slots) : m_names(names), m_slots(slots)
        {
        }
        void OnFrame(const StackFrameInfo& frame) override
        {
            char* out = m_names[m_slots[frame.index]];
            size_t length = frame.name != nullptr ? strnlen(frame.name, kMaxSymbolName) : 0;
            std::memcpy(out, frame.name, length);
            out[length] = '\0';
        }

    private:
        char (*m_names)[kMaxSymbolName + 1];
        const uint32* m_slots;
    };

    bool Stale(uint32 serial) const
    {
        return m_stopping.load(std::memory_order_acquire) ||
               m_connectionSerial->load(std::memory_order_acquire) != serial;
    }
    void Answer(const Request& request);
    // Queues m_building for the send thread, waiting for room; false when the work is stale.
    bool Push();

    const std::atomic<uint32>* m_connectionSerial = nullptr;
    std::atomic<bool> m_stopping{false};
    std::mutex m_lock;
    std::condition_variable m_wake;
    Request m_requests[kSymbolRequestSlots];
    uint32 m_requestFirst = 0;
    uint32 m_requestCount = 0;
    Reply m_replies[kSymbolReplySlots];
    uint32 m_replyFirst = 0;
    uint32 m_replyCount = 0;
    // The worker's own.
    Reply m_building;
    char m_names[kSymbolChunk][kMaxSymbolName + 1];
};

void SymbolsWorker::Begin(const std::atomic<uint32>* connectionSerial)
{
    m_connectionSerial = connectionSerial;
    m_stopping.store(false, std::memory_order_relaxed);
    m_requestFirst = m_requestCount = 0;
    m_replyFirst = m_replyCount = 0;
    SetName("ProfilerSymbolsWorker");
    Start(kSymbolsWorkerStack, ThreadPriority::Normal);
}

void SymbolsWorker::End()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping.store(true, std::memory_order_release);
    }
    m_wake.notify_all();
    Stop();
}

bool SymbolsWorker::Queue(uint32 serial, PayloadReader& addresses, uint32 count)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_requestCount == kSymbolRequestSlots || count > kMaxSymbolsPerRequest ||
            m_stopping.load(std::memory_order_relaxed))
            return false;
        Request& request = m_requests[(m_requestFirst + m_requestCount) % kSymbolRequestSlots];
        request.serial = serial;
        request.count = count;
        for (uint32 i = 0; i < count; ++i)
            addresses.U64(request.addresses[i]);
        ++m_requestCount;
    }
    m_wake.notify_all();
    return true;
}

template <typename Send>
void SymbolsWorker::TakeReplies(Send&& send)
{
    bool took = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (; m_replyCount != 0; --m_replyCount, took = true)
        {
            send(m_replies[m_replyFirst]);
            m_replyFirst = (m_replyFirst + 1) % kSymbolReplySlots;
        }
    }
    if (took)
        m_wake.notify_all();
}

bool SymbolsWorker::Push()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_wake.wait(lock, [this] { return m_replyCount < kSymbolReplySlots || Stale(m_building.serial); });
    if (Stale(m_building.serial))
        return false;
    Reply& reply = m_replies[(m_replyFirst + m_replyCount) % kSymbolReplySlots];
    reply.serial = m_building.serial;
    reply.payload.Reset();
    reply.payload.Bytes(m_building.payload.Data(), m_building.payload.Size());
    ++m_replyCount;
    m_building.payload.Reset();
    return true;
}

void SymbolsWorker::Answer(const Request& request)
{
    m_building.serial = request.serial;
    m_building.payload.Reset();
    for (uint32 first = 0; first < request.count; first += kSymbolChunk)
    {
        if (Stale(request.serial))
            return;
        uint32 count = request.count - first < kSymbolChunk ? request.count - first : kSymbolChunk;
        // The viewer names instructions; SymbolizeStack takes return addresses and looks one byte
        // back, at the call. Null and the last address stand for nothing.
        void* frames[kSymbolChunk];
        uint32 slots[kSymbolChunk];
        uint32 frameCount = 0;
        for (uint32 i = 0; i < count; ++i)
        {
            m_names[i][0] = '\0';
            uint64 address = request.addresses[first + i];
            if (address != 0 && address != ~0ull)
            {
                frames[frameCount] = reinterpret_cast<void*>(uintptr_t(address + 1));
                slots[frameCount++] = i;
            }
        }
        NameVisitor visitor(m_names, slots);
        SymbolizeStack(frames, frameCount, visitor);
        for (uint32 i = 0; i < count; ++i)
        {
            uint32 length = uint32(strnlen(m_names[i], kMaxSymbolName));
            if (m_building.payload.Room() < 12 + length && !Push())
                return;
            m_building.payload.U64(request.addresses[first + i]);
            m_building.payload.String(m_names[i], length);
        }
    }
    if (m_building.payload.Size() != 0)
        Push();
}

void SymbolsWorker::Run()
{
    for (;;)
    {
        const Request* request = nullptr;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_wake.wait(lock,
                        [this] { return m_stopping.load(std::memory_order_relaxed) || m_requestCount != 0; });
            if (m_stopping.load(std::memory_order_relaxed))
                return;
            request = &m_requests[m_requestFirst];
        }
        // The slot stays taken while it is read: Queue fills only slots past the count.
        {
            MX_PROFILE_ZONE("Resolve symbols");
            Answer(*request);
        }
        std::lock_guard<std::mutex> guard(m_lock);
        m_requestFirst = (m_requestFirst + 1) % kSymbolRequestSlots;
        --m_requestCount;
    }
}

class SendThread final : public ThreadBase
{
public:
    void Run() override;

    // Main thread before the thread starts, or the send thread.
    void Connect(const char* host, uint16 port);
    void CloseAll();

    std::atomic<uint32> m_state{uint32(EConnectionState::kNotStarted)};
    int m_transmitSocket = -1;
    int m_listenSocket = -1;
    int m_acceptedSocket = -1;
    uint16 m_listenPort = kListenPort;
    uint32 m_connectTimeoutMs = 2000;
    // When the viewer of the listening socket came in.
    uint64 m_acceptedAtNs = 0;
    uint64 m_moduleBase = 0;
    double m_frequencyKHz = 0;
    uint32 m_describedTimers = 0;
    std::atomic<uint32> m_rejected{0};
    // Counts the connections made and dropped: replies of the symbols worker carry it.
    std::atomic<uint32> m_connectionSerial{0};
    SymbolsWorker m_symbols;

    std::mutex m_saveLock;
    SaveRequest m_saves[kMaxPendingSaves];
    uint32 m_saveCount = 0;

    // Warnings of the send thread, logged by Stop on the stopping thread: the log's sink list may
    // change (the program adds its sinks) while this thread runs, so it never prints itself.
    void Notice(const char* format, ...) MX_PRINTF_FORMAT(2, 3);
    void LogNotices();
    std::mutex m_noticeLock;
    char m_notices[kMaxNotices][256];
    uint32 m_noticeCount = 0;
    uint32 m_noticesLost = 0;

private:
    void SetState(EConnectionState state) { m_state.store(uint32(state), std::memory_order_release); }
    EConnectionState State() const { return EConnectionState(m_state.load(std::memory_order_acquire)); }

    void Pass();
    void SendPacket(uint16 type, const PayloadWriter& payload);
    void SendHandshake();
    void DescribeThread(const ThreadRecord* record);
    void DescribeTimers();
    void Drain(ThreadRecord* record);
    void FlushEvents(ThreadRecord* record, uint32 count);
    void SendSaves();
    void SendSymbols();
    void ReceiveRequests();
    enum class ERequest
    {
        kHandled,
        kLater, // no room for it now: offered again on a later pass
        kBad,   // malformed or out of place: the connection goes
    };
    ERequest HandleRequest(uint16 type, PayloadReader& packet);
    void Reject(const char* why);
    void DropConnection();
    // What the current connection was told about each thread slot: the slot's generation described
    // (0: none) and the zones it saw begin and not yet end. Ends beyond those, whose begins went to
    // an earlier connection or to none, are left out, and depths are the connection's own.
    void ForgetThreads();
    uint32 m_describedGeneration[Profiler::kMaxThreads] = {};
    uint32 m_openZones[Profiler::kMaxThreads] = {};

    PacketReader m_packetReader;
    PayloadWriter m_writer;
    PayloadWriter m_textWriter;
    uint8 m_frame[kMaxPacketSize];
};

SendThread GSendThread;
std::atomic<void (*)(uint32)> GDrainHook{nullptr};

void SendThread::CloseAll()
{
    ProfilerPlatform::Close(m_transmitSocket);
    ProfilerPlatform::Close(m_listenSocket);
    ProfilerPlatform::Close(m_acceptedSocket);
}

void SendThread::Connect(const char* host, uint16 port)
{
    MX_ASSERT(State() != EConnectionState::kConnected);
    ProfilerPlatform::Close(m_transmitSocket);
    m_transmitSocket = ProfilerPlatform::Connect(host, port, m_connectTimeoutMs);
    if (m_transmitSocket < 0)
    {
        SetState(EConnectionState::kFailed);
        if (IsValid())
            Notice("Can't connect to Profiler at `%s:%u` (perhaps it isn't running?)", host, unsigned(port));
        else
            MX_LOG_WARNING("Can't connect to Profiler at `%s:%u` (perhaps it isn't running?)", host,
                           unsigned(port));
        return;
    }
    SetState(EConnectionState::kConnected);
    m_connectionSerial.fetch_add(1, std::memory_order_acq_rel);
    m_packetReader.Reset();
    m_writer.Reset();
    ForgetThreads();
    m_describedTimers = 0;
    SendHandshake();
}

void SendThread::SendPacket(uint16 type, const PayloadWriter& payload)
{
    MX_PROFILE_ZONE("Socket send");
    if (State() != EConnectionState::kConnected || !payload.Ok())
        return;
    uint32 header = MakeHeader(type, payload.Size());
    for (uint32 i = 0; i < 4; ++i)
        m_frame[i] = uint8(header >> (8 * i));
    std::memcpy(m_frame + kHeaderSize, payload.Data(), payload.Size());
    if (!ProfilerPlatform::SendAll(m_transmitSocket, m_frame, kHeaderSize + payload.Size(), kSendTimeoutMs))
    {
        ProfilerPlatform::Close(m_transmitSocket);
        m_connectionSerial.fetch_add(1, std::memory_order_acq_rel);
        SetState(EConnectionState::kNotStarted);
    }
}

void SendThread::SendHandshake()
{
    uint8 h[kHandshakeSize] = {};
    auto put = [&h](uint32 offset, const void* value, uint32 size) { std::memcpy(h + offset, value, size); };
    uint32 magic = kHandshakeMagic, version = kProtocolVersion, pid = ProfilerPlatform::GetProcessId();
    put(Handshake::kMagic, &magic, 4);
    put(Handshake::kVersion, &version, 4);
    ProfilerPlatform::GetCpuInfo(h + Handshake::kCpuInfo);
    put(Handshake::kProcessId, &pid, 4);
    put(Handshake::kModuleBase, &m_moduleBase, 8);
    uint64 start = Profiler::Core::GetStartTimestamp(), flags = 0xF;
    put(Handshake::kStartTimestamp, &start, 8);
    put(Handshake::kFlags, &flags, 8);
    put(Handshake::kFrequencyKHz, &m_frequencyKHz, 8);
    char* path = reinterpret_cast<char*>(h + Handshake::kExecutablePath);
    ProfilerPlatform::GetExecutablePath(path, Handshake::kExecutablePathSize);
    ProfilerPlatform::GetComputerName(reinterpret_cast<char*>(h + Handshake::kComputerName),
                                      Handshake::kComputerNameSize);
    ProfilerPlatform::GetCpuBrand(reinterpret_cast<char*>(h + Handshake::kCpuBrand),
                                  Handshake::kCpuBrandSize);
    // The symbol store files the executable under its build-id.
    StaticString64_t identity;
    if (GetModuleSignature(path, identity) == EModuleSignatureResult::kOk)
        std::memcpy(h + Handshake::kModuleIdentity, identity.c_str(),
                    strnlen(identity.c_str(), Handshake::kModuleIdentitySize - 1));
    m_writer.Reset();
    m_writer.Bytes(h, sizeof(h));
    SendPacket(kHandshake, m_writer);
}

void SendThread::ForgetThreads()
{
    std::memset(m_describedGeneration, 0, sizeof(m_describedGeneration));
    std::memset(m_openZones, 0, sizeof(m_openZones));
}

void SendThread::DescribeThread(const ThreadRecord* record)
{
    // A slot that got a new thread is described again, before the new thread's events.
    if (State() != EConnectionState::kConnected || record->generation == m_describedGeneration[record->index])
        return;
    m_describedGeneration[record->index] = record->generation;
    m_openZones[record->index] = 0;
    m_writer.Reset();
    m_writer.U32(record->index);
    m_writer.U8(0); // a CPU thread
    m_writer.U32(record->osThreadId);
    m_writer.U64(0);
    m_writer.String(record->name, uint32(strnlen(record->name, sizeof(record->name))));
    SendPacket(kThreadDescription, m_writer);
}

void SendThread::DescribeTimers()
{
    if (State() != EConnectionState::kConnected)
        return;
    uint32 timers = Profiler::Core::GetTimerCount();
    for (; m_describedTimers < timers; ++m_describedTimers)
    {
        bool second = false;
        const char* name = Profiler::Core::GetTimerName(m_describedTimers, second);
        uint32 length = uint32(strnlen(name, kMaxPayloadSize - 8));
        m_writer.Reset();
        m_writer.U32(m_describedTimers | (second ? kTimerSecondNamespace : 0));
        m_writer.String(name, length);
        SendPacket(kTimerDescription, m_writer);
    }
}

// Sends texts and events of one record published so far and gives their room back to the producer.
void SendThread::Drain(ThreadRecord* record)
{
    // One word gives both ends: the texts it covers are exactly those of the events it covers, so a
    // text's room is never given back before the event that refers to it has been sent.
    uint64 published = record->published.load(std::memory_order_acquire);
    if (auto hook = GDrainHook.load(std::memory_order_relaxed))
        hook(record->index);
    uint64 released = record->released.load(std::memory_order_relaxed);
    // Nothing published: the rings may not even exist yet (their pointers are only read once an
    // event has been published after they were made).
    if (published == released)
        return;
    uint32 produced = Profiler::EventsOf(published), textHead = Profiler::TextOf(published);
    uint32 consumed = Profiler::EventsOf(released), textTail = Profiler::TextOf(released);
    bool sending = State() == EConnectionState::kConnected;

    if (sending && textTail != textHead)
    {
        MX_PROFILE_ZONE("Consume text data");
        m_textWriter.Reset();
        m_textWriter.U32(record->index);
        uint32 at = textTail;
        while (at != textHead)
        {
            uint32 position = at & (Profiler::kTextRingBytes - 1);
            uint32 length;
            std::memcpy(&length, record->texts + position, 4);
            if (length == Profiler::kTextWrap || length > Profiler::kMaxTextLength)
            {
                at += Profiler::kTextRingBytes - position;
                continue;
            }
            if (m_textWriter.Room() < 8 + length)
            {
                SendPacket(kTextData, m_textWriter);
                m_textWriter.Reset();
                m_textWriter.U32(record->index);
            }
            m_textWriter.U32(position);
            m_textWriter.String(reinterpret_cast<const char*>(record->texts + position + 4), length);
            at += 4 + ((length + 3) & ~3u);
        }
        SendPacket(kTextData, m_textWriter);
    }

    if (sending && consumed != produced)
    {
        MX_PROFILE_ZONE("Write events");
        uint32 count = 0;
        uint64 previous = 0;
        uint32& open = m_openZones[record->index];
        const uint8 activation = uint8(Profiler::Core::GetActivation());
        uint32 leftOutSequence = 0;
        m_writer.Reset();
        m_writer.U16(0);
        m_writer.U32(record->index);
        for (uint32 i = consumed; i != produced; ++i)
        {
            const uint8* e = record->events[i & (Profiler::kEventRingSize - 1)].bytes;
            auto get = [e](uint32 offset, uint32 size)
            {
                uint64 v = 0;
                std::memcpy(&v, e + offset, size);
                return v;
            };
            if (m_writer.Room() < kMaxEncodedEvent || count == 0xFFFF)
            {
                FlushEvents(record, count);
                count = 0;
                previous = 0;
            }
            uint8 type = e[0];
            // A begin recorded after the previous activation's stream had ended never gets its end
            // (its activation is over); its text goes with it.
            if (type == kZoneBegin && e[Profiler::kBeginActivationOffset] != activation)
            {
                leftOutSequence = uint32(get(25, 4));
                continue;
            }
            bool textOfLeftOut = type == kZoneText && leftOutSequence != 0 && get(1, 4) == leftOutSequence;
            leftOutSequence = 0;
            if (textOfLeftOut || (type == kZoneEnd && open == 0))
                continue;
            m_writer.U8(type);
            switch (type)
            {
            case kZoneBegin:
            {
                uint64 ts = get(1, 8);
                m_writer.Varint(ts - previous);
                previous = ts;
                m_writer.Varint(get(9, 8) - m_moduleBase);
                m_writer.Varint(get(17, 2));
                m_writer.Varint(get(19, 2));
                m_writer.Varint(++open);
                m_writer.Varint(get(25, 4));
                break;
            }
            case kZoneEnd:
            {
                uint64 ts = get(1, 8);
                m_writer.Varint(ts - previous);
                previous = ts;
                m_writer.Varint(--open);
                break;
            }
            case kZoneText:
                m_writer.Varint(get(1, 4));
                m_writer.Varint(get(5, 4));
                break;
            default: // kMessage
            {
                uint64 ts = get(1, 8);
                m_writer.Varint(ts - previous);
                previous = ts;
                m_writer.Varint(get(9, 4));
                m_writer.Varint(get(13, 8));
                m_writer.Varint(get(21, 2));
                m_writer.Varint(get(23, 1));
                break;
            }
            }
            ++count;
        }
        FlushEvents(record, count);
    }
    // Without a viewer the events are discarded, so that producers never find their rings full.
    record->released.store(published, std::memory_order_release);
}

void SendThread::FlushEvents(ThreadRecord* record, uint32 count)
{
    if (count != 0)
    {
        MX_PROFILE_ZONE("Compress");
        m_writer.PatchU16(0, uint16(count));
        SendPacket(kEventData, m_writer);
    }
    m_writer.Reset();
    m_writer.U16(0);
    m_writer.U32(record->index);
}

void SendThread::SendSaves()
{
    std::lock_guard<std::mutex> guard(m_saveLock);
    for (uint32 i = 0; i < m_saveCount; ++i)
    {
        m_writer.Reset();
        m_writer.String(m_saves[i].path, uint32(strnlen(m_saves[i].path, sizeof(m_saves[i].path))));
        m_writer.U32(m_saves[i].compression);
        SendPacket(kSaveRequest, m_writer);
    }
    m_saveCount = 0;
}

void SendThread::SendSymbols()
{
    uint32 serial = m_connectionSerial.load(std::memory_order_relaxed);
    m_symbols.TakeReplies(
        [this, serial](const SymbolsWorker::Reply& reply)
        {
            if (reply.serial == serial)
                SendPacket(kSymbolData, reply.payload);
        });
}

void SendThread::DropConnection()
{
    m_connectionSerial.fetch_add(1, std::memory_order_acq_rel);
    ProfilerPlatform::Close(m_transmitSocket);
    ProfilerPlatform::Close(m_acceptedSocket);
    m_packetReader.Reset();
    SetState(EConnectionState::kNotStarted);
}

void SendThread::Notice(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    Str::VSNPrintf(text, sizeof(text), format, args);
    va_end(args);
    // The viewer's timeline shows it at once.
    Profiler::Message(0, 0, kMessageWarning, "%s", text);
    std::lock_guard<std::mutex> guard(m_noticeLock);
    if (m_noticeCount < kMaxNotices)
        std::memcpy(m_notices[m_noticeCount++], text, sizeof(text));
    else
        ++m_noticesLost;
}

void SendThread::LogNotices()
{
    std::lock_guard<std::mutex> guard(m_noticeLock);
    for (uint32 i = 0; i < m_noticeCount; ++i)
        MX_LOG_WARNING("%s", m_notices[i]);
    if (m_noticesLost != 0)
        MX_LOG_WARNING("Profiler: %u more warnings of the send thread were not kept", m_noticesLost);
    m_noticeCount = 0;
    m_noticesLost = 0;
}

void SendThread::Reject(const char* why)
{
    Notice("Profiler: dropped the viewer's connection (%s)", why);
    m_rejected.fetch_add(1, std::memory_order_relaxed);
    DropConnection();
}

SendThread::ERequest SendThread::HandleRequest(uint16 type, PayloadReader& packet)
{
    EConnectionState state = State();
    if (type == kConnectRequest)
    {
        char hostname[kMaxConnectHostLength + 1];
        uint16 port = 0;
        if (state != EConnectionState::kAccepted || !packet.String(hostname, sizeof(hostname)) ||
            !packet.U16(port) || !packet.AtEnd() || hostname[0] == '\0' || port == 0)
            return ERequest::kBad;
        ProfilerPlatform::Close(m_acceptedSocket);
        Connect(hostname, port);
        // A viewer that names an address nobody answers at must not leave the program unreachable:
        // the listener waits for the next one.
        if (State() == EConnectionState::kFailed)
            SetState(EConnectionState::kNotStarted);
        return ERequest::kHandled;
    }
    if (state != EConnectionState::kConnected)
        return ERequest::kBad;
    switch (type)
    {
    case kModuleRequest:
    case kFunctionRequest:
    {
        uint64 address = 0;
        if (!packet.U64(address) || !packet.AtEnd())
            return ERequest::kBad;
        const char* module = "";
        const char* symbol = "";
        uint64 base = 0;
        ProfilerPlatform::DescribeAddress(address, module, base, symbol);
        m_writer.Reset();
        m_writer.U64(address);
        if (type == kModuleRequest)
        {
            m_writer.U64(base);
            m_writer.String(module, uint32(strnlen(module, 4096)));
        }
        else
            m_writer.String(symbol, uint32(strnlen(symbol, 4096)));
        SendPacket(type == kModuleRequest ? kModuleReply : kFunctionReply, m_writer);
        return ERequest::kHandled;
    }
    case kThreadRequest:
    {
        uint64 threadId = 0;
        if (!packet.U64(threadId) || !packet.AtEnd())
            return ERequest::kBad;
        char name[ThreadInfo::kNameCapacity] = {};
        if (threadId <= 0xFFFFFFFFu)
        {
            Threading::LockRegistry();
            if (const ThreadInfo* info = Threading::FindThreadInfoByThreadId(uint32(threadId)))
                std::memcpy(name, info->name, sizeof(name));
            Threading::UnlockRegistry();
        }
        name[sizeof(name) - 1] = '\0';
        m_writer.Reset();
        m_writer.U64(threadId);
        m_writer.String(name, uint32(std::strlen(name)));
        SendPacket(kThreadReply, m_writer);
        return ERequest::kHandled;
    }
    case kNameRequest:
    {
        uint64 namePtr = 0;
        // Only the names of our own timer table are read; any other address is refused unread.
        if (!packet.U64(namePtr) || !packet.AtEnd() || !Profiler::Core::IsTimerNameAddress(namePtr))
            return ERequest::kBad;
        const char* name = reinterpret_cast<const char*>(namePtr);
        m_writer.Reset();
        m_writer.U64(namePtr);
        m_writer.String(name, uint32(strnlen(name, kMaxPayloadSize - 16)));
        SendPacket(kNameReply, m_writer);
        return ERequest::kHandled;
    }
    case kSymbolsRequest:
    {
        uint32 symbolsCount = 0;
        if (!packet.U32(symbolsCount) || packet.Left() != uint64(symbolsCount) * 8)
            return ERequest::kBad;
        return m_symbols.Queue(m_connectionSerial.load(std::memory_order_relaxed), packet, symbolsCount)
                   ? ERequest::kHandled
                   : ERequest::kLater;
    }
    default:
        return ERequest::kBad;
    }
}

void SendThread::ReceiveRequests()
{
    MX_PROFILE_ZONE("Handle server requests");
    EConnectionState state = State();
    int socket = state == EConnectionState::kAccepted    ? m_acceptedSocket
                 : state == EConnectionState::kConnected ? m_transmitSocket
                                                         : -1;
    if (socket < 0)
        return;
    // A full reader holds a whole packet waiting for room elsewhere: it is offered again first.
    if (m_packetReader.FreeBytes() != 0)
    {
        int got = ProfilerPlatform::Receive(socket, m_packetReader.FreeSpace(), m_packetReader.FreeBytes());
        if (got < 0)
        {
            DropConnection();
            return;
        }
        m_packetReader.Added(uint32(got));
    }
    for (;;)
    {
        uint16 type = 0;
        const uint8* payload = nullptr;
        uint32 length = 0;
        PacketReader::EState ready = m_packetReader.Next(type, payload, length);
        if (ready == PacketReader::kState_Incomplete)
            return;
        if (ready == PacketReader::kState_Malformed)
        {
            Reject("malformed packet header");
            return;
        }
        PayloadReader packet(payload, length);
        ERequest handled = HandleRequest(type, packet);
        if (handled == ERequest::kLater)
            return;
        if (handled == ERequest::kBad)
        {
            Reject("malformed or unexpected request");
            return;
        }
        // A connect request replaces the reader's connection: what it held belonged to the old one.
        if (type == kConnectRequest)
        {
            m_packetReader.Reset();
            return;
        }
        m_packetReader.Consume(length);
    }
}

void SendThread::Pass()
{
    if (State() == EConnectionState::kNotStarted && m_listenPort != 0)
    {
        // A connection dropped after a viewer came through the listening socket keeps that socket.
        if (m_listenSocket < 0)
            m_listenSocket = ProfilerPlatform::Listen(m_listenPort);
        SetState(m_listenSocket >= 0 ? EConnectionState::kListening : EConnectionState::kFailed);
    }
    if (State() == EConnectionState::kListening)
    {
        m_acceptedSocket = ProfilerPlatform::Accept(m_listenSocket);
        if (m_acceptedSocket >= 0)
        {
            m_packetReader.Reset();
            m_acceptedAtNs = ProfilerPlatform::MonotonicNs();
            SetState(EConnectionState::kAccepted);
        }
    }
    // The listener serves one viewer at a time: one that connects and never asks for its
    // connect-back would shut every other viewer out for the rest of the run.
    if (State() == EConnectionState::kAccepted &&
        ProfilerPlatform::MonotonicNs() - m_acceptedAtNs > uint64(m_connectTimeoutMs) * 1000000ull)
        Reject("no connect request in time");
    {
        MX_PROFILE_ZONE("Flush buffers");
        DescribeTimers();
        uint32 records = Profiler::Core::GetRecordCount();
        for (uint32 i = 0; i < records; ++i)
        {
            ThreadRecord* record = Profiler::Core::GetRecord(i);
            if (record == nullptr)
                continue;
            // Read before the drain: everything the thread published is then taken by it.
            bool ended = record->ended.load(std::memory_order_acquire);
            DescribeThread(record);
            Drain(record);
            if (ended)
                Profiler::Core::ReleaseRecord(record);
        }
        // Timers first used while draining are named in the same pass.
        DescribeTimers();
    }
    {
        MX_PROFILE_ZONE("Consume call stacks data");
        SendSaves();
    }
    {
        MX_PROFILE_ZONE("Consume symbols data");
        SendSymbols();
    }
    ReceiveRequests();
}

void SendThread::Run()
{
    while (!IsStopRequested())
    {
        Pass();
        EConnectionState state = State();
        int socket = state == EConnectionState::kAccepted    ? m_acceptedSocket
                     : state == EConnectionState::kConnected ? m_transmitSocket
                     : state == EConnectionState::kListening ? m_listenSocket
                                                             : -1;
        ProfilerPlatform::WaitReadable(socket, 1);
    }
    // Everything recorded up to the stop goes out before the goodbye.
    Pass();
    m_writer.Reset();
    SendPacket(kGoodbye, m_writer);
}

double MeasureFrequencyKHz()
{
    uint64 ns0 = ProfilerPlatform::MonotonicNs();
    uint64 ts0 = Profiler::Core::ReadTimestamp();
    ProfilerPlatform::SleepMs(10);
    uint64 ns1 = ProfilerPlatform::MonotonicNs();
    uint64 ts1 = Profiler::Core::ReadTimestamp();
    if (ns1 <= ns0)
        return 1.0;
    return double(ts1 - ts0) * 1e6 / double(ns1 - ns0);
}
} // namespace

void ProfilerSendThread::Start(const char* host, uint16 port, bool trace, void (*beforeThread)())
{
    SendThread& t = GSendThread;
    if (!MX_VERIFY(!t.ThreadBase::IsValid()))
        return;
    MX_ASSERT(t.m_transmitSocket < 0);
    t.m_moduleBase = ProfilerPlatform::GetExecutableBase();
    if (t.m_frequencyKHz == 0)
        t.m_frequencyKHz = MeasureFrequencyKHz();
    if (host == nullptr || host[0] == '\0')
        host = "localhost";
    if (!IsLoopbackHost(host) || ProfilerPlatform::ViewerAnnounced())
        t.Connect(host, port);
    if (trace)
        MX_LOG_WARNING("Failed to start system event tracing (not running under Administrator?)");
    if (beforeThread != nullptr)
        beforeThread();
    t.m_symbols.Begin(&t.m_connectionSerial);
    t.SetName("Profiler");
    t.Start(0x40000, ThreadPriority::Normal);
}

void ProfilerSendThread::Stop()
{
    SendThread& t = GSendThread;
    if (!t.IsValid())
        return;
    t.m_symbols.End();
    t.ThreadBase::Stop();
    t.CloseAll();
    t.LogNotices();
    t.m_state.store(uint32(EConnectionState::kNotStarted), std::memory_order_release);
}

bool ProfilerSendThread::IsRunning()
{
    return GSendThread.IsValid();
}

EConnectionState ProfilerSendThread::GetState()
{
    return EConnectionState(GSendThread.m_state.load(std::memory_order_acquire));
}

void ProfilerSendThread::RequestSave(const char* path, uint32 compression)
{
    SendThread& t = GSendThread;
    std::lock_guard<std::mutex> guard(t.m_saveLock);
    if (t.m_saveCount >= kMaxPendingSaves || path == nullptr)
        return;
    SaveRequest& request = t.m_saves[t.m_saveCount++];
    size_t length = strnlen(path, sizeof(request.path) - 1);
    std::memcpy(request.path, path, length);
    request.path[length] = '\0';
    request.compression = compression;
}

void ProfilerSendThread::SetConnectTimeoutMs(uint32 timeoutMs)
{
    GSendThread.m_connectTimeoutMs = timeoutMs;
}

void ProfilerSendThread::SetListenPort(uint16 port)
{
    GSendThread.m_listenPort = port;
}

uint32 ProfilerSendThread::GetRejectedConnections()
{
    return GSendThread.m_rejected.load(std::memory_order_relaxed);
}

void ProfilerSendThread::SetDrainHookForTests(void (*hook)(uint32 recordIndex))
{
    GDrainHook.store(hook, std::memory_order_relaxed);
}
} // namespace Morvex
