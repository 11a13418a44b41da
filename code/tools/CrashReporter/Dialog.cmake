# The crash dialog: a GTK 3 module that the reporter loads from its own directory at run time, so
# that the reporter builds, starts and sends on systems without GTK or a display.

# Process starts of the dialog (launcher, folder opener); free of GTK so that tests can use it.
add_library(CrashDialogLauncher STATIC Dialog/Launcher_Posix.cpp)
target_include_directories(CrashDialogLauncher PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/Dialog)
morvex_target_defaults(CrashDialogLauncher)

pkg_check_modules(GTK3 IMPORTED_TARGET GLOBAL gtk+-3.0)
find_program(GLIB_COMPILE_RESOURCES glib-compile-resources)
if(NOT GTK3_FOUND OR NOT GLIB_COMPILE_RESOURCES)
    message(STATUS "GTK 3 or glib-compile-resources not found: the crash dialog module is not built")
    return()
endif()

set(dialog_resource_dir ${CMAKE_CURRENT_SOURCE_DIR}/Dialog/resources)
set(dialog_resource_xml ${dialog_resource_dir}/CrashDialog.gresource.xml)
set(dialog_resource_c ${CMAKE_CURRENT_BINARY_DIR}/CrashDialogResources.c)
execute_process(
    COMMAND ${GLIB_COMPILE_RESOURCES} --generate-dependencies --sourcedir ${dialog_resource_dir} ${dialog_resource_xml}
    OUTPUT_VARIABLE dialog_resource_deps OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REPLACE "\n" ";" dialog_resource_deps "${dialog_resource_deps}")
add_custom_command(
    OUTPUT ${dialog_resource_c}
    COMMAND ${GLIB_COMPILE_RESOURCES} --generate-source --manual-register --c-name morvex_crash_dialog
            --sourcedir ${dialog_resource_dir} --target ${dialog_resource_c} ${dialog_resource_xml}
    DEPENDS ${dialog_resource_xml} ${dialog_resource_deps}
    COMMENT "Embedding the crash dialog's pictures and style")
# Generated code: not held to our warning flags.
set_source_files_properties(${dialog_resource_c} PROPERTIES COMPILE_OPTIONS "-w")

add_library(CrashReporterDialog MODULE Dialog/CrashDialog_Linux.cpp ${dialog_resource_c})
target_include_directories(CrashReporterDialog PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(CrashReporterDialog PRIVATE PkgConfig::GTK3 CrashDialogLauncher)
# Only the entry point is exported; the module's own names never clash with the reporter's.
set_target_properties(CrashReporterDialog PROPERTIES
    OUTPUT_NAME CrashReporterDialog PREFIX lib
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(CrashReporterDialog PRIVATE -Wl,--no-undefined)
morvex_target_defaults(CrashReporterDialog)
# Built with the reporter so that a build of the reporter always has its dialog beside it.
add_dependencies(CrashReporter CrashReporterDialog)
