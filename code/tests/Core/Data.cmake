morvex_add_test(DataTests
    SOURCES SharedStringTests.cpp Containers/DictTests.cpp
    DEPS MorvexData)
