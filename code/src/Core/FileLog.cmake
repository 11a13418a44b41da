# The reporter's log file.
morvex_add_library(MorvexFileLog
    SOURCES FileLog.cpp
    DEPS MorvexFoundation MorvexCVar MorvexPlatform MorvexIO)
