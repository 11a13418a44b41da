morvex_add_library(MorvexLocalize
    SOURCES Utils/Localize.cpp
    DEPS MorvexFoundation MorvexCVar MorvexIO)
