# Installation beyond the programs themselves (the desktop entry, the icon, the AppStream metainfo,
# the manual pages, the changelog and the copyright file) and the Debian package; for Windows, the
# program's folder, its zip and its installer (windows/Windows.cmake).
#
#   cmake --install BUILD --prefix /usr/local      puts rq7, rq7sim, rq7cli and their files in place
#   cpack --config BUILD/CPackConfig.cmake -G DEB  makes rq7_<version>_<arch>.deb in the current folder
#
# rq7's and rq7sim's own install lines are in ui/CMakeLists.txt and sim/CMakeLists.txt; rq7cli is
# installed here, whenever its target is part of the build (this file is included after every folder).

if(WIN32)
    if(RQ7_BUILD_UI) # the program's folder, its zip and its installer
        include(${CMAKE_CURRENT_LIST_DIR}/windows/Windows.cmake)
    endif()
    return()
endif()
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
    return() # the desktop entry, the icon folders and the .deb are Linux matters
endif()

include(GNUInstallDirs)

if(TARGET rq7cli)
    install(TARGETS rq7cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Files Debian wants compressed (gzip -9n: best compression, no name or time stamp, so the same
# source gives the same bytes), made when the build is configured; @VERSION@ in a manual page becomes
# the project's version.
find_program(RQ7_GZIP gzip REQUIRED)
set(RQ7_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
function(rq7_install_gzipped source destination)
    get_filename_component(name ${source} NAME)
    set(VERSION ${PROJECT_VERSION})
    configure_file(${source} ${RQ7_PACKAGING_OUT}/${name} @ONLY)
    execute_process(COMMAND ${RQ7_GZIP} -9n -c ${RQ7_PACKAGING_OUT}/${name}
                    OUTPUT_FILE ${RQ7_PACKAGING_OUT}/${name}.gz COMMAND_ERROR_IS_FATAL ANY)
    install(FILES ${RQ7_PACKAGING_OUT}/${name}.gz DESTINATION ${destination})
endfunction()

set(RQ7_MAN1 ${CMAKE_INSTALL_MANDIR}/man1)
rq7_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/man/rq7sim.1 ${RQ7_MAN1})
if(RQ7_BUILD_UI)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/rq7.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/rq7.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/org.example.rq7.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
    rq7_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/man/rq7.1 ${RQ7_MAN1})
endif()
if(TARGET rq7cli)
    rq7_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/man/rq7cli.1 ${RQ7_MAN1})
endif()
# A package made by the project itself (native): its changelog is changelog.gz.
rq7_install_gzipped(${CMAKE_CURRENT_LIST_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# A stripped installation (cmake --install --strip, and CPack here) also drops the compilers' version
# notes (.comment) from the programs, as Debian's own packaging does. This runs after the programs'
# own install rules, this file being included last.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            foreach(program rq7 rq7sim rq7cli)
                set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
                if(EXISTS \"\${path}\")
                    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment \"\${path}\"
                                    COMMAND_ERROR_IS_FATAL ANY)
                endif()
            endforeach()
        endif()")
endif()

set(CPACK_PACKAGE_NAME rq7)
set(CPACK_PACKAGE_VENDOR "rq7 developers")
# The project has no mail host of its own: the documentation domain stands in for it (Debian's tools
# want a real host name, not localhost). The changelog and the copyright file name the same.
set(CPACK_PACKAGE_CONTACT "rq7 developers <rq7@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service utility for the RQ7 4-20 mA adapter")
# Lines of at most 80 characters, as Debian's description format wants.
set(CPACK_PACKAGE_DESCRIPTION
    "rq7 reads, edits, saves and writes the coefficient block of the RQ7\n\
adapter (three 4-20 mA outputs) over a serial line by Modbus RTU, changes\n\
its channel limits and switches it into byte-by-byte translation. The user\n\
interface is in Russian. rq7sim plays the adapter on a pseudo-terminal, for\n\
trying the program without the hardware.")
if(TARGET rq7cli)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "\n\
rq7cli does the same reads and writes from a command line, for scripts on a\n\
factory line, and tells by its exit status whether they worked.")
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY rq7)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link (Qt, the C++ runtime) become Depends through dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt's own Russian texts for the standard buttons and dialogs ("Да", "Нет").
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n")
# A Debian package installs under /usr whatever prefix the build was configured with.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

include(CPack)
