#include "Core/Log.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

using namespace Morvex;
using Morvex::Test::CapturingSink;

TEST(Log, MaskAdmitsLevelTable)
{
    struct Case
    {
        uint32 mask;
        uint32 level;
        bool delivered;
    };
    const Case cases[] = {
        {63, Log::NetLog, false},
        {127, Log::NetLog, true},
        {63, Log::Console, true},
        {63, Log::Debug, true},
        {Log::Error, Log::Warning, false},
        {Log::Error | Log::Fatal, Log::Fatal, true},
        {0, Log::Error, false},
    };
    for (const Case& c : cases)
    {
        CapturingSink sink(c.mask);
        Log::Printf(__FILE__, __LINE__, c.level, "message %u", c.level);
        EXPECT_EQ(sink.Lines().size(), c.delivered ? 1u : 0u) << "mask " << c.mask << " level " << c.level;
    }
}

TEST(Log, AddingTwiceReplacesTheMask)
{
    CapturingSink sink(Log::Error, false);
    Log::AddSink(&sink, Log::Error);
    Log::AddSink(&sink, Log::Info);
    Log::Printf(Log::Error, "not admitted any more");
    Log::Printf(Log::Info, "admitted");
    Log::RemoveSink(&sink);
    ASSERT_EQ(sink.Lines().size(), 1u);
    EXPECT_EQ(sink.Lines()[0].text, "admitted");
}

TEST(Log, RemovalSwapsTheLastSinkIntoThePlace)
{
    Log::SinkEntry before[64];
    const uint32 base = Log::GetSinks(before, 64);
    CapturingSink a(1, false), b(2, false), c(4, false);
    Log::AddSink(&a, 1);
    Log::AddSink(&b, 2);
    Log::AddSink(&c, 4);
    Log::RemoveSink(&a);
    Log::SinkEntry after[64];
    const uint32 n = Log::GetSinks(after, 64);
    ASSERT_EQ(n, base + 2);
    EXPECT_EQ(after[base].sink, &c);
    EXPECT_EQ(after[base + 1].sink, &b);
    Log::RemoveSink(&a); // not listed: ignored
    Log::RemoveSink(&b);
    Log::RemoveSink(&c);
    EXPECT_EQ(Log::GetSinks(after, 64), base);
}

TEST(Log, MoreThanTwentySinksAllReceive)
{
    std::vector<std::unique_ptr<CapturingSink>> sinks;
    for (int i = 0; i < 45; ++i)
        sinks.push_back(std::make_unique<CapturingSink>(Log::Info));
    Log::Printf(Log::Info, "to all");
    for (auto& s : sinks)
        EXPECT_EQ(s->Lines().size(), 1u);
}

TEST(Log, LongMessagesAreCutAt2047Bytes)
{
    CapturingSink sink;
    std::string text(3000, 'x');
    Log::Printf(Log::Info, "%s", text.c_str());
    ASSERT_EQ(sink.Lines().size(), 1u);
    EXPECT_EQ(sink.Lines()[0].text, std::string(2047, 'x'));
}

TEST(Log, PrintfWithoutSourceUsesEmptyFileAndLineZero)
{
    CapturingSink sink;
    Log::Printf(Log::Warning, "w");
    Log::ConsolePrintf("console %d", 5);
    ASSERT_EQ(sink.Lines().size(), 2u);
    EXPECT_EQ(sink.Lines()[0].file, "");
    EXPECT_EQ(sink.Lines()[0].line, 0);
    EXPECT_EQ(sink.Lines()[1].level, Log::Console);
    EXPECT_EQ(sink.Lines()[1].text, "console 5");
}

TEST(Log, LevelNames)
{
    const std::pair<uint32, const char*> cases[] = {
        {1, "DEBUG"},    {2, "INFO"},    {4, "WARNING"},   {8, "ERROR"},     {16, "FATAL"},
        {32, "CONSOLE"}, {64, "NETLOG"}, {0, "!UNKNOWN!"}, {3, "!UNKNOWN!"}, {128, "!UNKNOWN!"},
    };
    for (const auto& [level, name] : cases)
        EXPECT_STREQ(Log::LevelName(level), name) << level;
}

namespace
{
// Runs `fn` with stdout and stderr redirected to files and returns what each received.
template <typename Fn>
std::pair<std::string, std::string> CaptureStreams(Fn fn)
{
    std::fflush(stdout);
    std::fflush(stderr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    int savedOut = dup(1), savedErr = dup(2);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    fn();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    auto read = [](FILE* f)
    {
        std::string s;
        std::rewind(f);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
            s.append(buf, n);
        std::fclose(f);
        return s;
    };
    return {read(out), read(err)};
}
} // namespace

TEST(ConsoleSink, FormatsAndChoosesTheStream)
{
    ConsoleSink sink;
    auto [out, err] = CaptureStreams(
        [&]
        {
            sink.Write(Log::Info, "f.cpp", 3, "hello");
            sink.Write(Log::Error, "f.cpp", 4, "bad");
            sink.Write(Log::Fatal, "", 0, "worse");
            sink.Write(Log::Console, nullptr, 0, "echo");
        });
    EXPECT_EQ(out, "INFO   : hello\nCONSOLE: echo\n");
    EXPECT_EQ(err, "ERROR  : bad\nFATAL  : worse\n");
}

TEST(DebuggerSink, UsesBracketFormWithoutFile)
{
    DebuggerSink sink;
    auto [out, err] = CaptureStreams(
        [&]
        {
            sink.Write(Log::Warning, "src/a.cpp", 12, "with file");
            sink.Write(Log::Info, "src/b.cpp", 0, "line zero");
            sink.Write(Log::Info, "", 5, "empty file");
            sink.Write(Log::Info, nullptr, 5, "null file");
        });
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "src/a.cpp(12):[WARNING] with file\nsrc/b.cpp(0):[INFO] line zero\n[INFO] empty "
                   "file\n[INFO] null file\n");
}
