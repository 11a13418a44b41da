morvex_add_test(PlatformTests
    SOURCES PlatformTests.cpp PlatformTimeTests.cpp
    DEPS MorvexPlatform MorvexConsole)
