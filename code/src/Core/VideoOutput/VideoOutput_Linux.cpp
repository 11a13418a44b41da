// Adapters and monitors on Linux. There is no DXGI: adapters are the kernel's DRM cards
// (/sys/class/drm/cardN, with the PCI ids, the slot as the unique id and the memory sizes where the
// driver publishes them); monitors are the X server's RandR outputs, with libX11 and libXrandr loaded
// at run time so that the process starts without them. Without a display there are no monitors;
// without DRM cards there are no adapters. Nothing here creates a rendering device: the feature
// level check finds none, which the portable side reports as the lowest rank.

#include "Core/VideoOutput/VideoOutput_Linux.h"

#include "VideoOutputPlatform.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include "Core/Log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace Morvex
{
namespace
{
constexpr uint32 kDisplayTimeoutMs = 2000;

// A sysfs attribute, at most a page. Empty when it cannot be read.
std::string ReadAttribute(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    size_t used = 0;
    while (used < sizeof(buffer))
    {
        const ssize_t n = ::read(fd, buffer + used, sizeof(buffer) - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
    }
    ::close(fd);
    text.assign(buffer, used);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

uint64 ParseNumber(const std::string& text, int base)
{
    if (text.empty())
        return 0;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, base);
    return errno == 0 && end != text.c_str() ? value : 0;
}

// "KEY=value" of a uevent file.
std::string UeventValue(const std::string& uevent, const char* key)
{
    const std::string prefix = std::string(key) + "=";
    size_t at = 0;
    while (at < uevent.size())
    {
        size_t end = uevent.find('\n', at);
        if (end == std::string::npos)
            end = uevent.size();
        if (uevent.compare(at, prefix.size(), prefix) == 0)
            return uevent.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return {};
}

// "550.54.14" → 550, 54, 14, 0 in 16 bits each, most significant first; 0 when it is no version.
uint64 ParseDriverVersion(const std::string& text)
{
    uint64 version = 0;
    int parts = 0;
    const char* p = text.c_str();
    while (parts < 4 && *p >= '0' && *p <= '9')
    {
        char* end = nullptr;
        const unsigned long n = std::strtoul(p, &end, 10);
        version |= uint64(std::min<unsigned long>(n, 0xFFFF)) << (48 - 16 * parts);
        ++parts;
        p = end;
        if (*p != '.')
            break;
        ++p;
    }
    return version;
}

const char* VendorName(uint32 vendorId)
{
    switch (VideoVendorFromId(vendorId))
    {
    case VideoVendor::AMD:
        return "AMD";
    case VideoVendor::NVIDIA:
        return "NVIDIA";
    case VideoVendor::Intel:
        return "Intel";
    case VideoVendor::Microsoft:
        return "Microsoft";
    default:
        return nullptr;
    }
}

void ReadAdapters(const std::string& drmRoot, const std::string& moduleRoot,
                  std::vector<VideoAdapterDesc>& out)
{
    DIR* dir = ::opendir(drmRoot.c_str());
    if (dir == nullptr)
        return;
    std::vector<unsigned long> cards;
    while (dirent* entry = ::readdir(dir))
    {
        // "cardN" only: "cardN-HDMI-A-1" and the like are the card's connectors.
        const char* name = entry->d_name;
        if (std::strncmp(name, "card", 4) != 0 || name[4] == 0)
            continue;
        char* end = nullptr;
        const unsigned long n = std::strtoul(name + 4, &end, 10);
        if (*end == 0 && name[4] >= '0' && name[4] <= '9')
            cards.push_back(n);
    }
    ::closedir(dir);
    std::sort(cards.begin(), cards.end());
    for (unsigned long card : cards)
    {
        const std::string cardName = "card" + std::to_string(card);
        const std::string device = drmRoot + "/" + cardName + "/device/";
        VideoAdapterDesc desc;
        desc.vendorId = static_cast<uint32>(ParseNumber(ReadAttribute(device + "vendor"), 16));
        desc.deviceId = static_cast<uint32>(ParseNumber(ReadAttribute(device + "device"), 16));
        desc.subSysId = static_cast<uint32>(ParseNumber(ReadAttribute(device + "subsystem_device"), 16));
        desc.revision = static_cast<uint32>(ParseNumber(ReadAttribute(device + "revision"), 16));
        const std::string uevent = ReadAttribute(device + "uevent");
        const std::string slot = UeventValue(uevent, "PCI_SLOT_NAME");
        desc.uniqueId.Assign(slot.empty() ? cardName.c_str() : slot.c_str());
        // amdgpu publishes its memory; other drivers do not.
        desc.dedicatedVideoMemory = ParseNumber(ReadAttribute(device + "mem_info_vram_total"), 10);
        desc.sharedSystemMemory = ParseNumber(ReadAttribute(device + "mem_info_gtt_total"), 10);
        const std::string driver = UeventValue(uevent, "DRIVER");
        // Out-of-tree drivers carry a version of their own; in-tree ones go with the kernel.
        if (!driver.empty() && driver.find('/') == std::string::npos && driver != "." && driver != "..")
            desc.driverVersion = ParseDriverVersion(ReadAttribute(moduleRoot + "/" + driver + "/version"));
        const char* vendor = VendorName(desc.vendorId);
        char text[256];
        std::snprintf(text, sizeof(text), "%s%s%s [%04x:%04x]", vendor ? vendor : "",
                      vendor && !driver.empty() ? " " : "", driver.c_str(), desc.vendorId, desc.deviceId);
        desc.description.Assign(text[0] == ' ' ? text + 1 : text);
        out.push_back(desc);
    }
}

// libX11 and libXrandr, by their system names; loaded once and kept.
struct XLibraries
{
    decltype(&XOpenDisplay) openDisplay = nullptr;
    decltype(&XCloseDisplay) closeDisplay = nullptr;
    decltype(&XSetErrorHandler) setErrorHandler = nullptr;
    decltype(&XInternAtom) internAtom = nullptr;
    decltype(&XGetWindowProperty) getWindowProperty = nullptr;
    decltype(&XResourceManagerString) resourceManagerString = nullptr;
    decltype(&XFree) free = nullptr;
    decltype(&XRRGetScreenResourcesCurrent) getScreenResources = nullptr;
    decltype(&XRRFreeScreenResources) freeScreenResources = nullptr;
    decltype(&XRRGetOutputInfo) getOutputInfo = nullptr;
    decltype(&XRRFreeOutputInfo) freeOutputInfo = nullptr;
    decltype(&XRRGetCrtcInfo) getCrtcInfo = nullptr;
    decltype(&XRRFreeCrtcInfo) freeCrtcInfo = nullptr;
    bool ok = false;
};

template <typename F>
bool Find(void* library, const char* name, F& out)
{
    out = reinterpret_cast<F>(::dlsym(library, name));
    return out != nullptr;
}

const XLibraries& X()
{
    static const XLibraries libraries = []
    {
        XLibraries x;
        void* x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        void* xrandr = x11 != nullptr ? ::dlopen("libXrandr.so.2", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (xrandr == nullptr)
            return x;
        x.ok = Find(x11, "XOpenDisplay", x.openDisplay) && Find(x11, "XCloseDisplay", x.closeDisplay) &&
               Find(x11, "XSetErrorHandler", x.setErrorHandler) && Find(x11, "XInternAtom", x.internAtom) &&
               Find(x11, "XGetWindowProperty", x.getWindowProperty) &&
               Find(x11, "XResourceManagerString", x.resourceManagerString) && Find(x11, "XFree", x.free) &&
               Find(xrandr, "XRRGetScreenResourcesCurrent", x.getScreenResources) &&
               Find(xrandr, "XRRFreeScreenResources", x.freeScreenResources) &&
               Find(xrandr, "XRRGetOutputInfo", x.getOutputInfo) &&
               Find(xrandr, "XRRFreeOutputInfo", x.freeOutputInfo) &&
               Find(xrandr, "XRRGetCrtcInfo", x.getCrtcInfo) &&
               Find(xrandr, "XRRFreeCrtcInfo", x.freeCrtcInfo);
        return x;
    }();
    return libraries;
}

// Xlib's default error handler ends the process; a display that refuses a request must only cost
// its monitors.
int IgnoreXError(Display*, XErrorEvent*)
{
    return 0;
}

// "Xft.dpi:\t144" in the server's resources: the logical DPI desktops set for scaling.
float ResourceDpi(const XLibraries& x, Display* display)
{
    const char* resources = x.resourceManagerString(display);
    if (resources == nullptr)
        return 0.0f;
    const char* at = std::strstr(resources, "Xft.dpi:");
    if (at == nullptr)
        return 0.0f;
    const float dpi = std::strtof(at + 8, nullptr);
    return dpi > 0.0f && dpi < 10000.0f ? dpi : 0.0f;
}

// The first desktop's work area (_NET_WORKAREA of the root window), when a window manager sets it.
bool RootWorkArea(const XLibraries& x, Display* display, VideoRect& out)
{
    const Atom atom = x.internAtom(display, "_NET_WORKAREA", True);
    if (atom == None)
        return false;
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (x.getWindowProperty(display, DefaultRootWindow(display), atom, 0, 4, False, XA_CARDINAL, &type,
                            &format, &count, &after, &data) != Success ||
        data == nullptr)
        return false;
    const bool ok = format == 32 && count >= 4;
    if (ok)
    {
        // Format 32 properties come as longs.
        const long* v = reinterpret_cast<const long*>(data);
        out = {static_cast<int32>(v[0]), static_cast<int32>(v[1]), static_cast<int32>(v[2]),
               static_cast<int32>(v[3])};
    }
    x.free(data);
    return ok;
}

VideoRect Intersect(const VideoRect& a, const VideoRect& b)
{
    const int64 left = std::max<int64>(a.x, b.x);
    const int64 top = std::max<int64>(a.y, b.y);
    const int64 right = std::min<int64>(int64(a.x) + a.width, int64(b.x) + b.width);
    const int64 bottom = std::min<int64>(int64(a.y) + a.height, int64(b.y) + b.height);
    if (right <= left || bottom <= top)
        return {static_cast<int32>(left), static_cast<int32>(top), 0, 0};
    return {static_cast<int32>(left), static_cast<int32>(top), static_cast<int32>(right - left),
            static_cast<int32>(bottom - top)};
}

void ReadOutputs(const char* displayName, int32 adapterCount, std::vector<VideoOutputDesc>& out)
{
    if (displayName == nullptr || displayName[0] == 0)
        return;
    const XLibraries& x = X();
    if (!x.ok)
        return;
    Display* display = x.openDisplay(displayName);
    if (display == nullptr)
        return;
    auto previous = x.setErrorHandler(IgnoreXError);
    const float dpi = ResourceDpi(x, display);
    VideoRect workArea;
    const bool hasWorkArea = RootWorkArea(x, display, workArea);
    if (XRRScreenResources* resources = x.getScreenResources(display, DefaultRootWindow(display)))
    {
        for (int i = 0; i < resources->noutput; ++i)
        {
            XRROutputInfo* info = x.getOutputInfo(display, resources, resources->outputs[i]);
            if (info == nullptr)
                continue;
            VideoOutputDesc desc;
            desc.deviceName.Assign(info->name != nullptr ? info->name : "");
            desc.dpi = dpi;
            // Which card drives an output is not something RandR says plainly; with one card there
            // is no doubt.
            desc.adapterIndex = adapterCount == 1 ? 0 : -1;
            if (info->connection == RR_Connected && info->crtc != 0)
            {
                if (XRRCrtcInfo* crtc = x.getCrtcInfo(display, resources, info->crtc))
                {
                    desc.attached = crtc->width != 0 && crtc->height != 0;
                    desc.desktop = {crtc->x, crtc->y, static_cast<int32>(crtc->width),
                                    static_cast<int32>(crtc->height)};
                    x.freeCrtcInfo(crtc);
                }
            }
            if (hasWorkArea && desc.attached)
            {
                desc.hasWorkArea = true;
                desc.workArea = Intersect(desc.desktop, workArea);
            }
            out.push_back(desc);
            x.freeOutputInfo(info);
        }
        x.freeScreenResources(resources);
    }
    x.setErrorHandler(previous);
    x.closeDisplay(display);
}

// A display that accepts the connection and then never answers (a dead forwarded session) would
// hold the application's start-up for ever, and with it the report. The outputs are read on a
// thread of their own that is given up after a while; it owns everything it touches.
struct OutputQuery
{
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    std::vector<VideoOutputDesc> outputs;
};

bool ReadOutputsBounded(const char* displayName, int32 adapterCount, uint32 timeoutMs,
                        std::vector<VideoOutputDesc>& out)
{
    if (displayName == nullptr || displayName[0] == 0)
        return true;
    auto query = std::make_shared<OutputQuery>();
    try
    {
        std::thread(
            [query, display = std::string(displayName), adapterCount]
            {
                std::vector<VideoOutputDesc> found;
                ReadOutputs(display.c_str(), adapterCount, found);
                std::lock_guard<std::mutex> guard(query->lock);
                query->outputs = std::move(found);
                query->finished = true;
                query->done.notify_all();
            })
            .detach();
    }
    catch (const std::system_error&)
    {
        return false; // no thread to spare: no monitors rather than a start-up that may hang
    }
    std::unique_lock<std::mutex> guard(query->lock);
    if (!query->done.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return query->finished; }))
        return false;
    out = std::move(query->outputs);
    return true;
}

class LinuxVideoEnumerator final : public VideoEnumerator
{
public:
    LinuxVideoEnumerator(std::string drmRoot, std::string moduleRoot, bool askDisplay,
                         uint32 displayTimeoutMs)
        : m_drmRoot(std::move(drmRoot)), m_moduleRoot(std::move(moduleRoot)), m_askDisplay(askDisplay),
          m_displayTimeoutMs(displayTimeoutMs)
    {
    }
    bool Enumerate(std::vector<VideoAdapterDesc>& adapters, std::vector<VideoOutputDesc>& outputs) override
    {
        ReadAdapters(m_drmRoot, m_moduleRoot, adapters);
        const char* display = std::getenv("DISPLAY");
        if (m_askDisplay &&
            !ReadOutputsBounded(display, static_cast<int32>(adapters.size()), m_displayTimeoutMs, outputs))
            MX_LOG_WARNING("Monitors are not listed: the display '%s' does not answer", display);
        return true;
    }
    uint32 CreateDeviceRank(const VideoAdapterDesc&, bool) override { return 0; }

private:
    std::string m_drmRoot;
    std::string m_moduleRoot;
    bool m_askDisplay;
    uint32 m_displayTimeoutMs;
};
} // namespace

std::unique_ptr<VideoEnumerator> CreateLinuxVideoEnumerator(const char* drmRoot, const char* moduleRoot,
                                                            bool askDisplay, uint32 displayTimeoutMs)
{
    if (drmRoot == nullptr || moduleRoot == nullptr)
        return nullptr;
    return std::make_unique<LinuxVideoEnumerator>(drmRoot, moduleRoot, askDisplay, displayTimeoutMs);
}

std::unique_ptr<VideoEnumerator> CreatePlatformVideoEnumerator()
{
    return CreateLinuxVideoEnumerator("/sys/class/drm", "/sys/module", true, kDisplayTimeoutMs);
}

RenderDocLoad Platform_LoadRenderDoc()
{
    // By the system's name only: the loader's own search, never the working directory.
    void* library = ::dlopen("librenderdoc.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
        return RenderDocLoad::NoLibrary;
    using GetApi = int (*)(int version, void** api);
    GetApi getApi = reinterpret_cast<GetApi>(::dlsym(library, "RENDERDOC_GetAPI"));
    if (getApi == nullptr)
    {
        ::dlclose(library);
        return RenderDocLoad::NoEntry;
    }
    void* api = nullptr;
    constexpr int kApiVersion_1_6_0 = 10600;
    if (getApi(kApiVersion_1_6_0, &api) != 1 || api == nullptr)
    {
        ::dlclose(library);
        return RenderDocLoad::Refused;
    }
    // The capture keeps the library's default options and overlay: nothing in this program draws
    // a frame for it to mark.
    return RenderDocLoad::Loaded;
}
} // namespace Morvex
