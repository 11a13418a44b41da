morvex_add_test(IOTests
    SOURCES IO/PlatformFileTests.cpp IO/FileTests.cpp IO/FileSystemTests.cpp
    DEPS MorvexIO)

# The loader's threads, archives and read requests; also run under ThreadSanitizer.
pkg_check_modules(IO_TEST_ZSTD REQUIRED IMPORTED_TARGET libzstd)
morvex_add_test(AsyncIOTests
    SOURCES IO/AsyncLoaderTests.cpp IO/PakTests.cpp
    DEPS MorvexIO MorvexThreading PkgConfig::IO_TEST_ZSTD
    LABELS threading)
