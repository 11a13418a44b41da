# The lock-free lists and pools, and the task graph built on them.
morvex_add_library(MorvexTaskGraph
    SOURCES
        Containers/LockFreeList.cpp
        Containers/LockFreeOnceIndexedPagedAllocator.cpp
        Containers/LockFreePool.cpp
        Threading/TaskGraph.cpp
        Threading/TaskGraphSelfTest.cpp
    DEPS MorvexFoundation MorvexThreading
    # The Core.TaskGraph.Test declaration links into the command system's list.
    PRIVATE_DEPS MorvexConsole Threads::Threads)
