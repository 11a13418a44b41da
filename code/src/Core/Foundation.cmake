morvex_add_library(MorvexFoundation
    SOURCES
        Assert.cpp
        Debugger_Linux.cpp
        ErrorCode.cpp
        Kernel_Log.cpp
        Str.cpp
        String.cpp
        Memory/DebugHeap.cpp
        Memory/DebugHeapPlatform_Linux.cpp
        Memory/GlobalHeap.cpp
        Memory/GroundZeroAllocator.cpp
        Memory/Memory.cpp
        Memory/MemoryReport.cpp
        Memory/MemoryTag.cpp
        Memory/SystemMemory_Linux.cpp
        Memory/GlobalHeap_System.cpp
        Memory/LockedHeap_System.cpp
        Memory/PlatformVirtualMemory.cpp
        Memory/PlatformVirtualMemory_Linux.cpp
        Memory/SegregateHeap.cpp
        Memory/TempHeap.cpp
        Memory/Tlsf.cpp
        Profiler/Profiler.cpp
        Timing/Uptime_Posix.cpp
    DEPS Threads::Threads)

# The program-wide operator new and delete, compiled into each executable that asks for them
# (morvex_use_engine_new). Sanitizer builds keep the runtime's own, which the sanitizers watch.
add_library(MorvexGlobalNew OBJECT Memory/GlobalNew.cpp)
target_include_directories(MorvexGlobalNew PRIVATE ${PROJECT_SOURCE_DIR}/code/inc)
morvex_target_defaults(MorvexGlobalNew)
