// Runs the real reporter binary and checks what a caller sees: exit codes and console output.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <unistd.h>

using Morvex::Test::RunProcess;
using Morvex::Test::TempDir;

namespace
{
const std::string kReporter = CRASH_REPORTER_PATH;

// The reporter keeps its data folder under $XDG_DATA_HOME; every run gets a fresh one.
class ReporterRun : public testing::Test
{
protected:
    Morvex::Test::ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), kReporter);
        return RunProcess(args, m_work.Path(),
                          {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    }
    TempDir m_work;
    TempDir m_data;
};
} // namespace

TEST_F(ReporterRun, MissingIdOrDumpPathExitsTwoSilently)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--id", "42"},
        {"--dump-path", "/tmp"},
        {"--id", "--dump-path", "/tmp"},
        {"--id", "42", "--dump-path"},
    };
    for (const auto& args : cases)
    {
        auto r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.out, "") << testing::PrintToString(args);
        EXPECT_EQ(r.err, "") << testing::PrintToString(args);
    }
}

TEST_F(ReporterRun, TestRunLogsProductAndFinishes)
{
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("INFO   : Product: 'Application' Params: ''\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("INFO   : Sending finished\n"), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("Product:"), r.out.find("Sending finished"));
}

TEST_F(ReporterRun, TestRunIgnoresReportSwitches)
{
    // A test run reads only --lang and --io-crash: the product stays the default.
    auto r = Run({"--test", "--product", "Other", "--additional", "x=1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Product: 'Application' Params: ''"), std::string::npos) << r.out;
}

TEST_F(ReporterRun, ConfigScriptInTheWorkingDirectoryRunsFirst)
{
    // cvarList shows the variable's value after the script's own set.
    m_work.WriteFile("crash-reporter.cfg", "set retry_count 5\r\necho hello\ncvarList retry_count\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("CONSOLE: hello \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("CONSOLE: retry_count ^5= \"5\"\n"), std::string::npos) << r.out;
    EXPECT_LT(r.out.find("hello"), r.out.find("Sending finished"));
}

TEST_F(ReporterRun, ConfigScriptWithAByteOrderMarkKeepsItsFirstCommand)
{
    m_work.WriteFile("crash-reporter.cfg", "\xEF\xBB\xBFset retry_count 7\ncvarList retry_count\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("CONSOLE: retry_count ^5= \"7\"\n"), std::string::npos) << r.out;
}

TEST_F(ReporterRun, BrokenConfigScriptNeitherCrashesNorHangs)
{
    std::string script = "alias loop \"echo x; loop\"\nloop\n";
    script += "set \"unbalanced; echo $(retry_count\n" + std::string(100000, 'z') + "\n";
    script += std::string("echo before\0echo after\n", 23);
    m_work.WriteFile("crash-reporter.cfg", script);
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("ignoring alias 'loop'"), std::string::npos);
    EXPECT_NE(r.out.find("CONSOLE: before \n"), std::string::npos);
    EXPECT_EQ(r.out.find("after"), std::string::npos);
    EXPECT_NE(r.out.find("Sending finished"), std::string::npos);
}

