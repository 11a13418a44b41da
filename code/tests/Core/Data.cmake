morvex_add_test(DataTests
    SOURCES SharedStringTests.cpp DictTests.cpp
    DEPS MorvexData)

if(MORVEX_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
    add_executable(DataBenchmarks DataBenchmarks.cpp)
    target_link_libraries(DataBenchmarks PRIVATE MorvexData MorvexKernel benchmark::benchmark)
    morvex_target_defaults(DataBenchmarks)
endif()
