morvex_add_library(MorvexFoundation
    SOURCES
        Assert.cpp
        Debugger_Linux.cpp
        ErrorCode.cpp
        Kernel_Log.cpp
        Str.cpp
        String.cpp
        Memory/Memory.cpp
        Memory/MemoryTag.cpp
        Profiler/Profiler.cpp
    DEPS Threads::Threads)
