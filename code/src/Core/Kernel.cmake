# The X11 and RandR headers describe the structures of the monitor enumeration; the libraries
# themselves are loaded at run time, so the kernel links neither.
pkg_check_modules(VIDEO_X11_HEADERS REQUIRED x11 xrandr)

morvex_add_library(MorvexKernel
    SOURCES
        CommandLine.cpp
        Kernel.cpp
        PlatformApplication_Linux.cpp
        VideoOutput/VideoOutput.cpp
        VideoOutput/VideoOutput_Linux.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole MorvexPlatform MorvexIO MorvexThreading MorvexTaskGraph MorvexData
    PRIVATE_DEPS MorvexDiagnostics MorvexProfiler ${CMAKE_DL_LIBS})
target_include_directories(MorvexKernel PRIVATE ${VIDEO_X11_HEADERS_INCLUDE_DIRS})
