// ProfilerCapture: the viewer's side of the profiler connection on a local port. It takes one
// program's stream and writes it as a trace-event JSON file (zones as complete events per thread,
// lock events, log texts as instant events) that trace viewers open.
//
//   ProfilerCapture --out trace.json [--port N] [--port-file FILE] [--request-connect HOST:PORT]
//                   [--no-announce] [--timeout SECONDS]
//
// Port 0 takes any free port; --port-file receives the port's number once it listens.
// It prints "ProfilerCapture listening on 127.0.0.1:<port>" once it listens, announces itself
// through the named semaphore "/MorvexProfilerStarted" (unless --no-announce), and with
// --request-connect asks a program that listens for viewers to connect back to it. It ends when
// the program says goodbye or closes the connection. What arrived is written either way; the exit
// code is 0 only when the stream was whole (a goodbye, or a close between packets: the program may
// have crashed), else 1 with the reason on stderr. Save requests of the program are written as
// the raw packet stream, compressed as requested.

#include "Core/Profiler/ProfilerProtocol.h"

#include <lz4frame.h>
#include <zstd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace Morvex::ProfilerProtocol;

namespace
{
struct OpenZone
{
    uint32_t timer;
    double start;
    uint32_t sequence;
    bool lock;
    std::string text;
};

struct Thread
{
    uint32_t osId = 0;
    std::string name;
    std::vector<OpenZone> stack;
    std::map<uint32_t, std::string> texts; // text-ring position -> text
    double last = 0;
};

// The length of the well-formed UTF-8 sequence at text[i], or 0: overlong forms, surrogates and
// code points past U+10FFFF are not well-formed, and JSON readers refuse them.
size_t Utf8SequenceLength(const std::string& text, size_t i)
{
    auto byte = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    unsigned char second = byte(i + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) || (c == 0xF0 && second < 0x90) ||
        (c == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    size_t i = 0;
    while (i < text.size())
    {
        unsigned char c = static_cast<unsigned char>(text[i]);
        // Well-formed UTF-8 sequences pass; any other byte becomes U+FFFD, so the file stays UTF-8.
        size_t length = Utf8SequenceLength(text, i);
        if (length == 0)
        {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1)
        {
            out.append(text, i, length);
            i += length;
            continue;
        }
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += char(c);
        }
        else if (c < 0x20)
        {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        }
        else
            out += char(c);
        ++i;
    }
    return out + "\"";
}

class Capture
{
public:
    uint32_t pid = 0;
    uint64_t startTimestamp = 0;
    double frequencyKHz = 0;
    bool handshake = false;
    bool goodbye = false;
    std::string executable, identity;
    std::map<uint32_t, Thread> threads;          // by the program's thread slot
    std::map<uint32_t, std::string> threadNames; // by thread id
    std::map<uint32_t, std::string> timers;
    // Finished events; a zone's name is "\x01<timer id>" until the output names it, because a
    // timer's description may follow the first events that use it.
    std::vector<std::string> events;
    std::string stream; // every packet as received, for save requests
    uint64_t packets = 0;

    // False when the packet cannot be understood (the capture stops there).
    bool Handle(uint16_t type, const uint8_t* data, uint32_t length)
    {
        ++packets;
        PayloadReader r(data, length);
        switch (type)
        {
        case kHandshake:
        {
            if (length != kHandshakeSize)
                return false;
            uint32_t magic, version;
            std::memcpy(&magic, data + Handshake::kMagic, 4);
            std::memcpy(&version, data + Handshake::kVersion, 4);
            if (magic != kHandshakeMagic || version != kProtocolVersion)
                return false;
            std::memcpy(&pid, data + Handshake::kProcessId, 4);
            std::memcpy(&startTimestamp, data + Handshake::kStartTimestamp, 8);
            std::memcpy(&frequencyKHz, data + Handshake::kFrequencyKHz, 8);
            executable = Text(data + Handshake::kExecutablePath, Handshake::kExecutablePathSize);
            identity = Text(data + Handshake::kModuleIdentity, Handshake::kModuleIdentitySize);
            // Every time-stamp is divided by it: a counter slower than 1 kHz, or no number at all,
            // would turn them into infinities, which JSON cannot hold.
            handshake = std::isfinite(frequencyKHz) && frequencyKHz >= 1.0;
            return handshake;
        }
        case kGoodbye:
            goodbye = true;
            return true;
        case kThreadDescription:
        {
            uint32_t index, osId;
            uint8_t gpu;
            uint64_t value;
            const char* name;
            uint32_t nameLength;
            if (!r.U32(index) || !r.U8(gpu) || !r.U32(osId) || !r.U64(value) ||
                !r.StringView(name, nameLength))
                return false;
            Thread& thread = threads[index];
            // The program gives the slot of an ended thread to a new one: the old thread is over.
            if (thread.osId != 0 && thread.osId != osId)
            {
                while (!thread.stack.empty())
                    Close(index, thread, thread.last);
                thread.texts.clear();
            }
            thread.osId = osId;
            thread.name.assign(name, nameLength);
            threadNames[Tid(index)] = thread.name;
            return true;
        }
        case kTimerDescription:
        {
            uint32_t id;
            const char* name;
            uint32_t nameLength;
            if (!r.U32(id) || !r.StringView(name, nameLength))
                return false;
            timers[id].assign(name, nameLength);
            return true;
        }
        case kTextData:
        {
            uint32_t index;
            if (!r.U32(index))
                return false;
            Thread& thread = threads[index];
            while (!r.AtEnd())
            {
                uint32_t position, textLength;
                const char* text;
                if (!r.U32(position) || !r.StringView(text, textLength))
                    return false;
                thread.texts[position].assign(text, textLength);
            }
            return true;
        }
        case kEventData:
            return Events(r);
        default:
            return true; // replies and call stacks carry nothing this trace shows
        }
    }

