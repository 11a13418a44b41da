// Runs the real reporter binary and checks what a caller sees: exit codes and console output.

#include "TestSupport.h"

#include <gtest/gtest.h>

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
        return RunProcess(args, m_work.Path(), {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    }
    TempDir m_work;
    TempDir m_data;
};
} // namespace

TEST_F(ReporterRun, MissingIdOrDumpPathExitsTwoSilently)
{
    const std::vector<std::vector<std::string>> cases = {
        {}, {"--id", "42"}, {"--dump-path", "/tmp"}, {"--id", "--dump-path", "/tmp"}, {"--id", "42", "--dump-path"},
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
