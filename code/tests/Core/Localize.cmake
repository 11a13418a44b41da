morvex_add_test(LocalizeTests
    SOURCES LocalizeTests.cpp
    DEPS MorvexLocalize)

if(MORVEX_BUILD_BENCHMARKS)
    find_package(benchmark REQUIRED)
    add_executable(LocalizeBenchmarks LocalizeBenchmarks.cpp)
    target_link_libraries(LocalizeBenchmarks PRIVATE MorvexLocalize MorvexKernel benchmark::benchmark)
    morvex_target_defaults(LocalizeBenchmarks)
endif()
