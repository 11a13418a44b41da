morvex_add_test(LockFreeTests
    SOURCES Containers/LockFreeListTests.cpp Containers/LockFreePoolTests.cpp Containers/LockFreeTestSupport.cpp
    DEPS MorvexTaskGraph
    LABELS threading)
morvex_add_test(TaskGraphTests
    SOURCES Threading/TaskGraphTests.cpp Containers/LockFreeTestSupport.cpp
    DEPS MorvexTaskGraph MorvexConsole
    LABELS threading)
