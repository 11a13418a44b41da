#include "Core/Assert.h"

#include "Core/Log.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

TEST(Assert, ReportTextsWithAndWithoutMessage)
{
    // The Fatal line is what the sinks see before the trap; capture it in a child.
    EXPECT_EXIT(
        {
            ConsoleSink console;
            Log::AddSink(&console, Log::kMaskAll);
            DefaultAssertHandler("src/x.cpp", 42, "a == b", nullptr);
        },
        testing::KilledBySignal(SIGTRAP), "FATAL  : src/x.cpp\\(42\\): ASSERT: a == b\n");
    EXPECT_EXIT(
        {
            ConsoleSink console;
            Log::AddSink(&console, Log::kMaskAll);
            DefaultAssertHandler("src/x.cpp", 7, "p", "p can't be null");
        },
        testing::KilledBySignal(SIGTRAP), "FATAL  : src/x.cpp\\(7\\): ASSERT: p: p can't be null\n");
}

TEST(Assert, LongReportsAreCutAt1024Characters)
{
    std::string expression(2000, 'e');
    EXPECT_EXIT(
        {
            ConsoleSink console;
            Log::AddSink(&console, Log::kMaskAll);
            DefaultAssertHandler("f", 1, expression.c_str(), "tail");
        },
        testing::KilledBySignal(SIGTRAP),
        std::string("FATAL  : f\\(1\\): ASSERT: ") + std::string(1024 - 14, 'e') + "\n");
}

TEST(Assert, ReplacedHandlerSeesEveryFailureAndExecutionContinues)
{
    AssertRecorder recorder;
    int after = 0;
    MX_ASSERT(1 + 1 == 3);
    ++after;
    MX_ASSERT_MSG(false, "with message");
    ++after;
    const bool verified = MX_VERIFY(after == 100);
    MX_ASSERT_FAIL("unconditional");
    EXPECT_EQ(after, 2);
    EXPECT_FALSE(verified);
    ASSERT_EQ(recorder.Count(), 4u);
    EXPECT_EQ(recorder.Records()[0].expression, "1 + 1 == 3");
    EXPECT_FALSE(recorder.Records()[0].hasMessage);
    EXPECT_EQ(recorder.Records()[1].message, "with message");
    EXPECT_EQ(recorder.Records()[2].expression, "after == 100");
    EXPECT_EQ(recorder.Records()[3].expression, "DebugBreak");
    EXPECT_EQ(recorder.Records()[3].message, "unconditional");
    EXPECT_NE(recorder.Records()[0].file.find("AssertTests.cpp"), std::string::npos);
}

TEST(Assert, PassingChecksReportNothing)
{
    AssertRecorder recorder;
    MX_ASSERT(true);
    EXPECT_TRUE(MX_VERIFY(2 > 1));
    EXPECT_EQ(recorder.Count(), 0u);
}

TEST(Assert, NoDebuggerUnderTheTestRunner)
{
    // ctest does not trace its children; AssertFailed therefore tells call sites not to break.
    AssertRecorder recorder;
    EXPECT_FALSE(AssertFailed("f", 1, "x", nullptr));
    EXPECT_FALSE(Platform_IsDebuggerPresent());
}
