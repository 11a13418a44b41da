pkg_check_modules(ZSTD REQUIRED IMPORTED_TARGET libzstd)

morvex_add_library(MorvexIO
    SOURCES
        IO/PlatformFile_Linux.cpp
        IO/RawFile_Linux.cpp
        IO/File.cpp
        IO/FileSystem.cpp
        IO/AsyncLoader.cpp
        IO/FileAsyncIO.cpp
        IO/Pak.cpp
        IO/PakFile.cpp
        IO/Compression.cpp
    DEPS MorvexFoundation MorvexCVar MorvexPlatform
    PRIVATE_DEPS MorvexThreading MorvexConsole PkgConfig::ZSTD)
