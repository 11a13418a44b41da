morvex_add_library(MorvexData
    SOURCES SharedString.cpp Containers/Dict.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole)
