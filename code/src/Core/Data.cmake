morvex_add_library(MorvexData
    SOURCES SharedString.cpp
    DEPS MorvexFoundation MorvexCVar)
