# Stack traces and module signatures. libdw's header gives the types of the functions that are looked
# up at run time; nothing links against it, so the reporter runs where the library is missing.
find_path(MORVEX_LIBDW_INCLUDE_DIR elfutils/libdwfl.h REQUIRED)
morvex_add_library(MorvexDiagnostics
    SOURCES
        Utils/StackTrace.cpp
        Utils/StackTrace_Linux.cpp
        Utils/ElfFile_Linux.cpp
    DEPS MorvexFoundation
    # Test.StackTrace is a console command.
    PRIVATE_DEPS MorvexConsole ${CMAKE_DL_LIBS})
target_include_directories(MorvexDiagnostics PRIVATE ${MORVEX_LIBDW_INCLUDE_DIR})
