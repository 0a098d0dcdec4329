# Cross compiling for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64-posix).
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DRQ7_BUILD_UI=OFF
#
# The POSIX-threads flavour of the compiler is used: its C++ library has std::thread and std::mutex,
# which GoogleTest and the tests need. Programs are linked statically, so they run on Windows (and
# under Wine) without the MinGW runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RQ7_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${RQ7_MINGW_PREFIX}-gcc-posix ${RQ7_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${RQ7_MINGW_PREFIX}-g++-posix ${RQ7_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${RQ7_MINGW_PREFIX}-windres windres)

set(CMAKE_FIND_ROOT_PATH /usr/${RQ7_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Wine runs the built programs, when it is there (try_run, and add_test's command lines).
find_program(RQ7_WINE NAMES wine64 wine)
if(RQ7_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${RQ7_WINE})
endif()
