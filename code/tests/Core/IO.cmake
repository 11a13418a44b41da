morvex_add_test(IOTests
    SOURCES IO/PlatformFileTests.cpp IO/FileTests.cpp IO/FileSystemTests.cpp
    DEPS MorvexIO)

if(MORVEX_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
    add_executable(FileBenchmarks IO/FileBenchmarks.cpp)
    target_link_libraries(FileBenchmarks PRIVATE MorvexIO MorvexKernel benchmark::benchmark)
    morvex_target_defaults(FileBenchmarks)
endif()
