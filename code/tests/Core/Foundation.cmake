morvex_add_test(FoundationTests
    SOURCES LogTests.cpp AssertTests.cpp StrTests.cpp StringTests.cpp
    DEPS MorvexFoundation)
morvex_add_test(KernelMemoryTests
    SOURCES Memory/MemoryTagTests.cpp Memory/DebugHeapTests.cpp
    DEPS MorvexFoundation MorvexThreading MorvexTestSupport)
if(MORVEX_BUILD_TESTS)
    add_executable(MemoryLeakProbe Memory/LeakProbe.cpp)
    target_link_libraries(MemoryLeakProbe PRIVATE MorvexKernel)
    morvex_target_defaults(MemoryLeakProbe)
    morvex_use_engine_new(MemoryLeakProbe)
    target_compile_definitions(KernelMemoryTests PRIVATE LEAK_PROBE_PATH="$<TARGET_FILE:MemoryLeakProbe>")
    add_dependencies(KernelMemoryTests MemoryLeakProbe)
endif()
morvex_add_test(MemoryTests
    SOURCES Memory/SegregateHeapTests.cpp Memory/PlatformVirtualMemoryTests.cpp Memory/TempHeapTests.cpp
        Memory/PoolTests.cpp Memory/LinearHeapTests.cpp Memory/ThreadTempAllocatorTests.cpp
    DEPS MorvexFoundation)
