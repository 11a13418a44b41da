#pragma once
// Graphics adapters and the monitors attached to them, taken stock of when the application starts
// and kept in process-wide lists until it ends. What the platform reports comes through a
// `VideoEnumerator`: on Linux adapters are read from the kernel's DRM devices and monitors from the
// X server's RandR outputs, so that a machine without either simply has empty lists.
//
// Records are never freed before Shutdown: a pointer to a `VideoAdapter` or `VideoOutput` stays
// valid across updates, which match records again by the adapter's unique id and the monitor's
// device name. Every function takes the module's lock; UpdateDevices runs on the main thread only.

#include "Core/StaticString.h"
#include "Core/Types.h"

#include <memory>
#include <vector>

namespace Morvex
{
enum class VideoVendor : uint32
{
    AMD = 0,       // vendor id 0x1002
    NVIDIA = 1,    // 0x10DE
    Intel = 2,     // 0x8086
    Microsoft = 3, // 0x1414
    Other = 4,
};
VideoVendor VideoVendorFromId(uint32 vendorId);

struct VideoRect
{
    int32 x = 0;
    int32 y = 0;
    int32 width = 0;
    int32 height = 0;
};

// One adapter as the platform describes it.
struct VideoAdapterDesc
{
    StaticString<64> uniqueId; // the same adapter gives the same id on every enumeration (Linux: PCI slot)
    uint32 vendorId = 0;
    uint32 deviceId = 0;
    uint32 subSysId = 0;
    uint32 revision = 0;
    uint64 dedicatedVideoMemory = 0;
    uint64 dedicatedSystemMemory = 0;
    uint64 sharedSystemMemory = 0;
    StaticString<256> description; // UTF-8
    // The user-mode driver's version, four 16-bit numbers from the most significant; 0 when the
    // platform does not say.
    uint64 driverVersion = 0;
};

// One display output as the platform describes it.
struct VideoOutputDesc
{
    StaticString<64> deviceName;
    bool attached = false; // shows part of the desktop
    VideoRect desktop;
    bool hasWorkArea = false; // false: the platform does not know it
    VideoRect workArea;
    float dpi = 0.0f; // horizontal logical DPI; 0 when unknown
    // Index of the owning adapter in the same enumeration's list; -1 when the platform cannot tell.
    int32 adapterIndex = -1;
};

// What the lists are filled from. Implementations are called with the module's lock held, on the
// thread that initialises or updates.
class VideoEnumerator
{
public:
    virtual ~VideoEnumerator() = default;
    // Every adapter and output present now (outputs in any state). False when the platform cannot
    // be asked at all; the lists then stay empty.
    virtual bool Enumerate(std::vector<VideoAdapterDesc>& adapters,
                           std::vector<VideoOutputDesc>& outputs) = 0;
    // Creates a rendering device on `adapter` for the best feature level of the list, with the
    // 11.1 level first when `withLevel11_1`, and returns the level reached as its rank (9.1 = 1 ...
    // 11.1 = 7); 0 when no device can be created.
    virtual uint32 CreateDeviceRank(const VideoAdapterDesc& adapter, bool withLevel11_1) = 0;
};

// The platform's enumerator; null when none can be made (the lists then stay empty).
std::unique_ptr<VideoEnumerator> CreatePlatformVideoEnumerator();

struct VideoAdapter;

struct VideoOutput
{
    VideoOutputDesc desc;
    VideoRect desktop;
    VideoRect workArea;
    VideoAdapter* adapter = nullptr; // none when the platform cannot tell which adapter drives it
    bool valid = false;

    // The monitor's scale against 96 DPI (1.0 when the platform does not know its DPI).
    static float GetDPIScale(const VideoOutput& output);
    // The first valid monitor whose desktop rectangle holds the point; null when none does.
    static const VideoOutput* FindAt(int32 x, int32 y);
};

struct VideoAdapter
{
    VideoVendor vendor = VideoVendor::Other;
    uint32 featureLevel = 0; // rank cached by CheckDx11SupportForAdapter; 0 = not checked yet
    uint64 dedicatedVideoMemory = 0;
    uint64 dedicatedSystemMemory = 0;
    uint64 sharedSystemMemory = 0;
    uint32 vendorId = 0;
    uint32 deviceId = 0;
    uint32 subSysId = 0;
    uint32 revision = 0;
    StaticString<256> description;
    FilePath driverVersion; // "%d.%02d.%02d.%04d"
    std::vector<VideoOutput*> monitors;
    bool valid = false;
    VideoAdapterDesc desc;

    // Called once by the application object: loads the capture library with --renderdoc, then
    // enumerates with the platform's enumerator. A second Init asserts and changes nothing.
    static void Init();
    // The same with a given enumerator (tests); null behaves as a platform without one.
    static void InitWithEnumerator(std::unique_ptr<VideoEnumerator> enumerator);
    // Frees every record; the lists are empty afterwards and Init may run again.
    static void Shutdown();
    // Enumerates again (main thread only). `recreateFactory`: make the enumerator anew first.
    static void UpdateDevices(bool recreateFactory);
    // The adapters found by the last update, in enumeration order. The pointers stay valid until
    // Shutdown.
    static std::vector<VideoAdapter*> GetAdapters();
    // Every monitor record ever seen (valid or not).
    static std::vector<VideoOutput*> GetOutputs();
};

// The adapter's best feature level as a rank (see VideoEnumerator::CreateDeviceRank), cached in the
// record; 1 when no device can be created at all.
uint32 CheckDx11SupportForAdapter(VideoAdapter& adapter);

// Whether the capture library was loaded by Init (--renderdoc).
bool IsRenderDocLoaded();
} // namespace Morvex