    void Finish()
    {
        for (auto& [index, thread] : threads)
            while (!thread.stack.empty())
                Close(index, thread, thread.last);
    }

    std::string Json() const
    {
        std::string out = "{\"traceEvents\":[\n";
        bool first = true;
        for (const auto& [tid, name] : threadNames)
        {
            out += first ? "" : ",\n";
            first = false;
            out += "{\"name\":\"thread_name\",\"ph\":\"M\",\"pid\":" + std::to_string(pid) +
                   ",\"tid\":" + std::to_string(tid) + ",\"args\":{\"name\":" + JsonString(name) + "}}";
        }
        for (const std::string& e : events)
        {
            out += first ? "" : ",\n";
            first = false;
            size_t marker = e.find('\x01');
            if (marker == std::string::npos)
            {
                out += e;
                continue;
            }
            size_t end = e.find('\x02', marker);
            uint32_t id = uint32_t(std::strtoul(e.c_str() + marker + 1, nullptr, 10));
            auto timer = timers.find(id);
            out += e.substr(0, marker) +
                   JsonString(timer != timers.end() ? timer->second : "timer " + std::to_string(id)) +
                   e.substr(end + 1);
        }
        out += "\n],\"displayTimeUnit\":\"ms\",\"otherData\":{\"executable\":" + JsonString(executable) +
               ",\"moduleIdentity\":" + JsonString(identity) + "}}\n";
        return out;
    }

private:
    static std::string Text(const uint8_t* data, uint32_t size)
    {
        return std::string(reinterpret_cast<const char*>(data),
                           strnlen(reinterpret_cast<const char*>(data), size));
    }

    uint32_t Tid(uint32_t index) const
    {
        auto it = threads.find(index);
        return it != threads.end() && it->second.osId != 0 ? it->second.osId : 1000000 + index;
    }

    double Micros(uint64_t ts) const
    {
        double ticks = double(int64_t(ts - startTimestamp));
        return ticks * 1000.0 / frequencyKHz;
    }

    static std::string Number(double v)
    {
        if (!std::isfinite(v))
            v = 0;
        char buf[64];
        std::snprintf(buf, sizeof(buf), "%.3f", v);
        return buf;
    }

    void Close(uint32_t index, Thread& thread, double end)
    {
        OpenZone zone = thread.stack.back();
        thread.stack.pop_back();
        std::string e = "{\"name\":\x01" + std::to_string(zone.timer) + "\x02,\"cat\":\"" +
                        (zone.lock ? "lock" : "zone") + "\",\"ph\":\"X\",\"ts\":" + Number(zone.start) +
                        ",\"dur\":" + Number(end > zone.start ? end - zone.start : 0) +
                        ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(Tid(index));
        if (!zone.text.empty())
            e += ",\"args\":{\"text\":" + JsonString(zone.text) + "}";
        events.push_back(e + "}");
    }

