morvex_add_library(MorvexPlatform
    SOURCES Platform.cpp Platform_Linux.cpp
    DEPS MorvexFoundation MorvexCVar)
