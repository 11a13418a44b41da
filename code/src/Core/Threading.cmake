morvex_add_library(MorvexThreading
    SOURCES
        Threading/Threading.cpp
        Threading/ThreadBase.cpp
        Threading/ThreadingEvent.cpp
        Threading/ThreadingPlatform_Linux.cpp
    DEPS MorvexFoundation MorvexCVar
    # The Core.ListThreads declaration links into the command system's list.
    PRIVATE_DEPS MorvexConsole Threads::Threads)