    bool Events(PayloadReader& r)
    {
        uint16_t count;
        uint32_t index;
        if (!handshake || !r.U16(count) || !r.U32(index))
            return false;
        Thread& thread = threads[index];
        uint64_t previous = 0;
        for (uint32_t n = 0; n < count; ++n)
        {
            uint8_t type;
            uint64_t v[6];
            if (!r.U8(type))
                return false;
            uint32_t fields = type == kZoneBegin ? 6 : type == kZoneEnd ? 2 : type == kZoneText ? 2 : 5;
            if (type > kMessage)
                return false;
            for (uint32_t f = 0; f < fields; ++f)
                if (!r.Varint(v[f]))
                    return false;
            if (type != kZoneText)
            {
                previous += v[0];
                thread.last = Micros(previous);
            }
            switch (type)
            {
            case kZoneBegin:
            {
                bool lock = (v[3] & kZoneFlagLock) != 0;
                thread.stack.push_back({uint32_t(v[2]), Micros(previous), uint32_t(v[5]), lock, {}});
                break;
            }
            case kZoneEnd:
                if (!thread.stack.empty())
                    Close(index, thread, Micros(previous));
                break;
            case kZoneText:
            {
                std::string text = thread.texts[uint32_t(v[1])];
                bool attached = false;
                for (OpenZone& zone : thread.stack)
                    if (zone.sequence == uint32_t(v[0]))
                    {
                        zone.text = text;
                        attached = true;
                    }
                if (!attached)
                    Instant(index, "counter", text, thread.last, "\"counter\":" + std::to_string(v[0]));
                break;
            }
            default: // kMessage
                Instant(index, "log", thread.texts[uint32_t(v[1])], Micros(previous),
                        "\"line\":" + std::to_string(v[2]) + ",\"kind\":" + std::to_string(v[4]));
                break;
            }
        }
        return r.AtEnd();
    }

    void Instant(uint32_t index, const char* category, const std::string& text, double ts,
                 const std::string& args)
    {
        events.push_back("{\"name\":" + JsonString(text) + ",\"cat\":\"" + category +
                         "\",\"ph\":\"i\",\"s\":\"t\",\"ts\":" + Number(ts) +
                         ",\"pid\":" + std::to_string(pid) + ",\"tid\":" + std::to_string(Tid(index)) +
                         ",\"args\":{" + args + "}}");
    }
};

bool WriteFile(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wbe");
    if (f == nullptr)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A save request: the stream so far, compressed as asked, to a ".mxprofiler" path.
void Save(const Capture& capture, const uint8_t* data, uint32_t length)
{
    PayloadReader r(data, length);
    char path[4097];
    uint32_t compression;
    if (!r.String(path, sizeof(path)) || !r.U32(compression) || compression > kCompressionLz4)
        return;
    std::string p = path;
    if (p.size() < 11 || p.compare(p.size() - 11, 11, ".mxprofiler") != 0)
        return;
    std::string bytes = capture.stream;
    if (compression == kCompressionZstd)
    {
        std::string out(ZSTD_compressBound(bytes.size()), '\0');
        size_t n = ZSTD_compress(out.data(), out.size(), bytes.data(), bytes.size(), 3);
        if (ZSTD_isError(n))
            return;
        out.resize(n);
        bytes.swap(out);
    }
    else if (compression == kCompressionLz4)
    {
        std::string out(LZ4F_compressFrameBound(bytes.size(), nullptr), '\0');
        size_t n = LZ4F_compressFrame(out.data(), out.size(), bytes.data(), bytes.size(), nullptr);
        if (LZ4F_isError(n))
            return;
        out.resize(n);
        bytes.swap(out);
    }
    if (WriteFile(p, bytes))
        std::printf("Saved %s (%zu bytes)\n", p.c_str(), bytes.size());
    std::fflush(stdout);
}

int ConnectTo(const std::string& hostPort)
{
    size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(std::atoi(hostPort.c_str() + colon + 1)));
    if (inet_pton(AF_INET, hostPort.substr(0, colon).c_str(), &a.sin_addr) != 1)
        return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t n = send(s, at, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= size_t(n);
    }
    return true;
}

// A whole decimal number within [low, high]; false for anything else.
bool ParseNumber(const char* text, long low, long high, int& out)
{
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high)
        return false;
    out = int(value);
    return true;
}

int Usage()
{
    std::fprintf(stderr, "Usage: ProfilerCapture --out FILE.json [--port N] [--port-file FILE] "
                         "[--request-connect HOST:PORT] [--no-announce] [--timeout SECONDS]\n");
    return 2;
}
} // namespace

