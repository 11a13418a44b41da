morvex_add_library(MorvexIO
    SOURCES IO/FileSystem.cpp IO/AsyncLoader.cpp IO/Pak.cpp
    DEPS MorvexFoundation MorvexCVar MorvexPlatform)
