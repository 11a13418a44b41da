morvex_add_library(MorvexKernel
    SOURCES
        CommandLine.cpp
        Kernel.cpp
        PlatformApplication_Linux.cpp
        VideoOutput/VideoOutput.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole MorvexPlatform MorvexIO MorvexThreading MorvexTaskGraph MorvexData)
