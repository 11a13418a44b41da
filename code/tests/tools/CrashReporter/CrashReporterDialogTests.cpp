// The real reporter with its dialog on a private X server, operated with xdotool like a user, and
// a collector on 127.0.0.1 that records what arrives. Also the runs where no dialog can open.

#include "DialogTestSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace Morvex::Test;

namespace
{
const std::string kReporter = CRASH_REPORTER_PATH;

std::string BinaryDirectory()
{
    return kReporter.substr(0, kReporter.rfind('/'));
}

// The text of `key` in a shipped string table, so that the tests follow the tables' wording.
std::string TableText(const std::string& language, const std::string& key)
{
    std::string text = ReadWholeFile(BinaryDirectory() + "/strings/" + language + "/crashreporter.txt");
    std::smatch m;
    if (std::regex_search(text, m, std::regex("\"" + key + "\"[ \\t]+\"([^\"\\n]*)\"")))
        return m[1];
    return std::string();
}

std::string RegexQuote(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// Records every upload: the form fields in arrival order and whether a file part came along.
class Collector
{
public:
    struct Upload
    {
        std::vector<std::pair<std::string, std::string>> fields;
        bool hasArchive = false;
        std::string archive;
        std::string Field(const std::string& name) const
        {
            for (const auto& f : fields)
                if (f.first == name)
                    return f.second;
            return "<missing>";
        }
    };

    explicit Collector(int answerDelayMs)
    {
        auto submit = [this, answerDelayMs](const httplib::Request& req, httplib::Response& res)
        {
            Upload upload;
            for (const auto& [name, part] : req.files)
            {
                if (name == "upload_file_minidump")
                {
                    upload.hasArchive = !part.content.empty();
                    upload.archive = part.content;
                }
                else
                    upload.fields.emplace_back(name, part.content);
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_uploads.push_back(upload);
            }
            // Keeps the dialog in its sending state long enough to be seen.
            std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
            res.set_content("ok", "text/plain");
        };
        m_server.Post("/submit/", submit);
        m_server.Post("/submit_script_errors/", submit);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~Collector()
    {
        m_server.stop();
        m_thread.join();
    }
    int Port() const { return m_port; }
    std::vector<Upload> Uploads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_uploads;
    }

private:
    httplib::Server m_server;
    int m_port = -1;
    std::thread m_thread;
    std::mutex m_mutex;
    std::vector<Upload> m_uploads;
};

// A report to send: a dump, a per-user folder and the configuration pointing at the collector.
class DialogRun : public testing::Test
{
protected:
    static void SetUpTestSuite() { s_server = new XServer(); }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override
    {
        if (!s_server->Ok())
            GTEST_SKIP() << s_server->Error();
        if (FindProgram("xdotool").empty())
            GTEST_SKIP() << "xdotool is not installed";
        for (const char* dir : {"work", "data", "dumps", "user", "logs"})
            ASSERT_EQ(mkdir(m_temp.Join(dir).c_str(), 0755), 0);
        m_temp.WriteFile("dumps/42.dmp", std::string(4096, 'D'));
        m_temp.WriteFile("work/crash-reporter.cfg",
                         "set crash_url \"http://127.0.0.1:" + std::to_string(m_collector.Port()) +
                             "/submit/\"\nset ElasticsearchUrl \"\"\n");
    }

    std::vector<std::string> ReportArgs() const
    {
        return {"--id",        "42",
                "--dump-path", m_temp.Join("dumps"),
                "--user-path", m_temp.Join("user"),
                "--product",   "Dialog Test",
                "--comments",  kComments};
    }

    std::unique_ptr<BackgroundProcess> Start(std::vector<std::string> args,
                                             std::vector<std::string> extraEnv = {})
    {
        args.insert(args.begin(), m_binary);
        // GTK's own leaks (caches kept until exit) are not ours to report under the leak checker.
        std::vector<std::string> env = {"DISPLAY=" + s_server->Display(),
                                        "WAYLAND_DISPLAY=",
                                        "NO_AT_BRIDGE=1",
                                        "GDK_BACKEND=x11",
                                        "XDG_DATA_HOME=" + m_temp.Join("data"),
                                        "LSAN_OPTIONS=suppressions=" GTK_LEAK_SUPPRESSIONS
                                        ":print_suppressions=0"};
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        return std::make_unique<BackgroundProcess>(args, m_temp.Join("work"), env, m_temp.Join("logs"));
    }

    std::string Window(const std::string& language = "english")
    {
        std::string title = TableText(language, "WINDOW_TITLE");
        EXPECT_FALSE(title.empty()) << "no WINDOW_TITLE in the " << language << " table";
        std::string id = WaitForWindow(s_server->Display(), "^" + RegexQuote(title) + "$", 30000);
        if (!id.empty())
        {
            // No window manager runs: give the dialog the keyboard directly.
            RunOnDisplay(s_server->Display(), {"xdotool", "windowfocus", "--sync", id});
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return id;
    }

    // The cancel button sits at the bottom right: 12 px from the right edge, 11 px from the bottom.
    void ClickCancel(const std::string& window)
    {
        std::string geometry;
        RunOnDisplay(s_server->Display(), {"xdotool", "getwindowgeometry", "--shell", window}, &geometry);
        std::smatch w, h;
        ASSERT_TRUE(std::regex_search(geometry, w, std::regex("WIDTH=(\\d+)"))) << geometry;
        ASSERT_TRUE(std::regex_search(geometry, h, std::regex("HEIGHT=(\\d+)"))) << geometry;
        const int x = std::stoi(w[1]) - 12 - 40;
        const int y = std::stoi(h[1]) - 11 - 10;
        Xdotool({"mousemove", "--window", window, std::to_string(x), std::to_string(y), "click", "1"});
    }

    void Xdotool(std::vector<std::string> args)
    {
        args.insert(args.begin(), "xdotool");
        EXPECT_EQ(RunOnDisplay(s_server->Display(), args), 0) << testing::PrintToString(args);
    }

    void Shot(const std::string& window, const std::string& name)
    {
        EXPECT_TRUE(Screenshot(s_server->Display(), ScreenshotFolder() + "/" + name, window));
    }

    // The report sender is the part that uploads; until it does, the upload checks cannot run.
    static bool SenderUploads(const std::string& out)
    {
        return out.find("Sent successfully") != std::string::npos ||
               out.find("Failed to send") != std::string::npos ||
               out.find("Could not create archive") != std::string::npos;
    }

    static constexpr const char* kComments = "crashed in level 3";
    static constexpr const char* kSentence = "I was fighting the boss on the bridge";
    static XServer* s_server;
    TempDir m_temp;
    Collector m_collector{1500};
    std::string m_binary = kReporter;
};
XServer* DialogRun::s_server = nullptr;
} // namespace

TEST_F(DialogRun, TypedSentenceAndEnterSendFromTheDialogWhichClosesByItself)
{
    auto reporter = Start(ReportArgs());
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    Xdotool({"type", "--delay", "15", kSentence});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Shot(window, "dialog-normal.png");
    Xdotool({"key", "Return"});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    if (reporter->Running())
        Shot(window, "dialog-sending.png");

    // Nothing else is pressed: the dialog closes when its sender is done and the run ends.
    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
    EXPECT_NE(out.find("Crash dialog closed: report sent"), std::string::npos) << out;
    // Sent from the dialog: the main flow does not send a second time.
    EXPECT_EQ(out.find("Sending finished"), std::string::npos) << out;
    if (!SenderUploads(out))
        GTEST_SKIP() << "the report sender does not upload yet";
    auto uploads = m_collector.Uploads();
    ASSERT_EQ(uploads.size(), 1u) << out;
    EXPECT_EQ(uploads[0].Field("Comments"), std::string(kComments) + "\n\n" + kSentence);
    EXPECT_EQ(uploads[0].Field("Id"), "42");
    EXPECT_EQ(uploads[0].Field("ProductName"), "Dialog Test");
    EXPECT_TRUE(uploads[0].hasArchive);
}

TEST_F(DialogRun, SentCommentsGetTwoLineFeedsAndAreCutAtAWholeCharacter)
{
    // The comments field holds 2048 bytes: 2041 given + two line feeds leave room for two and a
    // half two-byte characters, and the half must go.
    const std::string longComments(2041, 'c');
    struct Case
    {
        const char* name;
        std::string comments;
        std::string typed;
        std::string expected;
    };
    const Case cases[] = {
        {"empty box", kComments, "", std::string(kComments) + "\n\n"},
        {"cut typed text", longComments, "\xC3\xA9\xC3\xA9\xC3\xA9", longComments + "\n\n\xC3\xA9\xC3\xA9"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto args = ReportArgs();
        args.back() = c.comments;
        auto before = m_collector.Uploads().size();
        auto reporter = Start(args);
        ASSERT_TRUE(reporter->Started());
        std::string window = Window();
        ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
        if (!c.typed.empty())
            Xdotool({"type", "--delay", "30", c.typed});
        Xdotool({"key", "Return"});
        ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
        const std::string out = reporter->Out();
        EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
        if (!SenderUploads(out))
            GTEST_SKIP() << "the report sender does not upload yet";
        auto uploads = m_collector.Uploads();
        ASSERT_EQ(uploads.size(), before + 1) << out;
        EXPECT_EQ(uploads.back().Field("Comments"), c.expected);
    }
}

TEST_F(DialogRun, CancelStillUploadsWithoutTheSentence)
{
    auto reporter = Start(ReportArgs());
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    Xdotool({"type", "--delay", "15", kSentence});
    ClickCancel(window);

    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
    EXPECT_NE(out.find("Crash dialog closed: cancelled"), std::string::npos) << out;
    EXPECT_NE(out.find("Sending finished"), std::string::npos) << "the main flow sends after a cancel\n"
                                                               << out;
    if (!SenderUploads(out))
        GTEST_SKIP() << "the report sender does not upload yet";
    auto uploads = m_collector.Uploads();
    ASSERT_EQ(uploads.size(), 1u) << out;
    EXPECT_EQ(uploads[0].Field("Comments"), kComments);
}

// The archive is built while the player reads, but what arrives is the report folder as it is when
// the player presses "Send report": here the player opened the folder, edited the dump's copy and
// removed the log's.
TEST_F(DialogRun, WhatArrivesIsTheReportFolderAsItIsAtSend)
{
    ASSERT_EQ(mkdir(m_temp.Join("gamelogs").c_str(), 0755), 0);
    m_temp.WriteFile("gamelogs/game.log", "the game's log\n");
    std::vector<std::string> args = ReportArgs();
    args.insert(args.end(), {"--wc", m_temp.Join("gamelogs") + "/*.log"});
    auto reporter = Start(args);
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    // Long enough for the small archive to be built, and for the edits to get later file times.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    std::string folder;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_temp.Join("user/Exceptions")))
        if (e.path().filename() == "42.dmp")
            folder = e.path().parent_path().string();
    ASSERT_FALSE(folder.empty()) << reporter->Out();
    std::ofstream(folder + "/42.dmp", std::ios::binary | std::ios::trunc) << "EDITED";
    ASSERT_EQ(unlink((folder + "/game.log").c_str()), 0);
    Xdotool({"key", "Return"});

    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_NE(out.find("Crash dialog closed: report sent"), std::string::npos) << out;
    EXPECT_NE(out.find("changed while the dialog was open; the archive is built again"), std::string::npos)
        << out;
    auto uploads = m_collector.Uploads();
    ASSERT_EQ(uploads.size(), 1u) << out;
    const std::string zip = m_temp.Join("received.zip");
    std::ofstream(zip, std::ios::binary) << uploads[0].archive;
    auto listed = RunProcess({"/usr/bin/python3", "-c",
                              "import sys,zipfile\n"
                              "z=zipfile.ZipFile(sys.argv[1])\n"
                              "for i in z.infolist(): print(i.filename, z.read(i).decode())\n",
                              zip});
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    EXPECT_EQ(listed.out, "42.dmp EDITED\n");
}

// A studio that honours the player's Cancel as a refusal: nothing goes out, now or later, and the
// report stays on the player's disk.
TEST_F(DialogRun, CancelWithSendOnCancelOffSendsNothingAndKeepsTheReport)
{
    m_temp.WriteFile("work/crash-reporter.cfg",
                     ReadWholeFile(m_temp.Join("work/crash-reporter.cfg")) +
                         "set crash_sendOnCancel 0\nset pending_backoffBaseSec 0\n");
    auto reporter = Start(ReportArgs());
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    ClickCancel(window);
    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
    EXPECT_NE(out.find("Crash dialog closed: cancelled"), std::string::npos) << out;
    EXPECT_NE(out.find("INFO   : The player declined to send the report; it stays in '" +
                       m_temp.Join("user") + "/Exceptions/"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Sending finished"), std::string::npos) << out;

    // A launcher's later run does not send it either.
    auto later =
        RunProcess({kReporter, "--send-pending", "--user-path", m_temp.Join("user")}, m_temp.Join("work"),
                   {"DISPLAY=", "WAYLAND_DISPLAY=", "XDG_DATA_HOME=" + m_temp.Join("data")});
    EXPECT_EQ(later.exitCode, 0) << later.out << later.err;
    EXPECT_TRUE(m_collector.Uploads().empty()) << out << later.out;
    bool dumpKept = false;
    for (const auto& e : std::filesystem::recursive_directory_iterator(m_temp.Join("user/Exceptions")))
        dumpKept = dumpKept || e.path().filename() == "42.dmp";
    EXPECT_TRUE(dumpKept) << "the report folder is kept";
}

// A reporter shipped without its strings/ folder still shows words, not keys, and says what is missing.
TEST_F(DialogRun, WithoutStringTablesTheDialogShowsItsBuiltInEnglishTexts)
{
    ASSERT_EQ(mkdir(m_temp.Join("bin").c_str(), 0755), 0);
    for (const char* name : {"CrashReporter", "libCrashReporterDialog.so"})
        std::filesystem::copy_file(BinaryDirectory() + "/" + name, m_temp.Join("bin/") + name);
    m_binary = m_temp.Join("bin/CrashReporter");
    auto reporter = Start({"--test"});
    ASSERT_TRUE(reporter->Started());
    std::string window = Window("english");
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    Shot(window, "dialog-built-in-texts.png");
    Xdotool({"key", "Return"});
    ASSERT_TRUE(reporter->Wait(60000)) << reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << reporter->Out() << reporter->Err();
    const std::string all = reporter->Out() + reporter->Err();
    EXPECT_NE(all.find("ERROR  : No string tables in '" + m_temp.Join("bin") +
                       "/strings/english': the dialog shows its built-in English texts"),
              std::string::npos)
        << all;
}

TEST_F(DialogRun, IoCrashRepairStartsTheLauncherAndTheReportIsStillSent)
{
    const std::string launcher = m_temp.Join("game launcher.sh");
    const std::string marker = m_temp.Join("launcher-ran.txt");
    WriteScript(launcher, "printf '%s|%s|%s\\n' \"$0\" \"$#\" \"$(pwd)\" > '" + marker + "'\n");
    auto args = ReportArgs();
    args.insert(args.end(), {"--io-crash", "--launcher-path", launcher});
    auto reporter = Start(args);
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Shot(window, "dialog-io-crash.png");
    // The repair button is the default and has the focus: Enter presses it.
    Xdotool({"key", "Return"});

    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
    EXPECT_NE(out.find("Crash dialog closed: repair"), std::string::npos) << out;
    ASSERT_TRUE(WaitForFile(marker, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Its own path as the only argument, the reporter's working directory inherited.
    EXPECT_EQ(ReadWholeFile(marker), launcher + "|0|" + m_temp.Join("work") + "\n");
    EXPECT_NE(out.find("Sending finished"), std::string::npos) << out;
    if (!SenderUploads(out))
        GTEST_SKIP() << "the report sender does not upload yet";
    auto uploads = m_collector.Uploads();
    ASSERT_EQ(uploads.size(), 1u) << out;
    EXPECT_EQ(uploads[0].Field("Comments"), kComments);
}

TEST_F(DialogRun, GermanTestRunShowsGermanTextsAndClosesAsSent)
{
    // The window is found by its German title; the screenshot shows the other texts.
    auto reporter = Start({"--test", "--lang", "german"});
    ASSERT_TRUE(reporter->Started());
    std::string window = Window("german");
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    Shot(window, "dialog-german.png");
    Xdotool({"key", "Return"});
    ASSERT_TRUE(reporter->Wait(60000)) << reporter->Out();
    const std::string out = reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << out << reporter->Err();
    EXPECT_NE(out.find("Crash dialog closed: report sent"), std::string::npos) << out;
    EXPECT_TRUE(m_collector.Uploads().empty()) << "a test run sends nothing";
}

// With the shipped example settings (every language offered), each language the engine knows
// opens the dialog in that language: the window is found by its translated title.
TEST_F(DialogRun, EveryLanguageOpensWithTheExampleSettings)
{
    m_temp.WriteFile("work/crash-reporter.cfg", ReadWholeFile(EXAMPLE_CONFIG_PATH));
    for (const char* language : {"english", "german", "french", "italian", "spanish", "russian", "chinese",
                                 "tchinese", "japanese", "korean", "thai", "indonesian", "vietnamese"})
    {
        SCOPED_TRACE(language);
        auto reporter = Start({"--test", "--lang", language});
        ASSERT_TRUE(reporter->Started());
        // xdotool cannot match titles outside ASCII: the window is found by its class, and its
        // title (which it prints whole) is compared.
        const std::string title = TableText(language, "WINDOW_TITLE");
        std::string window, shown;
        for (int i = 0; i < 300 && window.empty(); ++i)
        {
            std::string ids;
            RunOnDisplay(s_server->Display(),
                         {"xdotool", "search", "--onlyvisible", "--class", "CrashReporter"}, &ids);
            std::istringstream lines(ids);
            for (std::string id; std::getline(lines, id) && window.empty();)
            {
                RunOnDisplay(s_server->Display(), {"xdotool", "getwindowname", id}, &shown);
                if (shown == title + "\n")
                    window = id;
            }
            if (window.empty())
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_FALSE(window.empty()) << "no window titled '" << title << "' (last seen '" << shown << "')\n"
                                     << reporter->Out() << reporter->Err();
        RunOnDisplay(s_server->Display(), {"xdotool", "windowfocus", "--sync", window});
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Xdotool({"key", "Return"});
        ASSERT_TRUE(reporter->Wait(60000)) << reporter->Out();
        EXPECT_EQ(reporter->ExitCode(), 0) << reporter->Out() << reporter->Err();
        EXPECT_EQ(reporter->Out().find("No string tables"), std::string::npos) << reporter->Out();
    }
}

TEST_F(DialogRun, DoubleScaleDoublesTheWindowAndKeepsItsLayout)
{
    struct Case
    {
        const char* scale;
        const char* screenshot;
    };
    const Case cases[] = {{"1", "dialog-1x.png"}, {"2", "dialog-2x.png"}};
    int widths[2] = {0, 0};
    for (int i = 0; i < 2; ++i)
    {
        SCOPED_TRACE(cases[i].scale);
        auto reporter = Start({"--test"}, {std::string("GDK_SCALE=") + cases[i].scale});
        ASSERT_TRUE(reporter->Started());
        std::string window = Window();
        ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
        std::string geometry;
        RunOnDisplay(s_server->Display(), {"xdotool", "getwindowgeometry", "--shell", window}, &geometry);
        std::smatch w;
        ASSERT_TRUE(std::regex_search(geometry, w, std::regex("WIDTH=(\\d+)"))) << geometry;
        widths[i] = std::stoi(w[1]);
        Shot(window, cases[i].screenshot);
        Xdotool({"key", "Escape"});
        ASSERT_TRUE(reporter->Wait(60000)) << reporter->Out();
        EXPECT_EQ(reporter->ExitCode(), 0) << reporter->Out() << reporter->Err();
    }
    // The template's 512 logical pixels, in device pixels at each scale.
    EXPECT_EQ(widths[0], 512);
    EXPECT_EQ(widths[1], 1024);
}

#ifdef COLLECTOR_PATH
namespace
{
// The value of the string field `name` in the collector's "fields.json" (a flat JSON object).
std::string JsonField(const std::string& json, const std::string& name)
{
    const std::string key = "\"" + name + "\":";
    size_t at = json.find(key);
    if (at == std::string::npos)
        return "<missing>";
    at = json.find('"', at + key.size());
    std::string out;
    for (size_t i = at + 1; i < json.size() && json[i] != '"'; ++i)
    {
        if (json[i] != '\\' || i + 1 >= json.size())
        {
            out += json[i];
            continue;
        }
        char e = json[++i];
        if (e == 'n')
            out += '\n';
        else if (e == 'r')
            out += '\r';
        else if (e == 't')
            out += '\t';
        else if (e == 'u' && i + 4 < json.size())
        {
            out += static_cast<char>(std::stoi(json.substr(i + 1, 4), nullptr, 16));
            i += 4;
        }
        else
            out += e;
    }
    return out;
}
} // namespace

// The same send, against the project's collector program instead of the in-test server.
TEST_F(DialogRun, TheCollectorReceivesTheCommentsWithTheTypedSentence)
{
    const std::string data = m_temp.Join("collector");
    ASSERT_EQ(mkdir(data.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(m_temp.Join("collector-logs").c_str(), 0755), 0);
    BackgroundProcess collector({COLLECTOR_PATH, "--port", "0", "--data", data, "--delay-ms", "800"}, "", {},
                                m_temp.Join("collector-logs"));
    ASSERT_TRUE(collector.Started());
    std::smatch port;
    const std::regex ready("Collector listening on 127\\.0\\.0\\.1:(\\d+)");
    std::string out;
    for (int i = 0; i < 200 && !std::regex_search(out = collector.Out(), port, ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(port.empty()) << out << collector.Err();
    m_temp.WriteFile("work/crash-reporter.cfg", "set crash_url \"http://127.0.0.1:" + port[1].str() +
                                                    "/submit/\"\nset ElasticsearchUrl \"\"\n");

    auto reporter = Start(ReportArgs());
    ASSERT_TRUE(reporter->Started());
    std::string window = Window();
    ASSERT_FALSE(window.empty()) << reporter->Out() << reporter->Err();
    Xdotool({"type", "--delay", "15", kSentence});
    Xdotool({"key", "Return"});
    ASSERT_TRUE(reporter->Wait(90000)) << reporter->Out();
    EXPECT_EQ(reporter->ExitCode(), 0) << reporter->Out() << reporter->Err();
    EXPECT_NE(reporter->Out().find("Crash dialog closed: report sent"), std::string::npos) << reporter->Out();
    if (!SenderUploads(reporter->Out()))
        GTEST_SKIP() << "the report sender does not upload yet";
    const std::string fields = ReadWholeFile(data + "/reports/0001/fields.json");
    ASSERT_FALSE(fields.empty()) << "no upload stored\n" << reporter->Out();
    EXPECT_EQ(JsonField(fields, "Comments"), std::string(kComments) + "\n\n" + kSentence) << fields;
    EXPECT_EQ(JsonField(fields, "Id"), "42") << fields;
}
#endif

// Where no dialog can open, the run goes on and the main flow sends, with a warning in the log.
TEST(DialogUnavailable, RunFallsBackToSendingWithAWarning)
{
    TempDir temp;
    ASSERT_EQ(mkdir(temp.Join("alone").c_str(), 0755), 0);
    // A copy of the reporter without the module beside it.
    const std::string lonely = temp.Join("alone/CrashReporter");
    {
        std::ifstream in(kReporter, std::ios::binary);
        std::ofstream out(lonely, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(chmod(lonely.c_str(), 0755), 0);
    struct Case
    {
        const char* name;
        std::string binary;
        std::string display;
        const char* warning;
    };
    const Case cases[] = {
        {"no display", kReporter, "", "Could not start GTK"},
        {"display that does not answer", kReporter, ":31999", "Could not start GTK"},
        {"no module", lonely, ":31999", "Crash dialog not available"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        auto r = RunProcess({c.binary, "--test"}, temp.Path(),
                            {"DISPLAY=" + c.display, "WAYLAND_DISPLAY=", "XDG_DATA_HOME=" + temp.Join("data"),
                             "LSAN_OPTIONS=suppressions=" GTK_LEAK_SUPPRESSIONS ":print_suppressions=0"});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(std::string("WARNING: ") + c.warning), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Sending finished"), std::string::npos) << r.out;
    }
}
