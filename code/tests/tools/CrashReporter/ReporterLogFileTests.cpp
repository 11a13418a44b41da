// The real reporter's own log file: where it lands, its name, and what a run leaves in it.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using Morvex::Test::RunProcess;
using Morvex::Test::TempDir;

namespace
{
class ReporterLogFile : public testing::Test
{
protected:
    Morvex::Test::ProcessResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), CRASH_REPORTER_PATH);
        return RunProcess(args, m_work.Path(),
                          {"XDG_DATA_HOME=" + m_data.Path(), "DISPLAY=", "WAYLAND_DISPLAY="});
    }

    // The one log file the run left, read whole; fails the test unless there is exactly one.
    std::string OnlyLogFile()
    {
        const std::filesystem::path logs =
            std::filesystem::path(m_data.Path()) / "Morvex/Morvex Crash Reporter/logs";
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(logs))
            for (const auto& entry : std::filesystem::directory_iterator(logs))
                files.push_back(entry.path());
        EXPECT_EQ(files.size(), 1u);
        if (files.size() != 1)
            return "";
        const std::string name = files[0].filename().string();
        EXPECT_TRUE(std::regex_match(name, std::regex(R"(crashreport_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.log)")))
            << name;
        std::ifstream in(files[0], std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempDir m_work;
    TempDir m_data;
};

const std::regex
    kHeader(R"(\r\n--- Date: \d{4}-\d{1,2}-\d{1,2} \((Sun|Mon|Tue|Wed|Thu|Fri|Sat) )"
            R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4}\) UTC[+-]\d\d:\d\d\r\n\r\n)");
} // namespace

TEST_F(ReporterLogFile, RunWithoutArgumentsLeavesOnlyTheHeader)
{
    auto r = Run({});
    EXPECT_EQ(r.exitCode, 2);
    const std::string text = OnlyLogFile();
    EXPECT_TRUE(std::regex_match(text, kHeader)) << text;
}

TEST_F(ReporterLogFile, TestRunLogsEveryLineWithTimeAndLevel)
{
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const std::string text = OnlyLogFile();
    std::smatch header;
    ASSERT_TRUE(std::regex_search(text, header, kHeader, std::regex_constants::match_continuous)) << text;
    const std::string lines = text.substr(header.length());
    EXPECT_NE(lines.find("         | Product: 'Application' Params: ''\r\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("         | Sending finished\r\n"), std::string::npos) << lines;
    // Every line: "hh:mm:ss.mmm", the level right-aligned in eight columns, "| ", the text, CR LF.
    std::istringstream in(lines);
    std::string line;
    const std::regex lineFormat(R"(\d\d:\d\d:\d\d\.\d{3} [ A-Z]{8}\| .*\r)");
    while (std::getline(in, line))
        EXPECT_TRUE(std::regex_match(line, lineFormat)) << line;
}

// A configuration script that switches the file log off keeps every later line out of it.
TEST_F(ReporterLogFile, DisabledByConfiguration)
{
    m_work.WriteFile("crash-reporter.cfg", "set file_disableLog 1\n");
    auto r = Run({"--test"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Sending finished"), std::string::npos) << r.out;
    const std::string text = OnlyLogFile();
    EXPECT_TRUE(std::regex_match(text, kHeader)) << text;
}
