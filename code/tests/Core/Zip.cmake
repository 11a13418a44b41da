pkg_check_modules(ZLIB_TEST REQUIRED IMPORTED_TARGET zlib)

morvex_add_test(ZipTests
    SOURCES IO/SimpleZipTests.cpp
    DEPS MorvexZip PkgConfig::ZLIB_TEST
    LABELS zip)
