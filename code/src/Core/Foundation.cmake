# Sanitizer builds serve the global heap and the kernel's heaps from the C heap, so that the
# sanitizer's allocator sees every block; other builds use the engine's segregated heaps.
if(MORVEX_SANITIZE)
    set(morvex_heap_backend Memory/GlobalHeap_System.cpp Memory/LockedHeap_System.cpp)
else()
    set(morvex_heap_backend Memory/GlobalHeap_Segregate.cpp Memory/LockedHeap_Segregate.cpp)
endif()
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
        Memory/LinearHeap.cpp
        Memory/LockedHeap.cpp
        Memory/Memory.cpp
        Memory/MemoryReport.cpp
        Memory/MemoryTag.cpp
        Memory/SystemMemory_Linux.cpp
        Memory/PlatformVirtualMemory.cpp
        Memory/PlatformVirtualMemory_Linux.cpp
        Memory/Pool.cpp
        Memory/SegregateHeap.cpp
        Memory/TempHeap.cpp
        Memory/ThreadTempAllocator.cpp
        Memory/Tlsf.cpp
        ${morvex_heap_backend}
        Profiler/Profiler.cpp
        Profiler/Profiler_Linux.cpp
        Timing/Uptime_Posix.cpp
    DEPS Threads::Threads)

# The program-wide operator new and delete, compiled into each executable that asks for them
# (morvex_use_engine_new). Sanitizer builds keep the runtime's own, which the sanitizers watch.
add_library(MorvexGlobalNew OBJECT Memory/GlobalNew.cpp)
target_include_directories(MorvexGlobalNew PRIVATE ${PROJECT_SOURCE_DIR}/code/inc)
morvex_target_defaults(MorvexGlobalNew)
