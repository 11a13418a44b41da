morvex_add_test(LocalizeTests
    SOURCES LocalizeTests.cpp
    DEPS MorvexLocalize)
