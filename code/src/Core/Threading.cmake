morvex_add_library(MorvexThreading
    SOURCES Threading/Threading.cpp Threading/TaskGraph.cpp
    DEPS MorvexFoundation MorvexCVar)
