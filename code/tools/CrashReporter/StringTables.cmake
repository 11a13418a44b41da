# The dialog's string tables: strings/<language>/*.txt beside the reporter's binary, both in the
# build tree (copied whenever a table changes) and in an installation (see cmake/MorvexInstall.cmake).
file(GLOB_RECURSE MORVEX_STRING_TABLES RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/strings
     CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/strings/*.txt)

set(MORVEX_STRING_TABLE_OUTPUTS)
foreach(table IN LISTS MORVEX_STRING_TABLES)
    set(source ${CMAKE_CURRENT_SOURCE_DIR}/strings/${table})
    set(output ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/strings/${table})
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${source} ${output}
        DEPENDS ${source}
        COMMENT "String table ${table}"
        VERBATIM)
    list(APPEND MORVEX_STRING_TABLE_OUTPUTS ${output})
endforeach()

add_custom_target(CrashReporterStringTables ALL DEPENDS ${MORVEX_STRING_TABLE_OUTPUTS})
add_dependencies(CrashReporter CrashReporterStringTables)
