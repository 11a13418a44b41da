#include "Core/VideoOutput/VideoOutput.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace Morvex;
using Morvex::Test::AssertRecorder;

namespace
{
// What the fake platform shows; tests change it between updates.
struct FakeMachine
{
    std::vector<VideoAdapterDesc> adapters;
    std::vector<VideoOutputDesc> outputs;
    bool answers = true;
    // Device creation: the rank reached with and without the 11.1 level (0 = fails).
    uint32 rankWith11_1 = 0;
    uint32 rankWithout = 6;
    std::vector<bool> deviceCalls; // withLevel11_1 of each call
};

class FakeEnumerator final : public VideoEnumerator
{
public:
    explicit FakeEnumerator(FakeMachine& machine) : m_machine(machine) {}
    bool Enumerate(std::vector<VideoAdapterDesc>& adapters, std::vector<VideoOutputDesc>& outputs) override
    {
        adapters = m_machine.adapters;
        outputs = m_machine.outputs;
        return m_machine.answers;
    }
    uint32 CreateDeviceRank(const VideoAdapterDesc&, bool withLevel11_1) override
    {
        m_machine.deviceCalls.push_back(withLevel11_1);
        return withLevel11_1 ? m_machine.rankWith11_1 : m_machine.rankWithout;
    }

private:
    FakeMachine& m_machine;
};

VideoAdapterDesc Adapter(const char* id, uint32 vendorId, const char* description, uint64 driverVersion = 0)
{
    VideoAdapterDesc d;
    d.uniqueId.Assign(id);
    d.vendorId = vendorId;
    d.deviceId = 0x2684;
    d.description.Assign(description);
    d.driverVersion = driverVersion;
    d.dedicatedVideoMemory = uint64(24) << 30;
    return d;
}

VideoOutputDesc Output(const char* name, bool attached, VideoRect desktop, int32 adapter, float dpi = 0.0f)
{
    VideoOutputDesc d;
    d.deviceName.Assign(name);
    d.attached = attached;
    d.desktop = desktop;
    d.adapterIndex = adapter;
    d.dpi = dpi;
    return d;
}

class VideoOutputTest : public testing::Test
{
protected:
    void TearDown() override { VideoAdapter::Shutdown(); }
    void Init() { VideoAdapter::InitWithEnumerator(std::make_unique<FakeEnumerator>(machine)); }
    FakeMachine machine;
};

TEST_F(VideoOutputTest, OneAdapterWithTwoAttachedMonitorsAndADetachedOutput)
{
    machine.adapters = {Adapter("0000:01:00.0", 0x10DE, "NVIDIA nvidia [10de:2684]", 0x0226003600000000ull)};
    machine.outputs = {Output("DP-1", true, {0, 0, 2560, 1440}, 0), Output("HDMI-1", false, {}, 0),
                       Output("DP-2", true, {2560, 0, 1920, 1080}, 0)};
    Init();
    const std::vector<VideoAdapter*> adapters = VideoAdapter::GetAdapters();
    ASSERT_EQ(adapters.size(), 1u);
    const VideoAdapter& a = *adapters[0];
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.vendor, VideoVendor::NVIDIA);
    EXPECT_EQ(a.description.view(), StrView("NVIDIA nvidia [10de:2684]"));
    EXPECT_EQ(a.driverVersion.view(), StrView("550.54.00.0000"));
    EXPECT_EQ(a.dedicatedVideoMemory, uint64(24) << 30);
    ASSERT_EQ(a.monitors.size(), 2u);
    EXPECT_EQ(a.monitors[0]->desc.deviceName.view(), StrView("DP-1"));
    EXPECT_EQ(a.monitors[1]->desktop.x, 2560);
    EXPECT_EQ(a.monitors[1]->adapter, adapters[0]);
    // Without a work area from the platform, the monitor's own rectangle stands for it.
    EXPECT_EQ(a.monitors[1]->workArea.width, 1920);
    EXPECT_EQ(VideoAdapter::GetOutputs().size(), 2u);

