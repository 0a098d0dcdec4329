# Cross compiling the whole program, windows included, for 64-bit Windows with MinGW-w64 and a Qt 6
# kit built for it (Core, Gui, Widgets and their plugins as DLLs, made with the same compiler).
#
#   cmake -S . -B build-windows-ui -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64-qt.cmake \
#       -DRQ7_QT_MINGW=/opt/qt6-mingw
#
# RQ7_QT_MINGW is the kit's folder (also taken from the environment; default /opt/qt6-mingw). The kit
# brings no host tools: moc, uic and rcc come from the host's Qt of the same version (Debian's
# qt6-base-dev-tools), found through QT_HOST_PATH (default /usr).
#
# Unlike the Qt-free build of mingw-w64-x86_64.cmake, programs link the MinGW runtime as DLLs (those
# of the kit's bin/): Qt's DLLs use them, and one C++ runtime in the process lets an exception thrown
# in the program's code pass through Qt's frames to the program's error report.
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-x86_64.cmake)

if(NOT RQ7_QT_MINGW AND DEFINED ENV{RQ7_QT_MINGW})
    set(RQ7_QT_MINGW "$ENV{RQ7_QT_MINGW}")
endif()
if(NOT RQ7_QT_MINGW)
    set(RQ7_QT_MINGW /opt/qt6-mingw)
endif()
set(RQ7_QT_MINGW "${RQ7_QT_MINGW}" CACHE PATH "Qt 6 kit for MinGW-w64")
# The test compilations CMake makes read this file again, in a project of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RQ7_QT_MINGW)

# The base toolchain restricts package searches to its root path: the kit joins it.
list(APPEND CMAKE_FIND_ROOT_PATH "${RQ7_QT_MINGW}")
list(APPEND CMAKE_PREFIX_PATH "${RQ7_QT_MINGW}")
if(NOT QT_HOST_PATH)
    set(QT_HOST_PATH /usr CACHE PATH "Host Qt with moc, uic and rcc")
endif()
if(NOT QT_HOST_PATH_CMAKE_DIR)
    set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "CMake packages of the host Qt")
endif()

set(CMAKE_EXE_LINKER_FLAGS_INIT "")
