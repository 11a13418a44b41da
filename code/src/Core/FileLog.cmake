# The reporter's log file.
morvex_add_library(MorvexFileLog
    SOURCES FileLog.cpp FileLog_Posix.cpp
    DEPS MorvexFoundation MorvexCVar MorvexPlatform)
