# Installation beyond the programs themselves (the desktop entry and the icon) and the Debian package;
# for Windows, the program's folder, its zip and its installer (windows/Windows.cmake).
#
#   cmake --install BUILD --prefix /usr/local      puts rq7, rq7sim, the desktop entry and the icon in place
#   cpack --config BUILD/CPackConfig.cmake -G DEB  makes rq7_<version>_<arch>.deb in the current folder
#
# The programs' own install lines are in ui/CMakeLists.txt and sim/CMakeLists.txt.

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

if(RQ7_BUILD_UI)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/rq7.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/rq7.svg
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_PACKAGE_NAME rq7)
set(CPACK_PACKAGE_VENDOR "rq7 developers")
set(CPACK_PACKAGE_CONTACT "rq7 developers <rq7@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service utility for the RQ7 4-20 mA adapter")
set(CPACK_PACKAGE_DESCRIPTION
    "rq7 reads, edits, saves and writes the coefficient block of the RQ7 adapter (three 4-20 mA\n\
outputs) over a serial line by Modbus RTU, changes its channel limits and switches it into\n\
byte-by-byte translation. The user interface is in Russian. rq7sim plays the adapter on a\n\
pseudo-terminal, for trying the program without the hardware.")
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
