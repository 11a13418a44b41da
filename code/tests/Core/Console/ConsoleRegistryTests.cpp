// The one-time lifecycle of the console registries, in a process of its own: registration of more
// variables than the registry holds without heap, faulty declarations, command name clashes, the
// first buffer overflow of the process, and shutdown.

#include "Core/CVar.h"
#include "Core/CmdStringList.h"
#include "Core/CmdSystem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;
using Morvex::Test::CapturingSink;

namespace
{
bool GAcceptChanges = false;
bool Gate(CVar*, void*)
{
    return GAcceptChanges;
}

CVar reg_dup(CVarType::Int, "reg_dup", 0, "1", "");
CVar reg_DUP(CVarType::Int, "REG_DUP", 0, "2", "");
CVar reg_rejectsDefault(CVarType::String, "reg_rejectsDefault", 0, "wanted", "", Gate);
CVar reg_text(CVarType::String, "reg_text", 0, "some text that does not fit inline storage", "");

std::vector<std::string> GOverrideCalls;
void OverrideEcho(const CmdArgs& args)
{
    GOverrideCalls.push_back(args.Count() > 1 ? args[1] : "");
}

uint32 CountExpression(const AssertRecorder& recorder, const std::string& expression,
                       const std::string& message)
{
    uint32 n = 0;
    for (const auto& r : recorder.Records())
        n += r.expression == expression && r.message == message;
    return n;
}
} // namespace

