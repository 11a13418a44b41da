morvex_add_test(KernelTests
    SOURCES CommandLineTests.cpp
    DEPS MorvexKernel)
