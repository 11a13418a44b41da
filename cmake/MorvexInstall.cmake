# Installation and packages.
#
# The reporter, its dialog module, its string tables and the collector are installed together into
# one folder, MORVEX_INSTALL_APPDIR below the prefix: the reporter finds the module and the tables
# beside its own executable, so the folder can be moved or copied as a whole. A normal install also
# links <prefix>/bin/CrashReporter to it.
#
# MORVEX_PORTABLE=ON makes the folder a tree to ship beside a game: the prefix itself is the folder,
# the C++ runtime is linked in (the C library and libgcc_s stay the system's), the libraries named by MORVEX_PORTABLE_LIBS are copied beside the
# reporter, and the reporter looks for libraries beside itself first ($ORIGIN).
#
# CPack makes a .deb (prefix /usr) and a tarball of the same tree.

include(GNUInstallDirs)

option(MORVEX_PORTABLE "Install a self-contained folder to ship beside a game" OFF)
set(MORVEX_PORTABLE_LIBS "minizip" CACHE STRING
    "Libraries a portable install copies beside the reporter: minizip, curl (with its own dependencies), openssl")
if(MORVEX_PORTABLE)
    set(morvex_default_appdir ".")
else()
    set(morvex_default_appdir "lib/morvex-crash-reporter")
endif()
set(MORVEX_INSTALL_APPDIR "${morvex_default_appdir}" CACHE STRING
    "Folder below the install prefix that holds the reporter and everything it loads")
set(appdir ${MORVEX_INSTALL_APPDIR})

set(morvex_shipped CrashReporter Collector)
if(TARGET CrashReporterDialog)
    list(APPEND morvex_shipped CrashReporterDialog)
endif()
if(TARGET CrashDumpWriter)
    list(APPEND morvex_shipped CrashDumpWriter CrashDemoGame)
endif()

if(MORVEX_PORTABLE)
    # Players' systems have a C library, but not always a C++ runtime as new as the compiler's: it
    # is linked in. Its one call into a newer C library is taken by a shim (see the file).
    foreach(target IN LISTS morvex_shipped)
        target_link_options(${target} PRIVATE -static-libstdc++ -Wl,--wrap=arc4random)
        target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/code/tools/CrashReporter/PortableGlibc_Linux.cpp)
    endforeach()
    # DT_RPATH rather than DT_RUNPATH: it also applies to the libraries of the bundled libraries
    # (libcurl's own dependencies), which carry no search path of their own.
    set_target_properties(CrashReporter PROPERTIES INSTALL_RPATH "$ORIGIN")
    target_link_options(CrashReporter PRIVATE -Wl,--disable-new-dtags)

    # Which shared objects are copied: each choice names the sonames it brings.
    set(include_regexes)
    if("minizip" IN_LIST MORVEX_PORTABLE_LIBS)
        list(APPEND include_regexes "^libminizip\\.so")
    endif()
    if("openssl" IN_LIST MORVEX_PORTABLE_LIBS)
        list(APPEND include_regexes "^libssl\\.so" "^libcrypto\\.so")
    endif()
    set(exclude_regexes ".*")
    if("curl" IN_LIST MORVEX_PORTABLE_LIBS)
        # libcurl comes with everything it needs, except what every system has: the C library and
        # the loader (and OpenSSL, unless that is chosen too).
        list(APPEND include_regexes "^libcurl")
        set(exclude_regexes "^(libc|libm|libdl|libpthread|librt|libresolv|libutil|ld-linux.*)\\.so"
                            "^libstdc\\+\\+\\.so" "^libgcc_s\\.so")
        if(NOT "openssl" IN_LIST MORVEX_PORTABLE_LIBS)
            list(APPEND exclude_regexes "^libssl\\.so" "^libcrypto\\.so")
        endif()
    endif()
    install(TARGETS CrashReporter RUNTIME_DEPENDENCY_SET morvex_portable_libs RUNTIME DESTINATION ${appdir})
    install(RUNTIME_DEPENDENCY_SET morvex_portable_libs
            PRE_INCLUDE_REGEXES ${include_regexes}
            PRE_EXCLUDE_REGEXES ${exclude_regexes}
            LIBRARY DESTINATION ${appdir})
    install(TARGETS Collector RUNTIME DESTINATION ${appdir})
else()
    install(TARGETS CrashReporter Collector RUNTIME DESTINATION ${appdir})
endif()
if(TARGET CrashReporterDialog)
    install(TARGETS CrashReporterDialog LIBRARY DESTINATION ${appdir})
endif()
if(TARGET CrashDumpWriter)
    # The dump writer beside the reporter, where the crash hook looks for it; the example game.
    install(TARGETS CrashDumpWriter CrashDemoGame RUNTIME DESTINATION ${appdir})
    # What a game links: the hook, its header and, in a system install, its pkg-config file.
    if(MORVEX_PORTABLE)
        install(TARGETS MorvexCrashHook LIBRARY DESTINATION ${appdir})
        install(FILES ${PROJECT_SOURCE_DIR}/code/inc/CrashHook/CrashHook.h DESTINATION ${appdir}/include/CrashHook)
    else()
        install(TARGETS MorvexCrashHook LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
        install(FILES ${PROJECT_SOURCE_DIR}/code/inc/CrashHook/CrashHook.h
                DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/CrashHook)
        file(RELATIVE_PATH MORVEX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
        string(REGEX REPLACE "/$" "" MORVEX_PC_TO_PREFIX "${MORVEX_PC_TO_PREFIX}")
        configure_file(${PROJECT_SOURCE_DIR}/code/src/CrashHook/morvex-crash-hook.pc.in
                       ${CMAKE_BINARY_DIR}/morvex-crash-hook.pc @ONLY)
        install(FILES ${CMAKE_BINARY_DIR}/morvex-crash-hook.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    endif()
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/code/tools/CrashReporter/strings DESTINATION ${appdir}
        FILES_MATCHING PATTERN "*.txt")
install(FILES ${PROJECT_SOURCE_DIR}/code/tools/CrashReporter/crash-reporter.cfg.example DESTINATION ${appdir})

if(NOT MORVEX_PORTABLE)
    # bin/CrashReporter -> the reporter in its folder, as a relative link so that the tree can move.
    file(RELATIVE_PATH link_target /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${appdir}/CrashReporter)
    install(CODE "
        set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        file(MAKE_DIRECTORY \"\${bin}\")
        file(CREATE_LINK \"${link_target}\" \"\${bin}/CrashReporter\" SYMBOLIC)
        message(STATUS \"Installing: \${bin}/CrashReporter -> ${link_target}\")
    ")
endif()

set(CPACK_PACKAGE_NAME morvex-crash-reporter)
set(CPACK_PACKAGE_VENDOR Morvex)
set(CPACK_PACKAGE_CONTACT "Morvex developers <crash-reporter@morvex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Crash reporter for games: collects a crash's dump and logs, asks the player, uploads them")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Written out rather than computed: the dialog module's GTK is only recommended, since the reporter
# sends without it (a server, a machine without a display).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libcurl4 (>= 7.74), libssl3, libminizip1, zlib1g, libcpp-httplib0.11")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libgtk-3-0")
if(MORVEX_PORTABLE)
    set(CPACK_GENERATOR TGZ)
    set(CPACK_PACKAGE_FILE_NAME "morvex-crash-reporter-${PROJECT_VERSION}-portable-${CMAKE_SYSTEM_PROCESSOR}")
endif()
include(CPack)
