morvex_add_test(ThreadingTests
    SOURCES ThreadingTests.cpp
    DEPS MorvexThreading
    LABELS threading)