TEST(ConsoleRegistry, Lifecycle)
{
    ASSERT_FALSE(CmdSystem::IsInitialized());
    // Before registration nothing is found and values are untouched.
    EXPECT_EQ(CVar::FindVar("reg_text"), nullptr);
    EXPECT_STREQ(reg_text.GetS(), "");

    // More variables than MAX_CVARS, declared (as static objects would be) before Init.
    const uint32 kBulk = MAX_CVARS + 64;
    std::vector<std::string> names;
    names.reserve(kBulk);
    std::vector<std::unique_ptr<CVar>> bulk;
    for (uint32 i = 0; i < kBulk; ++i)
    {
        names.push_back("bulk_" + std::to_string(i));
        bulk.push_back(std::make_unique<CVar>(CVarType::Int, names.back().c_str(), 0, "5", ""));
    }
    // Declared last, so registered first: the built-in command of the same name is skipped.
    auto overrideEcho = std::make_unique<ConsoleCommand>("ECHO", "prints nothing", OverrideEcho);
    // Gone before registration: neither list keeps them.
    {
        CVar transient(CVarType::Int, "reg_transient", 0, "1", "");
        ConsoleCommand transientCommand("reg_transient", "", OverrideEcho);
    }

    CapturingSink sink;
    {
        AssertRecorder recorder;
        // Text buffered before Init is a broken call order; it stays and runs later.
        CmdSystem::AddText("nosuch_command");
        CmdSystem::Init();
        EXPECT_EQ(CountExpression(recorder, "IsEmpty()", ""), 1u);
        uint32 total = CVar::GetNumCvars();
        ASSERT_GT(total, MAX_CVARS);
        EXPECT_EQ(
            CountExpression(recorder, "!GCvars.full()", "CVar array exceeded! Increase MAX_CVARS constant!"),
            total - MAX_CVARS);
        EXPECT_EQ(CountExpression(recorder, "FindVar(name) == nullptr", "Duplicate cvar name"), 1u);
        EXPECT_EQ(CountExpression(recorder, "cvar->SetS(cvar->GetDefault())", ""), 1u);
    }
    EXPECT_TRUE(CmdSystem::IsInitialized());

    // Every variable registered, sorted, set to its default and found ignoring case.
    for (uint32 i = 1; i < CVar::GetNumCvars(); ++i)
        EXPECT_LT(std::strcmp(CVar::GetCvar(i - 1)->GetName(), CVar::GetCvar(i)->GetName()), 0);
    for (uint32 i = 0; i < kBulk; ++i)
    {
        std::string upper = names[i];
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        CVar* found = CVar::FindVar(upper.c_str());
        ASSERT_EQ(found, bulk[i].get()) << names[i];
        EXPECT_EQ(found->GetInt(), 5);
        EXPECT_EQ(found->GetFlags() & CVAR_MODIFIED, 0u);
    }
    EXPECT_STREQ(reg_text.GetS(), "some text that does not fit inline storage");
    // A default the callback rejects leaves the previous (empty) text.
    EXPECT_STREQ(reg_rejectsDefault.GetS(), "");
    CVar* dup = CVar::FindVar("reg_dup");
    ASSERT_NE(dup, nullptr);
    EXPECT_TRUE(dup == &reg_dup || dup == &reg_DUP);

    // Command clash: one warning, the first registered wins.
    EXPECT_EQ(sink.CountContaining("ConCmdSystem: command 'echo' already exists"), 1u);
    sink.Clear();
    CmdSystem::AddText("echo hi");
    CmdSystem::Execute();
    EXPECT_EQ(GOverrideCalls, std::vector<std::string>{"hi"});
    EXPECT_FALSE(sink.Contains(Log::Console, "hi "));
    EXPECT_EQ(CVar::FindVar("reg_transient"), nullptr);
    GOverrideCalls.clear();
    CmdSystem::AddText("reg_transient x");
    CmdSystem::Execute();
    EXPECT_TRUE(GOverrideCalls.empty());

    // Registered ones that go away leave the registries intact.
    uint32 commands = CmdSystem::GetNumCommands();
    overrideEcho.reset();
    EXPECT_EQ(CmdSystem::GetNumCommands(), commands - 1);
    CmdSystem::AddText("echo gone; cmdList");
    CmdSystem::Execute();
    EXPECT_TRUE(GOverrideCalls.empty());
    EXPECT_TRUE(sink.Contains(Log::Console, "\n" + std::to_string(commands - 1) + " commands"));
    uint32 cvars = CVar::GetNumCvars();
    bulk[7].reset();
    EXPECT_EQ(CVar::GetNumCvars(), cvars - 1);
    EXPECT_EQ(CVar::FindVar(names[7].c_str()), nullptr);
    EXPECT_EQ(CVar::FindVar(names[8].c_str()), bulk[8].get());
    EXPECT_EQ(CVar::FindVar("reg_text"), &reg_text);

    // The first overflow of the process logs the whole buffer once; later ones only the dropped text.
    for (uint32 i = 0; i < CmdStringList::kMaxStrings + 2; ++i)
        CmdSystem::AddText(("wait " + std::to_string(i)).c_str());
    EXPECT_EQ(sink.CountContaining("too many strings in the buffer, ignoring 'wait 512'"), 1u);
    EXPECT_EQ(sink.CountContaining(
                  "Since it's the first time we encounter this, I'll log the whole command buffer here:"),
              1u);
    EXPECT_TRUE(sink.Contains(Log::Warning, "    0: wait 0"));
    EXPECT_TRUE(sink.Contains(Log::Warning, "    511: wait 511"));
    EXPECT_EQ(sink.CountContaining("    "), CmdStringList::kMaxStrings);
    EXPECT_EQ(sink.CountContaining("Since it's the first time"), 1u);

    // A second Init only warns.
    CmdSystem::Init();
    EXPECT_TRUE(sink.Contains(Log::Warning, "Don't call CmdSystem::Init() more than once"));

    // Shutdown empties everything; a second one finds nothing to do; Init stays refused.
    CmdSystem::AddText("echo pending");
    CmdSystem::Shutdown();
    EXPECT_EQ(CmdSystem::GetNumPending(), 0u);
    EXPECT_EQ(CmdSystem::GetNumCommands(), 0u);
    EXPECT_EQ(CVar::GetNumCvars(), 0u);
    EXPECT_EQ(CVar::FindVar("reg_text"), nullptr);
    EXPECT_FALSE(reg_text.text.OnHeap());
    CmdSystem::Shutdown();
    sink.Clear();
    CmdSystem::Init();
    EXPECT_TRUE(sink.Contains(Log::Warning, "Don't call CmdSystem::Init() more than once"));
    EXPECT_EQ(CmdSystem::GetNumCommands(), 0u);
    GOverrideCalls.clear();
    CmdSystem::AddText("echo gone; set reg_text x");
    CmdSystem::Execute();
    EXPECT_TRUE(GOverrideCalls.empty());
    EXPECT_STREQ(reg_text.text.c_str(), "");

    // Declarations after registration are refused for good.
    AssertRecorder recorder;
    CVar late(CVarType::Int, "reg_late", 0, "1", "");
    EXPECT_EQ(CountExpression(recorder, "0", "CVar declared after RegisterCvars were called"), 1u);
}
