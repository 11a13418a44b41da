# Labelled "threading": threads symbolise at the same time, so the suite also runs under TSan.
morvex_add_test(StackTraceTests
    SOURCES Utils/StackTraceTests.cpp
    DEPS MorvexDiagnostics MorvexConsole MorvexTestSupport Threads::Threads
    LABELS threading)
if(MORVEX_BUILD_TESTS)
    # The leak report of a real run under --debug-heap (the probe is made by Foundation.cmake).
    target_compile_definitions(StackTraceTests PRIVATE LEAK_PROBE_PATH="$<TARGET_FILE:MemoryLeakProbe>")
    add_dependencies(StackTraceTests MemoryLeakProbe)
endif()
