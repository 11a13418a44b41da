morvex_add_test(IOTests
    SOURCES IO/PlatformFileTests.cpp IO/FileTests.cpp IO/FileSystemTests.cpp
    DEPS MorvexIO)