// Test.StackTrace in the configuration script prints numbered frames with files, lines and
// functions, the capture time and the immediate caller. A file named like the debug-information
// library in the working directory is never loaded (this broken one would cost the lines).
TEST_F(ReporterRun, StackTraceCommandPrintsFramesWithFilesAndLines)
{
    m_work.WriteFile("crash-reporter.cfg", "Test.StackTrace\n");
    m_work.WriteFile("libdw.so.1", "not a library");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(R"(INFO   : Current callstack: \n 0: \[0x[0-9a-f]+\] \w+\.cpp\(\d+\): Morvex::\w)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(R"(\n ?\d+: \[0x[0-9a-f]+\] CrashReporter\.cpp\(\d+\): Morvex::CrashReporterMain\(\)\n)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nINFO   : Captured in [0-9.e+-]+ µs\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(\nINFO   : Immediate caller: \w+\.cpp\(\d+\) Morvex::\S.* \n)")))
        << r.out;
}

TEST_F(ReporterRun, HelpAndVersionPrintAndEndTheRun)
{
    auto help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_EQ(help.err, "");
    for (const char* name : {"--id", "--dump-path", "--user-path", "--wc", "--product", "--additional",
                             "--comments", "--silent", "--lang", "--script-errors", "--io-crash",
                             "--launcher-path", "--send-pending", "--test", "--help", "--version"})
        EXPECT_TRUE(std::regex_search(help.out, std::regex("\n  " + std::string(name) + " ")))
            << name << " is not listed:\n"
            << help.out;

    auto version = Run({"--silent", "--version"});
    EXPECT_EQ(version.exitCode, 0) << version.err;
    EXPECT_TRUE(std::regex_match(version.out, std::regex("Morvex Crash Reporter \\d+\\.\\d+\\.\\d+ "
                                                         "\\(build-id [0-9a-f]{40}\\)\n")))
        << version.out;
    // Neither made a folder or a log file.
    EXPECT_TRUE(std::filesystem::is_empty(m_data.Path()));

    // A switch's value is the value, not a request for help: the run keeps its rules (here: 2).
    auto value = Run({"--comments", "--help", "--product", "--version"});
    EXPECT_EQ(value.exitCode, 2) << value.out;
    EXPECT_EQ(value.out, "");
}

TEST_F(ReporterRun, ConfigScriptIsFoundInTheWorkingDirectoryElseBesideTheExecutable)
{
    // A copy of the reporter in a folder of its own, with a script beside it.
    TempDir installed;
    const std::string copy = installed.Join("CrashReporter");
    std::filesystem::copy_file(kReporter, copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
    installed.WriteFile("crash-reporter.cfg", "set retry_count 6\ncvarList retry_count\n");
    auto run = [&]()
    {
        return RunProcess({copy, "--test"}, m_work.Path(),
                          {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    };

    auto beside = run();
    EXPECT_EQ(beside.exitCode, 0) << beside.out << beside.err;
    EXPECT_NE(beside.out.find("CONSOLE: retry_count ^5= \"6\"\n"), std::string::npos) << beside.out;
    EXPECT_NE(beside.out.find("INFO   : Settings read from " + installed.Join("crash-reporter.cfg") + "\n"),
              std::string::npos)
        << beside.out;

    // The working directory's script wins; the other one is not read at all.
    m_work.WriteFile("crash-reporter.cfg", "cvarList retry_count\n");
    auto work = run();
    EXPECT_NE(work.out.find("CONSOLE: retry_count ^5= \"3\"\n"), std::string::npos) << work.out;
    EXPECT_NE(work.out.find("INFO   : Settings read from crash-reporter.cfg\n"), std::string::npos)
        << work.out;

    std::filesystem::remove(m_work.Join("crash-reporter.cfg"));
    std::filesystem::remove(installed.Join("crash-reporter.cfg"));
    auto none = run();
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_NE(
        none.out.find("INFO   : No crash-reporter.cfg in the working directory or beside the executable"),
        std::string::npos)
        << none.out;
}

// The shipped example sets every variable it names to the built-in default (but the language list,
// which it widens to every shipped table), and runs clean: what a studio reads there is what the
// reporter does without it.
TEST_F(ReporterRun, ExampleConfigurationStatesTheDefaults)
{
    std::ifstream in(EXAMPLE_CONFIG_PATH, std::ios::binary);
    const std::string example((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(example.empty());
    std::vector<std::string> names;
    std::smatch m;
    for (auto it = example.cbegin();
         std::regex_search(it, example.cend(), m, std::regex("(^|\\n)set ([A-Za-z_]+) ")); it = m[0].second)
        names.push_back(m[2]);
    ASSERT_GE(names.size(), 20u);
    std::string list;
    for (const std::string& name : names)
        list += "cvarList " + name + "\n";

    m_work.WriteFile("crash-reporter.cfg", list);
    auto defaults = Run({"--test"});
    m_work.WriteFile("crash-reporter.cfg", example + list);
    auto stated = Run({"--test"});
    EXPECT_EQ(stated.exitCode, 0) << stated.out << stated.err;
    // No complaint beyond those of a run without it (a run without a display has its own).
    auto complaints = [](const std::string& out)
    {
        std::vector<std::string> lines;
        const std::regex complaint("(WARNING|ERROR) *:[^\n]*");
        for (auto it = std::sregex_iterator(out.begin(), out.end(), complaint); it != std::sregex_iterator();
             ++it)
            lines.push_back(it->str());
        return lines;
    };
    EXPECT_EQ(complaints(stated.out), complaints(defaults.out)) << stated.out;
    // The one deliberate difference: the example offers every shipped language.
    EXPECT_NE(
        stated.out.find("CONSOLE: cl_supportedLanguages ^5= \"english russian german french spanish italian "
                        "chinese tchinese japanese korean thai indonesian vietnamese\"\n"),
        std::string::npos)
        << stated.out;
    names.erase(std::remove(names.begin(), names.end(), "cl_supportedLanguages"), names.end());
    for (const std::string& name : names)
    {
        const std::regex line("CONSOLE: " + name + " \\^5= \"[^\"]*\"\n");
        std::smatch a, b;
        ASSERT_TRUE(std::regex_search(defaults.out, a, line)) << name << "\n" << defaults.out;
        ASSERT_TRUE(std::regex_search(stated.out, b, line)) << name;
        EXPECT_EQ(a.str(), b.str()) << "the example's value of " << name << " is not the default";
    }
}

TEST_F(ReporterRun, UrlVariablesThatAreNoUrlsAreNamed)
{
    // Unquoted, "//" starts a comment and leaves "http:".
    m_work.WriteFile("crash-reporter.cfg", "set crash_url http://127.0.0.1:9/submit\n"
                                           "set script_errors_url \"https://errors.example.net/s\"\n"
                                           "set ElasticsearchUrl \"\"\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(
        r.out.find("WARNING: crash_url is 'http:', which is not a URL: write the value in double quotes"),
        std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("script_errors_url is"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ElasticsearchUrl is"), std::string::npos) << "empty turns the event off\n" << r.out;
}

namespace
{
// What a player sees in a folder: hidden entries (the reporter's own bookkeeping) are left out.
std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(path, ec))
        if (e.path().filename().string()[0] != '.')
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Keeps the sender from waiting on servers that are not there.
const char* kQuietConfig = "set retry_count 0\nset retry_wait_sec 0\nset ElasticsearchUrl \"\"\n"
                           "set crash_url \"http://127.0.0.1:9/submit\"\n";
} // namespace

// Requests a configuration script starts and nothing pumps (a test run, or a run with nothing to send)
// are cancelled at shutdown with a Warning; before, the shutdown's assertion ended the process.
TEST_F(ReporterRun, ConfigScriptRequestsInFlightAreCancelledAtShutdown)
{
    m_work.WriteFile("payload.bin", "data");
    m_work.WriteFile("crash-reporter.cfg", "http_request \"http://127.0.0.1:9/x\"\n"
                                           "http_multipartPost \"http://127.0.0.1:9/y\" file payload.bin\n");
    auto test = Run({"--test"});
    EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
    EXPECT_NE(test.out.find("requests still in flight at shutdown are cancelled"), std::string::npos)
        << test.out;
    auto nothing = Run({"--id", "1", "--dump-path", m_work.Join("nowhere"), "--silent"});
    EXPECT_EQ(nothing.exitCode, 3) << nothing.out << nothing.err;
}

TEST_F(ReporterRun, GathersTheDumpAndTheLogsIntoADatedFolder)
{
    m_work.WriteFile("crash-reporter.cfg", kQuietConfig);
    m_work.WriteFile("D/42.dmp", "dump bytes");
    m_work.WriteFile("L/b.log", "second");
    m_work.WriteFile("L/a.log", "first");
    m_work.WriteFile("L/other.txt", "not a log");
    auto r = Run({"--id", "42", "--dump-path", "D", "--user-path", "U", "--wc", "L/*.log"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ((r.out + r.err).find("No files to send"), std::string::npos);

    std::vector<std::string> folders = ListDir(m_work.Join("U/Exceptions"));
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(std::regex_match(folders[0], std::regex("\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}\\.\\d{2}\\.\\d{2}")))
        << folders[0];
    std::string report = "U/Exceptions/" + folders[0];
    EXPECT_EQ(ListDir(m_work.Join(report)), (std::vector<std::string>{"42.dmp", "a.log", "b.log"}));
    EXPECT_EQ(m_work.ReadFile(report + "/42.dmp"), "dump bytes");
    EXPECT_EQ(m_work.ReadFile(report + "/a.log"), "first");
    EXPECT_EQ(m_work.ReadFile("L/b.log"), "second") << "sources are left alone";

    // The start-up made the data folders of the reporter.
    std::string data = m_data.Join("Morvex/Morvex Crash Reporter");
    EXPECT_TRUE(std::filesystem::is_directory(data + "/exceptions"));
    EXPECT_TRUE(std::filesystem::is_directory(data + "/logs"));
}

TEST_F(ReporterRun, NothingToGatherExitsThree)
{
    m_work.WriteFile("crash-reporter.cfg", kQuietConfig);
    m_work.WriteFile("userfile", "keep");
    const std::vector<std::vector<std::string>> cases = {
        {"--id", "42", "--dump-path", "D"},
        {"--id", "42", "--dump-path", "D", "--user-path", "U", "--wc", "L/*.log", "--wc"},
        {"--id", "42", "--dump-path", "D", "--script-errors", "e.txt", "--silent"},
    };
    m_work.WriteFile("D/42.dmp", "dump");
    for (size_t i = 0; i < cases.size(); ++i)
    {
        if (i == 0 || i == 1)
            std::filesystem::remove(m_work.Join("D/42.dmp"));
        else
            m_work.WriteFile("D/42.dmp", "dump");
        auto r = Run(cases[i]);
        EXPECT_EQ(r.exitCode, 3) << testing::PrintToString(cases[i]) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find("No files to send. Closing."), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(m_work.ReadFile("userfile"), "keep");
}

TEST_F(ReporterRun, ReporterVariablesKeepTheirDefaultsInByteOrder)
{
    m_work.WriteFile("crash-reporter.cfg", "cvarList url\ncvarList retry_\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const char* lines[] = {
        "CONSOLE: ElasticsearchUrl ^5= \"http://localhost:9200/events/prod/\"\n",
        "CONSOLE: crash_url ^5= \"http://localhost:55080/submit\"\n",
        "CONSOLE: script_errors_url ^5= \"http://localhost:55080/submit_script_errors\"\n",
        "CONSOLE: retry_count ^5= \"3\"\n",
        "CONSOLE: retry_wait_sec ^5= \"20\"\n",
    };
    size_t next = 0;
    for (const char* line : lines)
    {
        size_t at = r.out.find(line);
        ASSERT_NE(at, std::string::npos) << line << r.out;
        EXPECT_GE(at, next) << line;
        next = at + 1;
    }
}

// The memory reports a studio asks for in its configuration, with the figures of this run.
TEST_F(ReporterRun, MemoryReportsFromTheConfiguration)
{
    m_work.WriteFile("crash-reporter.cfg", "Memory.LogUsage\nMemory.LogMemoryTags\n");
    // The same with the debug heaps under the global heap and the kernel's heaps.
    for (const char* heaps : {"--test", "--debug-heap"})
    {
        SCOPED_TRACE(heaps);
        auto r = Run({"--test", heaps});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        for (const char* line :
             {"WARNING: OS memory status\n", "WARNING: GroundZeroAllocator: ",
              "WARNING: Heap name                  Reserved       Peak       Used     Overhead\n",
              "WARNING: GlobalHeap   ", "WARNING: TOTAL    ",
              "INFO   : TAG                                        used  alloc dealloc\n",
              "INFO   : Net/HTTPClient   ", "INFO   : CrashReporter   ", "INFO   : Core/PreKernel   ",
              "INFO   : UNKNOWN   "})
            EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
        EXPECT_EQ(r.err.find("Memory leaks"), std::string::npos) << r.err;
    }
}

// A configuration line whose expansion outgrows a 64 KiB temporary page: the overflow is charged to
// the thread temporaries' tag and all of it is released again before the next command; the run ends
// without a pool reporting objects still alive.
TEST_F(ReporterRun, LongExpansionsUseTheThreadTemporariesAndReleaseThem)
{
    std::string script = "set crash_url " + std::string(1000, 'u') + "\n";
    for (int i = 0; i < 80; ++i) // 80 kB of expansion in 80 tokens
        script += "$(crash_url) ";
    script += "\nMemory.LogMemoryTags\n";
    m_work.WriteFile("crash-reporter.cfg", script);
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m,
                                  std::regex("INFO   : Core/ThreadTempAllocator +(\\S+) +(\\S+) +(\\S+)\n")))
        << r.out;
    EXPECT_EQ(m[1].str(), "0b") << m[0];
    EXPECT_NE(m[2].str(), "0") << m[0];
    EXPECT_EQ(m[2].str(), m[3].str()) << "every block was released: " << m[0];
    for (const std::string* output : {&r.out, &r.err})
    {
        EXPECT_EQ(output->find("objects still alive"), std::string::npos) << *output;
        EXPECT_EQ(output->find("Memory leaks"), std::string::npos) << *output;
    }
}

// The task graph's self-test from the configuration, twice: it passes each time, its workers are all
// joined before the listing (which shows them finished), and nothing leaks at shutdown.
TEST_F(ReporterRun, TaskGraphSelfTestFromTheConfiguration)
{
    m_work.WriteFile("crash-reporter.cfg", "Core.TaskGraph.Test\nCore.TaskGraph.Test\nCore.ListThreads\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    std::regex passed("INFO   : Core\\.TaskGraph\\.Test: passed\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), passed), std::sregex_iterator()),
              2)
        << r.out;
    size_t listing = r.out.find("INFO   : Thread ID ");
    ASSERT_NE(listing, std::string::npos) << r.out;
    EXPECT_GT(listing, r.out.rfind("Core.TaskGraph.Test: passed"));
    std::string table = r.out.substr(listing);
    std::regex finishedWorker(" Worker +Normal +f+ +No +Yes +\n");
    std::regex runningWorker(" Worker +Normal +f+ +No +No +\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(table.begin(), table.end(), finishedWorker),
                            std::sregex_iterator()),
              64)
        << table;
    EXPECT_FALSE(std::regex_search(table, runningWorker)) << table;
    const std::string all = r.out + r.err;
    for (const char* leak : {"still in-use", "still alive", "ASSERT", "Memory leaks", "failed"})
        EXPECT_EQ(all.find(leak), std::string::npos) << leak << "\n" << all;
}

// Out of memory: the report and the usage figures come out and the process ends, without a hang.
TEST_F(ReporterRun, CrashMemoryReportsOutOfMemoryAndEnds)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' allocators handle exhaustion themselves";
#endif
    m_work.WriteFile("crash-reporter.cfg", "crash memory\n");
    auto r = RunProcess({"/bin/sh", "-c", "ulimit -v 4000000 && exec \"$0\" --test", kReporter},
                        m_work.Path(), {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(r.exitCode, 134) << r.out << r.err;
    EXPECT_NE(r.err.find("FATAL  : ================== Out of memory ¯\\_(⊙︿⊙)_/¯ ==================\n"
                         "FATAL  : \n"
                         "FATAL  : PlatformVirtualMemory::Allocate() failed to allocate 32 GB block\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("WARNING: Heap name"), std::string::npos) << r.out;
}

// The frame-capture library is loaded only with --renderdoc, by its system name; each way the load
// can fail has its warning, followed by the general one.
TEST_F(ReporterRun, RenderDocIsLoadedOnlyWithItsSwitch)
{
    const std::string dir = FAKE_RENDERDOC_DIR;
    const std::string marker = m_work.Join("loaded");
    const char* const kGeneral = "WARNING: Failed to initialized RenderDoc API\n";
    const struct
    {
        const char* name;
        bool withSwitch;
        std::string libraryPath;
        const char* answer;
        const char* warning; // null: none
        bool loads;
    } cases[] = {
        {"no switch", false, dir + "/answering", "1", nullptr, false},
        {"answers", true, dir + "/answering", "1", nullptr, true},
        {"refuses", true, dir + "/answering", "0",
         "WARNING: Failed to get renderdoc api via RENDERDOC_GetAPI\n", true},
        {"no entry", true, dir + "/noentry", "1",
         "WARNING: Failed to load RENDERDOC_GetAPI from librenderdoc.so\n", true},
        {"not installed", true, m_work.Path(), "1", "WARNING: Failed to load librenderdoc.so\n", false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::remove(marker.c_str());
        std::vector<std::string> args = {kReporter, "--test"};
        if (c.withSwitch)
            args.push_back("--renderdoc");
        auto r =
            RunProcess(args, m_work.Path(),
                       {"XDG_DATA_HOME=" + m_data.Path(),
                        "DISPLAY=", "WAYLAND_DISPLAY=", "LD_LIBRARY_PATH=" + c.libraryPath,
                        "FAKE_RENDERDOC_MARKER=" + marker, std::string("FAKE_RENDERDOC_ANSWER=") + c.answer});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        const std::string all = r.out + r.err;
        EXPECT_EQ(access(marker.c_str(), F_OK) == 0, c.loads) << all;
        if (c.warning != nullptr)
        {
            EXPECT_NE(all.find(c.warning), std::string::npos) << all;
            EXPECT_NE(all.find(kGeneral), std::string::npos) << all;
        }
        else
            EXPECT_EQ(all.find("RenderDoc"), std::string::npos) << all;
    }
}

// The file system's start-up starts the loader's two threads, paused, and the shutdown joins them:
// run after run, without a hang.
TEST_F(ReporterRun, LoaderThreadsStartAndStopEveryRun)
{
    m_work.WriteFile("crash-reporter.cfg", "Core.ListThreads\n");
    for (int run = 0; run < 20; ++run)
    {
        SCOPED_TRACE(run);
        auto r = Run({"--test"});
        ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\nINFO   : [0-9]+ +FileIO +Normal ")));
        EXPECT_TRUE(std::regex_search(r.out, std::regex("\nINFO   : [0-9]+ +Decompress +Normal ")));
        EXPECT_NE(r.out.find("Sending finished"), std::string::npos);
    }
}

// Both reading benchmarks from the configuration, over a folder of fixture files, through the
// loader and with asynchronous reads switched off.
TEST_F(ReporterRun, ReadingBenchmarksFromTheConfiguration)
{
    TempDir assets;
    assets.WriteFile("a.dds", std::string(100000, 'a'));
    assets.WriteFile("deep/er/b.tfd", std::string(5000, 'b'));
    assets.WriteFile("empty.dds", "");
    assets.WriteFile("skipped.txt", "not counted");
    assets.WriteFile("c.dds.bak", "not counted");
    const std::string folder = assets.Path();
    m_work.WriteFile("crash-reporter.cfg", "Test.FileReadingPerformanceBlocking " + folder +
                                               "\nTest.FileReadingPerformanceAsync " + folder +
                                               "\nset Client.DebugDisableAsyncReads 1\n"
                                               "Test.FileReadingPerformanceAsync " +
                                               folder + "\nTest.FileReadingPerformanceBlocking " + folder +
                                               "\nTest.FileReadingPerformanceBlocking " + folder +
                                               "/missing\nTest.FileReadingPerformanceAsync\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string rate = " size total read in [0-9]+\\.[0-9] seconds at [0-9]+\\.[0-9] MB/sec\n";
    const std::string three = " 3 files, 105,000 \\(102 kB\\)" + rate;
    const std::string none = " 0 files, 0 \\(0 bytes\\)" + rate;
    const std::regex expected("INFO   : Blocking:" + three + "INFO   : Async:" + three +
                              "(.|\n)*INFO   : Async:" + three + "INFO   : Blocking:" + three +
                              "INFO   : Blocking:" + none + "INFO   : Async:" + none);
    EXPECT_TRUE(std::regex_search(r.out, expected)) << r.out;
    EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
    // The loader's records went back to their pools before the shutdown gave the pages back.
    for (const std::string* output : {&r.out, &r.err})
        EXPECT_EQ(output->find("objects still alive"), std::string::npos) << *output;
}

// The asynchronous benchmark over a folder of large files, in an address space that holds one of
// them but not all: the slots' buffers are not all grown to the files' sizes at once.
TEST_F(ReporterRun, AsyncReadingBenchmarkHoldsOneLargeFileAtATime)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
#endif
    TempDir assets;
    for (const char* name : {"a.dds", "b.dds", "c/d.tfd"})
    {
        assets.WriteFile(name, "");
        std::filesystem::resize_file(assets.Join(name), 600u << 20);
    }
    m_work.WriteFile("crash-reporter.cfg", "Test.FileReadingPerformanceAsync " + assets.Path() +
                                               "\nset Client.DebugDisableAsyncReads 1\n"
                                               "Test.FileReadingPerformanceAsync " +
                                               assets.Path() + "\n");
    auto r = RunProcess({"/bin/sh", "-c", "ulimit -v 1500000 && exec \"$0\" --test", kReporter},
                        m_work.Path(), {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string line =
        "INFO   : Async: 3 files, 1,887,436,800 \\([0-9.]+ GB\\) size total read in [0-9]+\\.[0-9] "
        "seconds at [0-9]+\\.[0-9] MB/sec\n";
    EXPECT_TRUE(std::regex_search(r.out, std::regex(line + "(.|\n)*" + line))) << r.out;
    EXPECT_EQ((r.out + r.err).find("ERROR"), std::string::npos) << r.out << r.err;
}

// Both benchmarks over a folder of many files in a small address space: the list of files costs
// about what the names need.
TEST_F(ReporterRun, ReadingBenchmarksListManyFilesInLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit leaves";
#endif
    TempDir assets;
    for (int i = 0; i < 20000; ++i)
    {
        const std::string name = assets.Join("f" + std::to_string(i) + ".dds");
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    m_work.WriteFile("crash-reporter.cfg", "Test.FileReadingPerformanceAsync " + assets.Path() +
                                               "\nTest.FileReadingPerformanceBlocking " + assets.Path() +
                                               "\n");
    auto r = RunProcess({"/bin/sh", "-c", "ulimit -v 300000 && exec \"$0\" --test", kReporter}, m_work.Path(),
                        {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string rate = " size total read in [0-9]+\\.[0-9] seconds at [0-9]+\\.[0-9] MB/sec\n";
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex("INFO   : Async: 20000 files, 0 \\(0 bytes\\)" + rate +
                                            "INFO   : Blocking: 20000 files, 0 \\(0 bytes\\)" + rate)))
        << r.out;
}
