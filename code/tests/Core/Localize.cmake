morvex_add_test(LocalizeTests
    SOURCES Utils/LocalizeTests.cpp
    DEPS MorvexLocalize)
