morvex_add_library(MorvexLocalize
    SOURCES
        Utils/Localize.cpp
        Utils/Localize_Utf8.cpp
        Utils/Localize_Linux.cpp
        Utils/Localize_Files.cpp
        Utils/Localize_StackTrace_Linux.cpp
    DEPS MorvexFoundation MorvexCVar MorvexConsole MorvexIO
    PRIVATE_DEPS ${CMAKE_DL_LIBS})
