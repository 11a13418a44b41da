morvex_add_test(ThreadingTests
    SOURCES ThreadingTests.cpp ThreadingEventTests.cpp
    DEPS MorvexThreading
    LABELS threading)
