pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)
pkg_check_modules(ZLIB REQUIRED IMPORTED_TARGET zlib)

morvex_add_library(MorvexZip
    SOURCES IO/SimpleZip.cpp IO/SimpleZip_Posix.cpp
    DEPS MorvexFoundation
    PRIVATE_DEPS MorvexIO MorvexPlatform PkgConfig::MINIZIP PkgConfig::ZLIB)
