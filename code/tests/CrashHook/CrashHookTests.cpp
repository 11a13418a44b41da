// The crash hook end to end: the example game crashes for real, the dump writer writes the dump, an
// independent reader (Python) and a debugger (lldb) read it, and the reporter sends it. Also the
// writer alone, on a live child of the test.

#include "CollectorProcess.h"
#include "CrashHook/MinidumpWriter.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace Morvex::Test;
namespace fs = std::filesystem;

namespace
{
const std::string kBin = fs::path(CRASH_DEMO_GAME_PATH).parent_path().string();

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The reader's JSON summary, with a few fields pulled out by pattern (the summary is flat enough).
struct Summary
{
    std::string json;
    bool Has(const std::string& text) const { return json.find(text) != std::string::npos; }
    long long Number(const std::string& key) const
    {
        std::smatch m;
        return std::regex_search(json, m, std::regex("\"" + key + "\": (\\d+)")) ? std::stoll(m[1]) : -1;
    }
};

Summary ReadDump(const fs::path& dump)
{
    ProcessResult r = RunProcess({"/usr/bin/python3", MINIDUMP_READER_PATH, dump.string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return {r.out};
}

std::vector<fs::path> Dumps(const fs::path& folder)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        out.push_back(e.path());
    return out;
}

// "Build ID: <hex>" of an ELF file, as readelf prints it.
std::string ReadelfBuildId(const std::string& path)
{
    ProcessResult r = RunProcess({"/usr/bin/readelf", "-n", path});
    std::smatch m;
    return std::regex_search(r.out, m, std::regex("Build ID: ([0-9a-f]+)")) ? std::string(m[1]) : "";
}

class CrashHook : public testing::Test
{
protected:
    void SetUp() override
    {
        if (kSanitized)
            GTEST_SKIP() << "sanitizers own the crash signals; the handler path runs in the plain build";
    }

    // One run of the example game; the writer beside the test's binaries unless named (empty:
    // the hook's default, beside the reporter).
    struct GameRun
    {
        std::string mode = "segv";
        std::string thread = "main";
        std::vector<std::string> extra;
        std::string reporter = "/nonexistent/CrashReporter";
        std::string writer = kBin + "/CrashDumpWriter";
        std::vector<std::string> env;
    };

    ProcessResult Crash(const GameRun& run)
    {
        std::vector<std::string> args = {
            CRASH_DEMO_GAME_PATH, "--reporter", run.reporter, "--dumps",  m_dumps.Path(), "--user",
            m_user.Path(),        "--crash",    run.mode,     "--thread", run.thread};
        if (!run.writer.empty())
            args.insert(args.end(), {"--writer", run.writer});
        args.insert(args.end(), run.extra.begin(), run.extra.end());
        std::vector<std::string> env = {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_DATA_HOME=" + m_data.Path()};
        env.insert(env.end(), run.env.begin(), run.env.end());
        return RunProcess(args, m_work.Path(), env);
    }

    ProcessResult Crash(const std::string& mode, const std::string& thread,
                        std::vector<std::string> extra = {},
                        const std::string& reporter = "/nonexistent/CrashReporter")
    {
        GameRun run;
        run.mode = mode;
        run.thread = thread;
        run.extra = std::move(extra);
        run.reporter = reporter;
        return Crash(run);
    }

    TempDir m_dumps, m_user, m_work, m_data;
};
} // namespace

// Every way the example crashes, on the main thread and on the other one: the game ends with its
// own signal, one dump is written (the reporter is missing here: the dump is written all the
// same), and the dump holds the crash, both threads and the modules with their build ids.
TEST_F(CrashHook, EveryCrashWritesOneDumpAndEndsWithItsSignal)
{
    struct Case
    {
        const char* mode;
        const char* thread;
        int signal;
        bool hasAddress; // a fault the kernel saw at an address (not null, not a signal sent)
    };
    const Case cases[] = {
        {"segv", "main", SIGSEGV, false},          {"segv", "worker", SIGSEGV, false},
        {"stack-overflow", "main", SIGSEGV, true}, {"stack-overflow", "worker", SIGSEGV, true},
        {"abort", "worker", SIGABRT, false},       {"fpe", "main", SIGFPE, true},
        {"ill", "worker", SIGILL, true},           {"bus", "main", SIGBUS, true},
        {"trap", "main", SIGTRAP, false},          {"heap", "worker", SIGABRT, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.mode) + " on " + c.thread);
        for (const fs::path& old : Dumps(m_dumps.Path()))
            fs::remove(old);
        ProcessResult r = Crash(c.mode, c.thread);
        EXPECT_EQ(r.exitCode, 128 + c.signal) << r.err;
        EXPECT_NE(r.err.find("the crash reporter '/nonexistent/CrashReporter' cannot be started"),
                  std::string::npos)
            << r.err;
        auto dumps = Dumps(m_dumps.Path());
        ASSERT_EQ(dumps.size(), 1u) << r.err;
        EXPECT_TRUE(std::regex_match(dumps[0].filename().string(), std::regex("[0-9a-f]{32}\\.dmp")));
        EXPECT_EQ(fs::status(dumps[0]).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);

        Summary s = ReadDump(dumps[0]);
        EXPECT_TRUE(s.Has("\"errors\": []")) << s.json;
        EXPECT_TRUE(s.Has("\"signature\": \"MDMP\"")) << s.json;
        for (const char* stream : {"ThreadList", "ModuleList", "MemoryList", "Exception", "SystemInfo",
                                   "MiscInfo", "LinuxProcStatus", "LinuxMaps"})
            EXPECT_TRUE(s.Has("\"" + std::string(stream) + "\"")) << stream;
        EXPECT_EQ(s.Number("signal"), c.signal) << s.json;
        EXPECT_EQ(s.Number("address") != 0, c.hasAddress) << s.json;
        // The data file the bus case maps is no module.
        EXPECT_FALSE(std::regex_search(s.json, std::regex("\"name\": \"[^\"]*crash-demo-bus"))) << s.json;
        EXPECT_EQ(s.Number("arch"), 9);
        EXPECT_EQ(s.Number("platform"), 0x8201);
        // The crashing thread is in the list, first, with its stack.
        std::smatch m;
        ASSERT_TRUE(std::regex_search(s.json, m, std::regex("\"exception\": \\{\"tid\": (\\d+)")));
        EXPECT_TRUE(s.Has("\"threads\": [{\"tid\": " + std::string(m[1]))) << s.json;
        EXPECT_TRUE(std::regex_search(s.json, std::regex("\"threads\": \\[\\{[^}]*\"stackSize\": [1-9]")))
            << s.json;
        const std::regex context("\"contextSize\": 1232");
        EXPECT_EQ(std::distance(std::sregex_iterator(s.json.begin(), s.json.end(), context),
                                std::sregex_iterator()),
                  2)
            << "both threads";
    }
}

// The modules' build ids are those readelf reads from the files.
TEST_F(CrashHook, ModulesCarryTheirBuildIds)
{
    ProcessResult r = Crash("segv", "main");
    ASSERT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
    auto dumps = Dumps(m_dumps.Path());
    ASSERT_EQ(dumps.size(), 1u);
    Summary s = ReadDump(dumps[0]);
    std::smatch m;
    int checked = 0;
    const std::regex module(
        "\\{\"name\": \"([^\"]+)\", \"base\": \\d+, \"size\": \\d+, \"buildId\": \"([0-9a-f]*)\"\\}");
    for (auto it = std::sregex_iterator(s.json.begin(), s.json.end(), module); it != std::sregex_iterator();
         ++it)
    {
        const std::string name = (*it)[1];
        const std::string expected = ReadelfBuildId(name);
        if (expected.empty())
            continue;
        EXPECT_EQ((*it)[2].str(), expected) << name;
        ++checked;
    }
    EXPECT_GE(checked, 2) << "the game and the C library at least\n" << s.json;
    EXPECT_TRUE(s.Has(fs::canonical(CRASH_DEMO_GAME_PATH).string())) << s.json;
}

// A debugger opens the dump and shows where the game crashed, with the example's own names.
TEST_F(CrashHook, LldbShowsTheCrashingThreadsBacktrace)
{
    if (access("/usr/bin/lldb", X_OK) != 0)
        GTEST_SKIP() << "lldb is not installed";
    struct Case
    {
        const char* mode;
        const char* thread;
        std::vector<const char*> frames;
    };
    const Case cases[] = {
        {"segv", "worker", {"CrashDemo_WriteThroughNull", "CrashDemo_Crash", "UpdateLevel", "RenderThread"}},
        {"stack-overflow", "main", {"CrashDemo_Recurse"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.mode);
        for (const fs::path& old : Dumps(m_dumps.Path()))
            fs::remove(old);
        Crash(c.mode, c.thread);
        auto dumps = Dumps(m_dumps.Path());
        ASSERT_EQ(dumps.size(), 1u);
        ProcessResult bt = RunProcess({"/usr/bin/timeout", "120", "/usr/bin/lldb", "--batch", "-c",
                                       dumps[0].string(), "-o", "thread backtrace"});
        for (const char* frame : c.frames)
            EXPECT_NE(bt.out.find(frame), std::string::npos) << frame << "\n" << bt.out << bt.err;
        EXPECT_NE(bt.out.find("stop reason = "), std::string::npos) << bt.out;
    }
}

// Two threads crash at once: one dump, one reporter, and the game still ends with the signal.
TEST_F(CrashHook, TwoThreadsCrashingAtOnceMakeOneDump)
{
    for (int round = 0; round < 3; ++round)
    {
        for (const fs::path& old : Dumps(m_dumps.Path()))
            fs::remove(old);
        ProcessResult r = Crash("segv", "both");
        EXPECT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
        EXPECT_EQ(Dumps(m_dumps.Path()).size(), 1u) << r.err;
    }
}

// The studio's bound holds: the dump's memory never exceeds it, and a missing writer still lets the
// game end with its signal.
TEST_F(CrashHook, DumpSizeIsBoundedAndAMissingWriterStillEndsTheGame)
{
    ProcessResult r = Crash("segv", "worker", {"--max-dump-bytes", "20000"});
    ASSERT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
    auto dumps = Dumps(m_dumps.Path());
    ASSERT_EQ(dumps.size(), 1u);
    Summary s = ReadDump(dumps[0]);
    EXPECT_GT(s.Number("memoryBytes"), 0);
    EXPECT_LE(s.Number("memoryBytes"), 20000);
    EXPECT_LT(fs::file_size(dumps[0]), 20000u + 64 * 1024);

    fs::remove(dumps[0]);
    GameRun noWriter;
    noWriter.mode = "abort";
    noWriter.writer = "/nonexistent/CrashDumpWriter";
    ProcessResult missing = Crash(noWriter);
    EXPECT_EQ(missing.exitCode, 128 + SIGABRT) << missing.err;
    EXPECT_TRUE(Dumps(m_dumps.Path()).empty());
}

// The handler the game had before is called after the dump, and the game still ends with its
// signal; a reporter that is there but cannot run is named, and the dump is written all the same.
TEST_F(CrashHook, PreviousHandlersRunAndAnUnusableReporterStillLeavesTheDump)
{
    const std::string marker = m_work.Join("chained.txt");
    m_work.WriteFile("NotExecutable", "#!/bin/sh\n");
    ProcessResult r = Crash("segv", "worker", {"--chain-marker", marker}, m_work.Join("NotExecutable"));
    EXPECT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
    std::ifstream in(marker);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "previous handler ran\n");
    EXPECT_NE(r.err.find("NotExecutable' cannot be started: Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(Dumps(m_dumps.Path()).size(), 1u) << r.err;
}

// A writer that dies while the game's threads are stopped leaves none of them stopped: the game
// still ends with its signal (a stopped thread would hold it for ever).
TEST_F(CrashHook, AWriterThatDiesLeavesNoThreadStopped)
{
    GameRun run;
    run.thread = "worker";
    run.env = {"MX_CRASH_DUMP_WRITER_TEST_FAIL=after-stop"};
    ProcessResult r = Crash(run);
    EXPECT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
    EXPECT_TRUE(Dumps(m_dumps.Path()).empty());
}

// The writer starts clean whatever the game did: no descriptor of the game but the record's (the
// game's log is open without close-on-exec), no signal blocked, none ignored (the game ignores
// SIGALRM). A stand-in writer reports what it got.
TEST_F(CrashHook, TheWriterStartsWithoutTheGamesDescriptorsAndSignalSettings)
{
    const std::string report = m_work.Join("writer.txt");
    const std::string writer = m_work.Join("writer.py");
    m_work.WriteFile(
        "writer.py",
        "#!/usr/bin/python3\n"
        "import os\n"
        "def is_open(fd):\n"
        "    try:\n"
        "        os.fstat(fd)\n"
        "        return True\n"
        "    except OSError:\n"
        "        return False\n"
        "fds = [fd for fd in range(0, 1024) if is_open(fd)]\n"
        "status = dict(l.split(':', 1) for l in open('/proc/self/status').read().splitlines())\n"
        "record = os.read(3, 4096)\n"
        // (Python ignores SIGPIPE and SIGXFSZ itself: only SIGALRM's bit is read.)
        "open('" +
            report +
            "', 'w').write('fds %s\\nblocked %s\\nalarm ignored %s\\nrecord %d\\n' % "
            "(fds, status['SigBlk'].strip(), bool(int(status['SigIgn'], 16) >> 13 & 1), len(record)))\n");
    fs::permissions(writer, fs::perms::owner_all);
    GameRun run;
    run.mode = "abort";
    run.writer = writer;
    run.extra = {"--ignore-sigalrm"};
    ProcessResult r = Crash(run);
    EXPECT_EQ(r.exitCode, 128 + SIGABRT) << r.err;
    std::ifstream in(report);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "fds [0, 1, 2, 3]\nblocked 0000000000000000\nalarm ignored False\nrecord " +
                              std::to_string(sizeof(MxCrashRecord)) + "\n")
        << r.err;
}

// The whole path: the game crashes, the reporter starts from its own folder (its
// crash-reporter.cfg points at the collector) and the collector receives the dump and the log.
TEST_F(CrashHook, TheReporterSendsTheDumpAndTheLog)
{
    TempDir received, app;
    CollectorProcess collector(COLLECTOR_PATH, {"--port", "0", "--data", received.Path()});
    ASSERT_GT(collector.port(), 0) << collector.output();
    // A reporter folder of its own: the reporter, its writer, and its settings beside them.
    for (const char* name : {"CrashReporter", "CrashDumpWriter"})
        fs::copy_file(kBin + "/" + name, app.Join(name));
    app.WriteFile("crash-reporter.cfg", "set crash_url \"" + collector.Url("/submit/") +
                                            "\"\nset ElasticsearchUrl \"" + collector.Url("/events/prod/") +
                                            "\"\n");
    GameRun run;
    run.thread = "worker";
    run.reporter = app.Join("CrashReporter");
    run.writer.clear(); // the hook's default: beside the reporter
    run.extra = {"--silent"};
    ProcessResult r = Crash(run);
    EXPECT_EQ(r.exitCode, 128 + SIGSEGV) << r.err;
    // The reporter outlives the game: wait for the report.
    fs::path report;
    for (int i = 0; i < 300 && report.empty(); ++i)
    {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(fs::path(received.Path()) / "reports", ec))
            if (fs::exists(e.path() / "meta.json"))
                report = e.path();
        if (report.empty())
            usleep(100 * 1000);
    }
    ASSERT_FALSE(report.empty()) << r.out << r.err << collector.output();
    fs::path archive;
    for (const auto& e : fs::directory_iterator(report))
        if (e.path().extension() != ".json")
            archive = e.path();
    ProcessResult list = RunProcess({"/usr/bin/python3", "-c",
                                     "import sys,zipfile\n"
                                     "z=zipfile.ZipFile(sys.argv[1])\n"
                                     "for i in z.infolist(): print(i.filename, z.read(i)[:4])\n",
                                     archive.string()});
    EXPECT_TRUE(std::regex_search(list.out, std::regex("[0-9a-f]{32}\\.dmp b'MDMP'")))
        << list.out << list.err;
    EXPECT_NE(list.out.find("game.log"), std::string::npos) << list.out;
    std::ifstream fields(report / "fields.json");
    std::stringstream text;
    text << fields.rdbuf();
    EXPECT_NE(text.str().find("\"ProductName\": \"CrashDemoGame\""), std::string::npos) << text.str();
}

// Build ids come from notes read out of another process or a file: hostile sizes never make the
// parser read outside the block.
TEST(MinidumpWriter, BuildIdNotesAreReadWithinTheirBlock)
{
    auto note = [](uint32_t nameSize, uint32_t descSize, uint32_t type, const std::string& name,
                   const std::string& desc)
    {
        std::string out(12, '\0');
        std::memcpy(out.data(), &nameSize, 4);
        std::memcpy(out.data() + 4, &descSize, 4);
        std::memcpy(out.data() + 8, &type, 4);
        out += name;
        out.resize((out.size() + 3) & ~size_t(3), '\0');
        out += desc;
        out.resize((out.size() + 3) & ~size_t(3), '\0');
        return out;
    };
    const std::string gnu("GNU\0", 4);
    const std::string id = "\x01\x02\x03\x04\x05\x06\x07\x08";
    struct Case
    {
        const char* what;
        std::string notes;
        std::string expected;
    };
    const Case cases[] = {
        {"a build id", note(4, 8, 3, gnu, id), id},
        {"after another note", note(4, 4, 1, gnu, "abcd") + note(4, 8, 3, gnu, id), id},
        {"another vendor", note(4, 8, 3, std::string("XYZ\0", 4), id), ""},
        {"a size that wraps", note(4, 0xFFFFFFFDu, 3, gnu, id), ""},
        {"the largest size", note(4, 0xFFFFFFFFu, 3, gnu, id), ""},
        {"a name size that wraps", note(0xFFFFFFFDu, 8, 3, gnu, id), ""},
        {"a description past the end", note(4, 64, 3, gnu, id), ""},
        {"a cut header", std::string("\x04\0\0\0\x08", 5), ""},
        {"nothing", "", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        // A copy of exactly that size, so that the sanitizers see any read past it.
        std::vector<uint8_t> block(c.notes.begin(), c.notes.end());
        const std::vector<uint8_t> found = Morvex::CrashHook::FindGnuBuildId(block.data(), block.size());
        EXPECT_EQ(std::string(found.begin(), found.end()), c.expected);
    }
}

// The writer alone, on a live child of the test (a snapshot, no crash): under the sanitizers too.
TEST(MinidumpWriter, SnapshotOfALiveProcess)
{
    const pid_t child = fork();
    if (child == 0)
    {
        for (;;)
            pause();
    }
    ASSERT_GT(child, 0);
    std::vector<uint8_t> bytes;
    Morvex::CrashHook::DumpOptions options;
    options.maxMemoryBytes = 1 << 20;
    auto result = Morvex::CrashHook::WriteMinidump(child, nullptr, options, bytes);
    // The child is let go: it still answers signals and can be ended normally.
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    ASSERT_TRUE(result.ok) << result.notes;
    EXPECT_GE(result.threads, 1u); // (a sanitizer may run a thread of its own in the child)
    EXPECT_GT(result.modules, 1u);
    EXPECT_GT(result.memoryBytes, 0u);
    EXPECT_LE(result.memoryBytes, 1u << 20);

    TempDir dir;
    const std::string path = dir.Join("snapshot.dmp");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    Summary s = ReadDump(path);
    EXPECT_TRUE(s.Has("\"errors\": []")) << s.json;
    EXPECT_FALSE(s.Has("\"Exception\"")) << "a snapshot has no exception";

    // A process that is gone gives no dump.
    auto gone = Morvex::CrashHook::WriteMinidump(child, nullptr, options, bytes);
    EXPECT_FALSE(gone.ok);
    EXPECT_TRUE(bytes.empty());
}
