morvex_add_test(FoundationTests
    SOURCES LogTests.cpp AssertTests.cpp StrTests.cpp StringTests.cpp
    DEPS MorvexFoundation)
