morvex_add_test(PlatformTests
    SOURCES PlatformTests.cpp Timing/PlatformTimeTests.cpp
    DEPS MorvexPlatform MorvexConsole)
