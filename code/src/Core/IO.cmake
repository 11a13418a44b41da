morvex_add_library(MorvexIO
    SOURCES
        IO/PlatformFile_Linux.cpp
        IO/RawFile_Linux.cpp
        IO/File.cpp
        IO/FileSystem.cpp
        IO/AsyncLoader.cpp
        IO/Pak.cpp
    DEPS MorvexFoundation MorvexCVar MorvexPlatform
    PRIVATE_DEPS MorvexThreading MorvexConsole)
