# The Windows program as it is shipped: one folder with
#   rq7.exe, qt.conf, README.txt, the Qt DLLs it links (Core, Gui, Widgets) and the MinGW runtime DLLs,
#   platforms/qwindows.dll, styles/qwindowsvistastyle.dll, translations/qtbase_ru.qm,
#   and rq7cli.exe (a console program on Qt Core alone) whenever the build has its target
# put in place by `cmake --install`, zipped by CPack's ZIP generator as rq7-<version>-win64.zip and
# made into an installer by its NSIS generator (Program Files\rq7, a Start-menu entry "Работа с RQ7",
# an uninstaller). scripts/windows-package.sh builds and checks both.
#
# Qt's Russian texts come from the host's Qt translations (Debian: qt6-translations-l10n); the program
# loads them from Qt's translations folder, which qt.conf puts beside it.

set(RQ7_QT_TRANSLATIONS_DIR /usr/share/qt6/translations
    CACHE PATH "Folder of Qt's translations, for qtbase_ru.qm")
set(RQ7_QTBASE_RU ${RQ7_QT_TRANSLATIONS_DIR}/qtbase_ru.qm)
if(NOT EXISTS ${RQ7_QTBASE_RU})
    message(FATAL_ERROR "${RQ7_QTBASE_RU} is missing (Debian: apt-get install qt6-translations-l10n); "
                        "the standard buttons would not read \"Да\" and \"Нет\"")
endif()

# The MinGW runtime the program and Qt use, from the compiler that built them.
set(RQ7_MINGW_RUNTIME_DLLS)
foreach(dll libgcc_s_seh-1.dll libstdc++-6.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll} OUTPUT_VARIABLE path
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "the compiler does not know where ${dll} is (got '${path}')")
    endif()
    list(APPEND RQ7_MINGW_RUNTIME_DLLS ${path})
endforeach()

install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets>
              ${RQ7_MINGW_RUNTIME_DLLS} ${CMAKE_CURRENT_LIST_DIR}/qt.conf
        DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
install(FILES ${RQ7_QTBASE_RU} DESTINATION translations)
# The kit's and the compiler's DLLs carry their debugging records (the C++ runtime alone some 20 MB):
# a stripped installation (cmake --install --strip, and CPack here) drops them.
if(CMAKE_STRIP)
    install(CODE "
        if(CMAKE_INSTALL_DO_STRIP)
            file(GLOB_RECURSE dlls \"\${CMAKE_INSTALL_PREFIX}/*.dll\")
            foreach(dll \${dlls})
                execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug \"\${dll}\" COMMAND_ERROR_IS_FATAL ANY)
            endforeach()
        endif()")
endif()
# rq7cli.exe beside rq7.exe, sharing its DLLs; README.txt then says how to start it.
set(RQ7_README_CLI "")
if(TARGET rq7cli)
    install(TARGETS rq7cli RUNTIME DESTINATION .)
    set(RQ7_README_CLI "
rq7cli.exe — та же работа из командной строки, для сценариев (чтение блока в файл, запись
файла, изменение границ, Доп.режим). Запускается из cmd.exe или PowerShell в этой папке:
rq7cli.exe --help выводит команды, параметры и коды завершения.
(rq7cli.exe: the same from a command line; rq7cli.exe --help lists its commands and exit codes.)
")
    # configure_file gives CR LF to the template's own lines, not to the lines a value brings.
    string(REPLACE "\n" "\r\n" RQ7_README_CLI "${RQ7_README_CLI}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/README.txt ${CMAKE_BINARY_DIR}/README.txt NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME rq7)
set(CPACK_PACKAGE_VENDOR "rq7 developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service utility for the RQ7 4-20 mA adapter")
set(CPACK_PACKAGE_FILE_NAME rq7-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_INSTALL_DIRECTORY rq7)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY rq7)
set(CPACK_GENERATOR ZIP NSIS)
# The values below reach the generators as written here (quotes and backslashes of NSIS included).
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_STRIP_FILES ON)
# The zip unpacks to one folder, rq7-<version>-win64.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

# The installer: a 64-bit one for the 64-bit program, and a Unicode one, so the Russian names reach
# Windows as they are written here.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_PACKAGE_NAME "Работа с RQ7")
set(CPACK_NSIS_DISPLAY_NAME "Работа с RQ7")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
set(CPACK_NSIS_INSTALLED_ICON_NAME rq7.exe)
set(CPACK_NSIS_MUI_ICON ${CMAKE_CURRENT_LIST_DIR}/rq7.ico)
set(CPACK_NSIS_MUI_UNIICON ${CMAKE_CURRENT_LIST_DIR}/rq7.ico)
set(CPACK_NSIS_MODIFY_PATH OFF)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The Start-menu entry. The program keeps tmp.dat in the folder it starts in and its file dialogs
# open there, so the entry starts it in the user's documents folder ("Start in", which NSIS takes from
# the output folder), not in Program Files, where an ordinary user may not write. For an installation
# for all users $DOCUMENTS would be the shared Public Documents, where every user's tmp.dat would be
# one file: that entry starts in the documents folder of whoever starts it (the shell expands the
# variable when the entry is started).
set(CPACK_NSIS_CREATE_ICONS_EXTRA "
  SetOutPath \"$DOCUMENTS\"
  StrCmp $SV_ALLUSERS \"AllUsers\" 0 +2
    StrCpy $OUTDIR \"%USERPROFILE%\\Documents\"
  CreateShortCut \"$SMPROGRAMS\\$STARTMENU_FOLDER\\Работа с RQ7.lnk\" \"$INSTDIR\\rq7.exe\"
  SetOutPath \"$INSTDIR\"")
set(CPACK_NSIS_DELETE_ICONS_EXTRA "
  Delete \"$SMPROGRAMS\\$MUI_TEMP\\Работа с RQ7.lnk\"")

include(CPack)
