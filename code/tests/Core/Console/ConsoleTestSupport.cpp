#include "ConsoleTestSupport.h"

namespace Morvex::Test
{
namespace
{
std::vector<Tokens> GProbeCalls;

void ProbeHandler(const CmdArgs& args)
{
    Tokens tokens;
    for (uint32 i = 0; i < args.Count(); ++i)
        tokens.emplace_back(args[i]);
    GProbeCalls.push_back(tokens);
}

MX_CONSOLE_COMMAND("probe", "Records its arguments (tests)", ProbeHandler);
} // namespace

const std::vector<Tokens>& ProbeCalls()
{
    return GProbeCalls;
}

void ClearProbe()
{
    GProbeCalls.clear();
}

void ConsoleTest::SetUp()
{
    if (!CmdSystem::IsInitialized())
        CmdSystem::Init();
    CmdSystem::ClearPending();
    CmdSystem::RemoveAllAliases();
    CmdSystem::SetFrameNumber(0);
    CmdSystem::SetElapsedSeconds(0.0);
    ClearProbe();
    m_sink.Clear();
}

void ConsoleTest::TearDown()
{
    CmdSystem::ClearPending();
    CmdSystem::RemoveAllAliases();
    CmdSystem::SetFrameNumber(0);
}

void ConsoleTest::Run(const std::string& script)
{
    CmdSystem::AddText(script.data(), static_cast<uint32>(script.size()));
    CmdSystem::Execute();
}

std::vector<std::string> ConsoleTest::ConsoleOutput() const
{
    std::vector<std::string> out;
    for (const CapturingSink::Line& line : m_sink.Lines())
    {
        if (line.level == Log::Console)
            out.push_back(line.text);
    }
    return out;
}
} // namespace Morvex::Test
