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
        Memory/PlatformVirtualMemory.cpp
        Memory/PlatformVirtualMemory_Linux.cpp
        Memory/SegregateHeap.cpp
        Memory/TempHeap.cpp
        Memory/Tlsf.cpp
        Profiler/Profiler.cpp
        Timing/Uptime_Posix.cpp
    DEPS Threads::Threads)
