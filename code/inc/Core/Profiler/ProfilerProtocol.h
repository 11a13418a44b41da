#pragma once
// The wire format between the profiler's send thread and a viewer: framing, packet types, the
// variable-length integers of event packets and bounded readers for untrusted payloads. Header-only
// and free of engine dependencies, so that viewer-side tools share the exact encoding.
//
// A packet is a 4-byte little-endian header, (type << 16) + payload length, followed by the
// payload; header and payload together hold at most kMaxPacketSize bytes. Strings are a u32 length
// followed by the bytes, without a terminator.

#include <cstdint>
#include <cstring>

namespace Morvex
{
namespace ProfilerProtocol
{
constexpr uint32_t kMaxPacketSize = 0x4000;
constexpr uint32_t kHeaderSize = 4;
constexpr uint32_t kMaxPayloadSize = kMaxPacketSize - kHeaderSize;
constexpr uint32_t kHandshakeMagic = 0x54505246; // "FRPT"
constexpr uint32_t kProtocolVersion = 4;
constexpr uint32_t kHandshakeSize = 568;
constexpr uint16_t kDefaultViewerPort = 1980;
constexpr uint16_t kListenPort = 1985;
constexpr uint32_t kMaxConnectHostLength = 128;
// Bit 31 of a timer description's id: the timer belongs to the second name space.
constexpr uint32_t kTimerSecondNamespace = 0x80000000u;
// Zone flag of the lock timers' zones.
constexpr uint16_t kZoneFlagLock = 1;

enum EPacketType : uint16_t
{
    kHandshake = 1,
    kGoodbye = 2,
    kThreadDescription = 3,
    kTimerDescription = 4,
    kEventData = 5,
    kTextData = 6,
    kCallStackData = 7,
    kCallStackData2 = 8,
    kSymbolData = 9,
    kSaveRequest = 10,
    // From the viewer.
    kConnectRequest = 11,
    kModuleRequest = 12,
    kFunctionRequest = 13,
    kThreadRequest = 14,
    kNameRequest = 15,
    kSymbolsRequest = 16,
    // Replies to 12..15.
    kModuleReply = 17,
    kFunctionReply = 18,
    kThreadReply = 19,
    kNameReply = 20,
};

// Event types inside an event-data packet (the first byte of each encoded event).
enum EEventType : uint8_t
{
    kZoneBegin = 0,
    kZoneEnd = 1,
    kZoneText = 2,
    kMessage = 3,
};

// Message kinds.
constexpr uint8_t kMessageInfo = 0;
constexpr uint8_t kMessageWarning = 1;
constexpr uint8_t kMessageError = 2;

// Save-request compression modes.
enum ECompression : uint32_t
{
    kCompressionNone = 0,
    kCompressionZstd = 1,
    kCompressionLz4 = 2,
};

// Handshake field offsets.
namespace Handshake
{
constexpr uint32_t kMagic = 0;
constexpr uint32_t kVersion = 4;
constexpr uint32_t kCpuInfo = 9;
constexpr uint32_t kProcessId = 16;
constexpr uint32_t kModuleBase = 24;
constexpr uint32_t kStartTimestamp = 32;
constexpr uint32_t kFlags = 40;
constexpr uint32_t kFrequencyKHz = 48;
constexpr uint32_t kExecutablePath = 56;
constexpr uint32_t kExecutablePathSize = 256;
constexpr uint32_t kComputerName = 312;
constexpr uint32_t kComputerNameSize = 128;
constexpr uint32_t kCpuBrand = 440;
constexpr uint32_t kCpuBrandSize = 64;
constexpr uint32_t kModuleIdentity = 504;
constexpr uint32_t kModuleIdentitySize = 64;
} // namespace Handshake

constexpr uint32_t MakeHeader(uint16_t type, uint32_t payloadLength)
{
    return (uint32_t(type) << 16) + payloadLength;
}
constexpr uint16_t HeaderType(uint32_t header)
{
    return uint16_t(header >> 16);
}
constexpr uint32_t HeaderLength(uint32_t header)
{
    return header & 0xFFFFu;
}

// Encodes v at `out` (room for 9 bytes); returns the bytes written.
inline uint32_t EncodeVarint(uint64_t v, uint8_t* out)
{
    if (v < 0x80)
    {
        out[0] = uint8_t(v);
        return 1;
    }
    // Byte counts after the first byte and the prefix of the first byte for each size.
    struct Step
    {
        uint64_t limit;
        uint8_t prefix;
        uint32_t tail;
    };
    static constexpr Step kSteps[] = {
        {0x3FFFull, 0x80, 1},           {0x1FFFFFull, 0xC0, 2},      {0xFFFFFFFull, 0xE0, 3},
        {0x7FFFFFFFFull, 0xF0, 4},      {0x3FFFFFFFFFFull, 0xF8, 5}, {0x1FFFFFFFFFFFFull, 0xFC, 6},
        {0xFFFFFFFFFFFFFFull, 0xFE, 7},
    };
    for (const Step& step : kSteps)
    {
        if (v <= step.limit)
        {
            // 0xFE carries no value bits: its 7 tail bytes hold all 56.
            out[0] =
                step.prefix == 0xFE ? uint8_t(0xFE) : uint8_t(step.prefix | uint8_t(v >> (8 * step.tail)));
            for (uint32_t i = 0; i < step.tail; ++i)
                out[1 + i] = uint8_t(v >> (8 * i));
            return 1 + step.tail;
        }
    }
    out[0] = 0xFF;
    for (uint32_t i = 0; i < 8; ++i)
        out[1 + i] = uint8_t(v >> (8 * i));
    return 9;
}

// Decodes one value from [*at, end); false (and *at unchanged) when the bytes end inside it.
inline bool DecodeVarint(const uint8_t** at, const uint8_t* end, uint64_t& v)
{
    const uint8_t* p = *at;
    if (p >= end)
        return false;
    uint8_t first = *p;
    uint32_t tail = 0;
    while (tail < 8 && (first & (0x80u >> tail)) != 0)
        ++tail;
    if (uint64_t(end - p) < uint64_t(1 + tail))
        return false;
    uint64_t value = 0;
    for (uint32_t i = 0; i < tail; ++i)
        value |= uint64_t(p[1 + i]) << (8 * i);
    if (tail < 7)
        value |= uint64_t(first & (0x7Fu >> tail)) << (8 * tail);
    v = value;
    *at = p + 1 + tail;
    return true;
}

// Appends to a fixed payload buffer of kMaxPayloadSize bytes. A write that does not fit sets the
// overflow flag and writes nothing; the caller checks Ok() before sending.
class PayloadWriter
{
public:
    uint8_t* Data() { return m_data; }
    const uint8_t* Data() const { return m_data; }
    uint32_t Size() const { return m_size; }
    uint32_t Room() const { return kMaxPayloadSize - m_size; }
    bool Ok() const { return !m_overflow; }
    void Reset()
    {
        m_size = 0;
        m_overflow = false;
    }

