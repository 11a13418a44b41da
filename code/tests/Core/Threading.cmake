morvex_add_test(ThreadingTests
    SOURCES Threading/ThreadingTests.cpp Threading/ThreadingEventTests.cpp
    DEPS MorvexThreading
    LABELS threading)
