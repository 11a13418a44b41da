# Recording, the wire format and the send thread against a viewer played by the test. Labelled
# "threading": producers, the send thread and the test's viewer run at once, so it also runs under
# TSan.
morvex_add_test(ProfilerTests
    SOURCES Profiler/ProfilerTests.cpp
    DEPS MorvexProfiler MorvexDiagnostics MorvexConsole MorvexThreading MorvexTestSupport Threads::Threads
    LABELS threading)
if(MORVEX_BUILD_TESTS)
    # The recording core's consumer view.
    target_include_directories(ProfilerTests PRIVATE ${PROJECT_SOURCE_DIR}/code/src/Core/Profiler)
endif()
