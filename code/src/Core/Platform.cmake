# The platform module and the clocks. The time self-check is a console command, hence the console.
morvex_add_library(MorvexPlatform
    SOURCES
        Platform.cpp
        Platform_Linux.cpp
        Timing/PlatformTime.cpp
        Timing/PlatformTime_Posix.cpp
    DEPS MorvexFoundation MorvexCVar
    PRIVATE_DEPS MorvexConsole)
