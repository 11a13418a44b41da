morvex_add_test(FileLogTests
    SOURCES FileLogTests.cpp
    DEPS MorvexFileLog)
