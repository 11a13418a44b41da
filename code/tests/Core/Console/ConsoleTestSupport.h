#pragma once
// Shared by the console suites: a fixture that brings the command system up once per process and
// leaves the buffer, the aliases and the clock clean around every test, a probe command that
// records the tokens it receives, and the console output of a script run.

#include "Core/CVar.h"
#include "Core/CmdSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Morvex::Test
{
using Tokens = std::vector<std::string>;

// Every call of the "probe" command since the last ClearProbe, in order.
const std::vector<Tokens>& ProbeCalls();
void ClearProbe();

class ConsoleTest : public testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Appends the script (embedded NULs included) and executes the buffer.
    void Run(const std::string& script);
    // The texts logged at Console level since the test started (or the last ClearOutput).
    std::vector<std::string> ConsoleOutput() const;
    void ClearOutput() { m_sink.Clear(); }

    CapturingSink m_sink;
};
} // namespace Morvex::Test