    void Bytes(const void* bytes, uint32_t count)
    {
        if (count > Room())
        {
            m_overflow = true;
            return;
        }
        if (count != 0)
            std::memcpy(m_data + m_size, bytes, count);
        m_size += count;
    }
    void U8(uint8_t v) { Bytes(&v, 1); }
    void U16(uint16_t v) { LittleEndian(v, 2); }
    void U32(uint32_t v) { LittleEndian(v, 4); }
    void U64(uint64_t v) { LittleEndian(v, 8); }
    void Varint(uint64_t v)
    {
        uint8_t tmp[9];
        Bytes(tmp, EncodeVarint(v, tmp));
    }
    void String(const char* text, uint32_t length)
    {
        U32(length);
        Bytes(text, length);
    }
    // Overwrites 2 bytes at an offset already written.
    void PatchU16(uint32_t offset, uint16_t v)
    {
        if (offset + 2 <= m_size)
        {
            m_data[offset] = uint8_t(v);
            m_data[offset + 1] = uint8_t(v >> 8);
        }
    }

private:
    void LittleEndian(uint64_t v, uint32_t bytes)
    {
        uint8_t tmp[8];
        for (uint32_t i = 0; i < bytes; ++i)
            tmp[i] = uint8_t(v >> (8 * i));
        Bytes(tmp, bytes);
    }

    uint8_t m_data[kMaxPayloadSize];
    uint32_t m_size = 0;
    bool m_overflow = false;
};

// Reads a received payload. Every read is checked against the payload's end and returns false
// (reading nothing) when the bytes are not there.
class PayloadReader
{
public:
    PayloadReader(const uint8_t* data, uint32_t size) : m_at(data), m_end(data + size) {}

    uint32_t Left() const { return uint32_t(m_end - m_at); }
    bool AtEnd() const { return m_at == m_end; }

    bool Bytes(void* out, uint32_t count)
    {
        if (count > Left())
            return false;
        if (count != 0)
            std::memcpy(out, m_at, count);
        m_at += count;
        return true;
    }
    bool U8(uint8_t& v) { return Bytes(&v, 1); }
    bool U16(uint16_t& v) { return LittleEndian(v); }
    bool U32(uint32_t& v) { return LittleEndian(v); }
    bool U64(uint64_t& v) { return LittleEndian(v); }
    bool Varint(uint64_t& v) { return DecodeVarint(&m_at, m_end, v); }
    // A string of at most `capacity - 1` bytes into `out`, NUL-terminated; longer strings, and
    // strings that run past the payload, fail.
    bool String(char* out, uint32_t capacity)
    {
        uint32_t length = 0;
        const uint8_t* start = m_at;
        if (capacity == 0 || !U32(length) || length >= capacity || length > Left())
        {
            m_at = start;
            return false;
        }
        Bytes(out, length);
        out[length] = '\0';
        return true;
    }
    // A string's bytes in place (not terminated).
    bool StringView(const char*& text, uint32_t& length)
    {
        const uint8_t* start = m_at;
        if (!U32(length) || length > Left())
        {
            m_at = start;
            return false;
        }
        text = reinterpret_cast<const char*>(m_at);
        m_at += length;
        return true;
    }

private:
    template <typename T>
    bool LittleEndian(T& v)
    {
        if (sizeof(T) > Left())
            return false;
        uint64_t value = 0;
        for (uint32_t i = 0; i < sizeof(T); ++i)
            value |= uint64_t(m_at[i]) << (8 * i);
        v = T(value);
        m_at += sizeof(T);
        return true;
    }

    const uint8_t* m_at;
    const uint8_t* m_end;
};
} // namespace ProfilerProtocol
} // namespace Morvex
