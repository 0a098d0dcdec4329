#!/usr/bin/env bash
# Installs what the Windows build and its run under Wine need on Debian 12 (skips the install when
# all is present): the MinGW-w64 cross compiler (POSIX threads, for std::thread in GoogleTest),
# GoogleTest's sources (built with the cross compiler), Wine to run the tests, CMake, and the native
# compiler for the adapter simulator and the small library that gives Wine's COM port modem lines.
set -euo pipefail
PACKAGES=(
    cmake make g++ gcc libc6-dev
    g++-mingw-w64-x86-64-posix
    googletest
    wine wine64
)
bash "$(dirname "$0")/apt-install-missing.sh" "${PACKAGES[@]}"