int main(int argc, char** argv)
{
    std::string out, requestConnect, portFile;
    int port = kDefaultViewerPort;
    int timeoutSec = 120;
    bool announce = true;
    // Waits are in milliseconds in an int: longer time-outs would wrap.
    constexpr long kMaxTimeoutSec = 2147483;
    for (int i = 1; i < argc; ++i)
    {
        std::string a = argv[i];
        if (a == "--out" && i + 1 < argc)
            out = argv[++i];
        else if (a == "--port" && i + 1 < argc)
        {
            if (!ParseNumber(argv[++i], 0, 65535, port))
                return Usage();
        }
        else if (a == "--port-file" && i + 1 < argc)
            portFile = argv[++i];
        else if (a == "--request-connect" && i + 1 < argc)
            requestConnect = argv[++i];
        else if (a == "--timeout" && i + 1 < argc)
        {
            if (!ParseNumber(argv[++i], 1, kMaxTimeoutSec, timeoutSec))
                return Usage();
        }
        else if (a == "--no-announce")
            announce = false;
        else
            return Usage();
    }
    if (out.empty())
        return Usage();
    std::signal(SIGPIPE, SIG_IGN);

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    socklen_t length = sizeof(a);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    {
        std::fprintf(stderr, "ProfilerCapture: cannot listen on port %d: %s\n", port, std::strerror(errno));
        return 1;
    }
    port = ntohs(a.sin_port);
    // Other captures may announce at the same time: the semaphore is made if missing and left in
    // place, so that one capture ending never hides another.
    if (announce)
    {
        sem_t* semaphore = sem_open("/MorvexProfilerStarted", O_CREAT, 0644, 0);
        if (semaphore != SEM_FAILED)
            sem_close(semaphore);
    }
    std::printf("ProfilerCapture listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    // Written whole under a temporary name, so that a reader never sees half a number.
    if (!portFile.empty() && (!WriteFile(portFile + ".tmp", std::to_string(port) + "\n") ||
                              std::rename((portFile + ".tmp").c_str(), portFile.c_str()) != 0))
        return 1;

    if (!requestConnect.empty())
    {
        int s = ConnectTo(requestConnect);
        PayloadWriter w;
        const char host[] = "127.0.0.1";
        w.String(host, sizeof(host) - 1);
        w.U16(uint16_t(port));
        uint32_t header = MakeHeader(kConnectRequest, w.Size());
        if (s < 0 || !SendAll(s, &header, 4) || !SendAll(s, w.Data(), w.Size()))
        {
            std::fprintf(stderr, "ProfilerCapture: cannot ask %s to connect back\n", requestConnect.c_str());
            return 1;
        }
        close(s);
    }

    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutSec * 1000) <= 0)
    {
        std::fprintf(stderr, "ProfilerCapture: no program connected within %d s\n", timeoutSec);
        return 1;
    }
    int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0)
        return 1;

    Capture capture;
    std::string pending;
    std::vector<char> buffer(1 << 16);
    bool broken = false;
    while (!capture.goodbye && !broken)
    {
        pollfd q{s, POLLIN, 0};
        int ready = poll(&q, 1, timeoutSec * 1000);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
        {
            std::fprintf(stderr, "ProfilerCapture: nothing arrived for %d s; the capture ends there\n",
                         timeoutSec);
            broken = true;
            break;
        }
        ssize_t n = recv(s, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
        {
            std::fprintf(stderr, "ProfilerCapture: the connection failed: %s\n", std::strerror(errno));
            broken = true;
            break;
        }
        if (n == 0)
        {
            // A program may end without its goodbye (it crashed); one that stops inside a packet
            // has lost the rest of its stream.
            if (!pending.empty())
            {
                std::fprintf(stderr,
                             "ProfilerCapture: the stream ended inside a packet (%zu bytes of it arrived)\n",
                             pending.size());
                broken = true;
            }
            break;
        }
        pending.append(buffer.data(), size_t(n));
        size_t at = 0;
        while (pending.size() - at >= kHeaderSize)
        {
            uint32_t header;
            std::memcpy(&header, pending.data() + at, 4);
            uint32_t payload = HeaderLength(header);
            if (payload > kMaxPayloadSize)
            {
                std::fprintf(stderr,
                             "ProfilerCapture: packet %llu says it holds %u bytes, more than a packet can\n",
                             static_cast<unsigned long long>(capture.packets + 1), payload);
                broken = true;
                break;
            }
            if (pending.size() - at < kHeaderSize + payload)
                break;
            const uint8_t* data = reinterpret_cast<const uint8_t*>(pending.data() + at + kHeaderSize);
            if (HeaderType(header) == kSaveRequest)
                Save(capture, data, payload);
            else
            {
                capture.stream.append(pending, at, kHeaderSize + payload);
                if (!capture.Handle(HeaderType(header), data, payload))
                {
                    std::fprintf(stderr, "ProfilerCapture: packet %llu (type %u) is malformed\n",
                                 static_cast<unsigned long long>(capture.packets),
                                 unsigned(HeaderType(header)));
                    broken = true;
                    break;
                }
            }
            at += kHeaderSize + payload;
        }
        pending.erase(0, at);
    }
    close(s);
    close(listener);
    capture.Finish();
    if (!WriteFile(out, capture.Json()))
    {
        std::fprintf(stderr, "ProfilerCapture: cannot write %s\n", out.c_str());
        return 1;
    }
    std::printf("Captured %zu events of %zu threads into %s%s\n", capture.events.size(),
                capture.threadNames.size(), out.c_str(),
                capture.goodbye ? "" : " (the connection ended without a goodbye)");
    return broken || !capture.handshake ? 1 : 0;
}