    EXPECT_EQ(VideoOutput::FindAt(100, 100), a.monitors[0]);
    EXPECT_EQ(VideoOutput::FindAt(2560, 1079), a.monitors[1]);
    EXPECT_EQ(VideoOutput::FindAt(2560, 1080), nullptr);
    EXPECT_EQ(VideoOutput::FindAt(-1, 0), nullptr);
}

TEST_F(VideoOutputTest, VendorsAndDriverVersions)
{
    const struct
    {
        uint32 vendorId;
        VideoVendor vendor;
        uint64 version;
        const char* text;
    } cases[] = {
        {0x1002, VideoVendor::AMD, 0, "0.00.00.0000"},
        {0x10DE, VideoVendor::NVIDIA, 0x0226003600000000ull, "550.54.00.0000"},
        {0x8086, VideoVendor::Intel, 0x001F0065000A0F4Bull, "31.101.10.3915"},
        {0x1414, VideoVendor::Microsoft, 0x0001000200030004ull, "1.02.03.0004"},
        {0x1AF4, VideoVendor::Other, 0xFFFFFFFFFFFFFFFFull, "65535.65535.65535.65535"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        machine.adapters = {Adapter("slot", c.vendorId, "x", c.version)};
        Init();
        ASSERT_EQ(VideoAdapter::GetAdapters().size(), 1u);
        EXPECT_EQ(VideoAdapter::GetAdapters()[0]->vendor, c.vendor);
        EXPECT_EQ(VideoAdapter::GetAdapters()[0]->driverVersion.view(), StrView(c.text));
        VideoAdapter::Shutdown();
    }
}

// An update finds the same records again (by the adapter's id and the monitor's name) and refreshes
// them; what is gone is left invalid and out of the current list, and comes back as the same record.
TEST_F(VideoOutputTest, UpdatesMatchTheSameRecordsAndRefreshThem)
{
    machine.adapters = {Adapter("0000:01:00.0", 0x1002, "first"), Adapter("0000:02:00.0", 0x8086, "second")};
    machine.outputs = {Output("DP-1", true, {0, 0, 1920, 1080}, 0),
                       Output("eDP-1", true, {1920, 0, 1280, 800}, 1)};
    Init();
    const std::vector<VideoAdapter*> before = VideoAdapter::GetAdapters();
    ASSERT_EQ(before.size(), 2u);
    VideoOutput* dp = before[0]->monitors.at(0);

    machine.adapters = {Adapter("0000:02:00.0", 0x8086, "second, new driver")};
    machine.outputs = {Output("DP-1", true, {0, 0, 3840, 2160}, 0)};
    VideoAdapter::UpdateDevices(false);
    std::vector<VideoAdapter*> after = VideoAdapter::GetAdapters();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], before[1]);
    EXPECT_EQ(after[0]->description.view(), StrView("second, new driver"));
    EXPECT_FALSE(before[0]->valid);
    EXPECT_TRUE(before[0]->monitors.empty());
    // DP-1 now hangs off the only adapter; eDP-1 is gone.
    ASSERT_EQ(after[0]->monitors.size(), 1u);
    EXPECT_EQ(after[0]->monitors[0], dp);
    EXPECT_EQ(dp->desktop.width, 3840);
    EXPECT_EQ(VideoAdapter::GetOutputs().size(), 2u);
    EXPECT_FALSE(VideoAdapter::GetOutputs()[1]->valid);
    EXPECT_EQ(VideoOutput::FindAt(3000, 1500), dp);

    machine.adapters = {Adapter("0000:01:00.0", 0x1002, "first"), Adapter("0000:02:00.0", 0x8086, "second")};
    VideoAdapter::UpdateDevices(true); // a given enumerator is kept when asked to make it anew
    after = VideoAdapter::GetAdapters();
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0], before[0]);
    EXPECT_TRUE(before[0]->valid);
}

