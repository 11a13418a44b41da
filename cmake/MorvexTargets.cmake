# Helpers shared by every target of the project: warnings, include paths and test registration.

function(morvex_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# The executable's operator new and delete come from the engine's global heap (not in sanitizer
# builds, where the sanitizer's allocator must see every block).
function(morvex_use_engine_new target)
    if(NOT MORVEX_SANITIZE)
        target_sources(${target} PRIVATE $<TARGET_OBJECTS:MorvexGlobalNew>)
    endif()
endfunction()

# morvex_add_library(<name> SOURCES ... [DEPS ...] [PRIVATE_DEPS ...])
function(morvex_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/code/inc)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    morvex_target_defaults(${name})
endfunction()

# morvex_add_test(<name> SOURCES ... DEPS ...): a GoogleTest executable whose cases are discovered
# when ctest runs (no test binary has to run at build time). Each test links the shared test main,
# which brings the kernel up the way the reporter does.
function(morvex_add_test name)
    if(NOT MORVEX_BUILD_TESTS)
        return()
    endif()
    cmake_parse_arguments(ARG "" "WORKING_DIRECTORY" "SOURCES;DEPS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE MorvexTestMain ${ARG_DEPS})
    morvex_target_defaults(${name})
    morvex_use_engine_new(${name})
    # GCC 12 warns wrongly (-Wrestrict, only when optimising) about the standard library's own copy
    # inside `"text" + std::to_string(n)` and the like, which the tests write often (GCC bug 105329).
    # The warning is silenced for the tests alone, and only for that compiler.
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
        target_compile_options(${name} PRIVATE -Wno-restrict)
    endif()
    if(NOT ARG_WORKING_DIRECTORY)
        set(ARG_WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
    endif()
    set(properties TIMEOUT 300)
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY}
                         PROPERTIES ${properties})
endfunction()
