// The adapter and monitor lists: records matched again on every update, so that pointers handed out
// stay valid and keep their identity; the contents come from the platform's enumerator.

#include "Core/VideoOutput/VideoOutput.h"

#include "Core/Assert.h"
#include "Core/CommandLine.h"
#include "Core/Log.h"
#include "Core/Memory/MemoryTag.h"
#include "Core/Threading/Threading.h"
#include "VideoOutputPlatform.h"

#include <mutex>

namespace Morvex
{
namespace
{
struct VideoState
{
    std::recursive_mutex lock;
    bool initialized = false;
    std::unique_ptr<VideoEnumerator> enumerator;
    // Makes the enumerator again for UpdateDevices(true); null keeps the one given.
    std::unique_ptr<VideoEnumerator> (*factory)() = nullptr;
    std::vector<std::unique_ptr<VideoAdapter>> allAdapters;
    std::vector<std::unique_ptr<VideoOutput>> allOutputs;
    std::vector<VideoAdapter*> current;
    // Set once a device with the 11.1 level could not be made: later checks leave that level out.
    bool level11_1Failed = false;
};

VideoState& State()
{
    static VideoState state;
    return state;
}

bool GRenderDocLoaded = false;

// Four 16-bit numbers from the most significant, as the version is shown everywhere.
void FormatDriverVersion(uint64 version, FilePath& out)
{
    out.Format("%d.%02d.%02d.%04d", static_cast<int>((version >> 48) & 0xFFFF),
               static_cast<int>((version >> 32) & 0xFFFF), static_cast<int>((version >> 16) & 0xFFFF),
               static_cast<int>(version & 0xFFFF));
}

VideoOutput* TakeMonitorRecord(VideoState& s, const VideoOutputDesc& desc, VideoAdapter* owner)
{
    if (!desc.attached)
        return nullptr;
    VideoOutput* record = nullptr;
    for (const auto& o : s.allOutputs)
    {
        if (o->desc.deviceName.view() == desc.deviceName.view())
        {
            record = o.get();
            break;
        }
    }
    if (record == nullptr)
    {
        s.allOutputs.push_back(std::make_unique<VideoOutput>());
        record = s.allOutputs.back().get();
    }
    record->desc = desc;
    record->desktop = desc.desktop;
    // Where the platform does not know the work area, the whole monitor is the nearest truth.
    record->workArea = desc.hasWorkArea ? desc.workArea : desc.desktop;
    record->adapter = owner;
    record->valid = true;
    return record;
}

void InitAdapterRecord(VideoAdapter& a, const VideoAdapterDesc& desc)
{
    a.desc = desc;
    a.vendor = VideoVendorFromId(desc.vendorId);
    a.description.Assign(desc.description.view());
    a.dedicatedVideoMemory = desc.dedicatedVideoMemory;
    a.dedicatedSystemMemory = desc.dedicatedSystemMemory;
    a.sharedSystemMemory = desc.sharedSystemMemory;
    a.vendorId = desc.vendorId;
    a.deviceId = desc.deviceId;
    a.subSysId = desc.subSysId;
    a.revision = desc.revision;
    FormatDriverVersion(desc.driverVersion, a.driverVersion);
    a.monitors.clear();
    a.valid = true;
}

void UpdateDevicesInternal(VideoState& s, bool recreate)
{
    for (const auto& o : s.allOutputs)
    {
        o->valid = false;
        o->workArea.width = 0;
        o->workArea.height = 0;
        o->adapter = nullptr;
    }
    for (const auto& a : s.allAdapters)
    {
        a->monitors.clear();
        a->valid = false;
    }
    s.current.clear();
    if (recreate && s.factory != nullptr)
        s.enumerator = s.factory();
    // No enumerator (the platform could not give one): the lists stay empty.
    if (s.enumerator == nullptr)
        return;

    std::vector<VideoAdapterDesc> adapters;
    std::vector<VideoOutputDesc> outputs;
    if (!s.enumerator->Enumerate(adapters, outputs))
        return;
    for (const VideoAdapterDesc& desc : adapters)
    {
        VideoAdapter* record = nullptr;
        for (const auto& a : s.allAdapters)
        {
            if (a->desc.uniqueId.view() == desc.uniqueId.view())
            {
                record = a.get();
                break;
            }
        }
        if (record == nullptr)
        {
            s.allAdapters.push_back(std::make_unique<VideoAdapter>());
            record = s.allAdapters.back().get();
        }
        InitAdapterRecord(*record, desc);
        s.current.push_back(record);
    }
    for (const VideoOutputDesc& desc : outputs)
    {
        VideoAdapter* owner =
            desc.adapterIndex >= 0 && static_cast<size_t>(desc.adapterIndex) < s.current.size()
                ? s.current[static_cast<size_t>(desc.adapterIndex)]
                : nullptr;
        VideoOutput* monitor = TakeMonitorRecord(s, desc, owner);
        if (monitor != nullptr && owner != nullptr)
            owner->monitors.push_back(monitor);
    }
}

bool LoadRenderDoc()
{
    MX_ASSERT_MSG(!GRenderDocLoaded, "!IsInited()");
    if (GRenderDocLoaded)
        return true;
    switch (Platform_LoadRenderDoc())
    {
    case RenderDocLoad::Loaded:
        GRenderDocLoaded = true;
        return true;
    case RenderDocLoad::NoLibrary:
        MX_LOG_WARNING("Failed to load librenderdoc.so");
        return false;
    case RenderDocLoad::NoEntry:
        MX_LOG_WARNING("Failed to load RENDERDOC_GetAPI from librenderdoc.so");
        return false;
    case RenderDocLoad::Refused:
        MX_LOG_WARNING("Failed to get renderdoc api via RENDERDOC_GetAPI");
        return false;
    }
    return false;
}

void InitWith(std::unique_ptr<VideoEnumerator> enumerator, std::unique_ptr<VideoEnumerator> (*factory)())
{
    MX_MEMORY_TAG_SCOPE("Core");
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    MX_ASSERT_MSG(!s.initialized, "VideoAdapter: already initialized");
    if (s.initialized)
        return;
    s.initialized = true;
    // Loaded before anything touches the graphics stack, as a capture layer has to be.
    if (CommandLine::HasSwitch("--renderdoc") && !GRenderDocLoaded && !LoadRenderDoc())
        MX_LOG_WARNING("Failed to initialized RenderDoc API");
    s.factory = factory;
    s.enumerator = factory != nullptr ? factory() : std::move(enumerator);
    UpdateDevicesInternal(s, false);
}
} // namespace

VideoVendor VideoVendorFromId(uint32 vendorId)
{
    switch (vendorId)
    {
    case 0x1002:
        return VideoVendor::AMD;
    case 0x10DE:
        return VideoVendor::NVIDIA;
    case 0x8086:
        return VideoVendor::Intel;
    case 0x1414:
        return VideoVendor::Microsoft;
    default:
        return VideoVendor::Other;
    }
}

void VideoAdapter::Init()
{
    InitWith(nullptr, CreatePlatformVideoEnumerator);
}

void VideoAdapter::InitWithEnumerator(std::unique_ptr<VideoEnumerator> enumerator)
{
    InitWith(std::move(enumerator), nullptr);
}

void VideoAdapter::Shutdown()
{
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.current.clear();
    s.allOutputs.clear();
    s.allAdapters.clear();
    s.enumerator.reset();
    s.factory = nullptr;
    s.level11_1Failed = false;
    s.initialized = false;
}

void VideoAdapter::UpdateDevices(bool recreateFactory)
{
    MX_ASSERT_MSG(Threading::IsMainThread(), "Threading::IsMainThread()");
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    UpdateDevicesInternal(s, recreateFactory);
}

std::vector<VideoAdapter*> VideoAdapter::GetAdapters()
{
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.current;
}

std::vector<VideoOutput*> VideoAdapter::GetOutputs()
{
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    std::vector<VideoOutput*> out;
    for (const auto& o : s.allOutputs)
        out.push_back(o.get());
    return out;
}

uint32 CheckDx11SupportForAdapter(VideoAdapter& adapter)
{
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    if (adapter.featureLevel != 0)
        return adapter.featureLevel;
    uint32 rank = 0;
    if (s.enumerator != nullptr && !s.level11_1Failed)
        rank = s.enumerator->CreateDeviceRank(adapter.desc, true);
    if (rank == 0)
    {
        s.level11_1Failed = true;
        if (s.enumerator != nullptr)
            rank = s.enumerator->CreateDeviceRank(adapter.desc, false);
    }
    adapter.featureLevel = rank != 0 ? rank : 1;
    return adapter.featureLevel;
}

float VideoOutput::GetDPIScale(const VideoOutput& output)
{
    return output.desc.dpi > 0.0f ? output.desc.dpi / 96.0f : 1.0f;
}

const VideoOutput* VideoOutput::FindAt(int32 x, int32 y)
{
    VideoState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    for (const auto& o : s.allOutputs)
    {
        const VideoRect& r = o->desktop;
        if (o->valid && x >= r.x && y >= r.y && int64(x) < int64(r.x) + r.width &&
            int64(y) < int64(r.y) + r.height)
            return o.get();
    }
    return nullptr;
}

bool IsRenderDocLoaded()
{
    return GRenderDocLoaded;
}
} // namespace Morvex
