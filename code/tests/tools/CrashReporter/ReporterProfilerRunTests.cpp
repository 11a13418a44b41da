// The real reporter with --profiler: a silent send streamed to the capture tool and read back with
// Python's json; no viewer at the address; a peer that answers with hostile bytes. Then the capture
// tool against a hostile program side.

#include "CollectorProcess.h"
#include "Core/Profiler/ProfilerProtocol.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace Morvex::Test;
namespace fs = std::filesystem;

namespace
{
// The port a capture tool started with "--port 0 --port-file <dir>/port" listens on, once it has
// written it down; 0 when it does not within five seconds.
int WaitForCapturePort(const TempDir& dir)
{
    const std::string portFile = dir.Join("port");
    for (int i = 0; i < 500 && !fs::exists(portFile); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fs::exists(portFile) ? std::stoi(dir.ReadFile("port")) : 0;
}

// A loopback listener on a free port, for the peers the tests play themselves.
int ListenAnywhere(uint16_t& port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0)
    {
        close(s);
        return -1;
    }
    port = ntohs(a.sin_port);
    return s;
}

class ReporterProfiler : public testing::Test
{
protected:
    void SetUp() override
    {
        // A loopback viewer is only dialled while one announces itself; the semaphore is shared by
        // every viewer of the machine and stays.
        sem_t* s = sem_open("/MorvexProfilerStarted", O_CREAT, 0644, 0);
        if (s != SEM_FAILED)
            sem_close(s);
        m_in.WriteFile("dumps/42.dmp", std::string("MDMP\0\x01\xff", 7) + std::string(70000, 'x'));
        m_in.WriteFile("logs/a.log", "first log\n");
        m_collector = std::make_unique<CollectorProcess>(
            COLLECTOR_PATH, std::vector<std::string>{"--port", "0", "--data", m_received.Path()});
        ASSERT_GT(m_collector->port(), 0) << m_collector->output();
        m_work.WriteFile("crash-reporter.cfg",
                         "set crash_url \"" + m_collector->Url("/submit/") + "\"\nset ElasticsearchUrl \"" +
                             m_collector->Url("/events/prod/") + "\"\nset retry_count 1\n");
    }

    ProcessResult RunReporter(uint16_t profilerPort)
    {
        return RunReporter("127.0.0.1:" + std::to_string(profilerPort));
    }

