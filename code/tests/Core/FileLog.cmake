morvex_add_test(FileLogTests
    SOURCES FileLogTests.cpp
    DEPS MorvexFileLog)

if(MORVEX_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
    add_executable(FileLogBenchmarks FileLogBenchmarks.cpp)
    target_link_libraries(FileLogBenchmarks PRIVATE MorvexFileLog MorvexKernel benchmark::benchmark)
    morvex_target_defaults(FileLogBenchmarks)
endif()
