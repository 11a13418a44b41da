morvex_add_test(FoundationTests
    SOURCES LogTests.cpp AssertTests.cpp StrTests.cpp StringTests.cpp
    DEPS MorvexFoundation)
morvex_add_test(MemoryTests
    SOURCES Memory/SegregateHeapTests.cpp Memory/PlatformVirtualMemoryTests.cpp Memory/TempHeapTests.cpp
    DEPS MorvexFoundation)