    ProcessResult RunReporter(const std::string& profilerValue)
    {
        std::vector<std::string> args = {
            CRASH_REPORTER_PATH,          "--id",        "42",          "--dump-path",
            m_in.Join("dumps"),           "--user-path", m_user.Path(), "--wc",
            m_in.Join("logs") + "/*.log", "--silent",    "--profiler",  profilerValue};
        return RunProcess(
            args, m_work.Path(),
            {"XDG_DATA_HOME=" + m_data.Path(), "TMPDIR=" + m_tmp.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    }

    TempDir m_in, m_user, m_work, m_data, m_tmp, m_received, m_capture;
    std::unique_ptr<CollectorProcess> m_collector;
};

TEST_F(ReporterProfiler, SilentSendStreamsToTheCaptureTool)
{
    const std::string json = m_capture.Join("trace.json");
    const std::string portFile = m_capture.Join("port");
    ChildProcess capture(
        {PROFILER_CAPTURE_PATH, "--out", json, "--port", "0", "--port-file", portFile, "--timeout", "60"});
    const int port = WaitForCapturePort(m_capture);
    ASSERT_GT(port, 0);

    ProcessResult r = RunReporter(uint16_t(port));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sent successfully"), std::string::npos) << r.out;
    ProcessResult c = capture.Wait();
    ASSERT_EQ(c.exitCode, 0) << c.out << c.err;

    // An independent reader: Python's json. Per thread name, the zone names; then the log texts.
    ProcessResult summary =
        RunProcess({"/usr/bin/python3", "-c",
                    "import json,sys\n"
                    "d=json.load(open(sys.argv[1]))\n"
                    "names={e['tid']:e['args']['name'] for e in d['traceEvents'] if e['ph']=='M'}\n"
                    "zones={}\n"
                    "for e in d['traceEvents']:\n"
                    "  if e['ph']=='X': zones.setdefault(names.get(e['tid'],'?'),set()).add(e['name'])\n"
                    "  if e['ph']=='X': assert e['dur']>=0 and e['cat'] in ('zone','lock')\n"
                    "for t in sorted(zones): print('zones', t, '|'.join(sorted(zones[t])))\n"
                    "for e in d['traceEvents']:\n"
                    "  if e['ph']=='i': print('text', names.get(e['tid'],'?'), e['name'])\n",
                    json});
    ASSERT_EQ(summary.exitCode, 0) << summary.err;
    const std::string& s = summary.out;
    auto zonesOf = [&s](const std::string& thread)
    {
        size_t at = s.find("zones " + thread + " ");
        return at == std::string::npos ? std::string() : s.substr(at, s.find('\n', at) - at);
    };
    // The main thread reads the settings and the files; the sender thread uploads.
    EXPECT_NE(zonesOf("Main Thread").find("Morvex::CmdSystem::Execute"), std::string::npos) << s;
    EXPECT_NE(zonesOf("Main Thread").find("OpenFile"), std::string::npos) << s;
    EXPECT_NE(zonesOf("SenderThread").find("HTTPClient::Request"), std::string::npos) << s;
    EXPECT_NE(zonesOf("Profiler").find("Flush buffers"), std::string::npos) << s;
    EXPECT_NE(s.find("text Main Thread Sending finished\n"), std::string::npos) << s;
}

TEST_F(ReporterProfiler, AbsentViewerIsAWarningAndTheRunEndsWell)
{
    uint16_t port = 0;
    close(ListenAnywhere(port)); // nobody listens there now
    ProcessResult r = RunReporter(port);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // Said before the reporter adds its own sinks: the console's fallback prints it on stderr.
    EXPECT_NE((r.out + r.err)
                  .find("WARNING: Can't connect to Profiler at `127.0.0.1:" + std::to_string(port) +
                        "` (perhaps it isn't running?)"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Sent successfully"), std::string::npos) << r.out;
}

// Host names are used whole (a cut name would be another machine's), a bad port falls back to
// 1980 for the given host, and a name too long for any resolver is refused with a warning.
TEST_F(ReporterProfiler, ProfilerTargetsKeepTheirWholeHostName)
{
    const std::string longName = "a-viewer-name-longer-than-fifteen-characters.invalid";
    const std::string tooLong = std::string(300, 'h') + ".invalid";
    const struct
    {
        std::string value;
        std::vector<std::string> warnings;
    } cases[] = {
        {longName + ":4321", {"Can't connect to Profiler at `" + longName + ":4321`"}},
        {longName + ":abc",
         {"Profiler: ignoring the port of --profiler " + longName + ":abc",
          "Can't connect to Profiler at `" + longName + ":1980`"}},
        {tooLong + ":4321", {"Profiler: ignoring --profiler: the host name is longer than 255 characters"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.value.substr(0, 60));
        ProcessResult r = RunReporter(c.value);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const std::string all = r.out + r.err;
        for (const std::string& warning : c.warnings)
            EXPECT_NE(all.find(warning), std::string::npos) << warning << "\n" << all;
        EXPECT_EQ(all.find("Can't connect to Profiler at `" + longName.substr(0, 15) + ":"),
                  std::string::npos)
            << all;
        EXPECT_NE(r.out.find("Sent successfully"), std::string::npos) << r.out;
    }
}

// A peer that takes the connection and answers with garbage, an oversized header and a truncated
// request: the profiler drops it, the report goes out, the run ends with 0.
TEST_F(ReporterProfiler, HostilePeerEndsNothing)
{
    uint16_t port = 0;
    int listener = ListenAnywhere(port);
    ASSERT_GE(listener, 0);
    std::atomic<bool> closedByReporter{false};
    std::thread peer(
        [listener, &closedByReporter]
        {
            pollfd p{listener, POLLIN, 0};
            if (poll(&p, 1, 30000) <= 0)
                return;
            int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const uint8_t truncated[] = {3, 0, 12, 0, 1, 2, 3}; // a module request of 3 bytes
            const uint8_t oversized[] = {0xFF, 0xFF, 0xFF, 0xFF};
            const char garbage[] = "\x00\x01GET / HTTP/1.1\r\n\r\n";
            send(s, truncated, sizeof(truncated), MSG_NOSIGNAL);
            send(s, oversized, sizeof(oversized), MSG_NOSIGNAL);
            send(s, garbage, sizeof(garbage), MSG_NOSIGNAL);
            char buffer[4096];
            for (;;)
            {
                pollfd q{s, POLLIN, 0};
                if (poll(&q, 1, 30000) <= 0)
                    break;
                if (recv(s, buffer, sizeof(buffer), 0) <= 0)
                {
                    closedByReporter = true;
                    break;
                }
            }
            close(s);
        });
    ProcessResult r = RunReporter(port);
    peer.join();
    close(listener);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sent successfully"), std::string::npos) << r.out;
    EXPECT_NE((r.out + r.err).find("Profiler: dropped the viewer's connection"), std::string::npos)
        << r.out << r.err;
    EXPECT_TRUE(closedByReporter);
}

// ---------------------------------------------------------------------------------------------
// The capture tool against a program side played by the test: whatever arrives, it ends with a clear
// word and an exit code that says whether the stream was whole, and what it wrote is valid JSON.

using namespace Morvex::ProfilerProtocol;

std::string Packet(uint16_t type, const std::string& payload)
{
    uint32_t header = MakeHeader(type, uint32_t(payload.size()));
    return std::string(reinterpret_cast<const char*>(&header), 4) + payload;
}

template <typename T>
std::string Raw(T v)
{
    return std::string(reinterpret_cast<const char*>(&v), sizeof(v));
}

std::string Str(const std::string& text)
{
    return Raw(uint32_t(text.size())) + text;
}

std::string HandshakePacket(double frequencyKHz)
{
    std::string h(kHandshakeSize, '\0');
    auto put = [&h](uint32_t offset, const std::string& bytes) { h.replace(offset, bytes.size(), bytes); };
    put(Handshake::kMagic, Raw(kHandshakeMagic));
    put(Handshake::kVersion, Raw(kProtocolVersion));
    put(Handshake::kProcessId, Raw(uint32_t(4321)));
    put(Handshake::kStartTimestamp, Raw(uint64_t(1000)));
    put(Handshake::kFrequencyKHz, Raw(frequencyKHz));
    return Packet(kHandshake, h);
}

std::string ThreadPacket(const std::string& name)
{
    return Packet(kThreadDescription,
                  Raw(uint32_t(0)) + Raw(uint8_t(0)) + Raw(uint32_t(77)) + Raw(uint64_t(0)) + Str(name));
}

// A zone that begins 5 ticks after the start of the stream and ends 3 ticks later.
std::string OneZone()
{
    const char events[] = {kZoneBegin, 5, 0, 0, 0, 1, 1, kZoneEnd, 3, 0};
    return Packet(kEventData, Raw(uint16_t(2)) + Raw(uint32_t(0)) + std::string(events, sizeof(events)));
}

class CaptureTool : public testing::Test
{
protected:
    enum class EEnd
    {
        kClose,
        kReset,
        kStall, // the connection stays open and silent
    };

    struct Result
    {
        ProcessResult process;
        std::string json; // what Python's json read back ("invalid: ..." when it could not)
    };

    Result Run(const std::string& bytes, EEnd end)
    {
        const std::string json = m_dir.Join("trace.json");
        const std::string portFile = m_dir.Join("port");
        fs::remove(json);
        fs::remove(portFile);
        ChildProcess capture({PROFILER_CAPTURE_PATH, "--out", json, "--port", "0", "--port-file", portFile,
                              "--no-announce", "--timeout", "2"});
        const int port = WaitForCapturePort(m_dir);
        Result result;
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
        {
            send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (end == EEnd::kReset)
            {
                linger l{1, 0};
                setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
            }
            if (end == EEnd::kStall)
                result.process = capture.Wait();
        }
        close(s);
        if (end != EEnd::kStall)
            result.process = capture.Wait();
        ProcessResult check = RunProcess(
            {"/usr/bin/python3", "-c",
             "import json,sys\n"
             "try:\n"
             "  d=json.load(open(sys.argv[1],encoding='utf-8'))\n"
             "  print(' '.join(e.get('args',{}).get('name',e.get('name','')) for e in d['traceEvents']))\n"
             "except Exception as e: print('invalid:',e)\n",
             json});
        result.json = check.out;
        return result;
    }

    TempDir m_dir;
};

TEST_F(CaptureTool, HostileStreamsEndWithAClearWordAndValidJson)
{
    const std::string whole = HandshakePacket(3.0e6) + ThreadPacket("Main") + OneZone();
    struct Case
    {
        const char* what;
        std::string bytes;
        EEnd end;
        int exitCode;
        std::string error; // on stderr; "" for none
        std::string json;  // the names Python read, in order
    };
    const Case cases[] = {
        {"whole with goodbye", whole + Packet(kGoodbye, ""), EEnd::kClose, 0, "", "Main timer 0\n"},
        {"closed between packets (the program crashed)", whole, EEnd::kClose, 0, "", "Main timer 0\n"},
        {"closed inside a packet", whole + OneZone().substr(0, 9), EEnd::kClose, 1,
         "ProfilerCapture: the stream ended inside a packet (9 bytes of it arrived)", "Main timer 0\n"},
        {"reset", whole, EEnd::kReset, 1, "ProfilerCapture: the connection failed: Connection reset by peer",
         "Main timer 0\n"},
        {"silent inside a packet", whole + OneZone().substr(0, 5), EEnd::kStall, 1,
         "ProfilerCapture: nothing arrived for 2 s; the capture ends there", "Main timer 0\n"},
        {"length beyond a packet", whole + std::string("\xff\xff\x05\x00", 4), EEnd::kClose, 1,
         "ProfilerCapture: packet 4 says it holds 65535 bytes, more than a packet can", "Main timer 0\n"},
        {"string longer than its packet",
         whole + Packet(kTimerDescription, Raw(uint32_t(1)) + Raw(uint32_t(1000)) + "ab"), EEnd::kClose, 1,
         "ProfilerCapture: packet 4 (type 4) is malformed", "Main timer 0\n"},
        // Time-stamps are divided by the frequency: these would make infinities, which JSON has not.
        {"frequency far too low", HandshakePacket(1e-310) + ThreadPacket("Main") + OneZone(), EEnd::kClose, 1,
         "ProfilerCapture: packet 1 (type 1) is malformed", "\n"},
        {"frequency infinite",
         HandshakePacket(std::numeric_limits<double>::infinity()) + ThreadPacket("Main") + OneZone(),
         EEnd::kClose, 1, "ProfilerCapture: packet 1 (type 1) is malformed", "\n"},
        // A surrogate, a code point past U+10FFFF and an overlong NUL: none is UTF-8.
        {"names that are not UTF-8",
         HandshakePacket(3.0e6) +
             ThreadPacket("a\xed\xa0\x80"
                          "b\xf5\x80\x80\x80"
                          "c\xc0\x80"
                          "d\xf4\x90\x80\x80") +
             OneZone() + Packet(kGoodbye, ""),
         EEnd::kClose, 0, "",
         "a\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
         "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
         "c\xef\xbf\xbd\xef\xbf\xbd"
         "d\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd timer 0\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Result r = Run(c.bytes, c.end);
        EXPECT_EQ(r.process.exitCode, c.exitCode) << r.process.out << r.process.err;
        if (c.error.empty())
            EXPECT_EQ(r.process.err, "");
        else
            EXPECT_NE(r.process.err.find(c.error + "\n"), std::string::npos) << r.process.err;
        EXPECT_EQ(r.json, c.json);
    }
}

// Each would otherwise listen somewhere else than asked, or wait without end.
TEST_F(CaptureTool, BadNumbersInItsArgumentsAreAUsageError)
{
    // The other number is good, so that a run that took the bad one ends by itself.
    const std::vector<std::vector<std::string>> cases = {
        {"--timeout", "1", "--port", "12abc"}, {"--timeout", "1", "--port", "65536"},
        {"--timeout", "1", "--port", "-1"},    {"--timeout", "1", "--port", ""},
        {"--port", "0", "--timeout", "0"},     {"--port", "0", "--timeout", "-1"},
        {"--port", "0", "--timeout", "1x"},    {"--port", "0", "--timeout", "3000000"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c[2] + " " + c[3]);
        ProcessResult r = RunProcess(
            {PROFILER_CAPTURE_PATH, "--out", m_dir.Join("t.json"), "--no-announce", c[0], c[1], c[2], c[3]});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err.rfind("Usage: ProfilerCapture", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}
} // namespace
