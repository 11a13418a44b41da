#include "Core/VideoOutput/VideoOutput_Linux.h"

#include "TestSupport.h"
#if MX_HAVE_XSERVER
#include "DialogTestSupport.h"
#endif

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Morvex;
using Morvex::Test::SubDir;
using Morvex::Test::TempDir;

namespace
{
// A card's device folder as the kernel lays it out; an empty value leaves the attribute out.
void WriteCard(const TempDir& root, const std::string& card, const std::string& vendor,
               const std::string& device, const std::string& uevent, const std::string& vram = "")
{
    SubDir dir(root, "drm/" + card + "/device");
    if (!vendor.empty())
        dir.WriteFile("vendor", vendor + "\n");
    if (!device.empty())
        dir.WriteFile("device", device + "\n");
    dir.WriteFile("subsystem_device", "0x16f1\n");
    dir.WriteFile("revision", "0xa1\n");
    dir.WriteFile("uevent", uevent);
    if (!vram.empty())
        dir.WriteFile("mem_info_vram_total", vram + "\n");
}

class EnvironmentVariable
{
public:
    EnvironmentVariable(const char* name, const std::string& value) : m_name(name)
    {
        const char* old = std::getenv(name);
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvironmentVariable()
    {
        if (m_had)
            setenv(m_name, m_old.c_str(), 1);
        else
            unsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had = false;
    std::string m_old;
};

// A TCP listener on an X display's port that accepts and never says a word.
class SilentDisplay
{
public:
    SilentDisplay()
    {
        for (int display = 50; display < 100 && m_display < 0; ++display)
        {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(6000 + display));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(fd, 4) == 0)
            {
                m_fd = fd;
                m_display = display;
            }
            else
                close(fd);
        }
    }
    ~SilentDisplay()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool Ok() const { return m_display >= 0; }
    std::string Display() const { return "127.0.0.1:" + std::to_string(m_display); }

private:
    int m_fd = -1;
    int m_display = -1;
};

// Cards in number order, their connectors and unreadable or hostile attributes skipped; the slot is
// the identity; versions only from drivers that publish one.
TEST(LinuxVideoEnumerator, AdaptersFromTheDrmTree)
{
    TempDir root;
    WriteCard(root, "card10", "0x8086", "0x56a0", "DRIVER=i915\nPCI_SLOT_NAME=0000:03:00.0\n");
    WriteCard(root, "card0", "0x10de", "0x2684", "DRIVER=nvidia\nPCI_SLOT_NAME=0000:01:00.0\n");
    WriteCard(root, "card1", "0x1002", "0x73bf", "PCI_SLOT_NAME=0000:02:00.0\nDRIVER=amdgpu\n",
              "17163091968");
    WriteCard(root, "card2", "zz", "", "DRIVER=../../etc\n");
    SubDir(root, "drm/card0-HDMI-A-1").WriteFile("status", "connected\n");
    SubDir(root, "drm/cardX").WriteFile("x", "");
    SubDir(root, "drm/renderD128").WriteFile("x", "");
    SubDir(root, "module/nvidia").WriteFile("version", "550.54.14\n");
    SubDir(root, "module/amdgpu").WriteFile("x", "");

    auto enumerator =
        CreateLinuxVideoEnumerator(root.Join("drm").c_str(), root.Join("module").c_str(), false);
    ASSERT_NE(enumerator, nullptr);
    std::vector<VideoAdapterDesc> adapters;
    std::vector<VideoOutputDesc> outputs;
    ASSERT_TRUE(enumerator->Enumerate(adapters, outputs));
    EXPECT_TRUE(outputs.empty());
    ASSERT_EQ(adapters.size(), 4u);

    const struct
    {
        const char* id;
        uint32 vendorId;
        uint32 deviceId;
        const char* description;
        uint64 vram;
        uint64 version;
    } expected[] = {
        {"0000:01:00.0", 0x10DE, 0x2684, "NVIDIA nvidia [10de:2684]", 0, 0x02260036000E0000ull},
        {"0000:02:00.0", 0x1002, 0x73BF, "AMD amdgpu [1002:73bf]", 17163091968ull, 0},
        {"card2", 0, 0, "../../etc [0000:0000]", 0, 0},
        {"0000:03:00.0", 0x8086, 0x56A0, "Intel i915 [8086:56a0]", 0, 0},
    };
    for (size_t i = 0; i < adapters.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(adapters[i].uniqueId.view(), StrView(expected[i].id));
        EXPECT_EQ(adapters[i].vendorId, expected[i].vendorId);
        EXPECT_EQ(adapters[i].deviceId, expected[i].deviceId);
        EXPECT_EQ(adapters[i].subSysId, 0x16F1u);
        EXPECT_EQ(adapters[i].revision, 0xA1u);
        EXPECT_EQ(adapters[i].description.view(), StrView(expected[i].description));
        EXPECT_EQ(adapters[i].dedicatedVideoMemory, expected[i].vram);
        EXPECT_EQ(adapters[i].driverVersion, expected[i].version);
    }
    // No device can be made on Linux: the check reports its lowest rank.
    EXPECT_EQ(enumerator->CreateDeviceRank(adapters[0], true), 0u);

    // A machine without DRM has no adapters and is no error.
    auto none = CreateLinuxVideoEnumerator(root.Join("missing").c_str(), root.Join("module").c_str(), false);
    adapters.clear();
    EXPECT_TRUE(none->Enumerate(adapters, outputs));
    EXPECT_TRUE(adapters.empty());
    EXPECT_EQ(CreateLinuxVideoEnumerator(nullptr, "/sys/module", false), nullptr);
}

// Monitors are the X server's RandR outputs: one attached screen on a private server, none
// without a display or with a display that does not answer.
TEST(LinuxVideoEnumerator, MonitorsFromTheXServer)
{
    TempDir root;
    auto enumerator = CreateLinuxVideoEnumerator(root.Join("drm").c_str(), root.Join("module").c_str(), true);
    std::vector<VideoAdapterDesc> adapters;
    std::vector<VideoOutputDesc> outputs;
    for (const char* display : {"", ":999", "not a display"})
    {
        SCOPED_TRACE(display);
        EnvironmentVariable variable("DISPLAY", display);
        outputs.clear();
        EXPECT_TRUE(enumerator->Enumerate(adapters, outputs));
        EXPECT_TRUE(outputs.empty());
    }
    {
        // A display that takes the connection and never answers costs its monitors, not the start-up.
        SilentDisplay silent;
        ASSERT_TRUE(silent.Ok());
        auto bounded =
            CreateLinuxVideoEnumerator(root.Join("drm").c_str(), root.Join("module").c_str(), true, 300);
        EnvironmentVariable variable("DISPLAY", silent.Display());
        outputs.clear();
        EXPECT_TRUE(bounded->Enumerate(adapters, outputs));
        EXPECT_TRUE(outputs.empty());
    }
#if MX_HAVE_XSERVER
    Morvex::Test::XServer server;
    if (!server.Ok())
        GTEST_SKIP() << "no X server: " << server.Error();
    EnvironmentVariable variable("DISPLAY", server.Display());
    outputs.clear();
    ASSERT_TRUE(enumerator->Enumerate(adapters, outputs));
    ASSERT_FALSE(outputs.empty());
    const VideoOutputDesc& screen = outputs[0];
    EXPECT_TRUE(screen.attached);
    EXPECT_FALSE(screen.deviceName.view().empty());
    EXPECT_EQ(screen.desktop.x, 0);
    EXPECT_GT(screen.desktop.width, 0);
    EXPECT_GT(screen.desktop.height, 0);
    EXPECT_EQ(screen.adapterIndex, -1); // no DRM card to own it
#endif
}
} // namespace
