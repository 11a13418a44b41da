morvex_add_library(MorvexLocalize
    SOURCES
        Utils/Localize.cpp
        Utils/Localize_Utf8.cpp
        Utils/Localize_Linux.cpp
        Utils/Localize_Files.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole MorvexIO
    PRIVATE_DEPS MorvexDiagnostics)
