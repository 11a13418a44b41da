morvex_add_library(MorvexData
    SOURCES SharedString.cpp Containers/Dict.cpp Containers/DictAllocator.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole)
