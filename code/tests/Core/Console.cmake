morvex_add_test(ConsoleTests
    SOURCES
        Console/ConsoleTestSupport.cpp
        Console/CVarTests.cpp
        Console/CmdSystemTests.cpp
    DEPS MorvexConsole)

# The registries are set up and torn down once per process; this suite owns a process of its own.
morvex_add_test(ConsoleRegistryTests
    SOURCES Console/ConsoleRegistryTests.cpp
    DEPS MorvexConsole)
