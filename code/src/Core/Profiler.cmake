# The profiler's connection, activation and commands. The recording core (zones, rings, timers) sits
# in MorvexFoundation, below every library that marks zones.
morvex_add_library(MorvexProfiler
    SOURCES
        Profiler/ProfilerConnection.cpp
        Profiler/ProfilerConnection_Posix.cpp
        Profiler/ProfilerSystem.cpp
    DEPS MorvexFoundation
    PRIVATE_DEPS MorvexThreading MorvexConsole MorvexDiagnostics ${CMAKE_DL_LIBS})
