morvex_add_test(DataTests
    SOURCES SharedStringTests.cpp DictTests.cpp
    DEPS MorvexData)