// The first check that cannot reach 11.1 marks it failed: later checks start without it. A result
// is kept; when no device can be made at all the rank is 1.
TEST_F(VideoOutputTest, FeatureLevelChecks)
{
    machine.adapters = {Adapter("a", 0x10DE, "a"), Adapter("b", 0x10DE, "b")};
    Init();
    VideoAdapter& a = *VideoAdapter::GetAdapters()[0];
    VideoAdapter& b = *VideoAdapter::GetAdapters()[1];
    EXPECT_EQ(CheckDx11SupportForAdapter(a), 6u);
    EXPECT_EQ(machine.deviceCalls, (std::vector<bool>{true, false}));
    machine.rankWith11_1 = 7; // would succeed now, but the level is no longer asked for
    EXPECT_EQ(CheckDx11SupportForAdapter(b), 6u);
    EXPECT_EQ(machine.deviceCalls, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(CheckDx11SupportForAdapter(a), 6u);
    EXPECT_EQ(machine.deviceCalls.size(), 3u);

    VideoAdapter::Shutdown();
    machine.deviceCalls.clear();
    machine.rankWith11_1 = 7;
    Init();
    EXPECT_EQ(CheckDx11SupportForAdapter(*VideoAdapter::GetAdapters()[0]), 7u);
    EXPECT_EQ(machine.deviceCalls, (std::vector<bool>{true}));

    VideoAdapter::Shutdown();
    machine.rankWith11_1 = 0;
    machine.rankWithout = 0;
    Init();
    EXPECT_EQ(CheckDx11SupportForAdapter(*VideoAdapter::GetAdapters()[1]), 1u);
}

TEST_F(VideoOutputTest, DpiScale)
{
    machine.outputs = {Output("A", true, {0, 0, 10, 10}, -1, 144.0f),
                       Output("B", true, {10, 0, 10, 10}, -1, 0.0f),
                       Output("C", true, {20, 0, 10, 10}, -1, 96.0f)};
    Init();
    const std::vector<VideoOutput*> outputs = VideoAdapter::GetOutputs();
    ASSERT_EQ(outputs.size(), 3u);
    EXPECT_FLOAT_EQ(VideoOutput::GetDPIScale(*outputs[0]), 1.5f);
    EXPECT_FLOAT_EQ(VideoOutput::GetDPIScale(*outputs[1]), 1.0f);
    EXPECT_FLOAT_EQ(VideoOutput::GetDPIScale(*outputs[2]), 1.0f);
    // Monitors of no known adapter are listed and found all the same.
    EXPECT_EQ(outputs[0]->adapter, nullptr);
    EXPECT_EQ(VideoOutput::FindAt(25, 5), outputs[2]);
}

// Without an enumerator, or one that cannot ask the platform, the lists stay empty and every call
// works; a second Init asserts and changes nothing.
TEST_F(VideoOutputTest, NoEnumeratorAndASecondInit)
{
    AssertRecorder asserts;
    VideoAdapter::InitWithEnumerator(nullptr);
    EXPECT_TRUE(VideoAdapter::GetAdapters().empty());
    VideoAdapter::UpdateDevices(true);
    EXPECT_TRUE(VideoAdapter::GetOutputs().empty());
    EXPECT_EQ(VideoOutput::FindAt(0, 0), nullptr);
    EXPECT_EQ(asserts.Count(), 0u);
    VideoAdapter::Shutdown();

    machine.adapters = {Adapter("a", 1, "a")};
    machine.answers = false;
    Init();
    EXPECT_TRUE(VideoAdapter::GetAdapters().empty());
    machine.answers = true;
    VideoAdapter::InitWithEnumerator(std::make_unique<FakeEnumerator>(machine));
    EXPECT_EQ(asserts.Count(), 1u);
    EXPECT_TRUE(VideoAdapter::GetAdapters().empty());
    VideoAdapter::UpdateDevices(false);
    EXPECT_EQ(VideoAdapter::GetAdapters().size(), 1u);
}
} // namespace
