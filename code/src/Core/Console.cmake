morvex_add_library(MorvexCVar
    SOURCES CVar.cpp
    DEPS MorvexFoundation)

morvex_add_library(MorvexConsole
    SOURCES CmdSystem.cpp CmdStringList.cpp
    DEPS MorvexCVar MorvexFoundation)
